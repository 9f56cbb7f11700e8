// The MAPI sender against a MAPI library of our own (mapi32.dll beside the program, loaded
// native; a second copy under another name reached through the mail client's registry entry)
// that records what it received; the shell sender's failure path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "MailSending.h"
#include "SendTransports.h"
#include "core/ExceptionLog.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

std::string ProgramFolder() {
  char buffer[MAX_PATH];
  std::string path(buffer, GetModuleFileNameA(nullptr, buffer, sizeof buffer));
  return path.substr(0, path.find_last_of('\\') + 1);
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

constexpr char kClientsKey[] = "SOFTWARE\\Clients\\Mail";
constexpr char kClientName[] = "VantorLog Test Mail";

void SetMailClient(const std::string& dll_path) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kClientsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(kClientName),
                 sizeof kClientName);
  RegCloseKey(key);
  const std::string sub = std::string(kClientsKey) + "\\" + kClientName;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "DLLPath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(dll_path.c_str()),
                 static_cast<DWORD>(dll_path.size() + 1));
  RegCloseKey(key);
}

void RemoveMailClient() {
  RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(kClientsKey) + "\\" + kClientName).c_str());
  RegDeleteKeyA(HKEY_CURRENT_USER, kClientsKey);
}

// Sets (or, with no value, hides) one registry value of the shared test prefix and puts the
// old one back.
class TRegValueSwap {
 public:
  TRegValueSwap(HKEY root, std::string key, std::string name, const char* value)
      : root_(root), key_(std::move(key)), name_(std::move(name)) {
    HKEY h;
    if (RegOpenKeyExA(root_, key_.c_str(), 0, KEY_READ, &h) == ERROR_SUCCESS) {
      char buffer[1024];
      DWORD size = sizeof buffer, type = 0;
      if (RegQueryValueExA(h, name_.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                           &size) == ERROR_SUCCESS) {
        had_ = true;
        type_ = type;
        old_.assign(buffer, size);
      }
      RegCloseKey(h);
    }
    Write(value ? std::optional<std::string>(std::string(value) + '\0') : std::nullopt, REG_SZ);
  }
  ~TRegValueSwap() { Write(had_ ? std::optional<std::string>(old_) : std::nullopt, type_); }

 private:
  void Write(const std::optional<std::string>& data, DWORD type) {
    HKEY h;
    if (RegCreateKeyExA(root_, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
      return;
    if (data)
      RegSetValueExA(h, name_.c_str(), 0, type, reinterpret_cast<const BYTE*>(data->data()),
                     static_cast<DWORD>(data->size()));
    else
      RegDeleteValueA(h, name_.c_str());
    RegCloseKey(h);
  }
  HKEY root_;
  std::string key_, name_, old_;
  bool had_ = false;
  DWORD type_ = REG_SZ;
};

struct TWarning {
  int code;
  std::string message;
};

class MapiSend : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveMailClient();
    folder_ = ProgramFolder() + "mail-scratch-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(folder_.c_str(), nullptr);
    log_ = folder_ + "mapi.log";
    DeleteFileA(log_.c_str());
    SetEnvironmentVariableA("VL_MAPI_LOG", log_.c_str());
    SetEnvironmentVariableA("VL_MAPI_LOGON_RESULT", nullptr);
    SetEnvironmentVariableA("VL_MAPI_SEND_RESULT", nullptr);
    SetEnvironmentVariableA("VL_MAIL_WORD", "expanded");
    settings_.send_flags = 1;
    settings_.report_file_name = [](const std::string& path) {
      return "renamed-" + path.substr(path.find_last_of('\\') + 1);
    };
    settings_.warning = [this](int code, const std::string& message) {
      warnings_.push_back({code, message});
    };
  }
  void TearDown() override {
    RemoveMailClient();
    for (const std::string& f : created_) DeleteFileA(f.c_str());
    DeleteFileA(log_.c_str());
    RemoveDirectoryA(folder_.c_str());
  }
  std::string MakeFile(const std::string& name) {
    const std::string path = folder_ + name;
    WriteFile(path, "content of " + name);
    created_.push_back(path);
    return path;
  }
  std::vector<std::string> Log() const { return ReadLines(log_); }
  std::vector<std::string> LogLinesStarting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : Log())
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
  }
  std::vector<std::string> WarningTexts() const {
    std::vector<std::string> out;
    for (const TWarning& w : warnings_) out.push_back(std::to_string(w.code) + " " + w.message);
    return out;
  }

  // The prefix's own mail client (the machine's) stays out of the way.
  TRegValueSwap machine_client_{HKEY_LOCAL_MACHINE, kClientsKey, "", nullptr};
  std::string folder_, log_;
  std::vector<std::string> created_;
  ExceptionLog::TMailClientSettings settings_;
  std::vector<TWarning> warnings_;
};

