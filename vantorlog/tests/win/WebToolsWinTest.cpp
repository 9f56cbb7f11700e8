// The senders against real peers on 127.0.0.1 (peers/web_peers.py runs this program): an HTTP
// and an HTTPS server that parse the multipart body with Python's email module, a pyftpdlib
// server whose files are compared byte for byte, a real SMTP server (aiosmtpd) whose messages
// the email module parses, and a DNS responder for the exchanger lookup.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsock.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "SendTransports.h"
#include "VSockets.h"
#include "VWebTools.h"
#include "core/VBase64.h"
#include "web_peer_client.h"

namespace {

// A folder of its own per test (tests run in parallel) with files of random bytes.
class Files {
 public:
  explicit Files(const std::string& tag) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder_ = std::string(temp) + "vlweb_" + tag + "_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder_.c_str(), nullptr);
  }
  ~Files() {
    for (const auto& f : made_) DeleteFileA(f.c_str());
    RemoveDirectoryA(folder_.c_str());
  }
  std::string Make(const std::string& name, std::size_t size, unsigned seed) {
    std::minstd_rand random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    const std::string path = folder_ + "\\" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    made_.push_back(path);
    bytes_[path] = bytes;
    return path;
  }
  std::string Missing(const std::string& name) const { return folder_ + "\\" + name; }
  const std::string& Bytes(const std::string& path) { return bytes_[path]; }

 private:
  std::string folder_;
  std::vector<std::string> made_;
  std::map<std::string, std::string> bytes_;
};

class SendersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peers.Ready()) << "run through peers/web_peers.py";
    hooks = ExceptionLog::SendHooks();
    ExceptionLog::SendHooks().Warning = [this](std::uint8_t code, const std::string& text) {
      warnings.emplace_back(code, text);
    };
    VWebTools::ClearProxy();
  }
  void TearDown() override {
    ExceptionLog::SendHooks() = hooks;
    VWebTools::SetWinInetLibraryName("wininet.dll");
    VWebTools::SetTimeout(30000);
  }
  Peers peers;
  ExceptionLog::TSendHooks hooks;
  std::vector<std::pair<std::uint8_t, std::string>> warnings;
};

std::string FileEntry(const std::string& name, const std::string& file_name,
                      const std::string& bytes) {
  return "[" + Json(name) + "," + Json(file_name) + "," + Json(Hex(bytes)) + "]";
}

// ---- HTTP and HTTPS uploads ----

using HttpUploadTest = SendersTest;

TEST_F(HttpUploadTest, FieldsAndExistingFilesReachTheServer) {
  for (const bool https : {false, true}) {
    SCOPED_TRACE(https ? "HTTPS" : "HTTP");
    Files files(https ? "https" : "http");
    const std::string zip = files.Make("BugReport.zip", 70001, 1);  // many 1024-byte pieces
    const std::string png = files.Make("Screenshot.png", 10, 2);
    const std::string gone = files.Missing("gone.txt");
    const std::string expect =
        "{\"method\":\"POST\",\"path\":\"/upload/bug.php\",\"auth\":" +
        Json("Basic " + VBase64::EncodeText("joe:pa ss")) +
        ",\"fields\":[[\"build\",\"7\"],[\"who\",\"Anne & Bob\"]],\"files\":[" +
        FileEntry("vl_upload_file_0", "Report_BugReport.zip", files.Bytes(zip)) + "," +
        FileEntry("vl_upload_file_2", "Report_Screenshot.png", files.Bytes(png)) + "]}";
    const std::uint16_t port =
        peers.Make(std::string("{\"op\":\"http\",\"https\":") + (https ? "true" : "false") +
                   ",\"requests\":[{\"expect\":" + expect + "}]}");
    std::vector<std::vector<std::uint32_t>> progress;
    std::string error = "stale";
    const std::int32_t result = VWebTools::HTTPUploadFiles(
        "127.0.0.1", "/upload/bug.php", "joe", error,
        [&](int phase, std::uint32_t total, std::uint32_t done) {
          progress.push_back({static_cast<std::uint32_t>(phase), total, done});
        },
        {{"build", "7"}, {"who", "Anne & Bob"}},
        {"Report_BugReport.zip", "Report_gone.txt", "Report_Screenshot.png"}, {zip, gone, png},
        https, port, "pa ss");
    EXPECT_EQ(result, 0) << error;
    EXPECT_EQ(error, "");
    const PeerReport r = peers.Report(port);
    EXPECT_EQ(r.mismatches, 0) << r.text;
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress[0][0], 0u);
    EXPECT_EQ(progress[1][0], 1u);
    EXPECT_EQ(progress.back()[0], 2u);
    EXPECT_EQ(progress.back()[2], progress.back()[1]);  // all of the body went out
    EXPECT_GT(progress.back()[1], 70001u);
    EXPECT_GT(progress.size(), 70u);
  }
}

