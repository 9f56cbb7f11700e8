// The freeze watchdog in the test program: started and stopped by the two settings of the
// current options, its limit, a processing that keeps the main thread waiting, and a stop from
// an event of its own report. The test thread is the main thread and owns a visible window.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "VCallStack.h"
#include "VFreeze.h"
#include "VModules.h"
#include "VThreads.h"
#include "core/ExceptionLog.h"

namespace {

std::atomic<int> g_frozen_reports{0};
std::atomic<int> g_other_reports{0};
std::string g_last_frozen_report;
DWORD g_slow_step_ms = 0;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  return DefWindowProcA(window, message, w, l);
}

// Dispatches this thread's messages for a while: the window answers.
void Pump(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < milliseconds) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(5);
  }
}

// A copy of the watchdog's thread handle, to see the thread end after the object is gone.
HANDLE WatchdogHandle() {
  TFreezeThread* watchdog = ExceptionLog::FreezeWatchdog();
  HANDLE copy = nullptr;
  if (watchdog)
    DuplicateHandle(GetCurrentProcess(), watchdog->Handle(), GetCurrentProcess(), &copy,
                    SYNCHRONIZE, FALSE, 0);
  return copy;
}

bool Ended(HANDLE thread, DWORD wait_ms = 0) {
  return thread && WaitForSingleObject(thread, wait_ms) == WAIT_OBJECT_0;
}

class FreezeWinTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ExceptionLog::CreateProcessThreadsList();
    ExceptionLog::StartLibrary({});
    ExceptionLog::StartCallStacks();
    VCore::StartModulesList();
    ExceptionLog::StartExceptionProcessing();
    ExceptionLog::SetHooksActive(true);
    WNDCLASSA cls{};
    cls.lpfnWndProc = WindowProc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.lpszClassName = "VantorLogFreezeTest";
    RegisterClassA(&cls);
    window_ = CreateWindowExA(0, cls.lpszClassName, "Freeze test", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                              40, 40, 320, 200, nullptr, nullptr, cls.hInstance, nullptr);
    ExceptionLog::TProcessingSteps& steps = ExceptionLog::ProcessingSteps();
    steps.CaptureScreenshot = [] { Sleep(g_slow_step_ms); };
    steps.ReleaseScreenshot = [] {};
    steps.SaveReportToLog = [](const std::string& report) {
      if (report.find("EFrozenApplication") != std::string::npos) {
        g_last_frozen_report = report;
        ++g_frozen_reports;
      } else {
        ++g_other_reports;
      }
    };
  }

  void SetUp() override {
    options_ = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
    options_->FDialogShowFlags.fill(0xFF);
    options_->SetHangTimeoutSecs(1);
    ExceptionLog::SetCurrentOptions(options_.get());
    g_frozen_reports = g_other_reports = 0;
    g_slow_step_ms = 0;
    Pump(100);
  }
  void TearDown() override {
    ExceptionLog::StopFreezeWatchdog();
    ExceptionLog::GlobalHandlers().ExceptionNotify = nullptr;
    ExceptionLog::SetCurrentOptions(nullptr);
  }

  static HWND window_;
  std::unique_ptr<TVantorModuleOptionsEx> options_;
};
HWND FreezeWinTest::window_ = nullptr;

