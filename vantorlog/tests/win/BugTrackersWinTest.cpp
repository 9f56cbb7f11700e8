// The bug-tracker senders against fake trackers on 127.0.0.1 (peers/tracker_peers.py runs this
// program): each fake serves its tracker's pages and form posts, keeps its bugs in memory and
// compares what it got; the archive comes back out of the multipart upload through Python's
// email module.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsock.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SendTransports.h"
#include "VBugTrackers.h"
#include "peer_control.h"

namespace {

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buffer[8];
      wsprintfA(buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

// The requests to tracker_peers.py on its control connection.
class Peers : public PeerControl {
 public:
  Peers() : PeerControl("VL_TRACKER_PEERS") {}
  // The mismatches the fake found, "" when none.
  std::string Report(std::uint16_t port, const std::string& expect) {
    const std::string answer = Request("{\"op\":\"report\",\"port\":" + std::to_string(port) +
                                       ",\"expect\":" + expect + "}");
    const std::size_t tab = answer.find('\t');
    if (tab == std::string::npos) return "no answer";
    return std::stoi(answer.substr(0, tab)) == 0 ? "" : answer.substr(tab + 1);
  }
};

class RecordingConnection : public THTTPConnectionBase {
 public:
  using THTTPConnectionBase::THTTPConnectionBase;
  void Progress(int phase, int) override { phases.push_back(phase); }
  static std::vector<int> phases;
};
std::vector<int> RecordingConnection::phases;

struct Kind {
  const char* name;  // the fake's op
  TSendReportClass sender;
  const char* title_field;  // the form field of the title
};
const Kind kKinds[] = {
    {"mantis", SendReportClassOf<THTTPMantisSendReport>(), "summary"},
    {"bugzilla", SendReportClassOf<THTTPBugzillaSendReport>(), "short_desc"},
    {"fogbugz", SendReportClassOf<THTTPFogBugzSendReport>(), "sTitle"},
};

const char kTitle7[] = "[v1.0.3 - 7]: EAccessViolation (1A2B)";

class BugTrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peers.Ready()) << "run through peers/tracker_peers.py";
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    archive = std::string(temp) + "vltrk_" + std::to_string(GetCurrentProcessId()) + ".zip";
    std::minstd_rand random(7);
    bytes.assign(70000, '\0');  // several 4096-byte pieces
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    std::ofstream(archive, std::ios::binary) << bytes;
    RecordingConnection::phases.clear();
  }
  void TearDown() override { DeleteFileA(archive.c_str()); }

  // A fake tracker of the kind; extra: more JSON members of the request.
  std::uint16_t Make(const Kind& k, const std::string& extra = "") {
    const std::string answer = peers.Request("{\"op\":\"" + std::string(k.name) +
                                             "\",\"user\":\"joe\",\"password\":\"secret\"" +
                                             (extra.empty() ? "" : "," + extra) + "}");
    return static_cast<std::uint16_t>(std::stoi(answer));
  }
  TBugReportData Data(std::uint16_t port) const {
    TBugReportData d;
    d.Version = "1.0.3";
    d.ClassText = "EAccessViolation";
    d.Message = "Access violation at address 00401234.";
    d.BugId = "1A2B";
    // The send line appends the port to the address; the tracker lives below /bt/.
    d.WebAddress = VBugTrackers::AddressWithLogin("http://127.0.0.1/bt/", "", "", port);
    d.User = "joe";
    d.Password = "secret";
    d.Project = "Phone";
    d.Category = "Crash";
    d.Assignee = "O'Brien";
    d.File = archive;
    d.CustomFields = {{"Customer", "ACME & Co"},
                      {"FogBugzTrialID", ""},
                      {"VL_OSType", "Microsoft Windows XP"},
                      {"VL_OSBuild", "2600"},
                      {"VL_ReproduceText", "Pressed Start."}};
    return d;
  }
  int Send(const Kind& k, const TBugReportData& d) {
    return VWebTools::SendBugTrackerReport(ConnectionClassOf<RecordingConnection>(), k.sender, d,
                                           response);
  }
  std::string FileList() const {
    return "[[\"vltrk_" + std::to_string(GetCurrentProcessId()) + ".zip\",\"" + Hex(bytes) + "\"]]";
  }

  Peers peers;
  std::string archive, bytes;
  THTTPResponse response;
};

