// Costs of the exception library in a program linked as Quarrion is.
//   throws N      : N throws caught at once (with and without the library: the same source
//                   built twice), prints "throws <n> <microseconds per throw>"
//   report T      : T threads waiting, then a fault in one more; prints the time from the
//                   fault to the finished report text, "report <threads> <milliseconds>"
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SysUtils.h"
#ifdef VL_WITH_LIBRARY
#include "core/ExceptionLog.h"
#endif

namespace {

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

[[gnu::noinline]] void Raise(int i) { throw EConvertError("caught at once " + std::to_string(i)); }

[[gnu::noinline]] int Inner(int i) {
  try {
    Raise(i);
  } catch (const EConvertError&) {
    return 1;
  }
  return 0;
}

volatile double g_fault_time = 0;
volatile double g_report_time = 0;
HANDLE g_stop = nullptr;
int* volatile g_nowhere = nullptr;

DWORD WINAPI Waiting(void*) {
  WaitForSingleObject(g_stop, INFINITE);
  return 0;
}

DWORD WINAPI Faulting(void*) {
  g_fault_time = Now();
  *g_nowhere = 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int n = std::atoi(argv[2]);
  if (std::strcmp(argv[1], "throws") == 0) {
    int caught = 0;
    for (int i = 0; i < 100; ++i) caught += Inner(i);  // warm: first throws load the unwinder
    const double start = Now();
    for (int i = 0; i < n; ++i) caught += Inner(i);
    const double seconds = Now() - start;
    std::printf("throws %d %.2f\n", caught - 100, seconds * 1e6 / n);
    return 0;
  }
#ifdef VL_WITH_LIBRARY
  if (std::strcmp(argv[1], "report") == 0) {
    // The report text is done when the line reaches the step after it.
    ExceptionLog::ProcessingSteps().Progress = [](DWORD code) {
      if (code == 703 && !g_report_time) g_report_time = Now();
    };
    ExceptionLog::ProcessingSteps().SaveReportToLog = [](const std::string&) {};
    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<HANDLE> threads;
    for (int i = 0; i < n; ++i)
      threads.push_back(CreateThread(nullptr, 0, Waiting, nullptr, 0, nullptr));
    Sleep(200);
    HANDLE faulting = CreateThread(nullptr, 0, Faulting, nullptr, 0, nullptr);
    WaitForSingleObject(faulting, 60000);
    std::printf("report %d %.1f\n", n, (g_report_time - g_fault_time) * 1e3);
    SetEvent(g_stop);
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 60000);
    return 0;
  }
#endif
  return 2;
}
