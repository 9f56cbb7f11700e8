// The main dialog, the sector dialog and the serial link, in the test process under Wine.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "DownloaderDlg.h"
#include "FlashSectorDlg.h"
#include "SerialComm.h"
#include "answering_app.h"
#include "dialog_driving.h"
#include "phone_sim_control.h"

namespace {

AnsweringApp g_app(L"DialogTest", IDOK);

// A main dialog whose open-file dialog answers from a script.
class TestDlg : public CDownloaderDlg {
 public:
  std::vector<std::wstring> answers;  // empty string: cancelled
  bool ChooseOpenFile(const wchar_t*, const wchar_t*, const CString&, CString& chosen) override {
    if (answers.empty() || answers.front().empty()) {
      if (!answers.empty()) answers.erase(answers.begin());
      return false;
    }
    chosen = answers.front().c_str();
    answers.erase(answers.begin());
    return true;
  }
};

std::wstring TempFile(const wchar_t* name, const std::string& contents) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  std::wstring path = std::wstring(dir) + name;
  CFile f;
  f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite);
  f.Write(contents.data(), static_cast<UINT>(contents.size()));
  return path;
}

std::wstring RegString(const wchar_t* name) {
  wchar_t buf[512] = {};
  DWORD size = sizeof(buf);
  if (RegGetValueW(HKEY_CURRENT_USER, (g_app.RegRoot() + L"\\Setting").c_str(), name, RRF_RT_REG_SZ,
                   nullptr, buf, &size) != ERROR_SUCCESS)
    return L"<missing>";
  return buf;
}

class MainDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    AfxInitRichEdit2();
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
    g_app.boxes.clear();
    OpenHistoryFile();
  }
  void TearDown() override {
    if (dlg.m_hWnd) dlg.DestroyWindow();
    CloseHistoryFile();
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
  }
  void Create() {
    ASSERT_TRUE(dlg.Create(IDD_DOWNLOADER_DIALOG));
    h = dlg.m_hWnd;
  }
  void Write(const wchar_t* name, int v) { g_app.WriteProfileInt(L"Setting", name, v); }
  void Write(const wchar_t* name, const wchar_t* v) {
    g_app.WriteProfileString(L"Setting", name, v);
  }
  TestDlg dlg;
  HWND h = nullptr;
};

