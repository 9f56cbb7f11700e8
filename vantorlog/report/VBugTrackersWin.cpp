// The page sequences of the bug-tracker senders over WinInet.
#include <windows.h>

#include <string>

#include "SendTransports.h"
#include "VBugTrackers.h"
#include "core/VCore.h"
#include "core/VTextUtils.h"

using namespace VBugTrackers;

namespace {

// The connection of a sender left with its default class: no progress to show.
class TQuietConnection : public THTTPConnectionBase {
 public:
  using THTTPConnectionBase::THTTPConnectionBase;
  void Progress(int, int) override {}
};

}  // namespace

THTTPSendReport::THTTPSendReport() : ConnectionClass(ConnectionClassOf<TQuietConnection>()) {}

void THTTPSendReport::SetRequest(THTTPConnectionBase& c, const std::string& page,
                                 THTTPConnectionBase::TRequestMethod method) {
  // A tracker below a folder has a base path without the leading "/" a request needs.
  std::string path = c.BasePath() + page;
  if (path.empty() || path[0] != '/') path = "/" + path;
  c.Path = path;
  c.RequestMethod = method;
  c.Fields.clear();
  c.Files.clear();
}

bool THTTPSendReport::Execute(THTTPConnectionBase& c, THTTPResponse& response, bool progress) {
  return c.ExecuteRequest(response, progress);
}

bool THTTPSendReport::Check(const THTTPResponse& r, std::string_view page, std::string_view contain,
                            std::string_view not_contain) {
  // An error page of the server is no answer, whatever it holds.
  if (r.StatusCode != 200) return false;
  return CheckPage(r.DocumentName, r.Body, page, contain, not_contain);
}

int THTTPSendReport::Run(const TBugReportData& data,
                         const std::function<int(THTTPConnectionBase&)>& body) {
  std::unique_ptr<THTTPConnectionBase> c = ConnectionClass(data.WebAddress, data.ProxyAddress);
  c->Connect();
  const int result = body(*c);
  c->Disconnect();
  return result;
}

// ---- Mantis ----

