// The slave chip after the master, the slave group's controls and the drive buttons of the main
// dialog, driven through its buttons against the phone simulator (Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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
using Bytes = std::vector<std::uint8_t>;

AnsweringApp g_app(L"SlaveTest", IDOK);

std::wstring TempDir() {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return dir;
}

// A file of these bytes in the temporary folder; its path.
std::wstring WriteFile(const std::wstring& name, const Bytes& data) {
  std::wstring path = TempDir() + std::to_wstring(GetCurrentProcessId()) + L"_" + name;
  CFile f;
  f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite);
  if (!data.empty()) f.Write(data.data(), static_cast<UINT>(data.size()));
  return path;
}

Bytes Pattern(std::size_t n, int seed) {
  Bytes data(n);
  for (std::size_t i = 0; i < n; ++i)
    data[i] = static_cast<std::uint8_t>((i * 29 + seed * 53 + (i >> 10)) ^ (seed << 3));
  return data;
}

// The frames before the first one starting with `at`, and from it on.
std::pair<std::vector<std::string>, std::vector<std::string>> SplitAt(
    const std::vector<std::string>& frames, const std::string& at) {
  auto it = std::find_if(frames.begin(), frames.end(),
                         [&](const std::string& f) { return f.rfind(at, 0) == 0; });
  return {std::vector<std::string>(frames.begin(), it), std::vector<std::string>(it, frames.end())};
}

// The download frames of a binary write: sync, checksum (name only), offset, length, writes, end.
std::vector<std::string> DownloadHeads(const std::vector<std::string>& frames) {
  std::vector<std::string> out;
  for (const auto& f : frames) {
    if (f == "LINK_SYNC" || f.rfind("BL_SET_OFFSET", 0) == 0 || f.rfind("BL_WRITE_", 0) == 0 ||
        f == "BL_DOWNLOAD_END")
      out.push_back(f);
    else if (f.rfind("BL_SET_CHECKSUM", 0) == 0)
      out.push_back("BL_SET_CHECKSUM");
  }
  return out;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// A COM number that no simulator links: the last one of the dialog's list.
constexpr int kMissingPortIndex = kPortCount - 1;

class Slave : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!phone_sim::PhoneSimControl::Available()) GTEST_SKIP() << "no phone simulator";
    AfxInitRichEdit2();
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
    g_app.boxes.clear();
    g_app.onBox = nullptr;
    g_strHistoryPath = TempDir() + L"history_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(g_strHistoryPath.c_str());
    ASSERT_TRUE(OpenHistoryFile());
    sim = std::make_unique<phone_sim::PhoneSimControl>();
    Write(L"COM", std::stoi(sim->ComName().substr(3)) - 1);
    Write(L"ARM9", 1);
  }
  void TearDown() override {
    g_app.onBox = nullptr;
    if (dlg.m_hWnd) {
      if (g_MasterComm.IsConnected()) Click(h, IDC_STOP);
      dlg.DestroyWindow();
    }
    g_MasterComm.Close();
    CloseHistoryFile();
    DeleteFileW(g_strHistoryPath.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
  }
  void Write(const wchar_t* name, int v) { g_app.WriteProfileInt(L"Setting", name, v); }
  void Write(const wchar_t* name, const std::wstring& v) {
    g_app.WriteProfileString(L"Setting", name, v.c_str());
  }
  void Create() {
    ASSERT_TRUE(dlg.Create(IDD_DOWNLOADER_DIALOG));
    h = dlg.m_hWnd;
  }
  bool Idle() const { return dlg.m_OperationState == kStateIdle; }
  void Boot() {
    Create();
    Click(h, IDC_START);
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_BootDone && Idle(); }, 60000))
        << "state " << dlg.m_OperationState << "\n"
        << Join(sim->Frames());
    sim->ClearFrames();
    g_app.boxes.clear();
  }
  // The COM list (and the member it feeds) names a port that is not there.
  void LosePort() {
    std::wstring name = L"\\\\.\\COM" + std::to_wstring(kMissingPortIndex + 1);
    HANDLE probe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(probe, INVALID_HANDLE_VALUE) << "COM" << kMissingPortIndex + 1 << " exists";
    SendDlgItemMessageW(h, IDC_COM_PORT, CB_SETCURSEL, kMissingPortIndex, 0);
    dlg.m_nComPort = kMissingPortIndex;
  }
  Bytes Nor(SimChip chip, std::uint32_t address, std::size_t n) {
    Bytes out;
    for (std::size_t done = 0; done < n;) {
      std::size_t part = std::min<std::size_t>(65536, n - done);
      auto got = sim->NorRead(chip, address + static_cast<std::uint32_t>(done), part);
      out.insert(out.end(), got.begin(), got.end());
      done += part;
    }
    return out;
  }
  std::unique_ptr<phone_sim::PhoneSimControl> sim;
  CDownloaderDlg dlg;
  HWND h = nullptr;
};

