// Core half of the library's own unit: the module options with shared-block publication, the
// current options, exception filter matching and the guarded start-up steps.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <typeinfo>
#include <vector>

#include "SysUtils.h"
#include "VOptions.h"

// An exception that carries the class names of a foreign object model; filters match it by
// those names (exact, case-sensitive).
class TActiveXException : public Exception {
 public:
  TActiveXException(std::string message, std::vector<std::string> class_names)
      : Exception(std::move(message)), ClassNames(std::move(class_names)) {}
  std::vector<std::string> ClassNames;
};

// Options of a module inside the library: every announced change is published to the
// module's shared block, and SyncShared reloads from it.
class TVantorModuleOptionsEx : public TVantorModuleOptions {
 public:
  void SetLibraryActive(bool value) override;
  void SetHangCheck(bool value) override;
  void NotifyChanged() override;
  void SyncShared() override;

  // Called after the two virtual setters (the freeze watchdog and start-up react to them).
  std::function<void(TVantorModuleOptionsEx&)> OnLibraryActiveChanged;
  std::function<void(TVantorModuleOptionsEx&)> OnHangCheckChanged;
  int PublishCount() const { return publish_count_; }

 protected:
  using TVantorModuleOptions::TVantorModuleOptions;
  friend class TVantorModuleOptions;

 private:
  int publish_count_ = 0;
};

namespace ExceptionLog {

// The options of the module the library runs in (nullptr before start-up).
TVantorModuleOptions* CurrentOptions();
void SetCurrentOptions(TVantorModuleOptions* options);

// Index of the first active filter of the options that matches the exception object (a pointer
// to the thrown object) for a notification kind; -1 when none does.
int MatchExceptionFilter(const TVantorModuleOptions& options, const void* exception_object,
                         int notify_kind);
int MatchExceptionFilter(const void* exception_object, int notify_kind);

// Runs a step; an exception inside is caught, reported with the label ("VCore.Init") to the
// debugger output, and gives false.
bool GuardedCall(const std::string& label, const std::function<void()>& step);
// Where GuardedCall reports (the debugger output by default); tests replace it.
void SetGuardedCallReporter(std::function<void(const std::string& label, const std::string& what)>);

// One unit's start-up and shut-down.
struct TUnitEntry {
  std::string name;
  std::function<void()> init;
  std::function<void()> done;
};
// Initialises the units in order under "<name>.Init". A failing step is reported, the rest is
// skipped and the library stays inactive: the host program goes on. Returns true when all ran.
bool StartLibrary(const std::vector<TUnitEntry>& units);
// Finalises the initialised units in reverse order under "<name>.Done".
void StopLibrary();
bool IsLibraryActive();

}  // namespace ExceptionLog

// ---- Raise, unwind and thread hooks; the exception decision ----
// The language raise reaches the library through the linker's --wrap of __cxa_throw,
// __cxa_rethrow and __cxa_end_catch (ExceptionLogWraps.cpp, linked into a program only when it
// asks for the wraps); OS exceptions through a vectored handler; threads through patched
// imports of CreateThread, ResumeThread and ExitThread.

#ifdef _WIN32
#include <windows.h>

#include <cstdint>

