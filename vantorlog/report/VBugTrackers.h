// The bug-tracker senders (web modes 4 Bugzilla, 5 FogBugz, 6 Mantis): each drives the
// tracker's own pages like a browser over a THTTPConnectionBase: log in, search for a bug with
// the same bug ID, then file a new bug with the archive or raise the repeat counter in the
// title of the known one.
//
// The HTML readers and form builders below are pure text work (VBugTrackers.cpp); the senders
// run over WinInet (VBugTrackersWin.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "SendData.h"
#include "VWebTools.h"

namespace VBugTrackers {

using VWebTools::TFormFields;

// Result codes of a sender.
enum TTrackerResult : int {
  trDone = 0,    // filed or updated
  trClosed = 1,  // the bug exists and is closed
  trLoginFailed = 3,
  trSelectFailed = 4,  // project or product selection
  trSearchFailed = 5,
  trInsertFailed = 6,  // creating the bug or attaching the archive
  trModifyFailed = 7,  // updating the bug
};
// The custom text id and default text of a failure code; {0, ""} for 0 and unknown codes.
struct TResultText {
  int id;
  const char* text;
};
TResultText ResultText(int code);

// ---- HTML readers (case-insensitive names; character references decoded) ----

// The value of the first <input> named name whose value is not empty.
bool InputValue(std::string_view body, std::string_view name, std::string* value);
// The text of the <textarea> named name.
bool TextAreaText(std::string_view body, std::string_view name, std::string* text);
// The value of the first selected <option> of the <select> named name.
bool SelectedValue(std::string_view body, std::string_view name, std::string* value);
// The value of the option of the select named name whose visible text (trimmed, entities up
// to the next blank dropped) or decoded text equals text.
bool OptionValueByText(std::string_view body, std::string_view name, std::string_view text,
                       std::string* value);
// The text after the n-th (1-based) marker in the lower-cased body, up to a blank, a quote,
// "&", "<", ">" or "\"; empty when there is no such marker.
std::string TextAfter(std::string_view body, std::string_view marker, int n);
// The text after start up to the next stop character (case-insensitive find of start);
// false when start is absent.
bool TextBetween(std::string_view body, std::string_view start, char stop, std::string* text);
// Case-insensitive.
bool ContainsText(std::string_view body, std::string_view text);

// A title "... - N]...": N + 1 in place of N. False when N is 9999 or more (no new title);
// a title without " - " or without a number after it comes back unchanged.
bool BumpedTitle(std::string_view title, std::string* new_title);

// True when the document is page (case-insensitive; any when page is empty), the body
// contains contain (when given) and does not contain not_contain (when given).
bool CheckPage(std::string_view document, std::string_view body, std::string_view page,
               std::string_view contain, std::string_view not_contain = {});

// ---- Texts of the reports ----

// "[v<version> - 1]: <class> (<bug ID>)".
std::string NewBugTitle(std::string_view version, std::string_view class_text,
                        std::string_view bug_id);
// "<class> (<bug ID>)".
std::string SearchText(std::string_view class_text, std::string_view bug_id);
// message, CR LF CR LF "---" CR LF CR LF and the reproduce text (the message alone when it
// is empty).
std::string JoinReproduceText(std::string_view message, std::string_view reproduce);
// The value of the first custom field called name; empty when there is none.
std::string CustomFieldValue(const TFormFields& fields, std::string_view name);
// The address with login ":" password "@" after its "://" (in front without one) when either
// is set, and ":" port appended when port is not 0.
std::string AddressWithLogin(std::string_view address, std::string_view login,
                             std::string_view password, std::uint16_t port);

// The fields of the next form, read from the last page.
class THTMLForm {
 public:
  THTMLForm(std::string_view body, TFormFields& fields) : body_(body), fields_(fields) {}
  void AddField(std::string_view name, std::string_view value);
  void CopyInput(std::string_view name);
  void CopyTextArea(std::string_view name);
  // False when the select has no selected option (nothing added).
  bool CopySelected(std::string_view name);
  // The option shown as text, else CopySelected.
  void SelectOptionByText(std::string_view name, std::string_view text);
  // Adds name = the title of input name with its counter raised. False (nothing added) when
  // the counter reached 9999; TitleMissing() tells when the page has no such input.
  bool BumpTitleCounter(std::string_view name);
  bool TitleMissing() const { return title_missing_; }
  // Every custom field except the four the send line appends (none with fewer than five).
  void AddCustomFields(const TFormFields& custom);