TEST_F(MainDialog, ShowsTheSpecifiedTextsAndControls) {
  Create();
  EXPECT_EQ(dlg.GetWindowText().str(),
            L"KelNAND Downloader v0.5 Lite for PNX6512(qvs4 v16&&3zevo&&PNX5230 slave)");
  EXPECT_EQ(ItemText(h, IDC_LOG),
            L"Welcome to Downloader!!\r\n\r\nPress 'START' button to identify the FLASH ID...");
  EXPECT_EQ(g_hReplyWnd.load(), h);
  const std::map<int, std::wstring> captions = {{1002, L"DOWNLOAD"},
                                                {1005, L"Stop"},
                                                {1006, L"BIN..."},
                                                {1007, L"QVS..."},
                                                {1008, L"BIN"},
                                                {1009, L"QVS"},
                                                {1010, L"BIN + QVS"},
                                                {1012, L"Erase..."},
                                                {1014, L"Dump..."},
                                                {1015, L"START"},
                                                {1016, L"Format"},
                                                {1018, L"Explorer..."},
                                                {1019, L"About..."},
                                                {1020, L"Status"},
                                                {1022, L"BIN..."},
                                                {1024, L"QVS..."},
                                                {1025, L"BIN"},
                                                {1032, L"QVS"},
                                                {1033, L"BIN + QVS"},
                                                {1036, L"Power-ON after download"},
                                                {1038, L"Start NOR Addr(hex):"},
                                                {1040, L"Start NOR Addr(hex):"},
                                                {1046, L"CRC CheckSum"},
                                                {1047, L"CRC CheckSum"},
                                                {1048, L"CRC CheckSum"},
                                                {1049, L"AutoDownLoader"},
                                                {1050, L"CRC CheckSum"},
                                                {1051, L"QVS File Check"},
                                                {1054, L"BIN..."},
                                                {1056, L"History"},
                                                {1058, L"Del_History"},
                                                {1059, L"Don't Auto NAND Format"},
                                                {1060, L"MASTER(PNX6512)"},
                                                {1061, L"SLAVE(PNX5231)"},
                                                {1062, L"Start NOR Addr(hex):"},
                                                {1064, L"CRC CheckSum"},
                                                {1066, L"BIN..."},
                                                {1069, L"Start NOR Addr(hex):"},
                                                {1071, L"CRC CheckSum"},
                                                {1075, L"LOADER"},
                                                {1076, L"BINARY"},
                                                {1077, L"ENGINE"},
                                                {1080, L"A:"},
                                                {1081, L"B:"},
                                                {1082, L"C:"},
                                                {IDOK, L"Exit"}};
  for (const auto& [id, text] : captions) EXPECT_EQ(ItemText(h, id), text) << id;
  for (int id : {1000, 1001, 1003, 1004, 1011, 1013, 1017, 1021, 1023, 1026, 1027, 1028, 1029, 1030,
                 1031, 1037, 1039, 1041, 1042, 1055, 1057, 1063, 1065, 1067, 1068, 1070, 1072})
    EXPECT_NE(GetDlgItem(h, id), nullptr) << id;
  for (int id : {1003, 1006, 1026, 1027, 1038, 1039, 1046, 1066, 1067, 1068, 1069, 1070, 1071, 1072,
                 1075, 1076, 1077})
    EXPECT_FALSE(GetWindowLongW(GetDlgItem(h, id), GWL_STYLE) & WS_VISIBLE) << id;
  EXPECT_TRUE(GetWindowLongW(GetDlgItem(h, 1065), GWL_STYLE) & WS_VISIBLE);

  auto items = [&](int id) {
    std::vector<std::wstring> out;
    int n = static_cast<int>(SendDlgItemMessageW(h, id, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
      wchar_t buf[64] = {};
      SendDlgItemMessageW(h, id, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf));
      out.push_back(buf);
    }
    return out;
  };
  auto ports = items(IDC_COM_PORT);
  ASSERT_EQ(ports.size(), 51u);
  EXPECT_EQ(ports[0], L"COM1");
  EXPECT_EQ(ports[50], L"COM51");
  EXPECT_EQ(items(IDC_SPEED),
            (std::vector<std::wstring>{L"115200", L"230400", L"460800", L"921600"}));
  // Idle: nothing that needs the phone is offered.
  for (int id : {IDC_DOWNLOAD, IDC_STOP, IDC_ERASE, IDC_DUMP, IDC_FORMAT, IDC_EXPLORER, IDC_STATUS})
    EXPECT_FALSE(Enabled(h, id)) << id;
  EXPECT_TRUE(Enabled(h, IDC_START));
  EXPECT_TRUE(g_app.boxes.empty());
}

