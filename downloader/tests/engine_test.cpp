// The boot handshake, the binary download and the history file of the main dialog, driven
// through its buttons against the phone simulator (Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
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

AnsweringApp g_app(L"EngineTest", IDOK);

std::wstring TempDir() {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return dir;
}

// A file of n bytes of a pattern that differs per seed; its path.
std::wstring MakeFile(const std::wstring& name, std::size_t n, int seed,
                      std::vector<std::uint8_t>* bytes = nullptr) {
  std::vector<std::uint8_t> data(n);
  for (std::size_t i = 0; i < n; ++i)
    data[i] = static_cast<std::uint8_t>((i * 31 + seed * 17 + (i >> 9)) ^ (seed << 4));
  std::wstring path = TempDir() + std::to_wstring(GetCurrentProcessId()) + L"_" + name;
  CFile f;
  f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite);
  if (n) f.Write(data.data(), static_cast<UINT>(n));
  if (bytes) *bytes = std::move(data);
  return path;
}

std::string ReadAll(const std::wstring& path) {
  CFile f;
  if (!f.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone)) return "<none>";
  std::string s(static_cast<std::size_t>(f.GetLength()), '\0');
  s.resize(f.Read(s.data(), static_cast<UINT>(s.size())));
  return s;
}

// The frames from the first one starting with `from` on.
std::vector<std::string> FramesFrom(const std::vector<std::string>& frames,
                                    const std::string& from) {
  auto it = std::find_if(frames.begin(), frames.end(),
                         [&](const std::string& f) { return f.rfind(from, 0) == 0; });
  return std::vector<std::string>(it, frames.end());
}

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!phone_sim::PhoneSimControl::Available()) GTEST_SKIP() << "no phone simulator";
    AfxInitRichEdit2();
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
    g_app.boxes.clear();
    g_app.types.clear();
    g_strHistoryPath = TempDir() + L"history_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(g_strHistoryPath.c_str());
    ASSERT_TRUE(OpenHistoryFile());
    sim = std::make_unique<phone_sim::PhoneSimControl>();
    Write(L"COM", std::stoi(sim->ComName().substr(3)) - 1);
    Write(L"ARM9", 1);
  }
  void TearDown() override {
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
  // START, and the boot up to "Now you can do DOWNLOAD!".
  void Boot() {
    Create();
    Click(h, IDC_START);
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_BootDone && Idle(); }, 60000))
        << "state " << dlg.m_OperationState << "\n"
        << Join(sim->Frames());
  }
  // DOWNLOAD, until the engine is idle again.
  void Download() {
    sim->ClearFrames();
    g_app.boxes.clear();
    ASSERT_TRUE(Enabled(h, IDC_DOWNLOAD));
    Click(h, IDC_DOWNLOAD);
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 60000))
        << "state " << dlg.m_OperationState << "\n"
        << Join(sim->Frames());
    Pump(100);  // replies that should not come
  }
  std::vector<std::uint8_t> Nor(std::uint32_t address, std::size_t n,
                                SimChip chip = SimChip::kMaster) {
    std::vector<std::uint8_t> out;
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

TEST_F(Engine, MasterBootSendsOneWordFramesAndTheBootLoaderInBlocks) {
  Write(L"SPEED", 3);
  Boot();
  auto frames = sim->Frames();
  EXPECT_EQ(CountPrefix(frames, "BOOT_LOAD count=00 bytes=4"), 465) << Join(frames);
  EXPECT_EQ(CountPrefix(frames, "BOOT_LOAD"), 465);
  EXPECT_EQ(CountPrefix(frames, "PRE_DMA_BLOCK bytes=2048"), 118);
  EXPECT_EQ(CountPrefix(frames, "PRE_DMA_BLOCK bytes=304"), 1);
  EXPECT_EQ(CountPrefix(frames, "PRE_DMA_BLOCK"), 119);
  for (const char* f :
       {"BOOT_CONNECT", "BOOT_QUERY", "BOOT_CUSTOMER_ID", "BOOT_SET_TIMEOUT 10",
        "BOOT_SET_ADDRESS 1C000000", "BOOT_JUMP", "PRE_SET_SPEED 03", "PRE_CHIP_VERSION",
        "SET_LENGTH 0003B130", "PRE_JUMP", "BL_SET_CS0_BASE 20000000", "BL_FLASH_ID"})
    EXPECT_EQ(CountPrefix(frames, f), f == std::string("BOOT_SET_ADDRESS 1C000000") ? 2 : 1) << f;
  for (const auto& f : frames) EXPECT_EQ(f.find("refused"), std::string::npos) << f;
  EXPECT_NE(sim->State().find("host=921600"), std::string::npos) << sim->State();
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L" ONE 1G NAND FLASH  \r\n"});
  EXPECT_EQ(ItemText(h, IDC_FLASH_ID), L"VQM71RT44B");
  EXPECT_EQ(g_nSectorCount, 259);
  std::wstring log = LogText(h);
  const std::wstring ready = L" \n **Now you can do DOWNLOAD! ** \n";
  ASSERT_GE(log.size(), ready.size());
  EXPECT_EQ(log.substr(log.size() - ready.size()), ready);
  EXPECT_TRUE(Enabled(h, IDC_DOWNLOAD));
  EXPECT_TRUE(Enabled(h, IDC_ABOUT));
  EXPECT_FALSE(Enabled(h, IDC_FORMAT));  // "Don't Auto NAND Format" is off
  EXPECT_FALSE(dlg.m_SlaveTarget);
}

