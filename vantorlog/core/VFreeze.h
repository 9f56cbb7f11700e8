// The freeze watchdog: a thread that checks that the program's main window still answers and,
// once it has been silent for the options' number of seconds, reports an EFrozenApplication on
// the main thread's behalf, with the main thread's registers and stack where it hangs.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "SysUtils.h"
#include "Thread.h"
#include "VFreezeDetector.h"

// The exception reported for a main window that stopped answering; its message is text 156.
class EFrozenApplication : public Exception {
 public:
  using Exception::Exception;
};

// The watchdog thread; created suspended.
class TFreezeThread : public TThread {
 public:
  TFreezeThread();

  // Who frees the object: its stopper, or the thread itself once a stopper gave it up.
  enum TOwnership : int { kOwnedByStopper = 0, kOrphaned = 1, kFinished = 2 };
  std::atomic<int> Ownership{kOwnedByStopper};
  // Set from just before the watchdog asks for the processing lock until it has left it.
  std::atomic<bool> Reporting{false};

 protected:
  void Execute() override;
};

namespace ExceptionLog {

// The sleeps after an answer (of the probe period each).
inline constexpr int kFreezeSleepsAfterAnswer = 6;

// Starts the watchdog unless this is a secondary module that leaves it to the main module
// (behaviour bit 3), the host is the IDE, one runs already or the current options' hang check
// is off.
void StartFreezeWatchdog();
// Stops it and frees it: waits for its end (kills it in a library module). Called from the
// watchdog's own thread or while it reports, it is asked to end and frees itself.
void StopFreezeWatchdog();
// Starts or stops the watchdog for these options (the current module's options) after one of
// the two settings changed: running when both library-active and the hang check are on.
void UpdateFreezeWatchdog(bool library_active, bool hang_check);

// The running watchdog (nullptr when none); whether the calling thread is a watchdog that
// reports a freeze.
TFreezeThread* FreezeWatchdog();
bool IsFreezeWatchdogThread();
// Set while StartFreezeWatchdog runs.
bool FreezeWatchdogStarting();

}  // namespace ExceptionLog
