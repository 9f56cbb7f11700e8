#include "ExceptionLog.h"

#include <cstdio>
#include <iterator>
#include <typeinfo>

#include "VClassModel.h"
#include "VTextUtils.h"
#include "VUnitVariable.h"
#ifdef _WIN32
#include <windows.h>

#include "VFreeze.h"
#include "VSharedBlock.h"
#endif

bool TVantorModuleOptionsEx::IsCurrentOptions() const {
  return ExceptionLog::CurrentOptions() == static_cast<const TVantorModuleOptions*>(this);
}

void TVantorModuleOptionsEx::FollowFreezeSettings() {
#ifdef _WIN32
  ExceptionLog::UpdateFreezeWatchdog(FLibraryActive != 0, FHangCheck != 0);
#endif
}

void TVantorModuleOptionsEx::SetLibraryActive(bool value) {
  if (!IsCurrentOptions()) {
    TVantorModuleOptions::SetLibraryActive(value);
    return;
  }
  if ((FLibraryActive != 0) == value) return;
  TVantorModuleOptions::SetLibraryActive(value);
  FollowFreezeSettings();
  if (OnLibraryActiveChanged) OnLibraryActiveChanged(*this);
}

void TVantorModuleOptionsEx::SetHangCheck(bool value) {
  if (!IsCurrentOptions()) {
    TVantorModuleOptions::SetHangCheck(value);
    return;
  }
  if ((FHangCheck != 0) == value) return;
  TVantorModuleOptions::SetHangCheck(value);
  FollowFreezeSettings();
  if (OnHangCheckChanged) OnHangCheckChanged(*this);
}

void TVantorModuleOptionsEx::NotifyChanged() {
  ++publish_count_;
#ifdef _WIN32
  // One object publishes the module's block: its current options. Another options object of
  // the same module (its modules-list entry, a processing's copy) would overwrite what the
  // program set at run time.
  const TVantorModuleOptions* current = ExceptionLog::CurrentOptions();
  if (!current || current == this) VCore::PublishToSharedBlock(*this);
#endif
}

void TVantorModuleOptionsEx::SyncShared() {
#ifdef _WIN32
  VCore::ReloadFromSharedBlock(*this);
#endif
}

namespace ExceptionLog {
namespace {

TVantorModuleOptions* g_current_options = nullptr;
bool g_library_active = false;
VCore::TUnitVariable<std::vector<const TUnitEntry*>> g_started_unit;
std::vector<const TUnitEntry*>& g_started = *g_started_unit;
VCore::TUnitVariable<std::vector<TUnitEntry>> g_units_unit;
std::vector<TUnitEntry>& g_units = *g_units_unit;

VCore::TErrorHook g_error_hook = nullptr;
bool g_ide_host = false;
TVantorLogErrorCode g_warning_code = TVantorLogErrorCode::eeNone;
VCore::TUnitVariable<std::string> g_warning_message_unit;
std::string& g_warning_message = *g_warning_message_unit;

bool KindAllows(std::uint8_t match_kind, int notify_kind) {
  switch (match_kind) {
    case 0:
      return true;
    case 1:
      return notify_kind != 0;
    case 2:
      return notify_kind == 0;
    default:
      return false;
  }
}

}  // namespace

TVantorModuleOptions* CurrentOptions() { return g_current_options; }
void SetCurrentOptions(TVantorModuleOptions* options) { g_current_options = options; }

int MatchExceptionFilter(const TVantorModuleOptions& options, const void* exception_object,
                         int notify_kind) {
  const TVantorExceptionsFilters& filters = *options.FFilters;
  const auto* activex = VCore::ObjectAs<TActiveXException>(exception_object);
  for (int i = 0; i < filters.Count(); ++i) {
    const TVantorExceptionFilter& f = *filters.GetFilter(i);
    if (!f.Active) continue;
    if (activex) {
      for (const std::string& name : activex->ClassNames)
        if (name == f.ExceptionClassName) return i;
      continue;
    }
    if (KindAllows(f.MatchKind, notify_kind) &&
        VCore::InheritsFromClassName(exception_object, f.ExceptionClassName))
      return i;
  }
  return -1;
}

int MatchExceptionFilter(const void* exception_object, int notify_kind) {
  return g_current_options ? MatchExceptionFilter(*g_current_options, exception_object, notify_kind)
                           : -1;
}

bool StartLibrary(const std::vector<TUnitEntry>& units) {
  StopLibrary();
  g_units = units;
  for (const TUnitEntry& unit : g_units) {
    if (unit.init && !VCore::GuardedCall(unit.init, unit.name + ".Init")) {
      g_started.push_back(&unit);  // its Done may free what it made before failing
      g_library_active = false;
      if (g_current_options) g_current_options->SetLibraryActive(false);
      return false;
    }
    g_started.push_back(&unit);
  }
  g_library_active = true;
  return true;
}

void StopLibrary() {
  for (auto it = g_started.rbegin(); it != g_started.rend(); ++it)
    if ((*it)->done) VCore::GuardedCall((*it)->done, (*it)->name + ".Done");
  g_started.clear();
  g_units.clear();
  g_library_active = false;
}

bool IsLibraryActive() { return g_library_active; }
void SetLibraryActive(bool active) { g_library_active = active; }

}  // namespace ExceptionLog

// ---- Library warnings and the guarded call ----

std::string ErrorCodeName(TVantorLogErrorCode code) {
  static const char* const kNames[] = {"eeNone",           "eeShowError",       "eeLogError",
                                       "eeEmailMAPIError", "eeEmailShellError", "eeEmailSMTPError",
                                       "eeWebHTTPError",   "eeWebHTTPSError",   "eeWebFTPError",
                                       "eeWebTrakerError"};
  const auto n = static_cast<std::size_t>(code);
  return n < std::size(kNames) ? kNames[n] : std::to_string(n);
}

TVantorLogErrorCode LastWarningCode() { return ExceptionLog::g_warning_code; }
std::string LastWarningMessage() { return ExceptionLog::g_warning_message; }

void ClearLibraryWarning() {
  ExceptionLog::g_warning_code = TVantorLogErrorCode::eeNone;
  ExceptionLog::g_warning_message.clear();
}

