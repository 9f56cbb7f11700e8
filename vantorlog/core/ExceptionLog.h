// Core half of the library's own unit: the module options with shared-block publication, the
// current options, exception filter matching and the guarded start-up steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
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
// module's shared block, and SyncShared reloads from it. For the current options, a change of
// library-active or of the hang check starts or stops the freeze watchdog (running when both
// are on); setting the same value again does nothing. Other options objects only store.
class TVantorModuleOptionsEx : public TVantorModuleOptions {
 public:
  void SetLibraryActive(bool value) override;
  void SetHangCheck(bool value) override;
  void NotifyChanged() override;
  void SyncShared() override;

  // Called after a change of the two settings of the current options, once the watchdog
  // followed it.
  std::function<void(TVantorModuleOptionsEx&)> OnLibraryActiveChanged;
  std::function<void(TVantorModuleOptionsEx&)> OnHangCheckChanged;
  int PublishCount() const { return publish_count_; }

 protected:
  using TVantorModuleOptions::TVantorModuleOptions;
  friend class TVantorModuleOptions;

 private:
  bool IsCurrentOptions() const;
  void FollowFreezeSettings();
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

}  // namespace ExceptionLog

// ---- Library warnings, internal errors and the guarded call ----

// Failures of the library's optional work; the names are printed.
enum class TVantorLogErrorCode : std::uint8_t {
  eeNone = 0,
  eeShowError = 1,
  eeLogError = 2,
  eeEmailMAPIError = 3,
  eeEmailShellError = 4,
  eeEmailSMTPError = 5,
  eeWebHTTPError = 6,
  eeWebHTTPSError = 7,
  eeWebFTPError = 8,
  eeWebTrakerError = 9,
};
// "eeNone" ... "eeWebTrakerError"; the number in decimal for a value outside the enumeration.
std::string ErrorCodeName(TVantorLogErrorCode code);

// The last warning (one pair without a lock: the last writer wins).
TVantorLogErrorCode LastWarningCode();
std::string LastWarningMessage();
// Stores code and message and writes the debugger output line; codes 5-9 also show a message
// box while the send-progress dialog is open.
void ReportLibraryWarning(TVantorLogErrorCode code, const std::string& message);
void ClearLibraryWarning();

namespace VCore {

// The text reporter that GuardedCall calls on a failure (start-up sets it to
// ExceptionLog::ReportInternalError); nullptr: none.
using TErrorHook = void (*)(const std::string& text);
void SetErrorHook(TErrorHook hook);
TErrorHook ErrorHook();
// Set when the host process is the toolchain's IDE.
void SetIdeHost(bool ide_host);
bool IsIdeHost();
// Writes one line to the debugger output (stderr outside Windows).
void DebugOutput(const std::string& line);

// Runs one start-up or shut-down step of the library; never raises. A failing step is
// reported to the error hook with "<label> (Address: XXXXXXXX)" (the step's code address when
// it is a plain function) or, without a hook, "Critical error at: ..." goes to the debugger
// output; the library's silent EAbort is not reported. True when the step ended normally.
bool GuardedCall(const std::function<void()>& step, const std::string& label);

}  // namespace VCore