TEST_F(Engine, SlaveOnlyHandsTheLineToTheSlaveAndBootsItWithItsImages) {
  Write(L"ARM9", 0);
  Write(L"ARM7", 1);
  Create();
  Click(h, IDC_START);
  ASSERT_TRUE(PumpUntil([&] { return dlg.m_SlaveTarget && dlg.m_BootDone && Idle(); }, 60000))
      << "state " << dlg.m_OperationState << "\n"
      << Join(sim->Frames());
  auto frames = sim->Frames();
  auto slave = FramesFrom(frames, "BL_SWITCH_SLAVE");
  ASSERT_FALSE(slave.empty()) << Join(frames);
  EXPECT_EQ(CountPrefix(slave, "BOOT_LOAD count=00 bytes=4"), 465) << Join(slave);
  EXPECT_EQ(CountPrefix(slave, "PRE_DMA_BLOCK bytes=2048"), 32);
  EXPECT_EQ(CountPrefix(slave, "PRE_DMA_BLOCK bytes=1236"), 1);
  EXPECT_EQ(CountPrefix(slave, "SET_LENGTH 000104D4"), 1);
  EXPECT_EQ(ItemText(h, IDC_FLASH_ID), L"Flash_VQD83LX52B");
  EXPECT_EQ(g_nSectorCount, 263);
  EXPECT_EQ(g_app.boxes,
            (std::vector<std::wstring>{L" ONE 1G NAND FLASH  \r\n", L" NOR FLASH\r\n"}));
  EXPECT_NE(LogText(h).find(L"** Wait for SLAVE POWER ON\n"), std::wstring::npos);
}

// The serial shim's report of transmit purges that came without a drain (what an adapter's
// transmit queue still held would be lost).
std::wstring ShimLogPath() {
  const char* log = std::getenv("PTY_SHIM_LOG");
  std::wstring path = L"Z:";
  for (const char* c = log ? log : ""; *c; ++c)
    path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  return path;
}

