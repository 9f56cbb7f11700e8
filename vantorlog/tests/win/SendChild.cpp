// An exception taken through the whole processing line and the send line, e-mail by SMTP and
// web by HTTP, for peers/check_send_child.py.
// Usage: vantorlog_send_child <mode> <trail file>; the environment names the peers' ports
// (VL_SEND_SMTP_PORT, VL_SEND_HTTP_PORT), the log folder (VL_SEND_LOG) and the temporary
// folder (VL_SEND_TMP).
//   in-place: an uncaught throw, sent while the processing runs (then the runtime ends it);
//   kept:     the same against a failing web server, the archive kept in the log folder;
//   thread:   a caught exception handed to ExceptionManager, sent in a send thread, whose
//             after-send step ends the process by the user's terminate choice;
//   restart:  the same, the crash-rate rule restarting the program after sending.
//   dialog:   in-place with the send progress dialog (send flag 0x01).
// Trail lines: "acp <code page>", "p <code>", "action <n>", "object <message>", "box <text>",
// "manager returned", "restarted", "end"; of a send dialog: "dialog up <caption>", each new
// "status <text>" and "pos <position>", "dialog closed".
#include <windows.h>
// After windows.h.
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "SendSequence.h"
#include "core/ExceptionLog.h"
#include "core/VClassModel.h"

