// Times a binary download of the main dialog against the phone simulator.
//
// download_throughput <speed index 0-3> <mebibytes>
// Boots the master chip through START, then times DOWNLOAD of BINARY from offset 0 until
// "Download completed!"; prints "download_seconds=<s> bytes=<n>" or a failure line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "DownloaderDlg.h"

namespace {

std::wstring Profile() { return L"Bench" + std::to_wstring(GetCurrentProcessId()); }

class BenchApp : public CWinApp {
 public:
  BenchApp() {
    SetRegistryKey(L"KESTA Tools");
    SetProfileName(Profile().c_str());
  }
  int DoMessageBox(const wchar_t* text, UINT) override {
    if (std::wstring(text) == L"Download completed!") completed = true;
    return IDOK;
  }
  bool completed = false;
};

BenchApp g_app;

bool PumpUntil(bool (*done)(CDownloaderDlg&), CDownloaderDlg& dlg, DWORD ms) {
  DWORD end = GetTickCount() + ms;
  while (!done(dlg)) {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    if (static_cast<int>(GetTickCount() - end) > 0) return false;
    Sleep(1);
  }
  return true;
}

void Click(HWND dlg, int id) {
  SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

}  // namespace

int main(int argc, char** argv) {
  const char* com = std::getenv("PHONE_SIM_COM");
  if (argc != 3 || !com) {
    std::printf("usage: download_throughput <speed index> <mebibytes> (PHONE_SIM_COM set)\n");
    return 2;
  }
  const std::uint32_t bytes = static_cast<std::uint32_t>(std::atoi(argv[2])) * 1024u * 1024u;
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  const std::wstring tag = std::to_wstring(GetCurrentProcessId());
  const std::wstring file = std::wstring(dir) + L"bench_" + tag + L".bin";
  g_strHistoryPath = std::wstring(dir) + L"bench_history_" + tag + L".txt";
  {
    std::string data(bytes, '\0');
    for (std::uint32_t i = 0; i < bytes; ++i) data[i] = static_cast<char>(i * 7 + (i >> 11));
    CFile f;
    f.Open(file.c_str(), CFile::modeCreate | CFile::modeWrite);
    f.Write(data.data(), bytes);
  }
  g_app.WriteProfileInt(L"Setting", L"COM", std::atoi(com + 3) - 1);
  g_app.WriteProfileInt(L"Setting", L"SPEED", std::atoi(argv[1]) & 3);
  g_app.WriteProfileInt(L"Setting", L"ARM9", 1);
  g_app.WriteProfileString(L"Setting", L"binary1", file.c_str());
  AfxInitRichEdit2();
  OpenHistoryFile();

  int rc = 1;
  {
    CDownloaderDlg dlg;
    dlg.Create(IDD_DOWNLOADER_DIALOG);
    Click(dlg.m_hWnd, IDC_START);
    if (!PumpUntil([](CDownloaderDlg& d) { return d.m_BootDone && d.m_OperationState == 63; }, dlg,
                   120000)) {
      std::printf("boot failed (state %d)\n", static_cast<int>(dlg.m_OperationState));
    } else {
      LARGE_INTEGER frequency, t0, t1;
      QueryPerformanceFrequency(&frequency);
      QueryPerformanceCounter(&t0);
      Click(dlg.m_hWnd, IDC_DOWNLOAD);
      bool idle =
          PumpUntil([](CDownloaderDlg& d) { return d.m_OperationState == 63; }, dlg, 600000);
      QueryPerformanceCounter(&t1);
      if (idle && g_app.completed) {
        std::printf("download_seconds=%.3f bytes=%u\n",
                    double(t1.QuadPart - t0.QuadPart) / frequency.QuadPart, bytes);
        rc = 0;
      } else {
        std::printf("download failed (state %d)\n", static_cast<int>(dlg.m_OperationState));
      }
    }
    if (g_MasterComm.IsConnected()) Click(dlg.m_hWnd, IDC_STOP);
    dlg.DestroyWindow();
  }
  CloseHistoryFile();
  DeleteFileW(file.c_str());
  DeleteFileW(g_strHistoryPath.c_str());
  RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\KESTA Tools\\" + Profile()).c_str());
  return rc;
}