TEST_F(MainDialog, ReadsSettingsAndPathListsAtStart) {
  Write(L"COM", 3);
  Write(L"SPEED", 2);
  Write(L"ARM9", 1);
  Write(L"ARM7", 0);
  Write(L"binary1", L"C:\\b1.cla");
  Write(L"binary2", L"C:\\b2.cla");
  Write(L"a", L"C:\\img\\fs.qvs");
  Write(L"d", L"C:\\slave");
  Create();
  EXPECT_EQ(SendDlgItemMessageW(h, IDC_COM_PORT, CB_GETCURSEL, 0, 0), 3);
  EXPECT_EQ(SendDlgItemMessageW(h, IDC_SPEED, CB_GETCURSEL, 0, 0), 2);
  EXPECT_EQ(IsDlgButtonChecked(h, IDC_MASTER), static_cast<UINT>(BST_CHECKED));
  EXPECT_EQ(IsDlgButtonChecked(h, IDC_BINARY), static_cast<UINT>(BST_CHECKED));
  EXPECT_EQ(SendDlgItemMessageW(h, IDC_BINARY_PATH, CB_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(ItemText(h, IDC_BINARY_PATH), L"C:\\b1.cla");
  EXPECT_EQ(SendDlgItemMessageW(h, IDC_QVS_PATH, CB_GETDROPPEDWIDTH, 0, 0), 700);
  EXPECT_EQ(dlg.m_strCfgPath.str(), L"C:\\img\\fs.cfg");
  EXPECT_EQ(dlg.m_strSlaveCfgPath.str(), L"");  // no "." in the path
  // SLAVE off: the slave binary path and its browse button are disabled.
  EXPECT_FALSE(Enabled(h, IDC_SLAVE_BIN_PATH));
  EXPECT_FALSE(Enabled(h, IDC_SLAVE_BIN_BROWSE));
}

TEST_F(MainDialog, MissingHistoryFileLeavesThePathListsEmptyAndTheControlsIdle) {
  CloseHistoryFile();
  Write(L"binary1", L"C:\\b1.cla");
  Write(L"4", L"C:\\s.cla");
  Write(L"a", L"C:\\img\\fs.qvs");
  Create();
  ASSERT_EQ(g_app.boxes.size(), 1u);
  EXPECT_EQ(g_app.boxes[0], L"Create History File FAIL!!!");
  for (int combo : {IDC_LOADER_PATH, IDC_BINARY_PATH, IDC_ENGINE_PATH, IDC_QVS_PATH,
                    IDC_SLAVE_BIN_PATH, IDC_SLAVE_QVS_PATH}) {
    EXPECT_EQ(SendDlgItemMessageW(h, combo, CB_GETCOUNT, 0, 0), 0) << combo;
    EXPECT_EQ(ItemText(h, combo), L"") << combo;
  }
  EXPECT_EQ(dlg.m_strCfgPath.str(), L"");
  // The idle controls are set all the same: nothing can run before START.
  for (int id : {IDC_DOWNLOAD, IDC_STOP, IDC_ERASE, IDC_DUMP, IDC_FORMAT, IDC_HISTORY})
    EXPECT_FALSE(Enabled(h, id)) << id;
  EXPECT_TRUE(Enabled(h, IDC_START));
}

TEST_F(MainDialog, BrowseSwapsShiftsAndStoresThePathList) {
  std::wstring b1 = TempFile(L"dl_b1.cla", std::string(1234, 'x'));
  std::wstring b2 = TempFile(L"dl_b2.cla", "12345");
  std::wstring b3 = TempFile(L"dl_b3.cla", "");
  std::wstring b4 = TempFile(L"dl_b4.cla", "ab");
  Write(L"ARM9", 1);
  Write(L"binary1", b1.c_str());
  Write(L"binary2", b2.c_str());
  Write(L"binary3", b3.c_str());
  Create();

  dlg.answers = {b2};  // the second entry trades places with the first
  Click(h, IDC_BINARY_BROWSE);
  EXPECT_EQ(RegString(L"binary1"), b2);
  EXPECT_EQ(RegString(L"binary2"), b1);
  EXPECT_EQ(RegString(L"binary3"), b3);
  EXPECT_EQ(ItemText(h, IDC_BINARY_PATH), b2);
  EXPECT_EQ(ItemText(h, IDC_BINARY_SIZE), L"5");

  dlg.answers = {b4};  // a new path: the third is dropped
  Click(h, IDC_BINARY_BROWSE);
  EXPECT_EQ(RegString(L"binary1"), b4);
  EXPECT_EQ(RegString(L"binary2"), b2);
  EXPECT_EQ(RegString(L"binary3"), b1);
  EXPECT_EQ(SendDlgItemMessageW(h, IDC_BINARY_PATH, CB_GETCOUNT, 0, 0), 3);
  EXPECT_EQ(ItemText(h, IDC_BINARY_SIZE), L"2");

  dlg.answers = {L""};  // cancelled
  Click(h, IDC_BINARY_BROWSE);
  ASSERT_EQ(g_app.boxes.size(), 1u);
  EXPECT_EQ(g_app.boxes[0], L"No file selected!");
  EXPECT_EQ(RegString(L"binary1"), b4);
  EXPECT_EQ(ItemText(h, IDC_BINARY_PATH), b4);

  dlg.answers = {L"C:\\does\\not\\exist.cla"};
  Click(h, IDC_BINARY_BROWSE);
  ASSERT_EQ(g_app.boxes.size(), 2u);
  EXPECT_EQ(g_app.boxes[1], L"Fail to open bin file!");
  EXPECT_EQ(dlg.m_OperationState, 63);
  EXPECT_EQ(RegString(L"binary1"), L"C:\\does\\not\\exist.cla");

  // Slave QVS list: its own value names and failure text, and the ".cfg" companion.
  dlg.answers = {L"C:\\none\\s.v1.qvs"};
  Click(h, IDC_SLAVE_QVS_BROWSE);
  EXPECT_EQ(g_app.boxes.back(), L"Fail to open OGM file!");
  EXPECT_EQ(RegString(L"d"), L"C:\\none\\s.v1.qvs");
  EXPECT_EQ(dlg.m_strSlaveCfgPath.str(), L"C:\\none\\s.v1.cfg");
}

TEST_F(MainDialog, SelectionMovesTheEntryFirstAndStoresIt) {
  Write(L"ARM9", 1);
  Write(L"a", L"C:\\q1.qvs");
  Write(L"b", L"C:\\q2.qvs");
  Write(L"c", L"C:\\q3.qvs");
  Create();
  HWND combo = GetDlgItem(h, IDC_QVS_PATH);
  SendMessageW(combo, CB_SETCURSEL, 2, 0);
  SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_QVS_PATH, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(combo));
  EXPECT_EQ(RegString(L"a"), L"C:\\q3.qvs");
  EXPECT_EQ(RegString(L"b"), L"C:\\q2.qvs");
  EXPECT_EQ(RegString(L"c"), L"C:\\q1.qvs");
  EXPECT_EQ(dlg.m_strQvsPath.str(), L"C:\\q3.qvs");
  EXPECT_EQ(dlg.m_strCfgPath.str(), L"C:\\q3.cfg");
  EXPECT_EQ(ItemText(h, IDC_QVS_PATH), L"C:\\q3.qvs");
}

TEST_F(MainDialog, SettingsAreWrittenAtEachChange) {
  Create();
  HWND com = GetDlgItem(h, IDC_COM_PORT);
  SendMessageW(com, CB_SETCURSEL, 9, 0);
  SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_COM_PORT, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(com));
  EXPECT_EQ(g_app.GetProfileInt(L"Setting", L"COM", -1), 9u);
  CheckDlgButton(h, IDC_SLAVE, BST_CHECKED);
  Click(h, IDC_SLAVE);
  EXPECT_EQ(g_app.GetProfileInt(L"Setting", L"ARM7", -1), 1u);
  EXPECT_TRUE(Enabled(h, IDC_SLAVE_BIN_PATH));
  CheckDlgButton(h, IDC_LOADER, BST_CHECKED);
  Click(h, IDC_LOADER);
  EXPECT_EQ(g_app.GetProfileInt(L"Setting", L"BIN1", -1), 1u);
  EXPECT_TRUE(Enabled(h, IDC_LOADER_PATH));
}