TEST_F(BugTrackerTest, NewBugIsFiledWithTheArchive) {
  const std::string title = "[v1.0.3 - 1]: EAccessViolation (1A2B)";
  const std::string joined =
      "Access violation at address 00401234.\r\n\r\n---\r\n\r\nPressed Start.";
  // What each tracker's form must carry, read from the fakes' pages by hand.
  const std::string forms[] = {
      "{\"build\":\"1.0.3\",\"os\":\"Microsoft Windows XP\",\"os_build\":\"2600\","
      "\"handler_id\":\"13\",\"category\":\"2\",\"severity\":\"60\",\"m_id\":\"0\","
      "\"steps_to_reproduce\":\"Pressed Start.\",\"description\":\"Access violation at address "
      "00401234.\",\"Customer\":\"ACME & Co\"}",
      "{\"version\":\"1.0.3\",\"component\":\"Crash\",\"assigned_to\":\"O'Brien\","
      "\"bug_file_loc\":\"http://\",\"form_name\":\"enter_bug\",\"comment\":" +
          Json(joined) + ",\"Customer\":\"ACME & Co\"}",
      "{\"ixProject\":\"2\",\"ixArea\":\"6\",\"ixPersonAssignedTo\":\"3\",\"ixPriority\":\"1\","
      "\"sVersion\":\"1.0.3\",\"nFileCount\":\"1\",\"ixBugEventLatest\":\"7\",\"sEvent\":" +
          Json(joined) + ",\"Customer\":\"ACME & Co\"}",
  };
  for (int i = 0; i < 3; ++i) {
    const Kind& k = kKinds[i];
    SCOPED_TRACE(k.name);
    RecordingConnection::phases.clear();
    const std::uint16_t port = Make(k, "\"bugs\":[{\"title\":\"[v1.0.3 - 3]: EOther (1A2C)\"}]");
    EXPECT_EQ(Send(k, Data(port)), 0) << response.ErrorText;
    EXPECT_EQ(peers.Report(port, "{\"bugs\":[[\"[v1.0.3 - 3]: EOther (1A2C)\",[]],[" + Json(title) +
                                     "," + FileList() + "]],\"form\":" + forms[i] +
                                     ",\"absent\":[\"VL_OSType\",\"FogBugzTrialID\","
                                     "\"VL_ReproduceText\"]}"),
              "");
    // login, search, (select), the final post with its upload progress, disconnect
    const std::vector<int>& p = RecordingConnection::phases;
    ASSERT_GE(p.size(), 6u);
    EXPECT_EQ(std::vector<int>(p.begin(), p.begin() + 3), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(std::vector<int>(p.end() - 3, p.end()), (std::vector<int>{7, 8, 9}));
    EXPECT_NE(std::find(p.begin(), p.end(), 6), p.end());
  }
}

TEST_F(BugTrackerTest, KnownBugRaisesTheCounterInsteadOfFilingAgain) {
  const char* update_forms[] = {
      // The description goes back as it was shown, not with its references.
      "{\"bug_id\":\"41\",\"description\":\"It broke & stopped\",\"build\":\"1.0.3\","
      "\"status\":null,\"resolution\":\"10\"}",
      "{\"id\":\"41\",\"knob\":\"none\",\"form_name\":\"process_bug\",\"component\":\"Crash\"}",
      "{\"ixBug\":\"41\",\"command\":\"edit\",\"ixProject\":\"2\",\"sVersion\":\"1.0.3\"}",
  };
  for (int i = 0; i < 3; ++i) {
    const Kind& k = kKinds[i];
    SCOPED_TRACE(k.name);
    const std::uint16_t port = Make(k, "\"bugs\":[{\"title\":" + Json(kTitle7) + "}]");
    EXPECT_EQ(Send(k, Data(port)), 0) << response.ErrorText;
    const std::string form = std::string(update_forms[i]);
    EXPECT_EQ(peers.Report(port,
                           "{\"bugs\":[[\"[v1.0.3 - 8]: EAccessViolation (1A2B)\",[]]],"
                           "\"forms\":1,\"form\":" +
                               form.substr(0, form.size() - 1) + ",\"" + k.title_field +
                               "\":\"[v1.0.3 - 8]: EAccessViolation (1A2B)\"}}"),
              "");
    EXPECT_NE(std::find(RecordingConnection::phases.begin(), RecordingConnection::phases.end(), 5),
              RecordingConnection::phases.end());
  }
}

TEST_F(BugTrackerTest, FullCounterAndClosedBugsPostNothing) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    const std::string full = "[v1.0.3 - 9999]: EAccessViolation (1A2B)";
    std::uint16_t port = Make(k, "\"bugs\":[{\"title\":" + Json(full) + "}]");
    EXPECT_EQ(Send(k, Data(port)), 0);
    EXPECT_EQ(peers.Report(port, "{\"bugs\":[[" + Json(full) + ",[]]],\"forms\":0}"), "");

    port = Make(k, "\"bugs\":[{\"title\":" + Json(kTitle7) + ",\"closed\":true}]");
    EXPECT_EQ(Send(k, Data(port)), 1);
    EXPECT_EQ(peers.Report(port, "{\"bugs\":[[" + Json(kTitle7) + ",[]]],\"forms\":0}"), "");
  }
}

