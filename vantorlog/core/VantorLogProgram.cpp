// The library's start in a program linked with --wrap=__main: the C runtime's constructor run
// is followed by the library's unit table, before the program's main block; the table stops
// when the program ends (the first process-end call once the table has run). The leak
// tracker's operators register its end from an earlier constructor, so that it finalizes
// after everything else. Threads that simply return give their per-thread state back through
// a TLS callback.
#include <windows.h>

#include <cstdlib>

#include "ExceptionLogStartup.h"
#include "VThreads.h"

extern "C" void __real___main();

extern "C" void __wrap___main() {
  static volatile LONG started = 0;
  if (InterlockedExchange(&started, 1)) return;
  __real___main();
  ExceptionLog::StartProgramLibrary();
  std::atexit(ExceptionLog::StopProgramLibrary);
}

namespace {

void NTAPI ThreadDetach(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_DETACH) ExceptionLog::ReleaseCurrentThreadState();
}

}  // namespace

extern "C" __attribute__((section(".CRT$XLV"), used))
const PIMAGE_TLS_CALLBACK vantorlog_thread_detach = ThreadDetach;