TEST_F(MainDialog, QvsModeDisablesTheBinaryControlsUntilItChangesBack) {
  Write(L"ARM9", 1);
  Create();
  dlg.EndOperation();
  EXPECT_TRUE(Enabled(h, IDC_BINARY_PATH));
  EXPECT_FALSE(Enabled(h, IDC_QVS_PATH));
  CheckRadioButton(h, IDC_MASTER_BIN, IDC_MASTER_BINQVS, IDC_MASTER_QVS);
  Click(h, IDC_MASTER_QVS);
  dlg.EndOperation();
  for (int id : {1003, 1006, 1026, 1038, 1054, 1055, 1062, 1063, 1065, 1066, 1067, 1069, 1070, 1072,
                 1075, 1076, 1077})
    EXPECT_FALSE(Enabled(h, id)) << id;
  for (int id : {1004, 1007, 1028}) EXPECT_TRUE(Enabled(h, id)) << id;
  CheckRadioButton(h, IDC_MASTER_BIN, IDC_MASTER_BINQVS, IDC_MASTER_BIN);
  Click(h, IDC_MASTER_BIN);
  dlg.EndOperation();
  EXPECT_TRUE(Enabled(h, IDC_BINARY_PATH));
  EXPECT_FALSE(Enabled(h, IDC_QVS_PATH));
}

