// Notification events: the event context, the handler objects and global handlers, the
// dispatch to the raising module's export, the handler objects and the global variable; the
// 17 exports; internal-error reports.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "Classes.h"
#include "ExceptionLog.h"
#include "ExceptionLogStartup.h"
#include "SysUtils.h"
#include "VCallStack.h"
#include "VClassModel.h"
#include "VCore.h"
#include "VLData.h"
#include "VLDataWin.h"
#include "VMemory.h"
#include "VModules.h"
#include "VOptionsStream.h"
#include "VSystem.h"
#include "VThreads.h"
#include "VUnitVariable.h"

// ---- Reference-counted text ----

namespace {

struct TTextHeader {
  volatile LONG References;
  LONG Length;
};

TTextHeader* HeaderOf(char* chars) {
  return chars ? reinterpret_cast<TTextHeader*>(chars) - 1 : nullptr;
}

void Retain(char* chars) {
  if (TTextHeader* h = HeaderOf(chars)) InterlockedIncrement(&h->References);
}

void Release(char* chars) {
  if (TTextHeader* h = HeaderOf(chars))
    if (InterlockedDecrement(&h->References) == 0) HeapFree(GetProcessHeap(), 0, h);
}

}  // namespace

TVantorText::TVantorText(const std::string& text) {
  if (text.empty()) return;
  auto* h = static_cast<TTextHeader*>(
      HeapAlloc(GetProcessHeap(), 0, sizeof(TTextHeader) + text.size() + 1));
  if (!h) return;
  h->References = 1;
  h->Length = static_cast<LONG>(text.size());
  chars_ = reinterpret_cast<char*>(h + 1);
  std::memcpy(chars_, text.data(), text.size());
  chars_[text.size()] = 0;
}

TVantorText::TVantorText(const TVantorText& other) : chars_(other.chars_) { Retain(chars_); }

TVantorText& TVantorText::operator=(const TVantorText& other) {
  if (chars_ != other.chars_) {
    Retain(other.chars_);
    Release(chars_);
    chars_ = other.chars_;
  }
  return *this;
}

TVantorText::~TVantorText() { Release(chars_); }

std::string TVantorText::Str() const {
  const TTextHeader* h = HeaderOf(chars_);
  return h ? std::string(chars_, static_cast<std::size_t>(h->Length)) : std::string();
}

void TVantorLogList::Remove(TVantorLogHandler* handler) {
  for (auto it = items_.begin(); it != items_.end();)
    it = *it == handler ? items_.erase(it) : it + 1;
}

namespace ExceptionLog {
namespace {

TVantorGlobalHandlers g_globals;
TVantorLogList* g_handlers = nullptr;
std::vector<TVantorExceptionRecord>* g_saved_contexts = nullptr;
void* g_converted_object = nullptr;  // made by ExceptionObjectOfContext
bool g_handle_flag = true;
TStringList* g_custom_data = nullptr;
TStringList* g_attached_files = nullptr;
TStringList* g_web_fields = nullptr;

volatile LONG g_events_off = 0;
// The procedure posted for the faulting thread; kRunningMarker while one runs there.
const std::function<void()>* volatile g_posted = nullptr;
const auto* const kRunningMarker = reinterpret_cast<const std::function<void()>*>(1);
volatile LONG g_posted_done = 0;
CRITICAL_SECTION g_post_lock;
CRITICAL_SECTION g_processing_lock;
INIT_ONCE g_locks_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK InitLocks(PINIT_ONCE, PVOID, PVOID*) {
  InitializeCriticalSection(&g_post_lock);
  InitializeCriticalSection(&g_processing_lock);
  return TRUE;
}
void EnsureLocks() { InitOnceExecuteOnce(&g_locks_once, InitLocks, nullptr, nullptr); }

HMODULE ModuleOfAddress(const void* address) {
  HMODULE module = nullptr;
  if (!address || !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                          GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                      static_cast<LPCSTR>(address), &module))
    return nullptr;
  return module;
}

HMODULE OwnModule() { return reinterpret_cast<HMODULE>(VCore::ThisModuleHandle()); }

TStringList& List(TStringList** list) {
  if (!*list) *list = new TStringList;
  return **list;
}

// Each receiver in its own guard: one that raises does not keep the next from its turn.
template <class F>
void Guarded(F&& receiver) {
  try {
    receiver();
  } catch (...) {
  }
}

// Receivers 2 and 3 of an event: the handler objects whose slot is set, last registered
// first, then the global variable.
template <class Slot, class Global, class... Args>
void RunOwnReceivers(Slot TVantorLogHandler::*slot, Global global, Args&... args) {
  const TVantorExceptionRecord& context = CurrentExceptionContext();
  if (g_handlers)
    for (int i = g_handlers->Count() - 1; i >= 0; --i) {
      TVantorLogHandler* handler = g_handlers->Items(i);
      if (handler && handler->*slot) Guarded([&] { (handler->*slot)(context, args...); });
    }
  if (global) Guarded([&] { global(context, args...); });
}

// The exports' register convention as seen by a caller.
using TFlagExport = void(__attribute__((regparm(3), stdcall)) *)(const TVantorExceptionRecord*,
                                                                 bool*);
using TCodeFlagExport = void(__attribute__((regparm(3), stdcall)) *)(const TVantorExceptionRecord*,
                                                                     int, bool*);
using TListExport = void(__attribute__((regparm(3), stdcall)) *)(const TVantorExceptionRecord*,
                                                                 TStrings*);
using TPasswordExportEx = void(__attribute__((regparm(3),
                                              stdcall)) *)(const TVantorExceptionRecord*,
                                                           unsigned char*, int);
using TPasswordExport = void(__attribute__((regparm(3), stdcall)) *)(unsigned char*, int);

template <class F>
F ModuleExport(const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(FindModuleEventExport(nullptr, name)));
}