int THTTPMantisSendReport::Send(const TBugReportData& data, THTTPResponse& r) {
  const std::string project = VCore::EncodeUtf8(data.Project);
  const std::string category = VCore::EncodeUtf8(data.Category);
  const std::string assignee = VCore::EncodeUtf8(data.Assignee);
  const TFormFields& custom = data.CustomFields;
  return Run(data, [&](THTTPConnectionBase& c) {
    c.Progress(2, 0);
    SetRequest(c, "login.php", THTTPConnectionBase::rmPostUrlEncoded);
    c.Fields = {{"return", "login_select_proj_page.php"},
                {"username", data.User},
                {"password", data.Password}};
    if (!Execute(c, r, false) || !Check(r, "login_select_proj_page.php", "name=\"project_id\""))
      return trLoginFailed;

    c.Progress(3, 0);
    {
      const std::string page = r.Body;
      SetRequest(c, "set_project.php", THTTPConnectionBase::rmPostUrlEncoded);
      THTMLForm(page, c.Fields).SelectOptionByText("project_id", project);
    }
    if (!Execute(c, r, false) || !(Check(r, "my_view_page.php", ">" + project + "</option>") ||
                                   Check(r, "my_view_page.php", " " + project + "</option>")))
      return trSelectFailed;

    c.Progress(4, 0);
    SetRequest(c, "view_all_set.php?f=3", THTTPConnectionBase::rmPostUrlEncoded);
    c.Fields = {{"type", "1"},
                {"page_number", "1"},
                {"view_type", "simple"},
                {"search", SearchText(data.ClassText, data.BugId)}};
    if (!Execute(c, r, false) ||
        !(Check(r, "view_all_bug_page.php", "name=\"reset_query_button\"") ||
          Check(r, "view_all_bug_page.php", "name=\"source_query_id\"")))
      return trSearchFailed;

    if (!ContainsText(r.Body, "bug_update_page.php?bug_id=") &&
        !ContainsText(r.Body, "bug_update_advanced_page.php?bug_id=")) {
      SetRequest(c, "bug_report_advanced_page.php", THTTPConnectionBase::rmGet);
      if (!Execute(c, r, false) ||
          !Check(r, "bug_report_advanced_page.php", "name=\"file\" type=\"file\""))
        return trInsertFailed;
      const std::string page = r.Body;
      SetRequest(c, "bug_report.php", THTTPConnectionBase::rmPostMultipart);
      THTMLForm f(page, c.Fields);
      f.CopyInput("m_id");
      f.CopyInput("project_id");
      f.SelectOptionByText("handler_id", assignee);
      f.SelectOptionByText("category", category);
      f.AddField("reproducibility", "10");
      f.CopySelected("severity");
      f.CopySelected("priority");
      f.CopyInput("platform");
      f.AddField("os", CustomFieldValue(custom, "VL_OSType"));
      f.AddField("os_build", CustomFieldValue(custom, "VL_OSBuild"));
      f.AddField("build", data.Version);
      f.AddField("summary", NewBugTitle(data.Version, data.ClassText, data.BugId));
      f.AddField("description", data.Message);
      f.AddField("steps_to_reproduce", CustomFieldValue(custom, "VL_ReproduceText"));
      f.AddField("additional_info", "");
      f.AddField("view_state", "10");
      f.CopyInput("report_stay");
      f.AddCustomFields(custom);
      if (!data.File.empty()) c.Files.emplace_back("file", data.File);
      if (!Execute(c, r, true) || !Check(r, "bug_report.php", "href=\"view.php?id="))
        return trInsertFailed;
      return trDone;
    }

    c.Progress(5, 0);
    std::string id = TextAfter(r.Body, "bug_update_page.php?bug_id=", 1);
    if (id.empty()) id = TextAfter(r.Body, "bug_update_advanced_page.php?bug_id=", 1);
    SetRequest(c, "bug_update_page.php", THTTPConnectionBase::rmGet);
    c.Fields = {{"bug_id", id}};
    if (!Execute(c, r, false) || !Check(r, "bug_update_page.php", "name=\"severity\""))
      return trModifyFailed;
    const std::string page = r.Body;
    SetRequest(c, "bug_update.php", THTTPConnectionBase::rmPostUrlEncoded);
    THTMLForm f(page, c.Fields);
    if (!f.BumpTitleCounter("summary")) return trDone;
    if (f.TitleMissing()) return trModifyFailed;
    std::string status;
    if (SelectedValue(page, "status", &status) && (status == "80" || status == "90"))
      return trClosed;
    f.AddField("bug_id", id);
    f.CopyInput("update_mode");
    for (const char* name : {"category", "severity", "reproducibility", "reporter_id", "view_state",
                             "handler_id", "priority", "resolution"})
      f.CopySelected(name);
    for (const char* name : {"description", "additional_information", "bugnote_text"})
      f.CopyTextArea(name);
    f.AddField("build", data.Version);
    f.AddCustomFields(custom);
    if (!Execute(c, r, true) || !(Check(r, "bug_update.php", "href=\"view.php?id=") ||
                                  Check(r, "view.php", "href=\"view.php?id=")))
      return trModifyFailed;
    return trDone;
  });
}

// ---- Bugzilla ----

namespace {

void BugzillaVersion(THTMLForm& f, std::string_view page, const std::string& version) {
  if (ContainsText(page, "<option value=\"" + version + "\">"))
    f.AddField("version", version);
  else
    f.CopySelected("version");
}

}  // namespace