void ReportLibraryWarning(TVantorLogErrorCode code, const std::string& message) {
  try {
    ExceptionLog::g_warning_code = code;
    ExceptionLog::g_warning_message = message;
    std::uintptr_t address = 0;
#ifdef _WIN32
    address =
        reinterpret_cast<std::uintptr_t>(ExceptionLog::CurrentExceptionContext().ExceptionAddress);
#endif
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(address));
    VCore::DebugOutput("[WARNING] - Code: " + ErrorCodeName(code) + " - Address: " + hex +
                       " - Message: \"" + message + "\"");
#ifdef _WIN32
    const auto n = static_cast<int>(code);
    if (n >= 5 && n <= 9) ExceptionLog::ShowWarningBox(message);
#endif
  } catch (...) {
    // warnings never raise
  }
}

namespace VCore {

void SetErrorHook(TErrorHook hook) { ExceptionLog::g_error_hook = hook; }
TErrorHook ErrorHook() { return ExceptionLog::g_error_hook; }
void SetIdeHost(bool ide_host) { ExceptionLog::g_ide_host = ide_host; }
bool IsIdeHost() { return ExceptionLog::g_ide_host; }

void DebugOutput(const std::string& line) {
#ifdef _WIN32
  OutputDebugStringA(line.c_str());
#else
  std::fprintf(stderr, "%s\n", line.c_str());
#endif
}

namespace {

// Inside the handler, so that the hook sees the exception being handled.
void ReportFailedStep(const std::function<void()>& step, const std::string& label,
                      const std::string& message) {
  try {
    if (TErrorHook hook = ErrorHook()) {
      void (*const* plain)() = step.target<void (*)()>();
      char text[16];
      std::snprintf(text, sizeof text, "%08X",
                    static_cast<unsigned>(plain ? reinterpret_cast<std::uintptr_t>(*plain) : 0));
      hook(label + " (Address: " + text + ")");
    } else {
      DebugOutput("Critical error at: \"" + label + "\"\r\nError: \"" + message + "\".");
    }
  } catch (...) {
    // neither the report nor the hook reaches the host
  }
}

}  // namespace

bool GuardedCall(const std::function<void()>& step, const std::string& label) {
  try {
    step();
    return true;
  } catch (const EAbort&) {
    // the library's own silent abort
  } catch (const Exception& e) {
    ReportFailedStep(step, label, e.Message());
  } catch (...) {
    ReportFailedStep(step, label, "General internal error.");
  }
  return false;
}

}  // namespace VCore

// ==== Raise, unwind and thread hooks; the exception decision ====

#ifdef _WIN32

#include <unwind.h>

#include <cstring>
#include <new>

#include "Thread.h"
#include "VCore.h"
#include "VExceptionCache.h"
#include "VHook.h"
#include "VLeaks.h"
#include "VLsda.h"
#include "VMemory.h"
#include "VThreads.h"

namespace ExceptionLog {
namespace {

volatile LONG g_hooks_active = 0;
bool g_secondary_module = false;
HMODULE g_main_program = nullptr;
bool g_main_program_found = false;
TCoreExceptionHandler g_core_handler = nullptr;
TEndCatchHook g_end_catch_hook = nullptr;
volatile LONG g_terminating = 0;
TLastException g_last{};
TRuntimeAnchors g_anchors{};
PVOID g_vectored_handler = nullptr;

// The thread's raise in progress (a TLanguageRaise on the wrap's stack), whether a rethrow's
// catch block is yet to end, and the object made for its last OS exception.
DWORD g_raise_slot = TLS_OUT_OF_INDEXES;
DWORD g_rethrow_slot = TLS_OUT_OF_INDEXES;
DWORD g_os_object_slot = TLS_OUT_OF_INDEXES;
INIT_ONCE g_slots_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK AllocateSlots(PINIT_ONCE, PVOID, PVOID*) {
  g_raise_slot = TlsAlloc();
  g_rethrow_slot = TlsAlloc();
  g_os_object_slot = TlsAlloc();
  return TRUE;
}

// Once the slots exist a flag says so: no one-time initialisation call on every throw.
volatile LONG g_slots_ready = 0;
void EnsureSlots() {
  if (__atomic_load_n(&g_slots_ready, __ATOMIC_ACQUIRE)) return;
  InitOnceExecuteOnce(&g_slots_once, AllocateSlots, nullptr, nullptr);
  __atomic_store_n(&g_slots_ready, 1, __ATOMIC_RELEASE);
}

void* SlotValue(DWORD* slot) {
  EnsureSlots();
  return *slot == TLS_OUT_OF_INDEXES ? nullptr : TlsGetValue(*slot);
}
void SetSlotValue(DWORD* slot, void* value) {
  EnsureSlots();
  if (*slot != TLS_OUT_OF_INDEXES) TlsSetValue(*slot, value);
}

const TLanguageRaise* CurrentRaise() {
  return static_cast<const TLanguageRaise*>(SlotValue(&g_raise_slot));
}

// The object made for this thread's last OS exception; replaced objects are freed, and the
// last-exception record forgets them first.
void KeepOsObject(Exception* object) {
  auto* previous = static_cast<Exception*>(SlotValue(&g_os_object_slot));
  SetSlotValue(&g_os_object_slot, object);
  if (!previous || previous == object) return;
  if (g_last.Object == previous) g_last.Object = nullptr;
  if (g_last.KnownObject == previous) g_last.KnownObject = nullptr;
  delete previous;
}

// Stack copy and excluded threads, each under its own lock.
SRWLOCK g_stack_copy_lock = SRWLOCK_INIT;
std::uint8_t g_stack_copy[kStackCopyCapacity];
TRaiseStackCopy g_stack_copy_facts{};
SRWLOCK g_excluded_lock = SRWLOCK_INIT;
std::vector<DWORD>* g_excluded = nullptr;

// Real functions, looked up on first use (the import patches fill them with the old slots).
template <class F>
F RealFunction(F* cache, const char* name) {
  if (!*cache)
    if (HMODULE kernel = GetModuleHandleA("kernel32.dll"))
      *cache = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(kernel, name)));
  return *cache;
}
decltype(&CreateThread) g_real_create_thread = nullptr;
decltype(&ResumeThread) g_real_resume_thread = nullptr;
decltype(&ExitThread) g_real_exit_thread = nullptr;
decltype(&RaiseException) g_real_raise_exception = nullptr;
decltype(&WriteFile) g_real_write_file = nullptr;
using TRtlUnwind = void(WINAPI*)(void*, void*, EXCEPTION_RECORD*, void*);
TRtlUnwind g_real_rtl_unwind = nullptr;

HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&OwnModule), &module);
  return module;
}