TEST_F(HttpUploadTest, FailuresAreReportedNotHung) {
  Files files("httpfail");
  const std::string zip = files.Make("BugReport.zip", 300, 3);
  {
    SCOPED_TRACE("500 answer");
    const std::uint16_t port = peers.Make(
        "{\"op\":\"http\",\"requests\":[{\"status\":500,\"reason\":\"Internal Server Error\"}]}");
    std::string error;
    EXPECT_EQ(VWebTools::HTTPUploadFiles("127.0.0.1", "/x", "", error, nullptr, {},
                                         {"BugReport.zip"}, {zip}, false, port, ""),
              500);
    EXPECT_EQ(error, "Internal Server Error");
    EXPECT_EQ(peers.Report(port).mismatches, 0);
  }
  {
    SCOPED_TRACE("refused port");
    const std::uint16_t port = peers.Make("{\"op\":\"closed\"}");
    std::string error;
    const DWORD start = GetTickCount();
    const std::int32_t result = VWebTools::HTTPUploadFiles(
        "127.0.0.1", "/x", "", error, nullptr, {}, {"BugReport.zip"}, {zip}, false, port, "");
    EXPECT_EQ(result, 12029) << error;  // ERROR_INTERNET_CANNOT_CONNECT
    EXPECT_EQ(error, "The attempt to connect to the server failed.");
    EXPECT_LT(GetTickCount() - start, 30000u);
  }
  {
    SCOPED_TRACE("no WinInet");
    VWebTools::SetWinInetLibraryName("vl_no_such_wininet.dll");
    std::string error = "stale";
    EXPECT_EQ(VWebTools::HTTPUploadFiles("127.0.0.1", "/x", "", error, nullptr, {}, {}, {zip},
                                         false, 1, ""),
              -1);
    EXPECT_EQ(error, "");
    EXPECT_EQ(VWebTools::FTPUploadFiles("127.0.0.1", "", "", error, nullptr, {}, {zip}, 1, ""), -1);
    EXPECT_FALSE(VWebTools::WinInetAvailable());
    ExceptionLog::TWebSendInputs in;
    in.address = "http://127.0.0.1/x";
    in.files = {zip};
    EXPECT_FALSE(ExceptionLog::SendHTTP(in));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].first, ExceptionLog::kWebHTTPWarning);
    EXPECT_EQ(warnings[0].second, "HTTP error code: -1 - Cannot find the \"wininet.dll\" library.");
  }
}

