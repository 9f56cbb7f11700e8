// Tests of the dialog framework under Wine (null graphics driver is enough).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Afx.h"
#include "framework_test_res.h"

namespace {

class TestApp : public CWinApp {
 public:
  int DoMessageBox(const wchar_t* text, UINT) override {
    boxes.emplace_back(text);
    return IDOK;
  }
  LRESULT ProcessWndProcException(std::exception_ptr e, const MSG* msg) override {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      caught.emplace_back(ex.what());
    }
    caughtMessage = msg ? msg->message : 0;
    return 0;
  }
  std::vector<std::wstring> boxes;
  std::vector<std::string> caught;
  UINT caughtMessage = 0;
};

TestApp g_app;

class TestDlg : public CDialog {
 public:
  TestDlg() : CDialog(IDD_TEST) {}
  int clicks = 0;
  int selchanges = 0;
  int afterThrow = 0;
  int checkChanges = 0;
  int preTranslated = 0;
  int check = 1;
  int radio = 2;
  int comboIndex = 1;
  CString text = L"abc";
  CCheckListBox list;
  bool endFromInit = false;

  BOOL OnInitDialog() override {
    auto* combo = static_cast<CComboBox*>(GetDlgItem(IDC_COMBO));
    combo->AddString(L"zero");
    combo->AddString(L"one");
    combo->AddString(L"two");
    CDialog::OnInitDialog();
    list.AddString(L"row 0");
    list.AddString(L"row 1");
    if (endFromInit) PostMessage(WM_USER + 7, 42);
    return TRUE;
  }
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Control(dx, IDC_CHECKLIST, list);
    DDX_Check(dx, IDC_CHECK, check);
    DDX_Radio(dx, IDC_RADIO1, radio);
    DDX_CBIndex(dx, IDC_COMBO, comboIndex);
    DDX_Text(dx, IDC_EDIT, text);
  }
  BOOL PreTranslateMessage(MSG* msg) override {
    if (msg->message == WM_USER + 7) ++preTranslated;
    return FALSE;
  }
  void OnButton() { ++clicks; }
  void OnThrow() { throw std::runtime_error("handler failed"); }
  void OnAfter() { ++afterThrow; }
  void OnSelchange() { ++selchanges; }
  void OnCheckChange() { ++checkChanges; }
  LRESULT OnEnd(WPARAM w, LPARAM) {
    EndDialog(static_cast<int>(w));
    return 0;
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(TestDlg, CDialog)
ON_BN_CLICKED(IDC_BUTTON, OnButton)
ON_BN_CLICKED(IDC_THROW, OnThrow)
ON_BN_CLICKED(IDC_AFTER, OnAfter)
ON_CBN_SELCHANGE(IDC_COMBO, OnSelchange)
ON_CONTROL(CLBN_CHKCHANGE, IDC_CHECKLIST, OnCheckChange)
ON_MESSAGE(WM_USER + 7, OnEnd)
END_MESSAGE_MAP()

void Click(HWND dlg, int id) {
  SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

TEST(CString, FormatFindAndSlices) {
  CString s;
  s.Format(L"%03d: 0x%07X ~ %s|", 7, 0x2000, L"wide");
  EXPECT_STREQ(s, L"007: 0x0002000 ~ wide|");
  CString path(L"C:\\dir.x\\image.qvs");
  EXPECT_EQ(path.ReverseFind(L'.'), 14);
  EXPECT_STREQ(path.Left(path.ReverseFind(L'.')) + L".cfg", L"C:\\dir.x\\image.cfg");
  EXPECT_STREQ(path.Mid(3, 5), L"dir.x");
  EXPECT_STREQ(path.Mid(40), L"");
  EXPECT_EQ(path.Find(L"image"), 9);
  EXPECT_EQ(path.Find(L'z'), -1);
  CString up(L"0xab12");
  EXPECT_STREQ(up.MakeUpper(), L"0XAB12");
  CString big;
  big.Format(L"%s", std::wstring(3000, L'x').c_str());
  EXPECT_EQ(big.GetLength(), 3000);
}

TEST(CString, Utf8RoundTrip) {
  const char* korean = "현재 입력값 : ";
  CString w = CString::FromUtf8(korean);
  EXPECT_EQ(w.GetLength(), 9);
  EXPECT_EQ(w.GetAt(0), 0xD604);  // 현
  EXPECT_EQ(w.ToUtf8(), korean);
}

TEST(CFileDialog, FilterStrings) {
  struct Case {
    const wchar_t* in;
    std::wstring out;
  } cases[] = {
      {L"qvs file (*.qvs)|*.qvs||", std::wstring(L"qvs file (*.qvs)\0*.qvs\0\0", 24)},
      {L"a|b", std::wstring(L"a\0b\0\0", 5)},
      {L"a|b|c|d||", std::wstring(L"a\0b\0c\0d\0\0", 9)},
  };
  for (const auto& c : cases) EXPECT_EQ(ConvertFilterString(c.in), c.out) << c.in;
}

class Profile : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Framework Test");
    g_app.SetRegistryKey(L"Framework Test");
    g_app.SetProfileName(L"ProfileApp");
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Framework Test"); }
};

TEST_F(Profile, ValuesLandUnderKeyAppAndSection) {
  EXPECT_EQ(g_app.GetProfileInt(L"Setting", L"COM", 5), 5u);
  EXPECT_STREQ(g_app.GetProfileString(L"Setting", L"a"), L"");
  ASSERT_TRUE(g_app.WriteProfileInt(L"Setting", L"COM", 12));
  ASSERT_TRUE(g_app.WriteProfileString(L"Setting", L"a", L"C:\\x\\y.qvs"));
  EXPECT_EQ(g_app.GetProfileInt(L"Setting", L"COM", 5), 12u);
  EXPECT_STREQ(g_app.GetProfileString(L"Setting", L"a"), L"C:\\x\\y.qvs");

  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Framework Test\\ProfileApp\\Setting", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0, value = 0, size = sizeof(value);
  EXPECT_EQ(RegQueryValueExW(key, L"COM", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(value, 12u);
  wchar_t buf[64] = {};
  size = sizeof(buf);
  EXPECT_EQ(RegQueryValueExW(key, L"a", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(buf, L"C:\\x\\y.qvs");
  RegCloseKey(key);
}

TEST_F(Profile, WrongTypeReadsAsDefault) {
  ASSERT_TRUE(g_app.WriteProfileString(L"Setting", L"COM", L"7"));
  EXPECT_EQ(g_app.GetProfileInt(L"Setting", L"COM", 3), 3u);
}

TEST(Dialog, MessageMapRoutesAndExceptionsStopAtTheBoundary) {
  TestDlg dlg;
  ASSERT_TRUE(dlg.Create(IDD_TEST));
  HWND h = dlg.m_hWnd;
  Click(h, IDC_BUTTON);
  Click(h, IDC_BUTTON);
  EXPECT_EQ(dlg.clicks, 2);
  SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_COMBO, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(GetDlgItem(h, IDC_COMBO)));
  EXPECT_EQ(dlg.selchanges, 1);
  // A click notification of another code does not reach the click handler.
  SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_BUTTON, BN_SETFOCUS),
               reinterpret_cast<LPARAM>(GetDlgItem(h, IDC_BUTTON)));
  EXPECT_EQ(dlg.clicks, 2);

  g_app.caught.clear();
  Click(h, IDC_THROW);
  ASSERT_EQ(g_app.caught.size(), 1u);
  EXPECT_EQ(g_app.caught[0], "handler failed");
  EXPECT_EQ(g_app.caughtMessage, static_cast<UINT>(WM_COMMAND));
  // The dialog goes on working after the exception.
  Click(h, IDC_AFTER);
  EXPECT_EQ(dlg.afterThrow, 1);
  dlg.DestroyWindow();
  EXPECT_FALSE(IsWindow(h));
}

TEST(Dialog, DataExchangeBothWays) {
  TestDlg dlg;
  ASSERT_TRUE(dlg.Create(IDD_TEST));
  HWND h = dlg.m_hWnd;
  EXPECT_EQ(IsDlgButtonChecked(h, IDC_CHECK), static_cast<UINT>(BST_CHECKED));
  EXPECT_EQ(IsDlgButtonChecked(h, IDC_RADIO1), static_cast<UINT>(BST_UNCHECKED));
  EXPECT_EQ(IsDlgButtonChecked(h, IDC_RADIO3), static_cast<UINT>(BST_CHECKED));
  EXPECT_EQ(SendDlgItemMessageW(h, IDC_COMBO, CB_GETCURSEL, 0, 0), 1);
  EXPECT_STREQ(dlg.GetDlgItemText(IDC_EDIT), L"abc");

  CheckDlgButton(h, IDC_CHECK, BST_UNCHECKED);
  CheckRadioButton(h, IDC_RADIO1, IDC_RADIO3, IDC_RADIO2);
  SendDlgItemMessageW(h, IDC_COMBO, CB_SETCURSEL, 2, 0);
  SetDlgItemTextW(h, IDC_EDIT, L"xyz");
  dlg.UpdateData(TRUE);
  EXPECT_EQ(dlg.check, 0);
  EXPECT_EQ(dlg.radio, 1);
  EXPECT_EQ(dlg.comboIndex, 2);
  EXPECT_STREQ(dlg.text, L"xyz");

  CheckRadioButton(h, IDC_RADIO1, IDC_RADIO3, 0);
  CheckDlgButton(h, IDC_RADIO1, BST_UNCHECKED);
  CheckDlgButton(h, IDC_RADIO2, BST_UNCHECKED);
  dlg.UpdateData(TRUE);
  EXPECT_EQ(dlg.radio, -1);
  dlg.DestroyWindow();
}

TEST(Dialog, DoModalRunsItsOwnLoopAndReturnsTheResult) {
  TestDlg dlg;
  dlg.endFromInit = true;
  EXPECT_EQ(dlg.DoModal(), 42);
  EXPECT_EQ(dlg.preTranslated, 1);
  EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST(CheckListBox, ClickOnTheBoxTogglesAndNotifies) {
  TestDlg dlg;
  ASSERT_TRUE(dlg.Create(IDD_TEST));
  HWND list = dlg.list.m_hWnd;
  ASSERT_NE(list, nullptr);
  RECT r;
  ASSERT_NE(SendMessageW(list, LB_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&r)), LB_ERR);
  int y = (r.top + r.bottom) / 2;
  EXPECT_EQ(dlg.list.GetCheck(1), 0);
  SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, y));
  SendMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(2, y));
  EXPECT_EQ(dlg.list.GetCheck(1), 1);
  EXPECT_EQ(dlg.list.GetCheck(0), 0);
  EXPECT_EQ(dlg.checkChanges, 1);
  // The state is the row's item data, readable by other processes.
  EXPECT_EQ(SendMessageW(list, LB_GETITEMDATA, 1, 0), 1);
  // A click on the text selects the row and leaves the mark.
  SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, y));
  SendMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(100, y));
  EXPECT_EQ(dlg.list.GetCheck(1), 1);
  EXPECT_EQ(dlg.checkChanges, 1);
  EXPECT_EQ(dlg.list.GetCurSel(), 1);
  SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, y));
  EXPECT_EQ(dlg.list.GetCheck(1), 0);
  EXPECT_STREQ(dlg.list.GetText(1), L"row 1");
  dlg.DestroyWindow();
}

