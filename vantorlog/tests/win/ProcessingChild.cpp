// An uncaught throw or an access violation taken through the whole processing line, for the
// peer that checks the trail, the report and how the process ends.
// Usage: vantorlog_processing_child <throw|av|terminate> <trail file>
// Trail lines: "fault <tid>", "p <progress code> <tid>", "<step> <tid>", "resumed <tid>";
// the report handed to the log goes to "<trail file>.report".
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>

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
  steps.Progress = [](DWORD code) { Trail("p " + std::to_string(code)); };
  steps.CaptureScreenshot = [] { Trail("capture"); };
  steps.ReleaseScreenshot = [] { Trail("release"); };
  steps.SaveReportToLog = [](const std::string& report) {
    Trail("log");
    if (FILE* f = std::fopen((g_trail + ".report").c_str(), "wb")) {
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
