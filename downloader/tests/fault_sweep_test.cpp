// Every fault the phone simulator can put on each reply that the boot and a binary download
// wait for, through the main dialog: the run fails silently in state 63 (with or without the
// controls of the end of an operation), stops with its message box, or waits for the reply
// until Stop; after Stop and a power cycle the same download succeeds.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "DownloaderDlg.h"
#include "SerialComm.h"
#include "answering_app.h"
#include "dialog_driving.h"
#include "phone_sim_control.h"

namespace {

using phone_sim::SimChip;

AnsweringApp g_app(L"FaultSweep", IDOK);

enum class Phase { kBoot, kDownload };

enum class End {
  kWaits,         // the state still awaits its reply; Stop ends the run
  kFails,         // state 63, controls as they were
  kFailsAndEnds,  // state 63 and the controls of the end of an operation
  kStops,         // its message boxes, then Stop: the line closed
  kSucceeds,
};

struct SweepCase {
  std::string name;
  std::string point, kind;
  int times;  // replies that get the fault; 0: every one
  Phase phase;
  End end;
  int state = 0;                    // kWaits: the state that waits
  std::vector<std::wstring> boxes;  // kStops
};

const std::wstring kNandText = L" ONE 1G NAND FLASH  \r\n";

void Add(std::vector<SweepCase>& cases, const std::string& point, const std::string& kind,
         Phase phase, End end, int state = 0, std::vector<std::wstring> boxes = {}, int times = 1) {
  cases.push_back({phone_sim::FaultCaseName(point, kind), point, kind, times, phase, end, state,
                   std::move(boxes)});
}

// A one-byte reply that state compares: a missing or cut reply is waited for, a wrong byte or
// junk in front of it fails the run.
void Compared(std::vector<SweepCase>& cases, const std::string& point, Phase phase, int state,
              End wrong = End::kFails) {
  Add(cases, point, "drop", phase, End::kWaits, state);
  Add(cases, point, "short", phase, End::kWaits, state);
  Add(cases, point, "wrong", phase, wrong);
  Add(cases, point, "garbage", phase, wrong);
}

std::vector<SweepCase> Cases() {
  std::vector<SweepCase> cases;
  const Phase boot = Phase::kBoot, download = Phase::kDownload;
  // Bytes other than 0x81 are waited past.
  Add(cases, "connect-req", "drop", boot, End::kWaits, 1, {}, 0);
  Add(cases, "connect-req", "short", boot, End::kWaits, 1, {}, 0);
  Add(cases, "connect-req", "wrong", boot, End::kWaits, 1, {}, 0);
  Add(cases, "connect-req", "garbage", boot, End::kSucceeds);
  // A byte other than 0x44 sends the machine back to the connect request, which the boot ROM,
  // now past it, no longer sends.
  Add(cases, "connect", "drop", boot, End::kWaits, 2);
  Add(cases, "connect", "short", boot, End::kWaits, 2);
  Add(cases, "connect", "wrong", boot, End::kWaits, 1);
  Add(cases, "connect", "garbage", boot, End::kWaits, 1);
  Add(cases, "query", "drop", boot, End::kWaits, 3);
  Add(cases, "query", "short", boot, End::kWaits, 3);
  // The boot ROM refuses a customer ID with other query bytes and starts again 1.6 s later:
  // its connect request comes in place of the reply.
  Add(cases, "query", "wrong", boot, End::kFails);
  // Three query bytes are left over; the first is taken for the customer ID's reply.
  Add(cases, "query", "garbage", boot, End::kFails);
  Compared(cases, "customer-id", boot, 4);
  Compared(cases, "set-timeout", boot, 53);
  Compared(cases, "set-address", boot, 11);
  Compared(cases, "load", boot, 5);
  Compared(cases, "jump", boot, 8);
  const std::vector<std::wstring> baudrate = {L"Fail to change the baudrate of target!"};
  Add(cases, "sync", "drop", boot, End::kWaits, 19);
  Add(cases, "sync", "short", boot, End::kWaits, 19);
  Add(cases, "sync", "wrong", boot, End::kStops, 0, baudrate);
  Add(cases, "sync", "garbage", boot, End::kStops, 0, baudrate);
  Add(cases, "chip-version", "drop", boot, End::kWaits, 60);
  Add(cases, "chip-version", "short", boot, End::kWaits, 60);
  Add(cases, "chip-version", "wrong", boot, End::kSucceeds);  // read and not used
  // The version's last three bytes come in place of the length's sum.
  Add(cases, "chip-version", "garbage", boot, End::kFails);
  Compared(cases, "length", boot, 20);
  Compared(cases, "dma-echo", boot, 48);
  Compared(cases, "dma-sum", boot, 12);
  Compared(cases, "pre-jump", boot, 16);
  Compared(cases, "cs0-base", boot, 17);
  Add(cases, "flash-id", "drop", boot, End::kWaits, 18);
  Add(cases, "flash-id", "short", boot, End::kWaits, 18);
  // Manufacturer 0xFFEC; the NAND is still known.
  Add(cases, "flash-id", "wrong", boot, End::kStops, 0, {kNandText, L"Unknown Flash"});
  // The junk is the manufacturer and the device; the second ID is 0000.
  Add(cases, "flash-id", "garbage", boot, End::kStops, 0,
      {L"not supported NAND FLASH(DevID:0)\r\n", L"Unknown Flash"});

  // The download's replies. LINK_SYNC's answer may be any byte: junk in front of it leaves
  // 5A for the checksum's sum.
  Add(cases, "bl-sync", "drop", download, End::kWaits, 19);
  Add(cases, "bl-sync", "short", download, End::kWaits, 19);
  Add(cases, "bl-sync", "wrong", download, End::kSucceeds);
  Add(cases, "bl-sync", "garbage", download, End::kFails);
  Compared(cases, "checksum", download, 51);
  Compared(cases, "offset", download, 21, End::kFailsAndEnds);
  Compared(cases, "bl-length", download, 20, End::kFailsAndEnds);
  // Piece replies are not checked: junk in front of one sends the next pieces early, and the
  // sector's sum then meets a piece reply.
  Add(cases, "write-ack", "drop", download, End::kWaits, 49);
  Add(cases, "write-ack", "short", download, End::kWaits, 49);
  Add(cases, "write-ack", "wrong", download, End::kSucceeds);
  Add(cases, "write-ack", "garbage", download, End::kFailsAndEnds);
  Compared(cases, "write-done", download, 50, End::kFailsAndEnds);
  Compared(cases, "download-end", download, 59);
  return cases;
}

std::wstring TempDir() {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return dir;
}

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 29 + (i >> 8));
  return data;
}

