// QVS image download, the QVS format and status requests, the drive buttons and the file
// check of the main dialog.

#include <ctime>

#include "Crc32.h"
#include "DownloaderDlg.h"
#include "DownloaderDlgShared.h"
#include "HistoryText.h"
#include "KestaFrames.h"
#include "QVSExplorerDlg.h"
#include "QvsFileCheck.h"
#include "QvsFrames.h"

using namespace dlg_shared;

namespace {

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
  m_Qvs = QvsRun{};
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
    m_Qvs.cfgText.clear();
    AfxMessageBox(CString::FromUtf8(r.message));
    return false;
  }
  m_Qvs.cfgText = std::move(text);
  m_Qvs.plan = std::move(plan);
  return true;
}

bool CDownloaderDlg::SendQvsDirectory() {
  if (m_Qvs.dirIndex >= m_Qvs.plan.directories.size()) {
    m_Qvs.dirIndex = 0;
    return false;
  }
  qvs::QvsFrame f;
  if (!qvs::MakeDirFrame(m_Qvs.plan.directories[m_Qvs.dirIndex++].name, f)) {
    m_OperationState = kStateIdle;
    return true;
  }
  m_ExpectedReply = f.reply;
  Send(f.bytes.data(), f.bytes.size());
  return true;
}

bool CDownloaderDlg::SendQvsFile() {
  if (m_Qvs.fileIndex >= m_Qvs.plan.files.size()) {
    m_Qvs.fileIndex = 0;
    return false;
  }
  const qvs::QvsFile& file = m_Qvs.plan.files[m_Qvs.fileIndex++];
  qvs::QvsFrame f;
  if (!qvs::AddFileFrame(file.name, file.size, f)) {
    m_OperationState = kStateIdle;
    return true;
  }
  m_Qvs.remaining = file.size;
  m_ExpectedReply = f.reply;
  Send(f.bytes.data(), f.bytes.size());
  return true;
}

void CDownloaderDlg::SendBlock() {
  bool last = false;
  const std::size_t n = qvs::NextBlockSize(m_Qvs.remaining, last);
  m_Qvs.lastBlock = last;
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
  m_Qvs.bytesSent += static_cast<std::uint32_t>(n);
  m_Progress.SetPos(static_cast<int>(m_Qvs.bytesSent));
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
      m_Qvs.dirIndex = 0;
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
      send(qvs::WriteVersionFrame(m_Qvs.plan.version));
      return;
    case 44:
      if (b != qvs::kQvsRecordDone) return fail();
      m_OperationState = 28;
      send(qvs::ReleaseFrame(m_Qvs.plan.release));
      return;
    case 28:
      if (b != qvs::kQvsRecordDone) {
        m_OperationState = kStateIdle;
        AppendLog(L"INIT ERROR ! \n");
        return;
      }
      m_Progress.SetRange32(0, static_cast<int>(m_Qvs.plan.imageLength));
      m_Progress.SetPos(0);
      m_Qvs.bytesSent = 0;
      m_OperationState = 29;
      m_Qvs.fileIndex = 0;
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
      m_Qvs.lastBlock = FALSE;
      SendBlock();
      if (m_Qvs.lastBlock && m_OperationState == 30) m_OperationState = 32;
      return;
    case 30:
      if (b != m_ExpectedReply) return fail();
      SendBlock();
      if (m_Qvs.lastBlock && m_OperationState == 30) m_OperationState = 32;
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
  LogTimeAndTotal(m_Bin.fileSize + m_Qvs.bytesSent);
  m_History.path = QvsPath();
  if (!m_SlaveTarget && m_bMaster && m_bSlave) {
    // The run goes on with the slave: its entry is written before the line is handed over.
    WriteHistory(kHistoryQvs);
    HandOverToSlave(500, true);
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
  m_Format = FormatRun{};
  m_Format.userFormat = TRUE;
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
  m_Format.sumPending = FALSE;
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
  m_Format.sumPending = TRUE;
  Send(f.bytes.data(), f.bytes.size());
}

void CDownloaderDlg::OnFormatReply(std::uint8_t b) {
  if (m_Format.sumPending) {
    m_Format.sumPending = FALSE;
    if (b == m_ExpectedReply) return;
  }
  if (b == qvs::kQvsFormatFailed) {
    m_OperationState = 39;
    m_Format.recordCount = 0;
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
  if (!m_Format.userFormat && (mode == 1 || (m_SlaveTarget && mode == 2))) {
    StartQvsDownload(true);
    return;
  }
  if (!m_Format.userFormat && !m_SlaveTarget && mode == 2) {
    StartDownload();
    return;
  }
  AppendLog(L"Nand Format Complete!!\r\n");
  EndOperation();
  m_OperationState = kStateIdle;
}

void CDownloaderDlg::OnStatus() {
  m_Format = FormatRun{};
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

void CDownloaderDlg::OnExplorer() {
  m_Progress.SetPos(0);
  CQVSExplorerDlg explorer(this, m_SecondDeviceId);
  explorer.DoModal();
}