// A secondary module hands raises, OS exceptions and thread events to the main module's
// exports; a missing export is skipped.
template <class F>
F MainModuleExport(const char* name) {
  if (!g_secondary_module) return nullptr;
  HMODULE main = MainProgram();
  return !main || main == OwnModule()
             ? nullptr
             : reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(main, name)));
}

bool BehaviourBit6() {
  const TVantorModuleOptions* options = CurrentOptions();
  return options && (options->FBehaviourFlags & 0x40) != 0;
}

}  // namespace

void SetHooksActive(bool active) { InterlockedExchange(&g_hooks_active, active ? 1 : 0); }
bool HooksActive() { return g_hooks_active != 0; }
void SetSecondaryModule(bool secondary) { g_secondary_module = secondary; }
bool IsSecondaryModule() { return g_secondary_module; }
HMODULE MainProgram() { return g_main_program_found ? g_main_program : GetModuleHandleA(nullptr); }
void SetMainProgram(HMODULE module) {
  g_main_program = module;
  g_main_program_found = true;
}
void SetCoreExceptionHandler(TCoreExceptionHandler handler) { g_core_handler = handler; }
TCoreExceptionHandler CoreExceptionHandler() { return g_core_handler; }
void SetEndCatchHook(TEndCatchHook hook) { g_end_catch_hook = hook; }
void SetTerminating(bool terminating) { InterlockedExchange(&g_terminating, terminating ? 1 : 0); }

// ---- Last exception, stack copy, excluded threads ----

void RecordLastException(void* object, const void* address, bool language) {
  g_last.Object = object;
  g_last.Address = address;
  g_last.Language = language ? 1 : 0;
  if (object) g_last.KnownObject = object;
  if (address) g_last.KnownAddress = address;
}

const TLastException& LastException() { return g_last; }
void SetLastKnownObject(void* object) { g_last.KnownObject = object; }

void CopyRaiseStack(void* object, const void* address, bool language) {
  const ThreadExceptionState* state = CurrentThreadState();
  const NT_TIB* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
  const auto top = reinterpret_cast<std::uintptr_t>(tib->StackBase);
  const auto limit = reinterpret_cast<std::uintptr_t>(tib->StackLimit);
  auto start = reinterpret_cast<std::uintptr_t>(state ? state->RaiseStackPointer : nullptr);
  if (start < limit || start > top)
    start = reinterpret_cast<std::uintptr_t>(VCore::CurrentStackPointer());
  std::size_t size = top > start ? top - start : 0;
  if (size > kStackCopyCapacity) size = kStackCopyCapacity;
  AcquireSRWLockExclusive(&g_stack_copy_lock);
  g_stack_copy_facts.ThreadID = GetCurrentThreadId();
  g_stack_copy_facts.Object = object;
  g_stack_copy_facts.Address =
      language && address ? static_cast<const std::uint8_t*>(address) - 5 : address;
  g_stack_copy_facts.Start = reinterpret_cast<const void*>(start);
  if (!VCore::SafeRead(reinterpret_cast<const void*>(start), g_stack_copy, size)) size = 0;
  g_stack_copy_facts.Size = size;
  ReleaseSRWLockExclusive(&g_stack_copy_lock);
}

TRaiseStackCopy RaiseStackCopy(void* buffer, std::size_t capacity) {
  AcquireSRWLockShared(&g_stack_copy_lock);
  TRaiseStackCopy facts = g_stack_copy_facts;
  const std::size_t n = facts.Size < capacity ? facts.Size : capacity;
  if (buffer && n) std::memcpy(buffer, g_stack_copy, n);
  ReleaseSRWLockShared(&g_stack_copy_lock);
  return facts;
}

bool IsThreadEnabled(DWORD thread_id) {
  AcquireSRWLockShared(&g_excluded_lock);
  bool enabled = true;
  if (g_excluded)
    for (DWORD id : *g_excluded) enabled = enabled && id != thread_id;
  ReleaseSRWLockShared(&g_excluded_lock);
  return enabled;
}

void SetThreadEnabled(DWORD thread_id, bool enabled) {
  AcquireSRWLockExclusive(&g_excluded_lock);
  if (!g_excluded) g_excluded = new std::vector<DWORD>;
  auto& ids = *g_excluded;
  for (auto it = ids.begin(); it != ids.end();) it = *it == thread_id ? ids.erase(it) : it + 1;
  if (!enabled) ids.push_back(thread_id);
  ReleaseSRWLockExclusive(&g_excluded_lock);
}

// ---- Runtime anchors ----

