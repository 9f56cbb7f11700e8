// Tooltip control whose tools are windows; texts are asked from the parent (TTN_NEEDTEXTW).
#pragma once

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "CWnd.h"

class CToolTipCtrl : public CWnd {
 public:
  ~CToolTipCtrl() override;
  BOOL Create(CWnd* parent, DWORD style = 0);
  // The tool is the window itself; text LPSTR_TEXTCALLBACKW asks the parent when shown.
  BOOL AddTool(CWnd* tool, const wchar_t* text = LPSTR_TEXTCALLBACKW);
  void RelayEvent(MSG* msg);
  void Activate(BOOL active) { ::SendMessageW(m_hWnd, TTM_ACTIVATE, active, 0); }
  int GetToolCount() const {
    return static_cast<int>(::SendMessageW(m_hWnd, TTM_GETTOOLCOUNT, 0, 0));
  }
  void SetMaxTipWidth(int px) { ::SendMessageW(m_hWnd, TTM_SETMAXTIPWIDTH, 0, px); }

 private:
  HWND m_parent = nullptr;
};
