// Drives a running Quarrion through its window as a user would: writes a file into the
// master chip's NOR at an offset, dumps the same range back, erases it, and takes a picture.
//
// quarrion_demo <port> <sample file> <offset hex> <length hex> <dump file>
//               <NOR image after the write> <NOR image after the erase>
// The window stays open for a picture; the caller closes the program.
// The NOR images are saved by the phone simulator (Linux paths; PHONE_SIM_CONTROL names it).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "WideText.h"
#include "phone_sim_control.h"
#include "quarrion_window.h"
#include "window_driver.h"

namespace wd = window_driver;

namespace {

void Say(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void Show(const std::vector<std::wstring>& lines) {
  for (const auto& line : lines) Say("    | " + WideToUtf8(line));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 8) {
    Say("usage: quarrion_demo <port> <sample> <offset> <length> <dump> <nor1> <nor2>");
    return 2;
  }
  const std::wstring port = argv[1], sample = argv[2], offset = argv[3], length = argv[4],
                     dump = argv[5];
  const std::string nor_after_write = WideToUtf8(argv[6]), nor_after_erase = WideToUtf8(argv[7]);
  phone_sim::PhoneSimControl phone;

  QuarrionWindow q;
  if (!q.Attach(120000)) {
    Say("Quarrion's window did not appear, or lacks a control the demo needs.");
    return 1;
  }
  Say("Found Quarrion's window and its controls.");

  SendMessageW(q.port_list, CB_SHOWDROPDOWN, TRUE, 0);
  SendMessageW(q.port_list, CB_SHOWDROPDOWN, FALSE, 0);
  if (!wd::SelectComboItem(q.port_list, port)) {
    Say("The port list does not offer " + WideToUtf8(port) + ".");
    return 1;
  }
  wd::SelectComboItem(q.speed_list, L"921600");
  wd::Click(q.master_radio);
  wd::SetText(q.file_edit, sample);
  wd::SetText(q.offset_edit, offset);
  wd::SetText(q.length_edit, length);
  Say("Chose port " + WideToUtf8(port) + " at 921600 baud, the master chip, offset " +
      WideToUtf8(offset) + ", length " + WideToUtf8(length) + ".");

  bool ok = true;
  Say("Pressing \"Прошивка\" (write) ...");
  auto lines = q.Press(q.write_button);
  Show(lines);
  ok = HasLine(lines, "Флеширование выполнено успешно") && ok;
  phone.NorSave(phone_sim::SimChip::kMaster, nor_after_write);

  // A user switches the phone off and on for each operation: the boot starts from its ROM.
  Say("Switching the phone off and on again, then pressing \"Дамп\" (dump) ...");
  phone.Power(false);
  phone.Power(true);
  lines = q.PressDump(dump);
  Show(lines);
  ok = HasLine(lines, "Дамп выполнен успешно") && ok;

  Say("Switching the phone off and on again, then pressing \"Стирание\" (erase) ...");
  phone.Power(false);
  phone.Power(true);
  lines = q.Press(q.erase_button);
  Show(lines);
  ok = !HasLine(lines, "Ошибка операции") && HasLine(lines, "Флеш лоадер загружен") && ok;
  phone.NorSave(phone_sim::SimChip::kMaster, nor_after_erase);

  return ok ? 0 : 1;
}
