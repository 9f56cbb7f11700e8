// QVS image download, format and status, NOR erase and dump of the main dialog, driven through
// its buttons against the phone simulator (Wine). The images and their folder trees come from
// the fixture generator (make_qvs_download_fixtures.py), so that what the phone should hold is
// not computed by the code under test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DownloaderDlg.h"
#include "SerialComm.h"
#include "answering_app.h"
#include "dialog_driving.h"
#include "phone_sim_control.h"

namespace {

namespace fs = std::filesystem;
using phone_sim::SimChip;
using Bytes = std::vector<std::uint8_t>;

AnsweringApp g_app(L"QvsNorTest");

// The main dialog with its sector and save-file dialogs answered by the test.
class TestDlg : public CDownloaderDlg {
 public:
  std::vector<int> tick;  // sectors the user ticks
  bool sectorOk = true;
  std::wstring savePath;  // empty: no name chosen
  int sectorDialogs = 0;
  std::vector<std::uint32_t> flagsAtDialog;  // the flags the dialog started with

 protected:
  bool RunSectorDialog() override {
    ++sectorDialogs;
    flagsAtDialog.assign(std::begin(g_SectorFlags), std::end(g_SectorFlags));
    for (int i : tick) g_SectorFlags[i] = 1;
    return sectorOk;
  }
  bool ChooseSaveFile(const wchar_t*, const wchar_t*, CString& chosen) override {
    if (savePath.empty()) return false;
    chosen = savePath.c_str();
    return true;
  }
};

// A Linux path of the build as Wine sees it.
std::wstring Win(const std::string& linux) {
  std::wstring w = L"Z:";
  for (char c : linux) w += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
  return w;
}

const std::string kFixtures = QVS_FIXTURE_DIR;

std::string Hex(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (std::uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

Bytes Unhex(const std::string& h) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    b.push_back(static_cast<std::uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}

std::string AsText(const Bytes& b) { return std::string(b.begin(), b.end()); }

void WriteBytes(const std::wstring& path, const std::string& data) {
  CFile f;
  ASSERT_TRUE(f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite));
  if (!data.empty()) f.Write(data.data(), static_cast<UINT>(data.size()));
}

// What the generator meant a download of its image to send and leave behind.
struct Plan {
  Bytes image, version, release;  // release empty: none
  std::vector<std::string> dirs;  // UTF-8
  struct File {
    std::string name;
    std::size_t offset, size;
    std::vector<std::size_t> blocks;
  };
  std::vector<File> files;
  unsigned aDriveBlocks = 0;
};

Plan ReadPlan(const std::string& name) {
  Plan p;
  p.image = ReadBytes(Win(kFixtures + "/" + name + ".qvs"));
  std::istringstream in(AsText(ReadBytes(Win(kFixtures + "/" + name + ".plan"))));
  std::string kind;
  while (in >> kind) {
    if (kind == "IMAGE") {
      std::size_t n;
      in >> n;
    } else if (kind == "VERSION") {
      std::string h;
      in >> h;
      p.version = Unhex(h);
    } else if (kind == "RELEASE") {
      std::string h;
      in >> h;
      if (h != "-") p.release = Unhex(h);
    } else if (kind == "DIR") {
      std::string name, frame, reply;
      in >> name >> frame >> reply;
      p.dirs.push_back(AsText(Unhex(name)));
    } else if (kind == "FILE") {
      Plan::File f;
      std::string name, frame, reply, blocks, replies;
      in >> f.offset >> f.size >> name >> frame >> reply >> blocks >> replies;
      f.name = AsText(Unhex(name));
      std::istringstream b(blocks);
      for (std::string s; std::getline(b, s, ',');) f.blocks.push_back(std::stoul(s));
      p.files.push_back(f);
    } else if (kind == "ADRIVE") {
      unsigned bytes;
      in >> p.aDriveBlocks >> bytes;
    }
  }
  return p;
}

// A folder as "D rel" and "F rel <hex>" lines (UTF-8 names, in name order).
std::set<std::string> Listing(const fs::path& root) {
  std::set<std::string> out;
  if (!fs::exists(root)) return out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::u8string rel = fs::relative(e.path(), root).generic_u8string();
    std::string name(rel.begin(), rel.end());
    if (e.is_directory())
      out.insert("D /" + name);
    else
      out.insert("F /" + name + " " + Hex(ReadBytes(e.path().wstring())));
  }
  return out;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// The frames the host sent, without the simulator's fault notes and erase remarks.
std::vector<std::string> Sent(const std::vector<std::string>& frames) {
  std::vector<std::string> out;
  for (const auto& f : frames) {
    if (f.rfind("FAULT", 0) == 0) continue;
    std::size_t remark = f.find(" (file system erased)");
    out.push_back(remark == std::string::npos ? f : f.substr(0, remark));
  }
  return out;
}

int Count(const std::vector<std::string>& frames, const std::string& prefix) {
  return static_cast<int>(std::count_if(
      frames.begin(), frames.end(), [&](const std::string& f) { return f.rfind(prefix, 0) == 0; }));
}

std::string ReadAllText(const std::wstring& path) { return AsText(ReadBytes(path)); }

int ProgressPos(HWND dlg) {
  return static_cast<int>(SendDlgItemMessageW(dlg, IDC_PROGRESS, PBM_GETPOS, 0, 0));
}

const std::vector<std::uint8_t> kTableA = {0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x34};
const std::vector<std::uint8_t> kTableB = {0x00, 0xEC, 0x24, 0x02, 0, 0, 0, 0, 0x00, 0x34};

class QvsNor : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!phone_sim::PhoneSimControl::Available()) GTEST_SKIP() << "no phone simulator";
    AfxInitRichEdit2();
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
    g_app.boxes.clear();
    g_app.yesNo = IDYES;
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    temp = std::wstring(tmp) + L"qvsnor_" + std::to_wstring(GetCurrentProcessId()) + L"_";
    g_strHistoryPath = temp + L"history.txt";
    DeleteFileW(g_strHistoryPath.c_str());
    ASSERT_TRUE(OpenHistoryFile());
    sim = std::make_unique<phone_sim::PhoneSimControl>();
    Write(L"COM", std::stoi(sim->ComName().substr(3)) - 1);
    Write(L"ARM9", 1);
  }
  void TearDown() override {
    if (dlg && dlg->m_hWnd) {
      if (g_MasterComm.IsConnected()) Click(h, IDC_STOP);
      dlg->DestroyWindow();
    }
    g_MasterComm.Close();
    CloseHistoryFile();
    DeleteFileW(g_strHistoryPath.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
    for (const auto& d : savedDirs) fs::remove_all(Win(d));
  }
  void Write(const wchar_t* name, int v) { g_app.WriteProfileInt(L"Setting", name, v); }
  void Write(const wchar_t* name, const std::wstring& v) {
    g_app.WriteProfileString(L"Setting", name, v.c_str());
  }
  // One message at a time, so that done() sees every step.
  bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
    DWORD end = GetTickCount() + WaitMs(ms);
    for (;;) {
      MSG m;
      while (!done() && PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
      }
      if (done()) return true;
      if (static_cast<int>(GetTickCount() - end) > 0) return false;
      Sleep(2);
    }
  }
  bool Idle() const { return dlg->m_OperationState == kStateIdle; }
  // A fresh dialog, START and the boot; the phone restarted with the flash ID given.
  void Boot(const std::vector<std::uint8_t>& flashId = kTableA, bool slave = false) {
    if (dlg && dlg->m_hWnd) {
      if (g_MasterComm.IsConnected()) Click(h, IDC_STOP);
      dlg->DestroyWindow();
    }
    sim->ClearFaults();
    sim->Power(false);
    sim->SetFlashId(SimChip::kMaster, flashId);
    sim->Power(true);
    dlg = std::make_unique<TestDlg>();
    ASSERT_TRUE(dlg->Create(IDD_DOWNLOADER_DIALOG));
    h = dlg->m_hWnd;
    Click(h, IDC_START);
    ASSERT_TRUE(PumpUntil(
        [&] { return dlg->m_BootDone && Idle() && (dlg->m_SlaveTarget != 0) == slave; }, 60000))
        << "state " << dlg->m_OperationState << "\n"
        << Join(sim->Frames());
    g_app.boxes.clear();
    sim->ClearFrames();
  }
  // Chooses the master group's download type (0 BIN, 1 QVS, 2 BIN + QVS).
  void MasterMode(int mode) {
    CheckRadioButton(h, IDC_MASTER_BIN, IDC_MASTER_BINQVS, IDC_MASTER_BIN + mode);
    Click(h, IDC_MASTER_BIN + mode);
  }
  void NoAutoFormat(bool on) {
    if ((dlg->m_bNoAutoFormat != 0) != on) {
      CheckDlgButton(h, IDC_NO_AUTO_FORMAT, on ? BST_CHECKED : BST_UNCHECKED);
      Click(h, IDC_NO_AUTO_FORMAT);
    }
  }
  // The QVS image the master group names (its .cfg beside it).
  void ChooseQvs(const std::wstring& qvsPath) {
    SetDlgItemTextW(h, IDC_QVS_PATH, qvsPath.c_str());
    dlg->m_strQvsPath = qvsPath.c_str();
    dlg->m_strCfgPath = CfgNameFor(qvsPath).c_str();
  }
  // Clicks a button and runs the operation until the engine is idle again.
  void Run(int button) {
    Click(h, button);
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 60000))
        << "state " << dlg->m_OperationState << "\n"
        << Join(sim->Frames());
    Pump(100);  // replies that should not come
  }
  std::string SaveQvs() {
    std::string dir = kFixtures + "/saved-" + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(savedDirs.size());
    fs::remove_all(Win(dir));
    savedDirs.push_back(dir);
    sim->QvsSave(SimChip::kMaster, dir);
    return dir;
  }
  Bytes Nor(std::uint32_t address, std::size_t n) {
    Bytes out;
    for (std::size_t done = 0; done < n;) {
      std::size_t part = std::min<std::size_t>(65536, n - done);
      auto got = sim->NorRead(SimChip::kMaster, address + static_cast<std::uint32_t>(done), part);
      out.insert(out.end(), got.begin(), got.end());
      done += part;
    }
    return out;
  }
  // Fills NOR bytes with a pattern that differs per address; the bytes written.
  Bytes FillNor(std::uint32_t address, std::size_t n, int seed) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i)
      data[i] = static_cast<std::uint8_t>((i * 13 + (i >> 8) + seed * 41) ^ (address >> 17));
    for (std::size_t done = 0; done < n; done += 65536) {
      Bytes part(data.begin() + static_cast<std::ptrdiff_t>(done),
                 data.begin() + static_cast<std::ptrdiff_t>(std::min(n, done + 65536)));
      sim->NorWrite(SimChip::kMaster, address + static_cast<std::uint32_t>(done), part);
    }
    return data;
  }
  std::unique_ptr<phone_sim::PhoneSimControl> sim;
  std::unique_ptr<TestDlg> dlg;
  HWND h = nullptr;
  std::wstring temp;
  std::vector<std::string> savedDirs;
};

