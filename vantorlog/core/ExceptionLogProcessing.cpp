// The exception processing line: the core handler that the raise hooks call, the exception
// worker thread that runs the main line while the faulting thread waits, and the main line
// itself (report, log, dialog, screenshot, sending, terminate or restart).
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Classes.h"
#include "ExceptionLog.h"
#include "ExceptionLogStartup.h"
#include "VCallStack.h"
#include "VClassModel.h"
#include "VCore.h"
#include "VFilters.h"
#include "VFreeze.h"
#include "VHash.h"
#include "VLeaks.h"
#include "VMemory.h"
#include "VModules.h"
#include "VSystem.h"
#include "VTextUtils.h"
#include "VThreads.h"
#include "VUnitVariable.h"
#include "report/ExceptionLog.h"
#include "report/ReportText.h"
#include "report/SendSequence.h"
#include "report/VDialogs.h"
#include "report/VLogFile.h"
#include "report/VWebErrorPage.h"

namespace ExceptionLog {
namespace {

constexpr char kSafeCallPrefix[] = "[SafeCall Exception]: ";

// Process globals, written only under the processing lock.
volatile DWORD g_progress = 0;
VCore::TUnitVariable<std::string> g_bug_id_unit;
std::string& g_bug_id = *g_bug_id_unit;
VCore::TUnitVariable<std::string> g_last_report_unit;
std::string& g_last_report = *g_last_report_unit;
VCore::TUnitVariable<std::string> g_last_message_unit;
std::string& g_last_message = *g_last_message_unit;
VCore::TUnitVariable<std::string> g_filter_message_unit;
std::string& g_filter_message = *g_filter_message_unit;
int g_error_count = 0;
VCore::TUnitVariable<std::vector<std::string>> g_crash_times_unit;
std::vector<std::string>& g_crash_times = *g_crash_times_unit;
bool g_process_ending = false;
const void* volatile g_last_processed = nullptr;
VCore::TUnitVariable<std::unique_ptr<TVantorStackList>> g_call_stack_unit;
std::unique_ptr<TVantorStackList>& g_call_stack = *g_call_stack_unit;
TDialogState g_dialog_state;
TProcessingSteps* g_steps = nullptr;
// The options of the exception being processed (a copy; nil outside a processing).
VCore::TUnitVariable<std::unique_ptr<TVantorModuleOptionsEx>> g_report_options_unit;
std::unique_ptr<TVantorModuleOptionsEx>& g_report_options = *g_report_options_unit;
TVantorModuleOptionsEx* volatile g_report_in_force = nullptr;
// The module whose options the copy holds.
VCore::TUnitVariable<std::shared_ptr<TVantorModuleInfo>> g_report_module_unit;
std::shared_ptr<TVantorModuleInfo>& g_report_module = *g_report_module_unit;
VCore::TUnitVariable<std::array<std::string, 2>> g_leak_texts_unit;
std::array<std::string, 2>& g_leak_texts = *g_leak_texts_unit;
VCore::TUnitVariable<std::string> g_last_html_page_unit;
std::string& g_last_html_page = *g_last_html_page_unit;
volatile LONG g_in_place = 0;
volatile DWORD g_freeze_thread = 0;
// A WM_QUIT taken from the faulting thread's queue while it waited: posted again at the end.
bool g_quit_held = false;
WPARAM g_quit_code = 0;

void HoldQuit(const MSG& message) {
  g_quit_held = true;
  g_quit_code = message.wParam;
}

void Step(DWORD code) {
  g_progress = code;
  if (g_steps && g_steps->Progress) g_steps->Progress(code);
}

TProcessingSteps DefaultSteps() {
  TProcessingSteps steps;
  steps.CheckDuplicateError = [](const std::string& bug_id, bool count_up) {
    if (const TVantorModuleOptions* options = ReportOptions())
      ExceptionLog::CheckDuplicateError(*options, bug_id, count_up);
  };
  steps.IsDuplicateError = [] { return ExceptionLog::IsDuplicateError(); };
  steps.SaveReportToLog = [](const std::string& report) {
    if (const TVantorModuleOptions* options = ReportOptions())
      ExceptionLog::SaveReportToLog(*options, report, ReportPieces().SendText);
  };
  steps.ShowExceptionDialog = [](bool first_showing) { ShowExceptionDialogStep(first_showing); };
  steps.ShowRequestDialog = [] { ExceptionLog::ShowRequestDialog(); };
  steps.ShowWebErrorPage = [](const std::string& text) { ShowWebErrorPage(text); };
  steps.CaptureScreenshot = [] { ExceptionLog::CaptureScreenshot(); };
  steps.SaveScreenshotPNG = [](const std::string& name) { ExceptionLog::SaveScreenshotPNG(name); };
  steps.ReleaseScreenshot = [] { ExceptionLog::ReleaseScreenshot(); };
  steps.StartSending = [] { ExceptionLog::StartSending(); };
  steps.AfterSending = [] { ExceptionLog::AfterSending(); };
  steps.TerminateOrRestart = [] { ExceptionLog::TerminateOrRestart(); };
  steps.IsDialogOpen = [] { return ExceptionLog::IsDialogOpen(); };
  return steps;
}

TProcessingSteps& Steps() {
  if (!g_steps) g_steps = new TProcessingSteps(DefaultSteps());
  return *g_steps;
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The focused window's class and, for a single-line ANSI control, its text (a password edit's
// characters as "*").
void ReadFocusedControl(TExceptNotifyParams& params) {
  HWND focus = GetFocus();
  SetScreenshotFocus(focus, GetCursor());
  if (!focus) return;
  char name[257] = {};
  if (GetClassNameA(focus, name, sizeof name) > 0) params.FocusedWindowClass = name;
  if (IsWindowUnicode(focus)) return;
  const std::string cls = Trim(Upper(params.FocusedWindowClass));
  const LONG style = GetWindowLongA(focus, GWL_STYLE);
  const bool edit = cls.find("EDIT") != std::string::npos;
  if ((edit || cls.find("MEMO") != std::string::npos) && (style & ES_MULTILINE)) return;
  char text[257] = {};
  SetLastError(0);
  if (GetWindowTextA(focus, text, sizeof text) == 0 && GetLastError() != 0) return;
  std::string value = text;
  if (edit && (style & ES_PASSWORD)) value.assign(value.size(), '*');
  params.FocusedControlText = value;
}

std::string VersionItem(const std::string& file, const char* item) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (!size) return "";
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(file.c_str(), 0, size, data.data())) return "";
  struct {
    WORD language, code_page;
  }* translation = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &length) ||
      length < 4)
    return "";
  char path[64];
  std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation->language,
                translation->code_page, item);
  char* value = nullptr;
  if (!VerQueryValueA(data.data(), path, reinterpret_cast<void**>(&value), &length) || !value)
    return "";
  return std::string(value, length && value[length - 1] == '\0' ? length - 1 : length);
}