// The peer holds each connection for 170 s, so without the timeouts the test runs out of time.
TEST_F(HttpUploadTest, SilentServersTimeOut) {
  Files files("silent");
  const std::string zip = files.Make("BugReport.zip", 100, 13);
  const std::uint16_t port = peers.Make("{\"op\":\"silent\",\"seconds\":170}");
  VWebTools::SetTimeout(3000);
  std::string error;
  DWORD start = GetTickCount();
  const std::int32_t http = VWebTools::HTTPUploadFiles("127.0.0.1", "/x", "", error, nullptr, {},
                                                       {"BugReport.zip"}, {zip}, false, port, "");
  const DWORD http_ms = GetTickCount() - start;
  // Not a success: WinInet ends the request with the status 0, which is no answer.
  EXPECT_EQ(http, 12152) << error;  // ERROR_HTTP_INVALID_SERVER_RESPONSE
  EXPECT_EQ(error, "The server response could not be parsed.");
  start = GetTickCount();
  const std::int32_t ftp = VWebTools::FTPUploadFiles("127.0.0.1", "", "", error, nullptr,
                                                     {"BugReport.zip"}, {zip}, port, "");
  const DWORD ftp_ms = GetTickCount() - start;
  EXPECT_EQ(ftp, 12002) << error;
  EXPECT_EQ(error, "The request has timed out.");
  std::printf("silent server: HTTP %lu ms, FTP %lu ms\n", http_ms, ftp_ms);
  EXPECT_EQ(peers.Report(port).mismatches, 0);
}

TEST_F(HttpUploadTest, SendHttpUsesTheHooksAndReportsTheResult) {
  Files files("sendhttp");
  const std::string zip = files.Make("BugReport.zip", 2000, 4);
  ExceptionLog::SendHooks().ReportFileName = [](const std::string&) {
    return std::string("BugReport__PC__20260101.zip");
  };
  ExceptionLog::SendHooks().CustomWebFieldsRequest = [](VWebTools::TFormFields& fields) {
    fields.emplace_back("product", "Quarrion");
  };
  int closed = 0;
  ExceptionLog::SendHooks().CloseDialog = [&] { ++closed; };
  const std::string ok_expect =
      "{\"path\":\"/bugs/upload.php\",\"fields\":[[\"product\",\"Quarrion\"]],\"files\":[" +
      FileEntry("vl_upload_file_0", "BugReport__PC__20260101.zip", files.Bytes(zip)) + "]}";
  const std::uint16_t ok_port =
      peers.Make("{\"op\":\"http\",\"requests\":[{\"expect\":" + ok_expect + "}]}");
  ExceptionLog::TWebSendInputs in;
  in.web_mode = 1;
  in.address = "http://127.0.0.1/bugs/upload.php";
  in.port = ok_port;
  in.files = {zip};
  EXPECT_TRUE(ExceptionLog::SendHTTP(in));
  EXPECT_EQ(peers.Report(ok_port).mismatches, 0) << peers.Report(ok_port).text;
  EXPECT_TRUE(warnings.empty());

  // HTTPS mode against a server that answers 403: the HTTPS warning with the status text.
  const std::uint16_t bad_port = peers.Make(
      "{\"op\":\"http\",\"https\":true,\"requests\":[{\"status\":403,\"reason\":\"Go away\"}]}");
  in.web_mode = 2;
  in.address = "https://127.0.0.1/bugs/upload.php";
  in.port = bad_port;
  EXPECT_FALSE(ExceptionLog::SendHTTP(in));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].first, ExceptionLog::kWebHTTPSWarning);
  EXPECT_EQ(warnings[0].second, "HTTPS error code: 403 (Go away)");

  // No files: nothing is sent and that counts as success.
  in.files.clear();
  EXPECT_TRUE(ExceptionLog::SendHTTP(in));
  EXPECT_EQ(closed, 3);
}

