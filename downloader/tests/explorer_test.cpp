// The QVS explorer dialog against the phone simulator (Wine): listing, reading a file or a
// folder, add, delete, file status, the NAND dump and its continuation, the hand-over of the
// reply window.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DownloaderDlg.h"
#include "QVSExplorerDlg.h"
#include "SerialComm.h"
#include "answering_app.h"
#include "dialog_driving.h"
#include "phone_sim_control.h"

namespace {

using phone_sim::SimChip;
using Bytes = std::vector<std::uint8_t>;

AnsweringApp g_app(L"ExplorerTest");

// An explorer whose file dialogs, folder browser and pop-up menu answer from the test.
class TestExplorer : public CQVSExplorerDlg {
 public:
  using CQVSExplorerDlg::CQVSExplorerDlg;
  std::vector<std::wstring> files;  // answers of the open and save dialogs; "" cancels
  std::wstring folder;
  struct MenuItem {
    std::wstring text;
    UINT id;
    bool grayed;
    bool separator;
  };
  std::vector<MenuItem> menu;
  UINT menuChoice = 0;

 protected:
  bool Take(CString& chosen) {
    if (files.empty()) return false;
    std::wstring f = files.front();
    files.erase(files.begin());
    if (f.empty()) return false;
    chosen = f.c_str();
    return true;
  }
  bool ChooseOpenFile(const wchar_t*, CString& chosen) override { return Take(chosen); }
  bool ChooseSaveFile(const wchar_t*, const wchar_t*, const wchar_t*, CString& chosen) override {
    return Take(chosen);
  }
  bool ChooseFolder(const wchar_t*, CString& chosen) override {
    chosen = folder.c_str();
    return !folder.empty();
  }
  UINT TrackMenu(HMENU m, POINT) override {
    menu.clear();
    for (int i = 0; i < GetMenuItemCount(m); ++i) {
      wchar_t text[256] = {};
      MENUITEMINFOW mi{sizeof(mi)};
      mi.fMask = MIIM_STRING | MIIM_ID | MIIM_STATE | MIIM_FTYPE;
      mi.dwTypeData = text;
      mi.cch = 255;
      GetMenuItemInfoW(m, static_cast<UINT>(i), TRUE, &mi);
      menu.push_back(
          {text, mi.wID, (mi.fState & MFS_GRAYED) != 0, (mi.fType & MFT_SEPARATOR) != 0});
    }
    return menuChoice;
  }
};

Bytes Pattern(std::size_t n, int seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i)
    b[i] = static_cast<std::uint8_t>((i * 7 + seed * 13 + (i >> 8)) ^ (seed << 3));
  return b;
}

bool WriteAll(const std::wstring& path, const Bytes& bytes) {
  CFile f;
  if (!f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite)) return false;
  return bytes.empty() || f.Write(bytes.data(), static_cast<UINT>(bytes.size()));
}

[[maybe_unused]] Bytes ReadAll(const std::wstring& path) {
  CFile f;
  if (!f.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone)) return Bytes{0xEE, 0xEE};
  Bytes b(static_cast<std::size_t>(f.GetLength()));
  std::size_t done = 0;
  while (done < b.size()) {
    UINT n =
        f.Read(b.data() + done, static_cast<UINT>(std::min<std::size_t>(1 << 20, b.size() - done)));
    if (!n) break;
    done += n;
  }
  b.resize(done);
  return b;
}

