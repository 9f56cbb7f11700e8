#include "VFreeze.h"

#include <atomic>
#include <memory>

#include "ExceptionLog.h"
#include "VCore.h"
#include "VLData.h"
#include "VModules.h"
#include "VThreads.h"

namespace ExceptionLog {
namespace {

std::atomic<TFreezeThread*> g_watchdog{nullptr};
// The watchdog thread whose freeze report runs (under the processing lock: one at a time).
std::atomic<DWORD> g_reporting_thread_id{0};
std::atomic<bool> g_starting{false};

// Sleeps in probe periods, stopping early when the thread is asked to end.
void Nap(const TFreezeThread& thread, int periods) {
  for (int i = 0; i < periods && !thread.Terminated(); ++i)
    Sleep(static_cast<DWORD>(kFreezeProbeMs));
}

std::int32_t CurrentTimeoutSecs() {
  const TVantorModuleOptions* options = CurrentOptions();
  return options ? options->FHangTimeoutSecs : 60;
}

struct TMainThread {
  HANDLE Handle = nullptr;
  const void* StackTop = nullptr;
};

TMainThread MainThreadRecord() {
  TMainThread main;
  TVantorThreadsList* list = ThreadsList();
  if (!list) return main;
  list->LockForRead();
  if (const TTrackedThreadInfo* record = list->GetItem(list->IndexOfThreadID(MainThreadID()))) {
    main.Handle = record->ThreadHandle;
    main.StackTop = record->StackTop;
  }
  list->UnlockRead();
  return main;
}

// Suspends the main thread, reports the freeze where it stands and resumes it. Runs only
// while no other processing does: the lock is taken without waiting before the main thread is
// stopped, since a suspended main thread may hold it. False when a processing ran.
bool ReportFreeze(TFreezeThread& self) {
  self.Reporting = true;
  if (!TryEnterProcessingLock()) {
    self.Reporting = false;
    return false;
  }
  g_reporting_thread_id = GetCurrentThreadId();
  const TMainThread main = MainThreadRecord();
  if (main.Handle && SuspendThread(main.Handle) != static_cast<DWORD>(-1)) {
    ThreadExceptionState* state = CurrentThreadState();
    if (state) state->InProcessing = 1;  // the resume below is not recorded
    try {
      CONTEXT context{};
      context.ContextFlags = kContextFlagsCaptured;
      if (GetThreadContext(main.Handle, &context) && context.Eip && context.Esp) {
        const TVantorModuleOptions* options = CurrentOptions();
        auto frozen = std::make_unique<EFrozenApplication>(options ? options->GetCustomText(156)
                                                                   : VCore::DefaultText(156));
        CoreExceptionHandler(frozen.get(), reinterpret_cast<const void*>(context.Eip), false,
                             nullptr, 0, 0, reinterpret_cast<HMODULE>(VCore::ThisModuleHandle()), 1,
                             nullptr, &context, reinterpret_cast<const void*>(context.Esp),
                             main.StackTop);
      }
    } catch (...) {
      // the main thread is resumed whatever happened
    }
    HookedResumeThread(main.Handle);
    if (state) state->InProcessing = 0;
  }
  g_reporting_thread_id = 0;
  LeaveProcessingLock();
  self.Reporting = false;
  return true;
}

}  // namespace

TFreezeThread* FreezeWatchdog() { return g_watchdog.load(); }
bool IsFreezeWatchdogThread() {
  const DWORD id = g_reporting_thread_id.load();
  return id != 0 && id == GetCurrentThreadId();
}
bool FreezeWatchdogStarting() { return g_starting.load(); }

void StartFreezeWatchdog() {
  const TVantorModuleOptions* options = CurrentOptions();
  if (IsSecondaryModule() && options && (options->FBehaviourFlags & 0x08)) return;
  if (VCore::IsIdeHost() || g_watchdog.load() || !options || !options->FHangCheck) return;
  g_starting = true;
  const bool light = VLData::LightPass();
  VLData::SetLightPass(true);
  try {
    auto* thread = new TFreezeThread;
    g_watchdog = thread;
    SetThreadPriority(thread->Handle(), THREAD_PRIORITY_NORMAL);
    thread->Start();
  } catch (...) {
    // no watchdog then; the program goes on
  }
  VLData::SetLightPass(light);
  g_starting = false;
}

void StopFreezeWatchdog() {
  if (VCore::IsIdeHost()) return;
  TFreezeThread* thread = g_watchdog.exchange(nullptr);
  if (!thread) return;
  thread->Terminate();
  // From its own thread (an event of its own report) or while its report runs, waiting would
  // never end, and killing it would leave the main thread suspended: the thread frees itself
  // when it gets back.
  if (GetCurrentThreadId() == thread->ThreadID() || thread->Reporting.load()) {
    int owned = TFreezeThread::kOwnedByStopper;
    if (thread->Ownership.compare_exchange_strong(owned, TFreezeThread::kOrphaned)) return;
  }
  if (VCore::IsLibraryModule(VCore::ThisModuleHandle()))
    TerminateThread(thread->Handle(), 1);
  else
    WaitForSingleObject(thread->Handle(), INFINITE);
  delete thread;
}

void UpdateFreezeWatchdog(bool library_active, bool hang_check) {
  if (library_active && hang_check)
    StartFreezeWatchdog();
  else
    StopFreezeWatchdog();
}

}  // namespace ExceptionLog

TFreezeThread::TFreezeThread() : TThread(true) {}

void TFreezeThread::Execute() {
  using namespace ExceptionLog;
  TFreezeDetector detector;
  const DWORD probe_ms = static_cast<DWORD>(kFreezeProbeMs);
  while (!Terminated()) {
    detector.Reset();
    bool frozen = false;
    while (!Terminated() && !frozen) {
      HWND window = FindMainWindowOfProcess(GetCurrentProcessId());
      if (!window) {
        Sleep(probe_ms);
        continue;
      }
      TFreezeProbe probe = TFreezeProbe::kProcessingRuns;
      if (TryEnterProcessingLock()) {
        LeaveProcessingLock();
        DWORD_PTR answer = 0;
        probe = SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_BLOCK, probe_ms, &answer)
                    ? TFreezeProbe::kAnswered
                    : TFreezeProbe::kUnanswered;
      }
      frozen = detector.Probe(probe, CurrentTimeoutSecs());
      if (probe == TFreezeProbe::kAnswered) Nap(*this, kFreezeSleepsAfterAnswer);
      // A processing keeps the main thread waiting: that silence is not a freeze.
      if (probe == TFreezeProbe::kProcessingRuns) Sleep(probe_ms);
    }
    if (Terminated()) break;
    ReportFreeze(*this);
  }
  // A stopper that gave the object up leaves its freeing to this thread.
  if (Ownership.exchange(kFinished) == kOrphaned) FreeOnTerminate = true;
}
