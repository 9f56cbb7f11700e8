// Teskel.exe as a user sees it: started as a child process, its dialog read by control id.
#include <gtest/gtest.h>

#include <string>

#include "WideText.h"
#include "phone_sim_control.h"
#include "resource.h"
#include "window_driver.h"

namespace wd = window_driver;

namespace {

const wchar_t kTitle[] =
    L"KelNAND Downloader v0.5 Lite for PNX6512(qvs4 v16&&3zevo&&PNX5230 slave)";

std::wstring TeskelPath() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self);
  dir.resize(dir.rfind(L'\\'));
  return dir.substr(0, dir.rfind(L'\\')) + L"\\Teskel.exe";
}

struct FindOwn {
  DWORD process;
  HWND found;
};

BOOL CALLBACK FindOwnProc(HWND w, LPARAM p) {
  auto* f = reinterpret_cast<FindOwn*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == f->process && IsWindowVisible(w) && wd::Text(w) == kTitle) {
    f->found = w;
    return FALSE;
  }
  return TRUE;
}

HWND OwnWindow(DWORD process) {
  FindOwn find{process, nullptr};
  EnumWindows(FindOwnProc, reinterpret_cast<LPARAM>(&find));
  return find.found;
}

struct Teskel {
  PROCESS_INFORMATION pi{};
  HWND dlg = nullptr;
  bool Start() {
    STARTUPINFOW si{sizeof(si)};
    std::wstring cmd = L"\"" + TeskelPath() + L"\"";
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
      return false;
    // Other test processes show the same dialog: take the child's own window.
    wd::WaitUntil([&] { return (dlg = OwnWindow(pi.dwProcessId)) != nullptr; }, 30000);
    return dlg != nullptr;
  }
  HWND Item(int id) const { return GetDlgItem(dlg, id); }
  std::wstring Text(int id) const { return wd::Text(Item(id)); }
  bool Exit() {
    wd::Click(Item(IDOK));
    bool ended = WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(pi.hProcess, 1);
    return ended;
  }
  ~Teskel() {
    if (pi.hProcess) {
      if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
    }
  }
};

// Output of reg.exe: "query <key> /v <name>".
std::string RegQuery(const std::wstring& key, const std::wstring& name) {
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE rd, wr;
  CreatePipe(&rd, &wr, &sa, 0);
  SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{sizeof(si)};
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = wr;
  si.hStdError = wr;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"reg.exe query \"" + key + L"\" /v " + name;
  std::string out;
  if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    CloseHandle(wr);
    char buf[512];
    DWORD n;
    while (ReadFile(rd, buf, sizeof(buf), &n, nullptr) && n) out.append(buf, n);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  } else {
    CloseHandle(wr);
  }
  CloseHandle(rd);
  return out;
}

TEST(Teskel, DialogStartStopAndSettingsAcrossTwoRuns) {
  ASSERT_TRUE(phone_sim::PhoneSimControl::Available());
  phone_sim::PhoneSimControl sim;
  const std::wstring com = Utf8ToWide(sim.ComName());
  const std::wstring key = L"HKCU\\Software\\KESTA Tools\\Teskel\\Setting";
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KESTA Tools\\Teskel");

  {
    Teskel t;
    ASSERT_TRUE(t.Start());
    EXPECT_EQ(t.Text(IDC_START), L"START");
    EXPECT_EQ(t.Text(IDC_STOP), L"Stop");
    EXPECT_EQ(t.Text(IDC_DOWNLOAD), L"DOWNLOAD");
    EXPECT_EQ(t.Text(IDC_MASTER), L"MASTER(PNX6512)");
    EXPECT_EQ(t.Text(IDC_SLAVE), L"SLAVE(PNX5231)");
    EXPECT_EQ(t.Text(IDC_LOG),
              L"Welcome to Downloader!!\r\n\r\nPress 'START' button to identify the FLASH ID...");
    EXPECT_FALSE(IsWindowVisible(t.Item(IDC_LOADER_PATH)));
    EXPECT_TRUE(IsWindowVisible(t.Item(IDC_BINARY_PATH)));
    EXPECT_EQ(wd::ComboItems(t.Item(IDC_COM_PORT)).size(), 51u);

    ASSERT_TRUE(wd::SelectComboItem(t.Item(IDC_COM_PORT), com));
    ASSERT_TRUE(wd::SelectComboItem(t.Item(IDC_SPEED), L"460800"));
    wd::Click(t.Item(IDC_START));
    EXPECT_TRUE(wd::WaitUntil(
        [&] { return t.Text(IDC_LOG).starts_with(L"** Wait for Connect Request from Mobile..."); },
        10000))
        << WideToUtf8(t.Text(IDC_LOG));
    EXPECT_EQ(t.Text(IDC_LOG),
              L"** Wait for Connect Request from Mobile...\r\n** (POWER ON the PHONE!)\r\n");
    EXPECT_TRUE(wd::WaitUntil([&] { return wd::IsEnabled(t.Item(IDC_STOP)); }, 5000));
    EXPECT_FALSE(wd::IsEnabled(t.Item(IDC_START)));
    EXPECT_NE(sim.State().find("host=115200"), std::string::npos) << sim.State();

    wd::Click(t.Item(IDC_STOP));
    EXPECT_TRUE(wd::WaitUntil(
        [&] { return t.Text(IDC_LOG).ends_with(L"\r\n** Close COM port\r\n"); }, 10000))
        << WideToUtf8(t.Text(IDC_LOG));
    EXPECT_TRUE(wd::WaitUntil([&] { return wd::IsEnabled(t.Item(IDC_START)); }, 5000));
    EXPECT_TRUE(t.Exit());
  }

  const int index = std::stoi(sim.ComName().substr(3)) - 1;
  char expected[32];
  std::snprintf(expected, sizeof(expected), "REG_DWORD    0x%x", index);
  EXPECT_NE(RegQuery(key, L"COM").find(expected), std::string::npos) << RegQuery(key, L"COM");
  EXPECT_NE(RegQuery(key, L"SPEED").find("REG_DWORD    0x2"), std::string::npos)
      << RegQuery(key, L"SPEED");

  {
    Teskel t;
    ASSERT_TRUE(t.Start());
    EXPECT_EQ(SendMessageW(t.Item(IDC_COM_PORT), CB_GETCURSEL, 0, 0), index);
    EXPECT_EQ(t.Text(IDC_COM_PORT), com);
    EXPECT_EQ(t.Text(IDC_SPEED), L"460800");
    EXPECT_TRUE(t.Exit());
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KESTA Tools\\Teskel");
}

}  // namespace