std::wstring Text(HWND h) {
  std::wstring s(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
  s.resize(static_cast<std::size_t>(GetWindowTextW(h, s.data(), static_cast<int>(s.size()))));
  return s;
}

std::vector<std::wstring> ListItems(HWND list) {
  std::vector<std::wstring> out;
  int n = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    std::wstring s(static_cast<std::size_t>(SendMessageW(list, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
    s.resize(static_cast<std::size_t>(
        SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(s.data()))));
    out.push_back(s);
  }
  return out;
}

HTREEITEM TreeNext(HWND tree, UINT how, HTREEITEM item = nullptr) {
  return reinterpret_cast<HTREEITEM>(
      SendMessageW(tree, TVM_GETNEXTITEM, how, reinterpret_cast<LPARAM>(item)));
}

std::wstring TreeText(HWND tree, HTREEITEM item) {
  wchar_t text[256] = {};
  TVITEMW tv{};
  tv.mask = TVIF_TEXT;
  tv.hItem = item;
  tv.pszText = text;
  tv.cchTextMax = 255;
  SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
  return text;
}

[[maybe_unused]] std::vector<std::wstring> Children(HWND tree, HTREEITEM item) {
  std::vector<std::wstring> out;
  for (HTREEITEM c = TreeNext(tree, TVGN_CHILD, item); c; c = TreeNext(tree, TVGN_NEXT, c))
    out.push_back(TreeText(tree, c));
  return out;
}

HTREEITEM ChildNamed(HWND tree, HTREEITEM item, const std::wstring& name) {
  for (HTREEITEM c = TreeNext(tree, TVGN_CHILD, item); c; c = TreeNext(tree, TVGN_NEXT, c))
    if (TreeText(tree, c) == name) return c;
  return nullptr;
}

[[maybe_unused]] bool Has(const std::wstring& text, const std::wstring& part) {
  return text.find(part) != std::wstring::npos;
}

[[maybe_unused]] int Count(const std::vector<std::string>& frames, const std::string& prefix) {
  return static_cast<int>(std::count_if(
      frames.begin(), frames.end(), [&](const std::string& f) { return f.rfind(prefix, 0) == 0; }));
}

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// A folder of this process under the Linux /tmp (Wine's Z: drive), for the simulator's
// qvs-load and nand-save and for the files the explorer writes. Wine reuses process ids, so
// the name also carries the start time; the folder goes with the test.
class Scratch {
 public:
  Scratch() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const std::string name =
        "qvsx-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(now.QuadPart);
    linux_ = "/tmp/" + name;
    dos_ = L"Z:\\tmp\\" + std::wstring(name.begin(), name.end());
    CreateDirectoryW(dos_.c_str(), nullptr);
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dos_), ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  std::wstring Dos(const std::wstring& rel) const {
    std::wstring r = rel;
    std::replace(r.begin(), r.end(), L'/', L'\\');
    return dos_ + L"\\" + r;
  }
  std::string Linux(const std::string& rel) const { return linux_ + "/" + rel; }
  void MakeDir(const std::wstring& rel) const { CreateDirectoryW(Dos(rel).c_str(), nullptr); }

 private:
  std::string linux_;
  std::wstring dos_;
};

class Explorer : public ::testing::Test {
 protected:
  // The simulator's smallest NAND: 0x2100000 bytes with the spare bytes, 2 pages a unit.
  static constexpr std::uint16_t kSmallNand = 0x0014;

  void SetUp() override {
    if (!phone_sim::PhoneSimControl::Available()) GTEST_SKIP() << "no phone simulator";
    AfxInitRichEdit2();
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
    g_strHistoryPath = std::wstring(scratch.Dos(L"history.txt"));
    ASSERT_TRUE(OpenHistoryFile());
    sim = std::make_unique<phone_sim::PhoneSimControl>();
    g_app.WriteProfileInt(L"Setting", L"COM", std::stoi(sim->ComName().substr(3)) - 1);
    g_app.WriteProfileInt(L"Setting", L"ARM9", 1);
    g_app.WriteProfileInt(L"Setting", L"SPEED", 3);
    sim->SetFlashId(SimChip::kMaster, {0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, kSmallNand});
    ASSERT_TRUE(main.Create(IDD_DOWNLOADER_DIALOG));
    Click(main.m_hWnd, IDC_START);
    ASSERT_TRUE(
        PumpUntil([&] { return main.m_BootDone && main.m_OperationState == kStateIdle; }, 60000))
        << Join(sim->Frames());
    g_app.boxes.clear();
  }
  void TearDown() override {
    if (ex && ex->m_hWnd) ex->DestroyWindow();
    ex.reset();
    if (main.m_hWnd) {
      if (g_MasterComm.IsConnected()) Click(main.m_hWnd, IDC_STOP);
      main.DestroyWindow();
    }
    g_MasterComm.Close();
    CloseHistoryFile();
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
  }

  // Puts files (path under the drive folders a, b, c -> bytes) into the phone's file system.
  void LoadQvs(const std::vector<std::pair<std::wstring, Bytes>>& files,
               const std::vector<std::wstring>& dirs = {}) {
    static int n = 0;
    std::wstring root = L"qvs" + std::to_wstring(n);
    scratch.MakeDir(root);
    for (const wchar_t* d : {L"/a", L"/b", L"/c"}) scratch.MakeDir(root + d);
    for (const auto& d : dirs) scratch.MakeDir(root + L"/" + d);
    for (const auto& [path, bytes] : files)
      ASSERT_TRUE(WriteAll(scratch.Dos(root + L"/" + path), bytes));
    sim->QvsLoad(SimChip::kMaster, scratch.Linux("qvs" + std::to_string(n++)));
  }

  // Opens the explorer on the booted link and waits for the root's listing.
  void Open(std::uint16_t secondId = kSmallNand) {
    ex = std::make_unique<TestExplorer>(&main, secondId);
    ASSERT_TRUE(ex->Create(IDD_QVS_EXPLORER, &main));
    h = ex->m_hWnd;
    ASSERT_TRUE(WaitIdle()) << Join(sim->Frames());
  }
  bool WaitIdle(DWORD ms = 30000) {
    return PumpUntil([&] { return ex->m_nState == kExplorerIdle; }, ms);
  }
  HWND Tree() const { return GetDlgItem(h, IDC_QVSX_TREE); }
  HWND List() const { return GetDlgItem(h, IDC_QVSX_FILES); }
  std::wstring Log() const { return Text(GetDlgItem(h, IDC_QVSX_LOG)); }
  void Select(const std::wstring& file) {
    auto items = ListItems(List());
    auto it = std::find(items.begin(), items.end(), file);
    ASSERT_NE(it, items.end());
    SendMessageW(List(), LB_SETCURSEL, static_cast<WPARAM>(it - items.begin()), 0);
  }
  // Selects a tree item and waits for its listing.
  void Browse(HTREEITEM item) {
    SendMessageW(Tree(), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    ASSERT_TRUE(WaitIdle()) << Join(sim->Frames());
  }
  bool BrowsingEnabled() const {
    return IsWindowEnabled(Tree()) && IsWindowEnabled(List()) &&
           IsWindowEnabled(GetDlgItem(h, IDC_QVSX_NAND_DUMP));
  }
  // Runs a command and waits until the explorer is idle again.
  void Command(int id) {
    sim->ClearFrames();
    g_app.boxes.clear();
    Click(h, id);
    ASSERT_TRUE(WaitIdle(60000)) << "state " << ex->m_nState << "\n" << Join(sim->Frames());
  }

  Scratch scratch;
  std::unique_ptr<phone_sim::PhoneSimControl> sim;
  CDownloaderDlg main;
  std::unique_ptr<TestExplorer> ex;
  HWND h = nullptr;
};

#ifndef EXPLORER_SCREENSHOT

TEST_F(Explorer, ListsTheRootAndASubdirectoryAndKeepsTheTreeFreeOfDotsAndTwins) {
  LoadQvs({{L"a/x.bin", Pattern(100, 1)},
           {L"a/empty.txt", {}},
           {L"a/sub/y.dat", Pattern(10, 2)},
           {L"b/other", Pattern(5, 3)}},
          {L"a/sub", L"a/sub/deeper", L"a/zdir"});
  sim->ClearFrames();
  Open();
  EXPECT_EQ(g_hReplyWnd.load(), h);
  auto frames = sim->Frames();
  EXPECT_EQ(Count(frames, "QVS_MOUNT"), 1) << Join(frames);
  EXPECT_EQ(Count(frames, "QVS_LIST_DIR /a records=6"), 1) << Join(frames);
  EXPECT_EQ(ListItems(List()), (std::vector<std::wstring>{L"empty.txt", L"x.bin"}));
  HTREEITEM root = TreeNext(Tree(), TVGN_ROOT);
  EXPECT_EQ(TreeText(Tree(), root), L"/");
  EXPECT_EQ(Children(Tree(), root), (std::vector<std::wstring>{L"sub", L"zdir"}));
  std::wstring log = Log();
  EXPECT_TRUE(Has(log, L"\r\n** Mounting QVS system... OK!\r\nSearching the files... ")) << log;
  EXPECT_TRUE(Has(log, L"empty.txt\r\nx.bin\r\n\r\n Read directory OK!\r\n")) << log;
  EXPECT_TRUE(BrowsingEnabled());

  sim->ClearFrames();
  Browse(ChildNamed(Tree(), root, L"sub"));
  EXPECT_EQ(Count(sim->Frames(), "QVS_LIST_DIR /a/sub records=4"), 1) << Join(sim->Frames());
  EXPECT_EQ(ListItems(List()), std::vector<std::wstring>{L"y.dat"});
  EXPECT_EQ(ex->m_strCurrentPath, CString(L"/sub/"));
  EXPECT_TRUE(Has(Log(), L"\r\nSearching the files (in '/sub/')... \r\n")) << Log();
  EXPECT_EQ(Children(Tree(), ChildNamed(Tree(), root, L"sub")),
            std::vector<std::wstring>{L"deeper"});

  // The root again: its directories are already in the tree.
  Browse(root);
  EXPECT_EQ(Children(Tree(), root), (std::vector<std::wstring>{L"sub", L"zdir"}));
  EXPECT_EQ(ListItems(List()), (std::vector<std::wstring>{L"empty.txt", L"x.bin"}));

  // EXIT unmounts and closes on the phone's reply; the main dialog has the replies again.
  sim->ClearFrames();
  Click(h, IDOK);
  ASSERT_TRUE(PumpUntil([&] { return !IsWindow(h); }, 10000));
  EXPECT_EQ(Count(sim->Frames(), "QVS_UNMOUNT"), 1) << Join(sim->Frames());
  EXPECT_EQ(g_hReplyWnd.load(), main.m_hWnd);
}

TEST_F(Explorer, ReadsFilesChunkByChunkIntoTheChosenFile) {
  const struct {
    const wchar_t* name;
    std::size_t size;
  } cases[] = {{L"one-chunk.bin", 8192},
               {L"chunk-and-one.bin", 8193},
               {L"three.bin", 20000},
               {L"nothing.bin", 0},
               {L"small.bin", 1}};
  std::vector<std::pair<std::wstring, Bytes>> files;
  int seed = 0;
  for (const auto& c : cases)
    files.push_back({std::wstring(L"a/") + c.name, Pattern(c.size, ++seed)});
  LoadQvs(files);
  Open();
  for (const auto& [path, bytes] : files) {
    std::wstring name = path.substr(2);
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    Select(name);
    std::wstring target = scratch.Dos(L"read-" + name + L".hex");
    ex->files = {target};
    Command(ID_QVSX_DUMP);
    EXPECT_EQ(ReadAll(target), bytes);
    EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Dump Completed!"});
    std::wstring log = Log();
    EXPECT_TRUE(Has(log, L"\r\n Reading the file '/" + name + L"'... \r\nSize: " +
                             std::to_wstring(bytes.size()) +
                             L" bytes\r\n** Dumping QVS File **\r\n"))
        << log;
    EXPECT_TRUE(Has(log, L"** Dump Completed! **\r\n"));
    auto frames = sim->Frames();
    std::string n8(name.begin(), name.end());
    EXPECT_EQ(Count(frames, "QVS_READ_FILE /a/" + n8 + " size=" + std::to_string(bytes.size())), 1)
        << Join(frames);
    if (!bytes.empty()) {
      EXPECT_EQ(Count(frames, "QVS_READ_FILE /a/" + n8 + " done"), 1);
    }
    EXPECT_TRUE(BrowsingEnabled());
  }
  // No target chosen: nothing is read.
  Select(L"three.bin");
  ex->files = {L""};
  Command(ID_QVSX_DUMP);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"No file selected!"});
  EXPECT_TRUE(BrowsingEnabled());
}

