// One step on the window settings file per run, so that every read comes from a fresh process.
// Usage: vantorlog_settings_child <ini> save <left> <top> <width> <height> <state> <extra>
//        vantorlog_settings_child <ini> column <page 0-2> <column> <width>
//        vantorlog_settings_child <ini> email <text>
//        vantorlog_settings_child <ini> load <work left> <top> <right> <bottom> <extra>
// load prints the placement, the widths of the three pages and the e-mail address.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "report/ExceptionLog.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  ExceptionLog::SetWindowSettingsFile(argv[1]);
  const std::string command = argv[2];
  auto arg = [&](int i) { return i < argc ? std::atoi(argv[i]) : 0; };
  if (command == "save" && argc == 9) {
    ExceptionLog::SaveDialogPlacement({arg(3), arg(4), arg(5), arg(6), arg(7), arg(8)});
  } else if (command == "column" && argc == 6) {
    ExceptionLog::SaveColumnWidth(static_cast<ExceptionLog::TListPage>(arg(3)), arg(4), arg(5));
  } else if (command == "email" && argc == 4) {
    ExceptionLog::SaveUserEmail(argv[3]);
  } else if (command == "load" && argc == 8) {
    const RECT work{arg(3), arg(4), arg(5), arg(6)};
    const ExceptionLog::TDialogPlacement p = ExceptionLog::LoadDialogPlacement(work, arg(7));
    std::printf("placement %d %d %d %d %d\n", p.left, p.top, p.width, p.height, p.state);
    const char* names[] = {"stack", "modules", "processes"};
    for (int page = 0; page < 3; ++page) {
      const auto list = static_cast<ExceptionLog::TListPage>(page);
      std::printf("%s", names[page]);
      for (int c = 0; c < ExceptionLog::ColumnCount(list); ++c)
        std::printf(" %d", ExceptionLog::ReadColumnWidth(list, c));
      std::printf("\n");
    }
    std::printf("email %s\n", ExceptionLog::ReadUserEmail().c_str());
  } else {
    return 2;
  }
  return 0;
}
