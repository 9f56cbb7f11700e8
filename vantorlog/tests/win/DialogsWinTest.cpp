// The exception dialogs as a user meets them: a child program takes its exceptions through the
// processing line to the real dialogs; this probe finds them by caption, reads control, tab and
// list texts (list and tab items read from the dialog's own process), presses buttons and
// keys, samples pixels and keeps screenshots; then it checks what the child, its log and its
// settings file were left with.
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "window_driver.h"

namespace {

namespace fs = std::filesystem;
namespace wd = window_driver;

// How long a window or a state may take to appear (the child builds a whole report first).
constexpr DWORD kWait = 60000;
const std::wstring kCaption = L"Error occurred";
const std::string kMessage =
    "The flasher's block %d could not be written: the phone stopped answering.";

std::string Message(int number) {
  char text[200];
  std::snprintf(text, sizeof text, kMessage.c_str(), number);
  return text;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += static_cast<char>(c < 0x80 ? c : '?');
  return out;
}

// Memory inside the dialog's process for the messages that carry pointers.
class Remote {
 public:
  Remote(HWND window, std::size_t size) : size_(size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    base_ =
        process_ ? VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE) : nullptr;
  }
  ~Remote() {
    if (base_) VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
    if (process_) CloseHandle(process_);
  }
  Remote(const Remote&) = delete;
  Remote& operator=(const Remote&) = delete;
  LPARAM At(std::size_t offset = 0) const {
    return reinterpret_cast<LPARAM>(static_cast<char*>(base_) + offset);
  }
  void Write(const void* data, std::size_t size, std::size_t offset = 0) {
    WriteProcessMemory(process_, static_cast<char*>(base_) + offset, data, size, nullptr);
  }
  void Read(void* data, std::size_t size, std::size_t offset = 0) const {
    ReadProcessMemory(process_, static_cast<char*>(base_) + offset, data, size, nullptr);
  }

 private:
  HANDLE process_ = nullptr;
  void* base_ = nullptr;
  std::size_t size_;
};

