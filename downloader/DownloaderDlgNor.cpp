// NOR erase and dump of the sectors the user ticks, and the erase of the slave's QVS area.

#include <algorithm>

#include "DownloaderDlg.h"
#include "DownloaderDlgShared.h"
#include "FlashSectorDlg.h"
#include "HistoryText.h"
#include "KestaFrames.h"

using namespace dlg_shared;

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
  m_Nor = SectorRun{};  // a new erase or dump
  int first = -1;
  for (int i = 0; i < g_nSectorCount; ++i) {
    if (!g_SectorFlags[i]) continue;
    if (first < 0) first = i;
    ++m_Nor.selectedSectors;
    historyFlags[i] = 1;
    m_Nor.totalKBytes += SectorBytes(i) / 1024;
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
  const std::string elapsed = ElapsedMinSec(Now() - m_Nor.startTime);
  CString line;
  line.Format(L"\r\n** %s Time %s **\r\n", what,
              std::wstring(elapsed.begin(), elapsed.end()).c_str());
  AppendLog(line);
  line.Format(L"** (Total %d KBytes) **\r\n", static_cast<int>(m_Nor.totalKBytes));
  AppendLog(line);
}

void CDownloaderDlg::OnErase() {
  if (!g_pSectorTable) return;
  // Flags left from an earlier run would erase sectors nobody ticked this time.
  std::fill(std::begin(g_SectorFlags), std::end(g_SectorFlags), 0u);
  if (!RunSectorDialog()) return;
  int first = TakeSelectedSectors(m_History.eraseFlags);
  if (first < 0) {
    AfxMessageBox(L"No sector selected!");
    return;
  }
  m_Nor.currentSector = first;
  m_Nor.startTime = Now();
  m_Progress.SetRange32(0, m_Nor.selectedSectors);
  m_Progress.SetPos(0);
  m_Log.SetWindowText(L" \r\n");
  AppendLog(L"** Erasing NOR-Flash **\r\n\r\n");
  StartSectorRun(1);
}

void CDownloaderDlg::EraseQvsArea(int code) {
  if (!g_pSectorTable) return;
  std::fill(std::begin(g_SectorFlags), std::end(g_SectorFlags), 0u);
  for (int i = 224; i <= 230 && i < g_nSectorCount; ++i) g_SectorFlags[i] = 1;
  TakeSelectedSectors(m_History.eraseFlags);
  m_Nor.currentSector = 224;
  m_Nor.startTime = Now();
  m_Progress.SetRange32(0, 7);
  m_Progress.SetPos(0);
  m_Log.SetWindowText(L" \r\n");
  AppendLog(L"** Erasing QVS **\r\n\r\n");
  StartSectorRun(code);
}

void CDownloaderDlg::EraseCurrentSector() {
  m_OperationState = 22;
  CString line;
  line.Format(L"Erasing sector ( SectorNum = %d )... ", m_Nor.currentSector);
  AppendLog(line);
  SendNorCommand(SectorAddress(m_Nor.currentSector));
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
  int next = NextSelectedSector(m_Nor.currentSector);
  if (next >= 0) {
    m_Nor.currentSector = next;
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
  int first = TakeSelectedSectors(m_History.dumpFlags);
  if (first < 0) {
    AfxMessageBox(L"No sector selected!");
    return;
  }
  CString path;
  if (!ChooseSaveFile(L"Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||", L".hex", path)) {
    std::fill(std::begin(m_History.dumpFlags), std::end(m_History.dumpFlags), 0u);
    AfxMessageBox(L"No file selected!");
    return;
  }
  if (m_bDumpFileOpen) m_DumpFile.Close();  // what an earlier failed dump kept
  m_bDumpFileOpen = m_DumpFile.Open(path, CFile::modeCreate | CFile::modeWrite);
  if (!m_bDumpFileOpen) {
    std::fill(std::begin(m_History.dumpFlags), std::end(m_History.dumpFlags), 0u);
    AfxMessageBox(L"Internal Error! (file creation)");
    return;
  }
  m_Nor.dumpPath = path;
  m_Nor.currentSector = first;
  m_Nor.startTime = Now();
  m_Progress.SetRange32(0, static_cast<int>(m_Nor.totalKBytes));
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
  line.Format(L"Dumping sector ( SectorNum = %d )... ", m_Nor.currentSector);
  AppendLog(line);
  RequestDumpBlock(SectorAddress(m_Nor.currentSector));
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
  ++m_Nor.dumpBlocks;
  if (m_Nor.dumpBlocks < SectorBytes(m_Nor.currentSector) / sizeof(m_DumpBuffer)) {
    m_OperationState = 24;
    RequestDumpBlock(SectorAddress(m_Nor.currentSector) +
                     m_Nor.dumpBlocks * static_cast<std::uint32_t>(sizeof(m_DumpBuffer)));
    return;
  }
  m_Nor.dumpBlocks = 0;
  AppendLog(L"OK!\r\n");
  int next = NextSelectedSector(m_Nor.currentSector);
  if (next >= 0) {
    m_Nor.currentSector = next;
    DumpCurrentSector();
    return;
  }
  m_DumpFile.Close();
  m_bDumpFileOpen = FALSE;
  LogElapsed(L"Dump");
  m_OperationState = kStateIdle;
  AfxMessageBox(L"Dump Completed!");
  m_History.path = m_Nor.dumpPath;
  WriteHistory(kHistoryDump);
  EndOperation();
  EnableSlaveControls(TRUE);
}
