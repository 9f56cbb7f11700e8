#include "DownloaderDlg.h"

#include <algorithm>
#include <ctime>
#include <span>
#include <vector>

#include "AboutDlg.h"
#include "Crc32.h"
#include "FlashId.h"
#include "FlashSectorDlg.h"
#include "HexText.h"
#include "HistoryText.h"
#include "KestaFrames.h"
#include "QVSExplorerDlg.h"
#include "QvsFileCheck.h"
#include "QvsFrames.h"
#include "phone_images.h"

CFile* g_pHistoryFile = nullptr;
std::wstring g_strHistoryPath = kHistoryFilePath;
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
  if (!f->Open(g_strHistoryPath.c_str(),
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
ON_BN_CLICKED(IDC_SLAVE_ADDR_CHECK, OnSlaveStartAddr)
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
  } slots[] = {{m_BinFile, m_bBinFileOpen},
               {m_DumpFile, m_bDumpFileOpen},
               {m_QvsFile, m_bQvsFileOpen},
               {m_SlaveBinFile, m_bSlaveBinFileOpen}};
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
  std::uint8_t stale;
  while (g_MasterComm.m_QueueRead.Get(stale)) {
  }
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
  m_BootDone = FALSE;
  m_nPreLoaderWord = 0;
  m_OperationState = kStateWaitConnect;
  EnableItems({IDC_STOP}, TRUE);
  EnableItems({IDC_START}, FALSE);
  DisableControls();
  EnableSlaveControls(FALSE);
}

void CDownloaderDlg::OnStop() {
  KillTimer(kReopenTimer);  // no reopen after Stop
  m_CfgText.clear();
  m_CfgText.shrink_to_fit();
  m_QvsPlan = qvs::QvsPlan{};
  g_MasterComm.m_bBlockMode = FALSE;
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
  if (m_BootDone && m_OperationState == 24) {
    OnDumpBlock();
    return 0;
  }
  std::uint8_t b;
  // A dump block that follows is taken whole by its own message, not byte by byte.
  while (!(m_BootDone && m_OperationState == 24) && g_MasterComm.m_QueueRead.Get(b)) {
    if (!m_BootDone)
      ProcessBootByte(b);
    else
      ProcessOperationByte(b);
  }
  return 0;
}

void CDownloaderDlg::OnExplorer() {
  m_Progress.SetPos(0);
  CQVSExplorerDlg explorer(this, m_SecondDeviceId);
  explorer.DoModal();
}

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

