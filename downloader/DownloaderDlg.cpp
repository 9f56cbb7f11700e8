#include "DownloaderDlg.h"

#include <vector>

#include "AboutDlg.h"
#include "Crc32.h"
#include "HexText.h"
#include "phone_images.h"

CFile* g_pHistoryFile = nullptr;
std::uint8_t g_nCurrentDrive = 1;

namespace {

const wchar_t kSection[] = L"Setting";
const wchar_t kFilterA[] = L"cla file (*.cla)|*.cla|bin file (*.bin)|*.bin|all files (*.*)|*.*||";
const wchar_t kFilterB[] = L"bin file (*.bin)|*.bin|cla file (*.cla)|*.cla|all files (*.*)|*.*||";
const wchar_t kFilterQ[] = L"qvs file (*.qvs)|*.qvs||";
const wchar_t kFailBin[] = L"Fail to open bin file!";
const wchar_t kFailOgm[] = L"Fail to open OGM file!";

const wchar_t kTitle[] =
    L"KelNAND Downloader v0.5 Lite for PNX6512(qvs4 v16&&3zevo&&PNX5230 slave)";
const wchar_t kWelcome[] =
    L"Welcome to Downloader!!\r\n\r\nPress 'START' button to identify the FLASH ID...";
const wchar_t kTipMaster[] = L"현재 입력값 : %s   ";
const wchar_t kTipSlave[] = L"현재 입력값(Slave) : %s   ";

}  // namespace

bool OpenHistoryFile() {
  CloseHistoryFile();
  auto* f = new CFile;
  if (!f->Open(kHistoryFilePath,
               CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite)) {
    delete f;
    return false;
  }
  g_pHistoryFile = f;
  return true;
}

void CloseHistoryFile() {
  delete g_pHistoryFile;
  g_pHistoryFile = nullptr;
}

// The phone-side images the boot engine sends: master or slave chip.
const phone_images::Image& PreLoaderFor(bool slave) {
  return slave ? phone_images::SlavePreLoader() : phone_images::MasterPreLoader();
}
const phone_images::Image& BootLoaderFor(bool slave) {
  return slave ? phone_images::SlaveBootLoader() : phone_images::MasterBootLoader();
}