namespace ExceptionLog {

// Set while an internal-error report is being built.
bool InternalErrorRunning();
// Warning "[section] message" for an Exception being handled (the current event context's
// object), else "General 'section' error.".
void ReportSectionWarning(TVantorLogErrorCode code, const std::string& section);

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
// The process's main program: the process's program, or in a host that does not carry the
// library the program module that start-up found (nil when it found none).
HMODULE MainProgram();
void SetMainProgram(HMODULE module);

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
void SetLastKnownObject(void* object);
const TLastException& LastException();

// Raise-time stack copy, for resolving the raising thread's stack once it is gone.
inline constexpr std::size_t kStackCopyCapacity = 102400;
void CopyRaiseStack(void* object, const void* address, bool language);
struct TRaiseStackCopy {
  DWORD ThreadID;
  const void* Object;   // the exception object raised
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

// How the runtime's search for the handler of a throw through the wrap ended.
struct TLanguageDecision {
  bool caught = false;       // a handler of the program takes it
  BYTE kind = kOutOrdinary;  // kOutThreadProc: only the thread procedure's handler
  BYTE first_kind = kHandlerNone;
};
// language: the decision of a throw through the wrap; null: an OS exception, decided here.
bool WillUserHandlerCatch(void* object, const void* address, bool forced, BYTE* kind,
                          const TLanguageDecision* language = nullptr);
// The search for the handler of object ended: at the frame found (its unwind context), or
// with no frame (null). Entries of the runtime's wraps.
void OnLanguageSearchEnd(void* object, void* found);

// The thrown object an exception_ptr holds (the runtime's exception_ptr is its address).
inline void* ObjectOf(const std::exception_ptr& e) {
  static_assert(sizeof e == sizeof(void*), "exception_ptr holds the object pointer");
  void* object = nullptr;
  std::memcpy(&object, &e, sizeof object);
  return object;
}

// The processing line's entry, filled by the processing unit: (object, address, language,
// handler kind, module). Nothing is processed while it is empty.
using TCoreExceptionHandler = bool (*)(void* object, const void* address, bool language,
                                       BYTE handler_kind, HMODULE module);
void SetCoreExceptionHandler(TCoreExceptionHandler handler);
TCoreExceptionHandler CoreExceptionHandler();
// Called when a catch block ends, its exception still current (not for a rethrow, not while
// terminating).
using TEndCatchHook = void (*)();
void SetEndCatchHook(TEndCatchHook hook);
void SetTerminating(bool terminating);

}  // namespace ExceptionLog

// ---- Notification events and the exported entry points ----

class TStrings;
struct TTrackedThreadInfo;
class TVantorModulesList;
class TVantorStackList;

// A reference-counted text that is one pointer wide: it points at the characters of a process
// heap block {reference count, length, characters, NUL}, so a copy in another module of the
// process shares and releases it.
class TVantorText {
 public:
  TVantorText() = default;
  explicit TVantorText(const std::string& text);
  TVantorText(const TVantorText& other);
  TVantorText& operator=(const TVantorText& other);
  ~TVantorText();
  std::string Str() const;
  const char* Chars() const { return chars_ ? chars_ : ""; }

 private:
  char* chars_ = nullptr;
};

// The event context, laid out as it crosses between modules (36 bytes).
struct TVantorExceptionRecord {
  void* ExceptionObject = nullptr;
  const void* ExceptionAddress = nullptr;
  DWORD ThreadID = 0;
  EXCEPTION_RECORD* ExceptionRecord = nullptr;
  CONTEXT* Context = nullptr;
  TVantorText ReportText;
  TVantorModulesList* ModulesList = nullptr;
  TVantorStackList* CallStack = nullptr;
  TVantorModuleOptionsEx* ModuleOptions = nullptr;
};
static_assert(sizeof(void*) != 4 || sizeof(TVantorExceptionRecord) == 36, "record layout");

// The nine events.
using TExceptionNotifyEvent = void (*)(const TVantorExceptionRecord& context, bool& handle);
using TExceptionActionNotifyEvent = void (*)(const TVantorExceptionRecord& context, int action,
                                             bool& argument);
using TExceptionErrorNotifyEvent = void (*)(const TVantorExceptionRecord& context,
                                            TVantorLogErrorCode error, bool& retry);
using TPasswordRequestEvent = void (*)(const TVantorExceptionRecord& context,
                                       std::string& password);
using TListRequestEvent = void (*)(const TVantorExceptionRecord& context, TStrings& list);
using TCustomButtonClickEvent = void (*)(const TVantorExceptionRecord& context, bool& close);

// A handler object: nine method slots; a slot is set when it holds a target.
class TVantorLogHandler {
 public:
  std::function<void(const TVantorExceptionRecord&, bool&)> ExceptionNotify;
  std::function<void(const TVantorExceptionRecord&, bool&)> HandledExceptionNotify;
  std::function<void(const TVantorExceptionRecord&, int, bool&)> ExceptionActionNotify;
  std::function<void(const TVantorExceptionRecord&, TVantorLogErrorCode, bool&)>
      ExceptionErrorNotify;
  std::function<void(const TVantorExceptionRecord&, std::string&)> PasswordRequest;
  std::function<void(const TVantorExceptionRecord&, TStrings&)> CustomDataRequest;
  std::function<void(const TVantorExceptionRecord&, TStrings&)> AttachedFilesRequest;
  std::function<void(const TVantorExceptionRecord&, TStrings&)> CustomWebFieldsRequest;
  std::function<void(const TVantorExceptionRecord&, bool&)> CustomButtonClick;
};

// The handler objects of this module in the order they registered.
class TVantorLogList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TVantorLogHandler* Items(int index) const { return items_[static_cast<std::size_t>(index)]; }
  void Add(TVantorLogHandler* handler) { items_.push_back(handler); }
  void Remove(TVantorLogHandler* handler);