// Runs a context-switching export's body; the context is restored also when it raises.
template <class F>
void WithContext(const TVantorExceptionRecord* context, F&& body) {
  if (!context) {
    Guarded(body);
    return;
  }
  SetCurrentEventContext(*context);
  Guarded(body);
  RestoreEventContext();
}

// A length-prefixed buffer of at most max_length (and 255) characters.
std::string FromShortString(const unsigned char* buffer) {
  return buffer ? std::string(reinterpret_cast<const char*>(buffer + 1), buffer[0]) : std::string();
}
void ToShortString(const std::string& text, unsigned char* buffer, int max_length) {
  if (!buffer) return;
  std::size_t n = text.size();
  if (max_length < 0) max_length = 0;
  if (n > static_cast<std::size_t>(max_length)) n = static_cast<std::size_t>(max_length);
  if (n > 255) n = 255;
  buffer[0] = static_cast<unsigned char>(n);
  std::memcpy(buffer + 1, text.data(), n);
}

// Copies the caller's list through its virtual slots.
void CopyList(TStrings* from, TStrings& to) {
  if (!from || from == &to) return;
  to.Clear();
  const int n = from->Count();
  for (int i = 0; i < n; ++i) to.Add(from->Get(i));
}

}  // namespace

TVantorGlobalHandlers& GlobalHandlers() { return g_globals; }

TVantorLogList& VantorLogList() {
  if (!g_handlers) g_handlers = new TVantorLogList;
  return *g_handlers;
}

void FreeVantorLogList() {
  delete g_handlers;
  g_handlers = nullptr;
}

void RegisterHandler(TVantorLogHandler* handler) {
  if (handler) VantorLogList().Add(handler);
}

void UnregisterHandler(TVantorLogHandler* handler) {
  if (g_handlers) g_handlers->Remove(handler);
}

TVantorExceptionRecord& CurrentExceptionContext() {
  // In place and never destroyed: no block of the library's own is left for the leak report.
  static VCore::TUnitVariable<TVantorExceptionRecord> context;
  return *context;
}

bool& HandleFlag() { return g_handle_flag; }
TStrings& CustomDataList() { return List(&g_custom_data); }
TStrings& AttachedFilesList() { return List(&g_attached_files); }
TStrings& WebFieldsList() { return List(&g_web_fields); }

// ---- Context switch of the exports ----

void* ExceptionObjectOfContext(const TVantorExceptionRecord& context) {
  void* object = context.ExceptionObject;
  if (object && VCore::IsValidObject(object) &&
      ModuleOfAddress(VCore::ClassOfObject(object)) == OwnModule())
    return object;
  if (context.ExceptionRecord && VCore::IsMemoryReadable(context.ExceptionRecord, 80)) {
    // The object keeps a pointer to the record, which outlives the event.
    Exception* converted = NewExternalException(*context.ExceptionRecord);
    if (!converted) return nullptr;
    delete static_cast<Exception*>(g_converted_object);
    g_converted_object = converted;
    SetLastKnownObject(converted);
    return converted;
  }
  return nullptr;
}

