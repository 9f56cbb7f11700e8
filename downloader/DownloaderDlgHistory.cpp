// The download history file: an entry per finished operation, History and Del_History.

#include <ctime>
#include <span>

#include "DownloaderDlg.h"
#include "DownloaderDlgShared.h"
#include "HistoryText.h"

using namespace dlg_shared;

CFile* g_pHistoryFile = nullptr;
std::wstring g_strHistoryPath = kHistoryFilePath;

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
  if (m_History.count == 0 && type != kHistoryShow) put(kHistoryHeader);
  ++m_History.count;
  std::span<const std::uint32_t> flags;
  if (type == kHistoryErase)
    flags = {m_History.eraseFlags, static_cast<std::size_t>(g_nSectorCount)};
  if (type == kHistoryDump) flags = {m_History.dumpFlags, static_cast<std::size_t>(g_nSectorCount)};
  put(HistoryEntry(type, m_History.count, time, ToAnsi(m_History.path), flags));
  if (type == kHistoryErase)
    std::fill(std::begin(m_History.eraseFlags), std::end(m_History.eraseFlags), 0u);
  if (type == kHistoryDump)
    std::fill(std::begin(m_History.dumpFlags), std::end(m_History.dumpFlags), 0u);
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
    --m_History.count;  // showing uses up no entry number
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
    m_History.count = 0;
    return;
  }
  AppendLog(kHistoryNoFile);
  AppendLog(L" \r\n");
  f.Close();
}