// ---------------------------------------------------------------------------------------------
// QVS download.

TEST_F(QvsNor, GeneratedImageLandsFileByFileInTheNandAfterTheAutomaticFormat) {
  ASSERT_EQ(GetACP(), 1252u) << "the fixture's .cfg names are in code page 1252";
  const Plan plan = ReadPlan("main");
  ASSERT_FALSE(plan.files.empty());
  Boot();
  MasterMode(1);
  ChooseQvs(Win(kFixtures + "/main.qvs"));
  Run(IDC_DOWNLOAD);
  const auto frames = Sent(sim->Frames());
  for (const auto& f : frames) EXPECT_EQ(f.find("refused"), std::string::npos) << f;
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"}) << Join(frames);

  // The frames in order: format with the .cfg's A-drive count, mount, checksum, time, the
  // directories, version and release, each file with its blocks, end and unmount.
  std::vector<std::string> want = {
      "LINK_SYNC", "QVS_FORMAT sectors=" + std::to_string(plan.aDriveBlocks * 8 + 21888)};
  for (const auto& f : frames) {
    if (f.rfind("QVS_FORMAT_DONE", 0) == 0) want.push_back(f);
  }
  want.push_back("QVS_MOUNT");
  for (const auto& f : frames) {
    if (f.rfind("QVS_SET_CHECKSUM", 0) == 0 || f.rfind("QVS_SET_TIME", 0) == 0) want.push_back(f);
  }
  for (const auto& d : plan.dirs)  // the phone names a drive root without its slash
    want.push_back("QVS_MAKE_DIR " + (d.size() == 3 ? d.substr(0, 2) : d));
  want.push_back("QVS_WRITE_VERSION ");  // the records' bytes are compared below
  want.push_back("QVS_WRITE_RELEASE ");
  for (const auto& f : plan.files) {
    want.push_back("QVS_ADD_FILE " + f.name + " size=" + std::to_string(f.size));
    for (std::size_t b : f.blocks) want.push_back("QVS_DATA_BLOCK bytes=" + std::to_string(b));
    want.push_back("QVS_FILE_DONE " + f.name + " bytes=" + std::to_string(f.size));
  }
  want.push_back("QVS_END_DOWNLOAD");
  want.push_back("QVS_UNMOUNT");
  std::vector<std::string> got = frames;
  for (auto& g : got) {
    if (g.rfind("QVS_WRITE_VERSION ", 0) == 0) g = "QVS_WRITE_VERSION ";
    if (g.rfind("QVS_WRITE_RELEASE ", 0) == 0) g = "QVS_WRITE_RELEASE ";
  }
  EXPECT_EQ(got, want) << Join(frames);
  EXPECT_EQ(Count(frames, "QVS_SET_CHECKSUM"), 1);
  EXPECT_EQ(Count(frames, "QVS_SET_TIME"), 1);

  // The block sizes of the three edge files.
  auto blocksOf = [&](const std::string& name) {
    for (const auto& f : plan.files) {
      if (f.name == name) return f.blocks;
    }
    return std::vector<std::size_t>{};
  };
  EXPECT_EQ(blocksOf("/a/data/big.bin"), (std::vector<std::size_t>{8192, 8192, 3616}));
  EXPECT_EQ(blocksOf("/a/data/full.bin"), (std::vector<std::size_t>{8192, 0}));
  EXPECT_EQ(blocksOf("/a/empty.txt"), (std::vector<std::size_t>{0}));

  // The phone's file system: every directory, every file with its bytes, the two records.
  const std::string saved = SaveQvs();
  std::set<std::string> expect;
  for (const auto& d : plan.dirs) {
    std::string name = d;
    if (name.size() > 1 && name.back() == '/') name.pop_back();
    expect.insert("D " + name);
  }
  for (const auto& f : plan.files) {
    Bytes data(plan.image.begin() + static_cast<std::ptrdiff_t>(f.offset),
               plan.image.begin() + static_cast<std::ptrdiff_t>(f.offset + f.size));
    expect.insert("F " + f.name + " " + Hex(data));
  }
  std::set<std::string> phone = Listing(Win(saved));
  phone.erase("F /VERSION " + Hex(plan.version));
  phone.erase("F /RELEASE " + Hex(plan.release));
  EXPECT_EQ(phone, expect);
  // And the source tree, file by file (the list copy is the image's own).
  std::set<std::string> tree = Listing(Win(kFixtures + "/main/tree"));
  for (const auto& line : tree) EXPECT_EQ(phone.count(line), 1u) << line;
  EXPECT_EQ(ReadBytes(Win(saved + "/VERSION")), plan.version);
  EXPECT_EQ(ReadBytes(Win(saved + "/RELEASE")), plan.release);

  const std::wstring log = LogText(h);
  EXPECT_NE(log.find(L"** Formatting QVS system (NAND Flash)... Success!\n"), std::wstring::npos)
      << log;
  EXPECT_NE(log.find(L"\n** Start Downloading QVS file **\n"), std::wstring::npos) << log;
  EXPECT_NE(log.find(L"** (Total " + std::to_wstring(plan.image.size()) + L" bytes) **\n"),
            std::wstring::npos)
      << log;
  EXPECT_TRUE(Enabled(h, IDC_ABOUT));
  const std::string history = ReadAllText(g_strHistoryPath);
  EXPECT_NE(history.find("Download Qvs file  Z:\\"), std::string::npos) << history;
  EXPECT_NE(history.find("main.qvs\r\n"), std::string::npos) << history;
}

