// An uncaught throw or an access violation taken through the whole processing line, for the
// peer that checks the trail, the report and how the process ends.
// Usage: vantorlog_processing_child <throw|av|terminate|threads|log> <trail file>
// Trail lines: "fault <tid>", "p <progress code> <tid>", "<step> <tid>", "resumed <tid>";
// the report handed to the log goes to "<trail file>.report".
// threads: a Windows thread, a TThread and a thread that allocates without pause run while
// the main thread, its form in front, has five exceptions processed; "thread <kind> <tid>"
// lines name them and each report goes to "<trail file>.report.<n>".
// log: one exception whose custom data and steps to reproduce are asked for, saved into the
// log "<trail file>.vlf" and copied to the clipboard, read back into "<trail file>.clipboard".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "Classes.h"
#include "Thread.h"
#include "VCallStack.h"
#include "VModules.h"
#include "VThreads.h"
#include "core/ExceptionLog.h"

namespace {

std::string g_trail;
std::string g_mode;

void Trail(const std::string& what) {
  if (FILE* f = std::fopen(g_trail.c_str(), "ab")) {
    std::fprintf(f, "%s %lu\n", what.c_str(), GetCurrentThreadId());
    std::fclose(f);
  }
}

[[gnu::noinline]] void Throw() {
  throw EConvertError("the child's uncaught throw");  // throw-site
}

int* volatile g_nowhere = nullptr;

[[gnu::noinline]] void Fault() {
  *g_nowhere = 7;  // av-site
}

DWORD WINAPI FaultingThread(void*) {
  Trail("fault");
  Fault();
  return 0;
}

// Runs after the library's converter, once the processing has returned.
LONG CALLBACK AfterConverter(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) Trail("resumed");
  return EXCEPTION_CONTINUE_SEARCH;
}

void Notify(const TVantorExceptionRecord&, bool&) { Trail("notify"); }

HANDLE g_go = nullptr;
volatile LONG g_stop = 0;

// Not folded with its twin: each thread waits in a procedure of its own.
[[gnu::noinline, gnu::no_icf]] void WaitInWindowsThread() {
  WaitForSingleObject(g_go, INFINITE);  // windows-thread-site
}

DWORD WINAPI WindowsThread(void*) {
  WaitInWindowsThread();
  return 0;
}

[[gnu::noinline, gnu::no_icf]] void WaitInRuntimeThread() {
  WaitForSingleObject(g_go, INFINITE);  // runtime-thread-site
}

class TWaitingThread : public TThread {
 public:
  TWaitingThread() : TThread(true) {}

 protected:
  void Execute() override { WaitInRuntimeThread(); }
};

// Holds the process heap's lock and the runtime heap's most of the time.
[[gnu::noinline]] void AllocateWithoutPause() {
  HANDLE heap = GetProcessHeap();
  while (!g_stop) {
    void* block = HeapAlloc(heap, 0, 64);  // busy-site
    HeapFree(heap, 0, block);
    std::free(std::malloc(48));
  }
}

DWORD WINAPI BusyThread(void*) {
  AllocateWithoutPause();
  return 0;
}

// Other programs on the desktop may take the front at any time: the form asks for it again.
void BringToFront(HWND form) {
  for (int i = 0; i < 200 && GetForegroundWindow() != form; ++i) {
    SetForegroundWindow(form);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(25);
  }
}

// The main thread's own window, brought to the front.
HWND ShowForm() {
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = DefWindowProcA;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "ProcessingChildForm";
  RegisterClassA(&window_class);
  HWND form = CreateWindowExA(WS_EX_TOPMOST, "ProcessingChildForm", "Processing child form",
                              WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 320, 200, nullptr, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
  BringToFront(form);
  return form;
}

int g_report_number = 0;
HWND g_form = nullptr;
// Whether the form was in front from the step before the report's facts to the step after.
volatile bool g_front_at_facts = false;

// As the raise hook hands over an uncaught language raise at this call.
[[gnu::noinline]] void Process(Exception& object) {
  ExceptionLog::CoreExceptionHandler(&object, __builtin_return_address(0), true, nullptr, 0, 0,
                                     nullptr, 0, nullptr, nullptr, __builtin_frame_address(0),
                                     nullptr);
}

std::string ProgramName() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  const std::string full = path;
  return full.substr(full.find_last_of("\\/") + 1);
}