std::vector<std::string> UndrainedPurges() {
  if (!std::getenv("PTY_SHIM_LOG")) return {"PTY_SHIM_LOG not set"};
  std::string text = ReadAll(ShimLogPath());
  std::vector<std::string> lines;
  if (text == "<none>") return lines;
  for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

TEST_F(Engine, ClosingTheLineDrainsWhatWasWrittenFirst) {
  // The shim sees a purge right after a write.
  {
    HANDLE port = CreateFileW(
        (L"\\\\.\\" + std::wstring(sim->ComName().begin(), sim->ComName().end())).c_str(),
        GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const std::uint8_t junk = 0x00;
    DWORD put = 0;
    WriteFile(port, &junk, 1, &put, nullptr);
    PurgeComm(port, PURGE_TXCLEAR);
    CloseHandle(port);
    ASSERT_EQ(UndrainedPurges(), std::vector<std::string>{"undrained transmit purge: 1 bytes"});
    DeleteFileW(ShimLogPath().c_str());
  }
  // The line is closed right after the speed code (both boots), after BL_SWITCH_SLAVE and
  // after BL_POWER_ON.
  Write(L"ARM9", 0);
  Write(L"ARM7", 1);
  Write(L"4", MakeFile(L"drain.cla", 3000, 4));
  Create();
  Click(h, IDC_START);
  ASSERT_TRUE(PumpUntil([&] { return dlg.m_SlaveTarget && dlg.m_BootDone && Idle(); }, 60000))
      << "state " << dlg.m_OperationState << "\n"
      << Join(sim->Frames());
  CheckDlgButton(h, IDC_POWER_ON, BST_CHECKED);
  Click(h, IDC_POWER_ON);
  // The download ends with BL_POWER_ON and Stop, which closes the line (state 0, not idle).
  sim->ClearFrames();
  g_app.boxes.clear();
  Click(h, IDC_DOWNLOAD);
  ASSERT_TRUE(PumpUntil([&] { return !g_app.boxes.empty() && !g_MasterComm.IsConnected(); }, 60000))
      << "state " << dlg.m_OperationState << "\n"
      << Join(sim->Frames());
  Pump(100);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
  auto frames = sim->Frames();
  EXPECT_EQ(CountPrefix(frames, "BL_POWER_ON"), 1) << Join(frames);
  EXPECT_EQ(UndrainedPurges(), std::vector<std::string>{});
}

TEST_F(Engine, ANon44AfterConnectReturnsToWaitingForTheBootRom) {
  sim->Fault("connect", "wrong");
  Create();
  Click(h, IDC_START);
  ASSERT_TRUE(PumpUntil([&] { return CountPrefix(sim->Frames(), "BOOT_CONNECT") >= 1; }, 20000));
  Pump(300);
  EXPECT_EQ(dlg.m_OperationState, 1);
  EXPECT_EQ(CountPrefix(sim->Frames(), "BOOT_QUERY"), 0) << Join(sim->Frames());
  // The phone is switched on again: the machine starts over from its connect request.
  sim->Power(false);
  sim->Power(true);
  ASSERT_TRUE(PumpUntil([&] { return dlg.m_BootDone && Idle(); }, 60000)) << Join(sim->Frames());
  EXPECT_TRUE(Enabled(h, IDC_DOWNLOAD));
}

TEST_F(Engine, BootFailures) {
  const struct {
    const char* point;
    std::vector<std::uint8_t> flashId;  // empty: the simulator's
    std::vector<std::wstring> boxes;
    int state;  // after the failure
    bool linkOpen;
  } cases[] = {
      // A wrong reply ends the boot silently; the line stays open until Stop.
      {"customer-id", {}, {}, kStateIdle, true},
      {"dma-sum", {}, {}, kStateIdle, true},
      {"cs0-base", {}, {}, kStateIdle, true},
      {"sync", {}, {L"Fail to change the baudrate of target!"}, 0, false},
      {nullptr,
       {0x00, 0x01, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x34},
       {L" ONE 1G NAND FLASH  \r\n", L"Unknown Flash"},
       0,
       false},
      {nullptr,
       {0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x12, 0x34},
       {L"not supported NAND FLASH(DevID:1234)\r\n", L"Unknown Flash"},
       0,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.point ? c.point : "flash id");
    sim->ClearFaults();
    sim->Power(false);
    if (c.point) sim->Fault(c.point, "wrong");
    if (!c.flashId.empty()) sim->SetFlashId(SimChip::kMaster, c.flashId);
    sim->Power(true);
    g_app.boxes.clear();
    if (!dlg.m_hWnd) Create();
    Click(h, IDC_START);
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_OperationState == c.state; }, 60000))
        << dlg.m_OperationState << "\n"
        << Join(sim->Frames());
    Pump(300);
    EXPECT_EQ(dlg.m_OperationState, c.state);
    EXPECT_FALSE(dlg.m_BootDone);
    EXPECT_EQ(g_app.boxes, c.boxes);
    EXPECT_EQ(g_MasterComm.IsConnected(), c.linkOpen);
    EXPECT_FALSE(Enabled(h, IDC_DOWNLOAD));
    if (g_MasterComm.IsConnected()) Click(h, IDC_STOP);
    EXPECT_TRUE(Enabled(h, IDC_START));
    sim->SetFlashId(SimChip::kMaster, {0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x34});
  }
}