TEST_F(QvsNor, WithoutAReleaseRecordAndWithLfLineEndsNoReleaseIsSent) {
  const Plan plan = ReadPlan("norel");
  Boot();
  MasterMode(1);
  NoAutoFormat(true);
  ChooseQvs(Win(kFixtures + "/norel.qvs"));
  Run(IDC_DOWNLOAD);
  const auto frames = Sent(sim->Frames());
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"}) << Join(frames);
  EXPECT_EQ(Count(frames, "QVS_FORMAT"), 0);
  EXPECT_EQ(Count(frames, "QVS_NO_RELEASE"), 1) << Join(frames);
  EXPECT_EQ(Count(frames, "QVS_WRITE_RELEASE"), 0);
  EXPECT_EQ(Count(frames, "QVS_ADD_FILE /a/x.bin size=3000"), 1) << Join(frames);
  const std::string saved = SaveQvs();
  EXPECT_EQ(ReadBytes(Win(saved + "/a/x.bin")), ReadBytes(Win(kFixtures + "/norel/tree/a/x.bin")));
  EXPECT_FALSE(fs::exists(Win(saved + "/RELEASE")));
  EXPECT_EQ(ReadBytes(Win(saved + "/VERSION")), plan.version);
}

// The adapter pulled while a file's block is on its way: nothing is told as done, Stop closes
// the dead line, and on the port the adapter comes back as the download runs through.
TEST_F(QvsNor, AnAdapterPulledDuringTheDownloadClaimsNothingAndStopLetsItRunOnTheNewPort) {
  Boot();
  MasterMode(1);
  NoAutoFormat(true);
  ChooseQvs(Win(kFixtures + "/norel.qvs"));
  sim->Fault("qvs-block", "unplug");
  Click(h, IDC_DOWNLOAD);
  ASSERT_TRUE(PumpUntil([&] { return Count(sim->Frames(), "FAULT qvs-block unplug") > 0; }, 20000))
      << Join(sim->Frames());
  Pump(2000);
  EXPECT_TRUE(g_app.boxes.empty());
  EXPECT_NE(dlg->m_OperationState, kStateIdle) << "the run waits for the block's reply";
  EXPECT_EQ(ReadAllText(g_strHistoryPath).find("Download Qvs file"), std::string::npos);
  Click(h, IDC_STOP);
  EXPECT_FALSE(g_MasterComm.IsConnected());
  EXPECT_EQ(dlg->m_OperationState, 0);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(h, IDC_START)));

  const std::string com = sim->Replug();
  const int port = std::stoi(com.substr(3));
  ASSERT_LE(port, kPortCount) << "the port list of the dialog ends at COM" << kPortCount;
  Write(L"COM", port - 1);
  Boot();
  MasterMode(1);
  NoAutoFormat(true);
  ChooseQvs(Win(kFixtures + "/norel.qvs"));
  Run(IDC_DOWNLOAD);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
  EXPECT_EQ(ReadBytes(Win(SaveQvs() + "/a/x.bin")),
            ReadBytes(Win(kFixtures + "/norel/tree/a/x.bin")));
}

