// The send line against real peers on 127.0.0.1 (peers/web_peers.py runs this program): a real
// SMTP server (aiosmtpd) and HTTP servers that receive the one archive, which Python's
// zipfile lists and xmllint checks; the events, the result box, the kept archives and the
// temporary folder seen from here.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "Classes.h"
#include "ReportText.h"
#include "SendSequence.h"
#include "SendTransports.h"
#include "VLogFile.h"
#include "VSockets.h"
#include "VWebErrorPage.h"
#include "core/ExceptionLog.h"
#include "core/VOptions.h"
#include "web_peer_client.h"

namespace {

struct Box {
  std::string text, caption;
  UINT style;
};
std::vector<Box> g_boxes;

int RecordBox(const char* text, const char* caption, UINT style) {
  g_boxes.push_back({text, caption, style});
  return IDOK;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ComputerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  GetComputerNameA(name, &size);
  return name;
}

// A report as the log stores it: a section and a table.
const char kReport[] =
    "Report\r\n\r\nApplication:\r\n-------------------------------------------\r\n"
    "  1.1 Start Date : Thu, 10 Dec 2026 10:00:00 +0000\r\n\r\n"
    "Call Stack Information:\r\n------------------------\r\n|Address |Module  |\r\n"
    "------------------------\r\n|00401000|send.exe|\r\n------------------------\r\n";

class SendSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peers.Ready()) << "run through peers/web_peers.py";
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string base = std::string(temp) + "vlsend_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(base.c_str(), nullptr);
    tmp_ = base + "\\tmp";
    log_folder_ = base + "\\log";
    CreateDirectoryA(tmp_.c_str(), nullptr);
    CreateDirectoryA(log_folder_.c_str(), nullptr);
    SetEnvironmentVariableA("TMP", tmp_.c_str());
    SetEnvironmentVariableA("TEMP", tmp_.c_str());
    options_ = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
    options_->FLogFolder = log_folder_ + "\\report.vlf";
    options_->FMailRecipients = "desk@example.org";
    options_->FSmtpSender = "Bug Desk <bugs@example.org>";
    options_->FSmtpServer = "127.0.0.1";
    options_->FMailSubjectText = "Crash";
    options_->FMailBody = "See the archive.";
    options_->FSendFlags = 0x02 | 0x08;  // the result box, the XML copy
    ExceptionLog::SetCurrentOptions(options_.get());
    ExceptionLog::ReportPieces().Report = kReport;
    ExceptionLog::ReportPieces().SendText = kReport;
    ExceptionLog::SetSendBoxHook(RecordBox);
    ExceptionLog::InstallSendHooks();
    handler_.ExceptionActionNotify = [this](const TVantorExceptionRecord&, int action, bool& go) {
      events_.push_back("action " + std::to_string(action) + (go ? " 1" : " 0"));
      if (action == veto_) go = false;
    };
    handler_.ExceptionErrorNotify = [this](const TVantorExceptionRecord&, TVantorLogErrorCode e,
                                           bool& retry) {
      events_.push_back("error " + std::to_string(static_cast<int>(e)));
      retry = retries_-- > 0;
    };
    ExceptionLog::RegisterHandler(&handler_);
    g_boxes.clear();
  }
  void TearDown() override {
    ExceptionLog::UnregisterHandler(&handler_);
    ExceptionLog::SetSendBoxHook(nullptr);
    ExceptionLog::SetCurrentOptions(nullptr);
  }

  std::string Smtp(const std::string& session) {
    const std::uint16_t port = peers.Make("{\"op\":\"smtp\",\"sessions\":[" + session + "]}");
    options_->FSmtpPortNo = port;
    options_->FMailMode = 2;
    return std::to_string(port);
  }
  std::uint16_t Http(const std::string& requests) {
    const std::uint16_t port = peers.Make("{\"op\":\"http\",\"requests\":" + requests + "}");
    options_->FWebMode = 1;
    options_->FWebAddress = "http://127.0.0.1/upload.php";
    options_->FWebPortNo = port;
    return port;
  }
  void ExpectPeer(std::uint16_t port) {
    const PeerReport r = peers.Report(port);
    EXPECT_EQ(r.mismatches, 0) << r.text;
  }

  Peers peers;
  std::string tmp_, log_folder_;
  std::unique_ptr<TVantorModuleOptions> options_;
  TVantorLogHandler handler_;
  std::vector<std::string> events_;
  int veto_ = -1;
  int retries_ = 0;
};