TEST_F(Engine, ConnectRequestsStillOnTheirWayAfterTheConnectAreSkipped) {
  // More than a busy second's backlog of requests (50 a second).
  sim->ExtraConnectRequests(200);
  Boot();
  EXPECT_EQ(CountPrefix(sim->Frames(), "BOOT_CONNECT"), 1) << Join(sim->Frames());
}

// Registry paths and options for a download of the master group; START and the boot.
struct Item {
  const wchar_t* listValue;  // "loader1", "binary1", "engine1"
  std::size_t size;
};

TEST_F(Engine, BinaryDownloadsWriteTheExactBytesSectorBySector) {
  const struct {
    const char* name;
    const wchar_t* startAddress;  // BINARY's start-address box; null: option off
    std::size_t size;
    std::uint32_t offset;
    std::vector<std::string> writes;
  } cases[] = {
      {"5000 bytes into a 128 KiB sector", nullptr, 5000, 0, {"BL_WRITE_128K 00000000 pieces=3"}},
      {"ends at a sector end",
       L"20080000",
       0x40000,
       0x80000,
       {"BL_WRITE_128K 00080000 pieces=64", "BL_WRITE_128K 000A0000 pieces=64"}},
      {"32 KiB sectors at the top",
       L"0x21FE0000",
       0xA000,
       0x1FE0000,
       {"BL_WRITE_32K 01FE0000 pieces=16", "BL_WRITE_32K 01FE8000 pieces=4"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> bytes;
    std::wstring path = MakeFile(L"bin" + std::to_wstring(n++) + L".cla", c.size, n, &bytes);
    Write(L"binary1", path);
    if (dlg.m_hWnd) {
      Click(h, IDC_STOP);
      dlg.DestroyWindow();
    }
    sim->Power(false);
    sim->Power(true);
    Create();
    if ((c.startAddress != nullptr) != (dlg.m_bStartAddr2 != FALSE))
      Click(h, IDC_BINARY_ADDR_CHECK);  // the switch outlives the window
    if (c.startAddress) {
      SetDlgItemTextW(h, IDC_BINARY_ADDR, c.startAddress);
    }
    Click(h, IDC_START);
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_BootDone && Idle(); }, 60000)) << Join(sim->Frames());
    Download();
    auto frames = sim->Frames();
    char expect[64];
    std::vector<std::string> wanted = {"LINK_SYNC"};
    std::snprintf(expect, sizeof(expect), "BL_SET_CHECKSUM %08X", 0u);
    // The CRC-32 of BINARY is checked by the simulator at BL_DOWNLOAD_END.
    std::snprintf(expect, sizeof(expect), "BL_SET_OFFSET %08X", c.offset);
    std::vector<std::string> got;
    for (const auto& f : frames) {
      if (f.rfind("BL_", 0) == 0 || f.rfind("SET_LENGTH", 0) == 0 || f.rfind("LINK_SYNC", 0) == 0)
        got.push_back(f.substr(0, f.rfind("BL_SET_CHECKSUM", 0) == 0 ? 15 : std::string::npos));
    }
    std::vector<std::string> want = {"LINK_SYNC", "BL_SET_CHECKSUM", expect};
    std::snprintf(expect, sizeof(expect), "SET_LENGTH %08X", static_cast<unsigned>(c.size));
    want.push_back(expect);
    want.insert(want.end(), c.writes.begin(), c.writes.end());
    want.push_back("BL_DOWNLOAD_END");
    EXPECT_EQ(got, want) << Join(frames);
    EXPECT_EQ(Nor(c.offset, c.size), bytes);
    EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
    ASSERT_FALSE(g_app.types.empty());
    EXPECT_EQ(g_app.types.back(), static_cast<UINT>(MB_ICONINFORMATION | MB_SYSTEMMODAL));
    std::wstring log = LogText(h);
    EXPECT_NE(log.find(L"** Start BINARY downloading...\n"), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"\n** Downloading Time "), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"** (Total " + std::to_wstring(c.size) + L" bytes) **\n"),
              std::wstring::npos)
        << log;
    EXPECT_TRUE(Enabled(h, IDC_ABOUT));
  }
  // Every download wrote its history entry; the run's header comes once.
  std::string history = ReadAll(g_strHistoryPath);
  EXPECT_EQ(history.rfind("  \r\n ************* DownLoader Start! ************* \r\n1. ", 0), 0u)
      << history;
  EXPECT_NE(history.find("Download Bin file "), std::string::npos);
}