TEST_F(MapiSend, FillsTheMessageRecordsAsTheMailProgramReadsThem) {
  const std::string report = MakeFile("report.vlf");
  const std::string shot = MakeFile("shot.png");
  const std::string missing = folder_ + "missing.zip";
  ASSERT_TRUE(ExceptionLog::SendMailViaMAPI(
      "first@example.org; second@example.net,", "Bug\r\n\tin %VL_MAIL_WORD%\x01",
      "Body %VL_MAIL_WORD%\r\nline 2", {missing, "", report}, {shot}, settings_));
  EXPECT_THAT(WarningTexts(), IsEmpty());
  EXPECT_THAT(
      Log(),
      ElementsAreArray(std::vector<std::string>{
          "logon module=mapi32.dll ui=0 profile=(null) password=(null) flags=1 reserved=0 "
          "result=0",
          "send session=1 ui=0 flags=9 reserved=0 result=0",
          "message reserved=0 type=(null) date=(null) conversation=(null) flags=0 "
          "originator=(null) recipients=2 set files=2 set",
          "subject=Bug in expanded ", "note=Body expanded\\x0D\\x0Aline 2",
          "recipient reserved=0 class=1 eid=0 (null) name=first@example.org "
          "address=SMTP:first@example.org",
          "recipient reserved=0 class=1 eid=0 (null) name=second@example.net "
          "address=SMTP:second@example.net",
          // The extra files first, then the list; the missing and the empty entry are left out.
          "file reserved=0 flags=0 position=4294967295 type=(null) path=" + shot +
              " name=renamed-shot.png",
          "file reserved=0 flags=0 position=4294967295 type=(null) path=" + report +
              " name=renamed-report.vlf",
          "logoff session=1 ui=0 flags=0 reserved=0"}));
}

TEST_F(MapiSend, ResultCodesOfTheMailProgram) {
  struct Case {
    const char* logon;
    const char* send;
    bool sent;
    std::vector<std::string> warnings;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"0", "0", true, {}, {"logon", "send", "logoff"}},
      {"0", "1", false, {}, {"logon", "send", "logoff"}},  // cancelled: not sent
      {"0", "2", false, {"3 Cannot send the MAPI message."}, {"logon", "send", "logoff"}},
      {"0", "11", false, {"3 Cannot send the MAPI message."}, {"logon", "send", "logoff"}},
      {"3", "0", false, {"3 Cannot LogOn into the MAPI service."}, {"logon"}},
      {"1", "0", false, {"3 Cannot LogOn into the MAPI service."}, {"logon"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("logon ") + c.logon + ", send " + c.send);
    DeleteFileA(log_.c_str());
    warnings_.clear();
    SetEnvironmentVariableA("VL_MAPI_LOGON_RESULT", c.logon);
    SetEnvironmentVariableA("VL_MAPI_SEND_RESULT", c.send);
    bool cancelled = false;
    settings_.cancelled = &cancelled;
    EXPECT_EQ(ExceptionLog::SendMailViaMAPI("a@example.org", "s", "t", {}, {}, settings_), c.sent);
    EXPECT_EQ(cancelled, std::string(c.send) == "1");
    settings_.cancelled = nullptr;
    EXPECT_THAT(WarningTexts(), ElementsAreArray(c.warnings));
    std::vector<std::string> calls;
    for (const std::string& line : Log())
      if (line.rfind("logon", 0) == 0 || line.rfind("send", 0) == 0 || line.rfind("logoff", 0) == 0)
        calls.push_back(line.substr(0, line.find(' ')));
    EXPECT_THAT(calls, ElementsAreArray(c.calls));
  }
}

