// The main dialog's controls: the sets an operation disables and its end enables again, the
// master and slave groups by their modes, the option switches and the checksum buttons.

#include <vector>

#include "Crc32.h"
#include "DownloaderDlg.h"
#include "DownloaderDlgShared.h"

using namespace dlg_shared;

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

void CDownloaderDlg::SetMasterGroupBySwitches() {
  EnableItems({IDC_LOADER_PATH, IDC_LOADER_BROWSE, IDC_LOADER_SIZE, IDC_LOADER_ADDR_CHECK},
              m_bLoaderSwitch);
  EnableItems({IDC_BINARY_PATH, IDC_BINARY_BROWSE, IDC_BINARY_SIZE, IDC_BINARY_ADDR_CHECK},
              m_bBinarySwitch);
  EnableItems({IDC_ENGINE_PATH, IDC_ENGINE_BROWSE, IDC_ENGINE_SIZE, IDC_ENGINE_ADDR_CHECK},
              m_bEngineSwitch);
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