 private:
  std::vector<TVantorLogHandler*> items_;
};

// The module's global handler variables, nil by default.
struct TVantorGlobalHandlers {
  TExceptionNotifyEvent ExceptionNotify = nullptr;
  TExceptionNotifyEvent HandledExceptionNotify = nullptr;
  TExceptionActionNotifyEvent ExceptionActionNotify = nullptr;
  TExceptionErrorNotifyEvent ExceptionErrorNotify = nullptr;
  TPasswordRequestEvent PasswordRequest = nullptr;
  TListRequestEvent CustomDataRequest = nullptr;
  TListRequestEvent AttachedFilesRequest = nullptr;
  TListRequestEvent CustomWebFieldsRequest = nullptr;
  TCustomButtonClickEvent CustomButtonClick = nullptr;
};

namespace ExceptionLog {

TVantorGlobalHandlers& GlobalHandlers();
// The list (created on first use; start-up creates it, shut-down frees it).
TVantorLogList& VantorLogList();
void FreeVantorLogList();
void RegisterHandler(TVantorLogHandler* handler);
void UnregisterHandler(TVantorLogHandler* handler);

// The record that events see, and the flags and lists the events fill.
TVantorExceptionRecord& CurrentExceptionContext();
bool& HandleFlag();
TStrings& CustomDataList();
TStrings& AttachedFilesList();
TStrings& WebFieldsList();

// Makes a copy of context current (its object replaced by ExceptionObjectOfContext, its
// options by this module's record of the same module); RestoreEventContext undoes it.
void SetCurrentEventContext(const TVantorExceptionRecord& context);
void RestoreEventContext();
// The context's object when its class lives in this module; else an object converted from
// the context's OS record (freed by RestoreEventContext, kept as the last known object); else
// nullptr.
void* ExceptionObjectOfContext(const TVantorExceptionRecord& context);

// The event export of a module carrying a compatible library; module nullptr: the module of
// the current exception address. Nil for an unknown module and for this module.
FARPROC FindModuleEventExport(HMODULE module, const char* name);

// Runs an event procedure in the faulting thread: at once in that thread (or when nothing is
// being processed), else posted for the faulting thread, which runs it through
// RunPostedProcedure while it waits; the caller waits until it ran or that thread ended.
// Exceptions are swallowed. Nothing runs while events are switched off.
void RunInFaultingThread(const std::function<void()>& procedure);
void RunPostedProcedure();
// Set while an event procedure runs (the framework hooks skip then).
bool EventProcedureRunning();
void SetEventsSwitchedOff(bool off);

// The nine events dispatched to the raising module's export, this module's handler objects
// (last registered first) and the global variable; all see the same in/out variable.
void FireExceptionNotify(bool handled_exception);  // in/out: HandleFlag
void FireActionNotify(int action, bool& argument);
void FireErrorNotify(TVantorLogErrorCode error, bool& retry);
void FirePasswordRequest(HMODULE module, std::string& password);
void FireCustomDataRequest();  // fills CustomDataList
void FireAttachedFilesRequest();
void FireCustomWebFieldsRequest();
void FireCustomButtonClick(bool& close);
// Receivers 2 and 3 of PasswordRequest only (this module's own).
void RunOwnPasswordReceivers(std::string& password);
// Asks a module through its password exports (the Ex form with the current context first);
// false when it has neither or carries no compatible library.
bool RequestModulePassword(HMODULE module, std::string& password);

// The process-wide lock of exception processing. Enter is false (and Leave a no-op) once the
// shut-down has deleted it. TryEnterProcessingLock takes it only when no other thread holds it
// (false once deleted).
bool EnterProcessingLock();
bool TryEnterProcessingLock();
void LeaveProcessingLock();
void DeleteProcessingLock();

// The converter's body: record and context copied into the thread's state, the object made
// (kept by the thread, freed with its next OS exception), the last exception recorded in the
// main thread, captured in others when process is set; forwarded by a secondary module.
Exception* CallExceptObject(const EXCEPTION_RECORD* record, const CONTEXT* context, bool process);

// Internal errors. Uses the C++ exception being handled (call it inside a catch block).
void ReportInternalError(const std::string& section);
// The same for a given object and raise address.
void ReportInternalErrorOf(const std::string& section, const void* object, const void* address);
std::string InternalBugCallStack(const void* stack_pointer);
std::string InternalBugAddressText(const void* address);
// The message box of warnings and internal errors; tests replace it (nullptr: MessageBoxA).
using TMessageBoxHook = int (*)(HWND owner, const char* text, const char* caption, UINT flags);
void SetMessageBoxHook(TMessageBoxHook hook);
// The mail client that sends the internal-error file (nullptr: none, sending fails).
using TBugMailer = bool (*)(const std::string& file, const std::string& address,
                            const std::string& subject);
void SetBugMailer(TBugMailer mailer);
// Set by the send-progress dialog while it is open; the warning box shows only then.
void SetSendProgressOpen(bool open);
void ShowWarningBox(const std::string& message);
// The library's version text and maker's support address of the internal-error report.
extern const char kLibraryVersionText[];
extern const char kSupportAddress[];

}  // namespace ExceptionLog

