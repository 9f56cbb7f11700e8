// The flasher's main window, created in this process and read back through its windows.
#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "FlasherPanel.h"
#include "Forms.h"
#include "Unit1.h"
#include "dialog_answer.h"
#include "window_driver.h"
#include "work_Thread.h"

namespace {

namespace wd = window_driver;
using wd::ComboItems;

void Pump(DWORD ms) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    Application->ProcessMessages();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

// The value names of SERIALCOMM in the registry's order, and their string data.
std::vector<std::wstring> RegistryPorts() {
  std::vector<std::wstring> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD name_length = 256;
    DWORD type = 0;
    wchar_t data[256] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegEnumValueW(key, i, name, &name_length, nullptr, &type, reinterpret_cast<BYTE*>(data),
                      &size) != ERROR_SUCCESS) {
      break;
    }
    if (type == REG_SZ) ports.emplace_back(data);
  }
  RegCloseKey(key);
  return ports;
}

std::wstring FullPath(const std::wstring& name) {
  wchar_t path[MAX_PATH];
  GetFullPathNameW(name.c_str(), MAX_PATH, path, nullptr);
  return path;
}

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<char> pixels;  // 24-bit rows, bottom-up, each padded to 4 bytes
};

// The pixels of a window with its frame and child controls, copied from the window's own
// DC (in this process the screen DC of a test display is not usable, and PrintWindow would
// leave the child controls out).
Picture Capture(HWND window) {
  Picture p;
  RECT r{};
  GetWindowRect(window, &r);
  p.width = r.right - r.left;
  p.height = r.bottom - r.top;
  HDC source = GetWindowDC(window);
  HDC memory = CreateCompatibleDC(source);
  HBITMAP bitmap = CreateCompatibleBitmap(source, p.width, p.height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, p.width, p.height, source, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER info{sizeof info, p.width, p.height, 1, 24, BI_RGB};
  p.pixels.resize(static_cast<std::size_t>((p.width * 3 + 3) & ~3) * p.height);
  GetDIBits(memory, bitmap, 0, p.height, p.pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
            DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, source);
  return p;
}

bool SaveBmp(const Picture& p, const std::wstring& path) {
  BITMAPINFOHEADER info{sizeof info, p.width, p.height, 1, 24, BI_RGB};
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(p.pixels.size());
  std::ofstream out(std::filesystem::path(path), std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  out.write(p.pixels.data(), static_cast<std::streamsize>(p.pixels.size()));
  return static_cast<bool>(out);
}

// Width in pixels of a text in a control's font.
int TextWidth(HWND control, const std::wstring& text) {
  HDC dc = GetDC(control);
  HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return size.cx;
}

int ClientWidth(HWND h) {
  RECT r{};
  GetClientRect(h, &r);
  return r.right;
}

constexpr wchar_t kSerialComm[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Two ports of this process's own (no such devices: an operation fails at once), and a value
// that is not a string.
class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application->Initialize();
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &serial_comm_, nullptr),
              ERROR_SUCCESS);
    const std::wstring tag = std::to_wstring(GetCurrentProcessId());
    names_ = {L"\\Device\\FormTest" + tag + L"a", L"\\Device\\FormTest" + tag + L"b",
              L"\\Device\\FormTest" + tag + L"n"};
    AddPorts();
  }
  void TearDown() override {
    if (Form1) {
      WaitForWorker();
      delete Form1;
      Form1 = nullptr;
    }
    RemovePorts();
    RegCloseKey(serial_comm_);
  }
  void AddPorts() {
    for (int i = 0; i < 2; ++i) {
      const std::wstring& data = ports_[i];
      RegSetValueExW(serial_comm_, names_[i].c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    }
    const DWORD number = 3;
    RegSetValueExW(serial_comm_, names_[2].c_str(), 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&number), sizeof number);
  }
  void RemovePorts() {
    for (const auto& name : names_) RegDeleteValueW(serial_comm_, name.c_str());
  }
  void CreateForm() {
    Form1 = new TForm1;
    Form1->Show();
  }
  // Selects one of our own ports so that an operation can't reach another test's phone.
  void SelectOwnPort() {
    const auto items = ComboItems(Form1->ComboBox1->Handle());
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i] == ports_[0]) Form1->ComboBox1->SetItemIndex(static_cast<int>(i));
    }
    ASSERT_EQ(wd::Text(Form1->ComboBox1->Handle()), ports_[0]);
  }
  void WaitForWorker() {
    if (WorkThread && !WorkThread->FreeOnTerminate) WorkThread->WaitFor();
    Pump(50);
  }
  std::vector<bool> ButtonsEnabled() {
    std::vector<bool> enabled;
    for (TButton* b : {Form1->Button1, Form1->Button2, Form1->Button3}) {
      enabled.push_back(IsWindowEnabled(b->Handle()) != FALSE);
    }
    return enabled;
  }

  HKEY serial_comm_ = nullptr;
  std::vector<std::wstring> names_;
  const std::wstring ports_[2] = {L"COM241", L"COM242"};
};

