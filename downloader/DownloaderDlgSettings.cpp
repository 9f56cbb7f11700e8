// Settings in the registry and the six path lists of the main dialog.

#include "DownloaderDlg.h"
#include "DownloaderDlgShared.h"

using namespace dlg_shared;

void CDownloaderDlg::LoadPathHistory() {
  m_OperationState = 0;
  m_bBinFileOpen = m_bSlaveBinFileOpen = m_bQvsFileOpen = m_bDumpFileOpen = FALSE;
  m_Bin = BinaryRun{};
  m_nMasterMode = 0;
  m_nSlaveMode = 0;
  m_bPowerOn = m_bAutoDownload = m_bNoAutoFormat = 0;

  // Without the history file the run keeps no history and loads no path list.
  if (!g_pHistoryFile) {
    AfxMessageBox(L"Create History File FAIL!!!");
  } else {
    g_pHistoryFile->Close();
    LoadPathLists();
  }

  EnableItems({IDC_DOWNLOAD,
               IDC_STOP,
               IDC_ERASE,
               IDC_DUMP,
               IDC_FORMAT,
               IDC_EXPLORER,
               IDC_STATUS,
               IDC_QVS_PATH,
               IDC_QVS_BROWSE,
               IDC_LOADER,
               IDC_BINARY,
               IDC_ENGINE,
               IDC_LOADER_ADDR_CHECK,
               IDC_LOADER_ADDR,
               IDC_BINARY_ADDR,
               IDC_ENGINE_ADDR,
               IDC_SLAVE_ADDR_CHECK,
               IDC_SLAVE_QVS_PATH,
               IDC_HISTORY,
               IDC_DEL_HISTORY},
              FALSE);
  EnableItems({IDC_BINARY_ADDR_CHECK}, TRUE);
  m_bBinary = 1;
}

void CDownloaderDlg::LoadPathLists() {
  CWinApp* app = AfxGetApp();
  for (int combo : {IDC_LOADER_PATH, IDC_BINARY_PATH, IDC_ENGINE_PATH, IDC_QVS_PATH,
                    IDC_SLAVE_BIN_PATH, IDC_SLAVE_QVS_PATH}) {
    PathList p = ListFor(combo);
    for (int i = 0; i < 3; ++i)
      p.list->entries[i] = app->GetProfileString(kSection, p.names[i]).str();
    FillCombo(p);
  }
  for (int combo : {IDC_LOADER_PATH, IDC_QVS_PATH, IDC_SLAVE_BIN_PATH, IDC_SLAVE_QVS_PATH})
    static_cast<CComboBox*>(GetDlgItem(combo))->SetDroppedWidth(700);

  m_strQvsPath = app->GetProfileString(kSection, L"a");
  m_strCfgPath = CfgNameFor(m_strQvsPath.str());
  m_strSlaveQvsPath = app->GetProfileString(kSection, L"d");
  m_strSlaveCfgPath = CfgNameFor(m_strSlaveQvsPath.str());
  m_strSlaveBinPath = m_SlaveBinPaths.Current();
}

CDownloaderDlg::PathList CDownloaderDlg::ListFor(int combo) {
  switch (combo) {
    case IDC_LOADER_PATH:
      return {&m_LoaderPaths, combo, {L"loader1", L"loader2", L"loader3"}};
    case IDC_BINARY_PATH:
      return {&m_BinaryPaths, combo, {L"binary1", L"binary2", L"binary3"}};
    case IDC_ENGINE_PATH:
      return {&m_EnginePaths, combo, {L"engine1", L"engine2", L"engine3"}};
    case IDC_QVS_PATH:
      return {&m_QvsPaths, combo, {L"a", L"b", L"c"}};
    case IDC_SLAVE_BIN_PATH:
      return {&m_SlaveBinPaths, combo, {L"4", L"5", L"6"}};
    default:
      return {&m_SlaveQvsPaths, IDC_SLAVE_QVS_PATH, {L"d", L"e", L"F"}};
  }
}

void CDownloaderDlg::FillCombo(const PathList& p) {
  auto* combo = static_cast<CComboBox*>(GetDlgItem(p.combo));
  combo->ResetContent();
  for (const auto& e : p.list->entries) {
    if (!e.empty()) combo->AddString(e.c_str());
  }
  combo->SetWindowText(p.list->Current().c_str());
}

void CDownloaderDlg::StorePathList(const PathList& p) {
  for (int i = 0; i < 3; ++i)
    AfxGetApp()->WriteProfileString(kSection, p.names[i], p.list->entries[i].c_str());
}

bool CDownloaderDlg::ChooseOpenFile(const wchar_t* filter, const wchar_t* defExt,
                                    const CString& initial, CString& chosen) {
  CFileDialog dlg(TRUE, defExt, initial, OFN_HIDEREADONLY | OFN_FILEMUSTEXIST, filter, this);
  if (dlg.DoModal() != IDOK) return false;
  chosen = dlg.GetPathName();
  return !chosen.IsEmpty();
}

void CDownloaderDlg::ShowFileSize(const CString& path, int sizeEdit, const wchar_t* failText) {
  CFile f;
  if (!f.Open(path, CFile::modeRead | CFile::shareDenyNone)) {
    m_OperationState = kStateIdle;
    AfxMessageBox(failText);
    return;
  }
  CString s;
  s.Format(L"%d", static_cast<int>(f.GetLength()));
  SetDlgItemText(sizeEdit, s);
}

