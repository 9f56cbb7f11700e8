// The processing line in this program: the core handler called as the hooks call it, from the
// test thread and from two threads at once; the steps recorded through the line's step seams.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "Classes.h"
#include "VCallStack.h"
#include "VFilters.h"
#include "VModules.h"
#include "VSharedBlock.h"
#include "VSystem.h"
#include "VThreads.h"
#include "core/ExceptionLog.h"
#include "report/VLogFile.h"

namespace {

using namespace ExceptionLog;

struct TStepRecord {
  std::string step;
  DWORD thread;    // where the step ran
  DWORD faulting;  // the thread whose exception was processed
};

std::mutex g_lock;
std::vector<TStepRecord> g_trail;
std::string g_logged_report;

void Record(const std::string& step) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_trail.push_back({step, GetCurrentThreadId(), CurrentExceptionContext().ThreadID});
}

std::vector<std::string> Steps() {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<std::string> steps;
  for (const auto& r : g_trail) steps.push_back(r.step);
  return steps;
}

int CountOf(const std::string& step) {
  const auto steps = Steps();
  return static_cast<int>(std::count(steps.begin(), steps.end(), step));
}

std::function<void()> g_log_extra;

class ProcessingLine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CreateProcessThreadsList();
    StartLibrary({});
    StartCallStacks();
    VCore::StartModulesList();
  }

  void SetUp() override {
    g_trail.clear();
    g_logged_report.clear();
    g_log_extra = nullptr;
    options_ = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
    options_->FDialogShowFlags.fill(0xFF);
    // A console program shows the report on standard output; only where the route is checked.
    options_->FDialogKind = 0;
    SetCurrentOptions(options_.get());
    ResetProcessingSteps();
    TProcessingSteps& s = ProcessingSteps();
    s.Progress = [](DWORD code) { Record("p" + std::to_string(code)); };
    s.CheckDuplicateError = [](const std::string&, bool) {};
    s.IsDuplicateError = [] { return false; };
    s.CaptureScreenshot = [] { Record("capture"); };
    s.ReleaseScreenshot = [] { Record("release"); };
    s.SaveReportToLog = [](const std::string& report) {
      Record("log");
      g_logged_report = report;
      if (g_log_extra) g_log_extra();
    };
    s.ShowExceptionDialog = [](bool first) {
      Record(first ? "dialog" : "dialog-again");
      DialogState().DialogKind = 0;
    };
    s.TerminateOrRestart = [] { Record("terminate-or-restart"); };
    GlobalHandlers().ExceptionNotify = [](const TVantorExceptionRecord&, bool&) {
      Record("notify");
    };
    StartExceptionProcessing();
    SetHooksActive(true);
  }

  void TearDown() override {
    SetHooksActive(false);
    SetCoreExceptionHandler(nullptr);
    GlobalHandlers() = TVantorGlobalHandlers();
    ResetProcessingSteps();
    SetCurrentOptions(nullptr);
  }

  std::unique_ptr<TVantorModuleOptionsEx> options_;
};

// As the raise hook hands over an uncaught language raise at this call.
[[gnu::noinline]] bool Process(Exception& object, BYTE handler_kind = 0) {
  return CoreExceptionHandler(&object, __builtin_return_address(0), true, nullptr, 0, handler_kind,
                              nullptr, 0, nullptr, nullptr, __builtin_frame_address(0), nullptr);
}

std::string Environment(const char* name) {
  static char value[65536];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n && n < sizeof value ? std::string(value, n) : std::string("<unset>");
}