TEST_F(BugTrackerTest, NoArchiveAndFewCustomFields) {
  const char* forms[] = {"{}", "{}", "{\"nFileCount\":\"0\"}"};
  for (int i = 0; i < 3; ++i) {
    const Kind& k = kKinds[i];
    SCOPED_TRACE(k.name);
    const std::uint16_t port = Make(k);
    TBugReportData d = Data(port);
    d.File.clear();
    // Only four entries: no custom fields at all.
    d.CustomFields = {{"Customer", "x"}, {"VL_OSType", "W"}, {"VL_OSBuild", "1"}, {"X", "y"}};
    EXPECT_EQ(Send(k, d), 0) << response.ErrorText;
    EXPECT_EQ(peers.Report(port,
                           "{\"bugs\":[[\"[v1.0.3 - 1]: EAccessViolation (1A2B)\",[]]],"
                           "\"form\":" +
                               std::string(forms[i]) + ",\"absent\":[\"Customer\"]}"),
              "");
  }
}

TEST_F(BugTrackerTest, FailuresGiveTheirCodes) {
  const struct {
    int kind;
    const char* what;
    const char* extra;  // request members of the fake
    bool wrong_password;
    int code;
  } cases[] = {
      {0, "wrong login", "", true, 3},
      {1, "wrong login", "", true, 3},
      {2, "wrong login", "", true, 3},
      {0, "no project select",
       "\"strip\":{\"login_select_proj_page.php\":\"name=\\\"project_id\\\"\"}", false, 3},
      {0, "project missing", "\"project\":\"Other\"", false, 4},
      {0, "search answers 500", "\"fail\":{\"view_all_bug_page.php\":500}", false, 5},
      {1, "search answers 500", "\"fail\":{\"buglist.cgi\":500}", false, 5},
      {2, "every page answers 500", "\"fail\":{\"default.asp\":500}", false, 3},
      {0, "no file field", "\"strip\":{\"bug_report_advanced_page.php\":\"type=\\\"file\\\"\"}",
       false, 6},
      {0, "report answers 500", "\"fail\":{\"bug_report.php\":500}", false, 6},
      {1, "no bug form", "\"strip\":{\"enter_bug.cgi\":\"action=\\\"post_bug.cgi\\\"\"}", false, 4},
      {1, "attachment answers 500", "\"fail\":{\"attachment.cgi\":500}", false, 6},
      {0, "update page without severity",
       "\"bugs\":[{\"title\":\"[v1 - 7]: EAccessViolation (1A2B)\"}],"
       "\"strip\":{\"bug_update_page.php\":\"name=\\\"severity\\\"\"}",
       false, 7},
      {0, "update page without title",
       "\"bugs\":[{\"title\":\"[v1 - 7]: EAccessViolation (1A2B)\"}],"
       "\"strip\":{\"bug_update_page.php\":\"name=\\\"summary\\\"\"}",
       false, 7},
      {1, "update answers 500",
       "\"bugs\":[{\"title\":\"[v1 - 7]: EAccessViolation (1A2B)\"}],"
       "\"fail\":{\"process_bug.cgi\":500}",
       false, 7},
      {2, "edit page without OK",
       "\"bugs\":[{\"title\":\"[v1 - 7]: EAccessViolation (1A2B)\"}],"
       "\"strip\":{\"default.asp\":\"name=\\\"OK\\\"\"}",
       false, 7},
  };
  for (const auto& c : cases) {
    const Kind& k = kKinds[c.kind];
    SCOPED_TRACE(std::string(k.name) + ": " + c.what);
    const std::uint16_t port = Make(k, c.extra);
    ASSERT_NE(port, 0);
    TBugReportData d = Data(port);
    if (c.wrong_password) d.Password = "wrong";
    EXPECT_EQ(Send(k, d), c.code);
  }
}

TEST_F(BugTrackerTest, UnreachableTrackerLeavesTheError) {
  // A port nothing listens on: bind one and close it again.
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int length = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
  closesocket(s);
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(Send(k, Data(ntohs(a.sin_port))), 3);
    EXPECT_EQ(response.ErrorCode, 12029u);
    EXPECT_EQ(response.ErrorText, "The attempt to connect to the server failed.");
  }
}

// ---- The send line's step ----