TEST_F(MainDialog, DisableControlsAndEndOperation) {
  Write(L"ARM9", 1);
  Create();
  dlg.DisableControls();
  for (int id :
       {1019, 1014, 1012, 1016, 1018, 1020, 1065, 1054, 1036, 1008, 1056, 1058, 1047, 1037})
    EXPECT_FALSE(Enabled(h, id)) << id;
  // A failed dump: the half-written file is closed and the state is 63.
  std::wstring dump = TempFile(L"dl_dump.hex", "");
  ASSERT_TRUE(dlg.m_DumpFile.Open(dump.c_str(), CFile::modeCreate | CFile::modeWrite));
  dlg.m_bDumpFileOpen = TRUE;
  dlg.m_DumpFile.Write("half", 4);
  dlg.m_OperationState = 24;
  dlg.EndOperation();
  EXPECT_EQ(dlg.m_OperationState, 63);
  EXPECT_FALSE(dlg.m_bDumpFileOpen);
  EXPECT_FALSE(dlg.m_DumpFile.IsOpen());
  CFile check;
  ASSERT_TRUE(check.Open(dump.c_str(), CFile::modeReadWrite));  // nobody holds it any more
  EXPECT_EQ(check.GetLength(), 4u);
  for (int id : {1019, 1014, 1012, 1016, 1018, 1020, 1036, 1008, 1056, 1058, 1047, 1046, 1064, 1071,
                 1027, 1037, 1059})
    EXPECT_TRUE(Enabled(h, id)) << id;
}

