#include "CToolTipCtrl.h"

#include "CWinApp.h"

CToolTipCtrl::~CToolTipCtrl() {
  if (m_hWnd) {
    HWND h = m_hWnd;
    m_hWnd = nullptr;
    ::DestroyWindow(h);
  }
}

BOOL CToolTipCtrl::Create(CWnd* parent, DWORD style) {
  m_parent = parent->m_hWnd;
  m_hWnd = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | style,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_parent,
                           nullptr, AfxGetResourceHandle(), nullptr);
  return m_hWnd != nullptr;
}

BOOL CToolTipCtrl::AddTool(CWnd* tool, const wchar_t* text) {
  TOOLINFOW ti{};
  ti.cbSize = sizeof(ti);
  ti.uFlags = TTF_IDISHWND;
  ti.hwnd = m_parent;
  ti.uId = reinterpret_cast<UINT_PTR>(tool->m_hWnd);
  ti.hinst = AfxGetResourceHandle();
  ti.lpszText = const_cast<wchar_t*>(text);
  return static_cast<BOOL>(::SendMessageW(m_hWnd, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti)));
}

void CToolTipCtrl::RelayEvent(MSG* msg) {
  if (m_hWnd) ::SendMessageW(m_hWnd, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(msg));
}