void SetCurrentEventContext(const TVantorExceptionRecord& context) {
  if (!g_saved_contexts) g_saved_contexts = new std::vector<TVantorExceptionRecord>;
  g_saved_contexts->push_back(CurrentExceptionContext());
  TVantorExceptionRecord copy = context;
  copy.ExceptionObject = ExceptionObjectOfContext(context);
  // This module's record of the module that the caller's options belong to.
  // For this module itself: its current options, the object the program changes.
  TVantorModuleOptionsEx* options = nullptr;
  if (context.ModuleOptions && VCore::IsValidObject(context.ModuleOptions)) {
    auto* current = dynamic_cast<TVantorModuleOptionsEx*>(CurrentOptions());
    if (current && context.ModuleOptions->FModuleInstance == VCore::ThisModuleHandle())
      options = current;
    else if (TVantorModuleInfo* info =
                 VCore::ModuleInfoOfHandle(context.ModuleOptions->FModuleInstance))
      options = info->Options.get();
  }
  copy.ModuleOptions = options;
  CurrentExceptionContext() = copy;
}

void RestoreEventContext() {
  if (g_converted_object) {
    const TLastException& last = LastException();
    if (last.KnownObject == g_converted_object) SetLastKnownObject(nullptr);
    delete static_cast<Exception*>(g_converted_object);
    g_converted_object = nullptr;
  }
  TVantorModuleOptionsEx* options = CurrentExceptionContext().ModuleOptions;
  if (options && VCore::IsValidObject(options)) Guarded([&] { options->NotifyChanged(); });
  if (g_saved_contexts && !g_saved_contexts->empty()) {
    CurrentExceptionContext() = g_saved_contexts->back();
    g_saved_contexts->pop_back();
  } else {
    CurrentExceptionContext() = TVantorExceptionRecord();
  }
}

FARPROC FindModuleEventExport(HMODULE module, const char* name) {
  if (!module) module = ModuleOfAddress(CurrentExceptionContext().ExceptionAddress);
  if (!module || module == OwnModule()) return nullptr;
  const auto handle = reinterpret_cast<VCore::TModuleHandle>(module);
  if (!VCore::IsCompatibleVersion(VCore::BlockVersionFromWord(VLData::DebugDataVersion(handle))))
    return nullptr;
  return GetProcAddress(module, name);
}

// ---- Running in the faulting thread ----

void SetEventsSwitchedOff(bool off) { InterlockedExchange(&g_events_off, off ? 1 : 0); }

bool EventProcedureRunning() { return g_posted != nullptr; }

void RunPostedProcedure() {
  EnsureLocks();
  const std::function<void()>* procedure = g_posted;
  if (!procedure || procedure == kRunningMarker) return;
  Guarded(*procedure);
  g_posted = nullptr;
  InterlockedExchange(&g_posted_done, 1);
}

void RunInFaultingThread(const std::function<void()>& procedure) {
  if (g_events_off || !procedure) return;
  EnsureLocks();
  const TVantorExceptionRecord& context = CurrentExceptionContext();
  const bool current = context.ExceptionObject || context.ExceptionAddress;
  if (current && context.ThreadID && context.ThreadID != GetCurrentThreadId()) {
    // The faulting thread polls for it; waiting ends also when that thread is gone.
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, context.ThreadID);
    if (!thread) return;  // that thread is gone: nothing can run in it
    EnterCriticalSection(&g_post_lock);
    InterlockedExchange(&g_posted_done, 0);
    g_posted = &procedure;
    while (!g_posted_done && WaitForSingleObject(thread, 10) != WAIT_OBJECT_0) {
    }
    g_posted = nullptr;
    LeaveCriticalSection(&g_post_lock);
    CloseHandle(thread);
  } else {
    const std::function<void()>* previous = g_posted;
    g_posted = kRunningMarker;
    Guarded(procedure);
    g_posted = previous;
  }
  // A handler may have changed the options: the processing's copy reads what the module
  // published.
  TVantorModuleOptions* options = ReportOptions();
  if (options && options != CurrentOptions()) Guarded([&] { options->SyncShared(); });
}

// ---- Dispatch ----

void FireExceptionNotify(bool handled_exception) {
  RunInFaultingThread([&] {
    bool& handle = HandleFlag();
    const TVantorExceptionRecord* context = &CurrentExceptionContext();
    if (handled_exception) {
      if (auto e = ModuleExport<TFlagExport>("VantorLog_HandledExceptionNotifyEvent"))
        Guarded([&] { e(context, &handle); });
      RunOwnReceivers(&TVantorLogHandler::HandledExceptionNotify, g_globals.HandledExceptionNotify,
                      handle);
    } else {
      if (auto e = ModuleExport<TFlagExport>("VantorLog_ExceptionNotifyEvent"))
        Guarded([&] { e(context, &handle); });
      RunOwnReceivers(&TVantorLogHandler::ExceptionNotify, g_globals.ExceptionNotify, handle);
    }
  });
}