TEST_F(QvsNor, ACfgThatDoesNotFitItsImageSendsNothing) {
  const std::string cfg = ReadAllText(Win(kFixtures + "/main.cfg"));
  const std::string image = ReadAllText(Win(kFixtures + "/main.qvs"));
  auto without = [&](const std::string& key) {
    std::size_t at = cfg.find(key);
    return cfg.substr(0, at) + cfg.substr(cfg.find("\r\n", at) + 2);
  };
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::size_t at = cfg.rfind(from);
    return cfg.substr(0, at) + to + cfg.substr(at + from.size());
  };
  const struct {
    const char* name;
    std::string cfg, image;
    std::wstring box;  // empty: the box starts with `boxStart`
    std::wstring boxStart;
  } cases[] = {
      {"sizes one byte more than the image", cfg, image.substr(0, image.size() - 1),
       L"QVS file size mismatched!!!", L""},
      {"no version", without("QVSVERSION : "), image, L"QVSVERSION not found in cfg file", L""},
      {"version cut short at the end", without("QVSVERSION : ") + "QVSVERSION : short", image, L"",
       L"QVSVERSION"},
      {"size without digits", replaced("FILE_SIZE : 5\r\n", "FILE_SIZE : \r\n"), image, L"",
       L"Bad FILE_SIZE"},
      {"a name without its line end", cfg + "DIR_NAME : /c/open", image, L"", L"Truncated line"},
      {"directory name of 63 bytes", ReadAllText(Win(kFixtures + "/long63.cfg")),
       ReadAllText(Win(kFixtures + "/long63.qvs")), L"", L"DIR_NAME too long"},
  };
  Boot();
  MasterMode(1);
  NoAutoFormat(true);
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring qvs = temp + L"bad" + std::to_wstring(n++) + L".qvs";
    WriteBytes(qvs, c.image);
    WriteBytes(CfgNameFor(qvs), c.cfg);
    ChooseQvs(qvs);
    g_app.boxes.clear();
    sim->ClearFrames();
    Run(IDC_DOWNLOAD);
    EXPECT_EQ(Sent(sim->Frames()), std::vector<std::string>{"LINK_SYNC"});
    ASSERT_EQ(g_app.boxes.size(), 1u);
    if (!c.box.empty())
      EXPECT_EQ(g_app.boxes[0], c.box);
    else
      EXPECT_EQ(g_app.boxes[0].rfind(c.boxStart, 0), 0u) << g_app.boxes[0];
    EXPECT_TRUE(dlg->m_Qvs.cfgText.empty());
  }
  // A missing .cfg is named.
  const std::wstring qvs = temp + L"nocfg.qvs";
  WriteBytes(qvs, image);
  DeleteFileW(CfgNameFor(qvs).c_str());
  ChooseQvs(qvs);
  g_app.boxes.clear();
  sim->ClearFrames();
  Run(IDC_DOWNLOAD);
  EXPECT_EQ(Sent(sim->Frames()), std::vector<std::string>{"LINK_SYNC"});
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Fail to open " + CfgNameFor(qvs)});
}

