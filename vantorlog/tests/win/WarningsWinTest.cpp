// Library warnings and internal errors as a debugger sees them: the child program runs under
// this test's own debugger loop, which collects its debugger output lines; the internal-error
// file beside the child is read back field by field.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kChild = VL_WARNINGS_CHILD;
const std::string kLogFile = kChild.substr(0, kChild.size() - 4) + ".log";

struct TRun {
  std::vector<std::string> lines;
  DWORD exit_code = 0xFFFFFFFF;
};

// Runs the child, under a debugger loop of this test when debug is set.
TRun RunChild(const std::string& mode, bool debug) {
  TRun run;
  std::string command = "\"" + kChild + "\" " + mode;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE,
                      debug ? DEBUG_ONLY_THIS_PROCESS : 0, nullptr, nullptr, &si, &pi))
    return run;
  if (debug) {
    for (;;) {
      DEBUG_EVENT event{};
      if (!WaitForDebugEvent(&event, 20000)) break;
      DWORD status = DBG_CONTINUE;
      switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT: {
          const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
          std::string text(info.nDebugStringLength, '\0');
          SIZE_T read = 0;
          ReadProcessMemory(pi.hProcess, info.lpDebugStringData, text.data(), text.size(), &read);
          text.resize(read);
          while (!text.empty() && text.back() == '\0') text.pop_back();
          run.lines.push_back(text);
          break;
        }
        case CREATE_PROCESS_DEBUG_EVENT:
          if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
          break;
        case LOAD_DLL_DEBUG_EVENT:
          if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
          break;
        case EXCEPTION_DEBUG_EVENT:
          if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
            status = DBG_EXCEPTION_NOT_HANDLED;
          break;
        default:
          break;
      }
      const bool ended = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
      if (ended) run.exit_code = event.u.ExitProcess.dwExitCode;
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
      if (ended) break;
    }
  } else {
    WaitForSingleObject(pi.hProcess, 20000);
    GetExitCodeProcess(pi.hProcess, &run.exit_code);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return run;
}

std::string Fact(const TRun& run, const std::string& name) {
  for (const std::string& line : run.lines)
    if (line.rfind(name + "|", 0) == 0) return line.substr(name.size() + 1);
  return "";
}

std::vector<std::string> LogLines() {
  std::ifstream in(kLogFile, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start) + "<no CR LF>");
  return lines;
}

const char kBugQuestion[] =
    "\r\n\r\nThis is an internal VantorLog bug.\r\nDo you want to send the bug information to "
    "VantorLog author?";

TEST(WarningsTest, WarningsGoToTheDebuggerAndOnlySendingErrorsShowABoxWhileTheDialogIsOpen) {
  const TRun run = RunChild("warnings", true);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.lines,
            (std::vector<std::string>{
                "[WARNING] - Code: eeEmailMAPIError - Address: 00401234 - Message: \"mapi down\"",
                "[WARNING] - Code: eeEmailSMTPError - Address: 00401234 - Message: \"smtp down\"",
                "[WARNING] - Code: eeEmailShellError - Address: 00401234 - Message: \"shell "
                "down\"",
                "[WARNING] - Code: eeWebTrakerError - Address: 00401234 - Message: \"tracker "
                "down\"",
                "BOX|Error.|00242010|tracker down",
                "LAST|eeWebTrakerError|tracker down",
                "LAST|eeNone|",
                "[WARNING] - Code: eeLogError - Address: 00401234 - Message: \"[Log] disk full\"",
                "[WARNING] - Code: eeLogError - Address: 00401234 - Message: \"General 'Log' "
                "error.\"",
            }));
}