BEGIN_MESSAGE_MAP(CDownloaderDlg, CDialog)
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_MESSAGE(WM_COMM_RECEIVE, OnCommReceive)
ON_WM_TIMER()
ON_WM_DESTROY()
ON_CBN_SELCHANGE(IDC_COM_PORT, OnSelchangeComPort)
ON_CBN_SELCHANGE(IDC_SPEED, OnSelchangeSpeed)
ON_BN_CLICKED(IDC_MASTER_BIN, OnDownloadType)
ON_BN_CLICKED(IDC_MASTER_QVS, OnDownloadType)
ON_BN_CLICKED(IDC_MASTER_BINQVS, OnDownloadType)
ON_BN_CLICKED(IDC_SLAVE_BIN, OnDownloadType)
ON_BN_CLICKED(IDC_SLAVE_QVS, OnDownloadType)
ON_BN_CLICKED(IDC_SLAVE_BINQVS, OnDownloadType)
ON_BN_CLICKED(IDC_LOADER_BROWSE, OnBinBrowse)
ON_BN_CLICKED(IDC_QVS_BROWSE, OnQvsBrowse)
ON_BN_CLICKED(IDC_STOP, OnStop)
ON_BN_CLICKED(IDC_START, OnStart)
ON_BN_CLICKED(IDC_DOWNLOAD, OnDownload)
ON_BN_CLICKED(IDC_ERASE, OnErase)
ON_BN_CLICKED(IDC_DUMP, OnDump)
ON_BN_CLICKED(IDC_FORMAT, OnFormat)
ON_BN_CLICKED(IDC_EXPLORER, OnExplorer)
ON_BN_CLICKED(IDC_ABOUT, OnAbout)
ON_BN_CLICKED(IDC_STATUS, OnStatus)
ON_BN_CLICKED(IDC_POWER_ON, OnPowerOn)
ON_BN_CLICKED(IDC_AUTO_DOWNLOAD, OnAutoDownloader)
ON_BN_CLICKED(IDC_NO_AUTO_FORMAT, OnNoAutoFormat)
ON_BN_CLICKED(IDC_LOADER_ADDR_CHECK, OnStartNorAddr)
ON_BN_CLICKED(IDC_SLAVE_ADDR_CHECK, OnStartNorAddr)
ON_CONTROL_RANGE(BN_CLICKED, IDC_LOADER_CRC_BUTTON, IDC_QVS_CRC_BUTTON, OnCrcCheckSum)
ON_CONTROL_RANGE(BN_CLICKED, IDC_SLAVE_BIN_CRC_BUTTON, IDC_SLAVE_BIN_CRC_BUTTON, OnSlaveCrcCheckSum)
ON_CONTROL_RANGE(BN_CLICKED, IDC_SLAVE_QVS_CRC_BUTTON, IDC_SLAVE_QVS_CRC_BUTTON, OnSlaveCrcCheckSum)
ON_CBN_SELCHANGE(IDC_LOADER_PATH, OnSelchangeBinPath)
ON_CBN_SELCHANGE(IDC_QVS_PATH, OnSelchangeQvsPath)
ON_BN_CLICKED(IDC_HISTORY, OnHistory)
ON_BN_CLICKED(IDC_DEL_HISTORY, OnDelHistory)
ON_BN_CLICKED(IDC_MASTER, OnMaster)
ON_BN_CLICKED(IDC_SLAVE, OnSlave)
ON_BN_CLICKED(IDC_SLAVE_BIN_BROWSE, OnSlaveBinBrowse)
ON_BN_CLICKED(IDC_SLAVE_QVS_BROWSE, OnSlaveQvsBrowse)
ON_BN_CLICKED(IDC_BINARY_ADDR_CHECK, OnStartAddr2)
ON_BN_CLICKED(IDC_ENGINE_ADDR_CHECK, OnStartAddr3)
ON_CBN_SELCHANGE(IDC_BINARY_PATH, OnSelchangeBinaryPath)
ON_CBN_SELCHANGE(IDC_ENGINE_PATH, OnSelchangeEnginePath)
ON_BN_CLICKED(IDC_BINARY_BROWSE, OnBinaryBrowse)
ON_BN_CLICKED(IDC_ENGINE_BROWSE, OnEngineBrowse)
ON_CONTROL_RANGE(BN_CLICKED, IDC_BINARY_CRC_BUTTON, IDC_BINARY_CRC_BUTTON, OnCrcCheckSum)
ON_CONTROL_RANGE(BN_CLICKED, IDC_ENGINE_CRC_BUTTON, IDC_ENGINE_CRC_BUTTON, OnCrcCheckSum)
ON_BN_CLICKED(IDC_LOADER, OnLoader)
ON_BN_CLICKED(IDC_BINARY, OnBinary)
ON_BN_CLICKED(IDC_ENGINE, OnEngine)
ON_BN_CLICKED(IDC_DRIVE_A, OnDriveA)
ON_BN_CLICKED(IDC_DRIVE_B, OnDriveB)
ON_BN_CLICKED(IDC_DRIVE_C, OnDriveC)
ON_BN_CLICKED(IDC_QVS_FILE_CHECK, OnQvsFileCheck)
ON_NOTIFY_EX_RANGE(TTN_NEEDTEXTW, 0, 0xFFFFFFFF, OnToolTipNeedText)
END_MESSAGE_MAP()

CDownloaderDlg::CDownloaderDlg(CWnd* parent) : CDialog(IDD, parent) {
  m_hIcon = LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME));
}

CDownloaderDlg::~CDownloaderDlg() = default;

void CDownloaderDlg::DoDataExchange(CDataExchange* dx) {
  DDX_Control(dx, IDC_LOG, m_Log);
  DDX_Control(dx, IDC_PROGRESS, m_Progress);
  DDX_CBIndex(dx, IDC_COM_PORT, m_nComPort);
  DDX_CBIndex(dx, IDC_SPEED, m_nSpeed);
  DDX_Radio(dx, IDC_MASTER_BIN, m_nMasterMode);
  DDX_Radio(dx, IDC_SLAVE_BIN, m_nSlaveMode);
  DDX_Check(dx, IDC_POWER_ON, m_bPowerOn);
  DDX_Check(dx, IDC_AUTO_DOWNLOAD, m_bAutoDownload);
  DDX_Check(dx, IDC_NO_AUTO_FORMAT, m_bNoAutoFormat);
  DDX_Check(dx, IDC_LOADER, m_bLoader);
  DDX_Check(dx, IDC_BINARY, m_bBinary);
  DDX_Check(dx, IDC_ENGINE, m_bEngine);
  DDX_Check(dx, IDC_MASTER, m_bMaster);
  DDX_Check(dx, IDC_SLAVE, m_bSlave);
  DDX_Radio(dx, IDC_DRIVE_A, m_nDrive);
}