TEST_F(FreezeWinTest, TheTwoSettingsOfTheCurrentOptionsStartAndStopTheWatchdog) {
  ASSERT_NE(window_, nullptr);
  EXPECT_EQ(ExceptionLog::FreezeWatchdog(), nullptr);  // the hang check is off by default

  options_->SetHangCheck(true);
  TFreezeThread* running = ExceptionLog::FreezeWatchdog();
  ASSERT_NE(running, nullptr);
  HANDLE thread = WatchdogHandle();
  options_->SetHangCheck(true);  // the same value again: the same watchdog goes on
  EXPECT_EQ(ExceptionLog::FreezeWatchdog(), running);
  EXPECT_FALSE(Ended(thread));

  const DWORD before = GetTickCount();
  options_->SetHangCheck(false);
  EXPECT_LT(GetTickCount() - before, 500u);  // at once, not at the next round of sleeps
  EXPECT_EQ(ExceptionLog::FreezeWatchdog(), nullptr);
  EXPECT_TRUE(Ended(thread));
  CloseHandle(thread);

  options_->SetLibraryActive(false);
  options_->SetHangCheck(true);  // the library is inactive: nothing starts
  EXPECT_EQ(ExceptionLog::FreezeWatchdog(), nullptr);
  options_->SetLibraryActive(true);  // now both are on
  EXPECT_NE(ExceptionLog::FreezeWatchdog(), nullptr);

  // Options that are not the current ones only store the setting.
  auto other = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
  other->SetHangCheck(false);
  other->SetLibraryActive(false);
  EXPECT_NE(ExceptionLog::FreezeWatchdog(), nullptr);
  EXPECT_EQ(other->FHangCheck, 0);

  thread = WatchdogHandle();
  options_->SetLibraryActive(false);
  EXPECT_EQ(ExceptionLog::FreezeWatchdog(), nullptr);
  EXPECT_TRUE(Ended(thread));
  CloseHandle(thread);
  options_->SetLibraryActive(true);
}

TEST_F(FreezeWinTest, AProcessingThatKeepsTheMainThreadWaitingDelaysDetectionInsteadOfHanging) {
  options_->SetHangCheck(true);
  ASSERT_NE(ExceptionLog::FreezeWatchdog(), nullptr);
  Pump(400);

  // The main thread waits 2.5 s for its own processing without dispatching: twice the limit.
  g_slow_step_ms = 2500;
  EConvertError error("processed while the watchdog runs");
  ExceptionLog::CoreExceptionHandler(&error, __builtin_return_address(0), false, nullptr, 0, 0,
                                     nullptr, 0, nullptr, nullptr, nullptr, nullptr);
  g_slow_step_ms = 0;
  EXPECT_EQ(g_other_reports.load(), 1);
  Pump(1500);  // the silence of the processing does not count afterwards either
  EXPECT_EQ(g_frozen_reports.load(), 0);

  // The watchdog still works: a silence of more than the limit is one report, on the main
  // thread.
  Sleep(1600);
  Pump(1200);
  EXPECT_EQ(g_frozen_reports.load(), 1);
  EXPECT_NE(g_last_frozen_report.find(
                "|*Exception Thread: ID=" + std::to_string(GetCurrentThreadId()) + ";"),
            std::string::npos);
}

// 3000000 s in milliseconds does not fit in 32 bits: computed so, the limit went negative and
// the first silence was reported.
TEST_F(FreezeWinTest, ALimitBeyond32BitsInMillisecondsIsNotReachedByASecondAndAHalf) {
  options_->SetHangTimeoutSecs(3000000);
  options_->SetHangCheck(true);
  Sleep(1500);
  Pump(1000);
  EXPECT_EQ(g_frozen_reports.load(), 0);
}

TEST_F(FreezeWinTest, AnEventOfItsOwnReportMayStopTheWatchdog) {
  static HANDLE watchdog_thread = nullptr;
  static std::atomic<bool> stopped_in_event{false};
  stopped_in_event = false;
  options_->SetHangCheck(true);
  watchdog_thread = WatchdogHandle();
  ASSERT_NE(watchdog_thread, nullptr);
  ExceptionLog::GlobalHandlers().ExceptionNotify = [](const TVantorExceptionRecord&, bool&) {
    if (TVantorModuleOptions* options = ExceptionLog::CurrentOptions()) {
      options->SetHangCheck(false);  // from the watchdog's own thread
      stopped_in_event = ExceptionLog::FreezeWatchdog() == nullptr;
    }
  };
  Sleep(1600);  // frozen: the report runs and its event stops the watchdog
  Pump(500);
  EXPECT_EQ(g_frozen_reports.load(), 1);
  EXPECT_TRUE(stopped_in_event.load());
  EXPECT_TRUE(Ended(watchdog_thread, 2000));  // it ended by itself once its report was done
  CloseHandle(watchdog_thread);

  ExceptionLog::GlobalHandlers().ExceptionNotify = nullptr;
  options_->SetHangCheck(true);  // a new one starts
  EXPECT_NE(ExceptionLog::FreezeWatchdog(), nullptr);
}

}  // namespace
