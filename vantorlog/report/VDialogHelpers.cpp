// What every library dialog shares: fonts, the own-look frame, placement in the work area,
// the auto-close and stay-in-front timers and text metrics.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "VDialogText.h"
#include "VDialogs.h"
#include "core/ExceptionLog.h"
#include "core/VCharset.h"
#include "core/VCore.h"
#include "core/VOptions.h"
#include "core/VTexts.h"

namespace ExceptionLog {

namespace {

TDialogFonts fonts;
int fonts_users = 0;
// The auto-close count and the dialog it closes; the stay-in-front dialog.
int auto_close_count = 0;
bool top_most_on = false;
bool frame_active = true;

// The message-font metrics without the field newer systems append (340 bytes).
NONCLIENTMETRICSA NonClientMetrics() {
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = offsetof(NONCLIENTMETRICSA, lfMessageFont) + sizeof(LOGFONTA);
  SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0);
  return metrics;
}

HFONT FaceFont(const std::string& face, int point_size, BYTE pitch) {
  HDC screen = GetDC(nullptr);
  const int height = -MulDiv(point_size, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, DRAFT_QUALITY, pitch, face.c_str());
}

HFONT Variant(const LOGFONTA& base, bool underline, LONG weight) {
  LOGFONTA f = base;
  f.lfUnderline = underline ? TRUE : FALSE;
  f.lfWeight = weight;
  return CreateFontIndirectA(&f);
}

void CALLBACK AutoCloseTimerProc(HWND window, UINT, UINT_PTR, DWORD) {
  const TVantorModuleOptions* options = CurrentOptions();
  const int seconds = options ? options->FDialogAutoCloseSecs : 0;
  if (seconds <= 0) return;
  if (++auto_close_count >= seconds) {
    auto_close_count = 0;
    PostMessageA(window, WM_CLOSE, 0, 0);
  }
}

void CALLBACK TopMostTimerProc(HWND window, UINT, UINT_PTR, DWORD) {
  if (top_most_on) return;
  const HWND foreground = GetForegroundWindow();
  if (!foreground || foreground == window || GetAncestor(foreground, GA_ROOT) == window) return;
  if (VCore::IsOwnProcessWindow(foreground) && !VCore::IsNewTopWindow(foreground))
    SetForegroundWindow(window);
}

}  // namespace

HINSTANCE DialogModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&DialogModule), &module);
  return module;
}

std::string DialogText(int index) {
  const TVantorModuleOptions* options = CurrentOptions();
  return options ? options->GetCustomText(index) : VCore::DefaultText(index);
}

TDialogFonts& DialogFonts() { return fonts; }

void CreateDialogFonts() {
  // Dialogs nest (a tab page inside the detailed dialog, the send dialog beside them): one
  // set of fonts while any of them lives.
  if (fonts_users++ > 0) return;
  fonts.Charset = VCore::DefaultAnsiCharset();
  std::string caption_face = "MS Sans Serif", list_face = "Courier New";
  fonts.CodeFace = "Courier New";
  fonts.PointSize = 10;
  if (fonts.Charset == 0) {
    fonts.PointSize = 8;
    caption_face = "Verdana";
    fonts.CodeFace = "Lucida Console";
    list_face = "Tahoma";
  }
  const NONCLIENTMETRICSA metrics = NonClientMetrics();
  fonts.Caption = CreateFontA(metrics.lfCaptionFont.lfHeight, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE,
                              DEFAULT_CHARSET, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, DRAFT_QUALITY,
                              VARIABLE_PITCH | FF_SWISS, caption_face.c_str());
  fonts.Dialog = CreateFontIndirectA(&metrics.lfMessageFont);
  fonts.Link = Variant(metrics.lfMessageFont, true, FW_BOLD);
  fonts.Underlined = Variant(metrics.lfMessageFont, true, 0);
  fonts.Bold = Variant(metrics.lfMessageFont, false, FW_BOLD);
  fonts.Code = FaceFont(fonts.CodeFace, fonts.PointSize, FIXED_PITCH | FF_MODERN);
  fonts.List = FaceFont(list_face, fonts.PointSize, FIXED_PITCH | FF_MODERN);
}

void DestroyDialogFonts() {
  if (fonts_users == 0 || --fonts_users > 0) return;
  for (HFONT font : {fonts.Caption, fonts.Dialog, fonts.Link, fonts.Underlined, fonts.Bold,
                     fonts.Code, fonts.List})
    if (font) DeleteObject(font);
  fonts = TDialogFonts();
}

bool OwnLook() {
  const TVantorModuleOptions* options = CurrentOptions();
  return options && (options->FDialogOptions & 0x40);
}

