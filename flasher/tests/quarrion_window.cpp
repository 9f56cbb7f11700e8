#include "quarrion_window.h"

#include <algorithm>

#include "WideText.h"
#include "window_driver.h"

namespace wd = window_driver;

namespace {
constexpr DWORD kOperationTimeout = 180000;
}

const std::wstring& QuarrionWindow::Title() {
  static const std::wstring title = Utf8ToWide("R4417 флешер дампер версия 1.00");
  return title;
}

bool QuarrionWindow::Attach(DWORD timeout_ms, DWORD process_id) {
  window = wd::WaitForTopWindow(Title(), timeout_ms, process_id);
  if (!window) return false;
  auto button = [&](const char* caption) {
    return wd::FindChildByText(window, L"Button", Utf8ToWide(caption));
  };
  write_button = button("Прошивка");
  dump_button = button("Дамп");
  erase_button = button("Стирание");
  master_radio = button("Работа с мастер частью");
  slave_radio = button("Работа со слейв частью");
  // Edit1 holds its prompt, Edit2 takes at most 8 characters, Edit3 is the third line edit.
  for (HWND edit : wd::Children(window, L"Edit")) {
    if (GetWindowLongW(edit, GWL_STYLE) & ES_MULTILINE) {
      const bool is_hint = wd::Text(edit).find(Utf8ToWide("На память")) != std::wstring::npos;
      (is_hint ? hint : log) = edit;
    } else if (wd::Text(edit) == Utf8ToWide("Двойной клик для выбора")) {
      file_edit = edit;
    } else if (SendMessageW(edit, EM_GETLIMITTEXT, 0, 0) == 8) {
      offset_edit = edit;
    } else {
      length_edit = edit;
    }
  }
  for (HWND combo : wd::Children(window, L"ComboBox")) {
    const auto items = wd::ComboItems(combo);
    const bool speeds = !items.empty() && items[0] == L"115200";
    (speeds ? speed_list : port_list) = combo;
  }
  return write_button && dump_button && erase_button && master_radio && slave_radio && file_edit &&
         offset_edit && length_edit && port_list && speed_list && log && hint;
}

bool QuarrionWindow::ButtonsEnabled() const {
  return wd::IsEnabled(write_button) && wd::IsEnabled(dump_button) && wd::IsEnabled(erase_button);
}

std::vector<std::wstring> QuarrionWindow::LogLines() const { return wd::Lines(log); }

std::vector<std::wstring> QuarrionWindow::Finish(std::size_t lines_before) {
  wd::WaitUntil([&] { return !ButtonsEnabled(); }, 5000);
  wd::WaitUntil([&] { return ButtonsEnabled(); }, kOperationTimeout);
  std::vector<std::wstring> lines = LogLines();
  lines.erase(lines.begin(),
              lines.begin() + static_cast<std::ptrdiff_t>(std::min(lines_before, lines.size())));
  return lines;
}

std::vector<std::wstring> QuarrionWindow::Press(HWND button) {
  const std::size_t before = LogLines().size();
  wd::Click(button);
  return Finish(before);
}

std::vector<std::wstring> QuarrionWindow::PressDump(const std::wstring& file) {
  const std::size_t before = LogLines().size();
  wd::Click(dump_button);
  HWND dialog = wd::WaitForDialogOf(window, 10000);
  if (!dialog) return {L"(no save dialog)"};
  if (file.empty()) {
    wd::Click(GetDlgItem(dialog, IDCANCEL));
    wd::WaitUntil([&] { return !IsWindow(dialog); }, 10000);
    Sleep(500);
    std::vector<std::wstring> lines = LogLines();
    lines.erase(lines.begin(),
                lines.begin() + static_cast<std::ptrdiff_t>(std::min(before, lines.size())));
    return lines;
  }
  HWND name = GetDlgItem(dialog, 0x47C);        // file name combo
  if (!name) name = GetDlgItem(dialog, 0x480);  // file name edit
  wd::SetText(name, file);
  wd::Click(GetDlgItem(dialog, IDOK));
  wd::WaitUntil([&] { return !IsWindow(dialog); }, 10000);
  return Finish(before);
}

bool HasLine(const std::vector<std::wstring>& lines, const char* text) {
  const std::wstring wanted = Utf8ToWide(text);
  return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}
