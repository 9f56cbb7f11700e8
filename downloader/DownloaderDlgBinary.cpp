// Binary download into NOR: DOWNLOAD, the items LOADER, BINARY and ENGINE one after the other,
// the sector-by-sector write, and what follows the last file.

#include <algorithm>

#include "DownloaderDlg.h"
#include "DownloaderDlgShared.h"
#include "HexText.h"
#include "HistoryText.h"
#include "KestaFrames.h"

using namespace dlg_shared;

namespace {

constexpr std::uint32_t kEngineDefaultOffset = 0x1D60000;

}  // namespace

void CDownloaderDlg::OnDownload() {
  EnableItems({IDC_DOWNLOAD}, FALSE);
  // A new run: nothing of an earlier one (the Format button's flag, items a failed run left
  // pending) carries over.
  m_Bin = BinaryRun{};
  m_Format = FormatRun{};
  m_Qvs.dirIndex = m_Qvs.fileIndex = 0;
  if (m_SlaveTarget) {
    m_strSlaveBinPath = GetDlgItemText(IDC_SLAVE_BIN_PATH);
    m_strSlaveQvsPath = GetDlgItemText(IDC_SLAVE_QVS_PATH);
    m_strSlaveCfgPath = CfgNameFor(m_strSlaveQvsPath.str());
    m_Bin.fileSize = 0;
    m_Bin.startTime = Now();
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
  if (!m_bLoader && !m_bBinary && !m_bEngine && !m_Bin.pending[0] && !m_Bin.pending[1] &&
      !m_Bin.pending[2]) {
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
  m_Bin.path = GetDlgItemText(IDC_LOADER_PATH);
  m_strQvsPath = GetDlgItemText(IDC_QVS_PATH);
  m_strCfgPath = CfgNameFor(m_strQvsPath.str());
  if (m_bNoAutoFormat || m_nMasterMode == 0) {
    StartDownload();
    return;
  }
  m_Bin.fileSize = 0;
  m_Bin.startTime = Now();
  m_Progress.SetPos(0);
  m_OperationCode = 6;
  m_OperationState = 19;
  SendByte(kesta::kLinkSync);
  DisableControls();
  EnableSlaveControls(FALSE);
  m_Log.SetWindowText(L" \r\n");
  AppendLog(L"** Formatting QVS system (NAND Flash)... ");
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
      m_Bin.pending[i] = TRUE;
      *checks[i] = 0;
      CheckDlgButton(kCheck[i], BST_UNCHECKED);
    }
    int item = TakeNextPendingItem();
    if (item >= 0) m_Bin.currentItem = item;
    m_Bin.path = ItemPath(m_Bin.currentItem);
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
        if (!ShowLength(m_Bin.path, kSizeEdit[m_Bin.currentItem], length)) {
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
  m_Bin.writeOffset = 0;
  m_Bin.bytesSent = 0;
  m_Bin.fileSize = 0;
  m_Bin.lastPiece = FALSE;
  m_Bin.startTime = Now();
  m_OperationState = 19;
  SendByte(kesta::kLinkSync);
  DisableControls();
  EnableSlaveControls(FALSE);
}

void CDownloaderDlg::DownloadNext() {
  m_Bin.lastPiece = FALSE;
  if (!m_SlaveTarget) {
    if (m_OperationCode == 9) {
      int next = TakeNextPendingItem();
      if (next >= 0) {
        m_Bin.currentItem = next;
        m_Bin.path = ItemPath(next);
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
    if (m_Bin.pending[0] || m_Bin.pending[1] || m_Bin.pending[2]) {
      StartDownload();
      return;
    }
    LogTimeAndTotal(m_Bin.fileSize);
    if (m_bMaster && m_bSlave) {
      HandOverToSlave(500, true);
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
  LogTimeAndTotal(m_Bin.fileSize);
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

void CDownloaderDlg::StartBinaryDownload() {
  static const int kOptionEdit[3] = {IDC_LOADER_ADDR, IDC_BINARY_ADDR, IDC_ENGINE_ADDR};
  bool option;
  int edit;
  if (m_SlaveTarget) {
    option = m_bSlaveStartAddr != FALSE;
    edit = IDC_SLAVE_ADDR;
  } else {
    const BOOL switches[3] = {m_bStartAddr1, m_bStartAddr2, m_bStartAddr3};
    option = switches[m_Bin.currentItem] != FALSE;
    edit = kOptionEdit[m_Bin.currentItem];
  }
  std::uint32_t offset = 0;
  if (option) {
    CString text = GetDlgItemText(edit);
    if (!ParseStartAddress(text.str(), offset)) {
      m_OperationState = kStateIdle;
      AppendLog(L"** Wrong start address: " + text + L"\r\n");
      return;
    }
  } else if (!m_SlaveTarget && m_Bin.currentItem == 2) {
    offset = kEngineDefaultOffset;
  }
  m_Bin.sectorIndex = FindSectorIndex(offset);
  if (m_Bin.sectorIndex < 0) {
    m_OperationState = kStateIdle;
    CString line;
    line.Format(L"** No NOR sector starts at 0x%08X\r\n", kNorBase + offset);
    AppendLog(line);
    return;
  }
  m_Bin.writeOffset = offset;

  std::uint32_t checksum = kesta::kNoChecksum;
  if (m_SlaveTarget || m_Bin.currentItem == 1) {
    checksum = FileCrc32(m_SlaveTarget ? m_strSlaveBinPath : m_Bin.path);
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
  open = file.Open(m_SlaveTarget ? m_strSlaveBinPath : m_Bin.path,
                   CFile::modeRead | CFile::shareDenyWrite);
  if (!open) {
    m_OperationState = kStateIdle;
    AfxMessageBox(m_SlaveTarget ? L"Fail to open bin file!"
                                : L"Fail to open binary file!\nCheck the path!!");
    EndOperation();
    return;
  }
  m_Bin.fileSize = m_Bin.remaining = static_cast<std::uint32_t>(file.GetLength());
  m_Progress.SetRange32(0, static_cast<int>(m_Bin.fileSize));
  m_OperationState = 20;
  SendByte(kesta::kSetLength);
  SendBigEndian32(m_Bin.fileSize);
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
    m_Bin.piecesPerSector = w.pieces;
  }
  m_Bin.pieceCount = 0;
  std::uint8_t frame[5] = {command};
  kesta::PutBigEndian32(frame + 1, address);
  m_ExpectedReply = kesta::Sum8({frame + 1, 4});
  Send(frame, sizeof(frame));
  return true;
}

void CDownloaderDlg::SendFileChunk() {
  UINT n = SendFile().Read(m_SendBuffer, static_cast<UINT>(kesta::kPieceSize));
  if (n == 0) {
    m_Bin.lastPiece = TRUE;
    m_OperationState = 50;
    return;
  }
  const int shown = static_cast<int>(m_Bin.bytesSent);
  if (n < kesta::kPieceSize) {
    m_Bin.lastPiece = TRUE;
    m_Bin.bytesSent = 0;
  }
  m_ExpectedReply = static_cast<std::uint8_t>(m_ExpectedReply + kesta::Sum8({m_SendBuffer, n}));
  m_Bin.remaining -= std::min<std::uint32_t>(m_Bin.remaining, n);
  Send(m_SendBuffer, n);
  m_Bin.bytesSent += n;
  // The bar repaints at once: after the piece has left, while the phone takes it.
  m_Progress.SetPos(shown);
}

void CDownloaderDlg::OnPieceAck() {
  if (m_Bin.lastPiece) {
    m_OperationState = 50;
    return;
  }
  if (++m_Bin.pieceCount == m_Bin.piecesPerSector) {
    const SECTOR_INFO& s = g_pSectorTable[m_Bin.sectorIndex];
    m_Bin.nextSectorOffset = (s.offset + s.size) * 2;
    m_Bin.writeOffset = m_Bin.nextSectorOffset;
    ++m_Bin.sectorIndex;
    m_OperationState = 50;
    if (m_Bin.remaining == 0) m_Bin.lastPiece = TRUE;
    return;
  }
  SendFileChunk();
}

void CDownloaderDlg::OnSectorSum() {
  if (m_Bin.lastPiece) {
    m_OperationState = 59;
    SendByte(kesta::kDownloadEnd);
    return;
  }
  m_OperationState = 49;
  if (!SendNorCommand(m_Bin.nextSectorOffset)) return;
  m_ExpectedReply = 0;
  SendFileChunk();
}

void CDownloaderDlg::FinishDownload() {
  // The entry names the file just written, not the next item's.
  CString written = m_SlaveTarget ? m_strSlaveBinPath : m_Bin.path;
  DownloadNext();
  m_History.path = written;
  WriteHistory(kHistoryBin);
}

void CDownloaderDlg::LogTimeAndTotal(std::uint32_t total) {
  CString line;
  const std::string elapsed = ElapsedMinSec(Now() - m_Bin.startTime);
  AppendLog(
      (L"\r\n** Downloading Time " + std::wstring(elapsed.begin(), elapsed.end()) + L" **\r\n")
          .c_str());
  line.Format(L"** (Total %d bytes) **\r\n", static_cast<int>(total));
  AppendLog(line);
}

int CDownloaderDlg::TakeNextPendingItem() {
  for (int i = 0; i < 3; ++i) {
    if (m_Bin.pending[i]) {
      m_Bin.pending[i] = FALSE;
      return i;
    }
  }
  return -1;
}

CString CDownloaderDlg::ItemPath(int item) {
  static const int kCombo[3] = {IDC_LOADER_PATH, IDC_BINARY_PATH, IDC_ENGINE_PATH};
  return GetDlgItemText(kCombo[item]);
}

CFile& CDownloaderDlg::SendFile() { return m_SlaveTarget ? m_SlaveBinFile : m_BinFile; }

BOOL& CDownloaderDlg::SendFileOpen() {
  return m_SlaveTarget ? m_bSlaveBinFileOpen : m_bBinFileOpen;
}