// The 17 exports (names and ordinals in ExceptionLog.def), in the register convention.
#define VANTORLOG_EXPORT extern "C" __attribute__((regparm(3), stdcall))
VANTORLOG_EXPORT bool VantorLog_LastTarvicException();
VANTORLOG_EXPORT void VantorLog_CallCreateThread(const TTrackedThreadInfo* record);
VANTORLOG_EXPORT void VantorLog_CallResumeThread(HANDLE thread, const TTrackedThreadInfo* record);
VANTORLOG_EXPORT void VantorLog_CallExitThread();
VANTORLOG_EXPORT void* VantorLog_CallExceptObject(EXCEPTION_RECORD* record, CONTEXT* context,
                                                  bool process);
VANTORLOG_EXPORT void VantorLog_CallGeneralRaise(DWORD code, DWORD flags, DWORD count,
                                                 const void* stack_position,
                                                 const ULONG_PTR* arguments);
VANTORLOG_EXPORT bool ExceptionManager(void* object, const void* address, BYTE display_kind,
                                       HMODULE module);
VANTORLOG_EXPORT void VantorLog_PasswordRequestEvent(unsigned char* buffer, int max_length);
VANTORLOG_EXPORT void VantorLog_PasswordRequestEventEx(const TVantorExceptionRecord* context,
                                                       unsigned char* buffer, int max_length);
VANTORLOG_EXPORT void VantorLog_ExceptionNotifyEvent(const TVantorExceptionRecord* context,
                                                     bool* handle);
VANTORLOG_EXPORT void VantorLog_HandledExceptionNotifyEvent(const TVantorExceptionRecord* context,
                                                            bool* handle);
VANTORLOG_EXPORT void VantorLog_ExceptionActionNotifyEvent(const TVantorExceptionRecord* context,
                                                           int action, bool* argument);