void CDownloaderDlg::EnableItems(std::initializer_list<int> ids, BOOL enable) {
  for (int id : ids) ::EnableWindow(GetDlgItemHwnd(id), enable);
}

void CDownloaderDlg::AppendLog(const wchar_t* text) {
  m_Log.AppendText(text);
  m_Log.SetFocus();
}

BOOL CDownloaderDlg::OnInitDialog() {
  auto* com = static_cast<CComboBox*>(GetDlgItem(IDC_COM_PORT));
  for (int i = 1; i <= kPortCount; ++i) {
    CString s;
    s.Format(L"COM%d", i);
    com->AddString(s);
  }
  auto* speed = static_cast<CComboBox*>(GetDlgItem(IDC_SPEED));
  for (DWORD baud : kSpeedTable) {
    CString s;
    s.Format(L"%lu", baud);
    speed->AddString(s);
  }
  CDialog::OnInitDialog();
  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);

  SetWindowText(kTitle);
  g_hReplyWnd = m_hWnd;

  BuildCrc32Table(m_Crc32Table);
  LoadPathHistory();

  m_ToolTip.Create(this);
  m_ToolTip.SetMaxTipWidth(1000);
  for (int id : {IDC_LOADER_PATH, IDC_QVS_PATH, IDC_SLAVE_BIN_PATH, IDC_SLAVE_QVS_PATH})
    m_ToolTip.AddTool(GetDlgItem(id));
  m_ToolTip.Activate(TRUE);

  m_Log.SetWindowText(kWelcome);

  CWinApp* app = AfxGetApp();
  m_nComPort = static_cast<int>(app->GetProfileInt(kSection, L"COM", 0));
  m_nSpeed = static_cast<int>(app->GetProfileInt(kSection, L"SPEED", 0));
  m_bLoader = static_cast<int>(app->GetProfileInt(kSection, L"BIN1", 0));
  m_bEngine = static_cast<int>(app->GetProfileInt(kSection, L"BIN3", 0));
  m_bMaster = static_cast<int>(app->GetProfileInt(kSection, L"ARM9", 0));
  m_bSlave = static_cast<int>(app->GetProfileInt(kSection, L"ARM7", 0));
  if (m_nComPort < 0 || m_nComPort >= kPortCount) m_nComPort = 0;
  if (m_nSpeed < 0 || m_nSpeed >= 4) m_nSpeed = 0;
  m_bBinary = 1;
  m_bLoaderSwitch = m_bLoader;
  m_bBinarySwitch = TRUE;
  m_bEngineSwitch = m_bEngine;

  if (!m_bSlave) EnableItems({IDC_SLAVE_BIN_PATH, IDC_SLAVE_BIN_BROWSE}, FALSE);
  if (m_bMaster) {
    SetMasterGroupBySwitches();
  } else {
    EnableItems({IDC_LOADER_PATH, IDC_LOADER_BROWSE, IDC_LOADER_SIZE, IDC_LOADER_ADDR_CHECK,
                 IDC_BINARY_PATH, IDC_BINARY_BROWSE, IDC_BINARY_SIZE, IDC_BINARY_ADDR_CHECK,
                 IDC_ENGINE_PATH, IDC_ENGINE_BROWSE, IDC_ENGINE_SIZE, IDC_ENGINE_ADDR_CHECK},
                FALSE);
  }

  BuildSectorTables();
  UpdateData(FALSE);
  g_nCurrentDrive = 1;
  return TRUE;
}

void CDownloaderDlg::SetMasterGroupBySwitches() {
  EnableItems({IDC_LOADER_PATH, IDC_LOADER_BROWSE, IDC_LOADER_SIZE, IDC_LOADER_ADDR_CHECK},
              m_bLoaderSwitch);
  EnableItems({IDC_BINARY_PATH, IDC_BINARY_BROWSE, IDC_BINARY_SIZE, IDC_BINARY_ADDR_CHECK},
              m_bBinarySwitch);
  EnableItems({IDC_ENGINE_PATH, IDC_ENGINE_BROWSE, IDC_ENGINE_SIZE, IDC_ENGINE_ADDR_CHECK},
              m_bEngineSwitch);
}