TEST_F(HttpUploadTest, ProxyGetsTheRequestForTheTarget) {
  Files files("proxy");
  const std::string zip = files.Make("BugReport.zip", 100, 12);
  // The proxy peer answers for the target, which is never connected to itself.
  const std::string expect =
      "{\"method\":\"POST\",\"path\":\"http://127.0.0.2:8089/up.php\",\"files\":[" +
      FileEntry("vl_upload_file_0", "BugReport.zip", files.Bytes(zip)) + "]}";
  const std::uint16_t proxy =
      peers.Make("{\"op\":\"http\",\"requests\":[{\"expect\":" + expect + "}]}");
  ExceptionLog::TWebSendInputs in;
  in.address = "http://127.0.0.2/up.php";
  in.port = 8089;
  in.proxy_address = "127.0.0.1";
  in.proxy_port = proxy;
  in.proxy_login = "pu";
  in.proxy_password = "pp";
  in.files = {zip};
  std::vector<std::pair<int, std::string>> statuses;
  std::vector<int> bar;
  ExceptionLog::SendHooks().Status = [&](int id, const std::string& text, bool counted) {
    EXPECT_FALSE(counted);
    statuses.emplace_back(id, text);
  };
  ExceptionLog::SendHooks().SetProgress = [&](int p) { bar.push_back(p); };
  EXPECT_TRUE(ExceptionLog::SendHTTP(in));
  const PeerReport r = peers.Report(proxy);
  EXPECT_EQ(r.mismatches, 0) << r.text;
  // OnWebProgress: connecting (bar 0), connected, sending up to 100.
  ASSERT_GE(statuses.size(), 3u);
  EXPECT_EQ(statuses[0], std::make_pair(114, std::string("Connecting with server...")));
  EXPECT_EQ(statuses[1], std::make_pair(115, std::string("Connected with server.")));
  EXPECT_EQ(statuses.back(), std::make_pair(116, std::string("Sending message...")));
  ASSERT_FALSE(bar.empty());
  EXPECT_EQ(bar.front(), 0);
  EXPECT_EQ(bar.back(), 100);
}

// ---- The connection of the bug-tracker senders ----

class RecordingConnection : public THTTPConnectionBase {
 public:
  using THTTPConnectionBase::THTTPConnectionBase;
  void Progress(int phase, int value) override { phases.emplace_back(phase, value); }
  std::vector<std::pair<int, int>> phases;
};

using HttpConnectionTest = SendersTest;

TEST_F(HttpConnectionTest, AddressAndProxyParts) {
  RecordingConnection a("https://joe:pw@bugs.example.org/tracker/index.php?x=1", "");
  EXPECT_TRUE(a.UseHTTPS());
  EXPECT_EQ(a.Port(), 443);
  EXPECT_EQ(a.Host(), "bugs.example.org");
  EXPECT_EQ(a.BasePath(), "tracker/index.php/");
  EXPECT_EQ(a.UserName, "joe");
  EXPECT_FALSE(a.UseProxy());
  RecordingConnection b("http://bugs.example.org:8081/", "proxy.example.org");
  EXPECT_FALSE(b.UseHTTPS());
  EXPECT_EQ(b.Port(), 8081);
  EXPECT_TRUE(b.UseProxy());
  EXPECT_EQ(b.ProxyHost(), "proxy.example.org");
  EXPECT_EQ(b.ProxyPort(), 8080);
  RecordingConnection c("bugs.example.org", ":3128");  // a proxy text of only a port: none
  EXPECT_FALSE(c.UseProxy());
  EXPECT_EQ(c.Port(), 80);
}