void FireActionNotify(int action, bool& argument) {
  RunInFaultingThread([&] {
    if (auto e = ModuleExport<TCodeFlagExport>("VantorLog_ExceptionActionNotifyEvent"))
      Guarded([&] { e(&CurrentExceptionContext(), action, &argument); });
    RunOwnReceivers(&TVantorLogHandler::ExceptionActionNotify, g_globals.ExceptionActionNotify,
                    action, argument);
  });
}

void FireErrorNotify(TVantorLogErrorCode error, bool& retry) {
  RunInFaultingThread([&] {
    if (auto e = ModuleExport<TCodeFlagExport>("VantorLog_ExceptionErrorNotifyEvent"))
      Guarded([&] { e(&CurrentExceptionContext(), static_cast<int>(error), &retry); });
    RunOwnReceivers(&TVantorLogHandler::ExceptionErrorNotify, g_globals.ExceptionErrorNotify, error,
                    retry);
  });
}

bool RequestModulePassword(HMODULE module, std::string& password) {
  if (!module) return false;
  auto ex = reinterpret_cast<TPasswordExportEx>(
      reinterpret_cast<void*>(FindModuleEventExport(module, "VantorLog_PasswordRequestEventEx")));
  auto plain = ex ? nullptr
                  : reinterpret_cast<TPasswordExport>(reinterpret_cast<void*>(
                        FindModuleEventExport(module, "VantorLog_PasswordRequestEvent")));
  if (!ex && !plain) return false;
  unsigned char buffer[256] = {};
  ToShortString(password, buffer, 255);
  Guarded([&] {
    if (ex)
      ex(&CurrentExceptionContext(), buffer, 255);
    else
      plain(buffer, 255);
  });
  password = FromShortString(buffer);
  return true;
}

void RunOwnPasswordReceivers(std::string& password) {
  RunOwnReceivers(&TVantorLogHandler::PasswordRequest, g_globals.PasswordRequest, password);
}

void FirePasswordRequest(HMODULE module, std::string& password) {
  RunInFaultingThread([&] {
    if (!module) module = ModuleOfAddress(CurrentExceptionContext().ExceptionAddress);
    RequestModulePassword(module, password);
    RunOwnPasswordReceivers(password);
  });
}

namespace {

void FireListRequest(
    const char* export_name,
    std::function<void(const TVantorExceptionRecord&, TStrings&)> TVantorLogHandler::*slot,
    TListRequestEvent global, TStrings& list) {
  RunInFaultingThread([&] {
    if (auto e = ModuleExport<TListExport>(export_name))
      Guarded([&] { e(&CurrentExceptionContext(), &list); });
    RunOwnReceivers(slot, global, list);
  });
}

}  // namespace

void FireCustomDataRequest() {
  FireListRequest("VantorLog_CustomDataRequestEventEx", &TVantorLogHandler::CustomDataRequest,
                  g_globals.CustomDataRequest, CustomDataList());
}

void FireAttachedFilesRequest() {
  FireListRequest("VantorLog_AttachedFilesRequestEvent", &TVantorLogHandler::AttachedFilesRequest,
                  g_globals.AttachedFilesRequest, AttachedFilesList());
}

void FireCustomWebFieldsRequest() {
  FireListRequest("VantorLog_CustomWebFieldsRequestEvent",
                  &TVantorLogHandler::CustomWebFieldsRequest, g_globals.CustomWebFieldsRequest,
                  WebFieldsList());
}

void FireCustomButtonClick(bool& close) {
  RunInFaultingThread([&] {
    if (auto e = ModuleExport<TFlagExport>("VantorLog_CustomButtonClickEvent"))
      Guarded([&] { e(&CurrentExceptionContext(), &close); });
    RunOwnReceivers(&TVantorLogHandler::CustomButtonClick, g_globals.CustomButtonClick, close);
  });
}

namespace {
volatile LONG g_processing_lock_deleted = 0;
}  // namespace

bool EnterProcessingLock() {
  if (g_processing_lock_deleted) return false;
  EnsureLocks();
  EnterCriticalSection(&g_processing_lock);
  return true;
}

bool TryEnterProcessingLock() {
  if (g_processing_lock_deleted) return false;
  EnsureLocks();
  return TryEnterCriticalSection(&g_processing_lock) != 0;
}

void LeaveProcessingLock() {
  if (!g_processing_lock_deleted) LeaveCriticalSection(&g_processing_lock);
}