TEST_F(MapiSend, WithoutComposeFlagAndWithoutFilesTheArrayIsAbsent) {
  settings_.send_flags = 0xFFFE;  // every bit but the compose window's
  ASSERT_TRUE(ExceptionLog::SendMailViaMAPI("a@example.org", "s", "t", {folder_ + "none.zip"}, {},
                                            settings_));
  EXPECT_THAT(LogLinesStarting("send "),
              ElementsAre("send session=1 ui=0 flags=1 reserved=0 result=0"));
  EXPECT_THAT(LogLinesStarting("message "),
              ElementsAre("message reserved=0 type=(null) date=(null) conversation=(null) "
                          "flags=0 originator=(null) recipients=1 set files=0 (null)"));
  EXPECT_THAT(LogLinesStarting("file "), IsEmpty());
}

TEST_F(MapiSend, FileListTextIsSplitAtCommasAndSemicolons) {
  const std::string a = MakeFile("a.txt");
  const std::string b = MakeFile("b.txt");
  ASSERT_TRUE(ExceptionLog::SendMAPIMailWithFileList("x@example.org", "s", "t",
                                                     " " + a + " ;, " + b + ",", settings_));
  EXPECT_THAT(LogLinesStarting("file "),
              ElementsAre("file reserved=0 flags=0 position=4294967295 type=(null) path=" + a +
                              " name=renamed-a.txt",
                          "file reserved=0 flags=0 position=4294967295 type=(null) path=" + b +
                              " name=renamed-b.txt"));
}

TEST_F(MapiSend, RelativePathsAreSentInFull) {
  MakeFile("rel.txt");
  char cwd[MAX_PATH];
  GetCurrentDirectoryA(sizeof cwd, cwd);
  SetCurrentDirectoryA(folder_.c_str());
  settings_.report_file_name = nullptr;  // the file's own name
  const bool sent =
      ExceptionLog::SendMailViaMAPI("x@example.org", "s", "t", {"rel.txt"}, {}, settings_);
  SetCurrentDirectoryA(cwd);
  ASSERT_TRUE(sent);
  EXPECT_THAT(LogLinesStarting("file "),
              ElementsAre("file reserved=0 flags=0 position=4294967295 type=(null) path=" +
                          folder_ + "rel.txt name=rel.txt"));
}