TEST_F(HttpConnectionTest, RedirectsAndFinalAnswers) {
  // 302 with a Location: the request is made again as GET to the new place.
  const std::uint16_t port = peers.Make(
      "{\"op\":\"http\",\"requests\":["
      "{\"status\":302,\"reason\":\"Found\",\"headers\":[[\"Location\",\"done.php?id=5\"]],"
      "\"expect\":{\"method\":\"POST\",\"path\":\"/bt/post.php\",\"fields\":[[\"a\",\"1 2\"]]}},"
      "{\"status\":200,\"body\":\"line1\\r\\nline2\\u0001\","
      "\"expect\":{\"method\":\"GET\",\"path\":\"/bt/done.php?id=5\"}},"
      "{\"status\":301,\"reason\":\"Moved\",\"headers\":[[\"Location\",\"/else/x.php\"]],"
      "\"expect\":{\"method\":\"GET\",\"path\":\"/bt/view.php?q=a%20b\"},\"count\":3}]}");
  // The port is only recognised at the end of the address.
  RecordingConnection c("http://127.0.0.1:" + std::to_string(port) + "/", "");
  ASSERT_TRUE(c.Connect());
  c.Path = "/bt/post.php";
  c.RequestMethod = THTTPConnectionBase::rmPostMultipart;
  c.Fields = {{"a", "1 2"}};
  THTTPResponse response;
  ASSERT_TRUE(c.ExecuteRequest(response, true));
  EXPECT_EQ(response.StatusCode, 200);
  EXPECT_EQ(response.Body, "line1  line2 ");
  EXPECT_EQ(response.DocumentName, "done.php");
  EXPECT_EQ(c.Response()->Body, "line1  line2 ");
  EXPECT_EQ(c.RequestMethod, THTTPConnectionBase::rmGet);
  EXPECT_TRUE(c.Fields.empty());
  EXPECT_EQ(c.phases.back(), std::make_pair(7, 0));

  // A 301 is final: its own answer comes back.
  c.Path = "/bt/view.php";
  c.Fields = {{"q", "a b"}};
  ASSERT_TRUE(c.ExecuteRequest(response, false));
  EXPECT_EQ(response.StatusCode, 301);
  EXPECT_EQ(c.Path, "/else/x.php");
  c.Disconnect();
  EXPECT_EQ(c.phases.back(), std::make_pair(9, 0));
  const PeerReport r = peers.Report(port);
  EXPECT_EQ(r.mismatches, 0) << r.text;

  THTTPResponse copy;
  EXPECT_THROW(copy.Assign(nullptr), Exception);
}

TEST_F(HttpConnectionTest, PhasesDriveTheSendDialog) {
  std::vector<std::string> events;
  auto& h = ExceptionLog::SendHooks();
  h.Status = [&](int id, const std::string&, bool) { events.push_back("T" + std::to_string(id)); };
  h.ResetProgress = [&] { events.push_back("reset"); };
  h.SetProgress = [&](int p) { events.push_back("=" + std::to_string(p)); };
  h.AddProgress = [&](int d) { events.push_back("+" + std::to_string(d)); };
  ExceptionLog::THTTPConnection c("http://127.0.0.1/", "");
  for (int phase = 0; phase <= 9; ++phase) c.Progress(phase, phase == 6 ? 40 : 0);
  c.Progress(6, 100);
  EXPECT_EQ(events, (std::vector<std::string>{"T114", "reset", "=5",   "T115", "+5",   "T113",
                                              "+5",   "T118",  "+5",   "T119", "+5",   "T120",
                                              "+5",   "T116",  "=61",  "T117", "=100", "T121",
                                              "=100", "T122",  "=100", "T116", "=100"}));
}

TEST_F(HttpConnectionTest, RefusedConnectionGivesTheError) {
  const std::uint16_t port = peers.Make("{\"op\":\"closed\"}");
  RecordingConnection c("http://127.0.0.1:" + std::to_string(port) + "/", "");
  ASSERT_TRUE(c.Connect());  // WinInet connects lazily
  c.Path = "/x.php";
  THTTPResponse response;
  EXPECT_FALSE(c.ExecuteRequest(response, true));
  EXPECT_EQ(response.ErrorCode, 12029u);
  EXPECT_EQ(response.ErrorText, "The attempt to connect to the server failed.");
}

// ---- FTP ----

using FtpUploadTest = SendersTest;