TEST_F(Explorer, AChunkWithAWrongSumIsRefused) {
  LoadQvs({{L"a/f.bin", Pattern(20000, 4)}});
  Open();
  Select(L"f.bin");
  std::wstring target = scratch.Dos(L"bad.hex");
  ex->files = {target};
  sim->Fault("qvs-chunk-sum", "wrong", 1);
  Command(ID_QVSX_DUMP);
  EXPECT_TRUE(Has(Log(), L"Checksum mismatched!\r\n")) << Log();
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Checksum Mismatched!"});
  EXPECT_EQ(Count(sim->Frames(), "QVS_READ_FILE /a/f.bin refused by the host after 8192 bytes"), 1)
      << Join(sim->Frames());
  EXPECT_TRUE(ReadAll(target).empty());  // the bad chunk is not written
  EXPECT_TRUE(BrowsingEnabled());
  // The explorer goes on: the same file reads whole now.
  ex->files = {target};
  Command(ID_QVSX_DUMP);
  EXPECT_EQ(ReadAll(target), Pattern(20000, 4));
}

TEST_F(Explorer, FolderDumpReadsEveryListedFileFromTheLastToTheFirst) {
  std::vector<std::pair<std::wstring, Bytes>> files = {{L"a/d/f1", Pattern(3000, 1)},
                                                       {L"a/d/f2", Pattern(9000, 2)},
                                                       {L"a/d/f3", {}},
                                                       {L"a/d/f4", Pattern(17000, 4)}};
  LoadQvs(files, {L"a/d"});
  Open();
  Browse(ChildNamed(Tree(), TreeNext(Tree(), TVGN_ROOT), L"d"));
  scratch.MakeDir(L"folder");
  ex->folder = scratch.Dos(L"folder");
  Command(ID_QVSX_FOLDER_DUMP);
  for (const auto& [path, bytes] : files)
    EXPECT_EQ(ReadAll(scratch.Dos(L"folder/" + path.substr(4))), bytes) << path.c_str();
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Dump Completed!"});
  auto frames = sim->Frames();
  std::vector<std::string> reads;
  for (const auto& f : frames)
    if (f.rfind("QVS_READ_FILE", 0) == 0 && f.find("size=") != std::string::npos)
      reads.push_back(f.substr(0, f.find(" size=")));
  EXPECT_EQ(reads, (std::vector<std::string>{"QVS_READ_FILE /a/d/f4", "QVS_READ_FILE /a/d/f3",
                                             "QVS_READ_FILE /a/d/f2", "QVS_READ_FILE /a/d/f1"}))
      << Join(frames);
  EXPECT_TRUE(Has(Log(), L"** Dump Completed! **\r\n continue 0 \r\n\r\n Reading the file '/d/f1'"))
      << Log();
}

