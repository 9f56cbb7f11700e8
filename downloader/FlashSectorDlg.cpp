#include "FlashSectorDlg.h"

#include "SectorInfo.h"

BEGIN_MESSAGE_MAP(CFlashSectorDlg, CDialog)
ON_LBN_DBLCLK(IDC_SECTOR_LIST, OnDblclkSectorList)
ON_CONTROL(CLBN_CHKCHANGE, IDC_SECTOR_LIST, OnCheckChange)
ON_BN_CLICKED(IDC_INVERT, OnInvert)
ON_BN_CLICKED(IDC_SELECT_ALL, OnSelectAll)
ON_BN_CLICKED(IDC_CLEAR_ALL, OnClearAll)
ON_BN_CLICKED(IDC_SELECT_RANGE, OnSelectRange)
END_MESSAGE_MAP()

void CFlashSectorDlg::DoDataExchange(CDataExchange* dx) {
  DDX_Control(dx, IDC_SECTOR_LIST, m_List);
}

BOOL CFlashSectorDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  auto* from = static_cast<CComboBox*>(GetDlgItem(IDC_FROM));
  auto* to = static_cast<CComboBox*>(GetDlgItem(IDC_TO));
  int count = g_pSectorTable ? g_nSectorCount : 0;
  for (int i = 0; i < count; ++i) {
    m_List.AddString(CString::FromUtf8(FormatSectorRow(g_pSectorTable[i])));
    m_List.SetCheck(i, g_SectorFlags[i] ? 1 : 0);
    CString n;
    n.Format(L"%03d", i);
    from->AddString(n);
    to->AddString(n);
  }
  from->SetCurSel(0);
  to->SetCurSel(0);
  m_List.SetCheckStyle(BS_CHECKBOX);
  return TRUE;
}

void CFlashSectorDlg::SetSector(int index, bool on) {
  if (index < 0 || index >= g_nSectorCount) return;
  g_SectorFlags[index] = on ? 1 : 0;
  m_List.SetCheck(index, on ? 1 : 0);
}

void CFlashSectorDlg::OnDblclkSectorList() {
  int i = m_List.GetCurSel();
  if (i >= 0 && i < g_nSectorCount) SetSector(i, g_SectorFlags[i] == 0);
}

// A click on a row's box changed its mark: the flag follows, so both always agree.
void CFlashSectorDlg::OnCheckChange() {
  for (int i = 0; i < g_nSectorCount && i < m_List.GetCount(); ++i)
    g_SectorFlags[i] = m_List.GetCheck(i) ? 1 : 0;
}

void CFlashSectorDlg::OnInvert() {
  for (int i = 0; i < g_nSectorCount; ++i) SetSector(i, g_SectorFlags[i] == 0);
}

void CFlashSectorDlg::OnSelectAll() {
  for (int i = 0; i < g_nSectorCount; ++i) SetSector(i, true);
}

void CFlashSectorDlg::OnClearAll() {
  for (int i = 0; i < g_nSectorCount; ++i) SetSector(i, false);
}

void CFlashSectorDlg::OnSelectRange() {
  int from = static_cast<int>(::SendDlgItemMessageW(m_hWnd, IDC_FROM, CB_GETCURSEL, 0, 0));
  int to = static_cast<int>(::SendDlgItemMessageW(m_hWnd, IDC_TO, CB_GETCURSEL, 0, 0));
  if (from < 0 || to < 0) return;
  if (to < from) {
    AfxMessageBox(L"Selection Error!");
    return;
  }
  for (int i = from; i <= to; ++i) SetSector(i, true);
}

void CFlashSectorDlg::OnOK() {
  OnCheckChange();
  CDialog::OnOK();
}
