// The dialog launcher and the detailed exception dialog VL_DIALOG with its tabs.
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ExceptionLog.h"
#include "VDialogText.h"
#include "VDialogs.h"
#include "VListView.h"
#include "VTabPages.h"
#include "core/ExceptionLog.h"
#include "core/VCore.h"
#include "core/VOptions.h"

namespace ExceptionLog {

namespace {

TDialogWindowState window_state;
bool work_area_stored = false;

// The detailed dialog's own state, from WM_INITDIALOG to WM_DESTROY.
struct TExceptionDialog {
  bool top_most = false;
  bool own_look = false;
  int caption_height = 0;
  bool send_offered = false, screenshot_offered = false, copy_offered = false;
  bool link_present = false;
  int extra_height = 0;
  HBITMAP error_bitmap = nullptr;
  HBRUSH background = nullptr, white = nullptr;
  TRememberedPlacement remembered;
  RECT link{};
  bool hover = false;
  HWND page = nullptr;
  bool modules_tabs = false, assembler_tabs = false;
};
TExceptionDialog dlg;

const TVantorModuleOptions& Options() {
  static TVantorModuleOptions* fallback = TVantorModuleOptions::Create("").release();
  const TVantorModuleOptions* options = CurrentOptions();
  return options ? *options : *fallback;
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

void SetItemText(HWND window, int id, const std::string& text) {
  SetDlgItemTextA(window, id, text.c_str());
}

void Show(HWND window, int id, bool shown) {
  ShowWindow(GetDlgItem(window, id), shown ? SW_SHOW : SW_HIDE);
}

bool TerminateButtonShown() {
  const TVantorModuleOptions& o = Options();
  return o.FTerminateAction != 0 && o.FTerminateAfterCount < ErrorCount();
}

bool DetailsButtonShown() {
  return (Options().FDialogOptions & 0x08) && !window_state.ForceDetailed;
}

// The compact form's window size for the message.
SIZE CompactSize(HWND window, const std::string& message) {
  HFONT font = DialogFonts().Dialog;
  const TCompactSize size = CompactDialogSize(
      message, DialogText(22) + "    " + DialogText(24), LineHeight(window, font),
      GetSystemMetrics(SM_CXFRAME), GetSystemMetrics(SM_CYFRAME), dlg.caption_height,
      dlg.extra_height, [&](const std::string& line) { return TextWidth(window, font, line); });
  return SIZE{size.width, size.height};
}

void ApplyForm(HWND window) {
  if (!dlg.own_look) {
    for (int id : {kDlgOk, kDlgTerminate, kDlgDetails, kDlgHelp, kDlgSendBox, kDlgScreenshotBox,
                   kDlgCopyBox}) {
      const HWND item = GetDlgItem(window, id);
      SetWindowLongA(item, GWL_STYLE, GetWindowLongA(item, GWL_STYLE) & ~BS_FLAT);
    }
  }
  const LONG frame_bits = dlg.own_look ? 0x50000 : 0xD0000;
  LONG style = GetWindowLongA(window, GWL_STYLE);
  if (window_state.Detailed) {
    SetWindowLongA(window, GWL_STYLE, style | frame_bits);
    SetWindowPos(window, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED | SWP_NOACTIVATE);
    SetItemText(window, kDlgMessage, DialogText(4));
    const TDialogPlacement stored = LoadDialogPlacement(window_state.WorkArea, dlg.extra_height);
    const TPlacementToApply p = PlacementToApply(stored.left, stored.top, stored.width,
                                                 stored.height, stored.state, dlg.extra_height);
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    placement.showCmd = p.maximised ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
    placement.rcNormalPosition = {p.left, p.top, p.left + p.width, p.top + p.height};
    dlg.remembered.state = p.maximised ? 3 : 1;
    SetWindowPlacement(window, &placement);
    if (!p.maximised)
      SetWindowPos(window, nullptr, p.left, p.top, p.width, p.height,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    Show(window, kDlgTabs, true);
    SetItemText(window, kDlgDetails, DetailsButtonText(DialogText(20), true));
  } else {
    if (IsZoomed(window)) ShowWindow(window, SW_RESTORE);
    SetWindowLongA(window, GWL_STYLE, style & ~frame_bits);
    SetWindowPos(window, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED | SWP_NOACTIVATE);
    const std::string message = ExceptionMessageText();
    SetItemText(window, kDlgMessage, message);
    const SIZE size = CompactSize(window, message);
    SetWindowPos(window, nullptr, 0, 0, size.cx, size.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    CentreInRect(window, window_state.WorkArea);
    Show(window, kDlgTabs, false);
    SetItemText(window, kDlgDetails, DetailsButtonText(DialogText(20), false));
  }
  InvalidateRect(window, nullptr, TRUE);
}

void OnSize(HWND window, WPARAM type, int w, int h) {
  if (!window_state.Window) return;
  const int extra = dlg.extra_height;
  const HWND tabs = GetDlgItem(window, kDlgTabs);
  SetWindowPos(tabs, nullptr, 4, 52, 451 + w - 466 + 7, 131 + h - extra - 252 + 31,
               SWP_NOZORDER | SWP_NOACTIVATE);
  if (window_state.Detailed) {
    SetWindowPos(GetDlgItem(window, kDlgMessage), nullptr, 48, 8, 410 + w - 466, 42,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    SetWindowPos(GetDlgItem(window, kDlgMessage), nullptr, 48, 8, w - 56,
                 std::max(16, h - extra - 32 - 8 - 8), SWP_NOZORDER | SWP_NOACTIVATE);
  }
  HFONT font = DialogFonts().Dialog;
  int button = 75;
  for (const std::string& t :
       {DialogText(17) + "O", DialogText(18), DialogText(19), DialogText(20), DialogText(21)})
    button = std::max(button, TextWidth(window, font, t) + 1);
  const int y = h - extra - 32;
  const bool terminate = TerminateButtonShown();
  const bool help = (Options().FDialogOptions & 0x200) != 0;
  SetWindowPos(GetDlgItem(window, kDlgTerminate), nullptr, 5, y, button, 25,
               SWP_NOZORDER | SWP_NOACTIVATE);
  Show(window, kDlgTerminate, terminate);
  const int help_x = terminate ? button + 13 : 5;
  SetWindowPos(GetDlgItem(window, kDlgHelp), nullptr, help_x, y, button, 25,
               SWP_NOZORDER | SWP_NOACTIVATE);
  int ok_x = (w - button) / 2;
  if (help && ok_x < help_x + button + 8) ok_x = help_x + button + 8;
  SetWindowPos(GetDlgItem(window, kDlgOk), nullptr, ok_x, y, button, 25,
               SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(GetDlgItem(window, kDlgDetails), nullptr, w - button - 5, y, button, 25,
               SWP_NOZORDER | SWP_NOACTIVATE);
  Show(window, kDlgDetails, DetailsButtonShown());
  const int half = (w - 8) / 2;
  SetWindowPos(GetDlgItem(window, kDlgSendBox), nullptr, 4, y + 34, half, 16,
               SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(GetDlgItem(window, kDlgCopyBox), nullptr, w - half - 4, y + 34, half, 16,
               SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(GetDlgItem(window, kDlgScreenshotBox), nullptr, 23, y + 50, w / 2, 16,
               SWP_NOZORDER | SWP_NOACTIVATE);
  if (dlg.link_present) {
    const int text_width = TextWidth(window, DialogFonts().Link, DialogText(25));
    const int top = y + 34 + (dlg.copy_offered ? 16 : 0);
    dlg.link = {w - text_width - 4, top, w - 4, top + 13};
  }
  dlg.hover = false;
  if (type == SIZE_MAXIMIZED) {
    dlg.remembered.state = 3;
  } else if (type == SIZE_MINIMIZED) {
    dlg.remembered.state = 6;
  } else if (window_state.Detailed) {
    RECT r{};
    GetWindowRect(window, &r);
    dlg.remembered.state = 1;
    dlg.remembered.width = r.right - r.left;
    dlg.remembered.height = r.bottom - r.top;
  }
  RECT client{0, 0, w, h};
  HRGN outside = CreateRectRgnIndirect(&client);
  RECT tab_rect{};
  if (IsWindowVisible(tabs)) {
    GetWindowRect(tabs, &tab_rect);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&tab_rect), 2);
    HRGN tab_region = CreateRectRgnIndirect(&tab_rect);
    CombineRgn(outside, outside, tab_region, RGN_DIFF);
    DeleteObject(tab_region);
  }
  InvalidateRgn(window, outside, FALSE);
  DeleteObject(outside);
}

void SavePlacement() {
  dlg.remembered.extra_height = dlg.extra_height;
  SaveDialogPlacement(dlg.remembered);
}

void OnInitDialog(HWND window) {
  window_state.Window = window;
  SetWindowPos(
      window, nullptr, 0, 0, 0, 0,
      SWP_NOSENDCHANGING | SWP_NOACTIVATE | SWP_NOREDRAW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
  dlg = TExceptionDialog();
  const TVantorModuleOptions& o = Options();
  dlg.top_most = (o.FDialogOptions & 0x20) != 0;
  dlg.own_look = (o.FDialogOptions & 0x40) != 0;
  dlg.caption_height = PrepareDialogWindow(window, dlg.own_look, dlg.top_most);
  dlg.send_offered = (o.FMailMode != 0 || o.FWebMode != 0) &&
                     !ProcessingSteps().IsDuplicateError() && (o.FDialogOptions & 0x80);
  dlg.screenshot_offered = (o.FSendFlags & 0x10) && dlg.send_offered && (o.FDialogOptions & 0x100);
  dlg.copy_offered = (o.FDialogOptions & 0x04) != 0;
  dlg.link_present = !Trimmed(o.FSupportLink).empty();
  dlg.extra_height = DialogExtraHeight(dlg.send_offered, dlg.screenshot_offered, dlg.copy_offered,
                                       dlg.link_present);
  TDialogState& choices = DialogState();
  choices.SendChosen = true;
  choices.CopyChosen = true;
  SetForegroundWindow(window);
  window_state.Detailed = window_state.ForceDetailed || (o.FDialogOptions & 0x10);

  dlg.error_bitmap = LoadBitmapA(DialogModule(), "VL_ERROR");
  dlg.background = CreateSolidBrush(dlg.own_look ? kOwnLookFace : GetSysColor(COLOR_BTNFACE));
  dlg.white = CreateSolidBrush(RGB(255, 255, 255));
  CreateDialogFonts();
  const TDialogFonts& f = DialogFonts();

  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(f.Dialog), FALSE);
  SetItemText(window, kDlgTerminate, DialogText(o.FTerminateAction == 1 ? 18 : 19));
  SetItemText(window, kDlgHelp, DialogText(21));
  Show(window, kDlgHelp, (o.FDialogOptions & 0x200) != 0);
  SetItemText(window, kDlgOk, DialogText(17));
  SetItemText(window, kDlgSendBox, DialogText(22));
  SetItemText(window, kDlgScreenshotBox, DialogText(23));
  SetItemText(window, kDlgCopyBox, DialogText(24));
  Show(window, kDlgEtched, false);
  const bool send_checked = choices.SendChosen && (o.FDialogOptions & 0x01);
  CheckDlgButton(window, kDlgSendBox, send_checked ? BST_CHECKED : BST_UNCHECKED);
  EnableWindow(GetDlgItem(window, kDlgScreenshotBox), send_checked);
  Show(window, kDlgSendBox, dlg.send_offered);
  Show(window, kDlgScreenshotBox, dlg.send_offered && dlg.screenshot_offered);
  CheckDlgButton(
      window, kDlgScreenshotBox,
      choices.ScreenshotChosen && (o.FDialogOptions & 0x02) ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(window, kDlgCopyBox, BST_UNCHECKED);
  Show(window, kDlgCopyBox, dlg.copy_offered);
  SetWindowTextA(window, DialogText(3).c_str());

  dlg.modules_tabs = (o.FLogFlags & 0x10) != 0;
  dlg.assembler_tabs = (o.FLogFlags & 0x20) != 0;
  const HWND tabs = GetDlgItem(window, kDlgTabs);
  std::vector<int> tab_texts{5, 7};
  if (dlg.modules_tabs) tab_texts.insert(tab_texts.end(), {9, 11});
  if (dlg.assembler_tabs) tab_texts.insert(tab_texts.end(), {13, 15});
  for (std::size_t i = 0; i < tab_texts.size(); ++i) {
    std::string text = DialogText(tab_texts[i]);
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = text.data();
    SendMessageA(tabs, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
  }
  const int first_page = FirstTabIndex(o.FFirstTab, dlg.modules_tabs, dlg.assembler_tabs);
  // The page's tab: the pages of absent groups have none.
  int first_tab = first_page;
  if (first_page >= 4 && !dlg.modules_tabs) first_tab -= 2;
  SetFocus(GetDlgItem(window, kDlgOk));
  ShowTabPage(-first_page);
  SendMessageA(tabs, TCM_SETCURSEL, first_tab, 0);

  ApplyForm(window);
  RECT client{};
  GetClientRect(window, &client);
  OnSize(window, SIZE_RESTORED, client.right, client.bottom);
  SetTimer(window, kPaintCheckTimer, 1, nullptr);
  SetAutoCloseTimer(window);
  SetAutoTopMost(window, dlg.top_most);
}

void OnPaint(HWND window) {
  window_state.Shown = true;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  if (dlg.error_bitmap) DrawTransparentBitmap(dc, dlg.error_bitmap, 8, 8, 32, 32);
  if (dlg.link_present) {
    HGDIOBJ old = SelectObject(dc, DialogFonts().Link);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, 0x800000);
    const std::string text = DialogText(25);
    RECT r = dlg.link;
    DrawTextA(dc, text.c_str(), -1, &r, DT_SINGLELINE | DT_NOPREFIX | DT_RIGHT);
    SelectObject(dc, old);
  }
  EndPaint(window, &ps);
}

void OnDestroy(HWND window) {
  KillTimer(window, kPaintCheckTimer);
  UnsetAutoCloseTimer(window);
  UnsetAutoTopMost(window);
  window_state.Window = nullptr;
  TDialogState& choices = DialogState();
  choices.SendChosen = choices.SendChosen && IsDlgButtonChecked(window, kDlgSendBox) == BST_CHECKED;
  choices.ScreenshotChosen = IsDlgButtonChecked(window, kDlgScreenshotBox) == BST_CHECKED;
  choices.CopyChosen = choices.CopyChosen && IsDlgButtonChecked(window, kDlgCopyBox) == BST_CHECKED;
  if (TVantorModuleOptions* o = CurrentOptions()) {
    std::uint16_t bits = o->FDialogOptions & ~0x03;
    if (choices.SendChosen) bits |= 0x01;
    if (choices.ScreenshotChosen) bits |= 0x02;
    o->SetDialogOptions(bits);
  }
  DestroyDialogFonts();
  for (HGDIOBJ object : {static_cast<HGDIOBJ>(dlg.background), static_cast<HGDIOBJ>(dlg.white),
                         static_cast<HGDIOBJ>(dlg.error_bitmap)})
    if (object) DeleteObject(object);
  dlg.background = dlg.white = nullptr;
  dlg.error_bitmap = nullptr;
  if (dlg.page) DestroyWindow(dlg.page);
  dlg.page = nullptr;
  if (window_state.Detailed) SavePlacement();
}

void OnCommand(HWND window, int id, int code) {
  TDialogState& choices = DialogState();
  switch (id) {
    case IDCANCEL:
      choices.SendChosen = false;
      window_state.Cancelled = true;
      choices.CopyChosen = false;
      choices.DialogKind = 0;
      EndDialog(window, IDCANCEL);
      break;
    case kDlgOk:
      choices.DialogKind = 0;
      EndDialog(window, IDOK);
      break;
    case kDlgTerminate:
      choices.DialogKind = 0;
      choices.Terminate = true;
      EndDialog(window, id);
      break;
    case kDlgDetails:
      if (window_state.Detailed) SavePlacement();
      window_state.Detailed = !window_state.Detailed;
      ApplyForm(window);
      {
        RECT client{};
        GetClientRect(window, &client);
        OnSize(window, SIZE_RESTORED, client.right, client.bottom);
      }
      break;
    case kDlgHelp: {
      bool close = false;
      FireCustomButtonClick(close);
      if (close) {
        choices.DialogKind = 0;
        EndDialog(window, id);
      }
      break;
    }
    case kDlgSendBox:
      if (code == BN_CLICKED)
        EnableWindow(GetDlgItem(window, kDlgScreenshotBox),
                     IsDlgButtonChecked(window, kDlgSendBox) == BST_CHECKED);
      break;
  }
}

}  // namespace

TDialogWindowState& DialogWindowState() { return window_state; }

void StoreDialogWorkArea() {
  window_state.WorkArea = ActiveMonitorWorkArea();
  work_area_stored = true;
}

RECT StoredDialogWorkArea() {
  return work_area_stored ? window_state.WorkArea : ActiveMonitorWorkArea();
}

bool IsDialogOpen() { return window_state.Shown; }

HWND& CurrentTabPage() { return dlg.page; }

void FitTabPage() {
  if (!dlg.page || !window_state.Window) return;
  const HWND tabs = GetDlgItem(window_state.Window, kDlgTabs);
  RECT r{};
  GetClientRect(tabs, &r);
  SendMessageA(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&r));
  r.left -= 3;
  r.top -= 1;
  const int width = r.right - r.left, height = r.bottom - r.top;
  SetWindowPos(dlg.page, nullptr, r.left, r.top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(GetDlgItem(dlg.page, kPageControl), nullptr, r.left + 3, 20, width - 8, height - 24,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void ShowTabPage(int index) {
  const HWND window = window_state.Window;
  if (!window) return;
  const int page = TabPageIndex(index, dlg.modules_tabs, dlg.assembler_tabs);
  if (page < 0 || page >= kTabPageCount) return;
  if (dlg.page) DestroyWindow(dlg.page);
  const HWND tabs = GetDlgItem(window, kDlgTabs);
  dlg.page = CreateDialogParamA(DialogModule(), TabPageTemplate(page), tabs, TabPageProc(page), 0);
  if (!dlg.page) return;
  FitTabPage();
  SetWindowPos(dlg.page, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ShowWindow(dlg.page, SW_SHOW);
}

INT_PTR CALLBACK ExceptionDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  try {
    if (IsDialogInputMessage(message)) ResetAutoCloseTimer();
    switch (message) {
      case WM_INITDIALOG:
        OnInitDialog(window);
        return FALSE;  // the focus is on OK
      case WM_SIZE:
        OnSize(window, wparam, LOWORD(lparam), HIWORD(lparam));
        FitTabPage();
        return TRUE;
      case WM_MOVE:
        if (window_state.Window && window_state.Detailed && !IsZoomed(window) &&
            !IsIconic(window)) {
          RECT r{};
          GetWindowRect(window, &r);
          dlg.remembered.left = r.left;
          dlg.remembered.top = r.top;
        }
        return TRUE;
      case WM_PAINT:
        OnPaint(window);
        return TRUE;
      case WM_MOUSEMOVE: {
        const POINT p{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};
        dlg.hover = dlg.link_present && PtInRect(&dlg.link, p);
        if (dlg.hover) InvalidateRect(window, &dlg.link, TRUE);
        return TRUE;
      }
      case WM_SETCURSOR:
        if (dlg.hover && LOWORD(lparam) == HTCLIENT) {
          SetCursor(LinkCursor());
          SetWindowLongPtrA(window, DWLP_MSGRESULT, TRUE);
          return TRUE;
        }
        return FALSE;
      case WM_LBUTTONUP:
        if (dlg.hover) {
          SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
          ShellExecuteA(nullptr, "open", Options().FSupportLink.c_str(), nullptr, nullptr,
                        SW_SHOWMAXIMIZED);
        }
        return TRUE;
      case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lparam);
        if (header->idFrom == kDlgTabs && header->code == TCN_SELCHANGE)
          ShowTabPage(static_cast<int>(SendMessageA(header->hwndFrom, TCM_GETCURSEL, 0, 0)));
        return TRUE;
      }
      case WM_COMMAND:
        OnCommand(window, LOWORD(wparam), HIWORD(wparam));
        return TRUE;
      case WM_TIMER:
        if (wparam == kPaintCheckTimer) {
          KillTimer(window, kPaintCheckTimer);
          if (!window_state.Shown) {
            DialogState().DialogKind = 0;
            EndDialog(window, IDABORT);
          }
        }
        return TRUE;
      case WM_CTLCOLORDLG:
        if (!dlg.own_look) return FALSE;
        return reinterpret_cast<INT_PTR>(dlg.background);
      case WM_CTLCOLORSTATIC:
        if (!dlg.own_look) return FALSE;
        SetBkMode(reinterpret_cast<HDC>(wparam), TRANSPARENT);
        SetTextColor(reinterpret_cast<HDC>(wparam), 0);
        return reinterpret_cast<INT_PTR>(dlg.background);
      case WM_NCPAINT:
      case WM_NCACTIVATE:
        return DialogFrameMessage(window, message, wparam, DialogText(3), !window_state.Detailed);
      case WM_DESTROY:
        OnDestroy(window);
        return FALSE;
    }
  } catch (...) {
  }
  return FALSE;
}

void ShowExceptionDialog(bool beep) {
  HMODULE rich_edit = LoadLibraryA("RICHED20.DLL");
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  window_state.PreviousForeground = GetForegroundWindow();
  window_state.Window = nullptr;
  if (!work_area_stored) StoreDialogWorkArea();
  TDialogState& state = DialogState();
  if (beep && state.DialogKind != 1) MessageBeep(0x10);
  try {
    bool done = true;
    do {
      window_state.Shown = false;
      switch (state.DialogKind) {
        case 3:
          DialogBoxParamA(DialogModule(), kExceptionDialogTemplate, nullptr, ExceptionDialogProc,
                          0);
          break;
        case 2:
          DialogBoxParamA(DialogModule(), kSimpleDialogTemplate, nullptr, MSDialogProc, 0);
          break;
        case 1:
          window_state.Shown = true;
          MessageBoxA(nullptr, ExceptionMessageText().c_str(), DialogText(3).c_str(), 0x242010);
          state.DialogKind = 0;
          break;
        default:
          window_state.Shown = true;
          break;
      }
      if (!window_state.Shown && VCore::GetWindowsVersion().platform_id == 2)
        MessageBoxA(nullptr, ExceptionMessageText().c_str(), DialogText(3).c_str(), 0x242010);
      done = true;
      if (state.Terminate) {
        ClearLibraryWarning();
        bool terminate = state.Terminate;
        FireActionNotify(8, terminate);
        state.Terminate = terminate;
        done = terminate;
      }
      if (!window_state.Shown)
        ReportLibraryWarning(TVantorLogErrorCode::eeShowError, "Cannot show the DialogBox window.");
    } while (!done);
  } catch (...) {
  }
  window_state.Shown = false;
  if (rich_edit) FreeLibrary(rich_edit);
  SetForegroundWindow(window_state.PreviousForeground);
}

void ShowExceptionDialogStep(bool first_showing) {
  TDialogState& state = DialogState();
  if (first_showing) {
    // A new exception: its work area, the screenshot choice from the send flags.
    StoreDialogWorkArea();
    window_state.ForceDetailed = false;
    window_state.Cancelled = false;
    const TVantorModuleOptions* options = CurrentOptions();
    state.ScreenshotChosen = options && (options->FSendFlags & 0x10);
    ShowExceptionDialog(state.DialogKind != 0);
  } else {
    // A dialog left the kind set (the short dialog's link): the detailed one, detailed.
    window_state.ForceDetailed = true;
    ShowExceptionDialog(false);
  }
}

}  // namespace ExceptionLog