TEST_F(Explorer, AddsPcFilesThatAppearInTheNextListing) {
  LoadQvs({{L"a/keep", Pattern(10, 1)}});
  Open();
  const struct {
    const wchar_t* name;
    Bytes bytes;
    int blocks;
  } cases[] = {
      {L"big.bin", Pattern(20000, 5), 3},
      {L"exact.bin", Pattern(8192, 6), 2},  // a full block, then an empty one
      {L"empty.bin", {}, 1},
      // Short last blocks whose sum happens to be 0xDF: only the phone's 0xDF ends them.
      {L"df1.bin", {0xDF}, 1},
      {L"df2.bin", Bytes{0x10, 0xCF}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
    std::wstring named = scratch.Dos(c.name);
    ASSERT_TRUE(WriteAll(named, c.bytes));
    ex->files = {named};
    Command(ID_QVSX_ADD);
    auto frames = sim->Frames();
    std::string n8(c.name, c.name + wcslen(c.name));
    EXPECT_EQ(Count(frames, "QVS_ADD_FILE /a/" + n8 + " size=" + std::to_string(c.bytes.size())), 1)
        << Join(frames);
    EXPECT_EQ(Count(frames, "QVS_DATA_BLOCK"), c.blocks) << Join(frames);
    EXPECT_EQ(Count(frames, "QVS_FILE_DONE /a/" + n8), 1) << Join(frames);
    EXPECT_EQ(Count(frames, "QVS_LIST_DIR /a"), 1);
    auto items = ListItems(List());
    EXPECT_NE(std::find(items.begin(), items.end(), c.name), items.end());
    std::wstring log = Log();
    EXPECT_TRUE(Has(log, L"\r\nAdding the file '/a/" + std::wstring(c.name) + L"'... ")) << log;
    EXPECT_TRUE(Has(log, L"Add complete\r\nSearching the files (in '/')... ")) << log;
    EXPECT_FALSE(Has(log, L"Add Fail!")) << log;
    EXPECT_TRUE(BrowsingEnabled());
  }
  // What landed, as the phone keeps it.
  scratch.MakeDir(L"saved");
  sim->QvsSave(SimChip::kMaster, scratch.Linux("saved/qvs"));
  for (const auto& c : cases)
    EXPECT_EQ(ReadAll(scratch.Dos(std::wstring(L"saved/qvs/a/") + c.name)), c.bytes);

  // Drive B: the add goes to "/b".
  g_nCurrentDrive = 2;
  ex->files = {scratch.Dos(L"big.bin")};
  Command(ID_QVSX_ADD);
  EXPECT_EQ(Count(sim->Frames(), "QVS_ADD_FILE /b/big.bin size=20000"), 1) << Join(sim->Frames());
  g_nCurrentDrive = 1;
}

TEST_F(Explorer, AFailedAddEndsIdleWithTheControlsEnabled) {
  Open();
  std::wstring pc = scratch.Dos(L"f.bin");
  ASSERT_TRUE(WriteAll(pc, Pattern(20000, 1)));
  for (const char* point : {"qvs-add", "qvs-block"}) {
    SCOPED_TRACE(point);
    sim->Fault(point, "wrong", 1);
    ex->files = {pc};
    Command(ID_QVSX_ADD);
    EXPECT_TRUE(Has(Log(), L"Add Fail! (0x")) << Log();
    EXPECT_TRUE(BrowsingEnabled());
  }
  // No file chosen.
  ex->files = {L""};
  Command(ID_QVSX_ADD);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Fail to open resource file!"});
}

TEST_F(Explorer, DeletesAfterAskingAndShowsTheStatusRecord) {
  LoadQvs({{L"a/gone.bin", Pattern(10, 1)}});
  Open();
  // Added through the explorer, the file is stamped by the phone's clock (2010-01-01 00:00:00
  // until the host sets it).
  ASSERT_TRUE(WriteAll(scratch.Dos(L"stay.bin"), Pattern(20000, 2)));
  ex->files = {scratch.Dos(L"stay.bin")};
  Command(ID_QVSX_ADD);
  // "No" sends nothing.
  g_app.yesNo = IDNO;
  Select(L"gone.bin");
  Command(ID_QVSX_DELETE);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Sure to Delete?"});
  EXPECT_EQ(Count(sim->Frames(), "QVS_DELETE"), 0);
  g_app.yesNo = IDYES;
  Command(ID_QVSX_DELETE);
  EXPECT_EQ(Count(sim->Frames(), "QVS_DELETE /a/gone.bin"), 1) << Join(sim->Frames());
  EXPECT_EQ(ListItems(List()), std::vector<std::wstring>{L"stay.bin"});
  EXPECT_TRUE(Has(Log(),
                  L"\r\nDeleting the file '/gone.bin'... OK!\r\n\r\nSearching the files "
                  L"(in '/')... "))
      << Log();
  auto list = sim->QvsList(SimChip::kMaster);
  EXPECT_EQ(std::count_if(list.begin(), list.end(),
                          [](const std::string& l) { return l.find("gone.bin") != l.npos; }),
            0);

  // The status record of a file loaded with the phone's clock at 2010-01-01 00:00:00.
  Select(L"stay.bin");
  Command(ID_QVSX_STATUS);
  EXPECT_TRUE(Has(Log(),
                  L"\r\n Reading the file status '/stay.bin'... \n---------------------------- \n"
                  L"\n*File mode : 0x81a4 \r\n*File i node : 0x"))
      << Log();
  EXPECT_TRUE(Has(Log(),
                  L"*File dev ID: 0x1 \r\n*File dummy entry : 0x0 \r\n*File size : 20000 byte\r\n"
                  L"*File last access time : 0x3c21 \r\n2010:01:01 \r\n"
                  L"*File last modification time : 0x3c210000 \r\n2010:01:01 00:00:00 \r\n"
                  L"*File last status change time : 0x3c210000 \r\n2010:01:01 00:00:00 \r\n"))
      << Log();
  EXPECT_TRUE(BrowsingEnabled());

  // A refused status request: idle, and what follows is ignored.
  sim->Fault("qvs-file-status", "wrong", 1);
  Command(ID_QVSX_STATUS);
  EXPECT_TRUE(Has(Log(), L"Fail! (0xE)")) << Log();
  EXPECT_EQ(ex->m_nState, kExplorerIdle);
  EXPECT_TRUE(BrowsingEnabled());
}

TEST_F(Explorer, PopUpMenuGreysTheFileCommandsWithoutASelection) {
  LoadQvs({{L"a/x.bin", Pattern(10, 1)}});
  Open();
  SendMessageW(h, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(List()), -1);
  ASSERT_EQ(ex->menu.size(), 6u);
  const std::vector<std::pair<std::wstring, bool>> bare = {
      {L"Dump...", true}, {L"Delete", true}, {L"Status", true},
      {L"add", false},    {L"", false},      {L"Folder Dump", false}};
  for (std::size_t i = 0; i < bare.size(); ++i) {
    EXPECT_EQ(ex->menu[i].text, bare[i].first) << i;
    if (!ex->menu[i].separator) {
      EXPECT_EQ(ex->menu[i].grayed, bare[i].second) << i;
    }
  }
  EXPECT_TRUE(ex->menu[4].separator);
  Select(L"x.bin");
  ex->menuChoice = ID_QVSX_STATUS;
  sim->ClearFrames();
  SendMessageW(h, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(List()), -1);
  ASSERT_EQ(ex->menu.size(), 8u);
  EXPECT_EQ(ex->menu[0].text, L"< x.bin >");
  EXPECT_TRUE(ex->menu[1].separator);
  EXPECT_FALSE(ex->menu[2].grayed);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Count(sim->Frames(), "QVS_FILE_STATUS /a/x.bin"), 1) << Join(sim->Frames());
  // Elsewhere than on the file list no menu comes.
  ex->menu.clear();
  SendMessageW(h, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(Tree()), -1);
  EXPECT_TRUE(ex->menu.empty());
}