int THTTPBugzillaSendReport::Send(const TBugReportData& data, THTTPResponse& r) {
  const TFormFields& custom = data.CustomFields;
  return Run(data, [&](THTTPConnectionBase& c) {
    c.Progress(2, 0);
    SetRequest(c, "enter_bug.cgi", THTTPConnectionBase::rmPostUrlEncoded);
    c.Fields = {{"project", data.Project},
                {"Bugzilla_login", data.User},
                {"Bugzilla_password", data.Password}};
    if (!Execute(c, r, false) || !Check(r, "enter_bug.cgi", "relogin.cgi")) return trLoginFailed;

    c.Progress(4, 0);
    SetRequest(c, "buglist.cgi", THTTPConnectionBase::rmGet);
    c.Fields = {{"query_format", "specific"},
                {"order", "relevance desc"},
                {"bug_status", "__all__"},
                {"product", data.Project},
                {"content", SearchText("", data.BugId)}};
    if (!Execute(c, r, false) || !Check(r, "buglist.cgi", "href=\"query.cgi?"))
      return trSearchFailed;

    if (!ContainsText(r.Body, "show_bug.cgi?id=")) {
      c.Progress(3, 0);
      SetRequest(c, "enter_bug.cgi", THTTPConnectionBase::rmGet);
      c.Fields = {{"product", data.Project}};
      if (!Execute(c, r, false) || !Check(r, "enter_bug.cgi", "action=\"post_bug.cgi\""))
        return trSelectFailed;
      {
        const std::string page = r.Body;
        SetRequest(c, "post_bug.cgi", THTTPConnectionBase::rmPostUrlEncoded);
        THTMLForm f(page, c.Fields);
        f.CopyInput("product");
        BugzillaVersion(f, page, data.Version);
        if (!f.CopySelected("component")) {
          std::string component;
          if (TextBetween(page, "components[0] = \"", '"', &component))
            f.AddField("component", component);
        }
        for (const char* name :
             {"rep_platform", "op_sys", "priority", "bug_severity", "target_milestone"})
          f.CopySelected(name);
        f.CopyInput("bug_status");
        f.AddField("assigned_to", data.Assignee.empty() ? data.User : data.Assignee);
        for (const char* name : {"qa_contact", "cc", "estimated_time", "deadline", "bug_file_loc"})
          f.CopyInput(name);
        f.AddField("short_desc", NewBugTitle(data.Version, data.ClassText, data.BugId));
        f.AddField("comment",
                   JoinReproduceText(data.Message, CustomFieldValue(custom, "VL_ReproduceText")));
        for (const char* name : {"keywords", "dependson", "blocked"}) f.CopyInput(name);
        f.AddField("form_name", "enter_bug");
        f.CopySelected("bug_status");
        f.AddCustomFields(custom);
      }
      const bool last = data.File.empty();
      if (!Execute(c, r, last) || !Check(r, "post_bug.cgi", "show_bug.cgi?id="))
        return trInsertFailed;
      // Without an archive the bug is filed as it is.
      if (last) return trDone;
      std::string bug;
      if (!InputValue(r.Body, "id", &bug)) return trInsertFailed;
      SetRequest(c, "attachment.cgi", THTTPConnectionBase::rmPostMultipart);
      c.Fields = {{"bugid", bug},
                  {"action", "insert"},
                  {"description", "FILE"},
                  {"contenttypemethod", "list"},
                  {"contenttypeselection", "application/octet-stream"},
                  {"contenttypeentry", ""},
                  {"flag_type-1", "X"},
                  {"flag_type-2", "X"},
                  {"flag_type-3", "X"},
                  {"flag_type-4", "X"},
                  {"comment", ""}};
      c.Files.emplace_back("data", data.File);
      if (!Execute(c, r, true) || !Check(r, "attachment.cgi", "attachment.cgi"))
        return trInsertFailed;
      return trDone;
    }

    c.Progress(5, 0);
    const std::string id = TextAfter(r.Body, "show_bug.cgi?id=", 1);
    SetRequest(c, "show_bug.cgi", THTTPConnectionBase::rmGet);
    c.Fields = {{"id", id}};
    if (!Execute(c, r, false) ||
        !(Check(r, "", "name=\"form_name\"") || Check(r, "", "type=\"hidden\" id=\"component\"") ||
          Check(r, "", "select id=\"component\" name=\"component\"")))
      return trModifyFailed;
    const std::string page = r.Body;
    SetRequest(c, "process_bug.cgi", THTTPConnectionBase::rmPostUrlEncoded);
    THTMLForm f(page, c.Fields);
    if (!f.BumpTitleCounter("short_desc")) return trDone;
    if (f.TitleMissing()) return trModifyFailed;
    if (ContainsText(page, "value=\"reopen\"") || ContainsText(page, "value=\"reopened\""))
      return trClosed;
    for (const char* name : {"delta_ts", "longdesclength", "id", "alias"}) f.CopyInput(name);
    std::string location;
    if (InputValue(page, "bug_file_loc", &location))
      f.AddField("bug_file_loc", location);
    else
      f.AddField("bug_file_loc", "");
    for (const char* name : {"product", "component", "rep_platform", "op_sys"})
      f.CopySelected(name);
    BugzillaVersion(f, page, data.Version);
    for (const char* name : {"priority", "bug_severity", "target_milestone"}) f.CopySelected(name);
    for (const char* name :
         {"newcc", "cc", "qa_contact", "bug_file_loc", "status_whiteboard", "keywords"})
      f.CopyInput(name);
    f.AddField("flag_type-6", "X");
    for (const char* name : {"requestee_type-6", "dependson", "blocked"}) f.CopyInput(name);
    f.CopyTextArea("comment");
    f.AddField("knob", "none");
    f.CopySelected("resolution");
    for (const char* name : {"dup_id", "assigned_to", "form_name"}) f.CopyInput(name);
    f.AddCustomFields(custom);
    if (!Execute(c, r, true) || !Check(r, "process_bug.cgi", "show_bug.cgi?id="))
      return trModifyFailed;
    return trDone;
  });
}

// ---- FogBugz ----

