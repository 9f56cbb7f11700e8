// Times the main dialog's boot and binary download against the phone simulator.
//
// download_throughput <speed index 0-3> <mebibytes>
// START, then DOWNLOAD of BINARY from offset 0 until "Download completed!". Prints one line:
//   preloader_seconds=<s> bootloader_seconds=<s> download_seconds=<s> bytes=<n>
//   boot_turns: <line-turns> download_turns: <line-turns>
// or a failure line. The pre-loader phase runs from its first BOOT_LOAD frame to the answer to
// the last, the boot-loader phase from its first block to the answer to the last; the turns
// are the simulator's (the host's time from the end of each reply on the wire to its next
// message), over the boot ROM stage and over the download.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "DownloaderDlg.h"
#include "phone_sim_control.h"

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

double Seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Waits for messages as the program's own loop does (no polling), dispatching them one at a
// time and calling `step` after each; false when `done` did not come true within ms.
bool PumpUntil(const std::function<bool()>& done, const std::function<void()>& step, DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  for (;;) {
    MSG m;
    while (!done() && PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
      step();
    }
    if (done()) return true;
    const int left = static_cast<int>(end - GetTickCount());
    if (left <= 0) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
  }
}

void Click(HWND dlg, int id) {
  SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

std::string Turns(phone_sim::PhoneSimControl& sim) {
  std::string reply = sim.Command("line-turns");
  if (reply.rfind("OK ", 0) == 0) reply = reply.substr(3);
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  return reply;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || !phone_sim::PhoneSimControl::Available()) {
    std::printf("usage: download_throughput <speed index> <mebibytes> (phone simulator set)\n");
    return 2;
  }
  phone_sim::PhoneSimControl sim;
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
  g_app.WriteProfileInt(L"Setting", L"COM", std::stoi(sim.ComName().substr(3)) - 1);
  g_app.WriteProfileInt(L"Setting", L"SPEED", std::atoi(argv[1]) & 3);
  g_app.WriteProfileInt(L"Setting", L"ARM9", 1);
  g_app.WriteProfileString(L"Setting", L"binary1", file.c_str());
  AfxInitRichEdit2();
  OpenHistoryFile();

  int rc = 1;
  {
    CDownloaderDlg dlg;
    dlg.Create(IDD_DOWNLOADER_DIALOG);
    // Phase marks, taken when the state first shows them.
    double preStart = 0, preEnd = 0, blStart = 0, blEnd = 0;
    std::string bootTurns;
    auto mark = [&] {
      const double now = Seconds();
      const int state = dlg.m_OperationState;
      if (dlg.m_BootDone) return;
      if (!preStart && state == 5) preStart = now;
      if (preStart && !preEnd && state == 7) {
        preEnd = now;
        bootTurns = Turns(sim);
      }
      if (!blStart && state == 12) blStart = now;
      if (blStart && !blEnd && state == 16) blEnd = now;
    };
    sim.Command("line-turns-clear");
    Click(dlg.m_hWnd, IDC_START);
    if (!PumpUntil([&] { return dlg.m_BootDone && dlg.m_OperationState == kStateIdle; }, mark,
                   120000)) {
      std::printf("boot failed (state %d)\n", static_cast<int>(dlg.m_OperationState));
    } else {
      sim.Command("line-turns-clear");
      const double t0 = Seconds();
      Click(dlg.m_hWnd, IDC_DOWNLOAD);
      const bool idle =
          PumpUntil([&] { return dlg.m_OperationState == kStateIdle; }, [] {}, 600000);
      const double t1 = Seconds();
      if (idle && g_app.completed) {
        std::printf(
            "preloader_seconds=%.3f bootloader_seconds=%.3f download_seconds=%.3f bytes=%u "
            "boot_turns: %s download_turns: %s\n",
            preEnd - preStart, blEnd - blStart, t1 - t0, bytes, bootTurns.c_str(),
            Turns(sim).c_str());
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