void DeleteProcessingLock() {
  EnsureLocks();
  if (InterlockedExchange(&g_processing_lock_deleted, 1) == 0)
    DeleteCriticalSection(&g_processing_lock);
}

}  // namespace ExceptionLog

// ---- Warnings and internal errors ----

namespace ExceptionLog {

const char kLibraryVersionText[] = "6.0.15";
const char kSupportAddress[] = "support@vantorlog.example";

namespace {

volatile LONG g_internal_error = 0;
TMessageBoxHook g_message_box = nullptr;
TBugMailer g_bug_mailer = nullptr;
volatile LONG g_send_progress_open = 0;

int ShowBox(const std::string& text, const char* caption, UINT flags) {
  return g_message_box ? g_message_box(nullptr, text.c_str(), caption, flags)
                       : MessageBoxA(nullptr, text.c_str(), caption, flags);
}

std::string Hex8(const void* address) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X",
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(address)));
  return text;
}

std::string ModuleNameOf(const TAddressLocation& location) {
  return location.ModuleInfo ? VCore::ExtractFileName(location.ModuleInfo->FileName)
                             : std::string();
}

VCore::TModuleHandle ModuleHandleOf(const TAddressLocation& location) {
  return location.ModuleInfo ? location.ModuleInfo->Handle : 0;
}

// "- unit - class - procedure - line[offset]"
std::string LineText(const TAddressLocation& location) {
  return "- " + location.UnitName + " - " + location.ClassName + " - " + location.ProcedureName +
         " - " + std::to_string(location.Line) + "[" + std::to_string(location.LineOffset) + "]";
}

// Where the object was raised, when the raise hooks saw it.
const void* RaiseAddressOf(const void* object) {
  if (!object) return nullptr;
  const TLastException& last = LastException();
  if (last.Object == object) return last.Address;
  if (const ThreadExceptionState* state = CurrentThreadState()) {
    const EXCEPTION_RECORD& r = state->ExceptionRecord;
    if (r.ExceptionCode == kLanguageRaiseCode && r.NumberParameters >= 2 &&
        reinterpret_cast<const void*>(r.ExceptionInformation[1]) == object)
      return r.ExceptionAddress;
  }
  return nullptr;
}

bool SaveLines(const std::string& file, std::string text) {
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) text += "\r\n";
  HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == text.size();
}

}  // namespace

bool InternalErrorRunning() { return g_internal_error != 0; }
void SetMessageBoxHook(TMessageBoxHook hook) { g_message_box = hook; }
void SetBugMailer(TBugMailer mailer) { g_bug_mailer = mailer; }
void SetSendProgressOpen(bool open) { InterlockedExchange(&g_send_progress_open, open ? 1 : 0); }

void ShowWarningBox(const std::string& message) {
  if (g_send_progress_open) ShowBox(message, "Error.", 0x242010);
}

void ReportSectionWarning(TVantorLogErrorCode code, const std::string& section) {
  try {
    const auto* e = VCore::ObjectAs<Exception>(CurrentExceptionContext().ExceptionObject);
    ReportLibraryWarning(
        code, e ? "[" + section + "] " + e->Message() : "General '" + section + "' error.");
  } catch (...) {
  }
}

std::string InternalBugAddressText(const void* address) {
  TAddressLocation location;
  try {
    GetAddressLocation(address, GetCurrentThreadId(), location, true, 0);
  } catch (...) {
  }
  return "$" + Hex8(address) + " - [" +
         Hex8(reinterpret_cast<const void*>(ModuleHandleOf(location))) + "] " +
         ModuleNameOf(location) + " " + LineText(location);
}

std::string InternalBugCallStack(const void* stack_pointer) {
  const void* start = stack_pointer;
  if (!VCore::IsIdeHost()) {
    const ThreadExceptionState* state = CurrentThreadState();
    start = state ? state->RaiseStackPointer : nullptr;
  }
  if (!start) start = VCore::CurrentStackPointer();
  const void* top = VCore::StackTopOfThread();
  constexpr std::uint32_t kAllKinds = 0x1F;
  std::unique_ptr<TVantorStackList> list;
  try {
    list = BuildCallStack(nullptr, start, top, kAllKinds, 0, -1, false, 0, GetCurrentThreadId());
  } catch (...) {
    list.reset();
  }
  if (!list) {
    try {
      list = std::make_unique<TVantorStackList>();
      ScanStackReturnAddresses(*list, nullptr, start, top, kAllKinds, 0, -1, false, true, 0,
                               GetCurrentThreadId());
    } catch (...) {
    }
  }
  std::string text;
  for (int i = 0; list && i < list->Count(); ++i) {
    const TAddressLocation& entry = *list->Items(i);
    char head[64];
    std::snprintf(head, sizeof head, "%02X $%08X - [%08X] ", static_cast<unsigned>(i),
                  static_cast<unsigned>(entry.Address),
                  static_cast<unsigned>(ModuleHandleOf(entry)));
    if (i > 0) text += std::string(12, ' ');
    text +=
        head + ModuleNameOf(entry) + " " + (entry.Line ? LineText(entry) : std::string()) + "\r\n";
  }
  return text;
}