VANTORLOG_EXPORT void VantorLog_ExceptionErrorNotifyEvent(const TVantorExceptionRecord* context,
                                                          TVantorLogErrorCode error, bool* retry);
VANTORLOG_EXPORT void VantorLog_CustomDataRequestEventEx(const TVantorExceptionRecord* context,
                                                         TStrings* list);
VANTORLOG_EXPORT void VantorLog_AttachedFilesRequestEvent(const TVantorExceptionRecord* context,
                                                          TStrings* list);
VANTORLOG_EXPORT void VantorLog_CustomWebFieldsRequestEvent(const TVantorExceptionRecord* context,
                                                            TStrings* list);
VANTORLOG_EXPORT void VantorLog_CustomButtonClickEvent(const TVantorExceptionRecord* context,
                                                       bool* close);

// ---- Exception processing line and the exception worker thread ----

// What the core handler hands to the worker thread.
struct TExceptNotifyParams {
  BYTE Kind = 0;               // 0 unhandled (ExceptionNotify), 1 handled (HandledExceptionNotify)
  CONTEXT* Context = nullptr;  // nil: the thread's captured context
  EXCEPTION_RECORD* ExceptionRecord = nullptr;  // nil: the thread's captured record
  TVantorStackList* StackList = nullptr;        // a caller's stack; nil: built here
  const void* StackTop = nullptr;               // nil: from the thread environment block
  const void* StackPointer = nullptr;           // nil: the thread's RaiseStackPointer
  DWORD ThreadID = 0;
  std::string FocusedWindowClass;
  std::string FocusedControlText;
};