TEST_F(FtpUploadTest, FilesLandByteForByte) {
  Files files("ftp");
  const std::string zip = files.Make("BugReport.zip", 50000, 5);
  const std::string log = files.Make("Report.txt", 1500, 6);
  const std::uint16_t port = peers.Make(
      "{\"op\":\"ftp\",\"user\":\"joe\",\"password\":\"pw\",\"folders\":[\"incoming\"],"
      "\"expect\":{\"incoming/Bug__PC.zip\":" +
      Json(Hex(files.Bytes(zip))) + ",\"incoming/Report.txt\":" + Json(Hex(files.Bytes(log))) +
      "}}");
  std::string error = "stale";
  std::vector<std::uint32_t> done;
  std::uint32_t total = 0;
  const std::int32_t result = VWebTools::FTPUploadFiles(
      "127.0.0.1", "incoming", "joe", error,
      [&](int phase, std::uint32_t t, std::uint32_t d) {
        total = t;
        if (phase == 2) done.push_back(d);
      },
      {"C:\\x\\Bug__PC.zip", "C:\\x\\gone.txt", "Report.txt"},
      {zip, files.Missing("gone.txt"), log}, port, "pw");
  EXPECT_EQ(result, 0) << error;
  EXPECT_EQ(error, "");
  EXPECT_EQ(total, 51500u);
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(done.back(), 1500u);  // bytes of the current file
  const PeerReport r = peers.Report(port);
  EXPECT_EQ(r.mismatches, 0) << r.text;
}

TEST_F(FtpUploadTest, RefusedFileStopsAndEarlierFilesStay) {
  Files files("ftpdeny");
  const std::string a = files.Make("a.zip", 3000, 7);
  const std::string b = files.Make("b.zip", 10, 8);
  const std::string c = files.Make("c.zip", 10, 9);
  const std::uint16_t port = peers.Make(
      "{\"op\":\"ftp\",\"deny\":[\"b.zip\"],\"expect\":{\"a.zip\":" + Json(Hex(files.Bytes(a))) +
      "}}");
  std::string error;
  const std::int32_t result = VWebTools::FTPUploadFiles(
      "127.0.0.1", "", "joe", error, nullptr, {"a.zip", "b.zip", "c.zip"}, {a, b, c}, port, "pw");
  EXPECT_NE(result, 0);
  EXPECT_NE(error.find("550"), std::string::npos) << error;
  const PeerReport r = peers.Report(port);
  EXPECT_EQ(r.mismatches, 0) << r.text;

  // A wrong password through SendFTP: false and the FTP warning.
  ExceptionLog::TWebSendInputs in;
  in.web_mode = 3;
  in.address = "ftp://127.0.0.1/";
  in.port = port;
  in.login = "joe";
  in.password = "wrong";
  in.files = {a};
  EXPECT_FALSE(ExceptionLog::SendFTP(in));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].first, ExceptionLog::kWebFTPWarning);
  EXPECT_EQ(warnings[0].second.rfind("FTP error code: ", 0), 0u) << warnings[0].second;
}

// ---- SMTP ----

using SmtpSendTest = SendersTest;

std::string Attachment(const std::string& name, const std::string& type, const std::string& b) {
  return "[" + Json(name) + "," + Json(type) + "," + Json(Hex(b)) + "]";
}

