// Sector selection of a NOR erase or dump: one check-list row per sector of the current table.
#pragma once

#include "Afx.h"
#include "resource.h"

class CSectorCheckListBox : public CCheckListBox {};

class CFlashSectorDlg : public CDialog {
 public:
  explicit CFlashSectorDlg(CWnd* parent = nullptr) : CDialog(IDD_FLASH_SECTOR, parent) {}

  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* dx) override;
  // START: the flags are taken from the check marks.
  void OnOK() override;

  void OnDblclkSectorList();
  void OnCheckChange();
  void OnInvert();
  void OnSelectAll();
  void OnClearAll();
  void OnSelectRange();

  CSectorCheckListBox m_List;

 private:
  void SetSector(int index, bool on);
  DECLARE_MESSAGE_MAP()
};