class SendBugTrackerTest : public BugTrackerTest {
 protected:
  void SetUp() override {
    BugTrackerTest::SetUp();
    saved = ExceptionLog::SendHooks();
    auto& h = ExceptionLog::SendHooks();
    h.CustomWebFieldsRequest = [](VWebTools::TFormFields& f) {
      f.emplace_back("Customer", "ACME");
    };
    h.Warning = [this](std::uint8_t code, const std::string& text) {
      warnings.push_back(std::to_string(code) + ":" + text);
    };
    h.DialogUp = [this] { return dialog_up; };
    h.CloseDialog = [this] { ++closed; };
    h.Status = nullptr;
    SetEnvironmentVariableA("VL_TRK_PROJECT", "Phone");
  }
  void TearDown() override {
    ExceptionLog::SendHooks() = saved;
    BugTrackerTest::TearDown();
  }
  ExceptionLog::TBugTrackerInputs Inputs(std::uint8_t mode, std::uint16_t port) const {
    ExceptionLog::TBugTrackerInputs in;
    in.web_mode = mode;
    in.address = "http://127.0.0.1/bt/";
    in.port = port;
    in.tracker_login = "joe";
    in.tracker_password = "secret";
    in.project = "%VL_TRK_PROJECT%";
    in.category = "Crash";
    in.version = "1.0.3";
    in.class_text = "EAccessViolation";
    in.message = "Boom.";
    in.bug_id = "1A2B";
    in.os_type = "Microsoft Windows XP";
    in.os_build = "2600";
    in.reproduce_steps = "Pressed Start.";
    in.files = {archive, "second.txt"};
    in.custom_text = [](int id, const std::string& text) {
      return id == 0 ? std::string("Tracker test") : text;
    };
    return in;
  }
  ExceptionLog::TSendHooks saved;
  std::vector<std::string> warnings;
  bool dialog_up = false;
  int closed = 0;
};

TEST_F(SendBugTrackerTest, FilesWithTheSendLinesFields) {
  const Kind& k = kKinds[0];
  const std::uint16_t port = Make(k);
  bool shown = false;
  EXPECT_TRUE(ExceptionLog::SendBugTracker(Inputs(6, port), &shown));
  EXPECT_FALSE(shown);
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(warnings.empty());
  // Customer is the only custom field of the event; the four of the send line stay out.
  EXPECT_EQ(
      peers.Report(port, "{\"bugs\":[[\"[v1.0.3 - 1]: EAccessViolation (1A2B)\"," + FileList() +
                             "]],\"form\":{\"Customer\":\"ACME\",\"os\":\"Microsoft "
                             "Windows XP\",\"os_build\":\"2600\",\"steps_to_reproduce\":"
                             "\"Pressed Start.\"},\"absent\":[\"VL_OSType\"]}"),
      "");
}

TEST_F(SendBugTrackerTest, FailureLeavesTheTrackerWarning) {
  const std::uint16_t port = Make(kKinds[1]);
  ExceptionLog::TBugTrackerInputs in = Inputs(4, port);
  in.tracker_password = "wrong";
  EXPECT_FALSE(ExceptionLog::SendBugTracker(in, nullptr));
  EXPECT_EQ(warnings, (std::vector<std::string>{
                          "9:Invalid login request.\r\n\r\nError Code: 0\r\nError Message: \"\""}));
}

TEST_F(SendBugTrackerTest, ClosedBugShowsItsMessageWhileTheDialogIsUp) {
  const std::uint16_t port =
      Make(kKinds[2], "\"bugs\":[{\"title\":" + Json(kTitle7) + ",\"closed\":true}]");
  dialog_up = true;
  // The box is answered from another thread once it shows.
  std::string text;
  std::thread answer([&text] {
    for (int i = 0; i < 300; ++i) {
      if (HWND box = FindWindowA(nullptr, "Tracker test")) {
        char buffer[512] = {};
        GetDlgItemTextA(box, 0xFFFF, buffer, sizeof buffer);
        text = buffer;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(50);
    }
  });
  bool shown = false;
  EXPECT_TRUE(ExceptionLog::SendBugTracker(Inputs(5, port), &shown));
  answer.join();
  EXPECT_TRUE(shown);
  EXPECT_EQ(text, "These BUG is just closed.\r\nContact the program support to obtain an update.");
  EXPECT_TRUE(warnings.empty());

  // Without the dialog nothing is shown, and it still counts as sent.
  dialog_up = false;
  shown = false;
  const std::uint16_t again =
      Make(kKinds[2], "\"bugs\":[{\"title\":" + Json(kTitle7) + ",\"closed\":true}]");
  EXPECT_TRUE(ExceptionLog::SendBugTracker(Inputs(5, again), &shown));
  EXPECT_FALSE(shown);
}

}  // namespace