TEST_F(QvsNor, WrongRepliesStopTheQvsDownload) {
  const struct {
    const char* fault;      // simulator fault point, "wrong"
    const char* lastFrame;  // the last frame the host sent
    int state;
    const wchar_t* logEnd;
  } cases[] = {
      {"qvs-mount", "QVS_MOUNT", kStateIdle, L"\n** Start Downloading QVS file **\n"},
      {"qvs-dir", "QVS_MAKE_DIR /a", kStateIdle, L"\n** Start Downloading QVS file **\n"},
      {"qvs-release", "QVS_NO_RELEASE", kStateIdle, L"INIT ERROR ! \n"},
      {"qvs-block", "QVS_FILE_DONE /a/x.bin bytes=3000", kStateIdle,
       L"\n** Start Downloading QVS file **\n"},
      // Any other byte than 0xC5 is ignored there: the run waits until Stop.
      {"qvs-end", "QVS_END_DOWNLOAD", 58, L"\n** Start Downloading QVS file **\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Boot();
    MasterMode(1);
    NoAutoFormat(true);
    ChooseQvs(Win(kFixtures + "/norel.qvs"));
    sim->Fault(c.fault, "wrong");
    Click(h, IDC_DOWNLOAD);
    PumpUntil([&] { return Count(sim->Frames(), c.lastFrame) > 0; }, 20000);
    Pump(300);
    const auto frames = Sent(sim->Frames());
    ASSERT_FALSE(frames.empty());
    std::string last = frames.back();
    if (last.find(" refused") != std::string::npos) last = frames[frames.size() - 2];
    EXPECT_EQ(last.rfind(c.lastFrame, 0), 0u) << Join(frames);
    EXPECT_EQ(dlg->m_OperationState, c.state);
    EXPECT_EQ(Count(frames, "QVS_UNMOUNT"), 0);
    EXPECT_TRUE(g_app.boxes.empty());
    const std::wstring log = LogText(h), end = c.logEnd;
    ASSERT_GE(log.size(), end.size());
    EXPECT_EQ(log.substr(log.size() - end.size()), end) << log;
  }
}

TEST_F(QvsNor, FileCheckComparesTheCfgWithTheImagesListCopy) {
  Boot();
  ChooseQvs(Win(kFixtures + "/main.qvs"));
  Click(h, IDC_QVS_FILE_CHECK);
  EXPECT_NE(LogText(h).find(L"\n File Compare SUCCESS!!"), std::wstring::npos) << LogText(h);
  ChooseQvs(Win(kFixtures + "/norel.qvs"));  // no list copy
  Click(h, IDC_QVS_FILE_CHECK);
  EXPECT_NE(LogText(h).find(L"\n You must use qvs builder v1.4"), std::wstring::npos);
  ChooseQvs(temp + L"missing.qvs");
  Click(h, IDC_QVS_FILE_CHECK);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"FILE OPEN FAIL.."});
  EXPECT_EQ(dlg->m_OperationState, kStateIdle);
}

TEST_F(QvsNor, SlaveQvsDownloadErasesItsQvsAreaFormatsAndBeginsWithoutChecksumOrTime) {
  Write(L"ARM9", 0);
  Write(L"ARM7", 1);
  Boot(kTableA, true);
  CheckRadioButton(h, IDC_SLAVE_BIN, IDC_SLAVE_BINQVS, IDC_SLAVE_QVS);
  Click(h, IDC_SLAVE_QVS);
  SetDlgItemTextW(h, IDC_SLAVE_QVS_PATH, Win(kFixtures + "/norel.qvs").c_str());
  Run(IDC_DOWNLOAD);
  const auto frames = Sent(sim->Frames());
  std::vector<std::string> want = {"LINK_SYNC"};
  for (std::uint32_t s = 224; s <= 230; ++s) {
    char f[64];
    std::snprintf(f, sizeof(f), "BL_ERASE_SECTOR %08X", s * 0x10000);
    want.push_back(f);
  }
  want.push_back("LINK_SYNC");
  want.push_back("QVS_FORMAT");
  std::vector<std::string> head(frames.begin(),
                                frames.begin() + std::min(frames.size(), want.size()));
  EXPECT_EQ(head, want) << Join(frames);
  // The format's success goes straight on with the mount, as on the master.
  EXPECT_EQ(Count(frames, "QVS_MOUNT"), 1) << Join(frames);
  EXPECT_EQ(Count(frames, "QVS_BEGIN_DOWNLOAD"), 0);
  EXPECT_EQ(Count(frames, "QVS_SET_CHECKSUM"), 0);
  EXPECT_EQ(Count(frames, "QVS_SET_TIME"), 0);
  EXPECT_EQ(Count(frames, "QVS_UNMOUNT"), 1);
  for (const auto& f : frames) EXPECT_EQ(f.find("refused"), std::string::npos) << f;
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
  std::string dir = kFixtures + "/saved-slave-" + std::to_string(GetCurrentProcessId());
  fs::remove_all(Win(dir));
  savedDirs.push_back(dir);
  sim->QvsSave(SimChip::kSlave, dir);
  EXPECT_EQ(ReadBytes(Win(dir + "/a/x.bin")), ReadBytes(Win(kFixtures + "/norel/tree/a/x.bin")));
  const std::string history = ReadAllText(g_strHistoryPath);
  EXPECT_NE(history.find("Nor erase Sector Number: 224 225 226 227 228 229 230\r\n"),
            std::string::npos)
      << history;
  EXPECT_NE(history.find("NANDFormat Completed\r\n"), std::string::npos) << history;
  EXPECT_NE(history.find("norel.qvs\r\n"), std::string::npos) << history;

  // The Format button of the slave erases the QVS area and ends there.
  sim->ClearFrames();
  g_app.boxes.clear();
  Run(IDC_FORMAT);
  want.resize(8);
  EXPECT_EQ(Sent(sim->Frames()), want);
  EXPECT_EQ(g_app.boxes, (std::vector<std::wstring>{L"Sure to FORMAT?", L"Erasing Completed!"}));

  // A DOWNLOAD after the Format button still downloads after its own format.
  sim->ClearFrames();
  g_app.boxes.clear();
  Run(IDC_DOWNLOAD);
  EXPECT_EQ(Count(Sent(sim->Frames()), "QVS_UNMOUNT"), 1) << Join(sim->Frames());
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
}