TEST_F(MainDialog, ToolTipTextsKeepTheirWording) {
  Write(L"a", L"C:\\m.qvs");
  Write(L"4", L"C:\\slave.cla");
  Create();
  dlg.m_strSlaveQvsPath = L"C:\\s.qvs";
  auto tip = [&](int id) {
    NMTTDISPINFOW info{};
    info.hdr.hwndFrom = dlg.m_ToolTip.m_hWnd;
    info.hdr.idFrom = reinterpret_cast<UINT_PTR>(GetDlgItem(h, id));
    info.hdr.code = TTN_NEEDTEXTW;
    info.uFlags = TTF_IDISHWND;
    SendMessageW(h, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
    return std::wstring(info.lpszText ? info.lpszText : L"<none>");
  };
  EXPECT_EQ(tip(IDC_QVS_PATH), L"현재 입력값 : C:\\m.qvs   ");
  EXPECT_EQ(tip(IDC_SLAVE_BIN_PATH), L"현재 입력값(Slave) : C:\\slave.cla   ");
  EXPECT_EQ(tip(IDC_SLAVE_QVS_PATH), L"현재 입력값(Slave) : C:\\s.qvs   ");
  EXPECT_EQ(tip(IDC_LOADER_PATH), L"현재 입력값 :    ");
  EXPECT_EQ(dlg.m_ToolTip.GetToolCount(), 4);
}

TEST_F(MainDialog, CrcButtonsShowTheFileCrc) {
  std::wstring f = TempFile(L"dl_crc.cla", "123456789");
  Write(L"binary1", f.c_str());
  Write(L"engine1", L"C:\\missing.bin");
  Create();
  Click(h, IDC_BINARY_CRC_BUTTON);
  EXPECT_EQ(ItemText(h, IDC_BINARY_CRC), L"0xcbf43926");
  EXPECT_TRUE(Enabled(h, IDC_BINARY_CRC));
  Click(h, IDC_ENGINE_CRC_BUTTON);
  EXPECT_EQ(ItemText(h, IDC_ENGINE_CRC), L"0x0");
  ASSERT_EQ(g_app.boxes.size(), 1u);
  EXPECT_EQ(g_app.boxes[0], L"Fail to open bin file!");
  EXPECT_EQ(dlg.m_OperationState, 63);
}

TEST(ParseHexAndNames, DialogHelpers) {
  EXPECT_EQ(CDownloaderDlg::ParseHex(L"0x20080000"), 0x20080000u);
  EXPECT_EQ(CDownloaderDlg::ParseHex(L"21b00000"), 0x21B00000u);
  EXPECT_EQ(CDownloaderDlg::ParseHex(L"xyz"), 0u);
  // Code page 1252 under the test's locale: "é" is 0xE9.
  EXPECT_EQ(CDownloaderDlg::AnsiToUtf8("/a/caf\xE9"), "/a/caf\xC3\xA9");
  EXPECT_EQ(CDownloaderDlg::AnsiToUtf8(""), "");
}

class SectorDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildSectorTables();
    g_pSectorTable = g_SectorTableA;
    g_nSectorCount = kSectorCountA;
    g_app.boxes.clear();
    ASSERT_TRUE(dlg.Create(IDD_FLASH_SECTOR));
    h = dlg.m_hWnd;
  }
  void TearDown() override {
    if (dlg.m_hWnd) dlg.DestroyWindow();
    g_pSectorTable = nullptr;
    g_nSectorCount = 0;
  }
  std::vector<int> Selected() {
    std::vector<int> out;
    for (int i = 0; i < g_nSectorCount; ++i) {
      if (dlg.m_hWnd) EXPECT_EQ(dlg.m_List.GetCheck(i), static_cast<int>(g_SectorFlags[i])) << i;
      if (g_SectorFlags[i]) out.push_back(i);
    }
    return out;
  }
  void Range(int from, int to) {
    SendDlgItemMessageW(h, IDC_FROM, CB_SETCURSEL, from, 0);
    SendDlgItemMessageW(h, IDC_TO, CB_SETCURSEL, to, 0);
    Click(h, IDC_SELECT_RANGE);
  }
  CFlashSectorDlg dlg;
  HWND h = nullptr;
};

TEST_F(SectorDialog, RowsAndCaptions) {
  EXPECT_EQ(dlg.GetWindowText().str(), L"Flash Sector Information");
  ASSERT_EQ(dlg.m_List.GetCount(), 259);
  EXPECT_EQ(dlg.m_List.GetText(0).str(), L"000: 0x20000000 ~ 0x2001FFFF (128KBytes)");
  EXPECT_EQ(dlg.m_List.GetText(258).str(), L"258: 0x21FF8000 ~ 0x21FFFFFF (32KBytes)");
  EXPECT_EQ(SendDlgItemMessageW(h, IDC_FROM, CB_GETCOUNT, 0, 0), 259);
  EXPECT_EQ(SendDlgItemMessageW(h, IDC_TO, CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(ItemText(h, IDOK), L"START");
  EXPECT_EQ(ItemText(h, IDCANCEL), L"EXIT");
  EXPECT_EQ(ItemText(h, IDC_INVERT), L" Invert\nSelection");
}

TEST_F(SectorDialog, RangeInvertAllAndClear) {
  Range(10, 12);
  EXPECT_EQ(Selected(), (std::vector<int>{10, 11, 12}));
  Range(12, 10);
  ASSERT_EQ(g_app.boxes.size(), 1u);
  EXPECT_EQ(g_app.boxes[0], L"Selection Error!");
  EXPECT_EQ(Selected(), (std::vector<int>{10, 11, 12}));
  Click(h, IDC_INVERT);
  EXPECT_EQ(Selected().size(), 256u);
  Click(h, IDC_INVERT);
  EXPECT_EQ(Selected(), (std::vector<int>{10, 11, 12}));
  Click(h, IDC_SELECT_ALL);
  EXPECT_EQ(Selected().size(), 259u);
  Click(h, IDC_CLEAR_ALL);
  EXPECT_TRUE(Selected().empty());
}

TEST_F(SectorDialog, FlagsFollowTheCheckMarks) {
  HWND list = dlg.m_List.m_hWnd;
  RECT r;
  SendMessageW(list, LB_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&r));
  int y = (r.top + r.bottom) / 2;
  // A click on the box of row 1.
  SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, y));
  SendMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(2, y));
  // A double click on the text of row 1 toggles it back; then row 2 by a double click.
  SendMessageW(list, LB_SETCURSEL, 1, 0);
  SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_SECTOR_LIST, LBN_DBLCLK),
               reinterpret_cast<LPARAM>(list));
  SendMessageW(list, LB_SETCURSEL, 2, 0);
  SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_SECTOR_LIST, LBN_DBLCLK),
               reinterpret_cast<LPARAM>(list));
  EXPECT_EQ(Selected(), (std::vector<int>{2}));
  SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, y));
  Click(h, IDOK);
  EXPECT_EQ(Selected(), (std::vector<int>{1, 2}));
}