HRESULT SafeCallInvoke(HRESULT (*procedure)(void*), void* argument) {
  try {
    return procedure(argument);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

void LocateRuntimeThreadCode() {
  // Region starts as the unwinder reports them are the functions' entries.
  g_anchors.ThreadProcAnchor = VCore::FollowImportJump(reinterpret_cast<const void*>(&ThreadProc));
  g_anchors.SafeCallAnchor =
      VCore::FollowImportJump(reinterpret_cast<const void*>(&SafeCallInvoke));
}

const TRuntimeAnchors& RuntimeAnchors() {
  if (!g_anchors.ThreadProcAnchor) LocateRuntimeThreadCode();
  return g_anchors;
}

// ---- The handler that takes a language raise ----
// A throw through the wrap is decided where the runtime's own search ends: the personality
// routine finds the frame that takes the object (its kind is read here from that frame's
// table), or the search runs out of frames. The stack is untouched until then.

namespace {

bool LoadPointer(void*, std::uint64_t address, std::uint64_t* value) {
  std::uint32_t word = 0;
  if (!VCore::SafeRead(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), &word,
                       sizeof word))
    return false;
  *value = word;
  return true;
}

// The personality routine has matched the handler's type already: here only the handler's
// kind counts, not which of the frame's handlers it is.
bool AnyType(void*, std::uint64_t) { return true; }

// The frame the search stopped at: a handler of the program, or the runtime's terminate.
TLanguageDecision DecideFoundFrame(struct _Unwind_Context* context) {
  TLanguageDecision decision;
  int before = 0;
  const _Unwind_Ptr ip = _Unwind_GetIPInfo(context, &before);
  const _Unwind_Ptr region = _Unwind_GetRegionStart(context);
  const auto* lsda = static_cast<const std::uint8_t*>(_Unwind_GetLanguageSpecificData(context));
  if (!lsda) return decision;
  VLsda::TSpan span;
  span.data = lsda;
  span.size = VCore::ReadableBytes(lsda, 0x10000);
  span.address = reinterpret_cast<std::uintptr_t>(lsda);
  VLsda::TSearch search;
  search.pointer_size = 4;
  search.bases.text = _Unwind_GetTextRelBase(context);
  search.bases.data = _Unwind_GetDataRelBase(context);
  search.load = LoadPointer;
  search.match = AnyType;
  const VLsda::TFrameResult found = VLsda::SearchFrame(span, region, before ? ip : ip - 1, search);
  if (found.outcome != VLsda::TFrameOutcome::kCatchAll &&
      found.outcome != VLsda::TFrameOutcome::kTyped)
    return decision;  // the exception never gets past this frame
  const TRuntimeAnchors& anchors = RuntimeAnchors();
  const void* start = reinterpret_cast<const void*>(region);
  if (start == anchors.ThreadProcAnchor) {
    decision.kind = kOutThreadProc;
    return decision;
  }
  decision.caught = true;
  decision.first_kind = start == anchors.SafeCallAnchor                 ? kHandlerSafeCall
                        : found.outcome == VLsda::TFrameOutcome::kTyped ? kHandlerTyped
                                                                        : kHandlerCatchAll;
  return decision;
}

// A frame's decision depends only on its code and tables: kept per call site, in words read
// and written whole (call site 32 bits, table 24 bits, decision 8 bits).
volatile std::uint64_t g_frame_decisions[64];

std::uint64_t PackFrameDecision(std::uintptr_t ip, std::uintptr_t lsda,
                                const TLanguageDecision& d) {
  const unsigned bits = (d.caught ? 0x80u : 0u) | ((d.kind & 7u) << 3) | (d.first_kind & 7u);
  return static_cast<std::uint64_t>(ip) | (static_cast<std::uint64_t>(lsda & 0xFFFFFF) << 32) |
         (static_cast<std::uint64_t>(bits) << 56);
}

TLanguageDecision DecideFoundFrameCached(struct _Unwind_Context* context) {
  int before = 0;
  const std::uintptr_t ip = _Unwind_GetIPInfo(context, &before);
  const auto lsda = reinterpret_cast<std::uintptr_t>(_Unwind_GetLanguageSpecificData(context));
  volatile std::uint64_t& slot = g_frame_decisions[(ip >> 2) % std::size(g_frame_decisions)];
  const std::uint64_t word = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
  if (word && static_cast<std::uintptr_t>(word & 0xFFFFFFFF) == ip &&
      ((word >> 32) & 0xFFFFFF) == (lsda & 0xFFFFFF)) {
    const unsigned bits = static_cast<unsigned>(word >> 56);
    TLanguageDecision d;
    d.caught = (bits & 0x80) != 0;
    d.kind = static_cast<BYTE>((bits >> 3) & 7);
    d.first_kind = static_cast<BYTE>(bits & 7);
    return d;
  }
  const TLanguageDecision d = DecideFoundFrame(context);
  __atomic_store_n(&slot, PackFrameDecision(ip, lsda, d), __ATOMIC_RELEASE);
  return d;
}

// Whether the library processes a thrown object, and whether it is a stack overflow: the
// thrown object's class is the thrown type, so the answers are kept per type.
struct TTypeFacts {
  const void* type = nullptr;
  const char* name = nullptr;
  bool manageable = false;
  bool stack_overflow = false;
};
SRWLOCK g_type_facts_lock = SRWLOCK_INIT;
TTypeFacts g_type_facts[16];
unsigned g_type_facts_next = 0;

TTypeFacts FactsOfThrown(void* object, const std::type_info* type) {
  TTypeFacts facts;
  const char* name = type ? type->name() : nullptr;
  if (type) {
    AcquireSRWLockShared(&g_type_facts_lock);
    for (const TTypeFacts& f : g_type_facts)
      if (f.type == type && f.name == name) facts = f;
    ReleaseSRWLockShared(&g_type_facts_lock);
    if (facts.type) return facts;
  }
  facts.manageable = VCore::IsManageableObject(object);
  facts.stack_overflow =
      facts.manageable && VCore::InheritsFromClass(object, &typeid(EStackOverflow));
  if (!type) return facts;
  facts.type = type;
  facts.name = name;
  AcquireSRWLockExclusive(&g_type_facts_lock);
  g_type_facts[g_type_facts_next++ % std::size(g_type_facts)] = facts;
  ReleaseSRWLockExclusive(&g_type_facts_lock);
  return facts;
}

}  // namespace

bool WillUserHandlerCatch(void* object, const void* address, bool forced, BYTE* kind,
                          const TLanguageDecision* language) {
  *kind = kOutOrdinary;
  if (!language && VCore::InheritsFromClass(object, &typeid(EStackOverflow))) return false;
  const ThreadExceptionState* state = CurrentThreadState();
  // The chain's position: the raising code's stack pointer.
  const std::uintptr_t head = state ? state->Context.Esp : 0;
  VCore::TCachedDecision cached;
  bool result = false;
  BYTE first_kind = kHandlerNone;
  if (language) {
    result = language->caught;
    *kind = language->kind;
    first_kind = language->first_kind;
  } else if (VCore::CacheLookup(object, address, head, &cached)) {
    // OS exceptions are decided by their address.
    result = cached.a != 0;
    *kind = static_cast<BYTE>(cached.b);
    first_kind = cached.c;
  } else {
    // No handler of this program catches an OS exception (C++ handlers never see one); a
    // system routine outside it may, under its own structured handler: those are left to
    // the unhandled-exception filter.
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        static_cast<LPCSTR>(address), &module);
    result = module != OwnModule();
    cached.a = result ? 1 : 0;
    cached.b = *kind;
    cached.c = first_kind;
    VCore::CacheAdd(object, address, head, cached);
  }
  if (g_secondary_module) return true;
  if (forced) return true;
  if (first_kind == kHandlerSafeCall && BehaviourBit6()) {
    *kind = kOutSafeCall;
    return false;
  }
  return result;
}

// ---- Capture ----

