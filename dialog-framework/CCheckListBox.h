// List box with a check box in front of each row (owner-drawn, LBS_OWNERDRAWFIXED |
// LBS_HASSTRINGS). The check state of a row is its item data, so other processes can read it
// with LB_GETITEMDATA. A click on the box toggles it and tells the parent CLBN_CHKCHANGE.
#pragma once

#include "Controls.h"

#ifndef CLBN_CHKCHANGE
#define CLBN_CHKCHANGE 40
#endif

class CCheckListBox : public CListBox {
 public:
  void SetCheckStyle(UINT style) { m_style = style; }
  UINT GetCheckStyle() const { return m_style; }
  void SetCheck(int index, int check);
  int GetCheck(int index) const;

  void DrawItem(DRAWITEMSTRUCT* dis) override;
  void MeasureItem(MEASUREITEMSTRUCT* mis) override;

  // Width of the check box area at the left of a row, in pixels.
  int CheckBoxWidth() const;

 protected:
  LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l) override;

 private:
  int ItemHeight() const;
  UINT m_style = BS_AUTOCHECKBOX;
};
