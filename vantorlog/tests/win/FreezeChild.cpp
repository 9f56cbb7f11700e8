// A program with a main window whose window procedure stops answering for a while, for the peer
// that checks the freeze reports: how many, on which thread, where the main thread stood.
// Usage: vantorlog_freeze_child <busy|long|iconic|responsive> <trail file>
//   busy:       the window procedure loops 2.5 s (the report's dialog stays up 0.8 s);
//   long:       it loops until 2.5 s after the first report's processing ended (however long
//               that took), so that a full limit of silence follows it (the dialog stays up
//               0.2 s);
//   iconic:     the same as busy with the window minimised first;
//   responsive: the window answers for 10 s.
// The freeze limit is 1 s. Trail lines: "<what> <thread id> <milliseconds>": "main", "loop",
// "released", "p<progress code>" of each processing step, "dialog", "end"; the report handed to
// the log goes to "<trail file>.report.<n>" (n from 1).
#include <windows.h>

#include <cstdio>
#include <string>

#include "TestLibrary.h"
#include "VFreeze.h"

namespace {

std::string g_trail;
std::string g_mode;
int g_reports = 0;
volatile LONG g_release = 0;
DWORD g_loop_ms = 2500;
// Set at the end of each processing; the long loop counts from the first one.
HANDLE g_processing_ended = nullptr;
DWORD g_dialog_ms = 800;
constexpr UINT kStartLoop = WM_APP + 1;
constexpr UINT_PTR kEndTimer = 1;
constexpr UINT_PTR kWorkTimer = 2;

void Trail(const std::string& what) {
  if (FILE* f = std::fopen(g_trail.c_str(), "ab")) {
    std::fprintf(f, "%s %lu %lu\n", what.c_str(), GetCurrentThreadId(), GetTickCount());
    std::fclose(f);
  }
}

[[gnu::noinline]] void BusyLoop() {
  while (!g_release) {  // freeze-site
  }
}

DWORD WINAPI Release(void*) {
  // Without a report at all the loop still ends (the check then counts none).
  if (g_processing_ended) WaitForSingleObject(g_processing_ended, 90000);
  Sleep(g_loop_ms);
  InterlockedExchange(&g_release, 1);
  return 0;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case kStartLoop: {
      HANDLE releaser = CreateThread(nullptr, 0, Release, nullptr, 0, nullptr);
      CloseHandle(releaser);
      Trail("loop");
      BusyLoop();
      Trail("released");
      SetTimer(window, kEndTimer, 1500, nullptr);
      return 0;
    }
    case WM_TIMER:
      if (w == kEndTimer) PostQuitMessage(0);
      if (w == kWorkTimer) Sleep(5);  // a program at work, answering between its jobs
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(window, message, w, l);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  if (__argc < 3) return 2;
  g_mode = __argv[1];
  g_trail = __argv[2];
  DeleteFileA(g_trail.c_str());
  if (g_mode == "long") {
    g_processing_ended = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_dialog_ms = 200;
  }
  Trail("main");

  auto options = StartLibraryByHand();
  options->SetHangTimeoutSecs(1);

  ExceptionLog::TProcessingSteps& steps = ExceptionLog::ProcessingSteps();
  steps.Progress = [](DWORD code) {
    Trail("p" + std::to_string(code));
    if (code == 18 && g_processing_ended) SetEvent(g_processing_ended);
  };
  steps.CaptureScreenshot = [] {};
  steps.ReleaseScreenshot = [] {};
  steps.SaveReportToLog = [](const std::string& report) {
    const std::string name = g_trail + ".report." + std::to_string(++g_reports);
    if (FILE* f = std::fopen(name.c_str(), "wb")) {
      std::fwrite(report.data(), 1, report.size(), f);
      std::fclose(f);
    }
  };
  steps.ShowExceptionDialog = [](bool) {
    Trail("dialog");
    Sleep(g_dialog_ms);  // the user reads the dialog
    ExceptionLog::DialogState().DialogKind = 0;
  };

  WNDCLASSA cls{};
  cls.lpfnWndProc = WindowProc;
  cls.hInstance = instance;
  cls.lpszClassName = "VantorLogFreezeChild";
  cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
  RegisterClassA(&cls);
  HWND window = CreateWindowExA(0, cls.lpszClassName, "Freeze child", WS_OVERLAPPEDWINDOW, 40, 40,
                                320, 200, nullptr, nullptr, instance, nullptr);
  ShowWindow(window, g_mode == "iconic" ? SW_MINIMIZE : SW_SHOWNORMAL);
  UpdateWindow(window);
  if (g_mode == "iconic") Trail(IsIconic(window) ? "iconic" : "not-iconic");
  // The watchdog starts with the hang check of the current options.
  options->SetHangCheck(true);
  Trail(ExceptionLog::FreezeWatchdog() ? "watching" : "not-watching");

  if (g_mode == "responsive") {
    SetTimer(window, kWorkTimer, 20, nullptr);
    SetTimer(window, kEndTimer, 10000, nullptr);
  } else {
    PostMessageA(window, kStartLoop, 0, 0);
  }
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  options->SetHangCheck(false);
  Trail(ExceptionLog::FreezeWatchdog() ? "still-watching" : "end");
  ExceptionLog::SetCurrentOptions(nullptr);
  return 0;
}