namespace {

bool IsRethrowOfLast(const TLanguageRaise* raise, const void* object) {
  if (!raise || !raise->Rethrow || raise->Object != object || g_last.Object != object ||
      !g_last.Address)
    return false;
  AcquireSRWLockShared(&g_stack_copy_lock);
  const bool copied =
      g_stack_copy_facts.ThreadID == GetCurrentThreadId() && g_stack_copy_facts.Object == object;
  ReleaseSRWLockShared(&g_stack_copy_lock);
  return copied;
}

// The common end of a capture: the stack copy, and the processing when no handler of the
// program takes the object. decision: that of a throw through the wrap.
void FinishCapture(ThreadExceptionState* state, void* object, const void* address, bool language,
                   bool unwind, bool manageable, bool rethrow, const TLanguageDecision* decision) {
  if (!manageable || !IsLibraryActive() || !IsThreadEnabled(GetCurrentThreadId())) return;
  // A rethrow of this thread's last raised object keeps the stack copied at its first raise:
  // the frames below its handler are gone.
  if (!rethrow) CopyRaiseStack(object, address, language);
  if (TVantorThreadsList* list = ThreadsList()) list->ClearExceptionMark(GetCurrentThreadId());
  if (unwind && !g_secondary_module && GetCurrentThreadId() == MainThreadID())
    unwind = !BehaviourBit6();
  BYTE kind = kOutOrdinary;
  if (WillUserHandlerCatch(object, address, unwind, &kind, decision)) return;
  if (!state->RaiseStackPointer) state->RaiseStackPointer = state->HookStackPosition;
  if (TCoreExceptionHandler handler = g_core_handler) {
    try {
      handler(object, address, language, kind, OwnModule());
    } catch (...) {
      // the library never raises into the program
    }
  }
}

}  // namespace

void CaptureRaisedException(void* object, const void* address, bool language, bool unwind) {
  ThreadExceptionState* state = CurrentThreadState();
  if (!state) return;
  if (__sync_val_compare_and_swap(&state->CaptureGuard, 0, 1) != 0) return;
  const DWORD last_error = GetLastError();
  const TLanguageRaise* raise = CurrentRaise();
  const bool rethrow = IsRethrowOfLast(raise, object);
  if (rethrow)
    address = g_last.Address;
  else if (!unwind || !g_last.KnownAddress)
    RecordLastException(object, address, language);
  if (language && !unwind && raise && raise->Object == object) {
    // A throw through the wrap: decided when the runtime's search for its handler ends.
    state->PendingObject = object;
    state->PendingAddress = address;
    state->PendingType = raise->Type;
    state->PendingRethrow = rethrow ? 1 : 0;
  } else {
    FinishCapture(state, object, address, language, unwind, VCore::IsManageableObject(object),
                  rethrow, nullptr);
  }
  SetLastError(last_error);
  state->CaptureGuard = 0;
}

void OnLanguageSearchEnd(void* object, void* found) {
  ThreadExceptionState* state = CurrentThreadState();
  if (!state || !object || state->PendingObject != object) return;
  if (__sync_val_compare_and_swap(&state->CaptureGuard, 0, 1) != 0) return;
  const DWORD last_error = GetLastError();
  const TLanguageDecision decision =
      found ? DecideFoundFrameCached(static_cast<_Unwind_Context*>(found)) : TLanguageDecision{};
  const void* address = state->PendingAddress;
  const auto* type = static_cast<const std::type_info*>(state->PendingType);
  const bool rethrow = state->PendingRethrow != 0;
  state->PendingObject = nullptr;
  if (HooksActive()) {
    // A stack overflow is processed wherever it is caught.
    const TTypeFacts facts = FactsOfThrown(object, type);
    FinishCapture(state, object, address, true, false, facts.manageable, rethrow,
                  facts.stack_overflow ? nullptr : &decision);
  }
  SetLastError(last_error);
  state->CaptureGuard = 0;
}

namespace {

void CaptureLanguageRaise(DWORD code, DWORD flags, DWORD count, bool process_now,
                          const ULONG_PTR* arguments) {
  if (code != kLanguageRaiseCode || flags != EXCEPTION_NONCONTINUABLE ||
      count != kLanguageRaiseArguments || !arguments)
    return;
  ThreadExceptionState* state = CurrentThreadState();
  if (!state) return;
  state->RaiseStackPointer = state->HookStackPosition;
  CONTEXT& c = state->Context;
  c.Eax = arguments[1];
  c.Ebx = arguments[2];
  c.Ecx = state->HookEcx;
  c.Edx = arguments[0];
  c.Esi = arguments[3];
  c.Edi = arguments[4];
  c.Ebp = arguments[5];
  c.Esp = reinterpret_cast<DWORD>(state->HookStackPosition);
  c.Eip = arguments[0] - 5;
  c.ContextFlags = kContextFlagsCaptured;
  EXCEPTION_RECORD& r = state->ExceptionRecord;
  std::memset(&r, 0, sizeof r);
  r.ExceptionCode = code;
  r.ExceptionFlags = flags;
  r.ExceptionAddress = reinterpret_cast<void*>(arguments[0]);
  r.NumberParameters = kLanguageRaiseArguments;
  for (DWORD i = 0; i < kLanguageRaiseArguments; ++i) r.ExceptionInformation[i] = arguments[i];
  if (process_now)
    CaptureRaisedException(reinterpret_cast<void*>(arguments[1]),
                           reinterpret_cast<const void*>(arguments[0]), true, false);
}

}  // namespace

void ForwardRuntimeRaise(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments);

void CaptureRuntimeRaise(DWORD code, DWORD flags, DWORD count, bool process_now,
                         const ULONG_PTR* arguments) {
  CaptureLanguageRaise(code, flags, count, process_now, arguments);
  // A secondary module hands every raise to the main module, which captures the context.
  ForwardRuntimeRaise(code, flags, count, arguments);
}

void OnLanguageRaise(const TLanguageRaise& raise) {
  if (!HooksActive()) return;
  ThreadExceptionState* state = CurrentThreadState();
  if (!state || state->CaptureGuard) return;  // a raise inside the library's own decision
  state->HookStackPosition = reinterpret_cast<const void*>(raise.Esp);
  state->HookEcx = raise.Ecx;
  const ULONG_PTR arguments[kLanguageRaiseArguments] = {
      reinterpret_cast<ULONG_PTR>(raise.ReturnAddress),
      reinterpret_cast<ULONG_PTR>(raise.Object),
      raise.Ebx,
      raise.Esi,
      raise.Edi,
      raise.Ebp,
      raise.Esp};
  void* previous = SlotValue(&g_raise_slot);
  SetSlotValue(&g_raise_slot, const_cast<TLanguageRaise*>(&raise));
  CaptureRuntimeRaise(kLanguageRaiseCode, EXCEPTION_NONCONTINUABLE, kLanguageRaiseArguments, true,
                      arguments);
  SetSlotValue(&g_raise_slot, previous);
}