TEST_F(Engine, LoaderBinaryAndEngineGoOneAfterTheOtherWithTheirOwnFrames) {
  std::vector<std::uint8_t> loader, binary, engine;
  Write(L"loader1", MakeFile(L"loader.cla", 3000, 1, &loader));
  Write(L"binary1", MakeFile(L"binary.cla", 4096, 2, &binary));
  Write(L"engine1", MakeFile(L"engine.bin", 70000, 3, &engine));
  Write(L"BIN1", 1);
  Write(L"BIN3", 1);
  Create();
  Click(h, IDC_BINARY_ADDR_CHECK);  // BINARY at its box's 20080000
  Click(h, IDC_START);
  ASSERT_TRUE(PumpUntil([&] { return dlg.m_BootDone && Idle(); }, 60000)) << Join(sim->Frames());
  Download();
  auto frames = sim->Frames();
  std::vector<std::string> heads;
  for (const auto& f : frames) {
    if (f.rfind("BL_SET_", 0) == 0 || f == "LINK_SYNC" || f == "BL_DOWNLOAD_END")
      heads.push_back(f);
  }
  ASSERT_EQ(heads.size(), 12u) << Join(frames);
  EXPECT_EQ(heads[1], "BL_SET_CHECKSUM FFFFFFFF");
  EXPECT_EQ(heads[2], "BL_SET_OFFSET 00000000");
  EXPECT_EQ(heads[5].substr(0, 15), "BL_SET_CHECKSUM");
  EXPECT_NE(heads[5], "BL_SET_CHECKSUM FFFFFFFF");
  EXPECT_EQ(heads[6], "BL_SET_OFFSET 00080000");
  EXPECT_EQ(heads[9], "BL_SET_CHECKSUM FFFFFFFF");
  EXPECT_EQ(heads[10], "BL_SET_OFFSET 01D60000");
  for (int i : {0, 4, 8}) EXPECT_EQ(heads[i], "LINK_SYNC") << i;
  for (int i : {3, 7, 11}) EXPECT_EQ(heads[i], "BL_DOWNLOAD_END") << i;
  EXPECT_EQ(Nor(0, loader.size()), loader);
  EXPECT_EQ(Nor(0x80000, binary.size()), binary);
  EXPECT_EQ(Nor(0x1D60000, engine.size()), engine);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
  // One entry per file, each naming its own file.
  std::string history = ReadAll(g_strHistoryPath);
  auto at = [&](const std::string& s) { return history.find(s); };
  EXPECT_LT(at("1. "), at("loader.cla")) << history;
  EXPECT_LT(at("loader.cla"), at("2. ")) << history;
  EXPECT_LT(at("2. "), at("binary.cla")) << history;
  EXPECT_LT(at("binary.cla"), at("3. ")) << history;
  EXPECT_LT(at("3. "), at("engine.bin")) << history;
  EXPECT_EQ(history.find("4. "), std::string::npos) << history;
}