TEST_F(Explorer, MalformedOrLongRecordsAreLoggedNeverOverrun) {
  Open();
  // Records fed to the state machine as the reader would hand them over.
  auto feed = [&](const Bytes& bytes) {
    for (std::uint8_t b : bytes) ex->Step(b);
  };
  SendMessageW(List(), LB_RESETCONTENT, 0, 0);
  ex->m_nState = 63;
  Bytes noZero(1 + 256, 'n');  // length byte 255, 256 record bytes, none of them zero
  noZero[0] = 255;
  noZero[1] = 1;
  feed(noZero);
  EXPECT_EQ(ex->m_nState, 65);
  feed({0xCB});
  Bytes longest(1 + 256, 'L');  // a 254-byte name and its zero byte fill the buffer
  longest[0] = 255;
  longest[1] = 1;
  longest[256] = 0;
  feed(longest);
  feed({0xCB, 0x01, 0x07, 0x00, 0xCB, 0x00, 0x00});  // unknown kind; the phone's failure record
  feed({0xE6});
  EXPECT_EQ(ex->m_nState, kExplorerIdle);
  EXPECT_EQ(ListItems(List()), std::vector<std::wstring>{std::wstring(254, L'L')});
  std::wstring log = Log();
  EXPECT_TRUE(Has(log, L"**Bad directory record (name without its zero byte) **\r\n")) << log;
  EXPECT_TRUE(Has(log, L"error!\r\nerror!\r\nERROR in reading File name!\r\n")) << log;
  EXPECT_TRUE(BrowsingEnabled());
}