// ---------------------------------------------------------------------------------------------
// MASTER and SLAVE in one run.

TEST_F(Slave, OneDownloadWritesTheMasterThenBootsTheSlaveAndWritesItsBinary) {
  const struct {
    const char* name;
    const wchar_t* slaveAddress;  // the slave group's start address (1040, 1041); null: off
    std::uint32_t slaveOffset;
    std::vector<std::string> slaveWrites;
  } cases[] = {
      {"slave from offset 0",
       nullptr,
       0,
       {"BL_WRITE_64K 00000000 pieces=32", "BL_WRITE_64K 00010000 pieces=3"}},
      // The slave's own box and edit: the master's loader address stays as it was.
      {"slave at its own start address",
       L"20020000",
       0x20000,
       {"BL_WRITE_64K 00020000 pieces=32", "BL_WRITE_64K 00030000 pieces=3"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++n;
    const Bytes master = Pattern(5000, n), slave = Pattern(0x10000 + 5000, n + 10);
    Write(L"binary1", WriteFile(L"master" + std::to_wstring(n) + L".cla", master));
    Write(L"4", WriteFile(L"slave" + std::to_wstring(n) + L".cla", slave));
    Write(L"ARM7", 1);
    if (dlg.m_hWnd) {
      Click(h, IDC_STOP);
      dlg.DestroyWindow();
    }
    sim->Power(false);
    sim->NorErase(SimChip::kMaster);
    sim->NorErase(SimChip::kSlave);
    sim->Power(true);
    Boot();
    if (c.slaveAddress) {
      const std::wstring loaderAddress = ItemText(h, IDC_LOADER_ADDR);
      CheckDlgButton(h, IDC_SLAVE_ADDR_CHECK, BST_CHECKED);
      Click(h, IDC_SLAVE_ADDR_CHECK);
      EXPECT_EQ(ItemText(h, IDC_SLAVE_ADDR), L"20000000");
      EXPECT_TRUE(Enabled(h, IDC_SLAVE_ADDR));
      EXPECT_FALSE(dlg.m_bStartAddr1);
      EXPECT_EQ(ItemText(h, IDC_LOADER_ADDR), loaderAddress);
      SetDlgItemTextW(h, IDC_SLAVE_ADDR, c.slaveAddress);
    }
    ASSERT_TRUE(Enabled(h, IDC_DOWNLOAD));
    Click(h, IDC_DOWNLOAD);
    ASSERT_TRUE(
        PumpUntil([&] { return dlg.m_SlaveTarget && Idle() && !g_app.boxes.empty(); }, 120000))
        << "state " << dlg.m_OperationState << "\n"
        << Join(sim->Frames());
    Pump(100);
    auto [masterFrames, slaveFrames] = SplitAt(sim->Frames(), "BL_SWITCH_SLAVE");
    EXPECT_EQ(DownloadHeads(masterFrames),  // the master's boot was before the frames cleared
              (std::vector<std::string>{"LINK_SYNC", "BL_SET_CHECKSUM", "BL_SET_OFFSET 00000000",
                                        "BL_WRITE_128K 00000000 pieces=3", "BL_DOWNLOAD_END"}))
        << Join(masterFrames);
    ASSERT_FALSE(slaveFrames.empty()) << Join(masterFrames);
    // The slave chip boots with its own images, then its binary follows by itself.
    EXPECT_EQ(CountPrefix(slaveFrames, "BOOT_CONNECT"), 1) << Join(slaveFrames);
    EXPECT_EQ(CountPrefix(slaveFrames, "SET_LENGTH 000104D4"), 1);
    std::vector<std::string> want = {"LINK_SYNC", "BL_SET_CHECKSUM"};
    char offset[40];
    std::snprintf(offset, sizeof(offset), "BL_SET_OFFSET %08X", c.slaveOffset);
    want.push_back(offset);
    want.insert(want.end(), c.slaveWrites.begin(), c.slaveWrites.end());
    want.push_back("BL_DOWNLOAD_END");
    EXPECT_EQ(DownloadHeads(SplitAt(slaveFrames, "BL_FLASH_ID").second), want) << Join(slaveFrames);
    for (const auto& f : slaveFrames) EXPECT_EQ(f.find("refused"), std::string::npos) << f;
    EXPECT_EQ(Nor(SimChip::kMaster, 0, master.size()), master);
    EXPECT_EQ(Nor(SimChip::kSlave, c.slaveOffset, slave.size()), slave);
    // No flash-ID boxes when both chips are wanted; one box at the very end.
    EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
    EXPECT_EQ(ItemText(h, IDC_FLASH_ID), L"Flash_VQD83LX52B");
    std::wstring log = LogText(h);
    EXPECT_NE(log.find(L"** (Total " + std::to_wstring(slave.size()) + L" bytes) **\n"),
              std::wstring::npos)
        << log;
    EXPECT_TRUE(Enabled(h, IDC_ABOUT));
  }
}

// ---------------------------------------------------------------------------------------------
// The port is gone when the slave's boot ROM is to be reached.

TEST_F(Slave, ConnectSlaveFailsOnceWhenThePortIsGone) {
  const struct {
    const char* name;
    bool master;  // MASTER checked too: the retrying form after the master's download
    std::vector<std::wstring> boxes;
  } cases[] = {
      {"after the master's download", true, {L"Port Initialization Failed3!"}},
      {"slave only, at the end of the master's boot",
       false,
       {L" ONE 1G NAND FLASH  \r\n", L"Port Initialization Failed2!"}},
  };
  const int simPort = std::stoi(sim->ComName().substr(3)) - 1;
  Write(L"binary1", WriteFile(L"gone.cla", Pattern(3000, 7)));
  Write(L"4", WriteFile(L"gone_slave.cla", Pattern(3000, 8)));
  Write(L"ARM7", 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write(L"ARM9", c.master ? 1 : 0);
    if (dlg.m_hWnd) {
      Click(h, IDC_STOP);
      dlg.DestroyWindow();
    }
    sim->Power(false);
    sim->Power(true);
    sim->ClearFrames();
    g_app.boxes.clear();
    Create();
    if (c.master) {
      Click(h, IDC_START);
      ASSERT_TRUE(PumpUntil([&] { return dlg.m_BootDone && Idle(); }, 60000))
          << Join(sim->Frames());
      LosePort();
      Click(h, IDC_DOWNLOAD);
    } else {
      // The line is handed over right after the flash ID's box: the port goes then.
      g_app.onBox = [&](const std::wstring&) { LosePort(); };
      Click(h, IDC_START);
    }
    ASSERT_TRUE(PumpUntil([&] { return g_app.boxes.size() >= c.boxes.size(); }, 60000))
        << "state " << dlg.m_OperationState << "\n"
        << Join(sim->Frames());
    g_app.onBox = nullptr;
    Pump(300);
    EXPECT_EQ(g_app.boxes, c.boxes);
    EXPECT_EQ(CountPrefix(sim->Frames(), "BL_SWITCH_SLAVE"), 1) << Join(sim->Frames());
    EXPECT_FALSE(g_MasterComm.IsConnected());
    EXPECT_FALSE(dlg.m_SlaveTarget);
    EXPECT_FALSE(dlg.m_BootDone);
    EXPECT_EQ(dlg.m_OperationState, kStateIdle);  // as the master's run left it
    EXPECT_EQ(LogText(h).find(L"** Wait for SLAVE POWER ON"), std::wstring::npos);
    // Stop leaves the dialog ready for the next START on the phone's port.
    ASSERT_TRUE(Enabled(h, IDC_STOP));
    Click(h, IDC_STOP);
    EXPECT_TRUE(Enabled(h, IDC_START));
    SendDlgItemMessageW(h, IDC_COM_PORT, CB_SETCURSEL, simPort, 0);
  }
  // The phone's own port still boots the master.
  sim->Power(false);
  sim->Power(true);
  Write(L"ARM9", 1);
  Write(L"ARM7", 0);
  dlg.DestroyWindow();
  Boot();
  EXPECT_TRUE(Enabled(h, IDC_DOWNLOAD));
}

// ---------------------------------------------------------------------------------------------
// Drive buttons.

TEST_F(Slave, DriveButtonsSelectTheDriveThatLaterRequestsAddress) {
  Create();
  // No line yet: nothing can be sent, but B becomes the drive.
  const std::wstring before = LogText(h);
  CheckRadioButton(h, IDC_DRIVE_A, IDC_DRIVE_C, IDC_DRIVE_B);
  Click(h, IDC_DRIVE_B);
  EXPECT_EQ(g_nCurrentDrive, 2);
  std::wstring log = LogText(h);
  EXPECT_EQ(log, before);
  dlg.DestroyWindow();

  Boot();
  const struct {
    const char* name;
    int checked;  // the radio the user's click left checked
    int clicked;
    const char* fault;  // on the 0xCF reply
    const char* frame;  // null: nothing sent
    const wchar_t* logEnd;
    int drive;
  } cases[] = {
      {"B", IDC_DRIVE_B, IDC_DRIVE_B, nullptr, "QVS_SELECT_DRIVE 09",
       L"B Drive Selecting.... OK!\n", 2},
      {"C", IDC_DRIVE_C, IDC_DRIVE_C, nullptr, "QVS_SELECT_DRIVE 0A",
       L"C Drive Selecting.... OK!\n", 3},
      {"A clicked while C stays chosen", IDC_DRIVE_C, IDC_DRIVE_A, nullptr, nullptr,
       L"A Drive Selecting Retry ", 3},
      {"A", IDC_DRIVE_A, IDC_DRIVE_A, nullptr, "QVS_SELECT_DRIVE 08",
       L"A Drive Selecting.... OK!\n", 1},
      {"B refused", IDC_DRIVE_B, IDC_DRIVE_B, "qvs-drive", "QVS_SELECT_DRIVE 09",
       L"B Drive Selecting.... Fail!\n", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim->ClearFrames();
    sim->ClearFaults();
    if (c.fault) sim->Fault(c.fault, "wrong");
    CheckRadioButton(h, IDC_DRIVE_A, IDC_DRIVE_C, c.checked);
    Click(h, c.clicked);
    const std::wstring end = c.logEnd;
    PumpUntil(
        [&] {
          std::wstring l = LogText(h);
          return l.size() >= end.size() && l.compare(l.size() - end.size(), end.size(), end) == 0;
        },
        5000);
    Pump(200);
    log = LogText(h);
    ASSERT_GE(log.size(), end.size());
    EXPECT_EQ(log.substr(log.size() - end.size()), end) << log;
    std::vector<std::string> sent;
    for (const auto& f : sim->Frames()) {
      if (f.rfind("FAULT", 0) != 0) sent.push_back(f);
    }
    EXPECT_EQ(sent, c.frame ? std::vector<std::string>{c.frame} : std::vector<std::string>{});
    EXPECT_EQ(g_nCurrentDrive, c.drive);
    if (c.fault) EXPECT_EQ(dlg.m_OperationState, kStateIdle);
  }

  // During a download the buttons send nothing, and the download goes on to its end.
  sim->ClearFaults();
  const Bytes data = Pattern(0x30000, 3);
  Write(L"binary1", WriteFile(L"drive.cla", data));
  Click(h, IDC_STOP);
  dlg.DestroyWindow();
  sim->Power(false);
  sim->Power(true);
  Boot();
  g_nCurrentDrive = 1;
  Click(h, IDC_DOWNLOAD);
  ASSERT_TRUE(PumpEachUntil([&] { return dlg.m_OperationState == 49; }, 20000))
      << Join(sim->Frames());
  CheckRadioButton(h, IDC_DRIVE_A, IDC_DRIVE_C, IDC_DRIVE_C);
  Click(h, IDC_DRIVE_C);
  ASSERT_TRUE(PumpUntil([&] { return Idle() && !g_app.boxes.empty(); }, 60000))
      << "state " << dlg.m_OperationState << "\n"
      << Join(sim->Frames());
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
  EXPECT_EQ(CountPrefix(sim->Frames(), "QVS_SELECT_DRIVE"), 0) << Join(sim->Frames());
  EXPECT_EQ(g_nCurrentDrive, 3);
  EXPECT_EQ(LogText(h).find(L"C Drive Selecting"), std::wstring::npos);
  EXPECT_EQ(Nor(SimChip::kMaster, 0, data.size()), data);
}

// ---------------------------------------------------------------------------------------------
// Slave checksum buttons: a plain 32-bit byte sum.

TEST_F(Slave, SlaveChecksumButtonsShowTheByteSum) {
  Write(L"ARM7", 1);
  Create();
  const struct {
    const char* name;
    int button, combo, edit;
    Bytes bytes;  // empty: no such file
    const wchar_t* shown;
  } cases[] = {
      {"binary 01 02 03", IDC_SLAVE_BIN_CRC_BUTTON, IDC_SLAVE_BIN_PATH, IDC_SLAVE_BIN_CRC,
       Bytes{0x01, 0x02, 0x03}, L"0x00000006"},
      {"QVS image past 16 bits", IDC_SLAVE_QVS_CRC_BUTTON, IDC_SLAVE_QVS_PATH, IDC_SLAVE_QVS_CRC,
       Bytes(0x10001, 0xFF), L"0x00FF00FF"},
      {"missing binary", IDC_SLAVE_BIN_CRC_BUTTON, IDC_SLAVE_BIN_PATH, IDC_SLAVE_BIN_CRC, Bytes{},
       L"before"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring path = c.bytes.empty()
                            ? TempDir() + L"no_such_slave_file.cla"
                            : WriteFile(L"sum" + std::to_wstring(n++) + L".bin", c.bytes);
    SetDlgItemTextW(h, c.combo, path.c_str());
    SetDlgItemTextW(h, c.edit, L"before");
    Click(h, c.button);
    EXPECT_EQ(ItemText(h, c.edit), c.shown);
    EXPECT_TRUE(Enabled(h, c.edit));
    EXPECT_TRUE(g_app.boxes.empty());
  }
  EXPECT_EQ(std::wstring(dlg.m_strSlaveQvsPath.str()), ItemText(h, IDC_SLAVE_QVS_PATH));
}

}  // namespace