void ReportInternalErrorOf(const std::string& section, const void* object, const void* address) {
  InterlockedExchange(&g_internal_error, 1);
  // The library's own frames are what this report is about.
  VLData::SetBuildingInternalErrorReport(true);
  const auto report = [&] {
    if (object && (VCore::InheritsFromClassName(object, "EAbort") ||
                   VCore::InheritsFromClassName(object, "EVantorSocketError")))
      return;
    if (!VCore::IsIdeHost() && !VCore::IsDebuggerPresentSafe()) return;
    const auto* a = static_cast<const std::uint8_t*>(address);
    if (a && object && VCore::IsLanguageException(object)) a -= 5;
    const auto* e = VCore::ObjectAs<Exception>(object);
    const std::string message = e ? e->Message() : "General internal error.";
    const std::string class_name = e ? VCore::ClassNameOf(VCore::ClassOfObject(object)) : "";
    const TLastException& last = LastException();
    const std::string last_class = VCore::IsValidObject(last.Object)
                                       ? VCore::ClassNameOf(VCore::ClassOfObject(last.Object))
                                       : "";
    VCore::DebugOutput("[ERROR] - Section: " + section + " - Address: " + Hex8(a) +
                       " - Message: \"" + message + "\"");
    std::string dump;
    std::uint8_t bytes[32];
    if (a && VCore::SafeRead(a, bytes, sizeof bytes))
      for (std::uint8_t b : bytes) {
        char one[8];
        std::snprintf(one, sizeof one, "$%02X ", b);
        dump += one;
      }
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string text =
        std::string("Version   : ") + kLibraryVersionText +
        "\r\nDate      : " + Rfc822DateText(now) + "\r\nOS        : " + WindowsVersionName() +
        "\r\nRAD       : GCC " + __VERSION__ + "\r\nDump      : " + dump +
        "\r\nSection   : " + section + "\r\nLastExcept: " + last_class +
        "\r\nAddress   : " + InternalBugAddressText(a) + "\r\nException : " + class_name +
        "\r\nMessage   : " + message +
        "\r\nCall Stack: " + InternalBugCallStack(VCore::CurrentStackPointer());
    std::string file;
    if (!VCore::PrepareLogFile(VCore::ChangeFileExt(VCore::ProgramFileName(), ".log"), false, false,
                               &file) ||
        !SaveLines(file, text))
      return;
    const int answer = ShowBox("Error: '" + message +
                                   "'\r\n\r\nThis is an internal VantorLog bug.\r\nDo you want "
                                   "to send the bug information to VantorLog author?",
                               "Probably internal bug", 0x242014);
    if (answer == IDYES) {
      const std::string subject =
          std::string("VantorLog ") + kLibraryVersionText + " critical bug.";
      const bool sent = g_bug_mailer && g_bug_mailer(file, kSupportAddress, subject);
      if (!sent)
        ShowBox("Cannot connect with your email client.\r\nSend manually the \"" + file +
                    "\" file to the " + kSupportAddress +
                    " email address, after click on OK button to close this box.",
                "Information", 0x242030);
    }
  };
  try {
    report();
  } catch (...) {
    // gives up silently
  }
  VLData::SetBuildingInternalErrorReport(false);
  InterlockedExchange(&g_internal_error, 0);
}

void ReportInternalError(const std::string& section) {
  try {
    const std::exception_ptr handled = std::current_exception();
    const void* object = ObjectOf(handled);
    ReportInternalErrorOf(section, object, RaiseAddressOf(object));
  } catch (...) {
  }
}

}  // namespace ExceptionLog

// ---- The exports ----

using namespace ExceptionLog;

