#include "ExceptionLogStartup.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "Forms.h"
#include "Thread.h"
#include "VCallStack.h"
#include "VClassModel.h"
#include "VCore.h"
#include "VFreeze.h"
#include "VHook.h"
#include "VLDataWin.h"
#include "VLeakCallbacks.h"
#include "VLeaks.h"
#include "VMemory.h"
#include "VModules.h"
#include "VSharedBlock.h"
#include "VSystem.h"
#include "VThreads.h"

namespace ExceptionLog {
namespace {

volatile LONG g_unit_init_running = 0;
volatile LONG g_finalization_started = 0;
volatile LONG g_runtime_handler_met = 0;
bool g_manager_started = false;  // the hooks were installed and are to be undone
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
std::terminate_handler g_previous_terminate = nullptr;
TVantorModuleOptionsEx* g_current_options = nullptr;

HMODULE OwnModule() { return reinterpret_cast<HMODULE>(VCore::ThisModuleHandle()); }

// Where the handled object was raised: the last exception's address when it is that object,
// else the last address known.
const void* RaiseAddressOf(const void* object) {
  const TLastException& last = LastException();
  if (object && last.Object == object && last.Address) return last.Address;
  return last.KnownAddress;
}

void ReportErrorText(const std::string& text) { ReportInternalError(text); }

}  // namespace

bool IsCopyOfRaiseAt(const TRaiseStackCopy& facts, const void* address) {
  const auto* at = static_cast<const std::uint8_t*>(address);
  return address && (facts.Address == address || facts.Address == at - 5);
}

namespace {

bool ManagerEntry(void* object, const void* address, bool language, HMODULE module,
                  BYTE display_kind, const void* stack_pointer, const void* stack_top) {
  return CoreExceptionHandler(object, address, language, nullptr, 0, kHandlerNone, module,
                              display_kind, nullptr, nullptr, stack_pointer, stack_top);
}

// ---- The component library's application handlers (display kind 1) ----
// The frameworks of the hook table that this program does not contain (the cross-platform
// application, the symbol hooks, IntraWeb, the service log and Indy threads) have no symbol
// in its debug data and stay unhooked.

class TApplicationHooks {
 public:
  using THandle = void(__attribute__((thiscall)) *)(TApplication* self, TObject* sender);
  using TShow = void(__attribute__((thiscall)) *)(TApplication* self, std::exception_ptr e);
  static inline THandle previous_handle = nullptr;
  static inline TShow previous_show = nullptr;
  // Set while the framework's own HandleException runs after the library declined.
  static inline volatile LONG inside_original = 0;
};

__attribute__((thiscall)) void OnApplicationHandleException(TApplication* self, TObject* sender) {
  if (!EventProcedureRunning()) {
    void* object = ObjectOf(std::current_exception());
    if (!::ExceptionManager(object, RaiseAddressOf(object), 1, OwnModule())) return;
  }
  InterlockedExchange(&TApplicationHooks::inside_original, 1);
  try {
    TApplicationHooks::previous_handle(self, sender);
  } catch (...) {
  }
  InterlockedExchange(&TApplicationHooks::inside_original, 0);
}

__attribute__((thiscall)) void OnApplicationShowException(TApplication* self,
                                                          std::exception_ptr e) {
  if (!EventProcedureRunning() && !TApplicationHooks::inside_original) {
    void* object = ObjectOf(e);
    if (!::ExceptionManager(object, RaiseAddressOf(object), 1, OwnModule())) return;
  }
  TApplicationHooks::previous_show(self, e);
}

struct TFrameworkHook {
  std::uint8_t SymbolId;
  const char* Name;
  void* Hook;
  void** Previous;
  void* Target = nullptr;
};

TFrameworkHook g_framework_hooks[] = {
    {0, "TApplication.HandleException", reinterpret_cast<void*>(&OnApplicationHandleException),
     reinterpret_cast<void**>(&TApplicationHooks::previous_handle)},
    {1, "TApplication.ShowException", reinterpret_cast<void*>(&OnApplicationShowException),
     reinterpret_cast<void**>(&TApplicationHooks::previous_show)},
};

void HookFrameworkHandlers() {
  for (TFrameworkHook& h : g_framework_hooks) {
    void* target = const_cast<void*>(VLData::FindVLDataSymbol(h.SymbolId));
    if (!target) continue;  // not in this program
    try {
      *h.Previous = VHook::TryHookProcedure(target, h.Hook, h.Name);
      h.Target = const_cast<void*>(VCore::FollowImportJump(target));
    } catch (...) {
      // a routine that cannot be hooked keeps its own handling
    }
  }
}

void UnhookFrameworkHandlers() {
  for (TFrameworkHook& h : g_framework_hooks) {
    if (h.Target) VHook::UnhookProcedure(h.Target);
    h.Target = nullptr;
  }
}

bool IsIgnoredByBackstop(DWORD code) {
  return code == kThreadNamingCode || code == kDebugOutputCode || code == 0x40010007 ||
         code == EXCEPTION_BREAKPOINT || code == EXCEPTION_SINGLE_STEP;
}

// After an unhandled exception: the thread ends, or in the main thread the program.
[[noreturn]] void EndAfterUnhandled() {
  if (MainThreadID() && GetCurrentThreadId() != MainThreadID()) HookedExitThread(1);
  ExitProcess(1);
}

}  // namespace

bool UnitInitRunning() { return g_unit_init_running != 0; }
bool FinalizationStarted() { return g_finalization_started != 0; }
void SetFinalizationStarted() { InterlockedExchange(&g_finalization_started, 1); }
bool RuntimeHandlerMet() { return g_runtime_handler_met != 0; }
void SetRuntimeHandlerMet() { InterlockedExchange(&g_runtime_handler_met, 1); }
LPTOP_LEVEL_EXCEPTION_FILTER PreviousUnhandledFilter() { return g_previous_filter; }
std::terminate_handler PreviousTerminateHandler() { return g_previous_terminate; }

// ---- Backstops ----

LONG WINAPI UnhandledExceptionBackstop(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
  if (!HooksActive() || !record || IsIgnoredByBackstop(record->ExceptionCode))
    return g_previous_filter ? g_previous_filter(pointers) : EXCEPTION_CONTINUE_SEARCH;
  ThreadExceptionState* state = CurrentThreadState();
  // Processed already when it was raised (a thread's OS exception), or inside the processing.
  if (record->ExceptionAddress != LastProcessedAddress() && state && !state->Processing) {
    try {
      Exception* object = CallExceptObject(record, pointers->ContextRecord, false);
      if (object && IsLibraryActive() && IsThreadEnabled(GetCurrentThreadId())) {
        CopyRaiseStack(object, record->ExceptionAddress, false);
        CoreExceptionHandler(object, record->ExceptionAddress, false, nullptr, 0, kHandlerNone,
                             OwnModule(), 0, nullptr, nullptr, nullptr, nullptr);
      }
    } catch (...) {
    }
  }
  // A previous filter may still repair and continue; anything else ends here.
  if (g_previous_filter && g_previous_filter(pointers) == EXCEPTION_CONTINUE_EXECUTION)
    return EXCEPTION_CONTINUE_EXECUTION;
  EndAfterUnhandled();
}

void TerminateBackstop() {
  if (HooksActive()) {
    try {
      void* object = ObjectOf(std::current_exception());
      // An uncaught throw was processed when it was raised: the processing's last address is
      // the call instruction of this thread's last raise (its own state; the processing may
      // have met exceptions of its own since).
      const ThreadExceptionState* state = CurrentThreadState();
      const void* raised_at = state ? reinterpret_cast<const void*>(state->Context.Eip) : nullptr;
      if (object && raised_at != LastProcessedAddress())
        ::ExceptionManager(object, RaiseAddressOf(object), 0, OwnModule());
    } catch (...) {
    }
    EndAfterUnhandled();
  }
  if (g_previous_terminate) g_previous_terminate();
  std::abort();
}

// ---- Thread procedure ----

void ExecuteWrapper(TThread* thread, void (*execute)(TThread* thread)) {
  DWORD owner = 0;
  if (TVantorThreadsList* list = ThreadsList()) {
    list->LockForWrite();
    if (TTrackedThreadInfo* record = list->GetItem(list->IndexOfThreadObject(thread))) {
      record->StackTop = VCore::StackTopOfThread();
      owner = record->ThreadID;
    }
    list->UnlockWrite();
  }
  try {
    execute(thread);
  } catch (...) {
    const std::exception_ptr e = std::current_exception();
    if (HooksActive() && owner == GetCurrentThreadId()) {
      void* object = ObjectOf(e);
      ::ExceptionManager(object, RaiseAddressOf(object), 0, OwnModule());
    }
    // Not through the raise wrap: the thread procedure keeps it, nothing reports it again.
    std::rethrow_exception(e);
  }
}

// ---- End of except blocks and the crash operation ----

void OnExceptBlockDone() {
  if (!HooksActive()) return;
  // Asked first: the end of every catch block passes here.
  if (!HandledExceptionsWanted()) return;
  TVantorThreadsList* list = ThreadsList();
  if (!list || !list->MarkCurrentThread(IsThreadEnabled(GetCurrentThreadId()))) return;
  void* object = ObjectOf(std::current_exception());
  const void* address = RaiseAddressOf(object);
  // The raise-time copy of this thread's stack: the stack above the handler is in use again.
  void* copy = nullptr;
  const void* stack_pointer = nullptr;
  const void* stack_top = nullptr;
  const TRaiseStackCopy facts = RaiseStackCopy(nullptr, 0);
  if (facts.ThreadID == GetCurrentThreadId() && facts.Size >= sizeof(void*) &&
      IsCopyOfRaiseAt(facts, address))
    copy = HeapAlloc(GetProcessHeap(), 0, facts.Size);
  if (copy) {
    const TRaiseStackCopy copied = RaiseStackCopy(copy, facts.Size);
    if (copied.ThreadID == GetCurrentThreadId() && copied.Size >= facts.Size) {
      stack_pointer = copy;
      stack_top = static_cast<const std::uint8_t*>(copy) + facts.Size - sizeof(void*);
    }
  }
  const bool language = !VCore::InheritsFromClassName(object, "EExternal");
  try {
    CoreExceptionHandler(object, address, language, nullptr, 1, kHandlerNone, OwnModule(), 0,
                         nullptr, nullptr, stack_pointer, stack_top);
  } catch (...) {
  }
  if (copy) HeapFree(GetProcessHeap(), 0, copy);
}

// ---- Start-up and shut-down ----

HMODULE FindMainProgram() {
  VCore::RefreshModulesList();
  TVantorModulesList* modules = VCore::ModulesList();
  if (!modules) return nullptr;
  for (int i = 0; i < modules->Count(); ++i) {
    const VCore::TModuleHandle handle = modules->Items(i)->Handle;
    if (!VCore::IsLibraryModule(handle) && VLData::DebugDataIsUsable(handle))
      return reinterpret_cast<HMODULE>(handle);
  }
  return nullptr;
}

void InitializeManager() {
  const VCore::TModuleHandle own = VCore::ThisModuleHandle();
  const auto main = reinterpret_cast<VCore::TModuleHandle>(GetModuleHandleA(nullptr));
  // A library of the process whose program carries the library too leaves the work to it.
  SetSecondaryModule(own != main && VLData::DebugDataIsUsable(main));
  SetHooksActive(true);
  InterlockedExchange(&g_runtime_handler_met, 0);
  InterlockedExchange(&g_unit_init_running, 1);
  InterlockedExchange(&g_finalization_started, 0);
  ResetThreadExceptionState();
  LocateRuntimeThreadCode();
  // A module without the library's debug data stays inactive: no hooks, no processing.
  if (!VLData::DebugDataIsUsable(own)) {
    SetHooksActive(false);
    return;
  }
  StartCallStacks();
  VCore::StartModulesList();
  auto options = TVantorModuleOptions::Create<TVantorModuleOptionsEx>(
      VCore::ModuleFileNameOf(reinterpret_cast<HMODULE>(own)));
  if (TVantorModuleInfo* info = VCore::ModuleInfoOfHandle(own))
    if (info->Options) options->CopySettings(info->Options.get());
  options->FModuleInstance = own;
  g_current_options = options.release();
  SetCurrentOptions(g_current_options);
  VantorLogList();
  CreateProcessThreadsList();
  ClearLibraryWarning();
  EnterProcessingLock();
  LeaveProcessingLock();

  SetManagerHandler(ManagerEntry);
  StartExceptionProcessing();
  g_previous_filter = SetUnhandledExceptionFilter(UnhandledExceptionBackstop);
  g_previous_terminate = std::set_terminate(TerminateBackstop);
  InstallOsExceptionHandler();
  HookFrameworkHandlers();
  SetThreadExecuteWrapper(ExecuteWrapper);
  SetEndCatchHook(OnExceptBlockDone);
  InstallImportHooks({VCore::ModuleFileNameOf(reinterpret_cast<HMODULE>(own)), "msvcrt.dll"});
  g_manager_started = true;
  if (!VCore::IsIdeHost()) StartFreezeWatchdog();
  // A library in a host program that does not carry the library: the first program module
  // with the library's debug data is the main program, whose library is then present.
  if (VCore::IsLibraryModule(own) && !VLData::DebugDataIsUsable(main)) {
    const HMODULE found = FindMainProgram();
    SetMainProgram(found);
    SetSecondaryModule(found && reinterpret_cast<VCore::TModuleHandle>(found) != own);
  }
  // The leak tracker's report at the very end comes back here.
  if (VLeaks::IsLeakTrackingActive()) InstallLeakCallbacks();
}

void FinalizeManager() {
  if (HooksActive() || g_manager_started) {
    // A processing that runs finishes first; nothing starts once these are clear.
    const bool locked = EnterProcessingLock();
    SetHooksActive(false);
    SetLibraryActive(false);
    if (locked) LeaveProcessingLock();
    FreeVantorLogList();
    StopFreezeWatchdog();
    if (g_manager_started) {
      UninstallImportHooks();
      SetEndCatchHook(nullptr);
      SetThreadExecuteWrapper(nullptr);
      UnhookFrameworkHandlers();
      UninstallOsExceptionHandler();
      std::set_terminate(g_previous_terminate);
      SetUnhandledExceptionFilter(g_previous_filter);
      SetManagerHandler(nullptr);
      SetCoreExceptionHandler(nullptr);
      g_manager_started = false;
    }
    FreeProcessThreadsList();
    // The module's options for the leak report, which rebuilds the state after everything else.
    if (LeakCallbacksInstalled())
      if (TVantorModuleInfo* info = VCore::ModuleInfoOfHandle(VCore::ThisModuleHandle()))
        if (info->Options) info->Options->WriteToFile(VLeaks::TemporaryOptionsFile());
    SetCurrentOptions(nullptr);
    delete g_current_options;
    g_current_options = nullptr;
    VCore::StopModulesList();
    VCore::ReleasePublishedBlock();
  }
  DeleteProcessingLock();
}

std::vector<TUnitEntry> ProgramUnits() {
  return {
      {"VCore",
       [] {
         VCore::SetErrorHook(ReportErrorText);
         SaveStartFolder();
       },
       [] { VCore::SetErrorHook(nullptr); }},
      // WinSock starts with the first socket.
      {"VSockets", nullptr, nullptr},
      {"VHook", [] { VHook::Initialize(); }, [] { VHook::Finalize(); }},
      {"ExceptionLog",
       [] {
         InitializeManager();
         VCore::ReserveOutOfMemoryCache();
       },
       [] {
         FinalizeManager();
         VCore::FreeOutOfMemoryCache();
       }},
  };
}

void StartProgramLibrary() {
  const bool started = StartLibrary(ProgramUnits());
  // The program's unit initialization is over once the table has run.
  InterlockedExchange(&g_unit_init_running, 0);
  if (!started || !HooksActive()) SetLibraryActive(false);
}

void StopProgramLibrary() {
  SetFinalizationStarted();
  StopLibrary();
}

}  // namespace ExceptionLog
