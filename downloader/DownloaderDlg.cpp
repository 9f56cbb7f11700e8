// The main dialog: construction, the controls' data, tooltips, and the receive handler whose
// state switch is the index of every operation state.

#include "DownloaderDlg.h"

#include <algorithm>

#include "AboutDlg.h"
#include "Crc32.h"
#include "DownloaderDlgShared.h"
#include "HexText.h"
#include "KestaFrames.h"

using namespace dlg_shared;

namespace {

const wchar_t kTitle[] =
    L"KelNAND Downloader v0.5 Lite for PNX6512(qvs4 v16&&3zevo&&PNX5230 slave)";
const wchar_t kWelcome[] =
    L"Welcome to Downloader!!\r\n\r\nPress 'START' button to identify the FLASH ID...";
const wchar_t kTipMaster[] = L"현재 입력값 : %s   ";
const wchar_t kTipSlave[] = L"현재 입력값(Slave) : %s   ";

}  // namespace

std::uint8_t g_nCurrentDrive = 1;

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

void CDownloaderDlg::OnAbout() {
  CAboutDlg dlg(this);
  dlg.DoModal();
}

LRESULT CDownloaderDlg::OnCommReceive(WPARAM, LPARAM) {
  if (m_BootDone && m_OperationState == 24) {
    OnDumpBlock();
    return 0;
  }
  std::uint8_t b;
  // Only the bytes queued before this message: a reply that lands while a step writes has a
  // message of its own, so the window keeps answering through a whole download. A dump block
  // that follows is taken whole by its own message, not byte by byte.
  for (int n = g_MasterComm.m_QueueRead.GetCount();
       n > 0 && !(m_BootDone && m_OperationState == 24) && g_MasterComm.m_QueueRead.Get(b); --n) {
    if (!m_BootDone)
      ProcessBootByte(b);
    else
      ProcessOperationByte(b);
  }
  return 0;
}

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
      SendBigEndian32(m_Bin.writeOffset);
      break;
    case 21:
      if (b != m_ExpectedReply) return FailAndEnd();
      OnBinaryOffsetReply();
      break;
    case 20:
      if (b != m_ExpectedReply) return FailAndEnd();
      AppendLog(L"** Start BINARY downloading...\r\n");
      m_OperationState = 49;
      if (!SendNorCommand(m_Bin.writeOffset)) return;
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
      m_Format.errorRecord[m_Format.recordCount++] = b;
      if (m_Format.recordCount == static_cast<int>(sizeof(m_Format.errorRecord))) {
        m_Format.recordCount = 0;
        const bool format = m_OperationState == 39;
        m_OperationState = kStateIdle;
        AppendLog(format ? L"Format Error !\n" : L"QVS INIT ERROR ! \n");
        EndOperation();
      }
      break;
    case 34:
      if (b == 0xED || b == 0xF4) {
        m_OperationState = 35;
        m_Format.recordCount = 0;
      } else if (b == 0xF3) {
        m_OperationState = 41;
        m_Format.recordCount = 0;
      }
      break;  // anything else comes before the reply
    case 35:
      m_Format.statusRecord[m_Format.recordCount++] = b;
      if (m_Format.recordCount == static_cast<int>(sizeof(m_Format.statusRecord))) {
        m_Format.recordCount = 0;
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
      m_Nor.dumpBlocks = 0;
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

void CDownloaderDlg::Send(const void* bytes, std::size_t count) {
  g_MasterComm.Write(bytes, static_cast<DWORD>(count));
}

void CDownloaderDlg::SendByte(std::uint8_t b) { Send(&b, 1); }

void CDownloaderDlg::SendBigEndian32(std::uint32_t value) {
  auto bytes = kesta::BigEndian32(value);
  m_ExpectedReply = kesta::Sum8(bytes);
  Send(bytes.data(), bytes.size());
}

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
