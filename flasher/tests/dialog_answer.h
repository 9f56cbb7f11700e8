// Answers the next file dialog of this process from another thread (tests that press the
// flasher's buttons in their own process).
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

// Cancels the next file dialog, or types a name and confirms.
class DialogAnswer {
 public:
  explicit DialogAnswer(std::wstring file_name = L"") : file_name_(std::move(file_name)) {
    worker_ = std::thread([this] { Run(); });
  }
  ~DialogAnswer() {
    stop_ = true;
    worker_.join();
  }
  bool Answered() const { return answered_; }

 private:
  static BOOL CALLBACK Find(HWND h, LPARAM param) {
    DWORD process = 0;
    GetWindowThreadProcessId(h, &process);
    wchar_t name[16] = {};
    GetClassNameW(h, name, 16);
    if (process == GetCurrentProcessId() && IsWindowVisible(h) && std::wstring(name) == L"#32770") {
      *reinterpret_cast<HWND*>(param) = h;
      return FALSE;
    }
    return TRUE;
  }
  void Run() {
    HWND dialog = nullptr;
    for (int i = 0; i < 400 && !stop_ && !dialog; ++i) {
      EnumWindows(Find, reinterpret_cast<LPARAM>(&dialog));
      if (!dialog) Sleep(25);
    }
    if (!dialog) return;
    Sleep(200);  // let the dialog finish its start-up
    if (file_name_.empty()) {
      PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
      HWND name_box = GetDlgItem(dialog, 0x47C);            // file name combo box
      if (!name_box) name_box = GetDlgItem(dialog, 0x480);  // file name edit
      SendMessageW(name_box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file_name_.c_str()));
      PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    }
    answered_ = true;
  }

  std::wstring file_name_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> answered_{false};
  std::thread worker_;
};