TEST_F(SmtpSendTest, DialogueWithAndWithoutLogin) {
  Files files("smtp");
  const std::string zip = files.Make("BugReport.zip", 160, 10);
  const std::string png = files.Make("Screenshot.png", 5000, 11);
  ExceptionLog::SendHooks().SenderDisplayName = [] { return std::string("Test Owner"); };
  ExceptionLog::SendHooks().ReportFileName = [](const std::string& path) {
    return "R_" + path.substr(path.rfind('\\') + 1);
  };
  SetEnvironmentVariableA("VL_WEB_APP", "Quarrion");
  const std::string expect =
      "{\"subject\":\"Crash in Quarrion Bcc: x@y.org\",\"to\":\"<desk@example.org>\","
      "\"from\":\"\\\"Test Owner\\\" <bugs@example.org>\","
      "\"text\":\"Hello\\r\\n.\\r\\nEnd of Quarrion\",\"attachments\":[" +
      Attachment("R_BugReport.zip", "application/octet-stream", files.Bytes(zip)) + "," +
      Attachment("R_Screenshot.png", "image/png", files.Bytes(png)) + "]}";
  const struct {
    const char* what;
    const char* user;
    const char* password;
    std::string dialogue;
  } cases[] = {
      {"no login", "", "",
       "[\"HELO\",\"RSET\",\"MAIL FROM:<bugs@example.org>\",\"RCPT TO:<desk@example.org>\","
       "\"DATA\"]"},
      {"password only", "", "secret",
       "[\"EHLO\",\"RSET\",\"AUTH LOGIN\",\"USER \",\"PASS secret\","
       "\"MAIL FROM:<bugs@example.org>\",\"RCPT TO:<desk@example.org>\",\"DATA\"]"},
      {"user and password", "joe", "p@ss",
       "[\"EHLO\",\"RSET\",\"AUTH LOGIN\",\"USER joe\",\"PASS p@ss\","
       "\"MAIL FROM:<bugs@example.org>\",\"RCPT TO:<desk@example.org>\",\"DATA\"]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    warnings.clear();
    const std::uint16_t port =
        peers.Make("{\"op\":\"smtp\",\"sessions\":[{\"dialogue\":" + c.dialogue +
                   ",\"expect\":" + expect + "}]}");
    std::vector<int> counts;
    ExceptionLog::SendHooks().SetRecipientCount = [&](int n) { counts.push_back(n); };
    EXPECT_TRUE(ExceptionLog::SendSMTPReport(
        false, "bugs@example.org", "127.0.0.1", {zip}, {files.Missing("none.txt"), png},
        "Hello\r\n.\r\nEnd of %VL_WEB_APP%", "Crash in %VL_WEB_APP%\r\nBcc: x@y.org",
        " desk@example.org ; ", c.password, c.user, port));
    EXPECT_EQ(counts, std::vector<int>{1});
    const PeerReport r = peers.Report(port);
    EXPECT_EQ(r.mismatches, 0) << r.text;
    EXPECT_TRUE(warnings.empty()) << warnings[0].second;
  }
}

TEST_F(SmtpSendTest, SecondOfThreeRecipientsFails) {
  const std::uint16_t port = peers.Make(
      "{\"op\":\"smtp\",\"sessions\":["
      "{\"expect\":{\"to\":\"<a@x.org>\"}},"
      "{\"replies\":{\"RCPT\":\"550 no such user\"}},"
      "{\"replies\":{\"RCPT\":\"251 forwarded\"},\"expect\":{\"to\":\"<c@z.org>\","
      "\"from\":\"Bug Desk <desk@example.org>\"},"
      "\"dialogue\":[\"HELO\",\"RSET\",\"MAIL FROM:<desk@example.org>\","
      "\"RCPT TO:<c@z.org>\",\"DATA\"]}]}");
  std::vector<int> numbers;
  ExceptionLog::SendHooks().SetRecipientNumber = [&](int n) { numbers.push_back(n); };
  int closed = 0;
  ExceptionLog::SendHooks().CloseDialog = [&] { ++closed; };
  EXPECT_TRUE(ExceptionLog::SendSMTPReport(false, "Bug Desk <desk@example.org>", "127.0.0.1", {},
                                           {}, "text", "subject", "a@x.org,b@y.org;c@z.org", "", "",
                                           port));
  EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(closed, 1);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].first, ExceptionLog::kEmailSMTPWarning);
  EXPECT_EQ(warnings[0].second.rfind("[SMTP] ", 0), 0u);
  EXPECT_NE(warnings[0].second.find("550 no such user"), std::string::npos) << warnings[0].second;
  EXPECT_NE(warnings[0].second.find("RCPT TO:<b@y.org>"), std::string::npos);
  const PeerReport r = peers.Report(port);
  EXPECT_EQ(r.mismatches, 0) << r.text;
}