namespace {

std::string g_trail;
std::string g_mode;

void Trail(const std::string& what) {
  if (FILE* f = std::fopen(g_trail.c_str(), "ab")) {
    std::fprintf(f, "%s\n", what.c_str());
    std::fclose(f);
  }
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

[[gnu::noinline]] void Throw() { throw EConvertError("the send child's throw"); }

void Action(const TVantorExceptionRecord& context, int action, bool&) {
  Trail("action " + std::to_string(action));
  if (action == 4)
    if (const auto* e = VCore::ObjectAs<Exception>(context.ExceptionObject))
      Trail("object " + e->Message());
}

// The dialog windows of this process.
BOOL CALLBACK FindDialogs(HWND window, LPARAM found) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  char cls[16] = {};
  GetClassNameA(window, cls, sizeof cls);
  if (pid == GetCurrentProcessId() && std::string(cls) == "#32770" && IsWindowVisible(window))
    reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
  return TRUE;
}

// The longest text among the static controls of a window.
BOOL CALLBACK LongestStatic(HWND child, LPARAM text) {
  char cls[16] = {}, value[256] = {};
  GetClassNameA(child, cls, sizeof cls);
  GetWindowTextA(child, value, sizeof value);
  auto* longest = reinterpret_cast<std::string*>(text);
  if (lstrcmpiA(cls, "Static") == 0 && std::strlen(value) > longest->size()) *longest = value;
  return TRUE;
}

std::string Text(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// Reads and closes the result box (a message box of this process); follows the send dialog
// (the window with the progress bar) without touching it.
DWORD WINAPI BoxWatcher(void*) {
  HWND dialog = nullptr;
  std::string status;
  int position = -1;
  for (;;) {
    std::vector<HWND> found;
    EnumWindows(FindDialogs, reinterpret_cast<LPARAM>(&found));
    HWND box = nullptr, send_dialog = nullptr;
    for (HWND w : found) (GetDlgItem(w, 101) ? send_dialog : box) = w;
    if (dialog && send_dialog != dialog) {
      Trail("dialog closed");
      dialog = nullptr;
    }
    if (send_dialog) {
      if (!dialog) {
        dialog = send_dialog;
        status.clear();
        position = -1;
        Trail("dialog up " + Text(dialog));
      }
      const std::string now = Text(GetDlgItem(dialog, 100));
      const int pos = static_cast<int>(SendDlgItemMessageA(dialog, 101, PBM_GETPOS, 0, 0));
      // A closing dialog is hidden before its controls go: what was read from one that is no
      // longer shown may come from controls already torn down.
      if (IsWindowVisible(GetDlgItem(dialog, 101))) {
        if (now != status) Trail("status " + (status = now));
        if (pos != position) Trail("pos " + std::to_string(position = pos));
      }
    }
    if (box) {
      std::string text;
      EnumChildWindows(box, LongestStatic, reinterpret_cast<LPARAM>(&text));
      Trail("box " + text);
      PostMessageA(box, WM_COMMAND, IDOK, 0);
      Sleep(500);
    }
    Sleep(10);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (__argc < 3) return 2;
  g_mode = __argv[1];
  g_trail = __argv[2];
  if (!Env("VL_SEND_RESTARTED").empty()) {
    Trail("restarted");
    return 0;
  }
  Trail("acp " + std::to_string(GetACP()));
  const std::string tmp = Env("VL_SEND_TMP");
  CreateDirectoryA(tmp.c_str(), nullptr);
  SetEnvironmentVariableA("TMP", tmp.c_str());
  SetEnvironmentVariableA("TEMP", tmp.c_str());

  // The library started itself with the program (its own debug data); the test's settings
  // go into its options and their shared block.
  TVantorModuleOptions* options = ExceptionLog::CurrentOptions();
  if (!options) {
    Trail("no library");
    return 4;
  }
  options->FDialogShowFlags.fill(0xFF);
  options->FLogFolder = Env("VL_SEND_LOG") + "\\send.vlf";
  options->FMailMode = 2;
  options->FSmtpServer = "127.0.0.1";
  options->FSmtpPortNo = static_cast<std::uint16_t>(std::atoi(Env("VL_SEND_SMTP_PORT").c_str()));
  options->FSmtpSender = "Bug Desk <bugs@example.org>";
  options->FMailRecipients = "desk@example.org";
  options->FMailSubjectText = "Crash in %_MainModuleName%";
  options->FMailBody = "%_ExceptMsg%";
  options->FWebMode = 1;
  options->FWebAddress = "http://127.0.0.1/upload.php";
  options->FWebPortNo = std::atoi(Env("VL_SEND_HTTP_PORT").c_str());
  // The result box, the XML copy, the screenshot; kept: the time and the computer name in the
  // kept archive's name.
  options->FSendFlags = 0x02 | 0x08 | 0x10;
  options->FAppendToLog = 0;
  options->FExtraFiles.clear();
  options->FZipPass.clear();
  options->FBehaviourFlags = 0;
  options->FCrashAction = 0;
  if (g_mode == "kept") {
    options->FSendFlags |= 0x100 | 0x200;
    options->FBehaviourFlags = 0x20;
  }
  if (g_mode == "thread" || g_mode == "restart") options->FSendFlags |= 0x80;
  if (g_mode == "dialog") options->FSendFlags |= 0x01;
  options->FTerminateAction = 1;
  if (g_mode == "restart") {
    options->FCrashAction = 2;
    options->FCrashCount = 1;
    options->FCrashMinutes = 1;
    SetEnvironmentVariableA("VL_SEND_RESTARTED", "1");  // the new instance sees it
  }
  options->FDialogKind = 3;
  options->NotifyChanged();

  ExceptionLog::TProcessingSteps& steps = ExceptionLog::ProcessingSteps();
  steps.Progress = [](DWORD code) { Trail("p " + std::to_string(code)); };
  steps.ShowExceptionDialog = [](bool) {
    ExceptionLog::DialogState().DialogKind = 0;
    ExceptionLog::DialogState().SendChosen = true;
    ExceptionLog::DialogState().Terminate = g_mode == "thread";
  };
  steps.ShowRequestDialog = [] {};  // no one to answer it
  ExceptionLog::GlobalHandlers().ExceptionActionNotify = Action;
  CreateThread(nullptr, 0, BoxWatcher, nullptr, 0, nullptr);

  // After the library's processing, an uncaught throw ends here.
  std::set_terminate([] {
    Trail("end");
    ExitProcess(3);
  });

  if (g_mode == "in-place" || g_mode == "kept" || g_mode == "dialog") {
    Throw();
  } else {
    try {
      Throw();
    } catch (Exception& e) {
      ExceptionManager(&e, __builtin_return_address(0), 1, nullptr);
    }
    Trail("manager returned");
    // The send thread ends the process.
    for (int i = 0; i < 6000; ++i) Sleep(10);
  }
  Trail("end");
  return 0;
}