namespace ExceptionLog {

// The code of a language raise in the records the library builds, with its 7 arguments:
// address (the return address of the raising call), object, EBX, ESI, EDI, EBP, ESP.
inline constexpr DWORD kLanguageRaiseCode = 0x0EEDFADE;
inline constexpr DWORD kLanguageRaiseArguments = 7;
inline constexpr DWORD kThreadNamingCode = 0x406D1388;
inline constexpr DWORD kDebugOutputCode = 0x40010006;
inline constexpr DWORD kContextFlagsCaptured = 0x10003;
// The i386 CONTEXT up to, not including, its extended registers: the layout records have
// where they are stored or passed between modules.
inline constexpr std::size_t kContextRecordSize = offsetof(CONTEXT, ExtendedRegisters);
static_assert(sizeof(void*) != 4 || kContextRecordSize == 204, "i386 CONTEXT layout");

// The hooks work only while this is set (start-up sets it, shut-down clears it).
void SetHooksActive(bool active);
bool HooksActive();
void SetSecondaryModule(bool secondary);
bool IsSecondaryModule();

// What the raise wrap saw: the raising call's registers and the thrown object's type.
struct TLanguageRaise {
  const void* ReturnAddress;
  void* Object;
  DWORD Ebx, Esi, Edi, Ebp, Esp;  // Esp: the raising code's stack pointer after the call
  DWORD Ecx, Eax, Edx;
  const std::type_info* Type;
  bool Rethrow;
};

// Entry of the raise wrap (also for tests that raise by hand).
void OnLanguageRaise(const TLanguageRaise& raise);

void CaptureRuntimeRaise(DWORD code, DWORD flags, DWORD count, bool process_now,
                         const ULONG_PTR* arguments);
void CaptureRaisedException(void* object, const void* address, bool language, bool unwind);
// An OS exception being unwound (flags exactly 2, codes 0xC0000005 to 0xC000013A).
void CaptureUnwindException(void* target_frame, void* target_address,
                            const EXCEPTION_RECORD* record);
void ResetThreadExceptionState();

// Runtime anchors: the region start of TThread's thread procedure and of SafeCallInvoke.
struct TRuntimeAnchors {
  const void* ThreadProcAnchor;
  const void* SafeCallAnchor;
};
void LocateRuntimeThreadCode();
const TRuntimeAnchors& RuntimeAnchors();

// Runs procedure(argument) as a safecall method does: anything it throws becomes
// E_UNEXPECTED.
HRESULT SafeCallInvoke(HRESULT (*procedure)(void*), void* argument);

// The OS exception converter: a vectored handler that copies the exact record and context of
// every OS exception of the process into the raising thread's state and hands it on. It never
// handles one (EXCEPTION_CONTINUE_SEARCH).
bool InstallOsExceptionHandler();
void UninstallOsExceptionHandler();
// The object made for an OS exception (EAccessViolation, EStackOverflow, EExternal); the
// caller owns it.
Exception* NewExternalException(const EXCEPTION_RECORD& record);

// Import patches of CreateThread, ResumeThread, ExitThread, RaiseException, RtlUnwind and
// WriteFile in the named modules (the program and msvcrt.dll).
bool InstallImportHooks(const std::vector<std::string>& module_names);
void UninstallImportHooks();
HANDLE WINAPI HookedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack_size,
                                 LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                 LPDWORD thread_id);
DWORD WINAPI HookedResumeThread(HANDLE thread);
void WINAPI HookedExitThread(DWORD exit_code);
void WINAPI HookedRaiseException(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments);
BOOL WINAPI HookedWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                            LPOVERLAPPED overlapped);

// Last-exception record (process-wide, no lock).
struct TLastException {
  void* Object;
  const void* Address;
  BYTE Language;
  const void* KnownAddress;  // sticky: only non-nil values are stored
  void* KnownObject;
};
void RecordLastException(void* object, const void* address, bool language);
const TLastException& LastException();

// Raise-time stack copy, for resolving the raising thread's stack once it is gone.
inline constexpr std::size_t kStackCopyCapacity = 102400;
void CopyRaiseStack(void* object, const void* address, bool language);
struct TRaiseStackCopy {
  DWORD ThreadID;
  const void* Address;  // minus 5 for a language raise: the call instruction
  const void* Start;    // where the copied bytes were on the stack
  std::size_t Size;
};
// Copies out the last stack copy (at most capacity bytes into buffer); its facts.
TRaiseStackCopy RaiseStackCopy(void* buffer, std::size_t capacity);

bool IsThreadEnabled(DWORD thread_id);
void SetThreadEnabled(DWORD thread_id, bool enabled);

// Handler kinds of the walk.
inline constexpr BYTE kHandlerNone = 0;
inline constexpr BYTE kHandlerCatchAll = 1;
inline constexpr BYTE kHandlerTyped = 2;
inline constexpr BYTE kHandlerSafeCall = 3;
// Out kinds.
inline constexpr BYTE kOutOrdinary = 0;
inline constexpr BYTE kOutSafeCall = 1;
inline constexpr BYTE kOutThreadProc = 2;

bool WillUserHandlerCatch(void* object, const void* address, bool forced, BYTE* kind);

// The processing line's entry, filled by the processing unit: (object, address, language,
// handler kind, module). Nothing is processed while it is empty.
using TCoreExceptionHandler = bool (*)(void* object, const void* address, bool language,
                                       BYTE handler_kind, HMODULE module);
void SetCoreExceptionHandler(TCoreExceptionHandler handler);
// Called after a catch block ends (not for a rethrow, not while terminating).
using TEndCatchHook = void (*)();
void SetEndCatchHook(TEndCatchHook hook);
void SetTerminating(bool terminating);

}  // namespace ExceptionLog

// Called by the wraps in ExceptionLogWraps.cpp.
extern "C" void VantorLogLanguageRaise(const ExceptionLog::TLanguageRaise* raise);
extern "C" bool VantorLogEndCatchDue();
extern "C" void VantorLogEndCatchDone();
#endif
