// A program linked as Quarrion is (vantorlog_program), with the leak tracker switched on by its
// debug data: it frees a block twice and leaves blocks from two places; the library, started
// and stopped by the program's start and end, writes both reports into its log. With "none" it
// frees everything it takes: nothing is reported.
// Usage: vantorlog_leak_scenario <log folder> [none]
#include <cstring>
#include <string>

#include "VModules.h"
#include "VSystem.h"
#include "core/ExceptionLog.h"

class TLeakyWidget {
 public:
  virtual ~TLeakyWidget() = default;
  int parts[5] = {1, 2, 3, 4, 5};
};

TLeakyWidget* g_widgets[3];
char* g_buffer;

namespace {

[[gnu::noinline]] void LeakWidgets() {
  for (TLeakyWidget*& w : g_widgets) w = new TLeakyWidget;  // widget-site
}
[[gnu::noinline]] void LeakBuffer() {
  g_buffer = new char[100];  // buffer-site
  std::memset(g_buffer, 1, 100);
}
[[gnu::noinline]] void FreeTwice() {
  void* volatile block = ::operator new(48);
  ::operator delete(block);
  ::operator delete(block);  // multi-free-site
}

// The log of the reports goes where the test looks: the module's own options, which the
// library's stop leaves for the leak report, and the current ones.
void LogInto(TVantorModuleOptions& options, const char* folder) {
  options.SetLogEnabled(true);
  options.SetWriteLogFile(true);
  options.SetLogFolder(folder);
  options.SetMaxSavedReports(10);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (TVantorModuleInfo* info = VCore::ModuleInfoOfHandle(VCore::ThisModuleHandle()))
    if (info->Options) LogInto(*info->Options, argv[1]);
  if (TVantorModuleOptions* options = ExceptionLog::CurrentOptions()) LogInto(*options, argv[1]);
  if (argc > 2 && std::string(argv[2]) == "none") {
    LeakWidgets();
    LeakBuffer();
    for (TLeakyWidget* w : g_widgets) delete w;
    delete[] g_buffer;
    return 0;
  }
  FreeTwice();
  LeakWidgets();
  LeakBuffer();
  return 0;
}
