// The Windows side of the component library, in a real Wine session.
#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ComCtrls.h"
#include "Forms.h"
#include "Registry.h"
#include "StdCtrls.h"
#include "Thread.h"
#include "window_driver.h"

namespace {

std::wstring WindowTextW(HWND h) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(h, buffer, 1024);
  return buffer;
}

std::wstring ComboItem(HWND combo, int index) {
  wchar_t buffer[256] = {};
  SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

// Pumps this thread's messages until done() or the time runs out.
bool PumpUntil(const std::function<bool()>& done, DWORD timeout_ms = 10000) {
  timeout_ms = window_driver::WaitMs(timeout_ms);
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > timeout_ms) return false;
    Application->ProcessMessages();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application->Initialize();
    Application->OnException = [this](TObject*, std::exception_ptr e) {
      handled.push_back(TApplication::ExceptionMessage(e));
    };
    try {
      form = std::make_unique<TForm>();
    } catch (const Exception& e) {
      FAIL() << e.Message();
    }
  }
  void TearDown() override {
    form.reset();
    Application->OnException = nullptr;
  }

  std::unique_ptr<TForm> form;
  std::vector<std::string> handled;
};

TEST_F(LibraryTest, TextsRoundTripThroughTheWideApi) {
  // UTF-8 in, UTF-16 at the window (the literals are the independent reference), UTF-8 out.
  struct Case {
    std::string utf8;
    std::wstring wide;
  } cases[] = {
      {"Тип  - мастер или слейв", L"Тип  - мастер или слейв"},
      {"           На память R4417", L"           На память R4417"},
      {"Ошибка чек суммы ёЁ", L"Ошибка чек суммы ёЁ"},
      {"한국어 and ASCII", L"한국어 and ASCII"},
      {"", L""},
  };
  auto* label = new TLabel(form.get());
  auto* edit = new TEdit(form.get());
  auto* group = new TGroupBox(form.get());
  auto* button = new TButton(group);
  std::vector<TControl*> controls{form.get(), label, edit, group, button};
  for (const Case& c : cases) {
    for (TControl* control : controls) {
      control->SetText(c.utf8);
      EXPECT_EQ(WindowTextW(control->Handle()), c.wide);
      EXPECT_EQ(control->Text(), c.utf8);
    }
    SetWindowTextW(edit->Handle(), c.wide.c_str());
    EXPECT_EQ(edit->Text(), c.utf8);
  }
  EXPECT_EQ(GetParent(button->Handle()), group->Handle());
  EXPECT_EQ(GetParent(group->Handle()), form->Handle());
}