TEST_F(ProcessingLine, RunsItsStepsInOrderInTheWorkerWhileTheFaultingThreadWaits) {
  options_->FDialogKind = 2;
  EConvertError error("processing line probe");
  EXPECT_FALSE(Process(error));

  // This program carries no debug data: the options are looked up by address, by module and
  // by the main module.
  const std::vector<std::string> expected = {"p1",   "p101",    "p102",
                                             "p103", "p104",    "p2",
                                             "p201", "p3",      "p4",
                                             "p5",   "p6",      "p7",
                                             "p702", "p703",    "p704",
                                             "p705", "p706",    "notify",
                                             "p8",   "capture", "p9",
                                             "p10",  "p11",     "p12",
                                             "p13",  "p14",     "release",
                                             "p15",  "log",     "p16",
                                             "p17",  "p18",     "terminate-or-restart"};
  EXPECT_EQ(Steps(), expected);
  const DWORD self = GetCurrentThreadId();
  for (const auto& r : g_trail) {
    // The exception becomes current after the first step.
    if (r.step != "p1") {
      EXPECT_EQ(r.faulting, self) << r.step;
    }
    if (r.step == "notify") {
      EXPECT_EQ(r.thread, self) << "events run in the faulting thread";
    } else {
      EXPECT_NE(r.thread, self) << r.step << " runs in the worker";
    }
  }
  // After the processing nothing is current any more.
  EXPECT_EQ(CurrentExceptionContext().ExceptionObject, nullptr);
  EXPECT_EQ(CurrentExceptionContext().ThreadID, 0u);

  EXPECT_NE(g_logged_report.find("EConvertError"), std::string::npos);
  EXPECT_NE(g_logged_report.find("processing line probe"), std::string::npos);
  EXPECT_EQ(g_logged_report, LastReportText());
  EXPECT_EQ(BugID().size(), 4u);
  EXPECT_EQ(BugID().find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(Environment("_LineBreak"), "\r\n");
  char program[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, program, sizeof program);
  EXPECT_EQ(Environment("_MainModuleName"), program);
  EXPECT_EQ(Environment("_ExceptModuleName"), program);
  EXPECT_NE(Environment("_ExceptMsg").find("processing line probe"), std::string::npos);
  EXPECT_EQ(Environment("_BugReport"), LastReportText());
  EXPECT_GT(ErrorCount(), 0);
}

TEST_F(ProcessingLine, LastProcessedAddressIsTheRaisingCall) {
  EConvertError error("address");
  const void* address = reinterpret_cast<const void*>(0x00401234);
  CoreExceptionHandler(&error, address, true, nullptr, 0, 0, nullptr, 0, nullptr, nullptr,
                       __builtin_frame_address(0), nullptr);
  EXPECT_EQ(LastProcessedAddress(), reinterpret_cast<const void*>(0x0040122F));
  CoreExceptionHandler(&error, address, false, nullptr, 0, 0, nullptr, 0, nullptr, nullptr,
                       __builtin_frame_address(0), nullptr);
  EXPECT_EQ(LastProcessedAddress(), address);
}

TEST_F(ProcessingLine, BugIdOfTheSameExceptionAtTheSamePlaceIsTheSame) {
  std::vector<std::string> ids;
  for (int i = 0; i < 2; ++i) {
    EConvertError error("same place");
    Process(error);
    ids.push_back(BugID());
  }
  EXPECT_EQ(ids[0], ids[1]);
}

struct TLockShared {
  HANDLE first_in_log;
  HANDLE second_about_to_enter;
  DWORD first, second;
};
TLockShared* g_lock_shared = nullptr;

// The first thread (no parameter) faults at once; the second once the first is in its log step.
DWORD WINAPI FaultingThread(void* second) {
  EConvertError error(second ? "second" : "first");
  if (second) {
    WaitForSingleObject(g_lock_shared->first_in_log, 10000);
    SetEvent(g_lock_shared->second_about_to_enter);
  }
  Process(error);
  return 0;
}

// A second faulting thread waits on the lock until the first processing has ended.
TEST_F(ProcessingLine, SecondFaultingThreadWaitsForTheFirstProcessing) {
  TLockShared shared{CreateEventA(nullptr, TRUE, FALSE, nullptr),
                     CreateEventA(nullptr, TRUE, FALSE, nullptr), 0, 0};
  g_lock_shared = &shared;
  g_log_extra = [] {
    if (CurrentExceptionContext().ThreadID != g_lock_shared->first) return;
    SetEvent(g_lock_shared->first_in_log);
    WaitForSingleObject(g_lock_shared->second_about_to_enter, 10000);
    Sleep(100);  // room for the second thread to reach the lock (not a timing assertion)
  };
  HANDLE a = CreateThread(nullptr, 0, FaultingThread, nullptr, CREATE_SUSPENDED, &shared.first);
  HANDLE b = CreateThread(nullptr, 0, FaultingThread, &shared, CREATE_SUSPENDED, &shared.second);
  ResumeThread(a);
  ResumeThread(b);
  ASSERT_EQ(WaitForSingleObject(a, 30000), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(b, 30000), WAIT_OBJECT_0);
  CloseHandle(a);
  CloseHandle(b);
  CloseHandle(shared.first_in_log);
  CloseHandle(shared.second_about_to_enter);

  // Whole processings one after the other: every step of the first before any of the second.
  std::vector<DWORD> owners;
  for (const auto& r : g_trail)
    if (r.step != "p1" && (owners.empty() || owners.back() != r.faulting))
      owners.push_back(r.faulting);
  EXPECT_EQ(owners, (std::vector<DWORD>{shared.first, shared.second}));
  EXPECT_EQ(CountOf("p1"), 2);
  EXPECT_EQ(CountOf("p18"), 2);
}

// Faults inside the processing: the line ends (or goes on where it swallows them), nothing is
// processed a second time, and the next exception is processed as usual.
TEST_F(ProcessingLine, ExceptionsInsideTheProcessingNeitherRecurseNorHang) {
  static bool nested_result = true;
  struct TCase {
    const char* name;
    std::function<void()> arrange;
    DWORD last_progress;
  } cases[] = {
      {"a step that raises ends the line at its step",
       [] { g_log_extra = [] { throw EConvertError("log step failed"); }; }, 15},
      {"a raise caught inside a step is not processed",
       [] {
         g_log_extra = [] {
           try {
             throw EConvertError("inside the log step");
           } catch (const Exception&) {
           }
         };
       },
       18},
      {"the worker's own exception handed to the core handler",
       [] {
         g_log_extra = [] {
           EConvertError inner("worker's own");
           nested_result = Process(inner);
         };
       },
       18},
      {"an event handler that raises is swallowed",
       [] {
         GlobalHandlers().ExceptionNotify = [](const TVantorExceptionRecord&, bool&) {
           Record("notify");
           throw EConvertError("handler failed");
         };
       },
       18},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    g_trail.clear();
    g_log_extra = nullptr;
    nested_result = true;
    c.arrange();
    EConvertError error("outer");
    Process(error);
    EXPECT_EQ(ProgressCode(), c.last_progress);
    EXPECT_EQ(CountOf("p1"), 1);
    EXPECT_EQ(CountOf("p16"), c.last_progress == 18 ? 1 : 0);
    if (std::string(c.name).find("worker's own") != std::string::npos) {
      EXPECT_FALSE(nested_result);
    }

    // The lock and the thread's state are free again.
    g_log_extra = nullptr;
    g_trail.clear();
    EConvertError next("next");
    Process(next);
    EXPECT_EQ(CountOf("p18"), 1);
    GlobalHandlers().ExceptionNotify = [](const TVantorExceptionRecord&, bool&) {
      Record("notify");
    };
  }
}

TEST_F(ProcessingLine, FilterHandlingDecidesReportAndResult) {
  struct TCase {
    BYTE handling;
    bool result;
    bool report;
  } cases[] = {{2, false, true}, {1, true, false}, {0, false, false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.handling));
    g_trail.clear();
    options_->FFilters->ClearFilters();
    TVantorExceptionFilter filter;
    filter.ExceptionClassName = "EConvertError";
    filter.Handling = c.handling;
    filter.DialogChoice = 1;
    options_->FFilters->Add(filter);
    EConvertError error("filtered");
    EXPECT_EQ(Process(error), c.result);
    EXPECT_EQ(CountOf("log"), c.report ? 1 : 0);
    EXPECT_EQ(CountOf("p18"), 1);
  }
}