TEST_F(Engine, WrongRepliesAndAddressesStopTheDownload) {
  const struct {
    const char* name;
    const char* fault;  // simulator fault point, "wrong"
    const wchar_t* startAddress;
    std::size_t size;
    const char* lastFrame;  // the last frame the host sent
    bool ended;             // controls back
    const wchar_t* logLine;
  } cases[] = {
      {"wrong sector sum", "write-done", nullptr, 5000, "BL_WRITE_128K 00000000 pieces=3", true,
       nullptr},
      {"wrong offset sum", "offset", nullptr, 5000, "BL_SET_OFFSET 00000000", true, nullptr},
      {"wrong checksum sum", "checksum", nullptr, 5000, "BL_SET_CHECKSUM", false, nullptr},
      {"past the end of the NOR", nullptr, L"21FF8000", 0xA000, "BL_WRITE_32K 01FF8000 pieces=16",
       true, L"** No NOR sector at 0x22000000: download stopped\n"},
      {"more than 32 bits", nullptr, L"120000000", 5000, "LINK_SYNC", false,
       L"** Wrong start address: 120000000\n"},
      {"above the NOR", nullptr, L"30000000", 5000, "LINK_SYNC", false,
       L"** Wrong start address: 30000000\n"},
      {"not a sector start", nullptr, L"20001000", 5000, "LINK_SYNC", false,
       L"** No NOR sector starts at 0x20001000\n"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write(L"binary1", MakeFile(L"bad" + std::to_wstring(n++) + L".cla", c.size, n));
    if (dlg.m_hWnd) {
      Click(h, IDC_STOP);
      dlg.DestroyWindow();
    }
    sim->ClearFaults();
    sim->Power(false);
    sim->Power(true);
    Create();
    if ((c.startAddress != nullptr) != (dlg.m_bStartAddr2 != FALSE))
      Click(h, IDC_BINARY_ADDR_CHECK);  // the switch outlives the window
    if (c.startAddress) {
      SetDlgItemTextW(h, IDC_BINARY_ADDR, c.startAddress);
    }
    Click(h, IDC_START);
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_BootDone && Idle(); }, 60000)) << Join(sim->Frames());
    if (c.fault) sim->Fault(c.fault, "wrong");
    Download();
    auto frames = sim->Frames();
    std::vector<std::string> sent;
    for (const auto& f : frames) {
      if (f.rfind("FAULT", 0) != 0) sent.push_back(f);
    }
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().rfind(c.lastFrame, 0), 0u) << Join(frames);
    EXPECT_EQ(CountPrefix(frames, "IGNORED"), 0) << Join(frames);
    EXPECT_EQ(CountPrefix(frames, "BL_DOWNLOAD_END"), 0);
    EXPECT_EQ(dlg.m_OperationState, kStateIdle);
    EXPECT_TRUE(g_app.boxes.empty());
    EXPECT_EQ(Enabled(h, IDC_ABOUT), c.ended);
    if (c.logLine) {
      EXPECT_NE(LogText(h).find(c.logLine), std::wstring::npos) << LogText(h);
    }
    EXPECT_EQ(ReadAll(g_strHistoryPath), "");
  }
}