TEST_F(SmtpSendTest, RecipientWithLineBreakCannotInjectCommands) {
  // One RCPT line with the whole flattened text, which the server refuses as an address: no
  // second recipient is accepted and nothing is sent.
  const std::uint16_t port = peers.Make(
      "{\"op\":\"smtp\",\"sessions\":[{\"dialogue\":[\"HELO\",\"RSET\","
      "\"MAIL FROM:<bugs@example.org>\"]}]}");
  ExceptionLog::SendHooks().SenderDisplayName = [] { return std::string("Owner"); };
  EXPECT_FALSE(ExceptionLog::SendSMTPMail(false, "bugs@example.org", "127.0.0.1", {}, {}, "t", "s",
                                          "a@x.org\r\nRCPT TO:<evil@y.org", "", "", port));
  const PeerReport r = peers.Report(port);
  EXPECT_EQ(r.mismatches, 0) << r.text;
}

TEST_F(SmtpSendTest, RefusedServerFailsWithTheWarning) {
  const std::uint16_t port = peers.Make("{\"op\":\"closed\"}");
  EXPECT_FALSE(ExceptionLog::SendSMTPReport(false, "a@b.org", "127.0.0.1", {}, {}, "t", "s",
                                            "x@y.org", "", "", port));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].first, ExceptionLog::kEmailSMTPWarning);
}

TEST_F(SmtpSendTest, ExchangerModeAsksDnsAndDropsTheLogin) {
  const std::uint16_t smtp = peers.Make(
      "{\"op\":\"smtp\",\"sessions\":["
      "{\"dialogue\":[\"HELO\",\"RSET\",\"MAIL FROM:<bugs@example.org>\",\"RCPT TO:<a@x.org>\","
      "\"DATA\"],\"expect\":{\"to\":\"<a@x.org>\"}},"
      "{\"dialogue\":[\"HELO\",\"RSET\",\"MAIL FROM:<bugs@example.org>\",\"RCPT TO:<b@y.org>\","
      "\"DATA\"],\"expect\":{\"to\":\"<b@y.org>\"}}]}");
  const std::uint16_t dns =
      peers.Make("{\"op\":\"udp\",\"replies\":[{\"mx\":[[10,\"127.0.0.1\"]]}]}");
  std::vector<std::string> asked;
  ExceptionLog::SendHooks().LookupMX = [&](const std::string& address, int timeout_ms) {
    asked.push_back(address);
    EXPECT_EQ(timeout_ms, 30000);
    return VSockets::LookupMX(address, 3000, {{"127.0.0.1", dns}});
  };
  std::vector<int> statuses;
  ExceptionLog::SendHooks().Status = [&](int id, const std::string&, bool counted) {
    EXPECT_TRUE(counted);
    statuses.push_back(id);
  };
  EXPECT_TRUE(ExceptionLog::SendSMTPReport(true, "bugs@example.org", "ignored.invalid", {}, {}, "t",
                                           "s", "a@x.org;b@y.org", "pw", "joe", smtp));
  EXPECT_EQ(asked, (std::vector<std::string>{"a@x.org", "b@y.org"}));
  EXPECT_EQ(statuses, (std::vector<int>{112, 114, 115, 116, 112, 114, 115, 116}));
  const PeerReport r = peers.Report(smtp);
  EXPECT_EQ(r.mismatches, 0) << r.text;
  EXPECT_TRUE(warnings.empty());

  // No exchanger found: the whole send ends with false and the lookup's warning.
  const std::uint16_t silent = peers.Make("{\"op\":\"udp\",\"replies\":[{\"mx\":[]}]}");
  ExceptionLog::SendHooks().LookupMX = [&](const std::string& address, int) {
    return VSockets::LookupMX(address, 1000, {{"127.0.0.1", silent}});
  };
  EXPECT_FALSE(ExceptionLog::SendSMTPReport(true, "bugs@example.org", "", {}, {}, "t", "s",
                                            "a@x.org;b@y.org", "", "", smtp));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].second.find("Cannot resolve the \"x.org\" MX record."), std::string::npos)
      << warnings[0].second;
}

}  // namespace
