#include "ExceptionLog.h"

#include <cstdint>
#include <iterator>
#include <string_view>

#include "VCore.h"

namespace ExceptionLog {

namespace {

constexpr char kCoordinates[] = "Coordinates";
constexpr char kUser[] = "User";

std::string& SettingsFile() {
  static std::string file = kWindowSettingsFile;
  return file;
}

struct TColumn {
  const char* key;
  int width;
};
// In the order the pages show them.
constexpr TColumn kCallStackColumns[] = {{"Col0", 89},  {"Col1", 92},  {"Col2", 126},
                                         {"Col3", 126}, {"Col4", 200}, {"Col5", 61}};
constexpr TColumn kModulesColumns[] = {{"ColMod0", 80}, {"ColMod1", 96}, {"ColMod2", 175},
                                       {"ColMod3", 50}, {"ColMod4", 54}, {"ColMod6", 80},
                                       {"ColMod5", 712}};
constexpr TColumn kProcessesColumns[] = {{"ColPro0", 48}, {"ColPro1", 134}, {"ColPro2", 232},
                                         {"ColPro3", 56}, {"ColPro4", 57},  {"ColPro5", 47},
                                         {"ColPro6", 52}, {"ColPro7", 330}};

const TColumn* ColumnOf(TListPage page, int column) {
  if (column < 0 || column >= ColumnCount(page)) return nullptr;
  switch (page) {
    case TListPage::CallStack:
      return &kCallStackColumns[column];
    case TListPage::Modules:
      return &kModulesColumns[column];
    case TListPage::Processes:
      return &kProcessesColumns[column];
  }
  return nullptr;
}

// A decimal integer with an optional sign, blanks around it allowed; false for anything else
// or a value out of range.
bool ParseInt(std::string_view text, int& value) {
  const std::string trimmed = VCore::Trim(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < trimmed.size() && (trimmed[i] == '-' || trimmed[i] == '+'))
    negative = trimmed[i++] == '-';
  if (i == trimmed.size()) return false;
  std::int64_t v = 0;
  for (; i < trimmed.size(); ++i) {
    if (trimmed[i] < '0' || trimmed[i] > '9') return false;
    v = v * 10 + (trimmed[i] - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  value = static_cast<int>(v);
  return true;
}

void WriteInt(const char* section, const char* key, int value) {
  VCore::IniWriteValue(SettingsFile(), section, key, std::to_string(value));
}

}  // namespace

const std::string& WindowSettingsFile() { return SettingsFile(); }
void SetWindowSettingsFile(std::string file) { SettingsFile() = std::move(file); }

int ReadSettingsInt(const std::string& section, const std::string& key, int default_value) {
  const std::string text =
      VCore::IniReadValue(SettingsFile(), section, key, std::to_string(default_value));
  int value;
  return ParseInt(text, value) ? value : default_value;
}

TDialogPlacement LoadDialogPlacement(const RECT& work, int extra_height) {
  const int work_width = work.right - work.left;
  const int work_height = work.bottom - work.top;
  TDialogPlacement p;
  p.width = ReadSettingsInt(kCoordinates, "Width", 745);
  p.height = ReadSettingsInt(kCoordinates, "Height", 468);
  p.left = ReadSettingsInt(kCoordinates, "Left", work.left + (work_width - p.width) / 2);
  p.top =
      ReadSettingsInt(kCoordinates, "Top", work.top + (work_height - p.height - extra_height) / 2);
  p.state = ReadSettingsInt(kCoordinates, "WindowsState", 1);
  if (p.top < work.top || work.bottom < p.top + p.height || p.left < work.left ||
      work.right < p.left + p.width) {
    p.left = work.left + (work_width - p.width) / 2;
    p.top = work.top + (work_height - p.height) / 2;
  }
  return p;
}

void SaveDialogPlacement(const TRememberedPlacement& r) {
  if (r.width == 0) return;
  if (r.state == 1) {
    WriteInt(kCoordinates, "Width", r.width);
    WriteInt(kCoordinates, "Height", r.height - r.extra_height);
    WriteInt(kCoordinates, "Left", r.left);
    WriteInt(kCoordinates, "Top", r.top);
  }
  WriteInt(kCoordinates, "WindowsState", r.state);
}

int ColumnCount(TListPage page) {
  switch (page) {
    case TListPage::CallStack:
      return static_cast<int>(std::size(kCallStackColumns));
    case TListPage::Modules:
      return static_cast<int>(std::size(kModulesColumns));
    case TListPage::Processes:
      return static_cast<int>(std::size(kProcessesColumns));
  }
  return 0;
}

std::string ColumnKey(TListPage page, int column) {
  const TColumn* c = ColumnOf(page, column);
  return c ? c->key : "";
}

int ReadColumnWidth(TListPage page, int column) {
  const TColumn* c = ColumnOf(page, column);
  return c ? ReadSettingsInt(kCoordinates, c->key, c->width) : 0;
}

void SaveColumnWidth(TListPage page, int column, int width) {
  if (const TColumn* c = ColumnOf(page, column)) WriteInt(kCoordinates, c->key, width);
}

std::string ReadUserEmail() { return VCore::IniReadValue(SettingsFile(), kUser, "Email", ""); }

void SaveUserEmail(const std::string& email) {
  VCore::IniWriteValue(SettingsFile(), kUser, "Email", email);
}

}  // namespace ExceptionLog