HWND Item(HWND dialog, int id) { return GetDlgItem(dialog, id); }
std::string ItemText(HWND dialog, int id) { return Narrow(wd::Text(Item(dialog, id))); }
bool Visible(HWND dialog, int id) { return IsWindowVisible(Item(dialog, id)) != FALSE; }
bool Checked(HWND dialog, int id) {
  return SendMessageA(Item(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

std::vector<std::string> TabTexts(HWND tabs) {
  std::vector<std::string> texts;
  const int count = static_cast<int>(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    Remote r(tabs, sizeof(TCITEMA) + 256);
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = reinterpret_cast<char*>(r.At(sizeof(TCITEMA)));
    item.cchTextMax = 256;
    r.Write(&item, sizeof item);
    SendMessageA(tabs, TCM_GETITEMA, i, r.At());
    char text[256] = {};
    r.Read(text, sizeof text - 1, sizeof(TCITEMA));
    texts.push_back(text);
  }
  return texts;
}

RECT RemoteRect(HWND window, UINT message, WPARAM wparam, LONG first_left = 0) {
  Remote r(window, sizeof(RECT));
  RECT rect{first_left, 0, 0, 0};
  r.Write(&rect, sizeof rect);
  SendMessageA(window, message, wparam, r.At());
  r.Read(&rect, sizeof rect);
  return rect;
}

void ClickAt(HWND window, int x, int y, bool twice = false) {
  const LPARAM at = MAKELPARAM(x, y);
  PostMessageA(window, WM_MOUSEMOVE, 0, at);
  PostMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageA(window, WM_LBUTTONUP, 0, at);
  if (twice) {
    PostMessageA(window, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageA(window, WM_LBUTTONUP, 0, at);
  }
}

// Selects a tab as a click on it does.
void SelectTab(HWND tabs, int index) {
  const RECT r = RemoteRect(tabs, TCM_GETITEMRECT, index);
  ClickAt(tabs, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

int RowCount(HWND list) { return static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0)); }

std::string ListText(HWND list, int row, int column) {
  Remote r(list, sizeof(LVITEMA) + 512);
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = reinterpret_cast<char*>(r.At(sizeof(LVITEMA)));
  item.cchTextMax = 512;
  r.Write(&item, sizeof item);
  SendMessageA(list, LVM_GETITEMTEXTA, row, r.At());
  char text[512] = {};
  r.Read(text, sizeof text - 1, sizeof(LVITEMA));
  return text;
}

std::vector<std::string> ColumnTexts(HWND list) {
  std::vector<std::string> texts;
  const auto header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
  const int count = static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    Remote r(list, sizeof(LVCOLUMNA) + 256);
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT;
    column.pszText = reinterpret_cast<char*>(r.At(sizeof(LVCOLUMNA)));
    column.cchTextMax = 256;
    r.Write(&column, sizeof column);
    SendMessageA(list, LVM_GETCOLUMNA, i, r.At());
    char text[256] = {};
    r.Read(text, sizeof text - 1, sizeof(LVCOLUMNA));
    texts.push_back(text);
  }
  return texts;
}

// The list of the page on the tab control (the page is the tab control's child dialog).
HWND PageControl(HWND dialog, const wchar_t* page_class) {
  HWND found = nullptr;
  wd::WaitUntil(
      [&] {
        const auto controls = wd::Children(Item(dialog, 1000), page_class);
        found = controls.empty() ? nullptr : controls.front();
        return found && IsWindowVisible(found);
      },
      kWait);
  return found;
}

std::map<std::string, std::string> ReadKeyValues(const fs::path& file) {
  std::map<std::string, std::string> values;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::string ReadWholeFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string IniValue(const fs::path& ini, const char* section, const char* key) {
  char value[256] = {};
  GetPrivateProfileStringA(section, key, "<none>", value, sizeof value, ini.string().c_str());
  return value;
}

// One run of the dialogs child.
class Child {
 public:
  Child(const std::string& name, const std::vector<std::string>& args,
        const std::function<void(const fs::path&)>& prepare = nullptr)
      : folder_(fs::absolute(fs::path(VL_OUTPUT) / "dialogs" / name)) {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    if (prepare) prepare(folder_);
    std::string command = "\"" + std::string(VL_DIALOGS_CHILD) + "\" \"" + folder_.string() + "\"";
    for (const std::string& a : args) command += " " + a;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &info_))
      CloseHandle(info_.hThread);
  }
  ~Child() {
    if (info_.hProcess) {
      if (WaitForSingleObject(info_.hProcess, 0) != WAIT_OBJECT_0)
        TerminateProcess(info_.hProcess, 9);
      CloseHandle(info_.hProcess);
    }
  }
  HWND WaitForDialog(const std::wstring& caption = kCaption) const {
    return wd::WaitForTopWindow(caption, kWait, info_.dwProcessId);
  }
  // Waits for the end of the run and reads what the child left.
  bool Finish() {
    if (!info_.hProcess || WaitForSingleObject(info_.hProcess, kWait) != WAIT_OBJECT_0)
      return false;
    result_ = ReadKeyValues(folder_ / "result.txt");
    return !result_.empty();
  }
  std::string Result(const std::string& key) const {
    const auto it = result_.find(key);
    return it == result_.end() ? "<none>" : it->second;
  }
  std::string Log() const {
    for (const auto& entry : fs::directory_iterator(folder_))
      if (entry.path().extension() == ".vlf") return ReadWholeFile(entry.path());
    return "";
  }
  fs::path Ini() const { return folder_ / "VantorLog.ini"; }

  // Asks the child's camera for the colours of client points of a window and, with a name,
  // for its picture among the test's artefacts (dialog-screenshots/<name>.png).
  std::vector<COLORREF> Camera(HWND window, const std::string& name,
                               const std::vector<POINT>& points = {}) const {
    std::string png = "-";
    if (!name.empty()) {
      const fs::path shots = fs::absolute(fs::path(VL_OUTPUT) / "dialog-screenshots");
      fs::create_directories(shots);
      png = (shots / (name + ".png")).string();
    }
    {
      std::ofstream request(folder_ / "camera.txt");
      request << reinterpret_cast<std::uintptr_t>(window) << " " << png;
      for (const POINT& p : points) request << " " << p.x << " " << p.y;
      request << "\n";
    }
    const std::string event_name = "VantorLogDialogsCamera" + std::to_string(info_.dwProcessId);
    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, event_name.c_str());
    const HWND camera =
        FindWindowA("VantorLogDialogsCamera", std::to_string(info_.dwProcessId).c_str());
    std::vector<COLORREF> colours;
    if (camera && done && PostMessageA(camera, WM_APP + 1, 0, 0) &&
        WaitForSingleObject(done, kWait) == WAIT_OBJECT_0) {
      std::ifstream answer(folder_ / "camera-answer.txt");
      unsigned long colour = 0;
      while (answer >> colour) colours.push_back(static_cast<COLORREF>(colour));
    }
    if (done) CloseHandle(done);
    return colours;
  }
  DWORD ProcessId() const { return info_.dwProcessId; }

 private:
  fs::path folder_;
  PROCESS_INFORMATION info_{};
  std::map<std::string, std::string> result_;
};

// An item line of the log's report: "  3.3 Email...: value".
std::string LogItem(const std::string& log, const std::string& item) {
  const std::string marker = "\r\n  " + item + " ";
  const auto at = log.rfind(marker);
  if (at == std::string::npos) return "<none>";
  const auto colon = log.find(": ", at + marker.size());
  const auto end = log.find("\r\n", colon);
  return log.substr(colon + 2, end - colon - 2);
}

void WaitGone(HWND window) {
  EXPECT_TRUE(wd::WaitUntil([&] { return !IsWindow(window); }, kWait));
}

// ---- The option table ----

// Controls of the short dialog, of the detailed one.
enum {
  kMsTitle = 102,
  kMsMessage = 103,
  kMsTerminate = 104,
  kMsTellUs = 105,
  kMsCreated = 106,
  kMsLinkLead = 107,
  kMsDoing = 108,
  kMsDoingEdit = 109,
  kMsEmailLabel = 110,
  kMsEmail = 111,
  kMsSend = 1000,
  kMsDontSend = 1001,
  kMsHelp = 1002
};
enum {
  kDlgMessage = 101,
  kDlgOk = 102,
  kDlgTerminate = 103,
  kDlgDetails = 104,
  kDlgHelp = 105,
  kDlgTabs = 1000,
  kDlgSendBox = 3000,
  kDlgScreenshotBox = 4000,
  kDlgCopyBox = 5000
};

struct TOptionCase {
  const char* name;
  std::vector<std::string> args;
  // control id -> expected text; an empty text: the control is hidden.
  std::map<int, std::string> controls;
  std::function<void(HWND dialog)> act;
  std::map<std::string, std::string> result;
};

// Test lists name a case by its name, not by its bytes.
void PrintTo(const TOptionCase& c, std::ostream* os) { *os << c.name; }

void Press(HWND dialog, int id) { PostMessageA(Item(dialog, id), BM_CLICK, 0, 0); }
void Escape(HWND dialog) { PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0); }