// ---------------------------------------------------------------------------------------------
// Format and status.

TEST_F(QvsNor, FormatSendsTheADriveSectorCount) {
  const struct {
    const char* name;
    const char* cfg;
    const char* fault;  // simulator fault point ("wrong"), or null
    bool fail;          // the phone reports a failure
    const char* frame;  // the format frame, or null: none is sent
    const wchar_t* logEnd;
    std::vector<std::wstring> boxes;
  } cases[] = {
      // 100 blocks: 100 x 8 + 21888 = 22688 = 0x0058A0, the frame E0 00 58 A0.
      {"100 blocks",
       "QVSVERSION : 0123456789ABCDEF\r\nNUM_DIR : 100\r\n",
       nullptr,
       false,
       "QVS_FORMAT sectors=22688",
       L"Success!\n",
       {L"Sure to FORMAT?", L"NAND-Formatting Completed!"}},
      // 163 blocks: 23192 = 00 5A 98, whose sum 0xF2 comes first and is not the failure.
      {"count sum F2",
       "QVSVERSION : 0123456789ABCDEF\r\nNUM_DIR : 163\r\n",
       nullptr,
       false,
       "QVS_FORMAT sectors=23192",
       L"Success!\n",
       {L"Sure to FORMAT?", L"NAND-Formatting Completed!"}},
      {"format failure",
       "QVSVERSION : 0123456789ABCDEF\r\nNUM_DIR : 100\r\n",
       nullptr,
       true,
       "QVS_FORMAT sectors=22688",
       L"Format Error !\n",
       {L"Sure to FORMAT?"}},
      {"stray bytes before the result",
       "QVSVERSION : 0123456789ABCDEF\r\nNUM_DIR : 1\r\n",
       "qvs-format",
       false,
       "QVS_FORMAT sectors=21896",
       L"Success!\n",
       {L"Sure to FORMAT?", L"NAND-Formatting Completed!"}},
      // 1 GiB NAND = 128 MiB: 32769 blocks of 4 KiB are one block too many.
      {"A drive larger than the NAND",
       "QVSVERSION : 0123456789ABCDEF\r\nNUM_DIR : 32769\r\n",
       nullptr,
       false,
       nullptr,
       L"\n END OF FILE",
       {L"Sure to FORMAT?"}},
      {"NUM_DIR without a number",
       "QVSVERSION : 0123456789ABCDEF\r\nNUM_DIR : many\r\n",
       nullptr,
       false,
       nullptr,
       L"... ",
       {L"Sure to FORMAT?", L"Bad NUM_DIR in cfg file (line 2)"}},
  };
  Boot();
  NoAutoFormat(true);
  ASSERT_TRUE(Enabled(h, IDC_FORMAT));
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring qvs = temp + L"fmt" + std::to_wstring(n++) + L".qvs";
    WriteBytes(CfgNameFor(qvs), c.cfg);
    ChooseQvs(qvs);
    sim->ClearFaults();
    if (c.fault) sim->Fault(c.fault, "garbage");
    sim->QvsFormatFail(SimChip::kMaster, c.fail, 0x01, 0x000000FF);
    sim->ClearFrames();
    g_app.boxes.clear();
    Run(IDC_FORMAT);
    const auto frames = Sent(sim->Frames());
    if (c.frame) {
      EXPECT_EQ(Count(frames, c.frame), 1) << Join(frames);
    } else {
      EXPECT_EQ(frames, std::vector<std::string>{"LINK_SYNC"});
    }
    EXPECT_EQ(g_app.boxes, c.boxes);
    const std::wstring log = LogText(h);
    const std::wstring head = L"** Formatting QVS system (NAND Flash)... ";
    EXPECT_EQ(log.rfind(L" \n" + head, 0), 0u) << log;
    ASSERT_GE(log.size(), std::wstring(c.logEnd).size());
    EXPECT_EQ(log.substr(log.size() - std::wstring(c.logEnd).size()), c.logEnd) << log;
    EXPECT_EQ(Enabled(h, IDC_ABOUT), c.frame != nullptr) << log;
  }
  sim->QvsFormatFail(SimChip::kMaster, false);
  // The master writes no history entry for a format.
  EXPECT_EQ(ReadAllText(g_strHistoryPath), "");
  // No: nothing is sent.
  g_app.yesNo = IDNO;
  sim->ClearFrames();
  Click(h, IDC_FORMAT);
  Pump(300);
  EXPECT_TRUE(Sent(sim->Frames()).empty());
}

TEST_F(QvsNor, DownloadAfterTheFormatButtonStillFollowsItsAutomaticFormat) {
  Boot();
  ChooseQvs(Win(kFixtures + "/norel.qvs"));
  NoAutoFormat(true);
  Run(IDC_FORMAT);
  ASSERT_EQ(g_app.boxes,
            (std::vector<std::wstring>{L"Sure to FORMAT?", L"NAND-Formatting Completed!"}));
  NoAutoFormat(false);
  MasterMode(1);
  g_app.boxes.clear();
  sim->ClearFrames();
  Run(IDC_DOWNLOAD);
  const auto frames = Sent(sim->Frames());
  EXPECT_EQ(Count(frames, "QVS_FORMAT sectors="), 1) << Join(frames);
  EXPECT_EQ(Count(frames, "QVS_MOUNT"), 1) << Join(frames);
  EXPECT_EQ(Count(frames, "QVS_UNMOUNT"), 1) << Join(frames);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Download completed!"});
}