TEST(WarningsTest, InternalErrorFileHoldsEveryFieldAndTheBoxesFollow) {
  DeleteFileA(kLogFile.c_str());
  const TRun run = RunChild("internal-dump", true);
  EXPECT_EQ(run.exit_code, 0u);
  const std::string bytes = Fact(run, "BYTES");
  const std::string base = Fact(run, "BASE");
  ASSERT_EQ(bytes.size(), 8u);
  EXPECT_NE(std::find(run.lines.begin(), run.lines.end(),
                      "[ERROR] - Section: Section2 - Address: " + bytes + " - Message: \"boom\""),
            run.lines.end());
  const std::vector<std::string> log = LogLines();
  ASSERT_GE(log.size(), 11u);
  std::string dump;
  for (int i = 0; i < 32; ++i) {
    char one[8];
    std::snprintf(one, sizeof one, "$%02X ", i);
    dump += one;
  }
  EXPECT_EQ(log[0], "Version   : 6.0.15");
  EXPECT_TRUE(std::regex_match(
      log[1], std::regex(R"(Date      : (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d{1,2} [A-Z][a-z]{2} )"
                         R"(\d{4} \d{2}:\d{2}:\d{2} \+0000)")))
      << log[1];
  EXPECT_TRUE(std::regex_match(log[2], std::regex("OS        : \\S.*"))) << log[2];
  EXPECT_EQ(log[3].rfind("RAD       : GCC 12", 0), 0u) << log[3];
  EXPECT_EQ(log[4], "Dump      : " + dump);
  EXPECT_EQ(log[5], "Section   : Section2");
  EXPECT_EQ(log[6], "LastExcept: ");
  EXPECT_EQ(
      log[7].rfind("Address   : $" + bytes + " - [" + base + "] vantorlog_warnings_child.exe ", 0),
      0u)
      << log[7];
  EXPECT_EQ(log[8], "Exception : Exception");
  EXPECT_EQ(log[9], "Message   : boom");
  EXPECT_TRUE(std::regex_match(
      log[10], std::regex(R"(Call Stack: 00 \$[0-9A-F]{8} - \[[0-9A-F]{8}\] \S+ .*)")))
      << log[10];
  for (std::size_t i = 11; i < log.size(); ++i) {
    char index[8];
    std::snprintf(index, sizeof index, "%02X $", static_cast<unsigned>(i - 10));
    EXPECT_EQ(log[i].rfind(std::string(12, ' ') + index, 0), 0u) << log[i];
  }
  // Yes to sending; the mail client fails, so the manual way is shown.
  const std::string mail = Fact(run, "MAIL");
  EXPECT_EQ(mail.substr(mail.size() - std::min<std::size_t>(mail.size(), 85)),
            "vantorlog_warnings_child.log|support@vantorlog.example|VantorLog 6.0.15 critical "
            "bug.");
  const std::string question =
      "BOX|Probably internal bug|00242014|Error: 'boom'" + std::string(kBugQuestion);
  EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), question), run.lines.end());
  const std::string& last = run.lines.back();
  EXPECT_EQ(last.rfind("BOX|Information|00242030|Cannot connect with your email client.\r\n"
                       "Send manually the \"",
                       0),
            0u)
      << last;
  const std::string tail =
      "vantorlog_warnings_child.log\" file to the support@vantorlog.example email address, "
      "after click on OK button to close this box.";
  EXPECT_EQ(last.substr(last.size() - std::min(last.size(), tail.size())), tail);
}

TEST(WarningsTest, UnreadableBytesAtTheAddressGiveAnEmptyDump) {
  DeleteFileA(kLogFile.c_str());
  const TRun run = RunChild("internal-unreadable", true);
  const std::vector<std::string> log = LogLines();
  ASSERT_GE(log.size(), 10u);
  EXPECT_EQ(log[4], "Dump      : ");
  EXPECT_EQ(log[8], "Exception : EAccessViolation");
  EXPECT_EQ(log[9], "Message   : Access violation");
}

TEST(WarningsTest, TheExceptionBeingHandledIsReported) {
  DeleteFileA(kLogFile.c_str());
  const TRun run = RunChild("handled", true);
  EXPECT_EQ(run.exit_code, 0u);
  const std::vector<std::string> log = LogLines();
  ASSERT_GE(log.size(), 10u);
  EXPECT_EQ(log[5], "Section   : Section4");
  EXPECT_EQ(log[9], "Message   : inside a catch");
}

TEST(WarningsTest, WithoutDebuggerOrIdeNothingIsWritten) {
  DeleteFileA(kLogFile.c_str());
  const TRun run = RunChild("internal-dump", false);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(GetFileAttributesA(kLogFile.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(WarningsTest, AFailingGuardedStepIsReportedWithItsLabelAndTheProgramGoesOn) {
  const TRun run = RunChild("guarded", true);
  EXPECT_EQ(run.exit_code, 0u);
  const std::string step = Fact(run, "STEP");
  ASSERT_EQ(step.size(), 8u);
  EXPECT_NE(std::find(run.lines.begin(), run.lines.end(),
                      "[ERROR] - Section: Unit.Init (Address: " + step +
                          ") - Address: 00000000 - Message: \"init failed\""),
            run.lines.end());
  // Without the error hook the failure still goes nowhere but the debugger.
  EXPECT_NE(std::find(run.lines.begin(), run.lines.end(),
                      "Critical error at: \"Unit.Done\"\r\nError: \"done failed\"."),
            run.lines.end());
  EXPECT_EQ(run.lines.back(), "ALIVE|00");
}

}  // namespace