void CaptureUnwindException(void*, void*, const EXCEPTION_RECORD* record) {
  RealFunction(&g_real_rtl_unwind, "RtlUnwind");
  if (!HooksActive() || !record || record->ExceptionFlags != EXCEPTION_UNWINDING ||
      record->ExceptionCode < 0xC0000005 || record->ExceptionCode > 0xC000013A)
    return;
  Exception* object = NewExternalException(*record);
  if (!object) return;
  CaptureRaisedException(object, record->ExceptionAddress, false, true);
  if (g_last.Object == object) g_last.Object = nullptr;
  if (g_last.KnownObject == object) g_last.KnownObject = nullptr;
  delete object;
}

void ResetThreadExceptionState() {
  RecordLastException(nullptr, nullptr, false);
  if (ThreadExceptionState* state = CurrentThreadState()) {
    state->RaiseStackPointer = nullptr;
    state->Context.ContextFlags = 0;
    std::memset(&state->ExceptionRecord, 0, sizeof state->ExceptionRecord);
  }
  KeepOsObject(nullptr);
}

// ---- OS exceptions: the vectored converter ----

Exception* NewExternalException(const EXCEPTION_RECORD& record) {
  // Past the leak tracker, whose lock the faulting thread may hold.
  VLeaks::TProcessHeapScope heap_scope;
  char text[160];
  const void* at = record.ExceptionAddress;
  switch (record.ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION: {
      const bool write = record.NumberParameters >= 2 && record.ExceptionInformation[0] == 1;
      const void* target = record.NumberParameters >= 2
                               ? reinterpret_cast<const void*>(record.ExceptionInformation[1])
                               : nullptr;
      wsprintfA(text, "Access violation at address %08X. %s of address %08X",
                reinterpret_cast<std::uintptr_t>(at), write ? "Write" : "Read",
                reinterpret_cast<std::uintptr_t>(target));
      return new (std::nothrow) EAccessViolation(text, &record);
    }
    case EXCEPTION_STACK_OVERFLOW:
      return new (std::nothrow) EStackOverflow("Stack overflow", &record);
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      wsprintfA(text, "Division by zero at address %08X", reinterpret_cast<std::uintptr_t>(at));
      return new (std::nothrow) EExternal(text, &record);
    default:
      wsprintfA(text, "External exception %08X at address %08X",
                static_cast<unsigned>(record.ExceptionCode), reinterpret_cast<std::uintptr_t>(at));
      return new (std::nothrow) EExternal(text, &record);
  }
}