void CDownloaderDlg::LoadPathHistory() {
  m_OperationState = 0;
  m_bBinFileOpen = m_bSlaveBinFileOpen = m_bQvsFileOpen = m_bDumpFileOpen = FALSE;
  m_nWriteOffset = 0;
  m_nSectorIndex = 0;
  m_bLastPiece = FALSE;
  m_nMasterMode = 0;
  m_nSlaveMode = 0;
  m_bPowerOn = m_bAutoDownload = m_bNoAutoFormat = 0;

  // Without the history file the run keeps no history, but the lists still load.
  if (!g_pHistoryFile)
    AfxMessageBox(L"Create History File FAIL!!!");
  else
    g_pHistoryFile->Close();

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

void CDownloaderDlg::DisableControls() {
  EnableItems({IDC_ABOUT,
               IDC_DUMP,
               IDC_ERASE,
               IDC_FORMAT,
               IDC_EXPLORER,
               IDC_STATUS,
               IDC_BINARY_PATH,
               IDC_ENGINE_PATH,
               IDC_BINARY_BROWSE,
               IDC_ENGINE_BROWSE,
               IDC_BINARY_SIZE,
               IDC_ENGINE_SIZE,
               IDC_BINARY_ADDR_CHECK,
               IDC_ENGINE_ADDR_CHECK,
               IDC_BINARY_ADDR,
               IDC_ENGINE_ADDR,
               IDC_LOADER,
               IDC_BINARY,
               IDC_ENGINE,
               IDC_ENGINE_CRC_BUTTON,
               IDC_BINARY_CRC_BUTTON,
               IDC_LOADER_PATH,
               IDC_LOADER_BROWSE,
               IDC_LOADER_SIZE,
               IDC_LOADER_ADDR_CHECK,
               IDC_LOADER_ADDR,
               IDC_QVS_PATH,
               IDC_QVS_BROWSE,
               IDC_QVS_SIZE,
               IDC_POWER_ON,
               IDC_MASTER_BIN,
               IDC_MASTER_QVS,
               IDC_MASTER_BINQVS,
               IDC_HISTORY,
               IDC_DEL_HISTORY,
               IDC_QVS_CRC_BUTTON,
               IDC_LOADER_CRC_BUTTON,
               IDC_LOADER_CRC,
               IDC_QVS_CRC},
              FALSE);
}

void CDownloaderDlg::EndOperation() {
  m_OperationState = kStateIdle;
  struct Slot {
    CFile& file;
    BOOL& open;
  } slots[] = {
      {m_BinFile, m_bBinFileOpen}, {m_DumpFile, m_bDumpFileOpen}, {m_QvsFile, m_bQvsFileOpen}};
  for (auto& s : slots) {
    if (s.open) {
      s.file.Close();
      s.open = FALSE;
    }
  }
  EnableItems({IDC_ABOUT, IDC_DUMP, IDC_ERASE, IDC_FORMAT, IDC_EXPLORER, IDC_STATUS, IDC_POWER_ON,
               IDC_MASTER_BIN, IDC_MASTER_QVS, IDC_MASTER_BINQVS, IDC_HISTORY, IDC_DEL_HISTORY,
               IDC_QVS_CRC_BUTTON, IDC_LOADER_CRC_BUTTON, IDC_BINARY_CRC_BUTTON,
               IDC_ENGINE_CRC_BUTTON, IDC_LOADER_CRC, IDC_QVS_CRC, IDC_NO_AUTO_FORMAT},
              TRUE);
  m_bLoaderSwitch = m_bLoader;
  m_bBinarySwitch = TRUE;
  m_bEngineSwitch = m_bEngine;
  switch (m_nMasterMode) {
    case 0:
      EnableItems({IDC_QVS_PATH, IDC_QVS_BROWSE, IDC_QVS_SIZE, IDC_LOADER, IDC_BINARY, IDC_ENGINE},
                  FALSE);
      EnableItems({IDC_LOADER_PATH, IDC_LOADER_BROWSE, IDC_LOADER_SIZE}, m_bLoaderSwitch);
      EnableItems({IDC_BINARY_PATH, IDC_BINARY_BROWSE, IDC_BINARY_SIZE}, m_bBinarySwitch);
      EnableItems({IDC_ENGINE_PATH, IDC_ENGINE_BROWSE, IDC_ENGINE_SIZE}, m_bEngineSwitch);
      EnableItems({IDC_LOADER_ADDR_CHECK, IDC_BINARY_ADDR_CHECK, IDC_ENGINE_ADDR_CHECK}, FALSE);
      break;
    case 1:
      EnableItems({IDC_LOADER_PATH, IDC_LOADER_BROWSE, IDC_LOADER_SIZE, IDC_LOADER_ADDR_CHECK,
                   IDC_BINARY_BROWSE, IDC_BINARY_SIZE, IDC_BINARY_ADDR_CHECK, IDC_BINARY_ADDR,
                   IDC_BINARY_PATH, IDC_ENGINE_BROWSE, IDC_ENGINE_SIZE, IDC_ENGINE_ADDR_CHECK,
                   IDC_ENGINE_ADDR, IDC_ENGINE_PATH, IDC_LOADER, IDC_BINARY, IDC_ENGINE},
                  FALSE);
      EnableItems({IDC_QVS_PATH, IDC_QVS_BROWSE, IDC_QVS_SIZE}, TRUE);
      break;
    case 2:
      EnableItems({IDC_LOADER, IDC_BINARY, IDC_ENGINE}, FALSE);
      EnableItems({IDC_QVS_PATH, IDC_QVS_BROWSE, IDC_QVS_SIZE, IDC_LOADER_BROWSE, IDC_LOADER_SIZE,
                   IDC_LOADER_ADDR},
                  TRUE);
      EnableItems({IDC_LOADER_PATH, IDC_LOADER_BROWSE, IDC_LOADER_SIZE}, m_bLoaderSwitch);
      EnableItems({IDC_BINARY_PATH, IDC_BINARY_BROWSE, IDC_BINARY_SIZE}, m_bBinarySwitch);
      EnableItems({IDC_ENGINE_PATH, IDC_ENGINE_BROWSE, IDC_ENGINE_SIZE}, m_bEngineSwitch);
      EnableItems({IDC_LOADER_ADDR_CHECK, IDC_BINARY_ADDR_CHECK, IDC_ENGINE_ADDR_CHECK}, FALSE);
      break;
    default:
      break;
  }
  if (!m_bMaster) EnableItems({IDC_LOADER_PATH, IDC_LOADER_BROWSE}, FALSE);
}

void CDownloaderDlg::EnableSlaveControls(BOOL enable) {
  const std::initializer_list<int> all = {
      IDC_SLAVE_ADDR_CHECK, IDC_SLAVE_ADDR,       IDC_SLAVE_BIN_PATH, IDC_SLAVE_QVS_PATH,
      IDC_SLAVE_BIN_BROWSE, IDC_SLAVE_QVS_BROWSE, IDC_SLAVE_BIN_SIZE, IDC_SLAVE_QVS_SIZE,
      IDC_SLAVE_BIN,        IDC_SLAVE_QVS,        IDC_SLAVE_BINQVS};
  EnableItems(all, enable);
  if (!enable) return;
  if (m_nSlaveMode == 0)
    EnableItems({IDC_SLAVE_QVS_PATH, IDC_SLAVE_QVS_BROWSE, IDC_SLAVE_QVS_SIZE}, FALSE);
  if (m_nSlaveMode == 1)
    EnableItems({IDC_SLAVE_BIN_PATH, IDC_SLAVE_BIN_BROWSE, IDC_SLAVE_BIN_SIZE, IDC_SLAVE_ADDR_CHECK,
                 IDC_SLAVE_ADDR},
                FALSE);
  if (!m_bSlave) EnableItems({IDC_SLAVE_BIN_PATH, IDC_SLAVE_BIN_BROWSE}, FALSE);
}

// The state of the controls while no line is open.
void CDownloaderDlg::RestoreIdleControls() {
  std::int32_t state = m_OperationState;
  BOOL b = m_bBinFileOpen, d = m_bDumpFileOpen, q = m_bQvsFileOpen;
  m_bBinFileOpen = m_bDumpFileOpen = m_bQvsFileOpen = FALSE;
  EndOperation();  // the controls by the current modes; nothing is left open here
  m_bBinFileOpen = b;
  m_bDumpFileOpen = d;
  m_bQvsFileOpen = q;
  m_OperationState = state;
  EnableItems({IDC_DOWNLOAD, IDC_STOP, IDC_ERASE, IDC_DUMP, IDC_FORMAT, IDC_EXPLORER, IDC_STATUS},
              FALSE);
  EnableItems({IDC_START, IDC_COM_PORT, IDC_SPEED, IDC_AUTO_DOWNLOAD}, TRUE);
  EnableSlaveControls(m_bSlave);
}

void CDownloaderDlg::OnStart() {
  SetDlgItemText(IDC_FLASH_ID, L"");
  if (g_MasterComm.IsConnected()) {
    AfxMessageBox(L"Port already opened!");
    return;
  }
  UpdateData(TRUE);
  if (!g_MasterComm.Open(static_cast<WORD>(m_nComPort + 1), 115200, FALSE)) {
    AfxMessageBox(L"Port Initialization Failed1!");
    return;
  }
  if (!g_MasterComm.SetLine(115200, 8, EVENPARITY, ONESTOPBIT)) {
    AfxMessageBox(L"DCB Creation Failed!");
    g_MasterComm.Close();
    return;
  }
  m_nWriteOffset = 0;
  m_nSectorIndex = 0;
  m_bLastPiece = FALSE;
  m_Log.SetWindowText(
      L"** Wait for Connect Request from Mobile...\r\n** (POWER ON the PHONE!)\r\n");
  m_OperationState = kStateWaitConnect;
  EnableItems({IDC_STOP}, TRUE);
  EnableItems({IDC_START}, FALSE);
  DisableControls();
  EnableSlaveControls(FALSE);
}

void CDownloaderDlg::OnStop() {
  m_CfgText.clear();
  m_CfgText.shrink_to_fit();
  if (g_MasterComm.IsConnected()) g_MasterComm.Close();
  struct Slot {
    CFile& file;
    BOOL& open;
  } slots[] = {{m_BinFile, m_bBinFileOpen},
               {m_SlaveBinFile, m_bSlaveBinFileOpen},
               {m_QvsFile, m_bQvsFileOpen},
               {m_DumpFile, m_bDumpFileOpen}};
  for (auto& s : slots) {
    if (s.open) s.file.Close();
    s.open = FALSE;
  }
  SetDlgItemText(IDC_FLASH_ID, L"");
  m_BootDone = FALSE;
  m_OperationState = 0;
  AppendLog(L"\r\n** Close COM port\r\n");
  m_Progress.SetPos(0);
  RestoreIdleControls();
  m_SlaveTarget = 0;
}

void CDownloaderDlg::OnDestroy() {
  CDialog::OnDestroy();
  m_CfgText.clear();
  if (g_MasterComm.IsConnected()) g_MasterComm.Close();
  if (g_hReplyWnd.load() == m_hWnd) g_hReplyWnd = nullptr;
}

LRESULT CDownloaderDlg::OnCommReceive(WPARAM, LPARAM) {
  if (m_OperationState == 24) return 0;  // a whole dump block: the dump engine takes it
  std::uint8_t b;
  while (g_MasterComm.m_QueueRead.Get(b)) {
    if (!m_BootDone)
      ProcessBootByte(b);
    else
      ProcessOperationByte(b);
  }
  return 0;
}

// The boot handshake and the operation states are stepped here by their engines; bytes that
// come while no engine waits for them are dropped.
void CDownloaderDlg::ProcessBootByte(std::uint8_t) {}
void CDownloaderDlg::ProcessOperationByte(std::uint8_t) {}
void CDownloaderDlg::OnTimer(UINT_PTR) {}
void CDownloaderDlg::OnDownload() {}
void CDownloaderDlg::OnErase() {}
void CDownloaderDlg::OnDump() {}
void CDownloaderDlg::OnFormat() {}
void CDownloaderDlg::OnExplorer() {}
void CDownloaderDlg::OnStatus() {}
void CDownloaderDlg::OnHistory() {}
void CDownloaderDlg::OnDelHistory() {}
void CDownloaderDlg::OnQvsFileCheck() {}

BOOL CDownloaderDlg::PreTranslateMessage(MSG* msg) {
  if (msg->message == WM_MOUSEMOVE && m_ToolTip.m_hWnd) {
    // The edit inside a path combo stands for the combo, which is the tool.
    HWND parent = ::GetParent(msg->hwnd);
    if (parent && parent != m_hWnd && ::GetParent(parent) == m_hWnd) {
      MSG copy = *msg;
      copy.hwnd = parent;
      m_ToolTip.RelayEvent(&copy);
    } else {
      m_ToolTip.RelayEvent(msg);
    }
  }
  return CDialog::PreTranslateMessage(msg);
}

BOOL CDownloaderDlg::OnToolTipNeedText(UINT, NMHDR* hdr, LRESULT* result) {
  auto* info = reinterpret_cast<NMTTDISPINFOW*>(hdr);
  UINT_PTR from = hdr->idFrom;
  int id = (info->uFlags & TTF_IDISHWND) ? ::GetDlgCtrlID(reinterpret_cast<HWND>(from))
                                         : static_cast<int>(from);
  CString text;
  switch (id) {
    case IDC_QVS_PATH:
      text.Format(kTipMaster, m_QvsPaths.entries[0].c_str());
      break;
    case IDC_LOADER_PATH:
      text.Format(kTipMaster, m_LoaderPaths.Current().c_str());
      break;
    case IDC_SLAVE_QVS_PATH:
      text.Format(kTipSlave, m_strSlaveQvsPath.GetString());
      break;
    case IDC_SLAVE_BIN_PATH:
      text.Format(kTipSlave, m_strSlaveBinPath.GetString());
      break;
    default:
      return FALSE;
  }
  m_tipText = text.str();
  info->lpszText = m_tipText.data();
  info->szText[0] = 0;
  info->hinst = nullptr;
  *result = 0;
  return TRUE;
}

void CDownloaderDlg::OnPaint() {
  if (IsIconic()) {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(m_hWnd, &ps);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    int cx = ::GetSystemMetrics(SM_CXICON), cy = ::GetSystemMetrics(SM_CYICON);
    RECT r;
    ::GetClientRect(m_hWnd, &r);
    ::DrawIcon(dc, (r.right - r.left - cx + 1) / 2, (r.bottom - r.top - cy + 1) / 2, m_hIcon);
    ::EndPaint(m_hWnd, &ps);
  } else {
    Default();
  }
}

HCURSOR CDownloaderDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CDownloaderDlg::OnAbout() {
  CAboutDlg dlg(this);
  dlg.DoModal();
}

void CDownloaderDlg::OnPowerOn() { UpdateData(TRUE); }

void CDownloaderDlg::OnAutoDownloader() { m_bAutoDownload = !m_bAutoDownload; }

void CDownloaderDlg::OnNoAutoFormat() {
  m_bNoAutoFormat = !m_bNoAutoFormat;
  EnableItems({IDC_FORMAT}, m_bNoAutoFormat);
}

void CDownloaderDlg::ToggleStartAddr(BOOL& sw, int edit, const wchar_t* text) {
  sw = !sw;
  if (sw) SetDlgItemText(edit, text);
  EnableItems({edit}, sw);
}

void CDownloaderDlg::OnStartNorAddr() {
  ToggleStartAddr(m_bStartAddr1, IDC_LOADER_ADDR, L"20000000");
}
void CDownloaderDlg::OnStartAddr2() {
  ToggleStartAddr(m_bStartAddr2, IDC_BINARY_ADDR, L"20080000");
}
void CDownloaderDlg::OnStartAddr3() {
  ToggleStartAddr(m_bStartAddr3, IDC_ENGINE_ADDR, L"21B00000");
}

void CDownloaderDlg::OnDownloadType() {
  UpdateData(TRUE);
  if (m_bMaster) {
    if (m_nMasterMode == 1) {
      EnableItems({IDC_LOADER_PATH, IDC_LOADER_BROWSE, IDC_LOADER_SIZE, IDC_LOADER_ADDR_CHECK,
                   IDC_LOADER_ADDR, IDC_BINARY_PATH, IDC_BINARY_BROWSE, IDC_BINARY_SIZE,
                   IDC_BINARY_ADDR_CHECK, IDC_BINARY_ADDR, IDC_ENGINE_PATH, IDC_ENGINE_BROWSE,
                   IDC_ENGINE_SIZE, IDC_ENGINE_ADDR_CHECK, IDC_ENGINE_ADDR, IDC_LOADER, IDC_BINARY,
                   IDC_ENGINE},
                  FALSE);
      EnableItems({IDC_QVS_PATH, IDC_QVS_BROWSE, IDC_QVS_SIZE}, TRUE);
    } else {
      EnableItems({IDC_QVS_PATH, IDC_QVS_BROWSE, IDC_QVS_SIZE}, m_nMasterMode == 2);
      if (m_nMasterMode == 2) {
        EnableItems({IDC_LOADER_ADDR}, m_bStartAddr1);
        EnableItems({IDC_BINARY_ADDR}, m_bStartAddr2);
        EnableItems({IDC_ENGINE_ADDR}, m_bStartAddr3);
      }
      SetMasterGroupBySwitches();
    }
  }
  if (m_bSlave) EnableSlaveControls(TRUE);
}

std::uint32_t CDownloaderDlg::FileCrc32(const CString& path) {
  CFile f;
  if (!f.Open(path, CFile::modeRead | CFile::shareDenyNone)) {
    m_OperationState = kStateIdle;
    AfxMessageBox(kFailBin);
    return 0;
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(f.GetLength()));
  std::size_t got = 0;
  while (got < data.size()) {
    UINT n = f.Read(data.data() + got, static_cast<UINT>(data.size() - got));
    if (n == 0) break;
    got += n;
  }
  return Crc32(m_Crc32Table, data.data(), got);
}

void CDownloaderDlg::OnCrcCheckSum(UINT id) {
  int edit;
  CString path;
  switch (id) {
    case IDC_LOADER_CRC_BUTTON:
      edit = IDC_LOADER_CRC;
      path = m_LoaderPaths.Current().c_str();
      break;
    case IDC_QVS_CRC_BUTTON:
      edit = IDC_QVS_CRC;
      path = m_QvsPaths.Current().c_str();
      break;
    case IDC_BINARY_CRC_BUTTON:
      edit = IDC_BINARY_CRC;
      path = m_BinaryPaths.Current().c_str();
      break;
    default:
      edit = IDC_ENGINE_CRC;
      path = m_EnginePaths.Current().c_str();
      break;
  }
  EnableItems({edit}, FALSE);
  CString s;
  s.Format(L"0x%x", FileCrc32(path));
  SetDlgItemText(edit, s);
  EnableItems({edit}, TRUE);
}

void CDownloaderDlg::OnSlaveCrcCheckSum(UINT id) {
  int edit;
  CString path;
  if (id == IDC_SLAVE_BIN_CRC_BUTTON) {
    m_strSlaveBinPath = GetDlgItemText(IDC_SLAVE_BIN_PATH);
    path = m_strSlaveBinPath;
    edit = IDC_SLAVE_BIN_CRC;
  } else {
    m_strSlaveQvsPath = GetDlgItemText(IDC_SLAVE_QVS_PATH);
    m_strSlaveCfgPath = CfgNameFor(m_strSlaveQvsPath.str());
    path = m_strSlaveQvsPath;
    edit = IDC_SLAVE_QVS_CRC;
  }
  CFile f;
  if (!f.Open(path, CFile::modeRead | CFile::shareDenyNone)) return;
  EnableItems({edit}, FALSE);
  std::uint32_t sum = 0;
  std::uint8_t buf[8192];
  for (UINT n; (n = f.Read(buf, sizeof(buf))) > 0;) {
    for (UINT i = 0; i < n; ++i) sum += buf[i];
  }
  CString s;
  s.Format(L"0x%08lX", static_cast<unsigned long>(sum));
  SetDlgItemText(edit, s);
  EnableItems({edit}, TRUE);
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

void CDownloaderDlg::SelectDrive(int drive) {
  static const wchar_t* const kLetters[] = {L"A", L"B", L"C"};
  UpdateData(TRUE);
  CString text;
  if (m_nDrive == drive) {
    m_OperationState = 61;
    const std::uint8_t frame[2] = {0xCF, static_cast<std::uint8_t>(0x08 + drive)};
    g_MasterComm.Write(frame, 2);
    text.Format(L"%s Drive Selecting.... ", kLetters[drive]);
    AppendLog(text);
    g_nCurrentDrive = static_cast<std::uint8_t>(drive + 1);
  } else {
    text.Format(L"%s Drive Selecting Retry ", kLetters[drive]);
    AppendLog(text);
  }
}

void CDownloaderDlg::OnDriveA() { SelectDrive(0); }
void CDownloaderDlg::OnDriveB() { SelectDrive(1); }
void CDownloaderDlg::OnDriveC() { SelectDrive(2); }

int CDownloaderDlg::FindSectorIndex(std::uint32_t byteOffset) const {
  return ::FindSectorIndex(g_pSectorTable, g_nSectorCount, byteOffset);
}

std::uint32_t CDownloaderDlg::ParseHex(const CString& text) {
  CString upper = text;
  upper.MakeUpper();
  return ::ParseHex(upper.str());
}

std::string CDownloaderDlg::AnsiToUtf8(std::string_view ansi) {
  if (ansi.empty()) return std::string();
  int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(),
                              static_cast<int>(ansi.size()), nullptr, 0);
  if (n <= 0) return std::string();
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
  int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return std::string();
  std::string out(static_cast<std::size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}
