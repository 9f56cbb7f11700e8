// Window object over an HWND, message maps, and the exception boundary of window callbacks.
#pragma once

#include <windows.h>

#include <map>
#include <memory>

#include "CString.h"

class CWnd;

// One row of a message map: a message (and for WM_COMMAND / WM_NOTIFY a notification code and a
// range of control ids) routed to a handler thunk.
struct MessageEntry {
  UINT message;
  UINT code;
  UINT idFirst;
  UINT idLast;
  // Returns the message result; a handler that calls Default() lets the default processing run.
  LRESULT (*thunk)(CWnd* self, WPARAM wParam, LPARAM lParam);
};

struct MessageMap {
  const MessageMap* (*base)();
  const MessageEntry* entries;  // ends with a row whose thunk is null
};

#define DECLARE_MESSAGE_MAP()                   \
 protected:                                     \
  static const MessageMap* GetThisMessageMap(); \
  const MessageMap* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                      \
  const MessageMap* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
  const MessageMap* theClass::GetThisMessageMap() {                                 \
    using ThisClass = theClass;                                                     \
    using TheBaseClass = baseClass;                                                 \
    static const MessageEntry entries[] = {
#define END_MESSAGE_MAP()                                                 \
  { 0, 0, 0, 0, nullptr }                                                 \
  }                                                                       \
  ;                                                                       \
  static const MessageMap map{&TheBaseClass::GetThisMessageMap, entries}; \
  return &map;                                                            \
  }

#define DLGFW_SELF static_cast<ThisClass*>(self)
#define ON_CONTROL(code, id, fn)                                                      \
  {WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id), static_cast<UINT>(id), \
   [](CWnd* self, WPARAM, LPARAM) -> LRESULT {                                        \
     DLGFW_SELF->fn();                                                                \
     return 0;                                                                        \
   }},
#define ON_BN_CLICKED(id, fn) ON_CONTROL(BN_CLICKED, id, fn)
#define ON_CBN_SELCHANGE(id, fn) ON_CONTROL(CBN_SELCHANGE, id, fn)
#define ON_LBN_DBLCLK(id, fn) ON_CONTROL(LBN_DBLCLK, id, fn)
#define ON_EN_CHANGE(id, fn) ON_CONTROL(EN_CHANGE, id, fn)
// Handler void fn(UINT id) for a range of buttons.
#define ON_CONTROL_RANGE(code, idFirst, idLast, fn)                                            \
  {WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(idFirst), static_cast<UINT>(idLast), \
   [](CWnd* self, WPARAM w, LPARAM) -> LRESULT {                                               \
     DLGFW_SELF->fn(LOWORD(w));                                                                \
     return 0;                                                                                 \
   }},
// Handler BOOL fn(UINT id, NMHDR*, LRESULT*) for WM_NOTIFY; FALSE lets the default run.
#define ON_NOTIFY_EX_RANGE(code, idFirst, idLast, fn)                                         \
  {WM_NOTIFY, static_cast<UINT>(code), static_cast<UINT>(idFirst), static_cast<UINT>(idLast), \
   [](CWnd* self, WPARAM w, LPARAM l) -> LRESULT {                                            \
     LRESULT result = 0;                                                                      \
     auto* hdr = reinterpret_cast<NMHDR*>(l);                                                 \
     if (!DLGFW_SELF->fn(static_cast<UINT>(hdr->idFrom), hdr, &result)) self->Default();      \
     return result;                                                                           \
   }},
// Handler LRESULT fn(WPARAM, LPARAM).
#define ON_MESSAGE(msg, fn)         \
  {static_cast<UINT>(msg), 0, 0, 0, \
   [](CWnd* self, WPARAM w, LPARAM l) -> LRESULT { return DLGFW_SELF->fn(w, l); }},
#define ON_WM_PAINT()                                             \
  {WM_PAINT, 0, 0, 0, [](CWnd* self, WPARAM, LPARAM) -> LRESULT { \
     DLGFW_SELF->OnPaint();                                       \
     return 0;                                                    \
   }},
#define ON_WM_QUERYDRAGICON()                                             \
  {WM_QUERYDRAGICON, 0, 0, 0, [](CWnd* self, WPARAM, LPARAM) -> LRESULT { \
     return reinterpret_cast<LRESULT>(DLGFW_SELF->OnQueryDragIcon());     \
   }},
#define ON_WM_TIMER()                                               \
  {WM_TIMER, 0, 0, 0, [](CWnd* self, WPARAM w, LPARAM) -> LRESULT { \
     DLGFW_SELF->OnTimer(static_cast<UINT_PTR>(w));                 \
     return 0;                                                      \
   }},