TEST_F(Explorer, NandFullDumpInterruptedThenContinuedEqualsTheNand) {
  Open();
  std::wstring dump = scratch.Dos(L"nand.hex");
  ex->files = {dump};
  sim->ClearFrames();
  Click(h, IDC_QVSX_NAND_DUMP);
  ASSERT_TRUE(PumpUntil([&] { return ex->m_nState == 51; }, 10000)) << Join(sim->Frames());
  EXPECT_EQ(Count(sim->Frames(), "NAND_FULL_DUMP 04"), 1) << Join(sim->Frames());
  EXPECT_FALSE(BrowsingEnabled());
  // Interrupted after two and a half blocks of 64 units (67584 bytes a block).
  ASSERT_TRUE(PumpUntil([&] { return ex->m_nDone >= 168960; }, 60000));
  sim->Fault("nand-unit-sum", "wrong", 1);
  ASSERT_TRUE(WaitIdle(10000));
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Dump Checksum Mismatched!"});
  std::wstring log = Log();
  EXPECT_TRUE(Has(log, L"** Start Dump!\n  Wait!!!!!!! Long time\nNAND FULL SIZE : 34603008\n"))
      << log;
  EXPECT_TRUE(Has(log, L"DUMPED BLOCKS : 2/512 \n")) << log;
  EXPECT_TRUE(Has(log, L"Dump Checksum mismatched!\r\n")) << log;
  const std::uint64_t held = ReadAll(dump).size();
  ASSERT_GE(held, 168960u);
  ASSERT_LT(held, 5u * 67584u);
  sim->ClearFaults();

  // Continued: the whole blocks less one are kept, the phone is asked for the page after them.
  const std::uint64_t keptBlocks = held / 67584 - 1;
  ex->files = {dump};
  sim->ClearFrames();
  g_app.boxes.clear();
  Click(h, IDC_QVSX_DUMP_CONTINUE);
  ASSERT_TRUE(WaitIdle(400000)) << "state " << ex->m_nState << " at " << ex->m_nDone;
  auto frames = sim->Frames();
  EXPECT_EQ(Count(frames, "NAND_DUMP_CONTINUE 04 page=" + std::to_string(keptBlocks * 128)), 1)
      << Join(frames);
  EXPECT_EQ(Count(frames, "NAND_DUMP_END pages=65536"), 1);
  EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"DUMP END"});
  log = Log();
  EXPECT_TRUE(Has(log, L"** NAND FULL DUMP Completed! **\r\n\r\n** Dump Time ")) << log;
  EXPECT_TRUE(Has(log, L"** (Total 34603008 bytes) **\r\n")) << log;
  EXPECT_TRUE(BrowsingEnabled());
  EXPECT_EQ(GetFileAttributesW(scratch.Dos(L"nand.tmp").c_str()), INVALID_FILE_ATTRIBUTES);

  sim->NandSave(scratch.Linux("nand-sim.bin"));
  Bytes got = ReadAll(dump), want = ReadAll(scratch.Dos(L"nand-sim.bin"));
  ASSERT_EQ(got.size(), 0x2100000u);
  EXPECT_TRUE(got == want);
}

