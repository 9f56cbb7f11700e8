// The exception dialogs: the launcher that puts a processed exception in front of the user
// (message box, short dialog VL_MS_DIALOG, detailed dialog VL_DIALOG with its six tab pages),
// the request dialog VL_REQUEST, and the helpers every library dialog shares (fonts, own-look
// frame, placement in the work area, auto-close and stay-in-front timers, text metrics).
// They run in the exception worker thread while the faulting thread waits: nothing here needs
// the message loop of another thread.
#pragma once

#include <windows.h>

#include <string>

namespace ExceptionLog {

inline constexpr char kExceptionDialogTemplate[] = "VL_Dialog";
inline constexpr char kSimpleDialogTemplate[] = "VL_MS_Dialog";
inline constexpr char kRequestDialogTemplate[] = "VL_Request";

// Controls of VL_DIALOG.
enum : int {
  kDlgMessage = 101,
  kDlgOk = 102,
  kDlgTerminate = 103,
  kDlgDetails = 104,
  kDlgHelp = 105,
  kDlgTabs = 1000,
  kDlgEtched = 2000,
  kDlgSendBox = 3000,
  kDlgScreenshotBox = 4000,
  kDlgCopyBox = 5000,
};
// Controls of VL_MS_DIALOG.
enum : int {
  kMsTitle = 102,
  kMsMessage = 103,
  kMsTerminateBox = 104,
  kMsTellUs = 105,
  kMsCreated = 106,
  kMsLinkLead = 107,
  kMsDoing = 108,
  kMsDoingEdit = 109,
  kMsEmailLabel = 110,
  kMsEmailEdit = 111,
  kMsSend = 1000,
  kMsDontSend = 1001,
  kMsHelp = 1002,
};
// Controls of VL_REQUEST and of the tab pages.
enum : int { kRequestLabel = 100, kRequestEdit = 101, kPageLabel = 102, kPageControl = 103 };

// The dialog layer's state beside the processing line's TDialogState (one exception at a
// time, no lock).
struct TDialogWindowState {
  volatile bool Shown = false;  // a dialog has painted (the dialog-open flag)
  bool Cancelled = false;       // closed with Escape or the close box
  HWND Window = nullptr;        // the dialog on screen
  HWND PreviousForeground = nullptr;
  bool Detailed = false;
  bool ForceDetailed = false;
  RECT WorkArea{};  // stored before the dialogs: the foreground window's monitor
  std::string LastEmail;
};
TDialogWindowState& DialogWindowState();
// The work area of the monitor of the foreground window, stored for the dialogs.
void StoreDialogWorkArea();
// The stored work area, or the foreground window's when none was stored.
RECT StoredDialogWorkArea();
// The dialog-open flag that the waiting faulting thread tests before pumping its messages.
bool IsDialogOpen();

// Shows the processed exception by the dialog kind; repeats while an action-8 handler vetoes
// the chosen termination.
void ShowExceptionDialog(bool beep);
// Shows VL_REQUEST when the options ask for the reproduce steps.
void ShowRequestDialog();
// The processing line's dialog step: the first showing of an exception (work area stored,
// screenshot choice from the send flags), then the rounds that a dialog asked for by leaving
// the dialog kind set, in the detailed form.
void ShowExceptionDialogStep(bool first_showing);

INT_PTR CALLBACK ExceptionDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK MSDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK RequestDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Creates the child dialog of a tab page (index: the selected tab, or minus the first tab).
void ShowTabPage(int index);

// ---- Shared helpers ----

HINSTANCE DialogModule();
std::string DialogText(int index);  // the options' text table (defaults without options)

struct TDialogFonts {
  HFONT Caption = nullptr, Dialog = nullptr, Link = nullptr, Underlined = nullptr, Bold = nullptr,
        Code = nullptr, List = nullptr;
  int PointSize = 8;
  std::string CodeFace;
  int Charset = 0;
};
TDialogFonts& DialogFonts();
void CreateDialogFonts();
void DestroyDialogFonts();

// Own look: the face colour and the frame painting of all library dialogs.
inline constexpr COLORREF kOwnLookFace = 0xC8D0D4;
bool OwnLook();
// WM_NCPAINT / WM_NCACTIVATE with own look; true when it painted (the message is handled).
bool PaintDialogFrame(HWND window, UINT message, WPARAM wparam, const std::string& caption,
                      bool compact);
// The same inside a dialog procedure: true when handled, with the message's result set.
bool DialogFrameMessage(HWND window, UINT message, WPARAM wparam, const std::string& caption,
                        bool compact);
// Caption style (own look: the small tool-window caption), top-most, the height of the
// caption metric; returns the caption height used in layout.
int PrepareDialogWindow(HWND window, bool small_caption, bool top_most);
void CentreInRect(HWND window, const RECT& area);
RECT MonitorWorkAreaOfWindow(HWND window);
RECT ActiveMonitorWorkArea();

// Timer 2: WM_CLOSE after the options' auto-close seconds without input.
void SetAutoCloseTimer(HWND window);
void UnsetAutoCloseTimer(HWND window);
void ResetAutoCloseTimer();
// Timer 3: brings the dialog back in front of the process's older windows.
void SetAutoTopMost(HWND window, bool top_most);
void UnsetAutoTopMost(HWND window);
// The timer ids the dialogs use.
inline constexpr UINT_PTR kPaintCheckTimer = 1, kAutoCloseTimer = 2, kTopMostTimer = 3;
// True for the input messages that restart the auto-close count.
bool IsDialogInputMessage(UINT message);

HCURSOR LinkCursor();
int TextWidth(HWND window, HFONT font, const std::string& text);
int TextHeight(HWND window, HFONT font, const std::string& text, int width);
int LineHeight(HWND window, HFONT font);
int ButtonWidth(HWND window, const std::string& text);
int PlaceLabel(HWND window, int x, int y, HFONT font, bool advance, const std::string& text,
               int control, int width);
int PlaceButton(HWND window, int control, int x, int y, const std::string& text, int height);
std::string ControlText(HWND window, int control);
bool IsEscapeDown();
void GrowWindowBottom(HWND window, int pixels);

}  // namespace ExceptionLog