TEST_F(QvsNor, StatusWaitsPastStrayBytesForTheRecord) {
  Boot();
  sim->Fault("qvs-status", "garbage");
  Run(IDC_STATUS);
  const auto frames = Sent(sim->Frames());
  EXPECT_EQ(Count(frames, "QVS_STATUS drive=a"), 1) << Join(frames);
  const Bytes record(std::begin(dlg->m_Format.statusRecord), std::end(dlg->m_Format.statusRecord));
  // f_type "QVS1", f_bsize 4096, f_bsizebits 12 (little-endian); f_fsid "QVSA", maximum file
  // size 0xFFFFFFFF, name length 254.
  EXPECT_EQ(Hex(Bytes(record.begin(), record.begin() + 12)),
            "5156533100100000"
            "0c000000");
  EXPECT_EQ(Hex(Bytes(record.begin() + 32, record.end())),
            "51565341ffffffff"
            "fe000000");
  EXPECT_TRUE(g_app.boxes.empty());
  EXPECT_TRUE(Enabled(h, IDC_ABOUT));
  EXPECT_EQ(LogText(h), L" \n");
}

// ---------------------------------------------------------------------------------------------
// NOR erase and dump.

TEST_F(QvsNor, EraseTakesTheTickedSectorsOnly) {
  Boot();
  std::map<int, Bytes> before;
  for (int s = 2; s <= 6; ++s) before[s] = FillNor(s * 0x20000, 0x20000, s);
  g_SectorFlags[4] = 1;  // left from an earlier dialog
  dlg->tick = {3, 5};
  Run(IDC_ERASE);
  EXPECT_EQ(dlg->flagsAtDialog[4], 0u);
  const auto frames = Sent(sim->Frames());
  EXPECT_EQ(frames, (std::vector<std::string>{"LINK_SYNC", "BL_ERASE_SECTOR 00060000",
                                              "BL_ERASE_SECTOR 000A0000"}));
  for (int s = 2; s <= 6; ++s) {
    Bytes now = Nor(s * 0x20000, 0x20000);
    if (s == 3 || s == 5)
      EXPECT_EQ(now, Bytes(0x20000, 0xFF)) << s;
    else
      EXPECT_EQ(now, before[s]) << s;
  }
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Erasing Completed!"});
  const std::wstring log = LogText(h);
  EXPECT_EQ(log.rfind(L" \n** Erasing NOR-Flash **\n\nErasing sector ( SectorNum = 3 )... OK!\n"
                      L"Erasing sector ( SectorNum = 5 )... OK!\n\n** Erase Time ",
                      0),
            0u)
      << log;
  EXPECT_NE(log.find(L"** (Total 256 KBytes) **\n"), std::wstring::npos) << log;
  // One step per sector erased, from 0 at the start.
  EXPECT_EQ(ProgressPos(h), 2);
  EXPECT_TRUE(Enabled(h, IDC_ABOUT));
  const std::string history = ReadAllText(g_strHistoryPath);
  EXPECT_NE(history.find("Nor erase Sector Number: 3 5\r\n"), std::string::npos) << history;

  // A wrong reply stops the run; the sector erased so far stays erased.
  FillNor(3 * 0x20000, 0x20000, 9);
  sim->ClearFrames();
  g_app.boxes.clear();
  sim->Fault("erase", "wrong");
  Run(IDC_ERASE);
  EXPECT_EQ(Sent(sim->Frames()),
            (std::vector<std::string>{"LINK_SYNC", "BL_ERASE_SECTOR 00060000"}));
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Fail to erase sector!"});
  EXPECT_EQ(Nor(3 * 0x20000, 16), Bytes(16, 0xFF));
  EXPECT_TRUE(Enabled(h, IDC_ABOUT));

  // Nothing ticked, or the dialog cancelled: nothing is sent.
  sim->ClearFrames();
  g_app.boxes.clear();
  dlg->tick = {};
  Click(h, IDC_ERASE);
  dlg->tick = {3};
  dlg->sectorOk = false;
  Click(h, IDC_ERASE);
  Pump(200);
  EXPECT_TRUE(Sent(sim->Frames()).empty());
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"No sector selected!"});
}

TEST_F(QvsNor, DumpWritesTheSectorsBytesBackToBack) {
  const struct {
    const char* name;
    std::vector<std::uint8_t> flashId;
    std::vector<int> sectors;
    std::uint32_t sectorBytes;
    const wchar_t* total;
    int kbytes;  // where the bar ends: 8 KiB per block over all sectors
  } cases[] = {
      {"128 KiB sector", kTableA, {4}, 0x20000, L"** (Total 128 KBytes) **\n", 128},
      {"8 KiB sector", kTableB, {255}, 0x2000, L"** (Total 8 KBytes) **\n", 8},
      {"64 KiB and 8 KiB sectors", kTableB, {2, 256}, 0, L"** (Total 72 KBytes) **\n", 72},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Boot(c.flashId);
    Bytes want;
    std::vector<std::string> frames = {"LINK_SYNC"};
    for (int s : c.sectors) {
      const std::uint32_t address = g_pSectorTable[s].offset * 2,
                          bytes = g_pSectorTable[s].size * 2;
      Bytes data = FillNor(address, bytes, s);
      want.insert(want.end(), data.begin(), data.end());
      for (std::uint32_t b = 0; b < bytes; b += 8192) {
        char f[64];
        std::snprintf(f, sizeof(f), "BL_DUMP_BLOCK %08X", address + b);
        frames.push_back(f);
      }
    }
    if (c.sectorBytes == 0x20000) {
      ASSERT_EQ(frames.size(), 17u);  // 16 blocks
    }
    if (c.sectorBytes == 0x2000) {
      ASSERT_EQ(frames.size(), 2u);  // one block
      EXPECT_EQ(frames[1], "BL_DUMP_BLOCK 00FF0000");
    }
    sim->ClearFrames();
    dlg->tick = c.sectors;
    dlg->savePath = temp + L"dump" + std::to_wstring(n++) + L".hex";
    DeleteFileW(dlg->savePath.c_str());
    Run(IDC_DUMP);
    EXPECT_EQ(Sent(sim->Frames()), frames);
    EXPECT_EQ(ReadBytes(dlg->savePath), want);
    EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Dump Completed!"});
    const std::wstring log = LogText(h);
    EXPECT_NE(log.find(L"\n** Dump Time "), std::wstring::npos) << log;
    EXPECT_NE(log.find(c.total), std::wstring::npos) << log;
    EXPECT_EQ(ProgressPos(h), c.kbytes);
    EXPECT_NE(log.find(L"Dumping sector ( SectorNum = " + std::to_wstring(c.sectors.back()) +
                       L" )... OK!\n"),
              std::wstring::npos)
        << log;
    EXPECT_TRUE(Enabled(h, IDC_ABOUT));
  }
  const std::string history = ReadAllText(g_strHistoryPath);
  EXPECT_NE(history.find("dump0.hex   And Nor dump sector =>  4\r\n"), std::string::npos)
      << history;
  EXPECT_NE(history.find("dump2.hex   And Nor dump sector =>  2 256\r\n"), std::string::npos)
      << history;
}