TEST_F(ProcessingLine, SafeCallProcessingPrefixesTheMessageOnce) {
  options_->FBehaviourFlags &= ~0x40;
  EConvertError error("from a safecall method");
  Process(error, 1);
  Process(error, 1);
  EXPECT_EQ(error.Message(), "[SafeCall Exception]: from a safecall method");
  // With behaviour bit 6 clear, a message with the prefix is left alone.
  g_trail.clear();
  EXPECT_FALSE(Process(error));
  EXPECT_EQ(CountOf("p1"), 0);
}

// What an event receiver sees: the report built so far and the options in force, a copy of the
// raising module's that a run-time change of the module's options reaches.
TEST_F(ProcessingLine, EventsSeeTheReportAndTheOptionsInForce) {
  // A fresh modules list: the program's entry is built (and its options made) during the line.
  VCore::StopModulesList();
  VCore::StartModulesList();
  auto own = TVantorModuleOptions::Create<TVantorModuleOptionsEx>(VCore::ProgramFileName());
  own->FDialogShowFlags.fill(0xFF);
  own->FDialogKind = 0;
  SetCurrentOptions(own.get());
  static std::vector<std::string> seen_reports;
  static std::vector<std::string> seen_captions;
  static std::vector<const TVantorModuleOptionsEx*> seen_options;
  seen_reports.clear();
  seen_captions.clear();
  seen_options.clear();
  GlobalHandlers().ExceptionNotify = [](const TVantorExceptionRecord& context, bool&) {
    seen_reports.push_back(context.ReportText.Str());
    seen_options.push_back(context.ModuleOptions);
    seen_captions.push_back(context.ModuleOptions ? context.ModuleOptions->GetCustomText(37)
                                                  : "<none>");
  };
  // Changed at run time, through the setter as a program does.
  own->StoreText(37, "Flasher");
  own->NotifyChanged();
  for (int i = 0; i < 2; ++i) {
    EConvertError error("options in force");
    Process(error);
    ASSERT_EQ(seen_reports.size(), static_cast<std::size_t>(i + 1));
    EXPECT_EQ(seen_reports[i], LastReportText()) << i;
    EXPECT_NE(seen_reports[i].find("\r\nFlasher:\r\n"), std::string::npos) << i;
    EXPECT_EQ(seen_captions[i], "Flasher") << i;
    ASSERT_NE(seen_options[i], nullptr);
    EXPECT_NE(seen_options[i], own.get()) << "the line works on a copy";
    EXPECT_EQ(seen_options[i]->FModuleInstance,
              reinterpret_cast<VCore::TModuleHandle>(GetModuleHandleA(nullptr)));
  }
  // Nothing of the processing changed the program's own object.
  EXPECT_EQ(own->GetCustomText(37), "Flasher");
  SetCurrentOptions(options_.get());
  VCore::ReleasePublishedBlock();
}