TEST_F(FormTest, WindowShowsEveryTextAsSpecified) {
  CreateForm();
  TForm1& f = *Form1;
  struct Case {
    TControl* control;
    const wchar_t* text;
    TControl* parent;
  } cases[] = {
      {&f, L"R4417 флешер дампер версия 1.00", nullptr},
      {f.Label3, L"файл для прошивки", &f},
      {f.Edit1, L"Двойной клик для выбора", &f},
      {f.GroupBox1, L"Ком порт", &f},
      {f.Label1, L"ком порты", f.GroupBox1},
      {f.Label2, L"скорости", f.GroupBox1},
      {f.GroupBox2, L"Исходные данные", &f},
      {f.Label4, L"Смещение в нор", f.GroupBox2},
      {f.Label5, L"Длина дампа", f.GroupBox2},
      {f.Edit2, L"00000000", f.GroupBox2},
      {f.Edit3, L"01000000", f.GroupBox2},
      {f.Button1, L"Прошивка", &f},
      {f.Button2, L"Дамп", &f},
      {f.Button3, L"Стирание", &f},
      {f.GroupBox3, L"Тип  - мастер или слейв", &f},
      {f.RadioButton1, L"Работа с мастер частью", f.GroupBox3},
      {f.RadioButton2, L"Работа со слейв частью", f.GroupBox3},
      {f.Memo1, L"", &f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_NE(c.control->Handle(), nullptr);
    EXPECT_EQ(wd::Text(c.control->Handle()), c.text);
    EXPECT_TRUE(IsWindowVisible(c.control->Handle()));
    if (c.parent) {
      EXPECT_EQ(GetParent(c.control->Handle()), c.parent->Handle());
    }
  }
  EXPECT_EQ(GetParent(f.ComboBox1->Handle()), f.GroupBox1->Handle());
  EXPECT_EQ(GetParent(f.ComboBox2->Handle()), f.GroupBox1->Handle());

  EXPECT_EQ(ComboItems(f.ComboBox2->Handle()),
            (std::vector<std::wstring>{L"115200", L"460800", L"921600"}));
  EXPECT_EQ(wd::Lines(f.Memo2->Handle()),
            (std::vector<std::wstring>{
                L"           На память R4417", L"1. Мастер часть",
                L"1.1 Область прошивки 00000000-01BFFFFF", L"1.2 EEPROM  - 01C00000-01FFFFFF",
                L"1.3 Фул NOR флеши 32Мб.", L"", L"2. Слейв часть",
                L"2.1 Область прошивки 00000000-00DFFFFF", L"2.2 Область QVS 00E00000-00E6FFFF",
                L"2.3 Область EEPROM 00E70000-00FFFFFF"}));

  EXPECT_EQ(SendMessageW(f.RadioButton2->Handle(), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(SendMessageW(f.RadioButton1->Handle(), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(SendMessageW(f.Edit2->Handle(), EM_GETLIMITTEXT, 0, 0), 8);
  EXPECT_EQ(f.ProgressBar1->Min(), 0);
  EXPECT_EQ(f.ProgressBar1->Max(), 100);
  EXPECT_EQ(ButtonsEnabled(), (std::vector<bool>{true, true, true}));

  const LONG memo1 = GetWindowLongW(f.Memo1->Handle(), GWL_STYLE);
  const LONG memo2 = GetWindowLongW(f.Memo2->Handle(), GWL_STYLE);
  EXPECT_TRUE((memo1 & WS_VSCROLL) && (memo2 & WS_VSCROLL));
  EXPECT_FALSE(memo2 & WS_HSCROLL);
  EXPECT_TRUE(memo2 & ES_AUTOHSCROLL);  // no word wrap
  for (TComboBox* combo : {f.ComboBox1, f.ComboBox2}) {
    EXPECT_EQ(GetWindowLongW(combo->Handle(), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  }
}

TEST_F(FormTest, FixedSizeToolWindow) {
  CreateForm();
  HWND h = Form1->Handle();
  RECT client{};
  GetClientRect(h, &client);
  EXPECT_EQ(client.right, 530);
  EXPECT_EQ(client.bottom, 363);
  const LONG style = GetWindowLongW(h, GWL_STYLE);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  wchar_t class_name[32] = {};
  GetClassNameW(h, class_name, 32);
  EXPECT_STREQ(class_name, L"TForm1");

  // Every control lies inside its parent and overlaps none of its siblings.
  struct Placed {
    HWND window;
    RECT rect;
  };
  std::vector<HWND> parents{h, Form1->GroupBox1->Handle(), Form1->GroupBox2->Handle(),
                            Form1->GroupBox3->Handle()};
  for (HWND parent : parents) {
    RECT area{};
    GetClientRect(parent, &area);
    std::vector<Placed> placed;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
      RECT r{};
      GetWindowRect(c, &r);
      MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
      SCOPED_TRACE(wd::Text(c));
      EXPECT_GE(r.left, area.left);
      EXPECT_GE(r.top, area.top);
      EXPECT_LE(r.right, area.right);
      EXPECT_LE(r.bottom, area.bottom);
      EXPECT_GT(r.right - r.left, 0);
      EXPECT_GT(r.bottom - r.top, 0);
      for (const Placed& other : placed) {
        RECT common{};
        EXPECT_FALSE(IntersectRect(&common, &r, &other.rect)) << "overlaps " << other.window;
      }
      placed.push_back({c, r});
    }
    EXPECT_FALSE(placed.empty());
  }
}

TEST_F(FormTest, PortListComesFromSerialComm) {
  // Other tests of this prefix add and remove their own ports meanwhile: a comparison counts
  // only when the key held the same values before and after the list was filled.
  const std::vector<std::wstring> before = RegistryPorts();
  CreateForm();
  HWND ports = Form1->ComboBox1->Handle();
  std::vector<std::wstring> items = ComboItems(ports);
  if (RegistryPorts() == before) {
    EXPECT_EQ(items, before);
  }
  for (const auto& port : ports_) {
    EXPECT_NE(std::find(items.begin(), items.end(), port), items.end());
  }
  // FormCreate chose the first port and 921600.
  EXPECT_EQ(SendMessageW(ports, CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(wd::Text(Form1->ComboBox2->Handle()), L"921600");
  EXPECT_EQ(Form1->ComboBox2->ItemIndex(), 2);

  // A port that appears later shows after the next drop-down, which selects the first entry.
  const std::wstring late = L"COM243";
  const std::wstring late_name = names_[0] + L"late";
  RegSetValueExW(serial_comm_, late_name.c_str(), 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(late.c_str()),
                 static_cast<DWORD>((late.size() + 1) * sizeof(wchar_t)));
  bool compared = false;
  for (int attempt = 0; attempt < 5 && !compared; ++attempt) {
    Form1->ComboBox1->SetItemIndex(static_cast<int>(items.size()) - 1);
    const std::vector<std::wstring> registry = RegistryPorts();
    SendMessageW(ports, CB_SHOWDROPDOWN, TRUE, 0);
    SendMessageW(ports, CB_SHOWDROPDOWN, FALSE, 0);
    items = ComboItems(ports);
    if (RegistryPorts() != registry) continue;
    compared = true;
    EXPECT_EQ(items, registry);
  }
  RegDeleteValueW(serial_comm_, late_name.c_str());
  EXPECT_TRUE(compared);
  EXPECT_NE(std::find(items.begin(), items.end(), late), items.end());
  EXPECT_EQ(SendMessageW(ports, CB_GETCURSEL, 0, 0), 0);
}

TEST_F(FormTest, MissingOrEmptyPortKeyLeavesBothListsUnselected) {
  // HKLM of this process redirected to a tree of its own: without the key, and with it empty.
  const std::wstring root = L"Software\\FormTest" + std::to_wstring(GetCurrentProcessId());
  for (bool key_exists : {false, true}) {
    SCOPED_TRACE(key_exists ? "empty key" : "no key");
    HKEY root_key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, root.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &root_key, nullptr),
              ERROR_SUCCESS);
    if (key_exists) {
      HKEY empty = nullptr;
      RegCreateKeyExW(root_key, L"hardware\\devicemap\\serialcomm", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &empty, nullptr);
      RegCloseKey(empty);
    }
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, root_key), ERROR_SUCCESS);
    CreateForm();
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(root_key);
    RegDeleteTreeW(HKEY_CURRENT_USER, root.c_str());
    EXPECT_EQ(SendMessageW(Form1->ComboBox1->Handle(), CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageW(Form1->ComboBox2->Handle(), CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(Form1->ComboBox2->Text(), "");
    EXPECT_EQ(Form1->ComboBox1->Text(), "");
    delete Form1;
    Form1 = nullptr;
  }
}

TEST_F(FormTest, ButtonsSetTheModeAndAreDisabledBeforeTheWorkerRuns) {
  struct Case {
    std::function<void()> press;
    const char* mode;
    std::vector<std::wstring> log;
  } cases[] = {
      // Edit1 still holds its hint: no such file.
      {[] { Form1->Button1Click(Form1->Button1); },
       "flash",
       {L"Файл не выбран - выберите файл для прошивки", L"Ошибка операции"}},
      {[] { Form1->Button3Click(Form1->Button3); },
       "Erase",
       {L"Не открывается ком порт", L"Ошибка операции"}},
  };
  CreateForm();
  SelectOwnPort();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    SetWindowTextW(Form1->Memo1->Handle(), L"");
    OperationMode.clear();
    c.press();
    EXPECT_EQ(OperationMode, c.mode);
    // The worker has not started yet (this thread has not returned to the message loop).
    EXPECT_EQ(ButtonsEnabled(), (std::vector<bool>{false, false, false}));
    WaitForWorker();
    EXPECT_EQ(ButtonsEnabled(), (std::vector<bool>{true, true, true}));
    EXPECT_EQ(wd::Lines(Form1->Memo1->Handle()), c.log);
  }
}

TEST_F(FormTest, PressingAButtonStartsOneWorker) {
  CreateForm();
  SelectOwnPort();
  WorkThread = nullptr;
  SendMessageW(Form1->Button3->Handle(), BM_CLICK, 0, 0);
  ASSERT_NE(WorkThread, nullptr);
  EXPECT_EQ(OperationMode, "Erase");
  WaitForWorker();
  EXPECT_EQ(wd::Lines(Form1->Memo1->Handle()),
            (std::vector<std::wstring>{L"Не открывается ком порт", L"Ошибка операции"}));
}

TEST_F(FormTest, Edit1TakesTheOpenDialogsFileName) {
  CreateForm();
  const std::wstring chosen = FullPath(L"form-test-source.bin");
  std::ofstream(std::filesystem::path(chosen)) << "data";
  {
    DialogAnswer answer(chosen);
    SendMessageW(Form1->Edit1->Handle(), WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(Form1->Edit1->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    ASSERT_TRUE(answer.Answered());
  }
  EXPECT_EQ(wd::Text(Form1->Edit1->Handle()), chosen);
  // Cancelled: Edit1 still receives the dialog's (previous) name.
  SetWindowTextW(Form1->Edit1->Handle(), L"Двойной клик для выбора");
  {
    DialogAnswer cancel;
    Form1->Edit1DblClick(Form1->Edit1);
    ASSERT_TRUE(cancel.Answered());
  }
  EXPECT_EQ(wd::Text(Form1->Edit1->Handle()), chosen);
  DeleteFileW(chosen.c_str());
}

TEST_F(FormTest, Edit1IsEmptyWhenTheFirstOpenDialogIsCancelled) {
  CreateForm();
  {
    DialogAnswer cancel;
    Form1->Edit1DblClick(Form1->Edit1);
    ASSERT_TRUE(cancel.Answered());
  }
  EXPECT_EQ(wd::Text(Form1->Edit1->Handle()), L"");
}

TEST_F(FormTest, CancelledSaveDialogIsNoOperation) {
  CreateForm();
  SelectOwnPort();
  const std::wstring previous = FullPath(L"form-test-previous.dump");
  std::ofstream(std::filesystem::path(previous), std::ios::binary) << "previous dump";
  DumpFileName = "previous.dump";
  OperationMode = "flash";
  WorkThread = nullptr;
  {
    DialogAnswer cancel;
    Form1->Button2Click(Form1->Button2);
    ASSERT_TRUE(cancel.Answered());
  }
  EXPECT_EQ(WorkThread, nullptr);
  EXPECT_EQ(OperationMode, "flash");
  EXPECT_EQ(DumpFileName, "previous.dump");
  EXPECT_EQ(ButtonsEnabled(), (std::vector<bool>{true, true, true}));
  std::ifstream in(std::filesystem::path(previous), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "previous dump");
  in.close();
  DeleteFileW(previous.c_str());
}

TEST_F(FormTest, ConfirmedSaveDialogStartsADump) {
  CreateForm();
  SelectOwnPort();
  const std::wstring target = FullPath(L"form-test-target.dump");
  DeleteFileW(target.c_str());
  {
    DialogAnswer answer(target);
    Form1->Button2Click(Form1->Button2);
    ASSERT_TRUE(answer.Answered());
  }
  EXPECT_EQ(OperationMode, "damp");
  char expected[MAX_PATH * 3];
  WideCharToMultiByte(CP_UTF8, 0, target.c_str(), -1, expected, sizeof expected, nullptr, nullptr);
  EXPECT_EQ(DumpFileName, expected);
  EXPECT_EQ(ButtonsEnabled(), (std::vector<bool>{false, false, false}));
  WaitForWorker();
  EXPECT_EQ(ButtonsEnabled(), (std::vector<bool>{true, true, true}));
  // The dump file is created before the boot, which fails on a port without a device.
  EXPECT_NE(GetFileAttributesW(target.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(wd::Lines(Form1->Memo1->Handle()).back(), L"Ошибка операции");
  DeleteFileW(target.c_str());
}

TEST_F(FormTest, WorkerReachesTheFormThroughThePanel) {
  CreateForm();
  SelectOwnPort();
  FlasherPanel* panel = ActivePanel();
  ASSERT_NE(panel, nullptr);
  SetWindowTextW(Form1->Edit1->Handle(), L"Z:\\папка\\файл.bin");
  SetWindowTextW(Form1->Edit2->Handle(), L"1C00000");
  SendMessageW(Form1->RadioButton1->Handle(), BM_CLICK, 0, 0);
  struct Seen {
    std::string port, speed, source, offset, length;
    bool slave = true;
  } seen;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    seen.port = panel->SelectedPortName();
    seen.speed = panel->SelectedSpeedText();
    seen.source = panel->SourceFileName();
    seen.offset = panel->OffsetText();
    seen.length = panel->LengthText();
    seen.slave = panel->SlaveChipChosen();
    panel->EnableOperationButtons(false);
    panel->AppendLogLine("Телефон найден - загрузка лоадеров !");
    panel->SetProgress(0, 100, 37);
    done = true;
  });
  while (!done) Pump(10);
  worker.join();
  EXPECT_EQ(seen.port, "COM241");
  EXPECT_EQ(seen.speed, "921600");
  EXPECT_EQ(seen.source, "Z:\\папка\\файл.bin");
  EXPECT_EQ(seen.offset, "1C00000");
  EXPECT_EQ(seen.length, "01000000");
  EXPECT_FALSE(seen.slave);
  EXPECT_EQ(ButtonsEnabled(), (std::vector<bool>{false, false, false}));
  EXPECT_EQ(wd::Lines(Form1->Memo1->Handle()),
            (std::vector<std::wstring>{L"Телефон найден - загрузка лоадеров !"}));
  EXPECT_EQ(SendMessageW(Form1->ProgressBar1->Handle(), PBM_GETPOS, 0, 0), 37);

  // Once the form is gone the panel does nothing, from any thread.
  delete Form1;
  Form1 = nullptr;
  std::thread late([&] {
    EXPECT_EQ(panel->SelectedPortName(), "");
    panel->AppendLogLine("после закрытия");
    panel->EnableOperationButtons(true);
  });
  late.join();
}

TEST_F(FormTest, TextsFitTheirControls) {
  CreateForm();
  TForm1& f = *Form1;
  // Room left for the text: a check box's mark, a button's edges, a group box's corners.
  struct Case {
    TControl* control;
    int reserved;
  } cases[] = {
      {f.Label1, 0},        {f.Label2, 0},     {f.Label3, 0},     {f.Label4, 0},
      {f.Label5, 0},        {f.Edit1, 4},      {f.Edit2, 4},      {f.Edit3, 4},
      {f.Button1, 8},       {f.Button2, 8},    {f.Button3, 8},    {f.RadioButton1, 18},
      {f.RadioButton2, 18}, {f.GroupBox1, 20}, {f.GroupBox2, 20}, {f.GroupBox3, 20},
  };
  for (const Case& c : cases) {
    const std::wstring text = wd::Text(c.control->Handle());
    SCOPED_TRACE(text);
    EXPECT_LE(TextWidth(c.control->Handle(), text) + c.reserved, ClientWidth(c.control->Handle()));
  }
  // Each hint line fits the memo's text rectangle: no line needs horizontal scrolling.
  RECT text_rect{};
  SendMessageW(f.Memo2->Handle(), EM_GETRECT, 0, reinterpret_cast<LPARAM>(&text_rect));
  for (const std::wstring& line : wd::Lines(f.Memo2->Handle())) {
    SCOPED_TRACE(line);
    EXPECT_LE(TextWidth(f.Memo2->Handle(), line), text_rect.right - text_rect.left);
  }
  for (TComboBox* combo : {f.ComboBox1, f.ComboBox2}) {
    for (const std::wstring& item : ComboItems(combo->Handle())) {
      SCOPED_TRACE(item);
      EXPECT_LE(TextWidth(combo->Handle(), item) + GetSystemMetrics(SM_CXVSCROLL) + 6,
                ClientWidth(combo->Handle()));
    }
  }
}

TEST_F(FormTest, ScreenshotOfTheWindow) {
  CreateForm();
  Form1->Memo1->Lines().Add("подлючите телефон и нажмите кнопку включения");
  Form1->Memo1->Lines().Add("Телефон найден - загрузка лоадеров !");
  Form1->ProgressBar1->SetParams(40, 0, 100);
  SetForegroundWindow(Form1->Handle());
  // The X server shows the window a little later: wait until the picture is not one colour.
  Picture picture;
  bool drawn = false;
  for (int attempt = 0; attempt < 50 && !drawn; ++attempt) {
    Pump(200);
    picture = Capture(Form1->Handle());
    drawn = std::any_of(picture.pixels.begin(), picture.pixels.end(),
                        [&](char c) { return c != picture.pixels[0]; });
  }
  EXPECT_TRUE(drawn);
  Pump(300);
  picture = Capture(Form1->Handle());
  EXPECT_TRUE(SaveBmp(picture, FullPath(L"Quarrion-form.bmp")));
}

}  // namespace