 private:
  std::string_view body_;
  TFormFields& fields_;
  bool title_missing_ = false;
};

}  // namespace VBugTrackers

// What a sender files, in the order of the send line.
struct TBugReportData {
  std::string Version;    // the program file's version text
  std::string ClassText;  // the exception class
  std::string Message;
  std::string BugId;  // four hexadecimal digits
  std::string WebAddress, ProxyAddress;
  std::string User, Password;  // the tracker's login
  std::string Project, Category, Assignee;
  std::string File;  // the archive; may be empty
  VWebTools::TFormFields CustomFields;
};

// Makes the connection a sender works over (address, proxy address).
using TConnectionClass =
    std::function<std::unique_ptr<THTTPConnectionBase>(const std::string&, const std::string&)>;
template <class T>
TConnectionClass ConnectionClassOf() {
  return [](const std::string& address, const std::string& proxy) {
    return std::unique_ptr<THTTPConnectionBase>(new T(address, proxy));
  };
}

class THTTPSendReport {
 public:
  THTTPSendReport();
  virtual ~THTTPSendReport() = default;
  // A result code (VBugTrackers::TTrackerResult); failed requests leave their error in
  // response. An exception of the connection (it cannot connect) passes through.
  virtual int Send(const TBugReportData& data, THTTPResponse& response) = 0;

  TConnectionClass ConnectionClass;  // default: a connection without progress

 protected:
  // path := base path + page, with the method; fields and files cleared.
  static void SetRequest(THTTPConnectionBase& c, const std::string& page,
                         THTTPConnectionBase::TRequestMethod method);
  // Runs the request; true when it got an answer of 200 whose page passes the check.
  static bool Execute(THTTPConnectionBase& c, THTTPResponse& response, bool progress);
  static bool Check(const THTTPResponse& r, std::string_view page, std::string_view contain,
                    std::string_view not_contain = {});
  // Connects, runs body and disconnects.
  int Run(const TBugReportData& data, const std::function<int(THTTPConnectionBase&)>& body);
};

class THTTPBugzillaSendReport : public THTTPSendReport {
 public:
  int Send(const TBugReportData& data, THTTPResponse& response) override;
};
class THTTPFogBugzSendReport : public THTTPSendReport {
 public:
  int Send(const TBugReportData& data, THTTPResponse& response) override;
};
class THTTPMantisSendReport : public THTTPSendReport {
 public:
  int Send(const TBugReportData& data, THTTPResponse& response) override;
};

using TSendReportClass = std::function<std::unique_ptr<THTTPSendReport>()>;
template <class T>
TSendReportClass SendReportClassOf() {
  return [] { return std::unique_ptr<THTTPSendReport>(new T); };
}

namespace VWebTools {
// Creates the sender, gives it the connection class, runs Send and frees it.
int SendBugTrackerReport(const TConnectionClass& connection_class,
                         const TSendReportClass& sender_class, const TBugReportData& data,
                         THTTPResponse& response);
}  // namespace VWebTools

namespace ExceptionLog {

// What the send line hands to the bug-tracker send of web modes 4 to 6.
struct TBugTrackerInputs {
  std::uint8_t web_mode = 6;    // 4 Bugzilla, 5 FogBugz, 6 Mantis
  std::string address;          // FWebAddress
  std::uint16_t port = 0;       // FWebPortNo
  std::string login, password;  // FWebLogin, FWebPass
  std::string proxy_address;
  std::uint16_t proxy_port = 0;
  std::string proxy_login, proxy_password;
  std::string tracker_login, tracker_password;  // FTrackerLogin, FTrackerPass
  std::string project, category, assignee;      // environment references still in them
  std::string trial_id, reproduce_steps;        // FTrackerTrialId, FReproduceSteps
  std::string version, class_text, message, bug_id;
  std::string os_type, os_build;   // the Windows version name and build text
  std::vector<std::string> files;  // the send-files list; the first is the archive
  // The custom text of an id (default: the given text).
  std::function<std::string(int id, const std::string& text)> custom_text;
  TConnectionClass connection_class;  // default: THTTPConnection
};

// Runs the mode's sender. A closed bug shows its message box while the send dialog is up and
// then sets *closed_shown; a failure leaves the eeWebTrakerError warning with the response's
// error. True when the bug was filed, updated or found closed.
bool SendBugTracker(const TBugTrackerInputs& in, bool* closed_shown);

// The warning text of a failed send: the code's text, a blank line and the response's error.
std::string TrackerWarningText(const std::string& code_text, std::uint32_t error_code,
                               const std::string& error_text);

}  // namespace ExceptionLog