namespace {

std::string FogBugzSubmitPage(std::string_view page) {
  std::string token;
  if (TextBetween(page, "sActionToken=", '"', &token) && !token.empty())
    return "default.asp?pre=preSubmitBug&sActionToken=" + token;
  return "default.asp?pre=preSubmitBug";
}

}  // namespace

int THTTPFogBugzSendReport::Send(const TBugReportData& data, THTTPResponse& r) {
  const TFormFields& custom = data.CustomFields;
  return Run(data, [&](THTTPConnectionBase& c) {
    c.Progress(2, 0);
    SetRequest(c, "default.asp", THTTPConnectionBase::rmPostUrlEncoded);
    c.Fields = {{"pre", "preLogon"},
                {"sPerson", data.User},
                {"sPassword", data.Password},
                {"fRememberPassword", "0"}};
    const std::string trial = CustomFieldValue(custom, "FogBugzTrialID");
    if (!trial.empty()) c.Fields.emplace_back("ID", trial);
    if (!Execute(c, r, false) || !Check(r, "default.asp", "pre=preLogOff")) return trLoginFailed;

    c.Progress(4, 0);
    SetRequest(c, "default.asp", THTTPConnectionBase::rmGet);
    c.Fields = {{"pre", "preSearch"},
                {"pg", "pgList"},
                {"pgBack", "pgSearch"},
                {"search", "1"},
                {"bAlsoSearchClosedBugs", "ON"},
                {"searchFor", SearchText(data.ClassText, data.BugId)}};
    if (!Execute(c, r, false) || !Check(r, "default.asp", "searchFor=")) return trSearchFailed;

    if (!ContainsText(r.Body, "default.asp?pg=pgeditbug") &&
        !ContainsText(r.Body, "default.asp?pgx=EV&amp;ixBug=")) {
      c.Progress(3, 0);
      SetRequest(c, "default.asp", THTTPConnectionBase::rmGet);
      c.Fields = {{"command", "new"}, {"pg", "pgEditBug"}};
      if (!Execute(c, r, false) || !Check(r, "default.asp", "")) return trInsertFailed;
      const std::string page = r.Body;
      SetRequest(c, FogBugzSubmitPage(page), THTTPConnectionBase::rmPostMultipart);
      THTMLForm f(page, c.Fields);
      for (const char* name :
           {"command", "dtTimeStamp", "ixBug", "ixBugEventLatest", "ixPersonLastOwner",
            "ixDiscussTopic", "ixScreenshot", "sOriginalTitle"})
        f.CopyInput(name);
      f.AddField("sTitle", NewBugTitle(data.Version, data.ClassText, data.BugId));
      f.AddField("sEvent",
                 JoinReproduceText(data.Message, CustomFieldValue(custom, "VL_ReproduceText")));
      f.SelectOptionByText("ixProject", data.Project);
      f.SelectOptionByText("ixArea", data.Project + ": " + data.Category);
      if (!data.Assignee.empty())
        f.SelectOptionByText("ixPersonAssignedTo", data.Assignee);
      else
        f.CopySelected("ixPersonAssignedTo");
      f.CopySelected("ixCategory");
      f.CopySelected("ixFixFor");
      f.AddField("ixPriority", "1");
      f.CopyInput("sDueDate");
      f.CopyInput("sDueTime");
      f.AddField("hrsCurrEstNew", "");
      for (const char* name : {"hrsElapsedNew", "omitAtt", "fIEFileBrowse"}) f.CopyInput(name);
      f.AddField("sVersion", data.Version);
      f.CopyInput("sComputer");
      f.CopyInput("dblTimeStamp");
      f.AddCustomFields(custom);
      if (!data.File.empty()) {
        f.AddField("nFileCount", "1");
        c.Files.emplace_back("File1", data.File);
      } else {
        f.AddField("nFileCount", "0");
      }
      if (!Execute(c, r, true) || !Check(r, "default.asp", "command=resolve"))
        return trInsertFailed;
      return trDone;
    }

    c.Progress(5, 0);
    const std::string id = TextAfter(r.Body, "ixBug=", 1);
    SetRequest(c, "default.asp", THTTPConnectionBase::rmGet);
    c.Fields = {{"pg", "pgEditBug"}, {"command", "edit"}, {"ixBug", id}};
    if (!Execute(c, r, false) || !Check(r, "default.asp", "name=\"OK\"")) return trModifyFailed;
    const std::string page = r.Body;
    SetRequest(c, FogBugzSubmitPage(page), THTTPConnectionBase::rmPostMultipart);
    THTMLForm f(page, c.Fields);
    if (!f.BumpTitleCounter("sTitle")) return trDone;
    if (f.TitleMissing()) return trModifyFailed;
    if (ContainsText(page, "default.asp?pg=pgEditReleaseNotes")) return trClosed;
    f.CopyInput("command");
    f.CopyInput("dtTimeStamp");
    f.AddField("ixBug", id);
    for (const char* name : {"ixBugEventLatest", "ixPersonLastOwner", "ixDiscussTopic",
                             "ixScreenshot", "sOriginalTitle", "sEvent"})
      f.CopyInput(name);
    for (const char* name :
         {"ixProject", "ixArea", "ixPersonAssignedTo", "ixCategory", "ixFixFor", "ixPriority"})
      f.CopySelected(name);
    for (const char* name :
         {"sDueDate", "sDueTime", "hrsCurrEstNew", "hrsElapsedNew", "dblTimeStamp", "fIEFileBrowse",
          "idSubscriptionState", "nFileCount", "omitAtt", "sComputer"})
      f.CopyInput(name);
    f.CopyTextArea("sEvent");
    f.AddField("sVersion", data.Version);
    f.AddCustomFields(custom);
    if (!Execute(c, r, true) || !Check(r, "default.asp", "command=resolve")) return trModifyFailed;
    return trDone;
  });
}