namespace {

// The flag events of this module (exports 10, 11 and 17): receivers 2 and 3 on HandleFlag or
// the caller's flag.
template <class Slot, class Global>
void FlagEvent(const TVantorExceptionRecord* context, bool* flag, Slot slot, Global global,
               bool through_handle_flag) {
  WithContext(context, [&] {
    bool local = flag ? *flag : true;
    bool& value = through_handle_flag ? HandleFlag() : local;
    value = local;
    RunOwnReceivers(slot, global, value);
    if (flag) *flag = value;
  });
}

void ListEvent(
    const TVantorExceptionRecord* context, TStrings* list, TStrings& own,
    std::function<void(const TVantorExceptionRecord&, TStrings&)> TVantorLogHandler::*slot,
    TListRequestEvent global) {
  WithContext(context, [&] {
    own.Clear();
    CopyList(list, own);
    RunOwnReceivers(slot, global, own);
    // The caller sees what the receivers left through its own list's slots.
    if (list && list != &own) {
      list->Clear();
      for (int i = 0; i < own.Count(); ++i) list->Add(own.Get(i));
    }
  });
}

}  // namespace

VANTORLOG_EXPORT bool VantorLog_LastTarvicException() { return LastException().Language != 0; }

VANTORLOG_EXPORT void VantorLog_CallCreateThread(const TTrackedThreadInfo* record) {
  if (HooksActive() && record) Guarded([&] { CallCreateThread(record); });
}

VANTORLOG_EXPORT void VantorLog_CallResumeThread(HANDLE thread, const TTrackedThreadInfo* record) {
  if (HooksActive() && record) Guarded([&] { CallResumeThread(thread, record); });
}

VANTORLOG_EXPORT void VantorLog_CallExitThread() {
  if (HooksActive()) Guarded([] { CallExitThread(); });
}

VANTORLOG_EXPORT void* VantorLog_CallExceptObject(EXCEPTION_RECORD* record, CONTEXT* context,
                                                  bool process) {
  void* object = nullptr;
  Guarded([&] { object = CallExceptObject(record, context, process); });
  return object;
}

VANTORLOG_EXPORT void VantorLog_CallGeneralRaise(DWORD code, DWORD flags, DWORD count,
                                                 const void* stack_position,
                                                 const ULONG_PTR* arguments) {
  Guarded([&] {
    if (ThreadExceptionState* state = CurrentThreadState())
      state->HookStackPosition = stack_position;
    CaptureRuntimeRaise(code, flags, count, false, arguments);
  });
}

namespace ExceptionLog {
namespace {
TManagerHandler g_manager_handler = nullptr;
}  // namespace
void SetManagerHandler(TManagerHandler handler) { g_manager_handler = handler; }
}  // namespace ExceptionLog

VANTORLOG_EXPORT bool ExceptionManager(void* object, const void* address, BYTE display_kind,
                                       HMODULE module) {
  bool result = true;
  if (!IsSecondaryModule() && !IsLibraryActive()) return result;
  if (!EnterProcessingLock()) return result;
  void* stack_copy = nullptr;
  Guarded([&] {
    using TManager = bool(__attribute__((regparm(3), stdcall))*)(void*, const void*, BYTE, HMODULE);
    if (IsSecondaryModule()) {
      HMODULE main = MainProgram();
      if (main && main != reinterpret_cast<HMODULE>(VCore::ThisModuleHandle()))
        if (auto manager = reinterpret_cast<TManager>(
                reinterpret_cast<void*>(GetProcAddress(main, "ExceptionManager")))) {
          result = manager(object, address, display_kind,
                           reinterpret_cast<HMODULE>(VCore::ThisModuleHandle()));
          return;
        }
    }
    if (!IsLibraryActive() || !IsThreadEnabled(GetCurrentThreadId())) return;
    const TLastException& last = LastException();
    if (!VCore::IsManageableObject(object) && !VCore::IsManageableObject(last.Object)) return;
    if (!VCore::IsValidObject(object)) {
      object = last.Object;
      address = last.KnownAddress;
    }
    if (ThreadExceptionState* state = CurrentThreadState())
      if (!state->RaiseStackPointer) state->RaiseStackPointer = VCore::CurrentStackPointer();
    bool language = last.Language != 0;
    HMODULE holder = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        static_cast<LPCSTR>(address), &holder);
    using TLast = bool(__attribute__((regparm(3), stdcall))*)();
    if (holder)
      if (auto ask = reinterpret_cast<TLast>(
              reinterpret_cast<void*>(GetProcAddress(holder, "VantorLog_LastTarvicException"))))
        language = ask();
    if (TManagerHandler manager = g_manager_handler) {
      // Inside a catch block the stack above the handler is in use again: the scan takes the
      // copy made when the exception was raised in this thread.
      const void* stack_pointer = nullptr;
      const void* stack_top = nullptr;
      if (std::current_exception()) {
        const TRaiseStackCopy facts = RaiseStackCopy(nullptr, 0);
        if (facts.ThreadID == GetCurrentThreadId() && facts.Size && IsCopyOfRaiseAt(facts, address))
          stack_copy = HeapAlloc(GetProcessHeap(), 0, facts.Size);
        if (stack_copy) {
          const TRaiseStackCopy copied = RaiseStackCopy(stack_copy, facts.Size);
          const std::size_t size = copied.Size < facts.Size ? copied.Size : facts.Size;
          if (copied.ThreadID == GetCurrentThreadId() && size >= sizeof(void*)) {
            stack_pointer = stack_copy;
            stack_top = static_cast<const std::uint8_t*>(stack_copy) + size - sizeof(void*);
          }
        }
      }
      result = manager(object, address, language, module, display_kind, stack_pointer, stack_top);
    } else if (TCoreExceptionHandler handler = CoreExceptionHandler()) {
      result = handler(object, address, language, kHandlerNone, module);
    }
  });
  if (stack_copy) HeapFree(GetProcessHeap(), 0, stack_copy);
  LeaveProcessingLock();
  return result;
}

