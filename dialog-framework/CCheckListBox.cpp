#include "CCheckListBox.h"

#include <windowsx.h>

#include <string>

void CCheckListBox::SetCheck(int index, int check) {
  if (index < 0 || index >= GetCount()) return;
  SetItemData(index, check);
  RECT r;
  if (::SendMessageW(m_hWnd, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&r)) != LB_ERR)
    ::InvalidateRect(m_hWnd, &r, FALSE);
}

int CCheckListBox::GetCheck(int index) const {
  LRESULT d = GetItemData(index);
  return d == LB_ERR ? 0 : static_cast<int>(d);
}

int CCheckListBox::ItemHeight() const {
  HDC dc = ::GetDC(m_hWnd);
  HFONT font = reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
  HGDIOBJ old = font ? ::SelectObject(dc, font) : nullptr;
  TEXTMETRICW tm{};
  ::GetTextMetricsW(dc, &tm);
  if (old) ::SelectObject(dc, old);
  ::ReleaseDC(m_hWnd, dc);
  return tm.tmHeight + 2 > 14 ? tm.tmHeight + 2 : 14;
}

int CCheckListBox::CheckBoxWidth() const { return ItemHeight() + 2; }

void CCheckListBox::MeasureItem(MEASUREITEMSTRUCT* mis) {
  mis->itemHeight = static_cast<UINT>(ItemHeight());
}

void CCheckListBox::DrawItem(DRAWITEMSTRUCT* dis) {
  if (dis->itemID == static_cast<UINT>(-1)) return;
  HDC dc = dis->hDC;
  RECT row = dis->rcItem;
  int box = row.bottom - row.top;
  RECT check{row.left + 1, row.top + 1, row.left + box - 1, row.bottom - 1};
  RECT text = row;
  text.left += box + 2;
  bool selected = (dis->itemState & ODS_SELECTED) != 0;
  ::FillRect(dc, &row, ::GetSysColorBrush(COLOR_WINDOW));
  UINT state = DFCS_BUTTONCHECK | DFCS_FLAT;
  if (GetCheck(static_cast<int>(dis->itemID))) state |= DFCS_CHECKED;
  ::DrawFrameControl(dc, &check, DFC_BUTTON, state);
  ::FillRect(dc, &text, ::GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  CString s = GetText(static_cast<int>(dis->itemID));
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, ::GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
  ::DrawTextW(dc, s, s.GetLength(), &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
  if (dis->itemState & ODS_FOCUS) ::DrawFocusRect(dc, &text);
}

LRESULT CCheckListBox::WindowProc(UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_LBUTTONDOWN || msg == WM_LBUTTONDBLCLK) {
    POINT pt{GET_X_LPARAM(l), GET_Y_LPARAM(l)};
    LRESULT hit = ::SendMessageW(m_hWnd, LB_ITEMFROMPOINT, 0, MAKELPARAM(pt.x, pt.y));
    int index = LOWORD(hit);
    if (HIWORD(hit) == 0 && pt.x < CheckBoxWidth() && index < GetCount()) {
      // A click on the box toggles the check mark; it does not start a double click.
      SetCheck(index, GetCheck(index) ? 0 : 1);
      HWND parent = ::GetParent(m_hWnd);
      int id = ::GetDlgCtrlID(m_hWnd);
      ::SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, CLBN_CHKCHANGE),
                     reinterpret_cast<LPARAM>(m_hWnd));
      ::SendMessageW(m_hWnd, LB_SETCURSEL, index, 0);
      return 0;
    }
  }
  if (msg == WM_KEYDOWN && w == VK_SPACE) {
    int index = GetCurSel();
    if (index >= 0) {
      SetCheck(index, GetCheck(index) ? 0 : 1);
      ::SendMessageW(::GetParent(m_hWnd), WM_COMMAND,
                     MAKEWPARAM(::GetDlgCtrlID(m_hWnd), CLBN_CHKCHANGE),
                     reinterpret_cast<LPARAM>(m_hWnd));
      return 0;
    }
  }
  return CListBox::WindowProc(msg, w, l);
}