constexpr std::size_t kBinarySize = 5000;  // three pieces of one 128 KiB sector at offset 0
// Longer than any reply of the simulator takes: a state that still waits after it waits on.
constexpr DWORD kQuiet = 3000;

class TeskelFaultSweep : public ::testing::TestWithParam<SweepCase> {
 protected:
  void SetUp() override {
    if (!phone_sim::PhoneSimControl::Available()) GTEST_SKIP() << "no phone simulator";
    AfxInitRichEdit2();
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
    g_strHistoryPath =
        TempDir() + L"sweep_history_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(g_strHistoryPath.c_str());
    ASSERT_TRUE(OpenHistoryFile());
    sim = std::make_unique<phone_sim::PhoneSimControl>();
    g_app.WriteProfileInt(L"Setting", L"COM", std::stoi(sim->ComName().substr(3)) - 1);
    g_app.WriteProfileInt(L"Setting", L"ARM9", 1);
    binary_ = TempDir() + L"sweep_" + std::to_wstring(GetCurrentProcessId()) + L".cla";
    const auto bytes = Pattern(kBinarySize);
    CFile f;
    ASSERT_TRUE(f.Open(binary_.c_str(), CFile::modeCreate | CFile::modeWrite));
    f.Write(bytes.data(), static_cast<UINT>(bytes.size()));
    f.Close();
    g_app.WriteProfileString(L"Setting", L"binary1", binary_.c_str());
    ASSERT_TRUE(dlg.Create(IDD_DOWNLOADER_DIALOG));
    h = dlg.m_hWnd;
  }
  void TearDown() override {
    if (HasFailure()) {
      std::printf("  state %d, log:\n%ls\n", dlg.m_hWnd ? dlg.m_OperationState : -1,
                  dlg.m_hWnd ? LogText(h).c_str() : L"");
      if (sim) {
        for (const auto& frame : sim->Frames()) std::printf("  phone | %s\n", frame.c_str());
      }
    }
    if (dlg.m_hWnd) {
      if (g_MasterComm.IsConnected()) Click(h, IDC_STOP);
      dlg.DestroyWindow();
    }
    g_MasterComm.Close();
    CloseHistoryFile();
    DeleteFileW(g_strHistoryPath.c_str());
    DeleteFileW(binary_.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
  }

  bool Idle() const { return dlg.m_OperationState == kStateIdle; }
  // START on a phone just switched on.
  void Start() {
    sim->Power(false);
    sim->Power(true);
    g_app.boxes.clear();
    Click(h, IDC_START);
  }
  bool Booted() {
    return PumpUntil([&] { return dlg.m_BootDone && Idle(); }, 60000);
  }
  void Download() {
    g_app.boxes.clear();
    sim->ClearFrames();
    Click(h, IDC_DOWNLOAD);
  }
  bool FaultUsed(const std::string& point) {
    for (const auto& frame : sim->Frames())
      if (frame.rfind("FAULT " + point + " ", 0) == 0) return true;
    return false;
  }

  std::unique_ptr<phone_sim::PhoneSimControl> sim;
  CDownloaderDlg dlg;
  HWND h = nullptr;
  std::wstring binary_;
};

TEST_P(TeskelFaultSweep, EndsAsItsStateSaysThenDownloadsAfterAPowerCycle) {
  const SweepCase& c = GetParam();
  if (c.phase == Phase::kBoot) {
    sim->Fault(c.point, c.kind, c.times);
    Start();
  } else {
    Start();
    ASSERT_TRUE(Booted());
    sim->Fault(c.point, c.kind, c.times);
    Download();
  }
  ASSERT_TRUE(PumpUntil([&] { return FaultUsed(c.point); }, 60000)) << "never reached";
  const DWORD start = GetTickCount();
  switch (c.end) {
    case End::kWaits:
      // Nothing ends the wait but Stop: the machine stays in the state that awaits the reply.
      Pump(kQuiet);
      EXPECT_EQ(dlg.m_OperationState, c.state);
      EXPECT_TRUE(g_MasterComm.IsConnected());
      EXPECT_TRUE(g_app.boxes.empty());
      break;
    case End::kFails:
    case End::kFailsAndEnds:
      ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 10000)) << dlg.m_OperationState;
      Pump(500);  // replies still on their way change nothing
      EXPECT_EQ(dlg.m_OperationState, kStateIdle);
      EXPECT_TRUE(g_MasterComm.IsConnected());
      EXPECT_TRUE(g_app.boxes.empty());
      EXPECT_EQ(Enabled(h, IDC_ABOUT), c.end == End::kFailsAndEnds);
      EXPECT_FALSE(dlg.m_BootDone && c.phase == Phase::kBoot);
      break;
    case End::kStops:
      ASSERT_TRUE(PumpUntil([&] { return !g_MasterComm.IsConnected(); }, 10000));
      Pump(300);
      EXPECT_EQ(g_app.boxes, c.boxes);
      EXPECT_EQ(dlg.m_OperationState, 0);
      EXPECT_TRUE(Enabled(h, IDC_START));
      break;
    case End::kSucceeds:
      if (c.phase == Phase::kBoot) {
        ASSERT_TRUE(Booted());
      } else {
        ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 30000));
        Pump(300);
        EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
      }
      break;
  }
  // A failure shows at the faulty reply, not after a wait of its own.
  if (c.end == End::kFails || c.end == End::kFailsAndEnds || c.end == End::kStops) {
    EXPECT_LT(GetTickCount() - start, 10000u);
  }

  // Stop, a power cycle, the boot and the download in a new dialog (the download cleared
  // its item's check box).
  if (g_MasterComm.IsConnected()) Click(h, IDC_STOP);
  EXPECT_FALSE(g_MasterComm.IsConnected());
  EXPECT_TRUE(Enabled(h, IDC_START));
  dlg.DestroyWindow();
  sim->ClearFaults();
  sim->NorErase(SimChip::kMaster);
  ASSERT_TRUE(dlg.Create(IDD_DOWNLOADER_DIALOG));
  h = dlg.m_hWnd;
  Start();
  ASSERT_TRUE(Booted());
  Download();
  ASSERT_TRUE(PumpUntil([&] { return Idle() && !g_app.boxes.empty(); }, 60000));
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
  EXPECT_EQ(sim->NorRead(SimChip::kMaster, 0, kBinarySize), Pattern(kBinarySize));
}

INSTANTIATE_TEST_SUITE_P(Replies, TeskelFaultSweep, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