VANTORLOG_EXPORT void VantorLog_PasswordRequestEvent(unsigned char* buffer, int max_length) {
  if (!buffer) return;
  std::string password = FromShortString(buffer);
  RunOwnPasswordReceivers(password);
  ToShortString(password, buffer, max_length);
}

VANTORLOG_EXPORT void VantorLog_PasswordRequestEventEx(const TVantorExceptionRecord* context,
                                                       unsigned char* buffer, int max_length) {
  if (!buffer) return;
  WithContext(context, [&] {
    std::string password = FromShortString(buffer);
    RunOwnPasswordReceivers(password);
    ToShortString(password, buffer, max_length);
  });
}

VANTORLOG_EXPORT void VantorLog_ExceptionNotifyEvent(const TVantorExceptionRecord* context,
                                                     bool* handle) {
  FlagEvent(context, handle, &TVantorLogHandler::ExceptionNotify, GlobalHandlers().ExceptionNotify,
            true);
}

VANTORLOG_EXPORT void VantorLog_HandledExceptionNotifyEvent(const TVantorExceptionRecord* context,
                                                            bool* handle) {
  FlagEvent(context, handle, &TVantorLogHandler::HandledExceptionNotify,
            GlobalHandlers().HandledExceptionNotify, true);
}

VANTORLOG_EXPORT void VantorLog_ExceptionActionNotifyEvent(const TVantorExceptionRecord* context,
                                                           int action, bool* argument) {
  WithContext(context, [&] {
    bool value = argument ? *argument : false;
    RunOwnReceivers(&TVantorLogHandler::ExceptionActionNotify,
                    GlobalHandlers().ExceptionActionNotify, action, value);
    if (argument) *argument = value;
  });
}

VANTORLOG_EXPORT void VantorLog_ExceptionErrorNotifyEvent(const TVantorExceptionRecord* context,
                                                          TVantorLogErrorCode error, bool* retry) {
  WithContext(context, [&] {
    bool value = retry ? *retry : false;
    RunOwnReceivers(&TVantorLogHandler::ExceptionErrorNotify, GlobalHandlers().ExceptionErrorNotify,
                    error, value);
    if (retry) *retry = value;
  });
}

VANTORLOG_EXPORT void VantorLog_CustomDataRequestEventEx(const TVantorExceptionRecord* context,
                                                         TStrings* list) {
  ListEvent(context, list, CustomDataList(), &TVantorLogHandler::CustomDataRequest,
            GlobalHandlers().CustomDataRequest);
}

VANTORLOG_EXPORT void VantorLog_AttachedFilesRequestEvent(const TVantorExceptionRecord* context,
                                                          TStrings* list) {
  ListEvent(context, list, AttachedFilesList(), &TVantorLogHandler::AttachedFilesRequest,
            GlobalHandlers().AttachedFilesRequest);
}

VANTORLOG_EXPORT void VantorLog_CustomWebFieldsRequestEvent(const TVantorExceptionRecord* context,
                                                            TStrings* list) {
  ListEvent(context, list, WebFieldsList(), &TVantorLogHandler::CustomWebFieldsRequest,
            GlobalHandlers().CustomWebFieldsRequest);
}

VANTORLOG_EXPORT void VantorLog_CustomButtonClickEvent(const TVantorExceptionRecord* context,
                                                       bool* close) {
  FlagEvent(context, close, &TVantorLogHandler::CustomButtonClick,
            GlobalHandlers().CustomButtonClick, false);
}