TEST_F(LibraryTest, SingleBorderFormKeepsItsClientArea) {
  form->SetBorderStyle(TFormBorderStyle::bsSingle);
  form->SetClientSize(530, 363);
  RECT r{};
  GetClientRect(form->Handle(), &r);
  EXPECT_EQ(r.right, 530);
  EXPECT_EQ(r.bottom, 363);
  EXPECT_EQ(form->ClientWidth(), 530);
  EXPECT_EQ(form->ClientHeight(), 363);
  const LONG style = GetWindowLongW(form->Handle(), GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
}

TEST_F(LibraryTest, MemoLinesAddCountAndClear) {
  auto* memo = new TMemo(form.get(), TScrollStyle::ssVertical, false);
  TStrings& lines = memo->Lines();
  EXPECT_EQ(lines.Count(), 0);
  const std::vector<std::string> expected{"первая", "", "  третья", "last"};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(lines.Add(expected[i]), static_cast<int>(i));
  }
  ASSERT_EQ(lines.Count(), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(lines[i], expected[static_cast<std::size_t>(i)]);
  EXPECT_EQ(WindowTextW(memo->Handle()), L"первая\r\n\r\n  третья\r\nlast\r\n");
  EXPECT_THROW(lines.Get(4), EStringListError);
  EXPECT_THROW(lines.Get(-1), EStringListError);

  // Text typed without a final line break: the next line starts on a line of its own.
  SetWindowTextW(memo->Handle(), L"typed");
  EXPECT_EQ(lines.Count(), 1);
  lines.Add("next");
  EXPECT_EQ(WindowTextW(memo->Handle()), L"typed\r\nnext\r\n");

  lines.Clear();
  EXPECT_EQ(lines.Count(), 0);
  EXPECT_EQ(WindowTextW(memo->Handle()), L"");

  const LONG style = GetWindowLongW(memo->Handle(), GWL_STYLE);
  EXPECT_TRUE(style & WS_VSCROLL);
  EXPECT_FALSE(style & WS_HSCROLL);
  EXPECT_TRUE(style & ES_AUTOHSCROLL);  // no word wrap
  auto* wrapping = new TMemo(form.get(), TScrollStyle::ssVertical, true);
  EXPECT_FALSE(GetWindowLongW(wrapping->Handle(), GWL_STYLE) & ES_AUTOHSCROLL);
}

TEST_F(LibraryTest, EditMaxLengthAndDoubleClick) {
  auto* edit = new TEdit(form.get());
  edit->SetMaxLength(8);
  EXPECT_EQ(edit->MaxLength(), 8);
  EXPECT_EQ(SendMessageW(edit->Handle(), EM_GETLIMITTEXT, 0, 0), 8);
  // Typed characters stop at the limit.
  SendMessageW(edit->Handle(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  for (wchar_t ch : std::wstring(L"0123456789")) SendMessageW(edit->Handle(), WM_CHAR, ch, 0);
  EXPECT_EQ(WindowTextW(edit->Handle()), L"01234567");

  int clicks = 0;
  TObject* sender = nullptr;
  edit->OnDblClick = [&](TObject* s) {
    ++clicks;
    sender = s;
  };
  SendMessageW(edit->Handle(), WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(2, 2));
  SendMessageW(edit->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(sender, edit);
}

TEST_F(LibraryTest, ComboRefillsOnDropDown) {
  auto* group = new TGroupBox(form.get());  // notifications reach the combo through its parent
  auto* combo = new TComboBox(group);
  combo->SetBounds(10, 20, 120, 21);
  EXPECT_TRUE(GetWindowLongW(combo->Handle(), GWL_STYLE) & CBS_DROPDOWNLIST);
  combo->Items().Add("старый");
  int drops = 0;
  combo->OnDropDown = [&](TObject* s) {
    EXPECT_EQ(s, combo);
    ++drops;
    combo->Items().Clear();
    for (int i = 0; i < drops + 1; ++i) combo->Items().Add("COM" + std::to_string(10 + i));
    combo->SetItemIndex(0);
  };
  form->Show();
  for (int round = 1; round <= 2; ++round) {
    SendMessageW(combo->Handle(), CB_SHOWDROPDOWN, TRUE, 0);
    SendMessageW(combo->Handle(), CB_SHOWDROPDOWN, FALSE, 0);
    EXPECT_EQ(drops, round);
    ASSERT_EQ(SendMessageW(combo->Handle(), CB_GETCOUNT, 0, 0), round + 1);
    for (int i = 0; i <= round; ++i) {
      EXPECT_EQ(ComboItem(combo->Handle(), i), L"COM" + std::to_wstring(10 + i));
    }
  }
  EXPECT_EQ(combo->ItemIndex(), 0);
  EXPECT_EQ(combo->Text(), "COM10");
  combo->SetItemIndex(-1);
  EXPECT_EQ(combo->Text(), "");
  EXPECT_THROW(combo->Items().Get(7), EStringListError);
}

TEST_F(LibraryTest, ButtonsRadioButtonsAndProgressBar) {
  auto* button = new TButton(form.get());
  button->SetBounds(10, 10, 80, 25);  // BM_CLICK presses inside the button
  int clicks = 0;
  button->OnClick = [&](TObject*) { ++clicks; };
  form->Show();
  SendMessageW(button->Handle(), BM_CLICK, 0, 0);
  EXPECT_EQ(clicks, 1);
  button->SetEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(button->Handle()));
  EXPECT_FALSE(button->Enabled());
  button->SetEnabled(true);
  EXPECT_TRUE(IsWindowEnabled(button->Handle()));

  auto* group = new TGroupBox(form.get());
  auto* first = new TRadioButton(group);
  auto* second = new TRadioButton(group);
  second->SetChecked(true);
  EXPECT_EQ(SendMessageW(second->Handle(), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_FALSE(first->Checked());
  first->SetChecked(true);
  EXPECT_TRUE(first->Checked());
  EXPECT_FALSE(second->Checked());

  auto* bar = new TProgressBar(form.get());
  EXPECT_EQ(bar->Min(), 0);
  EXPECT_EQ(bar->Max(), 100);
  bar->SetParams(40, 0, 100);
  EXPECT_EQ(SendMessageW(bar->Handle(), PBM_GETPOS, 0, 0), 40);
  bar->SetMax(200);
  bar->SetPosition(150);
  EXPECT_EQ(bar->Position(), 150);
  EXPECT_EQ(SendMessageW(bar->Handle(), PBM_GETRANGE, FALSE, 0), 200);
}

TEST_F(LibraryTest, HandlerExceptionsGoToTheApplicationHandler) {
  auto* button = new TButton(form.get());
  button->SetBounds(10, 10, 80, 25);
  button->OnClick = [](TObject*) { throw EConvertError("'zz' is not a valid hexadecimal value"); };
  form->Show();
  SendMessageW(button->Handle(), BM_CLICK, 0, 0);
  ASSERT_EQ(handled.size(), 1u);
  EXPECT_EQ(handled[0], "'zz' is not a valid hexadecimal value");
  // The window still works after the exception.
  button->OnClick = nullptr;
  button->SetText("ok");
  EXPECT_EQ(WindowTextW(button->Handle()), L"ok");
}

class RecordingThread : public TThread {
 public:
  explicit RecordingThread(bool suspended, bool fail) : TThread(suspended), fail_(fail) {
    Sleep(50);  // a late-finishing constructor: Execute must still see its work
    ready_ = 42;
  }
  int seen = 0;
  DWORD thread_seen = 0;

 protected:
  void Execute() override {
    seen = ready_;
    thread_seen = GetCurrentThreadId();
    ReturnValue = 7;
    if (fail_) throw EAbort("worker failed");
  }

 private:
  bool fail_;
  int ready_ = 0;
};

TEST(TThreadTest, ExecuteRunsAfterConstructionAndExceptionsAreKept) {
  struct Case {
    bool suspended;
    bool fail;
  } cases[] = {{false, false}, {false, true}, {true, false}, {true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.suspended) + "/" + std::to_string(c.fail));
    RecordingThread thread(c.suspended, c.fail);
    ASSERT_NE(thread.Handle(), nullptr);
    EXPECT_NE(thread.ThreadID(), 0u);
    if (c.suspended) {
      EXPECT_THROW(thread.WaitFor(), EThread);
      thread.Start();
    }
    EXPECT_EQ(thread.WaitFor(), 7u);
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(thread.seen, 42);
    EXPECT_EQ(thread.thread_seen, thread.ThreadID());
    if (c.fail) {
      ASSERT_TRUE(thread.FatalException());
      EXPECT_EQ(TApplication::ExceptionMessage(thread.FatalException()), "worker failed");
    } else {
      EXPECT_FALSE(thread.FatalException());
    }
  }
}

class SignallingThread : public TThread {
 public:
  SignallingThread(HANDLE done) : TThread(false), done_(done) { FreeOnTerminate = true; }
  ~SignallingThread() override { SetEvent(done_); }

 protected:
  void Execute() override {}

 private:
  HANDLE done_;
};

TEST(TThreadTest, FreeOnTerminateAndNeverStartedThreads) {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto* thread = new SignallingThread(done);
  EXPECT_THROW(thread->WaitFor(), EThread);
  TThread::StartPendingThreads();
  EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
  CloseHandle(done);

  // Destroying a thread that never ran neither runs Execute nor hangs.
  auto* idle = new RecordingThread(true, false);
  delete idle;
}

// A worker that drives the controls while the user-interface thread pumps messages.
class ControlDriver : public TThread {
 public:
  ControlDriver(TButton& button, TMemo& memo, TProgressBar& bar, TEdit& edit)
      : TThread(true), button_(button), memo_(memo), bar_(bar), edit_(edit) {}
  std::atomic<int> done{0};
  std::string text_read;

 protected:
  void Execute() override {
    for (int i = 0; i < 200; ++i) {
      button_.SetEnabled(i % 2 == 1);
      memo_.Lines().Add("строка " + std::to_string(i));
      bar_.SetParams(i % 101, 0, 100);
      text_read = edit_.Text();
      done = i + 1;
    }
  }

 private:
  TButton& button_;
  TMemo& memo_;
  TProgressBar& bar_;
  TEdit& edit_;
};

TEST_F(LibraryTest, WorkerCallsWhileTheInterfacePumpsDoNotDeadlock) {
  auto* button = new TButton(form.get());
  auto* memo = new TMemo(form.get(), TScrollStyle::ssVertical, true);
  auto* bar = new TProgressBar(form.get());
  auto* edit = new TEdit(form.get());
  edit->SetText("Смещение");
  form->Show();

  // Once with a message loop on this thread, once with WaitFor (which must deliver the
  // worker's sent messages itself).
  for (int round = 0; round < 2; ++round) {
    memo->Lines().Clear();
    ControlDriver driver(*button, *memo, *bar, *edit);
    driver.Start();
    if (round == 0) {
      EXPECT_TRUE(PumpUntil([&] { return driver.Finished(); }));
    }
    driver.WaitFor();
    EXPECT_EQ(driver.done.load(), 200);
    EXPECT_FALSE(driver.FatalException());
    EXPECT_EQ(driver.text_read, "Смещение");
    EXPECT_EQ(memo->Lines().Count(), 200);
    EXPECT_EQ(memo->Lines()[199], "строка 199");
    EXPECT_TRUE(IsWindowEnabled(button->Handle()));
    EXPECT_EQ(SendMessageW(bar->Handle(), PBM_GETPOS, 0, 0), 199 % 101);
  }
}

class InvokeThrower : public TThread {
 public:
  explicit InvokeThrower(TControl& control) : TThread(true), control_(control) {}
  std::string caught;

 protected:
  void Execute() override {
    try {
      control_.Invoke([] { throw EConvertError("bad value"); });
    } catch (const EConvertError& e) {
      caught = e.Message();
    }
  }

 private:
  TControl& control_;
};

TEST_F(LibraryTest, InvokeRethrowsInTheCallingThread) {
  InvokeThrower thread(*form);
  thread.Start();
  thread.WaitFor();
  EXPECT_EQ(thread.caught, "bad value");
  EXPECT_TRUE(handled.empty());
}

TEST_F(LibraryTest, CallsAfterTheWindowIsGoneDoNothing) {
  auto* memo = new TMemo(form.get(), TScrollStyle::ssVertical, true);
  auto* button = new TButton(form.get());
  auto* bar = new TProgressBar(form.get());
  auto* edit = new TEdit(form.get());
  DestroyWindow(form->Handle());
  EXPECT_EQ(form->Handle(), nullptr);
  EXPECT_EQ(memo->Handle(), nullptr);
  ControlDriver driver(*button, *memo, *bar, *edit);
  driver.Start();
  driver.WaitFor();
  EXPECT_EQ(driver.done.load(), 200);
  EXPECT_EQ(driver.text_read, "");
  EXPECT_EQ(memo->Lines().Count(), 0);
  EXPECT_FALSE(form->Enabled());
}

// HKLM key of this process's own, removed afterwards.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = L"Software\\ComponentLibraryTest\\" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
  }
  void SetString(const wchar_t* name, const std::wstring& data, DWORD type = REG_SZ) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  std::string PathUtf8() const { return std::string(path.begin(), path.end()); }

  std::wstring path;
  HKEY key = nullptr;
};

TEST_F(RegistryTest, ReadsValueNamesAndStrings) {
  SetString(L"\\Device\\Serial0", L"COM3");
  SetString(L"\\Device\\Serial1", L"COM12");
  SetString(L"Порт", L"Ком порт 5");
  SetString(L"expand", L"%SystemRoot%\\x", REG_EXPAND_SZ);
  const DWORD number = 5;
  ASSERT_EQ(RegSetValueExW(key, L"number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                           sizeof number),
            ERROR_SUCCESS);
  // A string without its terminating zero.
  const std::wstring bare = L"COM4";
  ASSERT_EQ(RegSetValueExW(key, L"bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(bare.data()),
                           static_cast<DWORD>(bare.size() * sizeof(wchar_t))),
            ERROR_SUCCESS);

  // The registry's own order is the reference.
  std::vector<std::string> expected_names;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    char utf8[512];
    const int n = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), utf8, 512,
                                      nullptr, nullptr);
    expected_names.emplace_back(utf8, static_cast<std::size_t>(n));
  }
  ASSERT_EQ(expected_names.size(), 6u);

  TRegistry registry;
  registry.RootKey = HKEY_LOCAL_MACHINE;
  ASSERT_TRUE(registry.OpenKeyReadOnly("\\" + PathUtf8()));
  TStringList names;
  names.Add("stale");
  registry.GetValueNames(names);
  ASSERT_EQ(names.Count(), 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(names[i], expected_names[static_cast<std::size_t>(i)]);

  EXPECT_EQ(registry.ReadString("\\Device\\Serial0"), "COM3");
  EXPECT_EQ(registry.ReadString("\\Device\\Serial1"), "COM12");
  EXPECT_EQ(registry.ReadString("Порт"), "Ком порт 5");
  EXPECT_EQ(registry.ReadString("expand"), "%SystemRoot%\\x");
  EXPECT_EQ(registry.ReadString("bare"), "COM4");
  EXPECT_EQ(registry.ReadString("missing"), "");
  EXPECT_THROW(registry.ReadString("number"), ERegistryException);

  // Read-only: the key can't be written through the handle it opened.
  const DWORD other = 6;
  EXPECT_NE(RegSetValueExW(registry.CurrentKey(), L"new", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&other), sizeof other),
            ERROR_SUCCESS);
  registry.CloseKey();
  EXPECT_EQ(registry.ReadString("\\Device\\Serial0"), "");
}

TEST_F(RegistryTest, MissingAndEmptyKeys) {
  TRegistry registry;
  registry.RootKey = HKEY_LOCAL_MACHINE;
  EXPECT_FALSE(registry.OpenKeyReadOnly(PathUtf8() + "\\absent"));
  TStringList names;
  names.Add("stale");
  registry.GetValueNames(names);
  EXPECT_EQ(names.Count(), 0);
  ASSERT_TRUE(registry.OpenKeyReadOnly(PathUtf8()));
  registry.GetValueNames(names);
  EXPECT_EQ(names.Count(), 0);
}

}  // namespace