// The archive both servers get: the report copy and its XML form.
const char kArchive[] =
    "{\"entries\":[\"report.vlf\",\"report.xml\"],\"xml\":[\"report.xml\"],"
    "\"contains\":{\"report.vlf\":\"|00401000|send.exe|\"}}";

TEST_F(SendSequenceTest, EMailThenWebShareOneArchiveAndTheTemporaryFolderIsCleanAfterwards) {
  const std::string smtp =
      Smtp(std::string("{\"dialogue\":[\"HELO\",\"RSET\",\"MAIL FROM:<bugs@example.org>\","
                       "\"RCPT TO:<desk@example.org>\",\"DATA\"],\"expect\":{\"subject\":\"Crash\","
                       "\"text\":\"See the archive.\",\"archive\":") +
           kArchive + "}}");
  const std::uint16_t http = Http(std::string("[{\"expect\":{\"method\":\"POST\",\"path\":"
                                              "\"/upload.php\",\"file_names\":[[\"vl_upload_"
                                              "file_0\",\"BugReport.zip\"]],\"archive\":") +
                                  kArchive + "},\"count\":1}]");
  EXPECT_TRUE(ExceptionLog::SendBugReport());
  ExpectPeer(static_cast<std::uint16_t>(std::stoi(smtp)));
  ExpectPeer(http);
  EXPECT_EQ(events_,
            (std::vector<std::string>{"action 4 1", "action 5 1", "action 6 1", "action 7 1"}));
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].text, "The message was sent successfully.");
  EXPECT_EQ(g_boxes[0].caption, "Information.");
  EXPECT_EQ(g_boxes[0].style, 0x242040u);
  EXPECT_EQ(FilesIn(tmp_), std::vector<std::string>{});
  EXPECT_EQ(FilesIn(log_folder_), std::vector<std::string>{});  // nothing kept when sent
}

TEST_F(SendSequenceTest, FailedWebKeepsTheArchiveUnderItsOwnNameAndPrunesOnlyOwnArchives) {
  options_->FBehaviourFlags = 0x10 | 0x20;  // clipboard and kept archive on failure
  options_->FSendFlags |= 0x200;            // the computer name in the kept name
  retries_ = 1;                             // the handler asks for one more attempt
  const std::string computer = ComputerName();
  const std::string kept = "BugReport__" + computer + ".zip";
  // Eleven kept archives of earlier runs (one under this run's name), a foreign archive. The
  // ten numbered ones sort before any name with a computer name ("BugReport_" and a digit).
  std::vector<std::string> earlier;
  for (int i = 0; i < 10; ++i) earlier.push_back("BugReport_" + std::to_string(i) + ".zip");
  earlier.push_back(kept);
  for (const std::string& name : earlier)
    std::ofstream(log_folder_ + "\\" + name) << "old " << name;
  std::ofstream(log_folder_ + "\\Photos.zip") << "not ours";
  const std::uint16_t http = Http("[{\"status\":500,\"reason\":\"Broken\",\"count\":2}]");
  EXPECT_FALSE(ExceptionLog::SendBugReport());
  ExpectPeer(http);
  EXPECT_EQ(events_, (std::vector<std::string>{"action 6 1", "error 7", "error 7", "action 7 0"}));
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].text, "Sorry, sending the message didn't work.");
  EXPECT_EQ(g_boxes[0].style, 0x242010u);
  EXPECT_EQ(LastWarningCode(), TVantorLogErrorCode::eeWebHTTPError);
  EXPECT_EQ(LastWarningMessage(), "HTTP error code: 500 (Broken)");

  // 12 own archives with the new one: the two first by name went; the old one under the same
  // name stays as it was, the new one has a number; the foreign archive is untouched.
  const std::string numbered = "BugReport__" + computer + "_2.zip";
  std::vector<std::string> want = {"BugReport_2.zip", "BugReport_3.zip", "BugReport_4.zip",
                                   "BugReport_5.zip", "BugReport_6.zip", "BugReport_7.zip",
                                   "BugReport_8.zip", "BugReport_9.zip", kept,
                                   numbered,          "Photos.zip"};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(FilesIn(log_folder_), want);
  EXPECT_EQ(ReadAll(log_folder_ + "\\" + kept), "old " + kept);
  EXPECT_EQ(ReadAll(log_folder_ + "\\Photos.zip"), "not ours");
  EXPECT_EQ(ReadAll(log_folder_ + "\\" + numbered).substr(0, 2), "PK");
  EXPECT_EQ(FilesIn(tmp_), std::vector<std::string>{});

  // The report went to the clipboard.
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE data = GetClipboardData(CF_TEXT);
  const std::string clip = data ? static_cast<const char*>(GlobalLock(data)) : "";
  if (data) GlobalUnlock(data);
  CloseClipboard();
  EXPECT_EQ(clip, kReport);
}