bool PaintDialogFrame(HWND window, UINT message, WPARAM wparam, const std::string& caption,
                      bool compact) {
  if (!OwnLook()) return false;
  if (message == WM_NCACTIVATE) frame_active = wparam != 0;
  HDC dc = GetWindowDC(window);
  if (!dc) return false;
  RECT outer{};
  GetWindowRect(window, &outer);
  OffsetRect(&outer, -outer.left, -outer.top);
  const int fx = GetSystemMetrics(SM_CXFRAME) - 1, fy = GetSystemMetrics(SM_CYFRAME) - 1;
  const bool small = (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0;
  const int band_height = GetSystemMetrics(small ? SM_CYSMCAPTION : SM_CYCAPTION);
  RECT band{outer.left + fx + 1, outer.top + fy + 1, outer.right - fx - 1,
            outer.top + fy + 1 + band_height};
  const COLORREF start = frame_active ? 0xC29B82 : 0x979797;
  const COLORREF frame = frame_active ? 0x404040 : 0x303030;
  const COLORREF border = frame_active ? 0x808080 : 0x606060;

  // Caption gradient: darker towards the middle of the band.
  double r = GetRValue(start), g = GetGValue(start), b = GetBValue(start);
  RECT step = band;
  const int steps = std::max(1, band_height / 5);
  for (int i = 0; i < steps && step.top < step.bottom; ++i) {
    r = std::min(255.0, std::round(r * 0.96));
    g = std::min(255.0, std::round(g * 0.96));
    b = std::min(255.0, std::round(b * 0.96));
    HBRUSH brush =
        CreateSolidBrush(RGB(static_cast<int>(r), static_cast<int>(g), static_cast<int>(b)));
    FillRect(dc, &step, brush);
    DeleteObject(brush);
    step.top += 2;
    step.bottom -= 2;
  }
  HBRUSH frame_brush = CreateSolidBrush(frame);
  HBRUSH border_brush = CreateSolidBrush(border);
  const RECT strips[4] = {{outer.left, outer.top, outer.right, outer.top + fy + 1},
                          {outer.left, outer.bottom - fy - 1, outer.right, outer.bottom},
                          {outer.left, outer.top, outer.left + fx + 1, outer.bottom},
                          {outer.right - fx - 1, outer.top, outer.right, outer.bottom}};
  for (const RECT& s : strips) FillRect(dc, &s, border_brush);
  FrameRect(dc, &outer, frame_brush);
  RECT band_frame = band;
  InflateRect(&band_frame, 1, 1);
  if (compact) band_frame.bottom -= 1;
  FrameRect(dc, &band_frame, frame_brush);
  DeleteObject(frame_brush);
  DeleteObject(border_brush);

  HGDIOBJ old_font =
      SelectObject(dc, fonts.Caption ? fonts.Caption : GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  RECT text = band;
  text.left += 4;
  if (frame_active) {
    RECT shadow = text;
    OffsetRect(&shadow, 1, 1);
    SetTextColor(dc, 0x222222);
    DrawTextA(dc, caption.c_str(), -1, &shadow, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    SetTextColor(dc, 0xFFFFFF);
  } else {
    SetTextColor(dc, 0xE0E0E0);
  }
  DrawTextA(dc, caption.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
  SelectObject(dc, old_font);
  ReleaseDC(window, dc);
  return true;
}

bool DialogFrameMessage(HWND window, UINT message, WPARAM wparam, const std::string& caption,
                        bool compact) {
  if (!PaintDialogFrame(window, message, wparam, caption, compact)) return false;
  SetWindowLongPtrA(window, DWLP_MSGRESULT, message == WM_NCACTIVATE ? TRUE : 0);
  return true;
}

int PrepareDialogWindow(HWND window, bool small_caption, bool top_most) {
  int caption = GetSystemMetrics(SM_CYSMCAPTION);
  if (!small_caption) {
    SetWindowLongA(window, GWL_EXSTYLE, GetWindowLongA(window, GWL_EXSTYLE) & ~WS_EX_TOOLWINDOW);
    caption = GetSystemMetrics(SM_CYCAPTION);
  }
  SetWindowPos(window, top_most ? HWND_TOPMOST : nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_FRAMECHANGED | (top_most ? 0 : SWP_NOZORDER));
  top_most_on = top_most;
  return caption;
}

void CentreInRect(HWND window, const RECT& area) {
  RECT r{};
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  SetWindowPos(window, nullptr, area.left + (area.right - area.left - w) / 2,
               area.top + (area.bottom - area.top - h) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

RECT MonitorWorkAreaOfWindow(HWND window) {
  RECT area{};
  using TMonitorFromWindow = HMONITOR(WINAPI*)(HWND, DWORD);
  using TGetMonitorInfo = BOOL(WINAPI*)(HMONITOR, LPMONITORINFO);
  HMODULE user = GetModuleHandleA("user32.dll");
  auto from_window = user ? reinterpret_cast<TMonitorFromWindow>(
                                reinterpret_cast<void*>(GetProcAddress(user, "MonitorFromWindow")))
                          : nullptr;
  auto monitor_info = user ? reinterpret_cast<TGetMonitorInfo>(
                                 reinterpret_cast<void*>(GetProcAddress(user, "GetMonitorInfoA")))
                           : nullptr;
  if (from_window && monitor_info) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (monitor_info(from_window(window ? window : GetDesktopWindow(), MONITOR_DEFAULTTONEAREST),
                     &info))
      return info.rcWork;
  }
  if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0))
    area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  return area;
}

RECT ActiveMonitorWorkArea() { return MonitorWorkAreaOfWindow(GetForegroundWindow()); }

void SetAutoCloseTimer(HWND window) {
  auto_close_count = 0;
  const TVantorModuleOptions* options = CurrentOptions();
  if (options && options->FDialogAutoCloseSecs > 0)
    SetTimer(window, kAutoCloseTimer, 1000, AutoCloseTimerProc);
}

void UnsetAutoCloseTimer(HWND window) { KillTimer(window, kAutoCloseTimer); }

void ResetAutoCloseTimer() { auto_close_count = 0; }

void SetAutoTopMost(HWND window, bool top_most) {
  top_most_on = top_most;
  VCore::SnapshotTopWindows();
  SetTimer(window, kTopMostTimer, 10, TopMostTimerProc);
}

void UnsetAutoTopMost(HWND window) { KillTimer(window, kTopMostTimer); }

bool IsDialogInputMessage(UINT message) {
  switch (message) {
    case WM_NCLBUTTONDOWN:
    case WM_NCLBUTTONDBLCLK:
    case WM_NCRBUTTONDOWN:
    case WM_NCRBUTTONDBLCLK:
    case WM_NCMBUTTONDOWN:
    case WM_NCMBUTTONDBLCLK:
    case WM_KEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
    case WM_COMMAND:
    case WM_NOTIFY:
      return true;
  }
  return false;
}

HCURSOR LinkCursor() {
  static HCURSOR cursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND));
  return cursor;
}

int TextWidth(HWND window, HFONT font, const std::string& text) {
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return size.cx;
}

int LineHeight(HWND window, HFONT font) {
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICA metrics{};
  GetTextMetricsA(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return metrics.tmHeight;
}

int TextHeight(HWND window, HFONT font, const std::string& text, int width) {
  return WrappedTextHeight(text, width, LineHeight(window, font),
                           [&](const std::string& word) { return TextWidth(window, font, word); });
}

int ButtonWidth(HWND window, const std::string& text) {
  std::string plain;
  for (char c : text)
    if (c != '&') plain += c;
  const int w = TextWidth(window, fonts.Dialog, plain) + 4 * GetSystemMetrics(SM_CYBORDER) + 16;
  return std::max(w, 75);
}

int PlaceLabel(HWND window, int x, int y, HFONT font, bool advance, const std::string& text,
               int control, int width) {
  const HWND item = GetDlgItem(window, control);
  SetWindowTextA(item, text.c_str());
  SendMessageA(item, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  const int height = TextHeight(window, font, text, width);
  SetWindowPos(item, nullptr, x, y, width, height + 1, SWP_NOZORDER | SWP_NOACTIVATE);
  return advance ? y + height : y;
}

int PlaceButton(HWND window, int control, int x, int y, const std::string& text, int height) {
  const HWND item = GetDlgItem(window, control);
  SetWindowTextA(item, text.c_str());
  const int width = ButtonWidth(window, text);
  SetWindowPos(item, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  return width;
}

std::string ControlText(HWND window, int control) {
  const HWND item = GetDlgItem(window, control);
  const int length = static_cast<int>(SendMessageA(item, WM_GETTEXTLENGTH, 0, 0));
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int got = static_cast<int>(
      SendMessageA(item, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
  text.resize(static_cast<std::size_t>(std::max(0, got)));
  return text;
}

bool IsEscapeDown() {
  BYTE keys[256] = {};
  return GetKeyboardState(keys) && (keys[VK_ESCAPE] & 0x80);
}

void GrowWindowBottom(HWND window, int pixels) {
  RECT r{};
  GetWindowRect(window, &r);
  SetWindowPos(window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top + pixels,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace ExceptionLog
