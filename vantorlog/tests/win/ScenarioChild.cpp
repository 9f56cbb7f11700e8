// A program linked with the exception library exactly as Quarrion is, run once per scenario by
// the peer that reads its report log back. Usage: vantorlog_scenario_child <mode> <trail file>
// Trail lines: "<what> <thread id>".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "Forms.h"
#include "Thread.h"
#include "VThreads.h"
#include "core/ExceptionLog.h"
#include "core/ExceptionLogStartup.h"

namespace {

std::string g_trail;

void Trail(const std::string& what) {
  if (FILE* f = std::fopen(g_trail.c_str(), "ab")) {
    std::fprintf(f, "%s %lu\n", what.c_str(), GetCurrentThreadId());
    std::fclose(f);
  }
}

[[gnu::noinline]] void ThrowConvert() {
  throw EConvertError("the scenario's throw");  // throw-site
}

int* volatile g_nowhere = nullptr;

[[gnu::noinline]] void WriteNowhere() {
  *g_nowhere = 7;  // av-site
}

// msvcrt's own memcpy, called through its export so that the fault is inside msvcrt.
[[gnu::noinline]] void CopyFromNowhere() {
  using TMemcpy = void*(__cdecl*)(void*, const void*, std::size_t);
  auto copy = reinterpret_cast<TMemcpy>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "memcpy")));
  char buffer[64];
  copy(buffer, reinterpret_cast<const void*>(0x10), sizeof buffer);  // msvcrt-call
  Trail(std::string("copied ") + buffer);
}

HANDLE g_go = nullptr;

DWORD WINAPI FaultAfterGo(void*) {
  WaitForSingleObject(g_go, 20000);
  WriteNowhere();
  return 0;
}

DWORD WINAPI CopyAfterGo(void*) {
  WaitForSingleObject(g_go, 20000);
  CopyFromNowhere();
  return 0;
}

void ThrowingNotify(const TVantorExceptionRecord&, bool&) {
  Trail("notify");
  ThrowConvert();
}

class TThrowingThread : public TThread {
 public:
  TThrowingThread() : TThread(true) {}

 protected:
  void Execute() override { ThrowConvert(); }
};

class TCatchingThread : public TThread {
 public:
  TCatchingThread() : TThread(true) {}

 protected:
  void Execute() override {
    try {
      ThrowConvert();
    } catch (const Exception&) {
      Trail("thread-caught");
    }
  }
};

// The form throws from its window procedure once it is in front.
class TScenarioForm : public TForm {
 public:
  TScenarioForm() : TForm(L"TScenarioForm") { DoCreate(); }

 protected:
  LRESULT WndProc(UINT msg, WPARAM wparam, LPARAM lparam) override {
    if (msg == WM_APP) {
      SetForegroundWindow(Handle());
      Trail(GetForegroundWindow() == Handle() ? "in-front" : "not-in-front");
      ThrowConvert();
    }
    if (msg == WM_APP + 1) {
      Trail("after-throw");
      Close();
      return 0;
    }
    return TForm::WndProc(msg, wparam, lparam);
  }
};

TScenarioForm* g_form = nullptr;

// What the program had before the library started, checked again after the library stopped.
LPTOP_LEVEL_EXCEPTION_FILTER g_own_filter = nullptr;
std::terminate_handler g_own_terminate = nullptr;

LONG WINAPI OwnFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
void OwnTerminate() { std::abort(); }

void CheckRestored() {
  LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(filter);
  Trail(std::string("restored ") + (filter == g_own_filter ? "1" : "0") + " " +
        (std::get_terminate() == g_own_terminate ? "1" : "0"));
  // The library has stopped (its lock is gone): its entry point leaves exceptions alone.
  EConvertError late("after the library's stop");
  Trail(std::string("late-manager ") +
        (ExceptionManager(&late, reinterpret_cast<const void*>(&ThrowConvert), 0, nullptr) ? "1"
                                                                                           : "0"));
}

DWORD WINAPI CatchAndReturn(void*) {
  try {
    ThrowConvert();
  } catch (const Exception&) {
  }
  return 0;
}

struct TBeforeTheLibrary {
  TBeforeTheLibrary() {
    if (__argc < 2 || std::strcmp(__argv[1], "restore") != 0) return;
    g_own_filter = OwnFilter;
    SetUnhandledExceptionFilter(OwnFilter);
    g_own_terminate = OwnTerminate;
    std::set_terminate(OwnTerminate);
    // Runs after the library's stop (registered before it).
    std::atexit(CheckRestored);
  }
} g_before_the_library;