TEST_F(SendSequenceTest, ExchangerHttpsAndFtpEachGetTheArchive) {
  options_->FSendFlags = 0x08;  // the XML copy
  const std::uint16_t dns =
      peers.Make("{\"op\":\"udp\",\"replies\":[{\"mx\":[[10,\"127.0.0.1\"]]}]}");
  std::vector<std::string> asked;
  ExceptionLog::SendHooks().LookupMX = [&](const std::string& address, int) {
    asked.push_back(address);
    return VSockets::LookupMX(address, 3000, {{"127.0.0.1", dns}});
  };
  const struct {
    const char* what;
    int mail_mode, web_mode;
    const char* peer;  // its request; the archive check follows
    const char* address;
  } cases[] = {
      {"the recipient's mail exchanger", 3, 0,
       "{\"op\":\"smtp\",\"sessions\":[{\"dialogue\":[\"HELO\",\"RSET\",\"MAIL "
       "FROM:<bugs@example.org>\",\"RCPT TO:<desk@example.org>\",\"DATA\"],\"expect\":{"
       "\"archive\":",
       ""},
      {"HTTPS", 0, 2,
       "{\"op\":\"http\",\"https\":true,\"requests\":[{\"count\":1,\"expect\":{"
       "\"path\":\"/bugs/upload.php\",\"archive\":",
       "https://127.0.0.1/bugs/upload.php"},
      {"FTP", 0, 3,
       "{\"op\":\"ftp\",\"user\":\"joe\",\"password\":\"pw\",\"folders\":[\"incoming\"],"
       "\"archives\":{\"incoming/BugReport.zip\":",
       "ftp://127.0.0.1/incoming"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    options_->FMailMode = static_cast<std::uint8_t>(c.mail_mode);
    options_->FWebMode = static_cast<std::uint8_t>(c.web_mode);
    const std::string close = c.mail_mode ? "}}]}" : c.web_mode == 2 ? "}}]}" : "}}";
    const std::uint16_t port = peers.Make(c.peer + std::string(kArchive) + close);
    options_->FSmtpPortNo = port;
    options_->FWebAddress = c.address;
    options_->FWebPortNo = port;
    options_->FWebLogin = "joe";
    options_->FWebPass = "pw";
    events_.clear();
    EXPECT_TRUE(ExceptionLog::SendBugReport()) << LastWarningMessage();
    ExpectPeer(port);
    const std::vector<std::string> want =
        c.mail_mode ? std::vector<std::string>{"action 4 1", "action 5 1"}
                    : std::vector<std::string>{"action 6 1", "action 7 1"};
    EXPECT_EQ(events_, want);
    EXPECT_EQ(FilesIn(tmp_), std::vector<std::string>{});
  }
  EXPECT_EQ(asked, std::vector<std::string>{"desk@example.org"});
  ExceptionLog::SendHooks().LookupMX = [](const std::string& address, int timeout_ms) {
    return VSockets::LookupMX(address, timeout_ms);
  };
}

TEST_F(SendSequenceTest, EveryChannelIsTriedAndTheResultIsTheirAnd) {
  const struct {
    const char* what;
    int veto;
    bool mail_works;
    bool web_works;
    bool sent;
    std::vector<std::string> events;
  } cases[] = {
      {"e-mail fails, web sends",
       -1,
       false,
       true,
       false,
       {"action 4 1", "error 5", "action 5 0", "action 6 1", "action 7 1"}},
      {"a handler skips the e-mail",
       4,
       true,
       true,
       false,
       {"action 4 1", "action 6 1", "action 7 1"}},
      {"a handler skips the web", 6, true, true, false, {"action 4 1", "action 5 1", "action 6 1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    events_.clear();
    g_boxes.clear();
    veto_ = c.veto;
    if (c.mail_works) {
      Smtp(c.veto == 4 ? "{}" : "{\"expect\":{\"subject\":\"Crash\"}}");
    } else {
      options_->FMailMode = 2;
      options_->FSmtpPortNo = peers.Make("{\"op\":\"closed\"}");
    }
    const std::uint16_t http = Http(c.veto == 6 ? "[{\"count\":0}]" : "[{\"count\":1}]");
    EXPECT_EQ(ExceptionLog::SendBugReport(), c.sent);
    EXPECT_EQ(events_, c.events);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text, c.sent ? "The message was sent successfully."
                                      : "Sorry, sending the message didn't work.");
    if (c.veto != 6) ExpectPeer(http);
  }
}

// Bytes as hex, for the archive check's "bytes".
std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

TEST_F(SendSequenceTest, AWebProgramsLastPageIsSentAndOnlyACgiProgramKeepsItsFile) {
  options_->FSendFlags |= 0x40;  // the last HTML page
  const std::string page = tmp_ + "\\LastHTMLPage.html";
  const struct {
    const char* what;
    bool cgi;
    const char* served;  // what the program wrote out
    const char* stored;  // the page file's lines, each with CR LF
  } cases[] = {
      {"a web server module: the page saved by the send", false, "<p>One</p>\n<p>Two</p>",
       "<p>One</p>\r\n<p>Two</p>\r\n"},
      {"a CGI program: the page stored as it was written, kept for the server", true,
       "<html>\r\nCGI</html>", "<html>\r\nCGI</html>\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.cgi) {
      SetEnvironmentVariableA("REQUEST_METHOD", "GET");
      ExceptionLog::SaveLastHTMLPage(*options_, c.served);
    } else {
      ExceptionLog::SetIntraWebShowMessage(
          [](void*, const std::string&, int, const std::string&) {});
      ExceptionLog::SetLastHtmlPageText(c.served);
    }
    const std::uint16_t http =
        Http(std::string("[{\"expect\":{\"archive\":{\"entries\":[\"report.vlf\","
                         "\"report.xml\",\"LastHTMLPage.html\"],\"bytes\":{"
                         "\"LastHTMLPage.html\":\"") +
             Hex(c.stored) + "\"}}},\"count\":1}]");
    const bool sent = ExceptionLog::SendBugReport();
    SetEnvironmentVariableA("REQUEST_METHOD", nullptr);
    ExceptionLog::SetIntraWebShowMessage(nullptr);
    ExceptionLog::SetLastHtmlPageText("");
    EXPECT_TRUE(sent);
    ExpectPeer(http);
    EXPECT_EQ(FilesIn(tmp_),
              c.cgi ? std::vector<std::string>{"LastHTMLPage.html"} : std::vector<std::string>{});
    if (c.cgi) EXPECT_EQ(ReadAll(page), c.stored);
    DeleteFileA(page.c_str());
    ExceptionLog::SetHTMLPageSaved(false);
  }
}

TEST_F(SendSequenceTest, AConnectionFailureOfATrackerIsOneFailedAttemptWithItsWarning) {
  options_->FSendFlags = 0x02;
  options_->FWebMode = 6;  // Mantis
  // No host the connection can be made with: the connection raises.
  options_->FWebAddress = "http://no_such_host/mantis/";
  retries_ = 1;
  EXPECT_FALSE(ExceptionLog::SendBugReport());
  EXPECT_EQ(events_, (std::vector<std::string>{"action 6 1", "error 7", "error 7", "action 7 0"}));
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].text, "Sorry, sending the message didn't work.");
  EXPECT_EQ(LastWarningCode(), TVantorLogErrorCode::eeWebTrakerError);
  EXPECT_EQ(LastWarningMessage().rfind("[BugTracker] Cannot create an HTTP", 0), 0u)
      << LastWarningMessage();
  EXPECT_EQ(FilesIn(tmp_), std::vector<std::string>{});
}

TEST_F(SendSequenceTest, RussianSubjectAndBodyWithBareLineBreaksReachAStrictServer) {
  if (GetACP() != 1251) GTEST_SKIP() << "needs the 1251 code page";
  // "Ошибка в %VL_SEND_APP%" and a body whose text and expanded variable hold bare LF and CR.
  options_->FMailSubjectText = "\xCE\xF8\xE8\xE1\xEA\xE0 \xE2 %VL_SEND_APP%";
  options_->FMailBody = "\xCE\xF2\xF7\xB8\xF2\n%VL_SEND_APP%\r.\n";
  SetEnvironmentVariableA("VL_SEND_APP", "Quarrion\nV2");
  const std::string smtp = Smtp(
      "{\"expect\":{\"subject_text\":\"\\u041e\\u0448\\u0438\\u0431\\u043a\\u0430 \\u0432 "
      "Quarrion V2\",\"text_body\":\"\\u041e\\u0442\\u0447\\u0451\\u0442\\r\\nQuarrion\\r\\nV2"
      "\\r\\n.\"}}");
  EXPECT_TRUE(ExceptionLog::SendBugReport());
  ExpectPeer(static_cast<std::uint16_t>(std::stoi(smtp)));
}

}  // namespace