namespace {

bool IsIgnoredOsException(DWORD code) {
  return code == kThreadNamingCode || code == kDebugOutputCode || code == 0x40010007 ||
         code == EXCEPTION_BREAKPOINT || code == EXCEPTION_SINGLE_STEP || code == 0x4000001F;
}

LONG CALLBACK VectoredConverter(EXCEPTION_POINTERS* pointers) {
  if (!HooksActive() || !pointers || !pointers->ExceptionRecord) return EXCEPTION_CONTINUE_SEARCH;
  // The library's own guarded reads end at their faults; they are nobody's exception.
  if (VCore::IsGuardedCopyFault(pointers)) return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  if (IsIgnoredOsException(record.ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
  const ThreadExceptionState* state = CurrentThreadState();
  if (!state || state->CaptureGuard) return EXCEPTION_CONTINUE_SEARCH;
  CallExceptObject(&record, pointers->ContextRecord, true);
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

Exception* CallExceptObject(const EXCEPTION_RECORD* record, const CONTEXT* context, bool process) {
  if (!record) return nullptr;
  if (record->ExceptionCode == kThreadNamingCode && record->ExceptionFlags == 0 &&
      record->NumberParameters == 4)
    return nullptr;
  ThreadExceptionState* state = CurrentThreadState();
  if (!state) return nullptr;
  std::memcpy(&state->ExceptionRecord, record, sizeof *record);
  if (state->ExceptionRecord.NumberParameters > EXCEPTION_MAXIMUM_PARAMETERS)
    state->ExceptionRecord.NumberParameters = EXCEPTION_MAXIMUM_PARAMETERS;
  if (context) {
    std::memcpy(&state->Context, context, kContextRecordSize);
    state->Context.ContextFlags = kContextFlagsCaptured;
    state->RaiseStackPointer = reinterpret_cast<const void*>(context->Esp);
    state->HookStackPosition = state->RaiseStackPointer;
  }
  // The object keeps a pointer to the thread's own copy of the record; the thread keeps the
  // object until its next OS exception.
  Exception* object = NewExternalException(state->ExceptionRecord);
  KeepOsObject(object);
  if (GetCurrentThreadId() == MainThreadID() || !MainThreadID())
    RecordLastException(object, record->ExceptionAddress, false);
  else if (process)
    CaptureRaisedException(object, record->ExceptionAddress, false, false);
  if (auto forward =
          MainModuleExport<decltype(&VantorLog_CallExceptObject)>("VantorLog_CallExceptObject"))
    forward(const_cast<EXCEPTION_RECORD*>(record), const_cast<CONTEXT*>(context), false);
  return object;
}

void ForwardRuntimeRaise(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments) {
  if (auto forward =
          MainModuleExport<decltype(&VantorLog_CallGeneralRaise)>("VantorLog_CallGeneralRaise")) {
    const ThreadExceptionState* state = CurrentThreadState();
    forward(code, flags, count, state ? state->HookStackPosition : nullptr, arguments);
  }
}

bool InstallOsExceptionHandler() {
  if (!g_vectored_handler) g_vectored_handler = AddVectoredExceptionHandler(1, VectoredConverter);
  return g_vectored_handler != nullptr;
}

void UninstallOsExceptionHandler() {
  if (g_vectored_handler) RemoveVectoredExceptionHandler(g_vectored_handler);
  g_vectored_handler = nullptr;
}

// ---- Thread, raise, unwind and file hooks ----

namespace {

bool IsLibraryThreadObject(const void* object) {
  for (const char* name : {"TExceptionThread", "TFreezeThread", "TSendDialogThread", "TSendThread"})
    if (VCore::InheritsFromClassName(object, name)) return true;
  return false;
}

// What a thread made by the CreateThread hook runs, in a block of its own: the thread runs its
// code even when its record is gone before it starts.
struct TStartBlock {
  LPTHREAD_START_ROUTINE Start;
  void* Parameter;
};

// First code of every thread the CreateThread hook starts.
DWORD WINAPI RawStartRoutine(void* start_block) {
  auto* block = static_cast<TStartBlock*>(start_block);
  const LPTHREAD_START_ROUTINE start = block->Start;
  void* parameter = block->Parameter;
  HeapFree(GetProcessHeap(), 0, block);
  if (TVantorThreadsList* list = ThreadsList()) {
    list->LockForWrite();
    const int index = list->IndexOfThreadID(GetCurrentThreadId());
    if (TTrackedThreadInfo* own = list->GetItem(index)) {
      own->StackTop = VCore::StackTopOfThread();
      // A thread object makes its thread inside its base constructor, where it is not yet of
      // its own class; by now it is: the library's own threads are not kept.
      if (own->ThreadObject && IsLibraryThreadObject(own->ThreadObject)) list->Delete(index);
    }
    list->UnlockWrite();
  }
  return start(parameter);
}

}  // namespace

HANDLE RealCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack_size,
                        LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                        LPDWORD thread_id) {
  auto real = RealFunction(&g_real_create_thread, "CreateThread");
  return real ? real(security, stack_size, start, parameter, flags, thread_id) : nullptr;
}

DWORD RealResumeThread(HANDLE thread) {
  auto real = RealFunction(&g_real_resume_thread, "ResumeThread");
  return real ? real(thread) : static_cast<DWORD>(-1);
}

HANDLE WINAPI HookedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack_size,
                                 LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                 LPDWORD thread_id) {
  auto real = RealFunction(&g_real_create_thread, "CreateThread");
  if (!g_anchors.ThreadProcAnchor) LocateRuntimeThreadCode();
  TVantorThreadsList* list = ThreadsList();
  const bool runtime_thread = reinterpret_cast<const void*>(start) == g_anchors.ThreadProcAnchor;
  if (!real) return nullptr;
  if (!HooksActive() || !list || !start || (runtime_thread && IsLibraryThreadObject(parameter)))
    return real(security, stack_size, start, parameter, flags, thread_id);
  list->PurgeDeadThreads();
  TTrackedThreadInfo* record = list->NewRecord(false);
  auto* block = static_cast<TStartBlock*>(HeapAlloc(GetProcessHeap(), 0, sizeof(TStartBlock)));
  if (!record || !block) {
    if (record) HeapFree(GetProcessHeap(), 0, record);
    if (block) HeapFree(GetProcessHeap(), 0, block);
    return real(security, stack_size, start, parameter, flags, thread_id);
  }
  block->Start = start;
  block->Parameter = parameter;
  DWORD local_id = 0;
  if (!thread_id) thread_id = &local_id;
  record->Parameter = parameter;
  record->RawStart = reinterpret_cast<void*>(start);
  if (runtime_thread) record->ThreadObject = static_cast<TThread*>(parameter);
  // Always suspended until the record is in the list; a stack reservation is kept.
  const DWORD create_flags = CREATE_SUSPENDED | (flags & STACK_SIZE_PARAM_IS_A_RESERVATION);
  HANDLE handle = real(security, stack_size, RawStartRoutine, block, create_flags, thread_id);
  if (!handle) {
    HeapFree(GetProcessHeap(), 0, record);
    HeapFree(GetProcessHeap(), 0, block);
    return nullptr;
  }
  record->ThreadID = *thread_id;
  // The record keeps a handle of its own: the caller may close its handle at once.
  HANDLE owned = nullptr;
  const bool duplicated = DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &owned,
                                          0, FALSE, DUPLICATE_SAME_ACCESS);
  record->ThreadHandle = duplicated ? owned : handle;
  list->LockForWrite();
  list->Add(record);
  if (duplicated) list->OwnHandle(owned);
  if (auto forward =
          MainModuleExport<decltype(&VantorLog_CallCreateThread)>("VantorLog_CallCreateThread"))
    forward(record);
  list->UnlockWrite();
  if ((flags & CREATE_SUSPENDED) == 0) HookedResumeThread(handle);
  return handle;
}

DWORD WINAPI HookedResumeThread(HANDLE thread) {
  auto real = RealFunction(&g_real_resume_thread, "ResumeThread");
  const ThreadExceptionState* state = CurrentThreadState();
  TVantorThreadsList* list = ThreadsList();
  if (HooksActive() && list && !(state && state->InProcessing)) {
    list->LockForWrite();
    // The record holds its own handle of the thread: found by the thread's id.
    int index = list->IndexOfHandle(thread);
    if (index < 0) index = list->IndexOfThreadID(GetThreadId(thread));
    if (TTrackedThreadInfo* record = list->GetItem(index)) {
      record->CreatorThreadID = GetCurrentThreadId();
      if (!record->ForeignStackCopy && record->CreatorStackCopy)
        HeapFree(GetProcessHeap(), 0, record->CreatorStackCopy);
      record->CreatorStackCopy = nullptr;
      record->ForeignStackCopy = 0;
      const auto* here = static_cast<const std::uint8_t*>(VCore::CurrentStackPointer());
      const auto* top = static_cast<const std::uint8_t*>(VCore::StackTopOfThread());
      record->CreatorStackSize = top > here ? static_cast<DWORD>(top - here) : 0;
      if (record->CreatorStackSize) {
        void* copy = HeapAlloc(GetProcessHeap(), 0, record->CreatorStackSize);
        if (copy && VCore::SafeRead(here, copy, record->CreatorStackSize)) {
          record->CreatorStackCopy = copy;
        } else {
          if (copy) HeapFree(GetProcessHeap(), 0, copy);
          record->CreatorStackSize = 0;
        }
      }
      if (auto forward =
              MainModuleExport<decltype(&VantorLog_CallResumeThread)>("VantorLog_CallResumeThread"))
        forward(thread, record);
    }
    list->UnlockWrite();
  }
  return real ? real(thread) : static_cast<DWORD>(-1);
}

void WINAPI HookedExitThread(DWORD exit_code) {
  auto real = RealFunction(&g_real_exit_thread, "ExitThread");
  if (HooksActive() && ThreadsList()) {
    KeepOsObject(nullptr);
    CallExitThread();
    if (auto forward =
            MainModuleExport<decltype(&VantorLog_CallExitThread)>("VantorLog_CallExitThread"))
      forward();
  }
  if (real) real(exit_code);
  TerminateThread(GetCurrentThread(), exit_code);
}

void WINAPI HookedRaiseException(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments) {
  auto real = RealFunction(&g_real_raise_exception, "RaiseException");
  if (ThreadExceptionState* state = CurrentThreadState())
    // The raising code's stack pointer: just past this call's return address.
    state->HookStackPosition = static_cast<const std::uint8_t*>(__builtin_frame_address(0)) + 8;
  const bool naming = code == kThreadNamingCode && flags == 0 && count == 4;
  if (!naming && code == 0x0EEDFAE4 && flags == 0 && count == 2 && arguments) {
    DWORD first = 0;
    const void* block = reinterpret_cast<const void*>(arguments[0]);
    if (VCore::IsMemoryReadable(block, 80) && VCore::SafeRead(block, &first, sizeof first) &&
        first == 0x1003F && !VCore::IsDebuggerPresentSafe())
      return;
  }
  if (!naming && HooksActive()) CaptureRuntimeRaise(code, flags, count, true, arguments);
  if (real) real(code, flags, count, arguments);
}

BOOL WINAPI HookedWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                            LPOVERLAPPED overlapped) {
  auto real = RealFunction(&g_real_write_file, "WriteFile");
  return real ? real(file, buffer, size, written, overlapped) : FALSE;
}

}  // namespace ExceptionLog