const std::string kShortTitle =
    "The application has encountered a problem. We are sorry for the inconvenience.";
const std::string kCreated =
    "We have created an error report that you can send to us. We will treat this report as "
    "confidential and anonymous.";

const TOptionCase kOptionCases[] = {
    {"ShortWithoutSendMode",
     {"kind=2", "logflags=0x32"},
     {{kMsTitle, kShortTitle},
      {kMsMessage, Message(1)},
      {kMsTerminate, ""},
      {kMsTellUs, ""},
      {kMsCreated, ""},
      {kMsLinkLead, "To see what data the error report contains, "},
      {kMsEmail, ""},
      {kMsSend, ""},
      {kMsDontSend, "&OK"},
      {kMsHelp, ""},
      {kMsDoing, "What were you doing when the problem happened (optional)?"}},
     [](HWND d) { Press(d, kMsDontSend); },
     {{"kind", "0"}, {"terminate", "0"}, {"cancelled", "0"}, {"sent", "0"}}},
    {"ShortOffersSendingAndTheEmailBox",
     {"kind=2", "mail=2", "logflags=0x30"},
     {{kMsTellUs, "Please tell us about this problem."},
      {kMsCreated, kCreated},
      {kMsEmailLabel, "Email address (optional): "},
      {kMsEmail, "?"},
      {kMsSend, "&Send Error Report"},
      {kMsDontSend, "&Don't Send"},
      {kMsDoing, ""},
      {kMsDoingEdit, ""}},
     [](HWND d) { Press(d, kMsSend); },
     {{"kind", "0"}, {"send", "1"}, {"sent", "1"}, {"cancelled", "0"}}},
    {"ShortDontSendWithSendMode",
     {"kind=2", "web=4"},
     {{kMsEmail, "?"}, {kMsDontSend, "&Don't Send"}},
     [](HWND d) { Press(d, kMsDontSend); },
     {{"send", "0"}, {"sent", "0"}}},
    {"ShortMailClientHasNoEmailBox",
     {"kind=2", "mail=1"},
     {{kMsSend, "&Send Error Report"}, {kMsEmail, ""}, {kMsEmailLabel, ""}},
     [](HWND d) { Escape(d); },
     {{"send", "0"}, {"cancelled", "1"}, {"kind", "0"}}},
    {"ShortTerminatesAfterTheFourthError",
     {"kind=2", "terminate=1", "errors=4"},
     {{kMsTerminate, "Terminate application."}, {kMsMessage, Message(4)}},
     [](HWND d) {
       PostMessageA(Item(d, kMsTerminate), BM_CLICK, 0, 0);
       Sleep(200);
       Press(d, kMsDontSend);
     },
     {{"terminate", "1"}, {"terminated", "1"}, {"errors", "4"}}},
    {"ShortNoTerminateBoxOnTheThirdError",
     {"kind=2", "terminate=2", "errors=3"},
     {{kMsTerminate, ""}, {kMsMessage, Message(3)}},
     [](HWND d) { Press(d, kMsDontSend); },
     {{"terminate", "0"}, {"errors", "3"}}},
    {"ShortHelpButtonClosesThroughItsHandler",
     {"kind=2", "dialog=0x38F"},
     {{kMsHelp, "&Help"}},
     [](HWND d) { Press(d, kMsHelp); },
     {{"help", "1"}, {"kind", "0"}}},
    {"MessageBox",
     {"kind=1"},
     {},
     [](HWND d) {
       const std::string message = Message(1);
       EXPECT_NE(wd::FindChildByText(d, L"Static", std::wstring(message.begin(), message.end())),
                 nullptr);
       PostMessageA(d, WM_COMMAND, IDOK, 0);
     },
     {{"kind", "0"}, {"send", "0"}}},
    {"DetailedCompactForm",
     {"kind=3"},
     {{kDlgMessage, Message(1)},
      {kDlgOk, "&OK"},
      {kDlgDetails, "&Details >>"},
      {kDlgTerminate, ""},
      {kDlgHelp, ""},
      {kDlgSendBox, ""},
      {kDlgScreenshotBox, ""},
      {kDlgCopyBox, "&Copy to Clipboard"},
      {kDlgTabs, ""}},
     [](HWND d) { Press(d, kDlgOk); },
     {{"kind", "0"}, {"copy", "0"}, {"cancelled", "0"}}},
    {"DetailedWithSendingOffered",
     {"kind=3", "mail=3", "dialog=0x19F"},
     {{kDlgMessage,
       "An error has occurred during program execution.\r\nPlease read the following "
       "information for further details."},
      {kDlgSendBox, "&Send this error via Internet"},
      {kDlgScreenshotBox, "&Attach a Screenshot image"},
      {kDlgDetails, "<< &Details"}},
     [](HWND d) {
       EXPECT_TRUE(Checked(d, kDlgSendBox));
       EXPECT_TRUE(Checked(d, kDlgScreenshotBox));
       EXPECT_TRUE(IsWindowEnabled(Item(d, kDlgScreenshotBox)));
       Press(d, kDlgCopyBox);
       Sleep(200);
       Press(d, kDlgOk);
     },
     {{"send", "1"}, {"screenshot", "1"}, {"copy", "1"}, {"sent", "1"}}},
    {"DetailedEscapeKeepsTheScreenshotChoice",
     {"kind=3", "mail=2", "dialog=0x19F"},
     {{kDlgSendBox, "&Send this error via Internet"}},
     [](HWND d) { Escape(d); },
     // Escape clears the send and copy choices; the screenshot box still shows its tick.
     {{"send", "0"},
      {"copy", "0"},
      {"screenshot", "1"},
      {"cancelled", "1"},
      {"sent", "0"},
      {"dialog_options", std::to_string(0x19F & ~0x01)}}},
    {"DetailedTerminateAfterTheFourthError",
     {"kind=3", "terminate=1", "errors=4", "dialog=0x38F"},
     {{kDlgTerminate, "&Terminate"}, {kDlgHelp, "&Help"}},
     [](HWND d) { Press(d, kDlgTerminate); },
     {{"terminate", "1"}, {"terminated", "1"}, {"kind", "0"}}},
    {"DetailedRestartNotOnTheThirdError",
     {"kind=3", "terminate=2", "errors=3"},
     {{kDlgTerminate, ""}},
     [](HWND d) { Press(d, kDlgOk); },
     {{"terminate", "0"}}},
    {"DetailedWithoutDetailsButton",
     {"kind=3", "dialog=0x187"},
     {{kDlgDetails, ""}},
     [](HWND d) { Press(d, kDlgOk); },
     {{"kind", "0"}}},
    {"DetailedAutoCloses",
     {"kind=3", "autoclose=3", "mail=2"},
     {{kDlgOk, "&OK"}},
     nullptr,  // nobody answers
     {{"cancelled", "1"}, {"send", "0"}, {"kind", "0"}}},
    {"ShortAutoClosesWhateverTheEmailField",
     {"kind=2", "autoclose=3", "mail=2"},
     {{kMsEmail, "?"}},
     [](HWND d) { wd::SetText(Item(d, kMsEmail), L"a@b"); },
     {{"cancelled", "1"}, {"send", "0"}, {"email", ""}}},
    {"NoDialog", {"kind=0"}, {}, nullptr, {{"kind", "0"}, {"warning", "eeNone"}, {"open", "0"}}},
};