namespace VWebTools {

int SendBugTrackerReport(const TConnectionClass& connection_class,
                         const TSendReportClass& sender_class, const TBugReportData& data,
                         THTTPResponse& response) {
  std::unique_ptr<THTTPSendReport> sender = sender_class();
  if (connection_class) sender->ConnectionClass = connection_class;
  return sender->Send(data, response);
}

}  // namespace VWebTools

namespace ExceptionLog {

namespace {

constexpr std::uint8_t kWebTrackerWarning = 9;  // eeWebTrakerError

}  // namespace

bool SendBugTracker(const TBugTrackerInputs& in, bool* closed_shown) {
  TSendHooks& hooks = SendHooks();
  auto text_of = [&](int id, const std::string& text) {
    return in.custom_text ? in.custom_text(id, text) : text;
  };
  TBugReportData data;
  if (!in.files.empty()) data.File = in.files.front();
  THTTPResponse response;
  data.WebAddress = AddressWithLogin(in.address, in.login, in.password, in.port);
  data.ProxyAddress =
      AddressWithLogin(in.proxy_address, in.proxy_login, in.proxy_password, in.proxy_port);
  if (hooks.CustomWebFieldsRequest) hooks.CustomWebFieldsRequest(data.CustomFields);
  data.CustomFields.emplace_back("FogBugzTrialID", in.trial_id);
  data.CustomFields.emplace_back("VL_OSType", in.os_type);
  data.CustomFields.emplace_back("VL_OSBuild", in.os_build);
  data.CustomFields.emplace_back("VL_ReproduceText", in.reproduce_steps);
  data.Version = in.version;
  data.ClassText = in.class_text;
  data.Message = in.message;
  data.BugId = in.bug_id;
  data.User = in.tracker_login;
  data.Password = in.tracker_password;
  data.Project = VCore::ExpandEnvRefs(in.project);
  data.Category = VCore::ExpandEnvRefs(in.category);
  data.Assignee = VCore::ExpandEnvRefs(in.assignee);
  TSendReportClass sender;
  switch (in.web_mode) {
    case 4:
      sender = SendReportClassOf<THTTPBugzillaSendReport>();
      break;
    case 5:
      sender = SendReportClassOf<THTTPFogBugzSendReport>();
      break;
    default:
      sender = SendReportClassOf<THTTPMantisSendReport>();
      break;
  }
  const TConnectionClass connection =
      in.connection_class ? in.connection_class : ConnectionClassOf<THTTPConnection>();
  const int result = VWebTools::SendBugTrackerReport(connection, sender, data, response);
  const bool dialog_up = hooks.DialogUp && hooks.DialogUp();
  if (hooks.CloseDialog) hooks.CloseDialog();
  if (result == trClosed && dialog_up) {
    const TResultText t = ResultText(trClosed);
    MessageBoxA(nullptr, text_of(t.id, t.text).c_str(), text_of(0, "").c_str(), 0x242040);
    if (closed_shown) *closed_shown = true;
  }
  if (result < 2) return true;
  const TResultText t = ResultText(result);
  const std::string warning =
      TrackerWarningText(text_of(t.id, t.text), response.ErrorCode, response.ErrorText);
  if (hooks.Warning)
    hooks.Warning(kWebTrackerWarning, warning);
  else
    OutputDebugStringA(warning.c_str());
  return false;
}

}  // namespace ExceptionLog
