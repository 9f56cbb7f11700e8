// The link of the main dialog: START and Stop, the boot handshake with the speed change, and
// the hand-over to the slave chip.

#include <algorithm>
#include <span>

#include "DownloaderDlg.h"
#include "DownloaderDlgShared.h"
#include "FlashId.h"
#include "KestaFrames.h"
#include "phone_images.h"

using namespace dlg_shared;

namespace {

// The phone-side images the boot engine sends: master or slave chip.
const phone_images::Image& PreLoaderFor(bool slave) {
  return slave ? phone_images::SlavePreLoader() : phone_images::MasterPreLoader();
}
const phone_images::Image& BootLoaderFor(bool slave) {
  return slave ? phone_images::SlaveBootLoader() : phone_images::MasterBootLoader();
}

}  // namespace

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
  m_Bin = BinaryRun{};
  m_Log.SetWindowText(
      L"** Wait for Connect Request from Mobile...\r\n** (POWER ON the PHONE!)\r\n");
  m_BootDone = FALSE;
  m_Boot = BootRun{};
  m_OperationState = kStateWaitConnect;
  EnableItems({IDC_STOP}, TRUE);
  EnableItems({IDC_START}, FALSE);
  DisableControls();
  EnableSlaveControls(FALSE);
}

void CDownloaderDlg::OnStop() {
  KillTimer(kReopenTimer);  // no reopen after Stop
  m_Qvs = QvsRun{};         // frees the .cfg text
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
  m_Qvs.cfgText.clear();
  if (g_MasterComm.IsConnected()) g_MasterComm.Close();
  if (g_hReplyWnd.load() == m_hWnd) g_hReplyWnd = nullptr;
}

void CDownloaderDlg::SendPreLoader() {
  const auto& image = PreLoaderFor(m_SlaveTarget != 0).bytes;
  auto frame = kesta::BootLoadWordFrame(image, m_Boot.preLoaderWord);
  const bool last = m_Boot.preLoaderWord + 1 >= kesta::BootLoadWordCount(image.size());
  if (last) {
    m_OperationState = 6;
    m_Boot.preLoaderWord = 0;
  } else {
    m_OperationState = 5;
    ++m_Boot.preLoaderWord;
  }
  Send(frame.data(), frame.size());
}

void CDownloaderDlg::SendBootLoader() {
  const auto& image = BootLoaderFor(m_SlaveTarget != 0).bytes;
  std::size_t block = std::min(kesta::kDmaBlockSize, m_Boot.remaining);
  if (m_Boot.sendPos + block > image.size())
    block = image.size() - std::min(image.size(), m_Boot.sendPos);
  const std::uint8_t* data = image.data() + m_Boot.sendPos;
  m_Boot.sendPos += block;
  m_Boot.remaining -= block;
  m_Progress.SetPos(m_Progress.GetPos() + static_cast<int>(block));
  m_ExpectedReply = kesta::Sum8({data, block});
  if (block == kesta::kDmaBlockSize) {
    m_OperationState = 12;
  } else {
    m_OperationState = 13;
    m_Boot.sendPos = 0;
  }
  Send(data, block);
}

void CDownloaderDlg::ProcessBootByte(std::uint8_t b) {
  auto fail = [this] { m_OperationState = kStateIdle; };
  switch (m_OperationState) {
    case 1:
      if (b == kesta::kConnectReq) {
        m_OperationState = 2;
        m_Boot.connectSentTick = GetTickCount();
        SendByte(kesta::kConnect);
      }
      break;
    case 2:
      if (b != kesta::kConnect) {
        // Requests the chip sent before it saw our 0x44 are still on their way: skip them, but
        // answer again when they keep coming.
        if (b == kesta::kConnectReq && GetTickCount() - m_Boot.connectSentTick < kStaleConnectMs)
          break;
        m_OperationState = 1;
        break;
      }
      m_Boot.queryCount = 0;
      m_OperationState = 3;
      SendByte(kesta::kQuery);
      break;
    case 3:
      m_Boot.queryReply[m_Boot.queryCount++] = b;
      if (m_Boot.queryCount == kesta::kQueryLength) {
        m_Boot.queryCount = 0;
        auto frame = kesta::CustomerIdFrame(std::span<const std::uint8_t, 16>(m_Boot.queryReply));
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
      m_Boot.preLoaderWord = 0;
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
      m_Boot.chipVersionCount = 0;
      m_OperationState = 60;
      SendByte(kesta::kChipVersion);
      break;
    case 60:
      m_Boot.chipVersion[m_Boot.chipVersionCount++] = b;  // read and not used
      if (m_Boot.chipVersionCount == kesta::kChipVersionLength) {
        m_Boot.chipVersionCount = 0;
        m_Boot.bootLoaderSize = BootLoaderFor(m_SlaveTarget != 0).bytes.size();
        m_Progress.SetRange32(0, static_cast<int>(m_Boot.bootLoaderSize));
        m_Progress.SetPos(0);
        m_OperationState = 20;
        SendByte(kesta::kSetLength);
        SendBigEndian32(static_cast<std::uint32_t>(m_Boot.bootLoaderSize));
      }
      break;
    case 20:
      if (b != m_ExpectedReply) return fail();
      m_Boot.remaining = m_Boot.bootLoaderSize;
      m_Boot.sendPos = 0;
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
      m_Boot.flashIdCount = 0;
      m_OperationState = 18;
      SendByte(kesta::kFlashId);
      break;
    case 18:
      m_Boot.flashId[m_Boot.flashIdCount++] = b;
      if (m_Boot.flashIdCount == kesta::kFlashIdLength) {
        m_Boot.flashIdCount = 0;
        EvaluateFlashIdReply();
      }
      break;
    default:  // 63 and 0: nothing is awaited
      break;
  }
}

void CDownloaderDlg::EvaluateFlashIdReply() {
  FlashIdResult id = EvaluateFlashId(std::span<const std::uint8_t, 10>(m_Boot.flashId));
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
    HandOverToSlave(1000, false);
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

void CDownloaderDlg::HandOverToSlave(DWORD pauseMs, bool retry) {
  SendByte(kesta::kSwitchSlave);
  g_MasterComm.Close();
  m_BootDone = FALSE;
  Sleep(pauseMs);
  ConnectSlave(retry);
}

void CDownloaderDlg::ConnectSlave(bool retry) {
  SetDlgItemText(IDC_FLASH_ID, L"");
  m_Boot = BootRun{};
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
  m_Log.SetWindowText(L"** Wait for SLAVE POWER ON\r\n");
  m_OperationState = kStateWaitConnect;
  m_SlaveTarget = 1;
  EnableItems({IDC_COM_PORT, IDC_SPEED, IDC_START, IDC_AUTO_DOWNLOAD, IDC_NO_AUTO_FORMAT}, FALSE);
  EnableItems({IDC_STOP}, TRUE);
  DisableControls();
  EnableSlaveControls(FALSE);
}