TEST_F(Explorer, ContinuingFromLessThanOneBlockStartsAtPageZero) {
  Open();
  std::wstring dump = scratch.Dos(L"short.hex");
  ASSERT_TRUE(WriteAll(dump, Pattern(1000, 1)));
  ex->files = {dump};
  sim->ClearFrames();
  Click(h, IDC_QVSX_DUMP_CONTINUE);
  ASSERT_TRUE(PumpUntil([&] { return ex->m_nDone >= 4 * 1056; }, 20000)) << Join(sim->Frames());
  sim->Fault("nand-unit-sum", "wrong", 1);
  ASSERT_TRUE(WaitIdle(20000));
  EXPECT_EQ(Count(sim->Frames(), "NAND_DUMP_CONTINUE 04 page=0"), 1) << Join(sim->Frames());
  // The file starts over with the NAND's first units.
  sim->NandSave(scratch.Linux("nand-sim.bin"));
  Bytes got = ReadAll(dump), want = ReadAll(scratch.Dos(L"nand-sim.bin"));
  ASSERT_GE(got.size(), 4u * 1056u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
  EXPECT_EQ(GetFileAttributesW(scratch.Dos(L"short.tmp").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Explorer, AnUnknownNandSendsNothing) {
  Open(0x0004);
  std::wstring dump = scratch.Dos(L"unknown.hex");
  ex->files = {dump};
  Command(IDC_QVSX_NAND_DUMP);
  EXPECT_TRUE(Has(Log(), L"Nand_FULLSIZE not matched! 4\r\n")) << Log();
  EXPECT_EQ(Count(sim->Frames(), "NAND_"), 0) << Join(sim->Frames());
}

TEST_F(Explorer, ExitWithoutAPhoneClosesOnTheSecondExitOrCancel) {
  for (int second : {IDOK, IDCANCEL}) {
    SCOPED_TRACE(second);
    Open();
    sim->Power(false);
    Click(h, IDOK);
    PumpUntil([] { return false; }, 500);
    EXPECT_TRUE(IsWindow(h));
    EXPECT_EQ(ex->m_nState, 34);
    Click(h, second);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(h); }, 2000));
    EXPECT_EQ(g_hReplyWnd.load(), main.m_hWnd);
    ex.reset();
    // A fresh boot for the next round.
    Click(main.m_hWnd, IDC_STOP);
    sim->Power(true);
    Click(main.m_hWnd, IDC_START);
    ASSERT_TRUE(
        PumpUntil([&] { return main.m_BootDone && main.m_OperationState == kStateIdle; }, 60000));
  }
}