std::string ModuleFileNameOf(HMODULE module) {
  char name[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(module, name, sizeof name);
  return n ? std::string(name, n) : std::string();
}

std::string BugIdText(const TGeneralFacts& facts, const void* object,
                      const TVantorStackList& list) {
  std::string text =
      ApplicationNameText(facts) + ExceptionModuleText(facts) + ExceptionClassText(object);
  if (list.Count() > 0) {
    const std::uint32_t thread = list.Items(0)->ThreadID;
    for (int i = 0; i < list.Count(); ++i) {
      const TAddressLocation& entry = *list.Items(i);
      if (entry.Kind != 4 || entry.ThreadID != thread) continue;
      text += entry.UnitName + entry.ClassName + entry.ProcedureName + std::to_string(entry.Line);
    }
  }
  char id[8];
  std::snprintf(id, sizeof id, "%04X", static_cast<unsigned>(VHash::Crc16Text(text)));
  return id;
}

bool MustSendReport(const TVantorModuleOptions& options) {
  if (!options.FMailMode && !options.FWebMode) return false;
  if (Steps().IsDuplicateError()) return false;
  return options.FDialogKind == 0 || g_dialog_state.SendChosen;
}

std::vector<std::string> ListItems(const TStrings& list) {
  std::vector<std::string> items;
  for (int i = 0; i < list.Count(); ++i) items.push_back(list.Get(i));
  return items;
}

// ---- Options of the raising module ----

bool HasDebugData(const TVantorModuleInfo* info) { return info && info->DebugInfo; }

std::shared_ptr<TVantorModuleInfo> InfoOfModule(HMODULE module) {
  return module ? VCore::ModuleInfoRefOfAddress(module) : nullptr;
}

// The options a module's info stands for: this module's own are the current options (the
// ones the program changes at run time); another module's are reloaded from its block.
TVantorModuleOptions* OptionsOfInfo(const TVantorModuleInfo* info) {
  TVantorModuleOptions* current = CurrentOptions();
  if (!info || (current && info->Handle == VCore::ThisModuleHandle())) {
    // What the program set directly reaches the block the copy reloads from.
    if (current) current->NotifyChanged();
    return current;
  }
  if (info->Options) info->Options->SyncShared();
  return info->Options.get();
}

// Step 6: the report options become a copy of the raising module's options.
void ChooseReportOptions(const void* address, HMODULE module) {
  const HMODULE own = reinterpret_cast<HMODULE>(VCore::ThisModuleHandle());
  const HMODULE fallback = module == own ? MainProgram() : own;
  Step(101);
  std::shared_ptr<TVantorModuleInfo> info = VCore::ModuleInfoRefOfAddress(address);
  if (!HasDebugData(info.get())) {
    Step(102);
    if (auto by_module = InfoOfModule(module)) info = by_module;
  }
  std::shared_ptr<TVantorModuleInfo> fallback_info;
  if (!info || (!HasDebugData(info.get()) && fallback)) {
    Step(103);
    fallback_info = InfoOfModule(fallback);
    if (fallback_info) info = fallback_info;
  }
  const TVantorModuleOptions* source = OptionsOfInfo(info.get());
  if (!source) throw Exception("No options");
  auto copy = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
  copy->LockNotify();
  copy->CopySettings(source);
  copy->FLibraryActive = source->FLibraryActive;
  if (copy->FBehaviourFlags & 0x08) {
    if (!fallback_info) fallback_info = InfoOfModule(fallback);
    if (HasDebugData(fallback_info.get()) && fallback_info != info) {
      if (const TVantorModuleOptions* main = OptionsOfInfo(fallback_info.get())) {
        copy->CopySettings(main);
        copy->FLibraryActive = main->FLibraryActive;
        info = fallback_info;
      }
    }
  }
  copy->FModuleFileName = info ? info->FileName : source->FModuleFileName;
  copy->FModuleInstance = info ? info->Handle : source->FModuleInstance;
  copy->UnlockNotify();
  g_leak_texts[0] = copy->GetCustomText(154);
  g_leak_texts[1] = copy->GetCustomText(155);
  g_report_options = std::move(copy);
  g_report_in_force = g_report_options.get();
  g_report_module = std::move(info);
  Step(104);
}

// ---- Other threads ----

void AddCreatorStack(TVantorStackList& list, const TTrackedThreadInfo& record) {
  if (!record.CreatorStackCopy || record.CreatorStackSize < 4) return;
  const auto* start = static_cast<const std::uint8_t*>(record.CreatorStackCopy);
  ScanStackReturnAddresses(list, nullptr, start, start + record.CreatorStackSize - 4, 31, -1, -1,
                           true, false, 0, record.CreatorThreadID);
}

// Steps 16 to 19: the faulting thread's creator stack, then the stacks of the other threads
// that the stack flags want (bit 2 runtime threads, bit 3 Windows threads), each followed by
// its creator's. The stacks are copied raw while their threads are suspended and resolved
// once all run again.
void AddOtherThreadStacks(TVantorStackList& list, const TVantorThreadsList& snapshot,
                          DWORD faulting, const TVantorModuleOptions& options) {
  if (const TTrackedThreadInfo* own = snapshot.GetItem(snapshot.IndexOfThreadID(faulting)))
    AddCreatorStack(list, *own);
  std::vector<const TTrackedThreadInfo*> wanted;
  const DWORD self = GetCurrentThreadId();
  for (int i = 0; i < snapshot.Count(); ++i) {
    const TTrackedThreadInfo* record = snapshot.GetItem(i);
    if (record->ThreadID == faulting || record->ThreadID == self || !record->ThreadHandle) continue;
    if (options.FStackFlags & (IsRuntimeThreadRecord(*record) ? 0x04 : 0x08))
      wanted.push_back(record);
  }
  if (wanted.empty()) return;
  for (const TThreadStackCopy& copy : CopyThreadStacks(wanted, kMaxStackScan)) {
    if (copy.Size >= 4) {
      const std::uint8_t* start = copy.Bytes.get();
      ScanStackReturnAddresses(list, nullptr, start, start + copy.Size - 4, 31, -1, -1, true, false,
                               1, copy.Record->ThreadID);
    }
    AddCreatorStack(list, *copy.Record);
  }
}

// The processes list is built by a thread of its own while the stacks are located: both wait
// mostly on the system. The thread is made past the thread hooks and never processed.
class TProcessesListBuild {
 public:
  TProcessesListBuild() = default;
  TProcessesListBuild(const TProcessesListBuild&) = delete;
  TProcessesListBuild& operator=(const TProcessesListBuild&) = delete;
  ~TProcessesListBuild() { Finish(); }
  void Start() {
    wanted_ = true;
    handle_ = RealCreateThread(nullptr, 0, Run, nullptr, CREATE_SUSPENDED, &id_);
    if (!handle_) return;
    SetThreadEnabled(id_, false);
    started_ = RealResumeThread(handle_) != static_cast<DWORD>(-1);
    if (!started_) Finish();
  }
  // The list is there when this returns: built by the thread, or here when it could not run.
  void Finish() {
    if (handle_ && started_) WaitForSingleObject(handle_, INFINITE);
    if (handle_) {
      if (!started_) TerminateThread(handle_, 0);  // never ran a line
      CloseHandle(handle_);
      SetThreadEnabled(id_, true);
    }
    if (wanted_ && !started_) VCore::BuildProcessesList();
    handle_ = nullptr;
    started_ = false;
    wanted_ = false;
  }

 private:
  static DWORD WINAPI Run(void*) {
    try {
      VCore::BuildProcessesList();
    } catch (...) {
    }
    return 0;
  }
  HANDLE handle_ = nullptr;
  DWORD id_ = 0;
  bool started_ = false;
  bool wanted_ = false;
};

// Threads held by the freeze policy; resumed when the line is through with them or fails.
class TFrozenThreads {
 public:
  TFrozenThreads() = default;
  TFrozenThreads(const TFrozenThreads&) = delete;
  TFrozenThreads& operator=(const TFrozenThreads&) = delete;
  ~TFrozenThreads() { Resume(); }
  void Freeze(const TVantorThreadsList& snapshot, DWORD faulting, std::uint16_t behaviour) {
    const DWORD self = GetCurrentThreadId();
    for (int i = 0; i < snapshot.Count(); ++i) {
      const TTrackedThreadInfo* record = snapshot.GetItem(i);
      if (record->ThreadID == faulting || record->ThreadID == self || !record->ThreadHandle)
        continue;
      if (FreezePolicySuspends(behaviour, IsRuntimeThreadRecord(*record),
                               IsMainThreadRecord(*record)) &&
          SuspendThread(record->ThreadHandle) != static_cast<DWORD>(-1))
        handles_.push_back(record->ThreadHandle);
    }
  }
  void Resume() {
    for (HANDLE handle : handles_) ResumeThread(handle);
    handles_.clear();
  }

 private:
  std::vector<HANDLE> handles_;
};

// Step 34: a log whose last report names another version of the program goes.
void DeleteLogOfOtherVersion(const TVantorModuleOptions& options) {
  std::string file;
  {
    TLogFile& log = OpenLogFile(options);
    if (log.ReportCount() == 0) return;
    const std::string stored = VCore::Trim(log.GetItemValue("1.3", log.ReportCount() - 1));
    if (stored == OwnFileVersion()) return;
    file = log.FileName();
  }
  CloseLogFile();
  ForceDeleteFile(file);
}

// ---- The worker ----

struct TExceptionThread {
  BYTE Result = 0;
  void* Object = nullptr;
  const void* Address = nullptr;
  BYTE Language = 0;
  TExceptNotifyParams Params;
  BYTE DisplayKind = 0;
  HMODULE Module = nullptr;
  BYTE HandlerKind = 0;
  volatile LONG Running = 1;
  HANDLE Handle = nullptr;
};

DWORD WINAPI ExceptionThreadExecute(void* parameter) {
  auto* self = static_cast<TExceptionThread*>(parameter);
  // An exception of the processing itself is not processed.
  if (ThreadExceptionState* state = CurrentThreadState()) state->Processing = 1;
  try {
    self->Result =
        ProcessCaughtException(self->Object, self->Address, self->Language != 0, self->HandlerKind,
                               self->Module, self->DisplayKind, self->Params)
            ? 1
            : 0;
  } catch (...) {
  }
  InterlockedExchange(&self->Running, 0);
  ReleaseCurrentThreadState();
  return 0;
}

// The faulting thread's wait: messages sent to its windows by other threads are served (so
// that nothing the worker or a dialog asks of them waits on this thread); the main thread
// pumps its restricted loop while a library dialog is open.
void WaitForWorker(TExceptionThread& thread, bool pump_allowed) {
  const bool main_thread = GetCurrentThreadId() == MainThreadID();
  while (thread.Running) {
    if (main_thread && pump_allowed && Steps().IsDialogOpen()) pump_allowed = PumpRefusingInput();
    RunPostedProcedure();
    const DWORD woke = MsgWaitForMultipleObjects(1, &thread.Handle, FALSE, 10, QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_OBJECT_0 + 1) {
      MSG message;
      PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
  }
  WaitForSingleObject(thread.Handle, INFINITE);
}

// In the faulting thread: in a library module while its units start or end (under the loader
// lock no worker starts), and during the leak tracker's final check. That check runs among the
// exit procedures, under the runtime's exit lock: a worker whose first call of a runtime
// routine registers an exit procedure (the float formatting's lock, a function's static)
// would wait for that lock, and this thread for the worker, for ever.
bool InPlaceWanted() {
  if (VLeaks::FinalCheckStarted()) return true;
  return VCore::IsLibraryModule(VCore::ThisModuleHandle()) &&
         (UnitInitRunning() || FinalizationStarted());
}

bool HookEntry(void* object, const void* address, bool language, BYTE handler_kind,
               HMODULE module) {
  return CoreExceptionHandler(object, address, language, nullptr, 0, handler_kind, module, 0,
                              nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

TProcessingSteps& ProcessingSteps() { return Steps(); }
void ResetProcessingSteps() { Steps() = DefaultSteps(); }
TDialogState& DialogState() { return g_dialog_state; }

std::string ExceptionMessageText() {
  return g_filter_message.empty() ? g_last_message : g_filter_message;
}
void SetFilterMessage(const std::string& text) { g_filter_message = text; }
DWORD ProgressCode() { return g_progress; }
std::string BugID() { return g_bug_id; }
std::string LastReportText() { return g_last_report; }
void SetLastReportText(const std::string& report) { g_last_report = report; }
int ErrorCount() { return g_error_count; }
bool ProcessEnding() { return g_process_ending; }
void SetProcessEnding() { g_process_ending = true; }
const std::vector<std::string>& CrashTimes() { return g_crash_times; }
const void* LastProcessedAddress() { return g_last_processed; }
void SetLastProcessedAddress(const void* address) { g_last_processed = address; }

TVantorModuleOptions* ReportOptions() {
  if (TVantorModuleOptionsEx* options = g_report_in_force) return options;
  return CurrentOptions();
}
std::string KeptLeakText(int index) {
  return index == 154 ? g_leak_texts[0] : index == 155 ? g_leak_texts[1] : std::string();
}
std::string LastHtmlPageText() { return g_last_html_page; }
void SetLastHtmlPageText(std::string text) { g_last_html_page = std::move(text); }

bool ProcessingInPlace() { return g_in_place != 0; }

void SetFreezeWatchdogThreadID(DWORD thread_id) { g_freeze_thread = thread_id; }
DWORD FreezeWatchdogThreadID() { return g_freeze_thread; }
bool MainThreadFrozenDuringProcessing(std::uint16_t behaviour) {
  return (behaviour & 1) && !(behaviour & 2);
}
bool FreezePolicySuspends(std::uint16_t behaviour, bool runtime_thread, bool main_thread) {
  if (!runtime_thread) return (behaviour & 4) != 0;
  return (behaviour & 1) && (!(behaviour & 2) || !main_thread);
}

void StartExceptionProcessing() { SetCoreExceptionHandler(HookEntry); }

void SetModuleEnvironment(const std::string& message, const std::string& report,
                          const void* address) {
  // An environment variable holds at most 32,767 characters with its terminating zero.
  constexpr std::size_t kEnvironmentValueMax = 32766;
  const std::string main_name = ModuleFileNameOf(nullptr);
  SetEnvironmentVariableA("_MainModuleName", main_name.c_str());
  SetEnvironmentVariableA("_MainModuleDesc", VersionItem(main_name, "FileDescription").c_str());
  SetEnvironmentVariableA("_MainModuleVer", VersionItem(main_name, "FileVersion").c_str());
  HMODULE holder = nullptr;
  if (address && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    static_cast<LPCSTR>(address), &holder)) {
    const std::string name = ModuleFileNameOf(holder);
    SetEnvironmentVariableA("_ExceptModuleName", name.c_str());
    SetEnvironmentVariableA("_ExceptModuleDesc", VersionItem(name, "FileDescription").c_str());
    SetEnvironmentVariableA("_ExceptModuleVer", VersionItem(name, "FileVersion").c_str());
  }
  SetEnvironmentVariableA("_ExceptMsg", message.substr(0, kEnvironmentValueMax).c_str());
  SetEnvironmentVariableA("_BugReport", report.substr(0, kEnvironmentValueMax).c_str());
  SetEnvironmentVariableA("_LineBreak", "\r\n");
}

void RestoreMainWindow() {
  HWND window = FindMainWindowOfProcess(GetCurrentProcessId());
  if (!window || !IsIconic(window)) return;
  PostMessageA(window, WM_SYSCOMMAND, SC_RESTORE, 0);
  MSG message;
  if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      HoldQuit(message);
    } else {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  // The window of another thread (the frozen main thread stays suspended while its freeze is
  // reported) is shown without waiting for that thread.
  if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
    ShowWindow(window, SW_SHOWNORMAL);
  else
    ShowWindowAsync(window, SW_SHOWNORMAL);
  SetForegroundWindow(window);
}

bool PumpRefusingInput() {
  for (int i = 0; i < 11; ++i) {
    MSG m;
    if (!PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) break;
    const UINT id = m.message;
    const bool key = (id >= 0x0100 && id <= 0x0102) || (id >= 0x0104 && id <= 0x0106);
    const bool mouse = (id >= 0x0201 && id <= 0x0209) || (id >= 0x00A1 && id <= 0x00A9);
    if (key || mouse) {
      MessageBeep(0);
      continue;
    }
    if (id == WM_QUIT) {
      HoldQuit(m);
      continue;
    }
    try {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    } catch (...) {
      return false;
    }
  }
  return true;
}

void ShowWebErrorPage(const std::string& report) {
  const std::string text = ReportPieces().Title + report;
  if (IsIntraWebModule()) {
    SetIntraWebMessageText(text);
    bool shown = false;
    RunInFaultingThread([&] { shown = ShowIntraWebErrorPage(); });
    g_dialog_state.WebPageShown = shown;
  } else if (IsWebModule()) {
    std::string page = ReportAsHtml(text, false);
    if (VCore::LowerCase(page).find(VCore::LowerCase(kWebBackButton)) == std::string::npos)
      page += kWebBackButton;
    g_dialog_state.WebPageShown = SendWebErrorResponse(page);
  }
}

bool CoreExceptionHandler(void* object, const void* address, bool language,
                          TVantorStackList* stack_list, BYTE kind, BYTE handler_kind,
                          HMODULE module, BYTE display_kind, EXCEPTION_RECORD* record,
                          CONTEXT* context, const void* stack_pointer, const void* stack_top) {
  if (!HooksActive() || (object && VCore::InheritsFromClassName(object, "EAbort"))) return true;
  ThreadExceptionState* state = CurrentThreadState();
  // An exception inside this thread's own processing, or of the worker, is not processed;
  // checked before the lock, which the processing thread holds.
  if (state && state->Processing) return false;
  // Room for the processing after an out-of-memory failure.
  VCore::FreeOutOfMemoryCache();
  const TVantorModuleOptions* current = CurrentOptions();
  const std::uint16_t behaviour = current ? current->FBehaviourFlags : 0;
  bool pump_allowed = !(object && VCore::InheritsFromClassName(object, "EStackOverflow")) &&
                      !MainThreadFrozenDuringProcessing(behaviour);
  bool result = true;
  EnterProcessingLock();
  if (state) state->Processing = 1;
  try {
    const auto* exception = VCore::ObjectAs<Exception>(object);
    if (!(behaviour & 0x40) && exception && exception->Message().rfind(kSafeCallPrefix, 0) == 0) {
      result = false;
    } else if (current && current->FLibraryActive) {
      auto thread = std::make_unique<TExceptionThread>();
      TExceptNotifyParams& params = thread->Params;
      params.Kind = kind;
      params.StackList = stack_list;
      // The freeze watchdog reports on the main thread's behalf.
      params.ThreadID = IsFreezeWatchdogThread() ? MainThreadID() : GetCurrentThreadId();
      ReadFocusedControl(params);
      // Defaults resolved here, where the faulting thread's state and stack are.
      params.StackTop = stack_top ? stack_top : VCore::StackTopOfThread();
      params.StackPointer = stack_pointer ? stack_pointer
                            : state       ? state->RaiseStackPointer
                                          : nullptr;
      if (!context && state && state->Context.ContextFlags) context = &state->Context;
      if (context && !VCore::IsMemoryReadable(context, kContextRecordSize)) context = nullptr;
      if (!record && state && state->ExceptionRecord.ExceptionCode)
        record = &state->ExceptionRecord;
      if (record && !VCore::IsMemoryReadable(record, sizeof(EXCEPTION_RECORD))) record = nullptr;
      params.Context = context;
      params.ExceptionRecord = record;
      if (InPlaceWanted()) {
        InterlockedExchange(&g_in_place, 1);
        result = ProcessCaughtException(object, address, language, handler_kind, module,
                                        display_kind, params);
        InterlockedExchange(&g_in_place, 0);
      } else {
        thread->Object = object;
        thread->Address = address;
        thread->Language = language ? 1 : 0;
        thread->DisplayKind = display_kind;
        thread->Module = module;
        thread->HandlerKind = handler_kind;
        // Past the thread hooks: the worker is never in the threads list.
        thread->Handle = RealCreateThread(nullptr, 0, ExceptionThreadExecute, thread.get(),
                                          CREATE_SUSPENDED, nullptr);
        if (thread->Handle) {
          SetThreadPriority(thread->Handle, THREAD_PRIORITY_HIGHEST);
          RealResumeThread(thread->Handle);
          try {
            WaitForWorker(*thread, pump_allowed);
            result = thread->Result != 0;
          } catch (...) {
            TerminateThread(thread->Handle, 1);
          }
          CloseHandle(thread->Handle);
        }
      }
      ResetThreadExceptionState();
      CurrentExceptionContext() = TVantorExceptionRecord();
    }
    if (handler_kind == 1)
      if (auto* e = VCore::ObjectAs<Exception>(object))
        if (e->Message().find(kSafeCallPrefix) == std::string::npos)
          e->SetMessage(kSafeCallPrefix + e->Message());
  } catch (...) {
    // the library never raises into the program
  }
  if (g_quit_held) {
    g_quit_held = false;
    PostQuitMessage(static_cast<int>(g_quit_code));
  }
  if (state) state->Processing = 0;
  LeaveProcessingLock();
  VCore::ReserveOutOfMemoryCache();
  return result;
}

bool ProcessCaughtException(void* object, const void* address, bool language, BYTE handler_kind,
                            HMODULE module, BYTE display_kind, const TExceptNotifyParams& params) {
  bool result = false;
  ThreadExceptionState* state = CurrentThreadState();
  std::unique_ptr<TVantorThreadsList> snapshot;
  try {
    Step(1);
    if (state) state->InProcessing = 1;
    if (TVantorThreadsList* list = ThreadsList())
      snapshot = std::make_unique<TVantorThreadsList>(list);
    if (address)
      g_last_processed = language ? static_cast<const std::uint8_t*>(address) - 5 : address;
    VCore::DropChangedModules();

    TVantorExceptionRecord& context = CurrentExceptionContext();
    context.ExceptionObject = object;
    context.ExceptionAddress = address;
    context.ThreadID = params.ThreadID;
    if (TVantorThreadsList* list = ThreadsList()) list->SetExceptionMark(params.ThreadID, 1);

    ChooseReportOptions(address, module);
    TVantorModuleOptions* options = g_report_options.get();
    context.ModuleOptions = g_report_options.get();
    if (VCore::IsIdeHost()) {
      options->FDialogOptions &= ~0x40;
      options->StoreText(26, "The IDE has raised an exception.\r\n ");
      options->StoreText(27, "Restart the IDE");
    }

    Step(2);
    g_filter_message.clear();
    int handler_type = 2;
    int filter_action = 0;
    int dialog_kind = options->FDialogKind;
    bool filter_applied = false;
    if (handler_kind != 2 && options->FHandleExceptions) {
      const int index = MatchExceptionFilter(*options, object, params.Kind);
      Step(201);
      if (const TVantorExceptionFilter* filter =
              index >= 0 && options->FFilters ? options->FFilters->GetFilter(index) : nullptr) {
        filter_action = filter->AfterAction;
        handler_type = filter->Handling;
        // 0 none, 1 the options' kind, 2 message box, 3 short dialog, 4 detailed dialog.
        if (filter->DialogChoice == 0)
          dialog_kind = 0;
        else if (filter->DialogChoice >= 2)
          dialog_kind = filter->DialogChoice - 1;
        filter_applied = true;
        if (!filter->MessageText.empty())
          g_filter_message = VCore::ExpandEnvRefs(filter->MessageText);
      }
    }
    g_dialog_state = TDialogState();
    g_dialog_state.DialogKind = dialog_kind;
    bool send_wanted = MustSendReport(*options);
    Step(3);

    if (handler_type == 1) result = true;
    if (handler_type == 2) {
      Step(4);
      // The stacks of the report repeat addresses: each is located once.
      TLocationCacheScope locations;
      TProcessesListBuild processes;
      if (handler_kind != 2 && (options->FLogFlags & 0x10)) processes.Start();
      g_call_stack.reset();
      if (params.StackList) {
        g_call_stack = std::make_unique<TVantorStackList>();
        for (int i = 0; i < params.StackList->Count(); ++i)
          g_call_stack->Add(std::make_unique<TAddressLocation>(*params.StackList->Items(i)));
      } else {
        g_call_stack = BuildCallStack(address, params.StackPointer, params.StackTop, 31, -1, -1,
                                      true, 1, params.ThreadID);
      }
      if (!g_call_stack) g_call_stack = std::make_unique<TVantorStackList>();
      context.ExceptionRecord = params.ExceptionRecord;
      context.Context = params.Context;
      context.CallStack = g_call_stack.get();

      TReportInput input;
      GatherReportInput(input, context, false);
      g_bug_id = BugIdText(input.General, object, *g_call_stack);
      input.General.BugId = g_bug_id;
      if (snapshot) AddOtherThreadStacks(*g_call_stack, *snapshot, params.ThreadID, *options);
      Step(5);

      if (handler_kind != 2) {
        processes.Finish();
        TFrozenThreads frozen;
        if (snapshot) frozen.Freeze(*snapshot, params.ThreadID, options->FBehaviourFlags);
        Step(6);
        HandleFlag() = true;
        if (options->FLogFlags & 0x10) {
          if (VCore::ModulesList()) VCore::RefreshModulesList();
          input.Processes = VCore::ProcessesList();
        }
        context.ModulesList = VCore::ModulesList();
        Step(7);
        input.Stack = ReportStackEntries(*g_call_stack);
        input.Modules = context.ModulesList;
        input.Threads = ProcessThreadsContext(snapshot.get());
        input.General.ControlClass = params.FocusedWindowClass;
        input.General.ControlText = params.FocusedControlText;
        for (char& c : input.General.ControlText)
          if (static_cast<unsigned char>(c) < 32) c = ' ';
        input.General.Email = options->FUserEmail.empty() ? ReadUserEmail() : options->FUserEmail;
        if (g_report_module)
          input.General.CompilationDate = CompilationDateText(g_report_module->BuildDate);
        Step(702);
        TReportPieces& pieces = ReportPieces();
        pieces = TReportPieces();
        BuildReportText(pieces, *options, input);
        g_last_report = pieces.Report;
        context.ReportText = TVantorText(pieces.Report);
        Step(703);
        Step(704);
        Steps().CheckDuplicateError(g_bug_id, true);
        Step(705);
        ClearLibraryWarning();
        Step(706);
        SetModuleEnvironment(input.General.ExceptionMessage, g_last_report, address);
        const bool web = IsWebModule();
        if (IsCGIModule()) g_last_html_page = LoadTextFile(LastHTMLPageFileName(*options));
        const bool gui = !IsConsoleProgram();
        if ((display_kind == 1 || (display_kind == 0 && gui)) &&
            ((send_wanted && (options->FSendFlags & 0x11)) || dialog_kind != 0))
          RunInFaultingThread([] { RestoreMainWindow(); });

        FireExceptionNotify(params.Kind == 1);
        Step(8);
        if (!HandleFlag()) {
          result = true;
        } else {
          Steps().CaptureScreenshot();
          if (options->FCrashAction) {
            SYSTEMTIME now;
            GetLocalTime(&now);
            char text[32];
            std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth,
                          now.wDay, now.wHour, now.wMinute, now.wSecond);
            g_crash_times.push_back(text);
            if (static_cast<int>(g_crash_times.size()) > options->FCrashCount)
              g_crash_times.erase(g_crash_times.begin());
          }
          CustomDataList().Clear();
          FireCustomDataRequest();
          if (CustomDataList().Count() > 0 && options->ShowFlag(47))
            InsertRequestedCustomData(pieces, *options, [] { return ListItems(CustomDataList()); });
          Step(9);
          ++g_error_count;
          Step(10);
          g_last_message = PrintableText(input.General.ExceptionMessage);
          bool request_dialog = false;
          Step(11);
          if (!filter_applied) dialog_kind = options->FDialogKind;
          g_dialog_state.DialogKind = dialog_kind;

          if (dialog_kind != 0) {
            Step(12);
            bool dialog_ok = true;
            ClearLibraryWarning();
            FireActionNotify(0, dialog_ok);
            if (dialog_ok) {
              Step(13);
              if (display_kind == 2 || (display_kind == 0 && web)) {
                Steps().ShowWebErrorPage(pieces.Report);
              } else if (!gui && display_kind <= 1) {
                const std::string line = pieces.Title + "\r\n" + pieces.Report + "\r\n";
                DWORD written = 0;
                if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(),
                               static_cast<DWORD>(line.size()), &written, nullptr))
                  ReportSectionWarning(TVantorLogErrorCode::eeShowError, "Console");
              } else {
                request_dialog = dialog_kind == 3;
                try {
                  Steps().ShowExceptionDialog(true);
                  // A short dialog switches to the detailed one; a few rounds at most.
                  for (int round = 0; round < 4 && g_dialog_state.DialogKind != 0; ++round)
                    Steps().ShowExceptionDialog(false);
                } catch (...) {
                  ReportSectionWarning(TVantorLogErrorCode::eeShowError, "GUI");
                }
              }
            }
            Step(14);
            FireActionNotify(1, dialog_ok);
          } else if (web) {
            Steps().ShowWebErrorPage(ExceptionMessageText());
          }
          if (request_dialog) Steps().ShowRequestDialog();
          // The dialogs write what the user typed into the module's current options.
          if (const TVantorModuleOptions* live = CurrentOptions())
            if (live != options) options->FReproduceSteps = live->FReproduceSteps;
          if (options->FLogFlags & 0x02)
            InsertCustomSection(pieces, 7, options->GetCustomText(123), options->FReproduceSteps);
          // The report as it now stands (with the custom sections) is what is kept and sent.
          g_last_report = pieces.Report;
          context.ReportText = TVantorText(pieces.Report);

          // The dialog may have changed the answer: the picture is kept for a send that follows.
          send_wanted = MustSendReport(*options);
          if (send_wanted) Steps().SaveScreenshotPNG(ScreenshotFileName(*options));
          Steps().ReleaseScreenshot();
          Step(15);

          if (options->FLogFlags & 0x04) DeleteLogOfOtherVersion(*options);
          send_wanted = MustSendReport(*options);
          Steps().SaveReportToLog(pieces.Report);
          if (g_dialog_state.CopyChosen) CopyTextToClipboard(pieces.Report);
          Step(16);
          if (send_wanted) {
            Steps().StartSending();
            if (!SendThreadPending()) Steps().AfterSending();
          }
        }
        frozen.Resume();
        Step(17);
        // A send thread still due applies it after its sending.
        if (!g_process_ending && handler_type == 2 && (filter_action == 1 || filter_action == 2))
          ApplyCrashOperation(filter_action);
      }
      if (options->FBehaviourFlags & 0x80) result = true;
    }
    Step(18);
    if (handler_kind != 2 && !SendThreadPending()) Steps().TerminateOrRestart();
  } catch (...) {
    ReportInternalError(std::to_string(g_progress));
  }
  if (TVantorThreadsList* list = ThreadsList()) list->SetExceptionMark(params.ThreadID, 0);
  snapshot.reset();
  g_report_in_force = nullptr;
  if (state) state->InProcessing = 0;
  return result;
}

}  // namespace ExceptionLog