int RunThreads() {
  ExceptionLog::InstallImportHooks({ProgramName(), "msvcrt.dll"});
  g_go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE windows = CreateThread(nullptr, 0, WindowsThread, nullptr, 0, &id);
  Trail("thread windows " + std::to_string(id));
  auto* runtime = new TWaitingThread;
  runtime->Start();
  Trail("thread runtime " + std::to_string(runtime->ThreadID()));
  HANDLE busy = CreateThread(nullptr, 0, BusyThread, nullptr, 0, &id);
  Trail("thread busy " + std::to_string(id));
  HWND form = ShowForm();
  g_form = form;
  Trail(GetForegroundWindow() == form ? "form in front" : "form behind");
  Sleep(100);  // every thread is at its wait or in its loop
  for (int i = 0; i < 5; ++i) {
    EConvertError error("main thread exception " + std::to_string(i));
    BringToFront(form);
    g_front_at_facts = false;
    Process(error);  // main-thread-site
    Trail("report " + std::to_string(i) + (g_front_at_facts ? " front" : " behind"));
  }
  InterlockedExchange(&g_stop, 1);
  SetEvent(g_go);
  WaitForSingleObject(windows, 10000);
  WaitForSingleObject(busy, 10000);
  runtime->WaitFor();
  Trail("end");
  ExitProcess(0);
}

int RunLog(TVantorModuleOptions& options) {
  options.SetLogFolder(g_trail + ".vlf");
  options.FWriteLogFile = 1;
  options.FLogFlags = 0x02;  // the steps to reproduce as a section
  options.FReproduceSteps = "Pressed Write with no phone";
  options.FDialogKind = 2;
  // The line's own log step, the rest as before.
  ExceptionLog::TProcessingSteps& steps = ExceptionLog::ProcessingSteps();
  const ExceptionLog::TProcessingSteps seams = steps;
  ExceptionLog::ResetProcessingSteps();
  steps.Progress = seams.Progress;
  steps.CaptureScreenshot = seams.CaptureScreenshot;
  steps.ReleaseScreenshot = seams.ReleaseScreenshot;
  steps.ShowExceptionDialog = [](bool) {
    ExceptionLog::DialogState().DialogKind = 0;
    ExceptionLog::DialogState().CopyChosen = true;
  };
  ExceptionLog::GlobalHandlers().CustomDataRequest = [](const TVantorExceptionRecord&,
                                                        TStrings& list) {
    list.Add("Phone=R4417");
    list.Add("Cable = USB-serial ");
  };
  EConvertError error("logged exception");
  Process(error);
  std::string clipboard;
  if (OpenClipboard(nullptr)) {
    if (HANDLE data = GetClipboardData(CF_TEXT))
      if (const char* text = static_cast<const char*>(GlobalLock(data))) {
        clipboard = text;
        GlobalUnlock(data);
      }
    CloseClipboard();
  }
  if (FILE* f = std::fopen((g_trail + ".clipboard").c_str(), "wb")) {
    std::fwrite(clipboard.data(), 1, clipboard.size(), f);
    std::fclose(f);
  }
  Trail("end");
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (__argc < 3) return 2;
  g_mode = __argv[1];
  g_trail = __argv[2];
  DeleteFileA(g_trail.c_str());
  ExceptionLog::CreateProcessThreadsList();
  ExceptionLog::StartLibrary({});
  ExceptionLog::StartCallStacks();
  VCore::StartModulesList();
  auto options = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
  options->FDialogShowFlags.fill(0xFF);
  options->FTerminateAction = 1;  // terminate, never restart
  ExceptionLog::SetCurrentOptions(options.get());

  ExceptionLog::TProcessingSteps& steps = ExceptionLog::ProcessingSteps();
  steps.Progress = [](DWORD code) {
    // The worker reads the foreground: it sends nothing to the waiting main thread.
    if (code == 4) g_front_at_facts = g_form && GetForegroundWindow() == g_form;
    if (code == 5) g_front_at_facts = g_front_at_facts && GetForegroundWindow() == g_form;
    Trail("p " + std::to_string(code));
  };
  steps.CaptureScreenshot = [] { Trail("capture"); };
  steps.ReleaseScreenshot = [] { Trail("release"); };
  steps.SaveReportToLog = [](const std::string& report) {
    Trail("log");
    std::string name = g_trail + ".report";
    if (g_mode == "threads") name += "." + std::to_string(g_report_number++);
    if (FILE* f = std::fopen(name.c_str(), "wb")) {
      std::fwrite(report.data(), 1, report.size(), f);
      std::fclose(f);
    }
  };
  steps.ShowExceptionDialog = [](bool first) {
    Trail(first ? "dialog" : "dialog-again");
    ExceptionLog::DialogState().DialogKind = 0;
    if (g_mode == "terminate") ExceptionLog::DialogState().Terminate = true;
  };
  ExceptionLog::GlobalHandlers().ExceptionNotify = Notify;

  ExceptionLog::InstallOsExceptionHandler();
  AddVectoredExceptionHandler(0, AfterConverter);
  std::set_terminate([] {
    Trail("resumed");
    ExitProcess(3);
  });
  ExceptionLog::StartExceptionProcessing();
  ExceptionLog::SetHooksActive(true);
  if (g_mode == "threads") return RunThreads();
  if (g_mode == "log") return RunLog(*options);

  if (g_mode == "throw" || g_mode == "terminate") {
    Trail("fault");
    Throw();
  } else if (g_mode == "av") {
    HANDLE thread = CreateThread(nullptr, 0, FaultingThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, 60000);
  }
  Trail("end");
  return 0;
}
