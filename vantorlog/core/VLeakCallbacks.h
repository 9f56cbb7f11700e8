// The leak tracker's callbacks into the library: at the very end of the process they rebuild
// the library's state, collect each leak with its located allocation stack and report all of
// them as one EMemoryLeak through the processing line, then tear the state down for good; and
// during the run they report overruns and double frees found by the tracker.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "SysUtils.h"

// The leaks left at the end (message: "Memory Leak: Total size=N - Count=M").
class EMemoryLeak : public Exception {
 public:
  using Exception::Exception;
};
// A block freed twice (text 154).
class EMultiFree : public Exception {
 public:
  using Exception::Exception;
};
// A write past the end of a block (text 155).
class EMemoryOverrun : public Exception {
 public:
  using Exception::Exception;
};

namespace ExceptionLog {

// The five callbacks, and the temporary options file (TempOptionsFileName), handed to the
// tracker. They act only after this (the library started in this process).
void InstallLeakCallbacks();
bool LeakCallbacksInstalled();

// Before the first leak: the library's state rebuilt, the sums cleared.
void Internal_ResetLeaks();
// One group of leaked blocks: its type name, summed size, count and 35 call addresses.
void Internal_AddLeak(const char* type_name, std::uint32_t size, std::uint32_t count,
                      const std::uint32_t* addresses);
// After the last leak: one EMemoryLeak for all of them when there are any, then the rebuilt
// state freed.
void Internal_ShowLeaks();
// Report an overrun or a double free found inside a free, on the freeing thread, at the code
// that freed; the free then goes on (nothing unwinds through the memory manager).
void RaiseMemoryOverrun();
void RaiseMultiFree();

// What Internal_ResetLeaks rebuilds and Internal_ShowLeaks frees of the library's state beyond
// the leak list: the library's start-up may replace these; by default the modules and threads
// lists and the current options (a copy of the module's options, read back from the temporary
// options file when it exists), each only when it is missing. Plain values: the leak check
// runs after the program's static objects are destroyed.
struct TLeakStateSteps {
  void (*Rebuild)();
  void (*Free)();
};
TLeakStateSteps& LeakStateSteps();

}  // namespace ExceptionLog
