// The application object of a dialog test: a registry profile of this process (tests run in
// parallel processes) and every message box recorded and answered instead of shown.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "CWinApp.h"

class AnsweringApp : public CWinApp {
 public:
  // yes_no answers the boxes that ask yes or no; every other box is answered IDOK.
  explicit AnsweringApp(const std::wstring& test_name, int yes_no = IDYES)
      : yesNo(yes_no), profile_(test_name + std::to_wstring(GetCurrentProcessId())) {
    SetRegistryKey(L"KESTA Tools");
    SetProfileName(profile_.c_str());
  }
  int DoMessageBox(const wchar_t* text, UINT type) override {
    boxes.emplace_back(text);
    types.push_back(type);
    if (onBox) onBox(text);
    return (type & MB_TYPEMASK) == MB_YESNO ? yesNo : IDOK;
  }
  // The profile's key under HKEY_CURRENT_USER.
  std::wstring RegRoot() const { return L"Software\\KESTA Tools\\" + profile_; }

  std::vector<std::wstring> boxes;
  std::vector<UINT> types;
  std::function<void(const std::wstring&)> onBox;
  int yesNo;

 private:
  std::wstring profile_;
};