// The unwind hook: registers kept, the stack position noted, the unwind reported, then a jump
// (not a call) to the real RtlUnwind so that it returns straight to the unwinding code.
extern "C" void VantorLogUnwindEntry(void* frame, void* target, EXCEPTION_RECORD* record,
                                     const std::uint8_t* entry_stack) {
  if (ThreadExceptionState* state = ExceptionLog::CurrentThreadState())
    state->HookStackPosition = entry_stack + 4;
  ExceptionLog::CaptureUnwindException(frame, target, record);
}
extern "C" {
void* VantorLogRealRtlUnwind = nullptr;
}
extern "C" void __stdcall VantorLogHookedRtlUnwind(void*, void*, EXCEPTION_RECORD*, void*);
asm(".text\n"
    ".globl _VantorLogHookedRtlUnwind@16\n"
    "_VantorLogHookedRtlUnwind@16:\n"
    "  pushal\n"
    "  leal 32(%esp), %eax\n"
    "  pushl %eax\n"
    "  pushl 48(%esp)\n"
    "  pushl 48(%esp)\n"
    "  pushl 48(%esp)\n"
    "  call _VantorLogUnwindEntry\n"
    "  addl $16, %esp\n"
    "  popal\n"
    "  jmp *_VantorLogRealRtlUnwind\n");

namespace ExceptionLog {

namespace {

struct TImportHook {
  const char* name;
  void** real;
  void* hook;
};

std::vector<std::string>* g_patched_modules = nullptr;

std::vector<TImportHook> ImportHooks() {
  return {
      {"CreateThread", reinterpret_cast<void**>(&g_real_create_thread),
       reinterpret_cast<void*>(&HookedCreateThread)},
      {"ResumeThread", reinterpret_cast<void**>(&g_real_resume_thread),
       reinterpret_cast<void*>(&HookedResumeThread)},
      {"ExitThread", reinterpret_cast<void**>(&g_real_exit_thread),
       reinterpret_cast<void*>(&HookedExitThread)},
      {"RaiseException", reinterpret_cast<void**>(&g_real_raise_exception),
       reinterpret_cast<void*>(&HookedRaiseException)},
      {"RtlUnwind", &VantorLogRealRtlUnwind, reinterpret_cast<void*>(&VantorLogHookedRtlUnwind)},
      {"WriteFile", reinterpret_cast<void**>(&g_real_write_file),
       reinterpret_cast<void*>(&HookedWriteFile)},
  };
}

}  // namespace

bool InstallImportHooks(const std::vector<std::string>& module_names) {
  LocateRuntimeThreadCode();
  if (!VHook::IsInitialized()) VHook::Initialize();
  bool any = false;
  for (const TImportHook& h : ImportHooks()) {
    try {
      void* original = nullptr;
      if (VHook::PatchImportsInModules(module_names, "kernel32.dll", true, &original, h.hook,
                                       h.name))
        any = true;
      if (original) *h.real = original;
    } catch (...) {
      // a module without that import stays as it is
    }
  }
  g_real_rtl_unwind = reinterpret_cast<TRtlUnwind>(VantorLogRealRtlUnwind);
  if (!g_patched_modules) g_patched_modules = new std::vector<std::string>;
  *g_patched_modules = module_names;
  return any;
}

void UninstallImportHooks() {
  if (!g_patched_modules) return;
  for (const std::string& name : *g_patched_modules) {
    HMODULE module = GetModuleHandleA(name.c_str());
    if (!module) continue;
    for (const TImportHook& h : ImportHooks()) {
      if (!*h.real) continue;
      try {
        VHook::PatchModuleImport(module, "kernel32.dll", h.hook, true, true, h.name, *h.real);
      } catch (...) {
      }
    }
  }
  // Freed, not only emptied: a block left here would be reported as a leak at the very end.
  delete g_patched_modules;
  g_patched_modules = nullptr;
}

}  // namespace ExceptionLog

// ---- Entries of the wraps ----

namespace ExceptionLog {
namespace {

void NoteRethrow(bool pending) {
  SetSlotValue(&g_rethrow_slot, reinterpret_cast<void*>(static_cast<std::uintptr_t>(pending)));
}

}  // namespace
}  // namespace ExceptionLog

extern "C" void VantorLogLanguageRaise(const ExceptionLog::TLanguageRaise* raise) {
  // The rethrown exception's catch block ends while it unwinds: that end is not reported.
  if (raise->Rethrow) ExceptionLog::NoteRethrow(true);
  ExceptionLog::OnLanguageRaise(*raise);
}

extern "C" bool VantorLogEndCatchDue() {
  using namespace ExceptionLog;
  if (SlotValue(&g_rethrow_slot)) {
    NoteRethrow(false);
    return false;
  }
  return g_terminating == 0 && g_end_catch_hook != nullptr;
}

extern "C" void VantorLogEndCatchDone() {
  if (ExceptionLog::TEndCatchHook hook = ExceptionLog::g_end_catch_hook) {
    try {
      hook();
    } catch (...) {
    }
  }
}

#endif  // _WIN32