TEST_F(QvsNor, AWrongDumpSumStopsAndKeepsTheBlocksWritten) {
  Boot();
  const Bytes data = FillNor(6 * 0x20000, 0x20000, 6);
  dlg->tick = {6};
  dlg->savePath = temp + L"bad.hex";
  DeleteFileW(dlg->savePath.c_str());
  Click(h, IDC_DUMP);
  // Two blocks taken; the third's request is out once the second is handled, so the fault is
  // armed while the second block waits in the queue.
  ASSERT_TRUE(PumpUntil([&] { return dlg->m_Nor.dumpBlocks == 1; }, 20000)) << Join(sim->Frames());
  DWORD end = GetTickCount() + 20000;
  while (g_MasterComm.m_QueueRead.GetCount() < CByteQueue::kBlockCount &&
         static_cast<int>(GetTickCount() - end) < 0)
    Sleep(2);
  sim->Fault("dump-sum", "wrong");
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 20000)) << Join(sim->Frames());
  Pump(100);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Checksum mismatched!"});
  EXPECT_EQ(dlg->m_OperationCode, 0);
  EXPECT_EQ(Count(Sent(sim->Frames()), "BL_DUMP_BLOCK"), 3);
  EXPECT_FALSE(Enabled(h, IDC_ABOUT));  // until Stop
  Click(h, IDC_STOP);
  EXPECT_EQ(ReadBytes(dlg->savePath), Bytes(data.begin(), data.begin() + 2 * 8192));
}

TEST_F(QvsNor, ADumpBlockIsTakenOnlyWhenItIsAllThere) {
  Boot();
  FillNor(0, 0x20000, 1);
  dlg->tick = {0};
  dlg->savePath = temp + L"short.hex";
  sim->Fault("dump-data", "short");  // 4096 of the 8192 bytes
  Click(h, IDC_DUMP);
  DWORD end = GetTickCount() + 20000;
  while (g_MasterComm.m_QueueRead.GetCount() < 4097 && static_cast<int>(GetTickCount() - end) < 0)
    Pump(5);
  Pump(200);
  const int queued = g_MasterComm.m_QueueRead.GetCount();
  EXPECT_EQ(queued, 4097);  // half the data and the sum
  // A message without the whole block (as a stale one would be) takes nothing.
  PostMessageW(h, WM_COMM_RECEIVE, 0, 0);
  Pump(200);
  EXPECT_EQ(dlg->m_OperationState, 24);
  EXPECT_EQ(dlg->m_Nor.dumpBlocks, 0u);
  EXPECT_EQ(g_MasterComm.m_QueueRead.GetCount(), queued);
  EXPECT_TRUE(g_app.boxes.empty());
  Click(h, IDC_STOP);
  EXPECT_FALSE(g_MasterComm.m_bBlockMode);
  EXPECT_EQ(ReadBytes(dlg->savePath), Bytes{});
}

TEST_F(QvsNor, DumpWithoutSectorsOrFileSendsNothing) {
  Boot();
  const struct {
    const char* name;
    std::vector<int> tick;
    std::wstring save;
    std::wstring box;
  } cases[] = {
      {"no sector", {}, L"x", L"No sector selected!"},
      {"no file name", {1}, L"", L"No file selected!"},
      {"file not creatable",
       {1},
       L"Z:\\no\\such\\folder\\dump.hex",
       L"Internal Error! (file creation)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dlg->tick = c.tick;
    dlg->savePath = c.save;
    g_app.boxes.clear();
    Click(h, IDC_DUMP);
    Pump(200);
    EXPECT_TRUE(Sent(sim->Frames()).empty());
    EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{c.box});
    EXPECT_EQ(dlg->m_OperationState, kStateIdle);
  }
}

TEST_F(QvsNor, ADumpOntoAFullDiskStopsWithoutSuccessOrHistory) {
  Boot();
  FillNor(0, 0x20000, 2);
  dlg->tick = {0};
  dlg->savePath = L"Z:\\dev\\full";  // every write fails: no space left
  Run(IDC_DUMP);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"File write error!"});
  EXPECT_NE(LogText(h).find(L"** File write error! **\n"), std::wstring::npos) << LogText(h);
  EXPECT_EQ(Count(Sent(sim->Frames()), "BL_DUMP_BLOCK"), 1);
  EXPECT_EQ(ReadAllText(g_strHistoryPath).find("Nor dump"), std::string::npos);
  EXPECT_TRUE(Enabled(h, IDC_ABOUT));
}

}  // namespace