// The report that is kept (log, clipboard, the last report) carries the custom data and the
// steps to reproduce inserted after the report was built.
TEST_F(ProcessingLine, KeptReportHoldsCustomDataAndSteps) {
  options_->FLogFlags |= 0x02;
  options_->FReproduceSteps = "Pressed Erase twice";
  GlobalHandlers().CustomDataRequest = [](const TVantorExceptionRecord&, TStrings& list) {
    list.Add("Port=COM3");
    DialogState().CopyChosen = true;  // as the dialog's copy choice
  };
  EConvertError error("custom data");
  Process(error);
  GlobalHandlers().CustomDataRequest = nullptr;
  std::string clipboard;
  ASSERT_TRUE(OpenClipboard(nullptr));
  if (HANDLE data = GetClipboardData(CF_TEXT)) {
    clipboard = static_cast<const char*>(GlobalLock(data));
    GlobalUnlock(data);
  }
  CloseClipboard();
  for (const std::string* kept : {&g_logged_report, &clipboard}) {
    EXPECT_NE(kept->find("\r\n  8.1 Port: COM3\r\n"), std::string::npos) << *kept;
    EXPECT_NE(kept->find("\r\n  8.1 : Pressed Erase twice\r\n"), std::string::npos);
  }
  EXPECT_EQ(clipboard, g_logged_report);
  EXPECT_EQ(LastReportText(), g_logged_report);
}

// A WM_QUIT that the restricted loop takes while a dialog is open is posted again.
TEST_F(ProcessingLine, QuitTakenWhileWaitingIsPostedAgain) {
  ProcessingSteps().IsDialogOpen = [] { return true; };
  g_log_extra = [] { Sleep(150); };  // the faulting thread pumps meanwhile
  MSG stale;
  while (PeekMessageA(&stale, nullptr, 0, 0, PM_REMOVE)) {
  }
  PostQuitMessage(7);
  EConvertError error("quit while waiting");
  Process(error);
  MSG quit{};
  ASSERT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(quit.wParam, 7u);
}