TEST(CFile, CreateNoTruncateKeepsContents) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  CString path = CString(dir) + L"dlgfw_cfile_test.bin";
  CFile::Remove(path);
  {
    CFile f;
    ASSERT_TRUE(f.Open(path, CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite));
    EXPECT_TRUE(f.Write("hello", 5));
  }
  CFile f;
  ASSERT_TRUE(f.Open(path, CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite));
  EXPECT_EQ(f.GetLength(), 5u);
  f.SeekToEnd();
  EXPECT_TRUE(f.Write("!", 1));
  f.SeekToBegin();
  char buf[16] = {};
  EXPECT_EQ(f.Read(buf, sizeof(buf)), 6u);
  EXPECT_STREQ(buf, "hello!");
  f.Close();
  EXPECT_FALSE(f.IsOpen());
  f.Close();  // twice is harmless
  CFile::Remove(path);
  CFile missing;
  EXPECT_FALSE(missing.Open(path, CFile::modeRead));
  EXPECT_EQ(missing.Read(buf, 1), 0u);
}

TEST(CTime, FormatsLocalTime) {
  // The test run pins TZ=UTC.
  EXPECT_STREQ(CTime(86400 * 31 + 3661).Format(L"%m-%d  %H:%M:%S "), L"02-01  01:01:01 ");
  CTime now = CTime::GetCurrentTime();
  EXPECT_GT(now.GetTime(), 1600000000);
}

}  // namespace