// The serial link against the phone simulator, whose boot ROM sends 0x81 every 20 ms.
class Link : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!phone_sim::PhoneSimControl::Available()) GTEST_SKIP() << "no phone simulator";
    sim = std::make_unique<phone_sim::PhoneSimControl>();
    port = static_cast<WORD>(std::stoi(sim->ComName().substr(3)));
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"LinkTestReply";
    RegisterClassW(&wc);
    reply = CreateWindowW(L"LinkTestReply", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                          nullptr);
    g_hReplyWnd = reply;
    g_app.boxes.clear();
  }
  void TearDown() override {
    comm.Close();
    if (reply) DestroyWindow(reply);
    g_hReplyWnd = nullptr;
  }
  // Messages posted to the reply window within ms.
  int Pump(DWORD ms) {
    int n = 0;
    DWORD end = GetTickCount() + ms;
    while (GetTickCount() < end) {
      MSG m;
      while (PeekMessageW(&m, reply, 0, 0, PM_REMOVE)) {
        if (m.message == WM_COMM_RECEIVE) {
          EXPECT_EQ(m.wParam, port);
          ++n;
        }
      }
      Sleep(5);
    }
    return n;
  }
  std::unique_ptr<phone_sim::PhoneSimControl> sim;
  WORD port = 0;
  HWND reply = nullptr;
  CSerialComm comm;
};

TEST_F(Link, ReaderQueuesBytesAndPostsToTheReplyWindow) {
  ASSERT_TRUE(comm.Open(port, 115200, FALSE));
  ASSERT_TRUE(comm.SetLine(115200, 8, EVENPARITY, ONESTOPBIT));
  EXPECT_GT(Pump(500), 3);
  int count = comm.m_QueueRead.GetCount();
  ASSERT_GT(count, 3);
  std::uint8_t b = 0;
  while (comm.m_QueueRead.Get(b)) EXPECT_EQ(b, 0x81);
  EXPECT_NE(sim->State().find("host=115200"), std::string::npos) << sim->State();
  // Block mode: bursts of single connect requests never make exactly 8193 bytes.
  comm.m_bBlockMode = TRUE;
  Pump(100);  // messages posted before the switch
  EXPECT_EQ(Pump(300), 0);
  EXPECT_GT(comm.m_QueueRead.GetCount(), 0);
  EXPECT_TRUE(g_app.boxes.empty());
}

TEST_F(Link, CloseJoinsTheReaderAndReopens) {
  ASSERT_TRUE(comm.Open(port, 115200, FALSE));
  HANDLE reader = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), comm.m_hThreadWatchComm, GetCurrentProcess(),
                              &reader, SYNCHRONIZE, FALSE, 0));
  comm.Close();
  EXPECT_EQ(WaitForSingleObject(reader, 0), WAIT_OBJECT_0);  // gone when Close returns
  CloseHandle(reader);
  EXPECT_FALSE(comm.IsConnected());
  comm.Close();  // twice: nothing happens
  // Closed while connect requests keep coming: the reader is gone each time Close returns, so
  // a reopen never leaves two readers putting into the queue.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(comm.Open(port, 115200, FALSE)) << i;
    Pump(30);
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), comm.m_hThreadWatchComm, GetCurrentProcess(),
                                &reader, SYNCHRONIZE, FALSE, 0));
    comm.Close();
    EXPECT_EQ(WaitForSingleObject(reader, 0), WAIT_OBJECT_0) << i;
    CloseHandle(reader);
  }
  comm.m_QueueRead.Clear();
  ASSERT_TRUE(comm.Open(port, 460800, FALSE));
  ASSERT_TRUE(comm.SetLine(115200, 8, EVENPARITY, ONESTOPBIT));
  EXPECT_GT(Pump(300), 0);
  EXPECT_TRUE(g_app.boxes.empty());
}