class OptionTable : public testing::TestWithParam<TOptionCase> {};

TEST_P(OptionTable, ShowsItsControlsAndLeavesTheDialogState) {
  const TOptionCase& c = GetParam();
  Child child(c.name, c.args);
  const bool none = c.args.front() == "kind=0";
  if (!none) {
    const HWND dialog = child.WaitForDialog();
    ASSERT_NE(dialog, nullptr) << "no dialog";
    if (c.args.front() != "kind=1") {
      // The error sign: drawn transparent, red inside, the dialog's face in its corner.
      const bool short_dialog = c.args.front() == "kind=2";
      const int x = short_dialog ? 372 : 8, y = short_dialog ? 9 : 8;
      std::vector<COLORREF> px;
      const auto red = [](COLORREF colour) {
        return GetRValue(colour) > 150 && GetGValue(colour) < 80;
      };
      ASSERT_TRUE(wd::WaitUntil(
          [&] {
            px = child.Camera(dialog, "", {{x + 16, y + 4}, {x + 16, y + 16}, {x, y}});
            return px.size() == 3 && red(px[0]);
          },
          kWait))
          << "no error sign";
      EXPECT_EQ(px[1], RGB(255, 255, 255)) << "the white cross";
      const COLORREF background = short_dialog ? RGB(255, 255, 255) : GetSysColor(COLOR_BTNFACE);
      EXPECT_EQ(px[2], background) << "the transparent corner";
    }
    for (const auto& [id, text] : c.controls) {
      SCOPED_TRACE(id);
      if (text.empty()) {
        EXPECT_FALSE(Visible(dialog, id));
      } else {
        EXPECT_TRUE(Visible(dialog, id));
        if (text != "?") {
          EXPECT_EQ(ItemText(dialog, id), text);
        }
      }
    }
    if (c.act) c.act(dialog);
    WaitGone(dialog);
  }
  ASSERT_TRUE(child.Finish());
  for (const auto& [key, value] : c.result) EXPECT_EQ(child.Result(key), value) << key;
  EXPECT_EQ(child.Result("open"), "0");
  if (none) {
    EXPECT_NE(child.Log().find(Message(1)), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Dialogs, OptionTable, testing::ValuesIn(kOptionCases),
                         [](const testing::TestParamInfo<TOptionCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Behaviours across dialogs ----

TEST(ShortDialog, RefusesAnAddressWithoutDotAndStoresAValidOne) {
  Child child("ShortEmail", {"kind=2", "mail=2"});
  const HWND dialog = child.WaitForDialog();
  ASSERT_NE(dialog, nullptr);
  child.Camera(dialog, "short-dialog");
  wd::SetText(Item(dialog, kMsEmail), L"a@b");
  Press(dialog, kMsSend);
  const HWND box = wd::WaitForTopWindow(L"Error.", kWait, child.ProcessId());
  ASSERT_NE(box, nullptr) << "no \"Invalid email.\" box";
  EXPECT_NE(wd::FindChildByText(box, L"Static", L"Invalid email."), nullptr);
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  WaitGone(box);
  ASSERT_TRUE(IsWindow(dialog)) << "the dialog stays open";
  wd::SetText(Item(dialog, kMsEmail), L"  x@y.z ");
  Press(dialog, kMsSend);
  WaitGone(dialog);
  ASSERT_TRUE(child.Finish());
  EXPECT_EQ(child.Result("email"), "x@y.z");
  EXPECT_EQ(child.Result("send"), "1");
  EXPECT_EQ(LogItem(child.Log(), "3.3"), "x@y.z");
  EXPECT_EQ(IniValue(child.Ini(), "User", "Email"), "x@y.z");
}

TEST(ShortDialog, EscapeLeavesWithAnInvalidAddress) {
  Child child("ShortEscape", {"kind=2", "mail=2"}, [](const fs::path& folder) {
    WritePrivateProfileStringA("User", "Email", "old@mail.org",
                               (folder / "VantorLog.ini").string().c_str());
  });
  const HWND dialog = child.WaitForDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(ItemText(dialog, kMsEmail), "old@mail.org");
  wd::SetText(Item(dialog, kMsEmail), L"a@b");
  Escape(dialog);
  WaitGone(dialog);
  ASSERT_TRUE(child.Finish());
  EXPECT_EQ(child.Result("cancelled"), "1");
  EXPECT_EQ(child.Result("send"), "0");
  EXPECT_EQ(IniValue(child.Ini(), "User", "Email"), "old@mail.org");
}

TEST(ShortDialog, ClickHereOpensTheDetailedDialogWithoutDetailsButton) {
  Child child("ShortLink", {"kind=2"});
  const HWND dialog = child.WaitForDialog();
  ASSERT_NE(dialog, nullptr);
  RECT lead{};
  GetWindowRect(Item(dialog, kMsLinkLead), &lead);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&lead), 2);
  ClickAt(dialog, lead.right + 6, lead.top + 5);
  WaitGone(dialog);
  const HWND detailed = child.WaitForDialog();
  ASSERT_NE(detailed, nullptr);
  EXPECT_TRUE(Visible(detailed, kDlgTabs));
  EXPECT_FALSE(Visible(detailed, kDlgDetails));
  Press(detailed, kDlgOk);
  WaitGone(detailed);
  ASSERT_TRUE(child.Finish());
  EXPECT_EQ(child.Result("kind"), "0");
}

// Rows of a list page as texts joined by "|".
std::vector<std::string> Rows(HWND list, int columns) {
  std::vector<std::string> rows;
  for (int i = 0; i < RowCount(list); ++i) {
    std::string row;
    for (int c = 0; c < columns; ++c) row += (c ? "|" : "") + ListText(list, i, c);
    rows.push_back(row);
  }
  return rows;
}

TEST(DetailedDialog, TabPagesShowTheReportAndTheSettingsFileKeepsThePlacement) {
  Child child("DetailedTabs", {"kind=3", "logflags=0x32"});
  HWND dialog = child.WaitForDialog();
  ASSERT_NE(dialog, nullptr);
  child.Camera(dialog, "detailed-compact");
  Press(dialog, kDlgDetails);
  ASSERT_TRUE(wd::WaitUntil([&] { return Visible(dialog, kDlgTabs); }, kWait));
  const HWND tabs = Item(dialog, kDlgTabs);
  EXPECT_EQ(TabTexts(tabs), (std::vector<std::string>{"General", "Call Stack", "Modules",
                                                      "Processes", "Assembler", "CPU"}));
  // No file yet: 745 x 468 and the check-box row's 20 pixels.
  RECT r{};
  GetWindowRect(dialog, &r);
  EXPECT_EQ(r.right - r.left, 745);
  EXPECT_EQ(r.bottom - r.top, 468 + 20);
  const HWND general = PageControl(dialog, L"RichEdit20A");
  ASSERT_NE(general, nullptr);
  const std::string general_text = Narrow(wd::Text(general));
  EXPECT_NE(general_text.find("Application:"), std::string::npos);
  EXPECT_NE(general_text.find(Message(1)), std::string::npos);
  child.Camera(dialog, "detailed-general");

  SelectTab(tabs, 1);
  const HWND stack = PageControl(dialog, L"SysListView32");
  ASSERT_NE(stack, nullptr);
  EXPECT_EQ(ColumnTexts(stack), (std::vector<std::string>{"Address", "Module", "Unit", "Class",
                                                          "Procedure/Method", "Line"}));
  const int rows = RowCount(stack);
  ASSERT_GE(rows, 2);
  EXPECT_NE(ListText(stack, 1, 1).find("vantorlog_dialogs_child.exe"), std::string::npos);
  child.Camera(dialog, "detailed-call-stack");
  // The first header's sign folds its group.
  const RECT header = RemoteRect(stack, LVM_GETITEMRECT, 0, LVIR_BOUNDS);
  ClickAt(stack, header.left + 7, header.top + 7);
  EXPECT_TRUE(wd::WaitUntil([&] { return RowCount(stack) < rows; }, kWait));
  ClickAt(stack, header.left + 7, header.top + 7);
  EXPECT_TRUE(wd::WaitUntil([&] { return RowCount(stack) == rows; }, kWait));

  SelectTab(tabs, 2);
  ASSERT_TRUE(wd::WaitUntil([&] { return !IsWindow(stack); }, kWait));
  const HWND modules = PageControl(dialog, L"SysListView32");
  ASSERT_NE(modules, nullptr);
  EXPECT_EQ(ColumnTexts(modules),
            (std::vector<std::string>{"Handle", "Name", "Description", "Version", "Size",
                                      "Modified", "Path"}));
  const auto module_rows = Rows(modules, 2);
  bool own = false;
  for (const std::string& row : module_rows)
    own |= row.find("|vantorlog_dialogs_child.exe") != std::string::npos;
  EXPECT_TRUE(own);
  // The report's modules table lists the same modules (the log holds the report).
  child.Camera(dialog, "detailed-modules");

  SelectTab(tabs, 3);
  ASSERT_TRUE(wd::WaitUntil([&] { return !IsWindow(modules); }, kWait));
  const HWND processes = PageControl(dialog, L"SysListView32");
  ASSERT_NE(processes, nullptr);
  bool self = false;
  for (const std::string& row : Rows(processes, 2))
    self |= row == std::to_string(child.ProcessId()) + "|vantorlog_dialogs_child.exe";
  EXPECT_TRUE(self);
  child.Camera(dialog, "detailed-processes");
  // A wider Path column is stored under ColPro7.
  SendMessageA(processes, LVM_SETCOLUMNWIDTH, 7, 333);

  SelectTab(tabs, 4);
  const HWND assembler = PageControl(dialog, L"RichEdit20A");
  ASSERT_NE(assembler, nullptr);
  EXPECT_NE(Narrow(wd::Text(assembler)).find("<-- EXCEPTION"), std::string::npos);
  child.Camera(dialog, "detailed-assembler");
  SelectTab(tabs, 5);
  ASSERT_TRUE(wd::WaitUntil([&] { return !IsWindow(assembler); }, kWait));
  const HWND cpu = PageControl(dialog, L"RichEdit20A");
  ASSERT_NE(cpu, nullptr);
  EXPECT_NE(Narrow(wd::Text(cpu)).find("EAX: "), std::string::npos);
  child.Camera(dialog, "detailed-cpu");

  SetWindowPos(dialog, nullptr, 40, 30, 700, 500, SWP_NOZORDER | SWP_NOACTIVATE);
  Sleep(200);
  Press(dialog, kDlgOk);
  const HWND request = child.WaitForDialog(L"Request");
  ASSERT_NE(request, nullptr) << "the request dialog follows";
  EXPECT_EQ(ItemText(request, 100), "Please describe the steps to reproduce the error:");
  EXPECT_EQ(ItemText(request, 2), "&OK");
  wd::SetText(Item(request, 101), L"Pressed Write with the cable half out.");
  child.Camera(request, "request-dialog");
  Escape(request);
  WaitGone(request);
  ASSERT_TRUE(child.Finish());
  EXPECT_EQ(child.Result("reproduce"), "Pressed Write with the cable half out.");
  const std::string log = child.Log();
  EXPECT_NE(log.find("Request:\r\n"), std::string::npos);
  EXPECT_NE(log.find("Pressed Write with the cable half out."), std::string::npos);
  EXPECT_EQ(IniValue(child.Ini(), "Coordinates", "Width"), "700");
  EXPECT_EQ(IniValue(child.Ini(), "Coordinates", "Height"), "480");  // without the row's 20
  EXPECT_EQ(IniValue(child.Ini(), "Coordinates", "Left"), "40");
  EXPECT_EQ(IniValue(child.Ini(), "Coordinates", "Top"), "30");
  EXPECT_EQ(IniValue(child.Ini(), "Coordinates", "WindowsState"), "1");
  EXPECT_EQ(IniValue(child.Ini(), "Coordinates", "Col0"), "89");
  EXPECT_EQ(IniValue(child.Ini(), "Coordinates", "ColMod5"), "712");
  EXPECT_EQ(IniValue(child.Ini(), "Coordinates", "ColPro7"), "333");
}

TEST(DetailedDialog, StoredMinimisedStateAndHeightReopenNormalAtTheSameSize) {
  const auto prepare = [](const fs::path& folder) {
    const std::string ini = (folder / "VantorLog.ini").string();
    WritePrivateProfileStringA("Coordinates", "Width", "600", ini.c_str());
    WritePrivateProfileStringA("Coordinates", "Height", "400", ini.c_str());
    WritePrivateProfileStringA("Coordinates", "Left", "20", ini.c_str());
    WritePrivateProfileStringA("Coordinates", "Top", "20", ini.c_str());
    WritePrivateProfileStringA("Coordinates", "WindowsState", "6", ini.c_str());
  };
  Child child("DetailedMinimised", {"kind=3", "dialog=0x19F"}, prepare);
  const HWND dialog = child.WaitForDialog();
  ASSERT_NE(dialog, nullptr) << "the dialog closed itself";
  Sleep(500);
  ASSERT_TRUE(IsWindow(dialog));
  EXPECT_FALSE(IsIconic(dialog));
  RECT r{};
  GetWindowRect(dialog, &r);
  EXPECT_EQ(r.bottom - r.top, 400 + 20);
  Press(dialog, kDlgOk);
  WaitGone(dialog);
  ASSERT_TRUE(child.Finish());
  EXPECT_EQ(IniValue(child.Ini(), "Coordinates", "Height"), "400");
  EXPECT_EQ(IniValue(child.Ini(), "Coordinates", "WindowsState"), "1");
}

// The mailslot of a source jump: the IDE's own when the IDE (a process with a top-level window
// of its main window class) started the program, else that of process 0.
void DoubleClickSendsTheRowToTheMailslot(bool ide_parent) {
  const std::string own_name =
      "\\\\.\\mailslot\\VantorLog" + std::to_string(ide_parent ? GetCurrentProcessId() : 0);
  HANDLE slot = CreateMailslotA(own_name.c_str(), 0, MAILSLOT_WAIT_FOREVER, nullptr);
  ASSERT_NE(slot, INVALID_HANDLE_VALUE);
  HANDLE other = INVALID_HANDLE_VALUE;
  HWND ide_window = nullptr;
  if (ide_parent) {
    other = CreateMailslotA("\\\\.\\mailslot\\VantorLog0", 0, 0, nullptr);
    WNDCLASSA c{};
    c.lpfnWndProc = DefWindowProcA;
    c.hInstance = GetModuleHandleA(nullptr);
    c.lpszClassName = "TVantorIdeMainForm";
    RegisterClassA(&c);
    ide_window = CreateWindowA(c.lpszClassName, "IDE", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               c.hInstance, nullptr);
    ASSERT_NE(ide_window, nullptr);
  }
  Child child(ide_parent ? "DetailedMailslotIde" : "DetailedMailslot",
              {"kind=3", "dialog=0x19F", "firsttab=1"});
  const HWND dialog = child.WaitForDialog();
  ASSERT_NE(dialog, nullptr);
  const HWND stack = PageControl(dialog, L"SysListView32");
  ASSERT_NE(stack, nullptr);
  int row = -1;
  for (int i = 0; i < RowCount(stack) && row < 0; ++i)
    if (!ListText(stack, i, 5).empty()) row = i;
  ASSERT_GE(row, 0) << "no row with a line";
  const RECT rect = RemoteRect(stack, LVM_GETITEMRECT, row, LVIR_BOUNDS);
  ClickAt(stack, rect.left + 150, (rect.top + rect.bottom) / 2, true);
  DWORD next = MAILSLOT_NO_MESSAGE;
  wd::WaitUntil(
      [&] {
        return GetMailslotInfo(slot, nullptr, &next, nullptr, nullptr) &&
               next != MAILSLOT_NO_MESSAGE;
      },
      kWait);
  ASSERT_EQ(next, 376u);
  std::uint8_t m[376] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(slot, m, sizeof m, &got, nullptr));
  EXPECT_EQ(got, 376u);
  const auto field = [&](int at) { return std::string(reinterpret_cast<const char*>(m + at)); };
  EXPECT_EQ(field(0), "");
  EXPECT_EQ(field(90), ListText(stack, row, 2));
  EXPECT_EQ(field(180), ListText(stack, row, 3));
  EXPECT_EQ(field(270), ListText(stack, row, 4));
  const auto le = [&](int at) {
    return static_cast<std::int32_t>(m[at] | m[at + 1] << 8 | m[at + 2] << 16 | m[at + 3] << 24);
  };
  const std::string line = ListText(stack, row, 5);
  EXPECT_EQ(std::to_string(le(360)) + "[" + std::to_string(le(364)) + "]", line);
  if (ide_parent) {
    DWORD elsewhere = MAILSLOT_NO_MESSAGE;
    ASSERT_TRUE(GetMailslotInfo(other, nullptr, &elsewhere, nullptr, nullptr));
    EXPECT_EQ(elsewhere, MAILSLOT_NO_MESSAGE) << "the IDE's jump went to process 0's mailslot";
  }
  Press(dialog, kDlgOk);
  WaitGone(dialog);
  ASSERT_TRUE(child.Finish());
  CloseHandle(slot);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  if (ide_window) DestroyWindow(ide_window);
}

TEST(DetailedDialog, DoubleClickOnACallStackRowSendsItsLocationToTheMailslot) {
  DoubleClickSendsTheRowToTheMailslot(false);
}

TEST(DetailedDialog, DoubleClickSendsToTheMailslotOfTheIdeThatStartedTheProgram) {
  DoubleClickSendsTheRowToTheMailslot(true);
}

}  // namespace