void StartTogether(LPTHREAD_START_ROUTINE start, int count) {
  g_go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[2];
  for (int i = 0; i < count; ++i) threads[i] = CreateThread(nullptr, 0, start, nullptr, 0, nullptr);
  Sleep(100);
  SetEvent(g_go);
  WaitForMultipleObjects(count, threads, TRUE, 60000);
  for (int i = 0; i < count; ++i) {
    DWORD code = 0;
    GetExitCodeThread(threads[i], &code);
    Trail("thread-exit " + std::to_string(code));
    CloseHandle(threads[i]);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (__argc < 3) return 2;
  const std::string mode = __argv[1];
  g_trail = __argv[2];
  Trail("start");
  Trail(std::string("active ") + (ExceptionLog::IsLibraryActive() ? "1" : "0"));
  // The worker that runs the processing is never one of the listed threads.
  ExceptionLog::ProcessingSteps().Progress = [](DWORD code) {
    if (code != 1) return;
    TVantorThreadsList* list = ExceptionLog::ThreadsList();
    list->LockForRead();
    const bool listed = list->IndexOfThreadID(GetCurrentThreadId()) >= 0;
    list->UnlockRead();
    Trail(std::string("worker-listed ") + (listed ? "1" : "0"));
  };

  if (mode == "caught") {
    try {
      ThrowConvert();
    } catch (const EConvertError&) {
      Trail("caught-typed");
    }
    try {
      try {
        ThrowConvert();
      } catch (...) {
        throw;
      }
    } catch (const Exception&) {
      Trail("caught-rethrown");
    }
    try {
      throw std::runtime_error("a standard exception");
    } catch (...) {
      Trail("caught-any");
    }
    TCatchingThread thread;
    thread.Start();
    thread.WaitFor();
  } else if (mode == "unhandled") {
    ThrowConvert();
  } else if (mode == "send") {
    // An uncaught throw sent by SMTP and HTTP to the peers' ports (VL_SEND_SMTP_PORT,
    // VL_SEND_HTTP_PORT), with the temporary folder VL_SEND_TMP.
    char value[MAX_PATH] = {};
    GetEnvironmentVariableA("VL_SEND_TMP", value, sizeof value);
    SetEnvironmentVariableA("TMP", value);
    SetEnvironmentVariableA("TEMP", value);
    TVantorModuleOptions* options = ExceptionLog::CurrentOptions();
    options->FMailMode = 2;
    options->FSmtpServer = "127.0.0.1";
    GetEnvironmentVariableA("VL_SEND_SMTP_PORT", value, sizeof value);
    options->FSmtpPortNo = static_cast<std::uint16_t>(std::atoi(value));
    options->FSmtpSender = "Scenario <scenario@example.org>";
    options->FMailRecipients = "desk@example.org";
    options->FMailSubjectText = "Scenario %_MainModuleName%";
    options->FMailBody = "%_ExceptMsg%";
    options->FWebMode = 1;
    options->FWebAddress = "http://127.0.0.1/scenario.php";
    GetEnvironmentVariableA("VL_SEND_HTTP_PORT", value, sizeof value);
    options->FWebPortNo = std::atoi(value);
    options->FSendFlags = 0x08 | 0x10;  // the XML copy and the screenshot
    options->NotifyChanged();
    ThrowConvert();
  } else if (mode == "main-av") {
    WriteNowhere();
  } else if (mode == "two-threads") {
    StartTogether(FaultAfterGo, 2);
  } else if (mode == "event") {
    ExceptionLog::GlobalHandlers().ExceptionNotify = ThrowingNotify;
    StartTogether(FaultAfterGo, 1);
  } else if (mode == "execute") {
    TThrowingThread thread;
    thread.Start();
    thread.WaitFor();
    Trail(thread.FatalException() ? "fatal-kept" : "fatal-lost");
  } else if (mode == "msvcrt") {
    StartTogether(CopyAfterGo, 1);
  } else if (mode == "window") {
    Application->Initialize();
    Application->CreateForm(g_form);
    PostMessageW(g_form->Handle(), WM_APP, 0, 0);
    PostMessageW(g_form->Handle(), WM_APP + 1, 0, 0);
    Application->Run();
  } else if (mode == "handled") {
    // Exceptions that the program's catch blocks handle are reported once each.
    TVantorModuleOptions* options = ExceptionLog::CurrentOptions();
    options->FBehaviourFlags |= 0x100;
    for (int i = 0; i < 2; ++i) {
      try {
        ThrowConvert();
      } catch (const EConvertError&) {
        Trail("handled");
      }
    }
    try {
      try {
        ThrowConvert();
      } catch (...) {
        throw;
      }
    } catch (const Exception&) {
      Trail("handled-rethrown");
    }
    options->FBehaviourFlags &= ~0x100;
  } else if (mode == "states") {
    // Threads that simply return give their state back.
    const long before = ExceptionLog::LiveThreadStates();
    HANDLE threads[20];
    for (HANDLE& t : threads) t = CreateThread(nullptr, 0, CatchAndReturn, nullptr, 0, nullptr);
    WaitForMultipleObjects(20, threads, TRUE, 60000);
    for (HANDLE t : threads) CloseHandle(t);
    Sleep(100);
    Trail("states-left " + std::to_string(ExceptionLog::LiveThreadStates() - before));
  } else if (mode == "crash-operation") {
    ExceptionLog::ApplyCrashOperation(3);  // no such operation
    Trail("ignored");
    ExceptionLog::ApplyCrashOperation(1);
  } else if (mode == "restore") {
    LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(filter);
    Trail(std::string("replaced ") + (filter != g_own_filter ? "1" : "0") + " " +
          (std::get_terminate() != g_own_terminate ? "1" : "0"));
  }
  Trail("end");
  return 0;
}
