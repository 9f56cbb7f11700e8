// A GUI program whose exceptions go through the whole processing line to the real dialogs, for
// the dialog probe. The last of its exceptions gets the dialog kind asked for; the ones before
// count as errors of the run without a dialog.
// Usage: vantorlog_dialogs_child <folder> [key=value ...]
//   kind, mail, web, dialog (FDialogOptions), autoclose, terminate (FTerminateAction),
//   after (FTerminateAfterCount), errors, logflags, firsttab, sendflags, link, help, russian
// Writes <folder>\result.txt (one "key=value" a line) when the processing is over; the log
// and the settings file go into the folder too.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ExceptionLog.h"
#include "ScreenPicture.h"
#include "Streams.h"
#include "VCallStack.h"
#include "VDialogs.h"
#include "VModules.h"
#include "VThreads.h"
#include "core/ExceptionLog.h"

namespace {

std::map<std::string, std::string> g_args;
bool g_sent = false;
bool g_terminated = false;
int g_help_clicks = 0;

int Arg(const std::string& key, int default_value) {
  const auto it = g_args.find(key);
  return it == g_args.end() ? default_value
                            : static_cast<int>(std::strtol(it->second.c_str(), nullptr, 0));
}

// As the raise hook hands over an uncaught language raise at this call, with the registers
// of the raising frame. russian=1: the message in Russian (UTF-8, as the runtime keeps it).
[[gnu::noinline]] void RaiseInTheFlasher(int number) {
  EConvertError error(Arg("russian", 0)
                          ? "Блок " + std::to_string(number) +
                                " не записан: телефон перестал отвечать."
                          : "The flasher's block " + std::to_string(number) +
                                " could not be written: the phone stopped answering.");
  CONTEXT context{};
  RtlCaptureContext(&context);
  context.Eip = reinterpret_cast<DWORD>(__builtin_return_address(0));
  ExceptionLog::CoreExceptionHandler(&error, __builtin_return_address(0), true, nullptr, 0, 0,
                                     nullptr, 0, nullptr, &context, __builtin_frame_address(0),
                                     nullptr);
}

std::string g_folder;
constexpr UINT kCameraMessage = WM_APP + 1;

// The camera: the probe asks the dialog's own process for a picture of a window and for the
// colours of points of its client area, read from the screen where this process draws. The
// probe writes <folder>\camera.txt ("<window> <png file or -> [<x> <y>]..."), posts the
// camera message to the hidden window of class VantorLogDialogsCamera titled with the process
// id, and waits for the event "VantorLogDialogsCamera<pid>"; the answer
// (<folder>\camera-answer.txt) holds one COLORREF in decimal a point.
// Runs in the faulting thread, which dispatches this window's messages while it waits for the
// processing (its restricted pump lets them through while a dialog is open).
LRESULT CALLBACK CameraProc(HWND camera, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != kCameraMessage) return DefWindowProcA(camera, message, wparam, lparam);
  std::ifstream in(g_folder + "\\camera.txt");
  unsigned long handle = 0;
  std::string png;
  in >> handle >> png;
  const HWND window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(handle));
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  if (png != "-") screen_picture::SaveWindowPng(window, png);
  std::ostringstream answer;
  int x = 0, y = 0;
  HDC screen = GetDC(nullptr);
  while (in >> x >> y) {
    POINT p{x, y};
    ClientToScreen(window, &p);
    answer << GetPixel(screen, p.x, p.y) << "\n";
  }
  ReleaseDC(nullptr, screen);
  std::ofstream(g_folder + "\\camera-answer.txt", std::ios::binary) << answer.str();
  if (HANDLE done =
          OpenEventA(EVENT_MODIFY_STATE, FALSE,
                     ("VantorLogDialogsCamera" + std::to_string(GetCurrentProcessId())).c_str())) {
    SetEvent(done);
    CloseHandle(done);
  }
  return 0;
}

void CreateCamera() {
  WNDCLASSA c{};
  c.lpfnWndProc = CameraProc;
  c.hInstance = GetModuleHandleA(nullptr);
  c.lpszClassName = "VantorLogDialogsCamera";
  RegisterClassA(&c);
  CreateWindowA(c.lpszClassName, std::to_string(GetCurrentProcessId()).c_str(), WS_POPUP, 0, 0, 1,
                1, nullptr, nullptr, c.hInstance, nullptr);
}

