// Thin wrappers of the standard and common controls the dialogs use.
#pragma once

// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>
// clang-format on

#include "CString.h"
#include "CWnd.h"

class CButton : public CWnd {
 public:
  int GetCheck() const { return static_cast<int>(::SendMessageW(m_hWnd, BM_GETCHECK, 0, 0)); }
  void SetCheck(int check) { ::SendMessageW(m_hWnd, BM_SETCHECK, static_cast<WPARAM>(check), 0); }
};

class CEdit : public CWnd {
 public:
  void SetSel(int start, int end) { ::SendMessageW(m_hWnd, EM_SETSEL, start, end); }
  void ReplaceSel(const wchar_t* text) {
    ::SendMessageW(m_hWnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
  }
  void SetReadOnly(BOOL ro = TRUE) { ::SendMessageW(m_hWnd, EM_SETREADONLY, ro, 0); }
};

class CComboBox : public CWnd {
 public:
  int AddString(const wchar_t* s) {
    return static_cast<int>(::SendMessageW(m_hWnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s)));
  }
  void ResetContent() { ::SendMessageW(m_hWnd, CB_RESETCONTENT, 0, 0); }
  int GetCount() const { return static_cast<int>(::SendMessageW(m_hWnd, CB_GETCOUNT, 0, 0)); }
  int GetCurSel() const { return static_cast<int>(::SendMessageW(m_hWnd, CB_GETCURSEL, 0, 0)); }
  int SetCurSel(int i) { return static_cast<int>(::SendMessageW(m_hWnd, CB_SETCURSEL, i, 0)); }
  CString GetLBText(int i) const;
  int SetDroppedWidth(int px) {
    return static_cast<int>(::SendMessageW(m_hWnd, CB_SETDROPPEDWIDTH, px, 0));
  }
  int GetDroppedWidth() const {
    return static_cast<int>(::SendMessageW(m_hWnd, CB_GETDROPPEDWIDTH, 0, 0));
  }
};

class CListBox : public CWnd {
 public:
  int AddString(const wchar_t* s) {
    return static_cast<int>(::SendMessageW(m_hWnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s)));
  }
  void ResetContent() { ::SendMessageW(m_hWnd, LB_RESETCONTENT, 0, 0); }
  int GetCount() const { return static_cast<int>(::SendMessageW(m_hWnd, LB_GETCOUNT, 0, 0)); }
  int GetCurSel() const { return static_cast<int>(::SendMessageW(m_hWnd, LB_GETCURSEL, 0, 0)); }
  int SetCurSel(int i) { return static_cast<int>(::SendMessageW(m_hWnd, LB_SETCURSEL, i, 0)); }
  CString GetText(int i) const;
  LRESULT GetItemData(int i) const { return ::SendMessageW(m_hWnd, LB_GETITEMDATA, i, 0); }
  void SetItemData(int i, LPARAM d) { ::SendMessageW(m_hWnd, LB_SETITEMDATA, i, d); }
  void SetHorizontalExtent(int px) { ::SendMessageW(m_hWnd, LB_SETHORIZONTALEXTENT, px, 0); }
};

class CRichEditCtrl : public CWnd {
 public:
  void SetSel(long start, long end) {
    CHARRANGE r{start, end};
    ::SendMessageW(m_hWnd, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&r));
  }
  void ReplaceSel(const wchar_t* text, BOOL canUndo = FALSE) {
    ::SendMessageW(m_hWnd, EM_REPLACESEL, canUndo, reinterpret_cast<LPARAM>(text));
  }
  long GetTextLength() const { return static_cast<long>(::GetWindowTextLengthW(m_hWnd)); }
  // Appends at the end and scrolls to it.
  void AppendText(const wchar_t* text);
};

class CProgressCtrl : public CWnd {
 public:
  void SetRange32(int lower, int upper) { ::SendMessageW(m_hWnd, PBM_SETRANGE32, lower, upper); }
  int SetPos(int pos) { return static_cast<int>(::SendMessageW(m_hWnd, PBM_SETPOS, pos, 0)); }
  int GetPos() const { return static_cast<int>(::SendMessageW(m_hWnd, PBM_GETPOS, 0, 0)); }
  int OffsetPos(int d) { return static_cast<int>(::SendMessageW(m_hWnd, PBM_DELTAPOS, d, 0)); }
};