TEST_F(MapiSend, RecipientLongerThanTheRecordHoldsIsRefusedBeforeLogon) {
  const std::string fits = std::string(251 - 12, 'a') + "@example.org";  // "SMTP:" + 251
  ASSERT_EQ(fits.size(), 251u);
  ASSERT_TRUE(ExceptionLog::SendMailViaMAPI(fits, "s", "t", {}, {}, settings_));
  EXPECT_THAT(LogLinesStarting("recipient "),
              ElementsAre("recipient reserved=0 class=1 eid=0 (null) name=" + fits +
                          " address=SMTP:" + fits));
  DeleteFileA(log_.c_str());
  EXPECT_FALSE(
      ExceptionLog::SendMailViaMAPI("ok@example.org;a" + fits, "s", "t", {}, {}, settings_));
  EXPECT_THAT(WarningTexts(), ElementsAre("3 Cannot send the MAPI message."));
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(MapiSend, LibraryOfTheDefaultMailClient) {
  struct Case {
    std::string dll_path;
    bool sent;
    std::string module;  // the library that got the logon; empty: none
    std::vector<std::string> warnings;
  };
  SetEnvironmentVariableA("VL_MAPI_FOLDER", ProgramFolder().c_str());
  const std::vector<Case> cases = {
      // Environment references in the registered path are expanded.
      {"%VL_MAPI_FOLDER%vl_mapi_peer.dll", true, "vl_mapi_peer.dll", {}},
      {ProgramFolder() + "vl_mapi_peer.dll", true, "vl_mapi_peer.dll", {}},
      // A registered library that does not load: mapi32.dll.
      {ProgramFolder() + "no_such_mapi.dll", true, "mapi32.dll", {}},
      {"", true, "mapi32.dll", {}},
      // One that loads but is no MAPI library.
      {"kernel32.dll", false, "", {"3 Cannot found the MAPI functions."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dll_path);
    DeleteFileA(log_.c_str());
    warnings_.clear();
    SetMailClient(c.dll_path);
    EXPECT_EQ(ExceptionLog::SendMailViaMAPI("a@example.org", "s", "t", {}, {}, settings_), c.sent);
    EXPECT_THAT(WarningTexts(), ElementsAreArray(c.warnings));
    const auto logons = LogLinesStarting("logon ");
    if (c.module.empty()) {
      EXPECT_THAT(logons, IsEmpty());
    } else {
      ASSERT_EQ(logons.size(), 1u);
      EXPECT_EQ(logons[0].substr(0, logons[0].find(' ', 6)), "logon module=" + c.module);
    }
  }
  // The library is freed after each send.
  EXPECT_EQ(GetModuleHandleA("vl_mapi_peer.dll"), nullptr);
  EXPECT_EQ(GetModuleHandleA("mapi32.dll"), nullptr);
}

// Run with mapi32 disabled (WINEDLLOVERRIDES=mapi32=d, VL_MAPI_DISABLED=1): no library at all.
TEST_F(MapiSend, MissingLibraryIsAFailureWithItsWarning) {
  if (GetEnvironmentVariableA("VL_MAPI_DISABLED", nullptr, 0) == 0)
    GTEST_SKIP() << "runs in the mapi32-disabled test";
  EXPECT_FALSE(ExceptionLog::SendMailViaMAPI("a@example.org", "s", "t", {}, {}, settings_));
  EXPECT_THAT(WarningTexts(), ElementsAre("3 Cannot open the MAPI dll."));
  EXPECT_THAT(Log(), IsEmpty());
  // Without a warning sink the library warning holds it.
  ClearLibraryWarning();
  EXPECT_FALSE(ExceptionLog::SendMailViaMAPI("a@example.org", "s", "t", {}, {}, {}));
  EXPECT_EQ(LastWarningCode(), TVantorLogErrorCode::eeEmailMAPIError);
  EXPECT_EQ(LastWarningMessage(), "Cannot open the MAPI dll.");
}

TEST_F(MapiSend, DefaultSettingsTakeTheSendersHooks) {
  const std::string report = MakeFile("hooked.vlf");
  ExceptionLog::TSendHooks& hooks = ExceptionLog::SendHooks();
  const ExceptionLog::TSendHooks saved = hooks;
  std::vector<std::string> hook_warnings;
  hooks.ReportFileName = [](const std::string&) { return std::string("From the hook.vlf"); };
  hooks.Warning = [&](std::uint8_t code, const std::string& text) {
    hook_warnings.push_back(std::to_string(code) + " " + text);
  };
  SetEnvironmentVariableA("VL_MAPI_SEND_RESULT", "2");
  const bool sent = ExceptionLog::SendMailViaMAPI("a@example.org", "s", "t", {report}, {});
  hooks = saved;
  EXPECT_FALSE(sent);
  EXPECT_THAT(hook_warnings, ElementsAre("3 Cannot send the MAPI message."));
  EXPECT_THAT(LogLinesStarting("file "),
              ElementsAre("file reserved=0 flags=0 position=4294967295 type=(null) path=" + report +
                          " name=From the hook.vlf"));
}

constexpr char kMailtoCommandKey[] = "mailto\\shell\\open\\command";

TEST(ShellSend, HandlerThatCannotStartIsAFailureWithTheSystemMessage) {
  const TRegValueSwap handler(HKEY_CLASSES_ROOT, kMailtoCommandKey, "",
                              "C:\\no\\such\\mail-client.exe \"%1\"");
  std::vector<TWarning> warnings;
  ExceptionLog::TMailClientSettings settings;
  settings.warning = [&](int code, const std::string& message) {
    warnings.push_back({code, message});
  };
  EXPECT_FALSE(ExceptionLog::SendMailViaShell("a@example.org", "s", "t", "report", settings));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].code, ExceptionLog::kMailShellWarning);
  std::vector<std::string> system_texts;
  for (const DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}) {
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof text, nullptr);
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
    system_texts.push_back(t);
  }
  EXPECT_THAT(system_texts, ::testing::Contains(warnings[0].message));
  // Without a warning sink the library warning holds it.
  ClearLibraryWarning();
  EXPECT_FALSE(ExceptionLog::SendMailViaShell("a@example.org", "s", "t", "report", {}));
  EXPECT_EQ(LastWarningCode(), TVantorLogErrorCode::eeEmailShellError);
  EXPECT_EQ(LastWarningMessage(), warnings[0].message);
}