// The slave's switch follows its box, so the master's loader address is never touched.
void CDownloaderDlg::OnSlaveStartAddr() {
  m_bSlaveStartAddr = IsDlgButtonChecked(IDC_SLAVE_ADDR_CHECK) == BST_CHECKED;
  if (m_bSlaveStartAddr) SetDlgItemText(IDC_SLAVE_ADDR, L"20000000");
  EnableItems({IDC_SLAVE_ADDR}, m_bSlaveStartAddr);
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
  if (m_nDrive != drive) {
    text.Format(L"%s Drive Selecting Retry ", kLetters[drive]);
    AppendLog(text);
    return;
  }
  // The chosen drive names later paths even when the phone cannot be told now.
  g_nCurrentDrive = static_cast<std::uint8_t>(drive + 1);
  // Only between operations: a request sent now would take a running operation's replies.
  const bool idle = m_BootDone && g_MasterComm.IsConnected() &&
                    (m_OperationState == kStateIdle || m_OperationState == 61);
  if (!idle) return;
  m_OperationState = 61;
  const std::uint8_t frame[2] = {0xCF, static_cast<std::uint8_t>(0x08 + drive)};
  g_MasterComm.Write(frame, 2);
  text.Format(L"%s Drive Selecting.... ", kLetters[drive]);
  AppendLog(text);
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

// ---------------------------------------------------------------------------------------------
// Boot handshake (received bytes while m_BootDone is false).

namespace {

const wchar_t kDownloadCompleted[] = L"Download completed!";
constexpr std::uint32_t kEngineDefaultOffset = 0x1D60000;

std::string ToAnsi(const CString& text) {
  const std::wstring& w = text.str();
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring FromAnsi(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::int64_t Now() { return CTime::GetCurrentTime().GetTime(); }

}  // namespace

void CDownloaderDlg::Send(const void* bytes, std::size_t count) {
  g_MasterComm.Write(bytes, static_cast<DWORD>(count));
}

void CDownloaderDlg::SendByte(std::uint8_t b) { Send(&b, 1); }

void CDownloaderDlg::SendBigEndian32(std::uint32_t value) {
  auto bytes = kesta::BigEndian32(value);
  m_ExpectedReply = kesta::Sum8(bytes);
  Send(bytes.data(), bytes.size());
}

void CDownloaderDlg::SendPreLoader() {
  const auto& image = PreLoaderFor(m_SlaveTarget != 0).bytes;
  auto frame = kesta::BootLoadWordFrame(image, m_nPreLoaderWord);
  const bool last = m_nPreLoaderWord + 1 >= kesta::BootLoadWordCount(image.size());
  if (last) {
    m_OperationState = 6;
    m_nPreLoaderWord = 0;
  } else {
    m_OperationState = 5;
    ++m_nPreLoaderWord;
  }
  Send(frame.data(), frame.size());
}

void CDownloaderDlg::SendBootLoader() {
  const auto& image = BootLoaderFor(m_SlaveTarget != 0).bytes;
  std::size_t block = std::min(kesta::kDmaBlockSize, m_nBootRemaining);
  if (m_nBootSendPos + block > image.size())
    block = image.size() - std::min(image.size(), m_nBootSendPos);
  const std::uint8_t* data = image.data() + m_nBootSendPos;
  m_nBootSendPos += block;
  m_nBootRemaining -= block;
  m_Progress.SetPos(m_Progress.GetPos() + static_cast<int>(block));
  m_ExpectedReply = kesta::Sum8({data, block});
  if (block == kesta::kDmaBlockSize) {
    m_OperationState = 12;
  } else {
    m_OperationState = 13;
    m_nBootSendPos = 0;
  }
  Send(data, block);
}

void CDownloaderDlg::ProcessBootByte(std::uint8_t b) {
  auto fail = [this] { m_OperationState = kStateIdle; };
  switch (m_OperationState) {
    case 1:
      if (b == kesta::kConnectReq) {
        m_OperationState = 2;
        m_nStaleConnectRequests = 0;
        SendByte(kesta::kConnect);
      }
      break;
    case 2:
      if (b != kesta::kConnect) {
        // Requests the chip sent before it saw our 0x44 are still on their way: skip them, but
        // answer again when they keep coming.
        if (b == kesta::kConnectReq && ++m_nStaleConnectRequests <= kStaleConnectRequests) break;
        m_OperationState = 1;
        break;
      }
      m_nQueryCount = 0;
      m_OperationState = 3;
      SendByte(kesta::kQuery);
      break;
    case 3:
      m_QueryReply[m_nQueryCount++] = b;
      if (m_nQueryCount == kesta::kQueryLength) {
        m_nQueryCount = 0;
        auto frame = kesta::CustomerIdFrame(std::span<const std::uint8_t, 16>(m_QueryReply));
        m_OperationState = 4;
        Send(frame.data(), frame.size());
      }
      break;
    case 4:
      if (b != kesta::kBootOk) return fail();
      m_OperationState = 53;
      {
        const std::uint8_t frame[2] = {kesta::kSetTimeout, kesta::kBootTimeout};
        Send(frame, 2);
      }
      break;
    case 53:
      if (b != kesta::kBootOk) return fail();
      m_OperationState = 11;
      {
        auto frame = kesta::SetLoadAddressFrame();
        Send(frame.data(), frame.size());
      }
      break;
    case 11:
      if (b != kesta::kBootOk) return fail();
      m_nPreLoaderWord = 0;
      SendPreLoader();
      break;
    case 5:
      if (b != kesta::kBootOk) return fail();
      SendPreLoader();
      break;
    case 6:
      if (b != kesta::kBootOk) return fail();
      m_OperationState = 7;
      {
        auto frame = kesta::SetLoadAddressFrame();
        Send(frame.data(), frame.size());
      }
      break;
    case 7:
      if (b != kesta::kBootOk) return fail();
      m_OperationState = 8;
      SendByte(kesta::kJump);
      break;
    case 8:
      if (b != kesta::kPreReady) return fail();
      m_OperationState = 19;
      SendByte(static_cast<std::uint8_t>(m_nSpeed));
      g_MasterComm.Close();
      SetTimer(kReopenTimer, kReopenMs);
      break;
    case 19:
      if (b != static_cast<std::uint8_t>(m_nSpeed)) {
        m_OperationState = kStateIdle;
        AfxMessageBox(L"Fail to change the baudrate of target!");
        OnStop();
        break;
      }
      m_nChipVersionCount = 0;
      m_OperationState = 60;
      SendByte(kesta::kChipVersion);
      break;
    case 60:
      m_ChipVersion[m_nChipVersionCount++] = b;  // read and not used
      if (m_nChipVersionCount == kesta::kChipVersionLength) {
        m_nChipVersionCount = 0;
        m_nBootLoaderSize = BootLoaderFor(m_SlaveTarget != 0).bytes.size();
        m_Progress.SetRange32(0, static_cast<int>(m_nBootLoaderSize));
        m_Progress.SetPos(0);
        m_OperationState = 20;
        SendByte(kesta::kSetLength);
        SendBigEndian32(static_cast<std::uint32_t>(m_nBootLoaderSize));
      }
      break;
    case 20:
      if (b != m_ExpectedReply) return fail();
      m_nBootRemaining = m_nBootLoaderSize;
      m_nBootSendPos = 0;
      m_OperationState = 48;
      SendByte(kesta::kDmaBlock);
      break;
    case 48:
      if (b != kesta::kDmaBlock) return fail();
      SendBootLoader();
      break;
    case 12:
      if (b != m_ExpectedReply) return fail();
      m_OperationState = 48;
      SendByte(kesta::kDmaBlock);
      break;
    case 13:
      if (b != m_ExpectedReply) return fail();
      m_OperationState = 16;
      SendByte(kesta::kPreJump);
      break;
    case 16:
      if (b != kesta::kPreReady) return fail();
      m_OperationState = 17;
      SendByte(kesta::kSetCs0Base);
      SendBigEndian32(kesta::kCs0Base);
      break;
    case 17:
      if (b != m_ExpectedReply) return fail();
      m_nFlashIdCount = 0;
      m_OperationState = 18;
      SendByte(kesta::kFlashId);
      break;
    case 18:
      m_FlashId[m_nFlashIdCount++] = b;
      if (m_nFlashIdCount == kesta::kFlashIdLength) {
        m_nFlashIdCount = 0;
        EvaluateFlashIdReply();
      }
      break;
    default:  // 63 and 0: nothing is awaited
      break;
  }
}

void CDownloaderDlg::EvaluateFlashIdReply() {
  FlashIdResult id = EvaluateFlashId(std::span<const std::uint8_t, 10>(m_FlashId));
  const bool both = m_bMaster && m_bSlave;
  if (!m_bAutoDownload && !both) AfxMessageBox(id.nandText.c_str());
  m_SecondDeviceId = id.secondId;
  SetDlgItemText(IDC_FLASH_ID, id.partText.c_str());
  if (!id.supported) {
    m_OperationState = kStateIdle;
    AfxMessageBox(L"Unknown Flash");
    OnStop();
    return;
  }
  if (id.sectorCount == kSectorCountA) {
    g_pSectorTable = g_SectorTableA;
    g_nSectorCount = kSectorCountA;
  } else {
    g_pSectorTable = g_SectorTableB;
    g_nSectorCount = kSectorCountB;
  }
  m_BootDone = TRUE;
  AppendLog(L" \n **Now you can do DOWNLOAD! ** \n");
  EndOperation();
  EnableSlaveControls(TRUE);
  EnableItems({IDC_DOWNLOAD}, TRUE);
  EnableItems({IDC_FORMAT}, m_bNoAutoFormat);
  m_Progress.SetPos(0);
  if (m_bAutoDownload || (both && m_SlaveTarget)) {
    OnDownload();
    return;
  }
  if (!m_bMaster && m_bSlave && !m_SlaveTarget) {
    SendByte(kesta::kSwitchSlave);
    g_MasterComm.Close();
    m_BootDone = FALSE;
    Sleep(1000);
    ConnectSlave(false);
  }
}

void CDownloaderDlg::OnTimer(UINT_PTR id) {
  if (id != kReopenTimer) return;
  KillTimer(kReopenTimer);
  if (!g_MasterComm.Open(static_cast<WORD>(m_nComPort + 1), kSpeedTable[m_nSpeed & 3], FALSE)) {
    SetTimer(kReopenTimer, kReopenMs);
    return;
  }
  if (!m_BootDone) SendByte(kesta::kLinkSync);
}

void CDownloaderDlg::ConnectSlave(bool retry) {
  SetDlgItemText(IDC_FLASH_ID, L"");
  m_nQueryCount = m_nChipVersionCount = m_nFlashIdCount = 0;
  if (g_MasterComm.IsConnected()) {
    AfxMessageBox(L"Port already opened!");
    return;
  }
  std::uint8_t stale;
  while (g_MasterComm.m_QueueRead.Get(stale)) {
  }
  const WORD port = static_cast<WORD>(m_nComPort + 1);
  bool opened = false;
  for (int i = 0; i < (retry ? 1000 : 1) && !opened; ++i)
    opened = g_MasterComm.Open(port, 115200, FALSE) != FALSE;
  if (!opened) {
    AfxMessageBox(retry ? L"Port Initialization Failed3!" : L"Port Initialization Failed2!");
    return;
  }
  if (!g_MasterComm.SetLine(115200, 8, EVENPARITY, ONESTOPBIT)) {
    g_MasterComm.Close();
    AfxMessageBox(L"DCB Creation Failed!");
    return;
  }
  m_nPreLoaderWord = 0;
  m_Log.SetWindowText(L"** Wait for SLAVE POWER ON\r\n");
  m_OperationState = kStateWaitConnect;
  m_SlaveTarget = 1;
  EnableItems({IDC_COM_PORT, IDC_SPEED, IDC_START, IDC_AUTO_DOWNLOAD, IDC_NO_AUTO_FORMAT}, FALSE);
  EnableItems({IDC_STOP}, TRUE);
  DisableControls();
  EnableSlaveControls(FALSE);
}

// ---------------------------------------------------------------------------------------------
// Operation engine (received bytes once the boot has ended).

void CDownloaderDlg::FailAndEnd() {
  m_OperationState = kStateIdle;
  EndOperation();
}

void CDownloaderDlg::ProcessOperationByte(std::uint8_t b) {
  switch (m_OperationState) {
    case 19:
      DispatchOperation();
      break;
    case 51:
      if (b != m_ExpectedReply) {
        m_OperationState = kStateIdle;
        break;
      }
      m_OperationState = 21;
      SendByte(kesta::kSetOffset);
      SendBigEndian32(m_nWriteOffset);
      break;
    case 21:
      if (b != m_ExpectedReply) return FailAndEnd();
      OnBinaryOffsetReply();
      break;
    case 20:
      if (b != m_ExpectedReply) return FailAndEnd();
      AppendLog(L"** Start BINARY downloading...\r\n");
      m_OperationState = 49;
      if (!SendNorCommand(m_nWriteOffset)) return;
      m_ExpectedReply = 0;
      SendFileChunk();
      break;
    case 49:
      OnPieceAck();
      break;
    case 50:
      if (b != m_ExpectedReply) return FailAndEnd();
      OnSectorSum();
      break;
    case 59:
      m_OperationState = kStateIdle;
      if (b == kesta::kDownloadEnd) FinishDownload();
      break;
    case 61:
      if (b == 0xCF) {
        AppendLog(L"OK!\r\n");
      } else {
        m_OperationState = kStateIdle;
        AppendLog(L"Fail!\r\n");
      }
      m_bDriveSelected = TRUE;
      break;
    case 22:
      OnEraseReply(b);
      break;
    case 33:
      OnFormatReply(b);
      break;
    case 39:
    case 41:
      m_ErrorRecord[m_nRecordCount++] = b;
      if (m_nRecordCount == static_cast<int>(sizeof(m_ErrorRecord))) {
        m_nRecordCount = 0;
        const bool format = m_OperationState == 39;
        m_OperationState = kStateIdle;
        AppendLog(format ? L"Format Error !\n" : L"QVS INIT ERROR ! \n");
        EndOperation();
      }
      break;
    case 34:
      if (b == 0xED || b == 0xF4) {
        m_OperationState = 35;
        m_nRecordCount = 0;
      } else if (b == 0xF3) {
        m_OperationState = 41;
        m_nRecordCount = 0;
      }
      break;  // anything else comes before the reply
    case 35:
      m_StatusRecord[m_nRecordCount++] = b;
      if (m_nRecordCount == static_cast<int>(sizeof(m_StatusRecord))) {
        m_nRecordCount = 0;
        m_OperationState = kStateIdle;
        EndOperation();
      }
      break;
    case 25:
    case 52:
    case 54:
    case 26:
    case 27:
    case 44:
    case 28:
    case 29:
    case 30:
    case 32:
    case 58:
    case 36:
      ProcessQvsByte(b);
      break;
    default:  // idle
      break;
  }
}

void CDownloaderDlg::DispatchOperation() {
  switch (m_OperationCode) {
    case 0:
    case 9:
      StartBinaryDownload();
      break;
    case 1:
    case 2:
      if (m_OperationCode == 2 && !m_SlaveTarget) {
        m_OperationState = kStateIdle;
        break;
      }
      // The bar grows by one per sector from here to the last.
      m_Progress.SetPos(0);
      EraseCurrentSector();
      break;
    case 3:
      // The bar grows by 8 KiB per block from here to the last.
      m_Progress.SetPos(0);
      m_nDumpBlocks = 0;
      DumpCurrentSector();
      break;
    case 4:
      StartQvsDownload(false);
      break;
    case 6:
      StartFormat();
      break;
    case 8:
      StartStatus();
      break;
    default:
      m_OperationState = kStateIdle;
      break;
  }
}

CFile& CDownloaderDlg::SendFile() { return m_SlaveTarget ? m_SlaveBinFile : m_BinFile; }
BOOL& CDownloaderDlg::SendFileOpen() {
  return m_SlaveTarget ? m_bSlaveBinFileOpen : m_bBinFileOpen;
}

void CDownloaderDlg::StartBinaryDownload() {
  static const int kOptionEdit[3] = {IDC_LOADER_ADDR, IDC_BINARY_ADDR, IDC_ENGINE_ADDR};
  bool option;
  int edit;
  if (m_SlaveTarget) {
    option = m_bSlaveStartAddr != FALSE;
    edit = IDC_SLAVE_ADDR;
  } else {
    const BOOL switches[3] = {m_bStartAddr1, m_bStartAddr2, m_bStartAddr3};
    option = switches[m_nCurrentItem] != FALSE;
    edit = kOptionEdit[m_nCurrentItem];
  }
  std::uint32_t offset = 0;
  if (option) {
    CString text = GetDlgItemText(edit);
    if (!ParseStartAddress(text.str(), offset)) {
      m_OperationState = kStateIdle;
      AppendLog(L"** Wrong start address: " + text + L"\r\n");
      return;
    }
  } else if (!m_SlaveTarget && m_nCurrentItem == 2) {
    offset = kEngineDefaultOffset;
  }
  m_nSectorIndex = FindSectorIndex(offset);
  if (m_nSectorIndex < 0) {
    m_OperationState = kStateIdle;
    CString line;
    line.Format(L"** No NOR sector starts at 0x%08X\r\n", kNorBase + offset);
    AppendLog(line);
    return;
  }
  m_nWriteOffset = offset;

  std::uint32_t checksum = kesta::kNoChecksum;
  if (m_SlaveTarget || m_nCurrentItem == 1) {
    checksum = FileCrc32(m_SlaveTarget ? m_strSlaveBinPath : m_strBinPath);
    if (m_OperationState == kStateIdle) return;  // the file could not be read
  }
  m_OperationState = 51;
  SendByte(kesta::kSetChecksum);
  SendBigEndian32(checksum);
}

void CDownloaderDlg::OnBinaryOffsetReply() {
  CFile& file = SendFile();
  BOOL& open = SendFileOpen();
  if (open) file.Close();
  open = file.Open(m_SlaveTarget ? m_strSlaveBinPath : m_strBinPath,
                   CFile::modeRead | CFile::shareDenyWrite);
  if (!open) {
    m_OperationState = kStateIdle;
    AfxMessageBox(m_SlaveTarget ? L"Fail to open bin file!"
                                : L"Fail to open binary file!\nCheck the path!!");
    EndOperation();
    return;
  }
  m_nFileSize = m_nRemaining = static_cast<std::uint32_t>(file.GetLength());
  m_Progress.SetRange32(0, static_cast<int>(m_nFileSize));
  m_OperationState = 20;
  SendByte(kesta::kSetLength);
  SendBigEndian32(m_nFileSize);
}

int CDownloaderDlg::GetSectorSizeClass(std::uint32_t address) const {
  return ::GetSectorSizeClass(g_pSectorTable, g_nSectorCount, address);
}

bool CDownloaderDlg::SendNorCommand(std::uint32_t address) {
  std::uint8_t command = kesta::kEraseSector;
  if (m_OperationCode == 0 || m_OperationCode == 9) {
    kesta::SectorWriteCommand w{};
    if (!kesta::WriteCommandForClass(GetSectorSizeClass(address), w)) {
      // Nothing more may go out: the boot-loader would take file bytes as commands.
      m_OperationState = kStateIdle;
      CString line;
      line.Format(L"\r\n** No NOR sector at 0x%08X: download stopped\r\n", kNorBase + address);
      AppendLog(line);
      EndOperation();
      return false;
    }
    command = w.command;
    m_nPiecesPerSector = w.pieces;
  }
  m_nPieceCount = 0;
  std::uint8_t frame[5] = {command};
  kesta::PutBigEndian32(frame + 1, address);
  m_ExpectedReply = kesta::Sum8({frame + 1, 4});
  Send(frame, sizeof(frame));
  return true;
}

void CDownloaderDlg::SendFileChunk() {
  UINT n = SendFile().Read(m_SendBuffer, static_cast<UINT>(kesta::kPieceSize));
  if (n == 0) {
    m_bLastPiece = TRUE;
    m_OperationState = 50;
    return;
  }
  m_Progress.SetPos(static_cast<int>(m_nBytesSent));
  if (n < kesta::kPieceSize) {
    m_bLastPiece = TRUE;
    m_nBytesSent = 0;
  }
  m_ExpectedReply = static_cast<std::uint8_t>(m_ExpectedReply + kesta::Sum8({m_SendBuffer, n}));
  m_nRemaining -= std::min<std::uint32_t>(m_nRemaining, n);
  Send(m_SendBuffer, n);
  m_nBytesSent += n;
}

void CDownloaderDlg::OnPieceAck() {
  if (m_bLastPiece) {
    m_OperationState = 50;
    return;
  }
  if (++m_nPieceCount == m_nPiecesPerSector) {
    const SECTOR_INFO& s = g_pSectorTable[m_nSectorIndex];
    m_nNextSectorOffset = (s.offset + s.size) * 2;
    m_nWriteOffset = m_nNextSectorOffset;
    ++m_nSectorIndex;
    m_OperationState = 50;
    if (m_nRemaining == 0) m_bLastPiece = TRUE;
    return;
  }
  SendFileChunk();
}

void CDownloaderDlg::OnSectorSum() {
  if (m_bLastPiece) {
    m_OperationState = 59;
    SendByte(kesta::kDownloadEnd);
    return;
  }
  m_OperationState = 49;
  if (!SendNorCommand(m_nNextSectorOffset)) return;
  m_ExpectedReply = 0;
  SendFileChunk();
}

void CDownloaderDlg::FinishDownload() {
  // The entry names the file just written, not the next item's.
  CString written = m_SlaveTarget ? m_strSlaveBinPath : m_strBinPath;
  DownloadNext();
  m_strHistoryPath = written;
  WriteHistory(kHistoryBin);
}

void CDownloaderDlg::LogTimeAndTotal(std::uint32_t total) {
  CString line;
  const std::string elapsed = ElapsedMinSec(Now() - m_StartTime);
  AppendLog(
      (L"\r\n** Downloading Time " + std::wstring(elapsed.begin(), elapsed.end()) + L" **\r\n")
          .c_str());
  line.Format(L"** (Total %d bytes) **\r\n", static_cast<int>(total));
  AppendLog(line);
}

int CDownloaderDlg::TakeNextPendingItem() {
  for (int i = 0; i < 3; ++i) {
    if (m_bPending[i]) {
      m_bPending[i] = FALSE;
      return i;
    }
  }
  return -1;
}

CString CDownloaderDlg::ItemPath(int item) {
  static const int kCombo[3] = {IDC_LOADER_PATH, IDC_BINARY_PATH, IDC_ENGINE_PATH};
  return GetDlgItemText(kCombo[item]);
}

void CDownloaderDlg::DownloadNext() {
  m_bLastPiece = FALSE;
  if (!m_SlaveTarget) {
    if (m_OperationCode == 9) {
      int next = TakeNextPendingItem();
      if (next >= 0) {
        m_nCurrentItem = next;
        m_strBinPath = ItemPath(next);
      } else {
        m_OperationCode = 4;  // the QVS image comes next
      }
      m_Progress.SetPos(0);
      m_OperationState = 19;
      SendByte(kesta::kLinkSync);
      if (m_bBinFileOpen) m_BinFile.Close();
      m_bBinFileOpen = FALSE;
      DisableControls();
      EnableSlaveControls(FALSE);
      return;
    }
    if (m_bPending[0] || m_bPending[1] || m_bPending[2]) {
      StartDownload();
      return;
    }
    LogTimeAndTotal(m_nFileSize);
    if (m_bMaster && m_bSlave) {
      SendByte(kesta::kSwitchSlave);
      g_MasterComm.Close();
      m_BootDone = FALSE;
      Sleep(500);
      ConnectSlave(true);
      return;
    }
    AfxMessageBox(kDownloadCompleted, MB_ICONINFORMATION | MB_SYSTEMMODAL);
    EndOperation();
    EnableSlaveControls(TRUE);
    if (m_bPowerOn) {
      SendByte(kesta::kPowerOn);
      OnStop();
    }
    return;
  }
  if (m_OperationCode == 9) {
    if (m_bSlaveBinFileOpen) m_SlaveBinFile.Close();
    m_bSlaveBinFileOpen = FALSE;
    DisableControls();
    FormatQvs();
    return;
  }
  LogTimeAndTotal(m_nFileSize);
  AfxMessageBox(kDownloadCompleted, MB_ICONINFORMATION | MB_SYSTEMMODAL);
  EndOperation();
  if (m_bPowerOn) {
    SendByte(kesta::kPowerOn);
    OnStop();
  }
}

// The slave's QVS download: the QVS area is erased, then formatted, then the image follows.
void CDownloaderDlg::FormatQvs() {
  m_Progress.SetPos(0);
  m_Log.SetWindowText(L" \r\n");
  AppendLog(L"** Formatting QVS system ... ");
  EraseQvsArea(2);
}

bool CDownloaderDlg::ShowLength(const CString& path, int sizeEdit, std::uint32_t& length) {
  CFile f;
  if (!f.Open(path, CFile::modeRead | CFile::shareDenyNone)) return false;
  length = static_cast<std::uint32_t>(f.GetLength());
  CString s;
  s.Format(L"%d", static_cast<int>(length));
  SetDlgItemText(sizeEdit, s);
  return true;
}

void CDownloaderDlg::StartDownload() {
  static const int kSizeEdit[3] = {IDC_LOADER_SIZE, IDC_BINARY_SIZE, IDC_ENGINE_SIZE};
  std::uint32_t length = 0;
  if (!m_SlaveTarget) {
    UpdateData(TRUE);
    int* checks[3] = {&m_bLoader, &m_bBinary, &m_bEngine};
    static const int kCheck[3] = {IDC_LOADER, IDC_BINARY, IDC_ENGINE};
    for (int i = 0; i < 3; ++i) {
      if (!*checks[i]) continue;
      m_bPending[i] = TRUE;
      *checks[i] = 0;
      CheckDlgButton(kCheck[i], BST_UNCHECKED);
    }
    int item = TakeNextPendingItem();
    if (item >= 0) m_nCurrentItem = item;
    m_strBinPath = ItemPath(m_nCurrentItem);
    m_strQvsPath = GetDlgItemText(IDC_QVS_PATH);
    m_strCfgPath = CfgNameFor(m_strQvsPath.str());
    switch (m_nMasterMode) {
      case 1:
        if (!ShowLength(m_strQvsPath, IDC_QVS_SIZE, length)) {
          m_OperationState = kStateIdle;
          AfxMessageBox(L"Fail to open QVS file!");
          return;
        }
        m_OperationCode = 4;
        break;
      case 2:
        if (!ShowLength(m_strBinPath, kSizeEdit[m_nCurrentItem], length)) {
          m_OperationState = kStateIdle;
          AfxMessageBox(kFailBin);
          return;
        }
        if (!ShowLength(m_strQvsPath, IDC_QVS_SIZE, length)) {
          m_OperationState = kStateIdle;
          AfxMessageBox(L"Fail to open QVS file!");
          return;
        }
        m_OperationCode = 9;
        break;
      default:
        m_OperationCode = 0;
        break;
    }
  } else {
    const bool bin = m_nSlaveMode != 1, qvs = m_nSlaveMode != 0;
    if (bin && !ShowLength(m_strSlaveBinPath, IDC_SLAVE_BIN_SIZE, length)) {
      m_OperationState = kStateIdle;
      AfxMessageBox(kFailBin);
      return;
    }
    if (qvs && !ShowLength(m_strSlaveQvsPath, IDC_SLAVE_QVS_SIZE, length)) {
      m_OperationState = kStateIdle;
      AfxMessageBox(L"Fail to open QVS file!");
      return;
    }
    m_OperationCode = m_nSlaveMode == 0 ? 0 : (m_nSlaveMode == 1 ? 4 : 9);
  }
  m_Progress.SetPos(0);
  m_Log.SetWindowText(L" \r\n");
  m_nWriteOffset = 0;
  m_nBytesSent = 0;
  m_nFileSize = 0;
  m_bLastPiece = FALSE;
  m_StartTime = Now();
  m_OperationState = 19;
  SendByte(kesta::kLinkSync);
  DisableControls();
  EnableSlaveControls(FALSE);
}

void CDownloaderDlg::OnDownload() {
  EnableItems({IDC_DOWNLOAD}, FALSE);
  // A download's format is followed by the download: a flag left by the Format button would
  // stop it there.
  m_bUserFormat = FALSE;
  m_nQvsDirIndex = m_nQvsFileIndex = 0;
  if (m_SlaveTarget) {
    m_strSlaveBinPath = GetDlgItemText(IDC_SLAVE_BIN_PATH);
    m_strSlaveQvsPath = GetDlgItemText(IDC_SLAVE_QVS_PATH);
    m_strSlaveCfgPath = CfgNameFor(m_strSlaveQvsPath.str());
    m_nFileSize = 0;
    m_StartTime = Now();
    if (m_nSlaveMode == 1) {
      m_Progress.SetPos(0);
      EnableSlaveControls(FALSE);
      FormatQvs();
    } else {
      DisableControls();
      EnableSlaveControls(FALSE);
      StartDownload();
    }
    return;
  }
  if (!m_bMaster) return;
  // A run clears the item boxes; a new download offers the items chosen in the settings again.
  if (!m_bLoader && !m_bBinary && !m_bEngine && !m_bPending[0] && !m_bPending[1] &&
      !m_bPending[2]) {
    CWinApp* app = AfxGetApp();
    m_bLoader = app->GetProfileInt(kSection, L"BIN1", 0) ? 1 : 0;
    m_bBinary = 1;
    m_bEngine = app->GetProfileInt(kSection, L"BIN3", 0) ? 1 : 0;
    CheckDlgButton(IDC_LOADER, m_bLoader ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(IDC_BINARY, BST_CHECKED);
    CheckDlgButton(IDC_ENGINE, m_bEngine ? BST_CHECKED : BST_UNCHECKED);
  }
  if (m_nMasterMode != 1 && !m_bLoaderSwitch && !m_bBinarySwitch && !m_bEngineSwitch) {
    m_OperationState = kStateIdle;
    AfxMessageBox(L"SELECT ONE OF LOADER,BINARY,ENGINE!");
    return;
  }
  m_strBinPath = GetDlgItemText(IDC_LOADER_PATH);
  m_strQvsPath = GetDlgItemText(IDC_QVS_PATH);
  m_strCfgPath = CfgNameFor(m_strQvsPath.str());
  if (m_bNoAutoFormat || m_nMasterMode == 0) {
    StartDownload();
    return;
  }
  m_nFileSize = 0;
  m_StartTime = Now();
  m_Progress.SetPos(0);
  m_OperationCode = 6;
  m_OperationState = 19;
  SendByte(kesta::kLinkSync);
  DisableControls();
  EnableSlaveControls(FALSE);
  m_Log.SetWindowText(L" \r\n");
  AppendLog(L"** Formatting QVS system (NAND Flash)... ");
}

// ---------------------------------------------------------------------------------------------
// QVS image download.

namespace {

// The whole file; false when it cannot be opened or read to its end.
bool ReadWholeFile(const CString& path, std::string& out) {
  CFile f;
  if (!f.Open(path, CFile::modeRead | CFile::shareDenyNone)) return false;
  const std::uint64_t length = f.GetLength();
  if (length > 0x7FFFFFFF) return false;
  out.assign(static_cast<std::size_t>(length), '\0');
  std::size_t got = 0;
  while (got < out.size()) {
    UINT n = f.Read(out.data() + got, static_cast<UINT>(out.size() - got));
    if (n == 0) return false;
    got += n;
  }
  return true;
}

CString FailToOpen(const CString& path) {
  CString s;
  s.Format(L"Fail to open %s", path.GetString());
  return s;
}

// Reads exactly n bytes; false when the file ends first.
bool ReadExactly(CFile& f, std::uint8_t* buffer, std::size_t n) {
  for (std::size_t got = 0; got < n;) {
    UINT r = f.Read(buffer + got, static_cast<UINT>(n - got));
    if (r == 0) return false;
    got += r;
  }
  return true;
}

}  // namespace

bool CDownloaderDlg::ParseQvsConfig() {
  const CString qvsPath = QvsPath(), cfgPath = CfgPath();
  m_QvsPlan = qvs::QvsPlan{};
  m_nQvsDirIndex = m_nQvsFileIndex = 0;
  std::uint64_t imageLength = 0;
  {
    CFile image;
    if (!image.Open(qvsPath, CFile::modeRead | CFile::shareDenyNone)) {
      AfxMessageBox(FailToOpen(qvsPath));
      return false;
    }
    imageLength = image.GetLength();
  }
  std::string text;
  if (!ReadWholeFile(cfgPath, text)) {
    AfxMessageBox(FailToOpen(cfgPath));
    return false;
  }
  // A name the code page cannot convert stops the check (it would go out empty).
  auto toUtf8 = [](std::string_view ansi, std::string& utf8) {
    utf8 = AnsiToUtf8(ansi);
    return !utf8.empty();
  };
  qvs::QvsPlan plan;
  qvs::QvsConfigResult r = qvs::ParseQvsConfig(text, imageLength, toUtf8, plan);
  if (!r.ok()) {
    m_CfgText.clear();
    AfxMessageBox(CString::FromUtf8(r.message));
    return false;
  }
  m_CfgText = std::move(text);
  m_QvsPlan = std::move(plan);
  return true;
}

bool CDownloaderDlg::SendQvsDirectory() {
  if (m_nQvsDirIndex >= m_QvsPlan.directories.size()) {
    m_nQvsDirIndex = 0;
    return false;
  }
  qvs::QvsFrame f;
  if (!qvs::MakeDirFrame(m_QvsPlan.directories[m_nQvsDirIndex++].name, f)) {
    m_OperationState = kStateIdle;
    return true;
  }
  m_ExpectedReply = f.reply;
  Send(f.bytes.data(), f.bytes.size());
  return true;
}

bool CDownloaderDlg::SendQvsFile() {
  if (m_nQvsFileIndex >= m_QvsPlan.files.size()) {
    m_nQvsFileIndex = 0;
    return false;
  }
  const qvs::QvsFile& file = m_QvsPlan.files[m_nQvsFileIndex++];
  qvs::QvsFrame f;
  if (!qvs::AddFileFrame(file.name, file.size, f)) {
    m_OperationState = kStateIdle;
    return true;
  }
  m_nQvsRemaining = file.size;
  m_ExpectedReply = f.reply;
  Send(f.bytes.data(), f.bytes.size());
  return true;
}

void CDownloaderDlg::SendBlock() {
  bool last = false;
  const std::size_t n = qvs::NextBlockSize(m_nQvsRemaining, last);
  m_bQvsLastBlock = last;
  if (n > 0 && !ReadExactly(m_QvsFile, m_SendBuffer, n)) {
    // The image got shorter since its check: nothing of it may go out in its place.
    m_OperationState = kStateIdle;
    CString text;
    text.Format(L"Fail to read %s", QvsPath().GetString());
    AfxMessageBox(text);
    EndOperation();
    return;
  }
  qvs::QvsFrame f = qvs::DataBlockFrame({m_SendBuffer, n}, last);
  m_ExpectedReply = f.reply;
  Send(f.bytes.data(), f.bytes.size());
  m_nQvsBytesSent += static_cast<std::uint32_t>(n);
  m_Progress.SetPos(static_cast<int>(m_nQvsBytesSent));
}

void CDownloaderDlg::StartQvsDownload(bool afterFormat) {
  if (!ParseQvsConfig()) {
    m_OperationState = kStateIdle;  // nothing is sent; Stop ends the run
    return;
  }
  AppendLog(L"\r\n** Start Downloading QVS file **\r\n");
  m_OperationState = 25;
  // After a format both chips are mounted; the slave's own start begins its download.
  const std::uint8_t command =
      m_SlaveTarget && !afterFormat ? qvs::kQvsBeginDownload : qvs::kQvsMount;
  m_ExpectedReply = command;
  SendByte(command);
}

void CDownloaderDlg::ProcessQvsByte(std::uint8_t b) {
  auto fail = [this] { m_OperationState = kStateIdle; };
  auto send = [this](const qvs::QvsFrame& f) {
    m_ExpectedReply = f.reply;
    Send(f.bytes.data(), f.bytes.size());
  };
  switch (m_OperationState) {
    case 25:
      if (b != m_ExpectedReply) return fail();
      if (!m_SlaveTarget) {
        std::string image;
        if (!ReadWholeFile(QvsPath(), image)) {
          m_OperationState = kStateIdle;
          AfxMessageBox(FailToOpen(QvsPath()));
          return;
        }
        m_OperationState = 52;
        send(qvs::SetChecksumFrame(Crc32(
            m_Crc32Table, reinterpret_cast<const std::uint8_t*>(image.data()), image.size())));
        return;
      }
      [[fallthrough]];  // the slave takes no checksum and no time
    case 54:
      if (b != m_ExpectedReply) return fail();
      m_OperationState = 26;
      m_nQvsDirIndex = 0;
      if (!SendQvsDirectory()) m_OperationState = kStateIdle;
      return;
    case 52: {
      if (b != m_ExpectedReply) return fail();
      std::time_t now = std::time(nullptr);
      std::tm local{};
      if (std::tm* t = std::localtime(&now)) local = *t;
      m_OperationState = 54;
      send(qvs::SetTimeFrame(local));
      return;
    }
    case 26:
      if (b != m_ExpectedReply) return fail();
      m_OperationState = 27;
      return;
    case 27:
      if (b != qvs::kQvsDirDone) return fail();
      m_OperationState = 26;
      if (SendQvsDirectory()) return;
      if (m_bQvsFileOpen) m_QvsFile.Close();
      m_bQvsFileOpen = m_QvsFile.Open(QvsPath(), CFile::modeRead | CFile::shareDenyWrite);
      if (!m_bQvsFileOpen) {
        m_OperationState = kStateIdle;
        AfxMessageBox(FailToOpen(QvsPath()));
        return;
      }
      m_OperationState = 44;
      send(qvs::WriteVersionFrame(m_QvsPlan.version));
      return;
    case 44:
      if (b != qvs::kQvsRecordDone) return fail();
      m_OperationState = 28;
      send(qvs::ReleaseFrame(m_QvsPlan.release));
      return;
    case 28:
      if (b != qvs::kQvsRecordDone) {
        m_OperationState = kStateIdle;
        AppendLog(L"INIT ERROR ! \n");
        return;
      }
      m_Progress.SetRange32(0, static_cast<int>(m_QvsPlan.imageLength));
      m_Progress.SetPos(0);
      m_nQvsBytesSent = 0;
      m_OperationState = 29;
      m_nQvsFileIndex = 0;
      if (!SendQvsFile()) {
        // An image of directories only: the download ends here.
        if (m_bQvsFileOpen) m_QvsFile.Close();
        m_bQvsFileOpen = FALSE;
        m_OperationState = 58;
        SendByte(qvs::kQvsEndDownload);
      }
      return;
    case 29:
      if (b != m_ExpectedReply) return fail();
      m_OperationState = 30;
      m_bQvsLastBlock = FALSE;
      SendBlock();
      if (m_bQvsLastBlock && m_OperationState == 30) m_OperationState = 32;
      return;
    case 30:
      if (b != m_ExpectedReply) return fail();
      SendBlock();
      if (m_bQvsLastBlock && m_OperationState == 30) m_OperationState = 32;
      return;
    case 32:
      if (b != qvs::kQvsFileDone) return fail();
      m_OperationState = 29;
      if (SendQvsFile()) return;
      if (m_bQvsFileOpen) m_QvsFile.Close();
      m_bQvsFileOpen = FALSE;
      m_OperationState = 58;
      SendByte(qvs::kQvsEndDownload);
      return;
    case 58:
      if (b != qvs::kQvsEndDownload) return;  // anything else is ignored here
      m_OperationState = 36;
      SendByte(qvs::kQvsUnmount);
      return;
    case 36:
      if (b != qvs::kQvsUnmount) return fail();
      FinishQvsDownload();
      return;
    default:
      return;
  }
}

void CDownloaderDlg::FinishQvsDownload() {
  LogTimeAndTotal(m_nFileSize + m_nQvsBytesSent);
  m_strHistoryPath = QvsPath();
  if (!m_SlaveTarget && m_bMaster && m_bSlave) {
    // The run goes on with the slave: its entry is written before the line is handed over.
    WriteHistory(kHistoryQvs);
    SendByte(kesta::kSwitchSlave);
    g_MasterComm.Close();
    m_BootDone = FALSE;
    Sleep(500);
    ConnectSlave(true);
    return;
  }
  AfxMessageBox(kDownloadCompleted, MB_ICONINFORMATION | MB_SYSTEMMODAL);
  EndOperation();
  if (!m_SlaveTarget) EnableSlaveControls(TRUE);
  WriteHistory(kHistoryQvs);
  if (m_bPowerOn) {
    SendByte(kesta::kPowerOn);
    OnStop();
  }
}

void CDownloaderDlg::OnQvsFileCheck() {
  std::string cfg, image;
  if (!ReadWholeFile(m_strCfgPath, cfg)) {
    AfxMessageBox(CString::FromUtf8(qvs::kQvsFileOpenFail));
    return;
  }
  const bool haveImage = ReadWholeFile(m_strQvsPath, image);
  qvs::QvsFileCheckResult r = qvs::QvsFileCheck(cfg, image);
  // Without a list copy the check ends before the image is opened.
  if (!haveImage && r.outcome != qvs::QvsCheckOutcome::kNoListCopy) {
    AfxMessageBox(CString::FromUtf8(qvs::kQvsFileOpenFail));
    return;
  }
  std::string log = qvs::QvsFileCheckLog(r, ToAnsi(m_strCfgPath), ToAnsi(m_strQvsPath));
  if (!log.empty()) AppendLog(FromAnsi(log).c_str());
}

// ---------------------------------------------------------------------------------------------
// QVS format and status.

bool CDownloaderDlg::ComputeQvsDriveSize() {
  std::string text;
  if (!ReadWholeFile(m_strCfgPath, text)) {
    AfxMessageBox(CString::FromUtf8(qvs::kQvsFileOpenFail));
    return true;  // the count stays as it was
  }
  qvs::QvsDriveSize size;
  qvs::QvsDriveSizeResult r = qvs::ComputeQvsDriveSize(text, size);
  if (!r.ok) {
    // A count read wrong would size drive A wrong: nothing is formatted.
    AfxMessageBox(CString::FromUtf8(r.message));
    return false;
  }
  if (r.endOfFile) AppendLog(CString::FromUtf8(qvs::kQvsEndOfFileLog));
  m_QvsDrive = size;
  return true;
}

void CDownloaderDlg::OnFormat() {
  m_bUserFormat = TRUE;
  m_Progress.SetPos(0);
  if (AfxMessageBox(L"Sure to FORMAT?", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
    return;
  m_Log.SetWindowText(L" \r\n");
  if (m_SlaveTarget) {
    AppendLog(L"** Formatting QVS system ... ");
    EraseQvsArea(1);
    return;
  }
  m_OperationCode = 6;
  m_OperationState = 19;
  SendByte(kesta::kLinkSync);
  DisableControls();
  EnableSlaveControls(FALSE);
  AppendLog(L"** Formatting QVS system (NAND Flash)... ");
}

void CDownloaderDlg::StartFormat() {
  m_OperationState = 33;
  m_bFormatSumPending = FALSE;
  if (m_SlaveTarget) {
    SendByte(qvs::kQvsFormat);
    return;
  }
  if (!ComputeQvsDriveSize()) {
    m_OperationState = kStateIdle;
    return;
  }
  std::uint32_t capacity = 0;
  qvs::QvsFrame f;
  if (!qvs::NandCapacity(m_SecondDeviceId, capacity) || capacity < m_QvsDrive.bytes ||
      !qvs::FormatFrame(m_QvsDrive.blocks, f)) {
    m_OperationState = kStateIdle;
    return;
  }
  // The phone answers the count with its sum before the result; a sum that happens to equal
  // QVS_FORMAT_DONE or QVS_FORMAT_FAILED must not pass for the result.
  m_ExpectedReply = kesta::Sum8({f.bytes.data() + 1, f.bytes.size() - 1});
  m_bFormatSumPending = TRUE;
  Send(f.bytes.data(), f.bytes.size());
}

void CDownloaderDlg::OnFormatReply(std::uint8_t b) {
  if (m_bFormatSumPending) {
    m_bFormatSumPending = FALSE;
    if (b == m_ExpectedReply) return;
  }
  if (b == qvs::kQvsFormatFailed) {
    m_OperationState = 39;
    m_nRecordCount = 0;
    return;
  }
  if (b != qvs::kQvsFormatDone) return;  // anything else comes before the result
  m_OperationState = kStateIdle;
  AppendLog(L"Success!\r\n");
  if (m_SlaveTarget) WriteHistory(kHistoryFormat);
  const int mode = m_SlaveTarget ? m_nSlaveMode : m_nMasterMode;
  if (m_bNoAutoFormat) {
    AfxMessageBox(L"NAND-Formatting Completed!");
    EndOperation();
    if (!m_SlaveTarget) EnableSlaveControls(TRUE);
    return;
  }
  if (!m_bUserFormat && (mode == 1 || (m_SlaveTarget && mode == 2))) {
    StartQvsDownload(true);
    return;
  }
  if (!m_bUserFormat && !m_SlaveTarget && mode == 2) {
    StartDownload();
    return;
  }
  AppendLog(L"Nand Format Complete!!\r\n");
  EndOperation();
  m_OperationState = kStateIdle;
}

void CDownloaderDlg::OnStatus() {
  m_Progress.SetPos(0);
  m_OperationCode = 8;
  m_OperationState = 19;
  SendByte(kesta::kLinkSync);
  DisableControls();
  EnableSlaveControls(FALSE);
  m_Log.SetWindowText(L" \r\n");
}

void CDownloaderDlg::StartStatus() {
  m_OperationState = 34;
  SendByte(0xEC);
}

// ---------------------------------------------------------------------------------------------
// NOR erase and dump.

bool CDownloaderDlg::RunSectorDialog() {
  CFlashSectorDlg dlg(this);
  return dlg.DoModal() == IDOK;
}

bool CDownloaderDlg::ChooseSaveFile(const wchar_t* filter, const wchar_t* defExt, CString& chosen) {
  CFileDialog dlg(FALSE, defExt, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, filter, this);
  if (dlg.DoModal() != IDOK) return false;
  chosen = dlg.GetPathName();
  return !chosen.IsEmpty();
}

std::uint32_t CDownloaderDlg::SectorAddress(int index) const {
  return g_pSectorTable[index].offset * 2;
}

std::uint32_t CDownloaderDlg::SectorBytes(int index) const {
  return g_pSectorTable[index].size * 2;
}

int CDownloaderDlg::TakeSelectedSectors(std::uint32_t* historyFlags) {
  std::fill(historyFlags, historyFlags + kMaxSectorCount, 0u);
  m_nSelectedSectors = 0;
  m_nTotalKBytes = 0;
  int first = -1;
  for (int i = 0; i < g_nSectorCount; ++i) {
    if (!g_SectorFlags[i]) continue;
    if (first < 0) first = i;
    ++m_nSelectedSectors;
    historyFlags[i] = 1;
    m_nTotalKBytes += SectorBytes(i) / 1024;
  }
  return first;
}

int CDownloaderDlg::NextSelectedSector(int after) const {
  for (int i = after + 1; i < g_nSectorCount; ++i) {
    if (g_SectorFlags[i]) return i;
  }
  return -1;
}

void CDownloaderDlg::StartSectorRun(int code) {
  m_OperationCode = code;
  m_OperationState = 19;
  SendByte(kesta::kLinkSync);
  DisableControls();
  EnableSlaveControls(FALSE);
}

void CDownloaderDlg::LogElapsed(const wchar_t* what) {
  const std::string elapsed = ElapsedMinSec(Now() - m_StartTime);
  CString line;
  line.Format(L"\r\n** %s Time %s **\r\n", what,
              std::wstring(elapsed.begin(), elapsed.end()).c_str());
  AppendLog(line);
  line.Format(L"** (Total %d KBytes) **\r\n", static_cast<int>(m_nTotalKBytes));
  AppendLog(line);
}

void CDownloaderDlg::OnErase() {
  if (!g_pSectorTable) return;
  // Flags left from an earlier run would erase sectors nobody ticked this time.
  std::fill(std::begin(g_SectorFlags), std::end(g_SectorFlags), 0u);
  if (!RunSectorDialog()) return;
  int first = TakeSelectedSectors(m_EraseHistoryFlags);
  if (first < 0) {
    AfxMessageBox(L"No sector selected!");
    return;
  }
  m_nCurrentSector = first;
  m_StartTime = Now();
  m_Progress.SetRange32(0, m_nSelectedSectors);
  m_Progress.SetPos(0);
  m_Log.SetWindowText(L" \r\n");
  AppendLog(L"** Erasing NOR-Flash **\r\n\r\n");
  StartSectorRun(1);
}

void CDownloaderDlg::EraseQvsArea(int code) {
  if (!g_pSectorTable) return;
  std::fill(std::begin(g_SectorFlags), std::end(g_SectorFlags), 0u);
  for (int i = 224; i <= 230 && i < g_nSectorCount; ++i) g_SectorFlags[i] = 1;
  TakeSelectedSectors(m_EraseHistoryFlags);
  m_nCurrentSector = 224;
  m_StartTime = Now();
  m_Progress.SetRange32(0, 7);
  m_Progress.SetPos(0);
  m_Log.SetWindowText(L" \r\n");
  AppendLog(L"** Erasing QVS **\r\n\r\n");
  StartSectorRun(code);
}

void CDownloaderDlg::EraseCurrentSector() {
  m_OperationState = 22;
  CString line;
  line.Format(L"Erasing sector ( SectorNum = %d )... ", m_nCurrentSector);
  AppendLog(line);
  SendNorCommand(SectorAddress(m_nCurrentSector));
}

void CDownloaderDlg::OnEraseReply(std::uint8_t b) {
  if (b != m_ExpectedReply) {
    m_OperationState = kStateIdle;
    AfxMessageBox(L"Fail to erase sector!");
    EndOperation();
    return;
  }
  m_Progress.SetPos(m_Progress.GetPos() + 1);
  AppendLog(L"OK!\r\n");
  int next = NextSelectedSector(m_nCurrentSector);
  if (next >= 0) {
    m_nCurrentSector = next;
    EraseCurrentSector();
    return;
  }
  LogElapsed(L"Erase");
  m_OperationState = kStateIdle;
  WriteHistory(kHistoryErase);
  if (m_OperationCode == 2) {
    // The slave's QVS download: the format follows the erase of its QVS area.
    m_OperationCode = 6;
    m_OperationState = 19;
    SendByte(kesta::kLinkSync);
    DisableControls();
    m_Log.SetWindowText(L" \r\n");
    AppendLog(L"** Formatting QVS system (NAND Flash)... ");
    return;
  }
  AfxMessageBox(L"Erasing Completed!");
  EndOperation();
  EnableSlaveControls(TRUE);
}

void CDownloaderDlg::OnDump() {
  if (!g_pSectorTable) return;
  std::fill(std::begin(g_SectorFlags), std::end(g_SectorFlags), 0u);
  if (!RunSectorDialog()) return;
  int first = TakeSelectedSectors(m_DumpHistoryFlags);
  if (first < 0) {
    AfxMessageBox(L"No sector selected!");
    return;
  }
  CString path;
  if (!ChooseSaveFile(L"Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||", L".hex", path)) {
    std::fill(std::begin(m_DumpHistoryFlags), std::end(m_DumpHistoryFlags), 0u);
    AfxMessageBox(L"No file selected!");
    return;
  }
  if (m_bDumpFileOpen) m_DumpFile.Close();  // what an earlier failed dump kept
  m_bDumpFileOpen = m_DumpFile.Open(path, CFile::modeCreate | CFile::modeWrite);
  if (!m_bDumpFileOpen) {
    std::fill(std::begin(m_DumpHistoryFlags), std::end(m_DumpHistoryFlags), 0u);
    AfxMessageBox(L"Internal Error! (file creation)");
    return;
  }
  m_strDumpPath = path;
  m_nCurrentSector = first;
  m_StartTime = Now();
  m_Progress.SetRange32(0, static_cast<int>(m_nTotalKBytes));
  m_Progress.SetPos(0);
  m_Log.SetWindowText(L" \r\n");
  StartSectorRun(3);
}

void CDownloaderDlg::RequestDumpBlock(std::uint32_t address) {
  g_MasterComm.m_bBlockMode = TRUE;
  SendByte(kesta::kDumpBlock);
  auto bytes = kesta::BigEndian32(address);
  Send(bytes.data(), bytes.size());
}

void CDownloaderDlg::DumpCurrentSector() {
  m_OperationState = 24;
  CString line;
  line.Format(L"Dumping sector ( SectorNum = %d )... ", m_nCurrentSector);
  AppendLog(line);
  RequestDumpBlock(SectorAddress(m_nCurrentSector));
}

void CDownloaderDlg::OnDumpBlock() {
  CByteQueue& queue = g_MasterComm.m_QueueRead;
  // A message posted before this block was complete: the block's own message follows.
  if (queue.GetCount() < CByteQueue::kBlockCount) return;
  g_MasterComm.m_bBlockMode = FALSE;
  std::uint8_t sum = 0;
  for (std::uint8_t& byte : m_DumpBuffer) {
    queue.Get(byte);
    sum = static_cast<std::uint8_t>(sum + byte);
  }
  std::uint8_t reply = 0;
  queue.Get(reply);
  if (reply != sum) {
    m_OperationState = kStateIdle;
    m_OperationCode = 0;
    AfxMessageBox(L"Checksum mismatched!");
    return;  // the blocks written so far stay in the file, which Stop closes
  }
  if (!m_DumpFile.Write(m_DumpBuffer, sizeof(m_DumpBuffer))) {
    // A full disk: what the file lacks must not pass for a dump.
    m_OperationState = kStateIdle;
    AppendLog(L"** File write error! **\r\n");
    AfxMessageBox(L"File write error!");
    EndOperation();
    EnableSlaveControls(TRUE);
    return;
  }
  m_Progress.SetPos(m_Progress.GetPos() + 8);
  ++m_nDumpBlocks;
  if (m_nDumpBlocks < SectorBytes(m_nCurrentSector) / sizeof(m_DumpBuffer)) {
    m_OperationState = 24;
    RequestDumpBlock(SectorAddress(m_nCurrentSector) +
                     m_nDumpBlocks * static_cast<std::uint32_t>(sizeof(m_DumpBuffer)));
    return;
  }
  m_nDumpBlocks = 0;
  AppendLog(L"OK!\r\n");
  int next = NextSelectedSector(m_nCurrentSector);
  if (next >= 0) {
    m_nCurrentSector = next;
    DumpCurrentSector();
    return;
  }
  m_DumpFile.Close();
  m_bDumpFileOpen = FALSE;
  LogElapsed(L"Dump");
  m_OperationState = kStateIdle;
  AfxMessageBox(L"Dump Completed!");
  m_strHistoryPath = m_strDumpPath;
  WriteHistory(kHistoryDump);
  EndOperation();
  EnableSlaveControls(TRUE);
}

// ---------------------------------------------------------------------------------------------
// History file.

void CDownloaderDlg::WriteHistory(int type) {
  if (!g_pHistoryFile) return;  // no history for this run
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (std::tm* t = std::localtime(&now)) local = *t;
  const std::string time = HistoryTime(local);
  CFile& f = *g_pHistoryFile;
  if (!f.Open(g_strHistoryPath.c_str(),
              CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite))
    return;
  auto put = [&f](const std::string& s) {
    f.SeekToEnd();
    f.Write(s.data(), static_cast<UINT>(s.size()));
  };
  if (m_nHistoryCount == 0 && type != kHistoryShow) put(kHistoryHeader);
  ++m_nHistoryCount;
  std::span<const std::uint32_t> flags;
  if (type == kHistoryErase)
    flags = {m_EraseHistoryFlags, static_cast<std::size_t>(g_nSectorCount)};
  if (type == kHistoryDump) flags = {m_DumpHistoryFlags, static_cast<std::size_t>(g_nSectorCount)};
  put(HistoryEntry(type, m_nHistoryCount, time, ToAnsi(m_strHistoryPath), flags));
  if (type == kHistoryErase)
    std::fill(std::begin(m_EraseHistoryFlags), std::end(m_EraseHistoryFlags), 0u);
  if (type == kHistoryDump)
    std::fill(std::begin(m_DumpHistoryFlags), std::end(m_DumpHistoryFlags), 0u);
  if (type == kHistoryShow) {
    f.SeekToBegin();
    std::string contents(static_cast<std::size_t>(f.GetLength()), '\0');
    contents.resize(f.Read(contents.data(), static_cast<UINT>(contents.size())));
    if (!contents.empty()) {
      AppendLog(kHistoryShowBegin);
      AppendLog((FromAnsi(contents) + L" \r\n").c_str());
      AppendLog(kHistoryShowEnd);
    } else {
      AppendLog(kHistoryNone);
    }
    --m_nHistoryCount;  // showing uses up no entry number
  }
  FlushFileBuffers(f.m_hFile);
  f.Close();
}

void CDownloaderDlg::OnHistory() { WriteHistory(kHistoryShow); }

void CDownloaderDlg::OnDelHistory() {
  if (!g_pHistoryFile) return;
  CFile& f = *g_pHistoryFile;
  if (!f.Open(g_strHistoryPath.c_str(),
              CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite | CFile::typeText))
    return;
  std::string contents(static_cast<std::size_t>(f.GetLength()), '\0');
  contents.resize(f.Read(contents.data(), static_cast<UINT>(contents.size())));
  if (!contents.empty()) {
    f.Close();
    CFile::Remove(g_strHistoryPath.c_str());
    AfxMessageBox(L"History File Deleted!!!");
    AppendLog(kHistoryDeletedLog);
    m_nHistoryCount = 0;
    return;
  }
  AppendLog(kHistoryNoFile);
  AppendLog(L" \r\n");
  f.Close();
}