void HelpClicked(const TVantorExceptionRecord&, bool& close) {
  ++g_help_clicks;
  close = true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (__argc < 2) return 2;
  const std::string folder = __argv[1];
  g_folder = folder;
  for (int i = 2; i < __argc; ++i) {
    const std::string a = __argv[i];
    const auto eq = a.find('=');
    if (eq != std::string::npos) g_args[a.substr(0, eq)] = a.substr(eq + 1);
  }
  ExceptionLog::CreateProcessThreadsList();
  ExceptionLog::StartLibrary({});
  ExceptionLog::StartCallStacks();
  VCore::StartModulesList();
  auto options = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
  options->FDialogShowFlags.fill(0xFF);
  char program[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, program, sizeof program);
  options->SetModuleFileName(program);
  options->SetLogFolder(folder + "\\");
  options->FWriteLogFile = 1;
  options->FMailMode = static_cast<std::uint8_t>(Arg("mail", 0));
  options->FWebMode = static_cast<std::uint8_t>(Arg("web", 0));
  options->FDialogOptions = static_cast<std::uint16_t>(Arg("dialog", options->FDialogOptions));
  options->FDialogAutoCloseSecs = Arg("autoclose", 0);
  options->FTerminateAction = static_cast<std::uint8_t>(Arg("terminate", 0));
  options->FTerminateAfterCount = Arg("after", 3);
  options->FLogFlags = static_cast<std::uint8_t>(Arg("logflags", options->FLogFlags));
  options->FFirstTab = static_cast<std::uint8_t>(Arg("firsttab", 0));
  options->FSendFlags = static_cast<std::uint16_t>(Arg("sendflags", options->FSendFlags));
  if (g_args.count("link")) options->FSupportLink = g_args["link"];
  ExceptionLog::SetCurrentOptions(options.get());
  ExceptionLog::SetWindowSettingsFile(folder + "\\VantorLog.ini");
  ExceptionLog::GlobalHandlers().CustomButtonClick = HelpClicked;

  ExceptionLog::TProcessingSteps& steps = ExceptionLog::ProcessingSteps();
  steps.CaptureScreenshot = [] {};
  steps.SaveScreenshotPNG = [](const std::string&) {};
  steps.ReleaseScreenshot = [] {};
  steps.StartSending = [] { g_sent = true; };
  steps.TerminateOrRestart = [] { g_terminated = ExceptionLog::DialogState().Terminate; };
  ExceptionLog::StartExceptionProcessing();
  ExceptionLog::SetHooksActive(true);

  CreateCamera();
  const int errors = Arg("errors", 1);
  for (int i = 1; i <= errors; ++i) {
    options->FDialogKind = static_cast<std::uint8_t>(i == errors ? Arg("kind", 2) : 0);
    RaiseInTheFlasher(i);
  }

  const ExceptionLog::TDialogState& state = ExceptionLog::DialogState();
  const ExceptionLog::TDialogWindowState& window = ExceptionLog::DialogWindowState();
  const std::string result = folder + "\\result.txt";
  if (FILE* f = std::fopen(result.c_str(), "wb")) {
    std::fprintf(f, "kind=%d\nterminate=%d\nsend=%d\nscreenshot=%d\ncopy=%d\ncancelled=%d\n",
                 state.DialogKind, state.Terminate, state.SendChosen, state.ScreenshotChosen,
                 state.CopyChosen, window.Cancelled);
    std::fprintf(f, "dialog_options=%u\nreproduce=%s\nemail=%s\nlast_email=%s\n",
                 options->FDialogOptions, options->FReproduceSteps.c_str(),
                 options->FUserEmail.c_str(), window.LastEmail.c_str());
    std::fprintf(f, "acp=%u\n", GetACP());
    std::fprintf(f, "warning=%s\nsent=%d\nterminated=%d\nhelp=%d\nerrors=%d\nopen=%d\n",
                 ErrorCodeName(LastWarningCode()).c_str(), g_sent, g_terminated, g_help_clicks,
                 ExceptionLog::ErrorCount(), ExceptionLog::IsDialogOpen());
    std::fclose(f);
  }
  return 0;
}
