#include "Controls.h"

#include <string>

CString CComboBox::GetLBText(int i) const {
  LRESULT n = ::SendMessageW(m_hWnd, CB_GETLBTEXTLEN, i, 0);
  if (n == CB_ERR) return CString();
  std::wstring buf(static_cast<std::size_t>(n) + 1, L'\0');
  n = ::SendMessageW(m_hWnd, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf.data()));
  buf.resize(n == CB_ERR ? 0 : static_cast<std::size_t>(n));
  return CString(std::move(buf));
}

CString CListBox::GetText(int i) const {
  LRESULT n = ::SendMessageW(m_hWnd, LB_GETTEXTLEN, i, 0);
  if (n == LB_ERR) return CString();
  std::wstring buf(static_cast<std::size_t>(n) + 1, L'\0');
  n = ::SendMessageW(m_hWnd, LB_GETTEXT, i, reinterpret_cast<LPARAM>(buf.data()));
  buf.resize(n == LB_ERR ? 0 : static_cast<std::size_t>(n));
  return CString(std::move(buf));
}

void CRichEditCtrl::AppendText(const wchar_t* text) {
  long end = GetTextLength();
  SetSel(end, end);
  ReplaceSel(text);
  ::SendMessageW(m_hWnd, EM_SCROLLCARET, 0, 0);
}