TEST_F(Link, OpenOfAMissingPortFailsQuietly) {
  CSerialComm other;
  EXPECT_FALSE(other.Open(49, 115200, FALSE));
  EXPECT_FALSE(other.IsConnected());
  other.Close();
  EXPECT_TRUE(g_app.boxes.empty());
  EXPECT_EQ(CSerialComm::PortName(9).str(), L"COM9");
  EXPECT_EQ(CSerialComm::PortName(10).str(), L"\\\\.\\COM10");
}

class StartStop : public MainDialog {
 protected:
  void SetUp() override {
    if (!phone_sim::PhoneSimControl::Available()) GTEST_SKIP() << "no phone simulator";
    MainDialog::SetUp();
    sim = std::make_unique<phone_sim::PhoneSimControl>();
    Write(L"COM", std::stoi(sim->ComName().substr(3)) - 1);
  }
  std::unique_ptr<phone_sim::PhoneSimControl> sim;
};

TEST_F(StartStop, StartWaitsForTheBootRomAndStopClosesThePort) {
  sim->Power(false);  // the phone stays silent: the host waits for its connect request
  Create();
  Click(h, IDC_START);
  EXPECT_EQ(ItemText(h, IDC_LOG),
            L"** Wait for Connect Request from Mobile...\r\n** (POWER ON the PHONE!)\r\n");
  EXPECT_EQ(dlg.m_OperationState, 1);
  EXPECT_TRUE(g_MasterComm.IsConnected());
  EXPECT_TRUE(Enabled(h, IDC_STOP));
  EXPECT_FALSE(Enabled(h, IDC_START));
  EXPECT_FALSE(Enabled(h, IDC_ABOUT));
  // Nothing arrives; the host sends nothing and keeps waiting.
  DWORD end = GetTickCount() + 400;
  while (GetTickCount() < end) {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    Sleep(5);
  }
  EXPECT_NE(sim->State().find("host=115200"), std::string::npos) << sim->State();
  EXPECT_EQ(dlg.m_OperationState, 1);
  Click(h, IDC_START);
  ASSERT_EQ(g_app.boxes.size(), 1u);
  EXPECT_EQ(g_app.boxes[0], L"Port already opened!");

  Click(h, IDC_STOP);
  EXPECT_FALSE(g_MasterComm.IsConnected());
  std::wstring log = ItemText(h, IDC_LOG);
  ASSERT_GE(log.size(), 21u);
  EXPECT_EQ(log.substr(log.size() - 21), L"\r\n** Close COM port\r\n");
  EXPECT_EQ(dlg.m_OperationState, 0);
  EXPECT_TRUE(Enabled(h, IDC_START));
  EXPECT_FALSE(Enabled(h, IDC_STOP));
  // The port is free again: an exclusive open succeeds.
  HANDLE port = CreateFileW(
      CSerialComm::PortName(static_cast<WORD>(std::stoi(sim->ComName().substr(3)))),
      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

TEST_F(MainDialog, StartOnAMissingPortShowsTheBox) {
  Write(L"COM", 48);
  Create();
  Click(h, IDC_START);
  ASSERT_EQ(g_app.boxes.size(), 1u);
  EXPECT_EQ(g_app.boxes[0], L"Port Initialization Failed1!");
  EXPECT_TRUE(Enabled(h, IDC_START));
  EXPECT_NE(dlg.m_OperationState, 1);
}

}  // namespace
