// Drives a running Quarrion through its window as a user would: writes a file into the
// master chip's NOR at an offset, dumps the same range back, erases it, and takes a picture.
//
// quarrion_demo <port> <sample file> <offset hex> <length hex> <dump file> <screenshot.bmp>
//               <NOR image after the write> <NOR image after the erase>
// The NOR images are saved by the phone simulator (Linux paths; PHONE_SIM_CONTROL names it).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "phone_sim_control.h"
#include "window_driver.h"

namespace wd = window_driver;

namespace {

const std::wstring kTitle = wd::Widen("R4417 флешер дампер версия 1.00");
constexpr DWORD kOperationTimeout = 180000;

void Say(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

struct Form {
  HWND window = nullptr;
  HWND port_list = nullptr, speed_list = nullptr;
  HWND file_edit = nullptr, offset_edit = nullptr, length_edit = nullptr;
  HWND write_button = nullptr, dump_button = nullptr, erase_button = nullptr;
  HWND master_radio = nullptr;
  HWND log = nullptr;
};

bool FindControls(Form& f) {
  auto button = [&](const char* caption) {
    return wd::FindChildByText(f.window, L"Button", wd::Widen(caption));
  };
  f.write_button = button("Прошивка");
  f.dump_button = button("Дамп");
  f.erase_button = button("Стирание");
  f.master_radio = button("Работа с мастер частью");
  f.file_edit = wd::FindChildByText(f.window, L"Edit", wd::Widen("Двойной клик для выбора"));
  f.offset_edit = wd::FindChildByText(f.window, L"Edit", L"00000000");
  f.length_edit = wd::FindChildByText(f.window, L"Edit", L"01000000");
  for (HWND combo : wd::Children(f.window, L"ComboBox")) {
    const auto items = wd::ComboItems(combo);
    const bool speeds = !items.empty() && items[0] == L"115200";
    (speeds ? f.speed_list : f.port_list) = combo;
  }
  // The log is the memo that does not hold the hint on the NOR areas.
  for (HWND edit : wd::Children(f.window, L"Edit")) {
    if (!(GetWindowLongW(edit, GWL_STYLE) & ES_MULTILINE)) continue;
    if (wd::Text(edit).find(wd::Widen("На память")) == std::wstring::npos) f.log = edit;
  }
  return f.write_button && f.dump_button && f.erase_button && f.master_radio && f.file_edit &&
         f.offset_edit && f.length_edit && f.port_list && f.speed_list && f.log;
}

bool ButtonsEnabled(const Form& f) {
  return wd::IsEnabled(f.write_button) && wd::IsEnabled(f.dump_button) &&
         wd::IsEnabled(f.erase_button);
}

// Waits for the worker to finish (buttons disabled, then enabled again) and returns the log
// lines the run added.
std::vector<std::wstring> Finish(const Form& f, std::size_t before) {
  wd::WaitUntil([&] { return !ButtonsEnabled(f); }, 5000);
  wd::WaitUntil([&] { return ButtonsEnabled(f); }, kOperationTimeout);
  std::vector<std::wstring> lines = wd::Lines(f.log);
  lines.erase(lines.begin(),
              lines.begin() + static_cast<std::ptrdiff_t>(std::min(before, lines.size())));
  for (const auto& line : lines) Say("    | " + wd::Narrow(line));
  return lines;
}

std::vector<std::wstring> Run(const Form& f, HWND button) {
  const std::size_t before = wd::Lines(f.log).size();
  wd::Click(button);
  return Finish(f, before);
}

bool Contains(const std::vector<std::wstring>& lines, const char* text) {
  for (const auto& line : lines) {
    if (line == wd::Widen(text)) return true;
  }
  return false;
}

// The save dialog that the dump button opens: type the file name and confirm.
bool AnswerSaveDialog(const Form& f, const std::wstring& file) {
  HWND dialog = wd::WaitForDialogOf(f.window, 10000);
  if (!dialog) return false;
  HWND name = GetDlgItem(dialog, 0x47C);        // file name combo
  if (!name) name = GetDlgItem(dialog, 0x480);  // file name edit
  if (!name) return false;
  wd::SetText(name, file);
  wd::Click(GetDlgItem(dialog, IDOK));
  return wd::WaitUntil([&] { return !IsWindow(dialog); }, 10000);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 9) {
    Say("usage: quarrion_demo <port> <sample> <offset> <length> <dump> <shot.bmp> <nor1> <nor2>");
    return 2;
  }
  const std::wstring port = argv[1], sample = argv[2], offset = argv[3], length = argv[4],
                     dump = argv[5], shot = argv[6];
  const std::string nor_after_write = wd::Narrow(argv[7]), nor_after_erase = wd::Narrow(argv[8]);
  phone_sim::PhoneSimControl phone;

  Form f;
  f.window = wd::WaitForTopWindow(kTitle, 120000);
  if (!f.window) {
    Say("Quarrion's window did not appear.");
    return 1;
  }
  if (!FindControls(f)) {
    Say("Quarrion's window lacks a control the demo needs.");
    return 1;
  }
  Say("Found Quarrion's window and its controls.");

  SendMessageW(f.port_list, CB_SHOWDROPDOWN, TRUE, 0);
  SendMessageW(f.port_list, CB_SHOWDROPDOWN, FALSE, 0);
  if (!wd::SelectComboItem(f.port_list, port)) {
    Say("The port list does not offer " + wd::Narrow(port) + ".");
    return 1;
  }
  wd::SelectComboItem(f.speed_list, L"921600");
  wd::Click(f.master_radio);
  wd::SetText(f.file_edit, sample);
  wd::SetText(f.offset_edit, offset);
  wd::SetText(f.length_edit, length);
  Say("Chose port " + wd::Narrow(port) + " at 921600 baud, the master chip, offset " +
      wd::Narrow(offset) + ", length " + wd::Narrow(length) + ".");

  bool ok = true;
  Say("Pressing \"Прошивка\" (write) ...");
  ok = Contains(Run(f, f.write_button), "Флеширование выполнено успешно") && ok;
  phone.NorSave(phone_sim::SimChip::kMaster, nor_after_write);

  Say("Switching the phone off and on again, then pressing \"Дамп\" (dump) ...");
  phone.Power(false);
  phone.Power(true);
  const std::size_t before = wd::Lines(f.log).size();
  wd::Click(f.dump_button);
  if (!AnswerSaveDialog(f, dump)) {
    Say("The save dialog could not be answered.");
    return 1;
  }
  const auto lines = Finish(f, before);
  ok = Contains(lines, "Дамп выполнен успешно") && ok;

  wd::SaveScreenshot(f.window, shot);

  Say("Switching the phone off and on again, then pressing \"Стирание\" (erase) ...");
  phone.Power(false);
  phone.Power(true);
  const auto erase_lines = Run(f, f.erase_button);
  ok = !Contains(erase_lines, "Ошибка операции") && ok;
  phone.NorSave(phone_sim::SimChip::kMaster, nor_after_erase);

  PostMessageW(f.window, WM_CLOSE, 0, 0);
  return ok ? 0 : 1;
}