// The main dialog's Explorer... button runs the explorer modally and gets the replies back.
CQVSExplorerDlg* g_running = nullptr;
BOOL CALLBACK FindExplorer(HWND w, LPARAM p) {
  if (Text(w) == L"QVS Explorer") *reinterpret_cast<HWND*>(p) = w;
  return TRUE;
}
void CALLBACK ExitWhenListed(HWND, UINT, UINT_PTR id, DWORD) {
  HWND top = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindExplorer, reinterpret_cast<LPARAM>(&top));
  if (!top) return;
  auto* dlg = dynamic_cast<CQVSExplorerDlg*>(CWnd::FromHandlePermanent(top));
  if (!dlg || dlg->m_nState != kExplorerIdle) return;
  g_running = dlg;
  KillTimer(nullptr, id);
  Click(top, IDOK);
}

TEST_F(Explorer, TheMainDialogHandsOverTheLinkWhileTheExplorerRuns) {
  LoadQvs({{L"a/x.bin", Pattern(10, 1)}});
  sim->ClearFrames();
  UINT_PTR timer = SetTimer(nullptr, 0, 50, ExitWhenListed);
  Click(main.m_hWnd, IDC_EXPLORER);  // returns when the explorer has closed
  KillTimer(nullptr, timer);
  EXPECT_NE(g_running, nullptr);
  auto frames = sim->Frames();
  EXPECT_EQ(Count(frames, "QVS_MOUNT"), 1) << Join(frames);
  EXPECT_EQ(Count(frames, "QVS_LIST_DIR /a records=3"), 1) << Join(frames);
  EXPECT_EQ(Count(frames, "QVS_UNMOUNT"), 1) << Join(frames);
  EXPECT_EQ(g_hReplyWnd.load(), main.m_hWnd);
}

#else

// The window as the screen shows it, as a 24-bit BMP file.
bool SaveScreenshot(HWND window, const std::wstring& path) {
  RECT r;
  GetWindowRect(window, &r);
  const int w = r.right - r.left, ht = r.bottom - r.top;
  // The window's own DC holds its frame and children; the screen is the fall-back.
  HDC source = GetWindowDC(window);
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, ht);
  HGDIOBJ old = SelectObject(mem, bmp);
  if (!source || !BitBlt(mem, 0, 0, w, ht, source, 0, 0, SRCCOPY))
    BitBlt(mem, 0, 0, w, ht, screen, r.left, r.top, SRCCOPY);
  if (source) ReleaseDC(window, source);
  SelectObject(mem, old);
  BITMAPINFOHEADER bi{sizeof(bi), w, ht, 1, 24, BI_RGB};
  const int stride = (w * 3 + 3) & ~3;
  Bytes pixels(static_cast<std::size_t>(stride) * ht);
  GetDIBits(mem, bmp, 0, static_cast<UINT>(ht), pixels.data(), reinterpret_cast<BITMAPINFO*>(&bi),
            DIB_RGB_COLORS);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  BITMAPFILEHEADER fh{0x4D42, static_cast<DWORD>(sizeof(fh) + sizeof(bi) + pixels.size()), 0, 0,
                      sizeof(fh) + sizeof(bi)};
  Bytes file(reinterpret_cast<const std::uint8_t*>(&fh),
             reinterpret_cast<const std::uint8_t*>(&fh) + sizeof(fh));
  file.insert(file.end(), reinterpret_cast<const std::uint8_t*>(&bi),
              reinterpret_cast<const std::uint8_t*>(&bi) + sizeof(bi));
  file.insert(file.end(), pixels.begin(), pixels.end());
  return WriteAll(path, file);
}

// The explorer with a listed tree, as a picture of the test run.
TEST_F(Explorer, Screenshot) {
  LoadQvs({{L"a/readme.txt", Pattern(100, 1)},
           {L"a/music/song.mp3", Pattern(5000, 2)},
           {L"a/photos/p1.jpg", Pattern(3000, 3)},
           {L"a/engine.bin", Pattern(20000, 4)}},
          {L"a/music", L"a/photos", L"a/photos/2010"});
  Open();
  ShowWindow(h, SW_SHOW);
  UpdateWindow(h);
  Browse(ChildNamed(Tree(), TreeNext(Tree(), TVGN_ROOT), L"photos"));
  Browse(TreeNext(Tree(), TVGN_ROOT));
  PumpUntil([] { return false; }, 500);
  EXPECT_TRUE(SaveScreenshot(h, L"qvs-explorer.bmp"));
}

#endif

}  // namespace
