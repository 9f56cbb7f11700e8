// The short exception dialog VL_MS_DIALOG (an apology with Send and Don't Send, the reproduce
// and e-mail boxes and the link to the detailed dialog) and the request dialog VL_REQUEST.
#include <windows.h>

#include <algorithm>
#include <string>

#include "ExceptionLog.h"
#include "ReportText.h"
#include "VDialogText.h"
#include "VDialogs.h"
#include "VListView.h"
#include "VWebErrorPage.h"
#include "core/ExceptionLog.h"
#include "core/VOptions.h"
#include "core/VTextUtils.h"

namespace ExceptionLog {

namespace {

struct TSimpleDialog {
  HBITMAP error_bitmap = nullptr;
  HBRUSH face = nullptr;
  bool send_offered = false;
  bool link_shown = false;
  RECT link{};
  bool hover = false;
  bool closing = false;
};
TSimpleDialog ms;

TVantorModuleOptions* Options() { return CurrentOptions(); }

void Show(HWND window, int id, bool shown) {
  ShowWindow(GetDlgItem(window, id), shown ? SW_SHOW : SW_HIDE);
}

void SetFont(HWND window, int id, HFONT font) {
  SendDlgItemMessageA(window, id, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

bool SendOffered(const TVantorModuleOptions& o) {
  return (o.FMailMode != 0 || o.FWebMode != 0) && !ProcessingSteps().IsDuplicateError() &&
         (o.FDialogOptions & 0x80);
}

void Move(HWND window, int id, int x, int y, int w, int h) {
  SetWindowPos(GetDlgItem(window, id), nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

void OnInitSimple(HWND window) {
  TDialogWindowState& st = DialogWindowState();
  TVantorModuleOptions& o = *Options();
  st.Window = window;
  ms = TSimpleDialog();
  const int kind = DialogState().DialogKind;
  PrepareDialogWindow(window, OwnLook() && kind != 2, (o.FDialogOptions & 0x20) != 0);
  CreateDialogFonts();
  ms.error_bitmap = LoadBitmapA(DialogModule(), "VL_ERROR");
  const TDialogFonts& f = DialogFonts();
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(f.Dialog), FALSE);
  SetFont(window, kMsTitle, f.Bold);
  SetFont(window, kMsTellUs, f.Bold);
  SetFont(window, kMsDoingEdit, f.Code);
  SetDlgItemTextA(window, kMsDoingEdit, o.FReproduceSteps.c_str());
  SetDlgItemTextA(window, kMsEmailEdit, ReadUserEmail().c_str());
  SetWindowTextA(window, DialogText(3).c_str());

  TDialogState& choices = DialogState();
  choices.SendChosen = (o.FDialogOptions & 0x01) != 0;
  ms.send_offered = SendOffered(o);
  if (!ms.send_offered) {
    const HWND send = GetDlgItem(window, kMsSend);
    ShowWindow(send, SW_HIDE);
    EnableWindow(send, FALSE);
    SendMessageA(send, BM_SETSTYLE, 0x50010000, TRUE);
    SendDlgItemMessageA(window, kMsDontSend, BM_SETSTYLE, 0x50010001, TRUE);
    SendMessageA(window, DM_SETDEFID, kMsDontSend, 0);
  }
  SetFocus(GetDlgItem(window, ms.send_offered ? kMsSend : kMsDontSend));

  // Layout from the top.
  const int border = GetSystemMetrics(SM_CYBORDER);
  int title_height = TextHeight(window, f.Bold, DialogText(26), 356);
  PlaceLabel(window, 8, (51 - title_height) / 2, f.Bold, false, DialogText(26), kMsTitle, 356);
  int y = 59;
  y = PlaceLabel(window, 8, y, f.Dialog, true, ExceptionMessageText(), kMsMessage, 397);
  const bool terminate = o.FTerminateAction != 0 && o.FTerminateAfterCount < ErrorCount();
  if (terminate) {
    y += 10;
    y = PlaceLabel(window, 8, y, f.Dialog, true, DialogText(o.FTerminateAction == 1 ? 28 : 27),
                   kMsTerminateBox, 397);
  }
  Show(window, kMsTerminateBox, terminate);
  if (ms.send_offered) {
    y = PlaceLabel(window, 8, y + 10, f.Bold, true, DialogText(29), kMsTellUs, 397);
    y = PlaceLabel(window, 8, y + 2, f.Dialog, true, DialogText(30), kMsCreated, 397);
  }
  Show(window, kMsTellUs, ms.send_offered);
  Show(window, kMsCreated, ms.send_offered);
  ms.link_shown = (o.FDialogOptions & 0x08) != 0;
  if (ms.link_shown) {
    y += 12;
    const std::string lead = VCore::Trim(DialogText(31)) + " ";
    const int lead_width = TextWidth(window, f.Dialog, lead);
    const int lead_box = lead_width + 2;
    PlaceLabel(window, 8, y, f.Dialog, false, lead, kMsLinkLead, lead_box);
    // The link starts where the lead-in's control ends: the control paints over its area.
    const int link_width = TextWidth(window, f.Underlined, DialogText(32));
    ms.link = {lead_box + 8, y, lead_box + 8 + link_width, y + LineHeight(window, f.Underlined)};
    y += LineHeight(window, f.Dialog);
  }
  Show(window, kMsLinkLead, ms.link_shown);
  int line_height = LineHeight(window, f.Dialog);
  const bool doing = (o.FLogFlags & 0x02) != 0;
  if (doing) {
    y = PlaceLabel(window, 8, y + 12, f.Dialog, true, DialogText(33), kMsDoing, 397);
    y += 2;
    const int code_line = LineHeight(window, f.Code);
    const int height = 8 * border + 4 * code_line;
    Move(window, kMsDoingEdit, 8, y, 397, height);
    y += height - 4;
    line_height = code_line;
  }
  Show(window, kMsDoing, doing);
  Show(window, kMsDoingEdit, doing);
  const bool email = ms.send_offered && (o.FMailMode != 1 || o.FWebMode != 0);
  if (email) {
    y += 12;
    const std::string label = DialogText(34) + " ";
    const int label_width = TextWidth(window, f.Dialog, label);
    line_height = LineHeight(window, f.Dialog);
    Move(window, kMsEmailEdit, label_width + 8, y, 397 - label_width, line_height + 8 * border);
    PlaceLabel(window, 8, y + 4 * border, f.Dialog, false, label, kMsEmailLabel, label_width + 2);
    y += line_height + 8 * border;
  }
  Show(window, kMsEmailLabel, email);
  Show(window, kMsEmailEdit, email);

  y += 12;
  const int button_height = 4 * border + line_height + 6;
  PlaceButton(window, kMsHelp, 8, y, DialogText(21), button_height);
  Show(window, kMsHelp, (o.FDialogOptions & 0x200) != 0);
  const std::string dont_send = DialogText(ms.send_offered && choices.SendChosen ? 36 : 17);
  const int dont_width = ButtonWidth(window, DialogText(36));
  PlaceButton(window, kMsDontSend, 405 - dont_width, y, dont_send, button_height);
  PlaceButton(window, kMsSend, 397 - dont_width - ButtonWidth(window, DialogText(35)), y,
              DialogText(35), button_height);

  const int height =
      GetSystemMetrics(SM_CYFRAME) + button_height + GetSystemMetrics(SM_CYCAPTION) + y + 10;
  SetWindowPos(window, nullptr, 0, 0, 419, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  CentreInRect(window, st.WorkArea);
  ms.face = GetSysColorBrush(COLOR_BTNFACE);
  SetTimer(window, kPaintCheckTimer, 1, nullptr);
  SetAutoCloseTimer(window);
  SetAutoTopMost(window, (o.FDialogOptions & 0x20) != 0);
}

void OnPaintSimple(HWND window) {
  DialogWindowState().Shown = true;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  RECT band{0, 0, 413, 51};
  FillRect(dc, &band, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  FrameRect(dc, &band, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  if (ms.error_bitmap) DrawTransparentBitmap(dc, ms.error_bitmap, 372, 9, 32, 32);
  if (ms.link_shown) {
    HGDIOBJ old = SelectObject(dc, DialogFonts().Underlined);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, 0xFF0000);
    RECT r = ms.link;
    const std::string text = DialogText(32);
    DrawTextA(dc, text.c_str(), -1, &r, DT_SINGLELINE | DT_NOPREFIX | DT_LEFT);
    SelectObject(dc, old);
  }
  EndPaint(window, &ps);
}

// The closing step: the e-mail address checked (not when the dialog is cancelled) and
// stored, the reproduce text and the terminate choice taken.
void CloseSimple(HWND window) {
  TDialogWindowState& st = DialogWindowState();
  TDialogState& choices = DialogState();
  TVantorModuleOptions* o = Options();
  const std::string email = VCore::Trim(ControlText(window, kMsEmailEdit));
  st.LastEmail = email;
  if (IsValidEmail(email)) {
    if (o) o->FUserEmail = email;
    TReportPieces& pieces = ReportPieces();
    pieces.General = ReplaceEmailItem(pieces.General, email);
    pieces.Report = ReplaceEmailItem(pieces.Report, email);
    pieces.DialogReport = ReplaceEmailItem(pieces.DialogReport, email);
    pieces.SendText = pieces.Report;
    SetLastReportText(ReplaceEmailItem(LastReportText(), email));
    SaveUserEmail(email);
  } else if (EmailKeepsDialogOpen(email, st.Cancelled)) {
    MessageBoxA(nullptr, DialogText(157).c_str(), DialogText(2).c_str(), 0x242010);
    return;
  }
  if (o) o->SetReproduceSteps(VCore::Trim(ControlText(window, kMsDoingEdit)));
  choices.Terminate =
      (choices.Terminate || IsDlgButtonChecked(window, kMsTerminateBox) == BST_CHECKED) &&
      !st.Cancelled;
  EndDialog(window, 0);
}

void CancelSimple(HWND window) {
  DialogState().SendChosen = false;
  DialogWindowState().Cancelled = true;
  DialogState().DialogKind = 0;
  CloseSimple(window);
}

}  // namespace

INT_PTR CALLBACK MSDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  try {
    if (IsDialogInputMessage(message)) ResetAutoCloseTimer();
    TDialogState& choices = DialogState();
    switch (message) {
      case WM_INITDIALOG:
        OnInitSimple(window);
        return FALSE;  // the focus is on the default button
      case WM_PAINT:
        OnPaintSimple(window);
        return TRUE;
      case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lparam) == GetDlgItem(window, kMsTitle)) {
          SetBkMode(reinterpret_cast<HDC>(wparam), TRANSPARENT);
          return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
        }
        return FALSE;
      case WM_MOUSEMOVE: {
        const POINT p{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};
        ms.hover = ms.link_shown && PtInRect(&ms.link, p);
        if (ms.hover) InvalidateRect(window, &ms.link, TRUE);
        return TRUE;
      }
      case WM_SETCURSOR:
        if (ms.hover && LOWORD(lparam) == HTCLIENT) {
          SetCursor(LinkCursor());
          SetWindowLongPtrA(window, DWLP_MSGRESULT, TRUE);
          return TRUE;
        }
        return FALSE;
      case WM_LBUTTONUP:
        if (ms.hover) {
          choices.DialogKind = 3;
          CloseSimple(window);
        }
        return TRUE;
      case WM_COMMAND: {
        const int id = LOWORD(wparam), code = HIWORD(wparam);
        if (id == IDCANCEL) {
          CancelSimple(window);
        } else if (id == kMsSend) {
          choices.SendChosen = true;
          choices.DialogKind = 0;
          CloseSimple(window);
        } else if (id == kMsDontSend) {
          choices.SendChosen = choices.SendChosen && !ms.send_offered;
          choices.DialogKind = 0;
          CloseSimple(window);
        } else if (id == kMsHelp) {
          bool close = false;
          FireCustomButtonClick(close);
          if (close) {
            choices.DialogKind = 0;
            CloseSimple(window);
          }
        } else if (code == EN_KILLFOCUS && (id == kMsMessage || id == kMsDoingEdit) &&
                   IsEscapeDown()) {
          CancelSimple(window);
        }
        return TRUE;
      }
      case WM_CLOSE:
        // The close box and auto-close leave as Escape does.
        CancelSimple(window);
        return TRUE;
      case WM_TIMER:
        if (wparam == kPaintCheckTimer) {
          KillTimer(window, kPaintCheckTimer);
          if (!DialogWindowState().Shown) {
            choices.DialogKind = 0;
            EndDialog(window, IDABORT);
          }
        }
        return TRUE;
      case WM_NCPAINT:
      case WM_NCACTIVATE:
        return choices.DialogKind != 2 &&
               DialogFrameMessage(window, message, wparam, DialogText(3), false);
      case WM_DESTROY:
        KillTimer(window, kPaintCheckTimer);
        UnsetAutoCloseTimer(window);
        UnsetAutoTopMost(window);
        DialogWindowState().Window = nullptr;
        DestroyDialogFonts();
        if (ms.error_bitmap) DeleteObject(ms.error_bitmap);
        ms.error_bitmap = nullptr;
        return FALSE;
    }
  } catch (...) {
  }
  return FALSE;
}

INT_PTR CALLBACK RequestDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  try {
    if (IsDialogInputMessage(message)) ResetAutoCloseTimer();
    switch (message) {
      case WM_INITDIALOG: {
        TVantorModuleOptions* o = Options();
        DialogWindowState().Window = window;
        PrepareDialogWindow(window, OwnLook(), o && (o->FDialogOptions & 0x20));
        CreateDialogFonts();
        const TDialogFonts& f = DialogFonts();
        SetWindowTextA(window, DialogText(123).c_str());
        for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
          SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(f.Dialog), FALSE);
        SetDlgItemTextA(window, IDCANCEL, DialogText(125).c_str());
        SetFont(window, kRequestEdit, f.Code);
        SetDlgItemTextA(window, kRequestEdit, o ? o->FReproduceSteps.c_str() : "");
        RECT r{};
        GetWindowRect(window, &r);
        const int original_height = r.bottom - r.top;
        const int w = (r.right - r.left) - 27;
        const std::string label = DialogText(124);
        const int h = TextHeight(window, f.Dialog, label, w);
        GrowWindowBottom(window, h - 10);
        SetDlgItemTextA(window, kRequestLabel, label.c_str());
        Move(window, kRequestLabel, 10, 10, w, h);
        const int edit_height = original_height - h - 83;
        Move(window, kRequestEdit, 10, h + 14, w, edit_height);
        Move(window, IDCANCEL, w - 65, h + edit_height + 20, 75, 23);
        CentreInRect(window, DialogWindowState().WorkArea);
        SetAutoCloseTimer(window);
        SetAutoTopMost(window, o && (o->FDialogOptions & 0x20));
        SetFocus(GetDlgItem(window, kRequestEdit));
        return FALSE;
      }
      case WM_PAINT: {
        DialogWindowState().Shown = true;
        PAINTSTRUCT ps;
        BeginPaint(window, &ps);
        EndPaint(window, &ps);
        return TRUE;
      }
      case WM_COMMAND:
        if (LOWORD(wparam) == IDCANCEL) {
          if (TVantorModuleOptions* o = Options())
            o->SetReproduceSteps(VCore::Trim(ControlText(window, kRequestEdit)));
          EndDialog(window, IDOK);
        }
        return TRUE;
      case WM_NCPAINT:
      case WM_NCACTIVATE:
        return DialogFrameMessage(window, message, wparam, DialogText(123), false);
      case WM_DESTROY:
        UnsetAutoCloseTimer(window);
        UnsetAutoTopMost(window);
        DialogWindowState().Window = nullptr;
        DestroyDialogFonts();
        return FALSE;
    }
  } catch (...) {
  }
  (void)lparam;
  return FALSE;
}

void ShowRequestDialog() {
  const TVantorModuleOptions* o = Options();
  if (!o || !(o->FLogFlags & 0x02) || !IsGUIProgram() || ProcessingSteps().IsDuplicateError())
    return;
  if (!DialogState().SendChosen && !o->FWriteLogFile) return;
  DialogWindowState().Shown = false;
  DialogBoxParamA(DialogModule(), kRequestDialogTemplate, nullptr, RequestDialogProc, 0);
  DialogWindowState().Shown = false;
}

}  // namespace ExceptionLog