TEST_F(Engine, HistoryShowKeepsTheNumberingAndDeleteStartsAFreshFile) {
  Create();
  dlg.m_History.path = L"C:\\fw\\first.cla";
  dlg.WriteHistory(1);
  Click(h, IDC_HISTORY);
  Click(h, IDC_HISTORY);
  dlg.m_History.path = L"C:\\fw\\second.cla";
  dlg.WriteHistory(1);
  BuildSectorTables();
  g_pSectorTable = g_SectorTableA;
  g_nSectorCount = kSectorCountA;
  for (int i = 224; i <= 230; ++i) dlg.m_History.eraseFlags[i] = 1;
  dlg.WriteHistory(4);
  for (int i = 0; i < kMaxSectorCount; ++i) EXPECT_EQ(dlg.m_History.eraseFlags[i], 0u) << i;

  std::string file = ReadAll(g_strHistoryPath);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < file.size();) {
    std::size_t end = file.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << file;
    lines.push_back(file.substr(at, end - at));
    at = end + 2;
  }
  ASSERT_EQ(lines.size(), 5u) << file;
  EXPECT_EQ(lines[0], "  ");
  EXPECT_EQ(lines[1], " ************* DownLoader Start! ************* ");
  auto entry = [](const std::string& line, const std::string& number, const std::string& text) {
    // "N. mm-dd  HH:MM:SS " and two blanks before the text
    ASSERT_GE(line.size(), number.size() + 19) << line;
    EXPECT_EQ(line.substr(0, number.size() + 2), number + ". ") << line;
    std::string time = line.substr(number.size() + 2, 16);
    EXPECT_EQ(time[2], '-') << line;
    EXPECT_EQ(time.substr(5, 2), "  ") << line;
    EXPECT_EQ(time[9], ':') << line;
    EXPECT_EQ(time[12], ':') << line;
    EXPECT_EQ(line.substr(number.size() + 18), "  " + text) << line;
  };
  entry(lines[2], "1", "Download Bin file C:\\fw\\first.cla");
  entry(lines[3], "2", "Download Bin file C:\\fw\\second.cla");
  entry(lines[4], "3", "Nor erase Sector Number: 224 225 226 227 228 229 230");

  // The log shows the file between its two frame lines, twice.
  std::wstring log = LogText(h);
  const std::wstring begin =
      std::wstring(46, L':') + L" Download History " + std::wstring(46, L':') + L"\n";
  std::size_t first = log.find(begin);
  ASSERT_NE(first, std::wstring::npos) << log;
  EXPECT_NE(log.find(begin, first + 1), std::wstring::npos) << log;
  EXPECT_NE(log.find(L"1. "), std::wstring::npos);
  EXPECT_NE(log.find(std::wstring(44, L':') + L" Download History End "), std::wstring::npos);

  g_app.boxes.clear();
  Click(h, IDC_DEL_HISTORY);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"History File Deleted!!!"});
  EXPECT_EQ(GetFileAttributesW(g_strHistoryPath.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(LogText(h).find(L"\n" + std::wstring(46, L':') + L" History File Deleted "),
            std::wstring::npos);
  dlg.m_History.path = L"C:\\fw\\third.cla";
  dlg.WriteHistory(1);
  file = ReadAll(g_strHistoryPath);
  EXPECT_EQ(file.rfind("  \r\n ************* DownLoader Start! ************* \r\n1. ", 0), 0u)
      << file;
  EXPECT_NE(file.find("third.cla\r\n"), std::string::npos);

  // An empty file is kept and reported.
  {
    CFile f;
    f.Open(g_strHistoryPath.c_str(), CFile::modeCreate | CFile::modeWrite);
  }
  g_app.boxes.clear();
  Click(h, IDC_HISTORY);
  EXPECT_NE(LogText(h).find(L"No  recorded execution !!\n"), std::wstring::npos);
  Click(h, IDC_DEL_HISTORY);
  EXPECT_TRUE(g_app.boxes.empty());
  std::wstring log2 = LogText(h);
  EXPECT_EQ(log2.substr(log2.size() - 20), L"No History file!!\n \n");
  EXPECT_NE(GetFileAttributesW(g_strHistoryPath.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