// A report longer than an environment variable holds is cut, not refused.
TEST_F(ProcessingLine, LongReportIsCutInTheEnvironment) {
  EConvertError error(std::string(40000, 'x'));
  Process(error);
  ASSERT_GT(LastReportText().size(), 40000u);
  const std::string report = Environment("_BugReport");
  EXPECT_EQ(report.size(), 32766u);
  EXPECT_EQ(report, LastReportText().substr(0, 32766));
}

struct TWaiter {
  HANDLE go;
  volatile LONG ticks;
};

DWORD WINAPI TickUntilGo(void* p) {
  auto* w = static_cast<TWaiter*>(p);
  while (WaitForSingleObject(w->go, 1) == WAIT_TIMEOUT) InterlockedIncrement(&w->ticks);
  return 0;
}

// The freeze policy holds other threads while the exception is processed and lets them go
// afterwards; without it they run on.
TEST_F(ProcessingLine, FreezePolicyHoldsOtherThreadsDuringTheProcessing) {
  for (const bool freeze : {true, false}) {
    SCOPED_TRACE(freeze);
    options_->FBehaviourFlags = static_cast<std::uint16_t>(freeze ? 0x58 | 0x04 : 0x58);
    static TWaiter waiter;
    waiter.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    waiter.ticks = 0;
    HANDLE thread = HookedCreateThread(nullptr, 0, TickUntilGo, &waiter, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    while (waiter.ticks < 3) Sleep(1);
    static LONG during;
    GlobalHandlers().ExceptionNotify = [](const TVantorExceptionRecord&, bool&) {
      const LONG before = waiter.ticks;
      Sleep(100);
      during = waiter.ticks - before;
    };
    EConvertError error("freeze policy");
    Process(error);
    const LONG after = waiter.ticks;
    Sleep(100);
    EXPECT_GT(waiter.ticks, after) << "running again";
    if (freeze)
      EXPECT_EQ(during, 0);
    else
      EXPECT_GT(during, 0);
    SetEvent(waiter.go);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    CloseHandle(waiter.go);
  }
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// A log whose last report names another version of the program is deleted before this report
// is saved; one of the same version stays.
TEST_F(ProcessingLine, LogOfAnotherProgramVersionIsDeleted) {
  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  const std::string log = std::string(folder) + "vl_version_check.vlf";
  struct TCase {
    const char* stored_version;
    bool kept;
  } cases[] = {{"9.9.9.9", false}, {"", true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.stored_version);
    const std::string old_report = std::string("VantorLog 6.0.15\r\n\r\nApplication:\r\n---\r\n") +
                                   "  1.3 Version Number: " + c.stored_version +
                                   "\r\n\r\nCall Stack Information:\r\n-\r\n|Address|\r\n\r\n\r\n";
    {
      std::ofstream out(log, std::ios::binary | std::ios::trunc);
      out << old_report << "\r\n";
    }
    options_->SetLogFolder(log);
    options_->FLogFlags = 0x04;
    EConvertError error("version check");
    Process(error);
    ExceptionLog::CloseLogFile();
    EXPECT_EQ(ReadFileText(log).find("Version Number") != std::string::npos, c.kept);
    DeleteFileA(log.c_str());
  }
}

// In a CGI program the report goes out as the request's error page; without a dialog the
// message does.
TEST_F(ProcessingLine, CgiModuleAnswersWithTheErrorPage) {
  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  const std::string page_file = std::string(folder) + "vl_cgi_page.txt";
  struct TCase {
    BYTE dialog_kind;
    const char* expected;
  } cases[] = {{2, "2.6 Message"}, {0, "cgi &lt;page&gt; probe"}};
  SetEnvironmentVariableA("REQUEST_METHOD", "GET");
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.dialog_kind));
    options_->FDialogKind = c.dialog_kind;
    HANDLE file = CreateFileA(page_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    EConvertError error("cgi <page> probe");
    Process(error);
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    CloseHandle(file);
    const std::string page = ReadFileText(page_file);
    EXPECT_EQ(page.rfind("Status: 200 Error\r\n", 0), 0u) << page.substr(0, 200);
    EXPECT_NE(page.find(c.expected), std::string::npos);
    EXPECT_NE(page.find("history.go(-1)"), std::string::npos);
    EXPECT_EQ(CountOf("dialog"), 0);
    DeleteFileA(page_file.c_str());
  }
  SetEnvironmentVariableA("REQUEST_METHOD", nullptr);
}

}  // namespace