#define ON_WM_DESTROY()                                             \
  {WM_DESTROY, 0, 0, 0, [](CWnd* self, WPARAM, LPARAM) -> LRESULT { \
     DLGFW_SELF->OnDestroy();                                       \
     return 0;                                                      \
   }},
#define ON_WM_SYSCOMMAND()                                                 \
  {WM_SYSCOMMAND, 0, 0, 0, [](CWnd* self, WPARAM w, LPARAM l) -> LRESULT { \
     DLGFW_SELF->OnSysCommand(static_cast<UINT>(w), l);                    \
     return 0;                                                             \
   }},

class CWnd {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  virtual ~CWnd();

  HWND m_hWnd = nullptr;
  HWND GetSafeHwnd() const { return m_hWnd; }
  operator HWND() const { return m_hWnd; }

  // The object attached to a window, or null.
  static CWnd* FromHandlePermanent(HWND h);
  // Attached object or a temporary one owned by this window (valid until it is destroyed).
  CWnd* GetDlgItem(int id);
  HWND GetDlgItemHwnd(int id) const { return ::GetDlgItem(m_hWnd, id); }

  // Subclasses a control of this window: messages go through WindowProc first.
  BOOL SubclassDlgItem(UINT id, CWnd* parent);
  BOOL SubclassWindow(HWND h);
  void Attach(HWND h);
  HWND Detach();

  BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
  BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
  BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
  BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
  void SetWindowText(const wchar_t* text) { ::SetWindowTextW(m_hWnd, text); }
  CString GetWindowText() const;
  void GetWindowText(CString& out) const { out = GetWindowText(); }
  int GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
  void SetDlgItemText(int id, const wchar_t* text) { ::SetDlgItemTextW(m_hWnd, id, text); }
  CString GetDlgItemText(int id) const;
  void CheckDlgButton(int id, UINT check) { ::CheckDlgButton(m_hWnd, id, check); }
  UINT IsDlgButtonChecked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id); }
  void SetFocus() { ::SetFocus(m_hWnd); }
  BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
  void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
  LRESULT SendMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) {
    return ::SendMessageW(m_hWnd, msg, w, l);
  }
  BOOL PostMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) {
    return ::PostMessageW(m_hWnd, msg, w, l);
  }
  HICON SetIcon(HICON icon, BOOL big) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
  }
  UINT_PTR SetTimer(UINT_PTR id, UINT ms) { return ::SetTimer(m_hWnd, id, ms, nullptr); }
  BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
  BOOL DestroyWindow();
  int MessageBox(const wchar_t* text, const wchar_t* caption = nullptr, UINT type = MB_OK);

  // Handlers that message maps name; the defaults let the system's processing run.
  virtual void OnPaint() { Default(); }
  virtual HCURSOR OnQueryDragIcon() {
    Default();
    return nullptr;
  }
  virtual void OnTimer(UINT_PTR) { Default(); }
  virtual void OnDestroy() { Default(); }
  virtual void OnSysCommand(UINT, LPARAM) { Default(); }
  virtual BOOL PreTranslateMessage(MSG*) { return FALSE; }
  // Owner-drawn controls get their parent's WM_DRAWITEM / WM_MEASUREITEM.
  virtual void DrawItem(DRAWITEMSTRUCT*) {}
  virtual void MeasureItem(MEASUREITEMSTRUCT*) {}

  // Inside a handler: the message goes on to the default processing after the handler.
  void Default() { m_bDefault = true; }

  static const MessageMap* GetThisMessageMap();
  virtual const MessageMap* GetMessageMap() const;

 protected:
  // Routes a message through the message map; true when a handler took it.
  virtual bool OnWndMsg(UINT msg, WPARAM w, LPARAM l, LRESULT* result);
  // Subclassed windows: message map first, then the original procedure.
  virtual LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l);
  LRESULT CallOriginal(UINT msg, WPARAM w, LPARAM l);
  // Called for WM_NCDESTROY of a subclassed window.
  virtual void PostNcDestroy() {}

  void SetPermanent(HWND h);
  void ClearPermanent();
  bool m_bDefault = false;

 private:
  static LRESULT CALLBACK SubclassProc(HWND h, UINT msg, WPARAM w, LPARAM l);
  WNDPROC m_oldProc = nullptr;
  std::map<HWND, std::unique_ptr<CWnd>> m_temporaries;
};

// Caption of message boxes: the application's name (the executable's base name).
const wchar_t* AfxGetAppName();

// Exception boundary of every window, dialog and timer procedure of the layer: hands the current
// exception to the application object's handler hook; never lets it escape into Win32.
LRESULT HandleCallbackException(HWND hwnd, UINT msg, WPARAM w, LPARAM l);