TEST(ShellSend, AMailProgramLeftOpenEndsTheWaitAfterItsBound) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string log =
      std::string(temp) + "vlmail_open_" + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(log.c_str());
  const std::string command = "\"" + ProgramFolder() + "vantorlog_mail_client_child.exe\" \"%1\"";
  const TRegValueSwap handler(HKEY_CLASSES_ROOT, kMailtoCommandKey, "", command.c_str());
  SetEnvironmentVariableA("VL_MAIL_CLIENT_LOG", log.c_str());
  SetEnvironmentVariableA("VL_MAIL_CLIENT_OPEN_MS", "20000");
  ExceptionLog::TMailClientSettings settings;
  settings.shell_wait_ms = 300;
  EXPECT_TRUE(ExceptionLog::SendMailViaShell("a@example.org", "s", "t", "report", settings));
  SetEnvironmentVariableA("VL_MAIL_CLIENT_OPEN_MS", nullptr);
  const auto written = [&log] {
    std::ifstream in(log, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  // Back while the mail program is still open, which got the message.
  EXPECT_EQ(written().find("closed"), std::string::npos);
  for (int i = 0; i < 100 && written().find("mailto:") == std::string::npos; ++i) Sleep(100);
  EXPECT_NE(written().find("mailto:a@example.org?Subject=s"), std::string::npos) << written();
}

// Driven by check_mailto.py: the inputs (recipients, subject, text, report separated by zero
// bytes) come from VL_MAIL_SHELL_INPUT; the mail client child writes its command line to
// VL_MAIL_CLIENT_LOG, which the script parses.
TEST(ShellSend, StartsTheRegisteredHandlerAndWaitsForIt) {
  char input_path[MAX_PATH];
  if (GetEnvironmentVariableA("VL_MAIL_SHELL_INPUT", input_path, sizeof input_path) == 0)
    GTEST_SKIP() << "runs under check_mailto.py";
  std::ifstream in(input_path, std::ios::binary);
  std::vector<std::string> fields;
  for (std::string field; std::getline(in, field, '\0');) fields.push_back(field);
  ASSERT_EQ(fields.size(), 4u);
  const std::string command = "\"" + ProgramFolder() + "vantorlog_mail_client_child.exe\" \"%1\"";
  const TRegValueSwap handler(HKEY_CLASSES_ROOT, kMailtoCommandKey, "", command.c_str());
  std::vector<TWarning> warnings;
  ExceptionLog::TMailClientSettings settings;
  settings.warning = [&](int code, const std::string& message) {
    warnings.push_back({code, message});
  };
  EXPECT_TRUE(ExceptionLog::SendMailViaShell(fields[0], fields[1], fields[2], fields[3], settings));
  EXPECT_THAT(warnings, IsEmpty());
}

}  // namespace