void CDownloaderDlg::BrowsePathList(int comboId, const wchar_t* filter, const wchar_t* defExt,
                                    int sizeEdit, const wchar_t* failText) {
  PathList p = ListFor(comboId);
  CString chosen;
  if (!ChooseOpenFile(filter, defExt, p.list->Current().c_str(), chosen)) {
    AfxMessageBox(L"No file selected!");
    GetDlgItem(comboId)->SetWindowText(p.list->Current().c_str());
    if (comboId == IDC_QVS_PATH) {
      m_strQvsPath.Empty();
      m_strCfgPath.Empty();
    }
    return;
  }
  p.list->Choose(chosen.str());
  FillCombo(p);
  StorePathList(p);
  ShowFileSize(chosen, sizeEdit, failText);
  if (comboId == IDC_QVS_PATH) {
    m_strQvsPath = chosen;
    m_strCfgPath = CfgNameFor(chosen.str());
  } else if (comboId == IDC_SLAVE_QVS_PATH) {
    m_strSlaveQvsPath = chosen;
    m_strSlaveCfgPath = CfgNameFor(chosen.str());
  } else if (comboId == IDC_SLAVE_BIN_PATH) {
    m_strSlaveBinPath = chosen;
  }
}

void CDownloaderDlg::SelectPathEntry(int comboId) {
  PathList p = ListFor(comboId);
  auto* combo = static_cast<CComboBox*>(GetDlgItem(comboId));
  int sel = combo->GetCurSel();
  if (sel < 0) return;
  CString chosen = combo->GetLBText(sel);
  p.list->Choose(chosen.str());
  FillCombo(p);
  StorePathList(p);
  combo->SetCurSel(0);
  if (comboId == IDC_QVS_PATH) {
    m_strQvsPath = chosen;
    m_strCfgPath = CfgNameFor(chosen.str());
  }
}

void CDownloaderDlg::OnBinBrowse() {
  BrowsePathList(IDC_LOADER_PATH, kFilterA, L".cla", IDC_LOADER_SIZE, kFailBin);
}

void CDownloaderDlg::OnBinaryBrowse() {
  BrowsePathList(IDC_BINARY_PATH, kFilterA, L".cla", IDC_BINARY_SIZE, kFailBin);
}

void CDownloaderDlg::OnEngineBrowse() {
  BrowsePathList(IDC_ENGINE_PATH, kFilterB, L".cla", IDC_ENGINE_SIZE, kFailBin);
}

void CDownloaderDlg::OnSlaveBinBrowse() {
  BrowsePathList(IDC_SLAVE_BIN_PATH, kFilterA, L".cla", IDC_SLAVE_BIN_SIZE, kFailBin);
}

void CDownloaderDlg::OnSlaveQvsBrowse() {
  BrowsePathList(IDC_SLAVE_QVS_PATH, kFilterQ, L".qvs", IDC_SLAVE_QVS_SIZE, kFailOgm);
}

void CDownloaderDlg::OnQvsBrowse() {
  BrowsePathList(IDC_QVS_PATH, kFilterQ, L".qvs", IDC_QVS_SIZE, kFailOgm);
}

void CDownloaderDlg::OnSelchangeBinPath() { SelectPathEntry(IDC_LOADER_PATH); }

void CDownloaderDlg::OnSelchangeQvsPath() { SelectPathEntry(IDC_QVS_PATH); }

void CDownloaderDlg::OnSelchangeBinaryPath() { SelectPathEntry(IDC_BINARY_PATH); }

void CDownloaderDlg::OnSelchangeEnginePath() { SelectPathEntry(IDC_ENGINE_PATH); }

void CDownloaderDlg::OnSelchangeComPort() {
  UpdateData(TRUE);
  AfxGetApp()->WriteProfileInt(kSection, L"COM", m_nComPort);
}

void CDownloaderDlg::OnSelchangeSpeed() {
  UpdateData(TRUE);
  AfxGetApp()->WriteProfileInt(kSection, L"SPEED", m_nSpeed);
}

void CDownloaderDlg::OnMaster() {
  m_bMaster = IsDlgButtonChecked(IDC_MASTER) == BST_CHECKED;
  AfxGetApp()->WriteProfileInt(kSection, L"ARM9", m_bMaster);
  if (m_bMaster)
    EndOperation();
  else
    DisableControls();
}

void CDownloaderDlg::OnSlave() {
  m_bSlave = IsDlgButtonChecked(IDC_SLAVE) == BST_CHECKED;
  AfxGetApp()->WriteProfileInt(kSection, L"ARM7", m_bSlave);
  EnableSlaveControls(m_bSlave);
}

void CDownloaderDlg::OnLoader() {
  m_bLoader = IsDlgButtonChecked(IDC_LOADER) == BST_CHECKED;
  m_bLoaderSwitch = m_bLoader;
  AfxGetApp()->WriteProfileInt(kSection, L"BIN1", m_bLoader);
  EnableItems({IDC_LOADER_PATH, IDC_LOADER_BROWSE, IDC_LOADER_SIZE, IDC_LOADER_ADDR_CHECK},
              m_bLoader);
}

void CDownloaderDlg::OnBinary() {
  m_bBinary = 1;
  m_bBinarySwitch = TRUE;
  CheckDlgButton(IDC_BINARY, BST_CHECKED);
  EnableItems({IDC_BINARY_PATH, IDC_BINARY_BROWSE, IDC_BINARY_SIZE, IDC_BINARY_ADDR_CHECK}, TRUE);
}

void CDownloaderDlg::OnEngine() {
  m_bEngine = IsDlgButtonChecked(IDC_ENGINE) == BST_CHECKED;
  m_bEngineSwitch = m_bEngine;
  AfxGetApp()->WriteProfileInt(kSection, L"BIN3", m_bEngine);
  EnableItems({IDC_ENGINE_PATH, IDC_ENGINE_BROWSE, IDC_ENGINE_SIZE, IDC_ENGINE_ADDR_CHECK},
              m_bEngine);
}
