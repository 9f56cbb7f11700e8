#include "VSendDialog.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "SendTransports.h"
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
HFONT dialog_font = nullptr;
HBITMAP send_bitmap = nullptr;
bool modeless = false;

constexpr UINT_PTR kInFrontTimer = 1;
constexpr UINT kInFrontInterval = 250;
// The starter waits for the focus at most this long (a dialog that never gets the focus must
// not hold the sending).
constexpr int kFocusWaitLimitMs = 10000;

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&SendDialogProc), &module);
  return module;
}

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

RECT WorkArea() {
  RECT area{};
  if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0))
    area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  return area;
}

void PlaceDialog(HWND window, bool placement) {
  RECT r{};
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  const RECT area = WorkArea();
  int x = area.right - w, y = area.bottom - h;
  if (placement) {
    x = area.left + (area.right - area.left - w) / 2;
    y = area.top + (area.bottom - area.top - h) / 2;
  }
  SetWindowPos(window, placement ? HWND_TOPMOST : nullptr, x, y, 0, 0,
               SWP_NOSIZE | (placement ? 0 : SWP_NOZORDER));
  if (placement) SetTimer(window, kInFrontTimer, kInFrontInterval, nullptr);
}

void InitDialog(HWND window, bool placement) {
  state.window = window;
  SetWindowTextA(window, Text(110).c_str());
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = sizeof metrics;
  if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
    dialog_font = CreateFontIndirectA(&metrics.lfMessageFont);
  if (dialog_font)
    SendDlgItemMessageA(window, kSendStatusId, WM_SETFONT, reinterpret_cast<WPARAM>(dialog_font),
                        TRUE);
  send_bitmap = LoadBitmapA(ThisModule(), "VL_SEND");
  PlaceDialog(window, placement);
}

void Paint(HWND window) {
  dialog_shown = true;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  if (send_bitmap) {
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(source, send_bitmap);
    BITMAP info{};
    GetObjectA(send_bitmap, sizeof info, &info);
    // The bottom-left pixel is the transparent colour.
    const COLORREF key = GetPixel(source, 0, info.bmHeight - 1);
    TransparentBlt(dc, 8, 8, 32, 32, source, 0, 0, info.bmWidth, info.bmHeight, key);
    SelectObject(source, old);
    DeleteDC(source);
  }
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
      case WM_TIMER:
        if (wparam == kInFrontTimer)
          SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        return TRUE;
      case kCloseSendDialogMessage:
        EndDialog(window, 0);
        return TRUE;
      case WM_DESTROY:
        KillTimer(window, kInFrontTimer);
        if (dialog_font) DeleteObject(dialog_font);
        if (send_bitmap) DeleteObject(send_bitmap);
        dialog_font = nullptr;
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
    CreateDialogParamA(ThisModule(), kSendDialogTemplate, nullptr, SendDialogProc, placement);
  } else {
    DialogBoxParamA(ThisModule(), kSendDialogTemplate, nullptr, SendDialogProc, placement);
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
