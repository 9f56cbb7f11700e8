// Dialogs from .rc templates (modal with their own message loop, or modeless) and data exchange.
#pragma once

#include <windows.h>

#include "CString.h"
#include "CWnd.h"

class CDataExchange {
 public:
  CDataExchange(CWnd* dlg, BOOL save) : m_pDlgWnd(dlg), m_bSaveAndValidate(save) {}
  CWnd* m_pDlgWnd;
  BOOL m_bSaveAndValidate;  // TRUE: controls -> members
  HWND Control(int id) const { return ::GetDlgItem(m_pDlgWnd->m_hWnd, id); }
};

// Subclasses a control into a permanent object the first time.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);
// Check box: 0 unchecked, 1 checked, 2 indeterminate.
void DDX_Check(CDataExchange* dx, int id, int& value);
// Radio group starting at id (the control with WS_GROUP): index of the checked button, -1 none.
void DDX_Radio(CDataExchange* dx, int id, int& value);
// Combo box selection index (-1 none).
void DDX_CBIndex(CDataExchange* dx, int id, int& value);
void DDX_Text(CDataExchange* dx, int id, CString& value);
void DDX_Text(CDataExchange* dx, int id, int& value);

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, CWnd* parent = nullptr)
      : m_nIDHelp(templateId), m_pParentWnd(parent) {}
  ~CDialog() override;

  // Runs the dialog with its own message loop (PreTranslateMessage, then IsDialogMessage).
  virtual INT_PTR DoModal();
  // Modeless: the window stays until DestroyWindow.
  BOOL Create(UINT templateId, CWnd* parent = nullptr);
  void EndDialog(int result);
  BOOL UpdateData(BOOL save = TRUE);

  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange*) {}

  UINT m_nIDHelp;

 protected:
  bool OnWndMsg(UINT msg, WPARAM w, LPARAM l, LRESULT* result) override;
  CWnd* m_pParentWnd;

 private:
  static INT_PTR CALLBACK DialogProc(HWND h, UINT msg, WPARAM w, LPARAM l);
  HWND CreateFromTemplate(UINT templateId, HWND owner);
  bool m_modal = false;
  bool m_ended = false;
  INT_PTR m_result = IDCANCEL;
};