namespace ExceptionLog {

// Processes one exception: one at a time in the process (the processing lock, held by the
// faulting thread throughout); the main line runs in a TExceptionThread while this thread
// waits and runs the event procedures posted for it. True: not consumed, the caller's own
// handler is to run. Display kind: 0 hooks, 1 application handlers, 2 other framework hooks.
bool CoreExceptionHandler(void* object, const void* address, bool language,
                          TVantorStackList* stack_list, BYTE kind, BYTE handler_kind,
                          HMODULE module, BYTE display_kind, EXCEPTION_RECORD* record,
                          CONTEXT* context, const void* stack_pointer, const void* stack_top);
// The main line (in the worker thread); same result meaning.
bool ProcessCaughtException(void* object, const void* address, bool language, BYTE handler_kind,
                            HMODULE module, BYTE display_kind, const TExceptNotifyParams& params);
// Connects the raise hooks to CoreExceptionHandler.
void StartExceptionProcessing();

// FilterMessage when set, else LastMessageText.
std::string ExceptionMessageText();
void SetFilterMessage(const std::string& text);
// The processing's results for the run.
DWORD ProgressCode();
std::string BugID();
std::string LastReportText();
// The short dialog puts the user's e-mail address into the report.
void SetLastReportText(const std::string& report);
int ErrorCount();
bool ProcessEnding();
void SetProcessEnding();
// Times of the recent errors ("yyyy-mm-dd hh:nn:ss", oldest first) for the crash-rate rule.
const std::vector<std::string>& CrashTimes();
// The address of the exception processed last (a language raise's call instruction); the
// unhandled-exception hook skips it.
const void* LastProcessedAddress();
void SetLastProcessedAddress(const void* address);

// The dialogs' state: written by the dialogs, read by the processing and sending.
struct TDialogState {
  int DialogKind = 0;  // 0 none, 1 message box, 2 short dialog, 3 detailed dialog
  bool Terminate = false;
  bool SendChosen = false;
  bool ScreenshotChosen = false;
  bool CopyChosen = false;
  bool WebPageShown = false;  // the error page went out (web modules)
};
TDialogState& DialogState();

// The steps of the line that other units provide; each defaults to its unit's routine (the
// report log's, the screenshot's) or, where that unit is not there, to doing nothing.
struct TProcessingSteps {
  std::function<void(const std::string& bug_id, bool count_up)> CheckDuplicateError;
  std::function<bool()> IsDuplicateError;
  std::function<void(const std::string& report)> SaveReportToLog;
  std::function<void(bool first_showing)> ShowExceptionDialog;  // clears DialogKind by default
  std::function<void()> ShowRequestDialog;
  std::function<void(const std::string& page)> ShowWebErrorPage;
  std::function<void()> CaptureScreenshot;  // default: the screenshot unit's
  std::function<void(const std::string& file_name)> SaveScreenshotPNG;
  std::function<void()> ReleaseScreenshot;
  std::function<void()> StartSending;
  std::function<void()> AfterSending;
  std::function<void()> TerminateOrRestart;           // default: the user's terminate choice
  std::function<bool()> IsDialogOpen;                 // default: false
  std::function<void(DWORD progress_code)> Progress;  // each step reached; default: none
};
TProcessingSteps& ProcessingSteps();
// Back to the defaults.
void ResetProcessingSteps();

// The options in force for the exception being processed: a copy of the raising module's
// options made when the processing starts (it publishes nothing and reloads from that
// module's shared block after each event). Outside a processing: the current options.
TVantorModuleOptions* ReportOptions();
// Texts 154 and 155 of the report options, kept for the leak callbacks.
std::string KeptLeakText(int index);
// The last page a web module served: a CGI module's is read back from its temporary file at
// each processing; the capture hooks of the other web modules set it.
std::string LastHtmlPageText();
void SetLastHtmlPageText(std::string text);

// Set while the main line runs in the faulting thread itself (a library inside a DLL, while
// the program's unit initialization runs or once finalization has started).
bool ProcessingInPlace();

// Freeze policy. The freeze watchdog's thread (0: none) reports on the main thread's behalf:
// its processing names the main thread as faulting thread.
void SetFreezeWatchdogThreadID(DWORD thread_id);
DWORD FreezeWatchdogThreadID();
// Behaviour bit 0 set and bit 1 clear: the main thread counts as frozen during a processing
// (it pumps no messages).
bool MainThreadFrozenDuringProcessing(std::uint16_t behaviour);
// Whether a thread other than the faulting one stays suspended while its exception is
// processed: bit 2 for Windows threads; bit 0 for runtime threads, the main thread only when
// bit 1 is clear.
bool FreezePolicySuspends(std::uint16_t behaviour, bool runtime_thread, bool main_thread);

// The message-template environment of the exception being processed ("_BugReport" is cut to
// what an environment variable holds).
void SetModuleEnvironment(const std::string& message, const std::string& report,
                          const void* address);
// Shows the report (preceded by its title) in a web module: handed to IntraWeb in the faulting
// thread, else sent as the HTML error page of the request; nothing in other modules.
void ShowWebErrorPage(const std::string& report);
// Restores the process's minimised main window.
void RestoreMainWindow();
// Up to 11 messages of this thread: input dropped (with a beep), WM_QUIT held back (posted
// again when the processing ends), the rest dispatched. False when dispatching raised
// (pumping stops for this processing).
bool PumpRefusingInput();

}  // namespace ExceptionLog

// ---- What start-up and shut-down connect (ExceptionLogStartup.h) ----

namespace ExceptionLog {

void SetLibraryActive(bool active);
// The kernel32 entries the thread hooks replaced: the library's own threads are made and
// resumed through them, so they never show up in the threads list.
HANDLE RealCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack_size,
                        LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                        LPDWORD thread_id);
DWORD RealResumeThread(HANDLE thread);
// ExceptionManager's way into the processing line, with its display kind and the stack to
// scan (nullptr: the thread's own); unset, it takes the core handler of the hooks.
using TManagerHandler = bool (*)(void* object, const void* address, bool language, HMODULE module,
                                 BYTE display_kind, const void* stack_pointer,
                                 const void* stack_top);
void SetManagerHandler(TManagerHandler handler);

}  // namespace ExceptionLog

// Called by the wraps in ExceptionLogWraps.cpp.
extern "C" void VantorLogLanguageRaise(const ExceptionLog::TLanguageRaise* raise);
extern "C" bool VantorLogEndCatchDue();
extern "C" void VantorLogEndCatchDone();
#endif
