// Cost of the freeze watchdog on an idle program whose main window answers: the process's CPU
// time over 10 s of message loop without the watchdog and with it, and the watchdog thread's
// own CPU time. Prints one line per figure.
#include <windows.h>

#include <cstdio>
#include <memory>

#include "VFreeze.h"
#include "VThreads.h"
#include "core/ExceptionLog.h"

namespace {

constexpr DWORD kIdleMs = 10000;

double Milliseconds(const FILETIME& t) {
  ULARGE_INTEGER v;
  v.LowPart = t.dwLowDateTime;
  v.HighPart = t.dwHighDateTime;
  return static_cast<double>(v.QuadPart) / 10000.0;
}

double ProcessCpuMs() {
  FILETIME created, ended, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
  return Milliseconds(kernel) + Milliseconds(user);
}

double ThreadCpuMs(HANDLE thread) {
  FILETIME created, ended, kernel, user;
  if (!GetThreadTimes(thread, &created, &ended, &kernel, &user)) return -1;
  return Milliseconds(kernel) + Milliseconds(user);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_TIMER) {
    KillTimer(window, w);
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, w, l);
}

// The CPU time of the process over an idle message loop of kIdleMs.
double IdleLoop(HWND window) {
  const double before = ProcessCpuMs();
  SetTimer(window, 1, kIdleMs, nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  return ProcessCpuMs() - before;
}

}  // namespace

int main() {
  ExceptionLog::CreateProcessThreadsList();
  ExceptionLog::StartLibrary({});
  auto options = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
  ExceptionLog::SetCurrentOptions(options.get());
  ExceptionLog::SetHooksActive(true);

  WNDCLASSA cls{};
  cls.lpfnWndProc = WindowProc;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = "VantorLogWatchdogCost";
  RegisterClassA(&cls);
  HWND window =
      CreateWindowExA(0, cls.lpszClassName, "Watchdog cost", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                      40, 320, 200, nullptr, nullptr, cls.hInstance, nullptr);

  const double without = IdleLoop(window);
  options->SetHangCheck(true);
  HANDLE watchdog = nullptr;
  if (TFreezeThread* thread = ExceptionLog::FreezeWatchdog())
    DuplicateHandle(GetCurrentProcess(), thread->Handle(), GetCurrentProcess(), &watchdog,
                    THREAD_QUERY_INFORMATION, FALSE, 0);
  const double with = IdleLoop(window);
  const double own = watchdog ? ThreadCpuMs(watchdog) : -1;
  options->SetHangCheck(false);
  std::printf("idle program, %u s: process CPU %.1f ms without the watchdog, %.1f ms with it\n",
              static_cast<unsigned>(kIdleMs / 1000), without, with);
  std::printf("watchdog thread CPU over %u s: %.1f ms (%.3f%% of one core)\n",
              static_cast<unsigned>(kIdleMs / 1000), own, own * 100.0 / kIdleMs);
  if (watchdog) CloseHandle(watchdog);
  ExceptionLog::SetCurrentOptions(nullptr);
  return 0;
}
