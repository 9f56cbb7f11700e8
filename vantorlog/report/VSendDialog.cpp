#include "VSendDialog.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "SendTransports.h"
#include "VDialogs.h"
#include "VListView.h"
#include "VWebErrorPage.h"
#include "core/ExceptionLog.h"
#include "core/VOptions.h"
#include "core/VTexts.h"

namespace ExceptionLog {

namespace {

TSendDialogState state;
volatile bool dialog_shown = false;
bool in_raising_thread = false;

// The dialog's own resources, deleted with the window.
HBITMAP send_bitmap = nullptr;
bool modeless = false;

// The starter waits for the focus at most this long (a dialog that never gets the focus must
// not hold the sending).
constexpr int kFocusWaitLimitMs = 10000;

std::string Text(int index) {
  const TVantorModuleOptions* options = CurrentOptions();
  return options ? options->GetCustomText(index) : VCore::DefaultText(index);
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void PlaceDialog(HWND window, bool placement) {
  RECT r{};
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  const RECT area = StoredDialogWorkArea();
  if (placement) {
    CentreInRect(window, area);
    const TVantorModuleOptions* options = CurrentOptions();
    SetAutoTopMost(window, options && (options->FDialogOptions & 0x20));
  } else {
    SetWindowPos(window, nullptr, area.right - w, area.bottom - h, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void InitDialog(HWND window, bool placement) {
  state.window = window;
  const TVantorModuleOptions* options = CurrentOptions();
  // The corner dialog always has the small caption and is never forced in front.
  PrepareDialogWindow(window, OwnLook() || !placement,
                      placement && options && (options->FDialogOptions & 0x20));
  CreateDialogFonts();
  SetWindowTextA(window, Text(110).c_str());
  SendDlgItemMessageA(window, kSendStatusId, WM_SETFONT,
                      reinterpret_cast<WPARAM>(DialogFonts().Dialog), TRUE);
  send_bitmap = LoadBitmapA(DialogModule(), "VL_SEND");
  PlaceDialog(window, placement);
}

void Paint(HWND window) {
  dialog_shown = true;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  if (send_bitmap) DrawTransparentBitmap(dc, send_bitmap, 8, 8, 32, 32);
  EndPaint(window, &ps);
}

void SendToStatus(const std::string& text) {
  const HWND window = state.window;
  if (!window) return;
  PumpMessages();
  SendMessageA(GetDlgItem(window, kSendStatusId), WM_SETTEXT, 0,
               reinterpret_cast<LPARAM>(text.c_str()));
  PumpMessages();
}

}  // namespace

TSendDialogState& SendDialogState() { return state; }
bool SendDialogShown() { return dialog_shown; }
void SetSendDialogShown(bool shown) { dialog_shown = shown; }
void SetProcessingInRaisingThread(bool in_place) { in_raising_thread = in_place; }
bool ProcessingInRaisingThread() { return in_raising_thread; }

TSendDialogThread::TSendDialogThread(bool placement) : TThread(true), placement_(placement) {
  FreeOnTerminate = true;
  SetThreadPriority(Handle(), THREAD_PRIORITY_HIGHEST);
}

void TSendDialogThread::Execute() { ShowSendDialog(placement_); }

INT_PTR CALLBACK SendDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  try {
    switch (message) {
      case WM_INITDIALOG:
        InitDialog(window, lparam != 0);
        return TRUE;
      case WM_SETFOCUS:
        state.focused = true;
        return FALSE;
      case WM_PAINT:
        Paint(window);
        return TRUE;
      case WM_NCPAINT:
      case WM_NCACTIVATE:
        return DialogFrameMessage(window, message, wparam, Text(110), false);
      case kCloseSendDialogMessage:
        EndDialog(window, 0);
        return TRUE;
      case WM_DESTROY:
        UnsetAutoTopMost(window);
        DestroyDialogFonts();
        if (send_bitmap) DeleteObject(send_bitmap);
        send_bitmap = nullptr;
        // Later driving calls must not reach a handle that may be reused.
        if (state.window == window) state.window = nullptr;
        return FALSE;
    }
  } catch (...) {
  }
  return FALSE;
}

void ShowSendDialog(bool placement) {
  dialog_shown = false;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  modeless = in_raising_thread;
  if (modeless) {
    CreateDialogParamA(DialogModule(), kSendDialogTemplate, nullptr, SendDialogProc, placement);
  } else {
    DialogBoxParamA(DialogModule(), kSendDialogTemplate, nullptr, SendDialogProc, placement);
  }
  dialog_shown = false;
}

void StartSendDialog(bool placement) {
  std::memset(&state, 0, sizeof state);
  const TVantorModuleOptions* options = CurrentOptions();
  if (!options || !(options->FSendFlags & 0x01) ||
      (options->FMailMode == 0 && options->FWebMode == 0) || !IsGUIProgram()) {
    dialog_shown = true;
    return;
  }
  InstallSendDialogHooks();
  HANDLE thread = nullptr;
  if (in_raising_thread) {
    ShowSendDialog(placement);
  } else {
    auto* t = new TSendDialogThread(placement);
    state.thread_id = t->ThreadID();
    DuplicateHandle(GetCurrentProcess(), t->Handle(), GetCurrentProcess(), &thread, SYNCHRONIZE,
                    FALSE, 0);
    t->Start();
  }
  // Waits for the focus; a dialog whose thread ended (it could not be shown) is not waited for.
  for (int waited = 0; !state.focused && waited < kFocusWaitLimitMs; waited += 50) {
    if (thread && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) break;
    if (in_raising_thread && !state.window) break;
    if (in_raising_thread) PumpMessages();
    Sleep(50);
  }
  if (thread) CloseHandle(thread);
}

void SetSendStatus(const std::string& text) { SendToStatus(text); }

void SetSendPhase(int text_id, const std::string& default_text, bool counted) {
  if (!state.window) return;
  std::string text = Text(text_id);
  if (text.empty()) text = default_text;
  if (counted) {
    char prefix[256];
    std::snprintf(prefix, sizeof prefix, "%s %d/%d: ", Text(111).c_str(), state.current_number,
                  state.total_number);
    text = prefix + text;
  }
  SendToStatus(text);
}

void SetSendProgress(int position) {
  const HWND window = state.window;
  if (!window) return;
  PumpMessages();
  if (position >= state.progress_position) {
    state.progress_position = position;
    SendMessageA(GetDlgItem(window, kSendProgressId), PBM_SETPOS, position, 0);
  }
  PumpMessages();
}

void AddSendProgress(int delta) { SetSendProgress(state.progress_position + delta); }

void ResetSendProgress() {
  state.progress_position = 0;
  SetSendProgress(0);
}

void CloseSendDialog() {
  const HWND window = state.window;
  if (!window) return;
  PumpMessages();
  SendMessageA(window, kCloseSendDialogMessage, 0, 0);
  PumpMessages();
}

void InstallSendDialogHooks() {
  TSendHooks& hooks = SendHooks();
  hooks.Status = [](int text_id, const std::string& text, bool counted) {
    SetSendPhase(text_id, text, counted);
  };
  hooks.SetProgress = SetSendProgress;
  hooks.AddProgress = AddSendProgress;
  hooks.ResetProgress = ResetSendProgress;
  hooks.SetRecipientCount = [](int count) { state.total_number = count; };
  hooks.SetRecipientNumber = [](int number) { state.current_number = number; };
  hooks.DialogUp = [] { return state.window != nullptr; };
  hooks.CloseDialog = CloseSendDialog;
  hooks.DestroyModelessDialog = [] {
    const HWND window = state.window;
    if (window && modeless && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
      DestroyWindow(window);
  };
  hooks.SocketSent = [](int sent, int total) {
    SetSendProgress(total > 0 ? static_cast<int>(100ll * sent / total) : 100);
  };
}

}  // namespace ExceptionLog
