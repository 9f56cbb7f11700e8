// A program tracked by the leak tracker (its VLDATA header asks for it) with the library's leak
// callbacks installed: it leaks, frees twice or writes past a block as its argument says; the
// reports go through the processing line, also the one made after main has returned.
// Usage: vantorlog_leak_report_child <two|one|none|errors> <trail file>
//   two:    three widgets from one place and a buffer from another are left;
//   one:    the three widgets only;
//   none:   everything is freed;
//   errors: a block freed twice and a write past a block, then the program goes on.
// Trail lines: "SIZES <widget size> <buffer size>", "main end", "after multi free", "after
// overrun", "report <n>"; each report handed to the log goes to "<trail file>.report.<n>".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "TestLibrary.h"
#include "VLeakCallbacks.h"
#include "VLeaks.h"

class TLeakyWidget {
 public:
  virtual ~TLeakyWidget() = default;
  int parts[5] = {1, 2, 3, 4, 5};
};

// Where the leaked blocks go: seen from outside, so that the compiler keeps them.
TLeakyWidget* g_widgets[3];
char* g_buffer;

namespace {

// Plain values only: the last reports are made after the static objects are gone.
char g_trail[MAX_PATH];
int g_reports = 0;
ExceptionLog::TLeakStateSteps g_library_state{};

void Trail(const char* what) {
  if (FILE* f = std::fopen(g_trail, "ab")) {
    std::fprintf(f, "%s\n", what);
    std::fclose(f);
  }
}

[[gnu::noinline]] void LeakWidgets() {
  for (TLeakyWidget*& w : g_widgets) w = new TLeakyWidget;  // widget-site
}
[[gnu::noinline]] void LeakBuffer() {
  g_buffer = new char[100];  // buffer-site
  std::memset(g_buffer, 1, 100);
}
[[gnu::noinline]] void TidyUp() {
  std::vector<TLeakyWidget*> all;
  for (int i = 0; i < 20; ++i) all.push_back(new TLeakyWidget);
  for (TLeakyWidget* w : all) delete w;
}
[[gnu::noinline]] void FreeTwice() {
  void* volatile block = ::operator new(48);
  ::operator delete(block);
  ::operator delete(block);  // multi-free-site
}
[[gnu::noinline]] void Fill(char* buffer, std::size_t size) { std::memset(buffer, 'x', size); }
[[gnu::noinline]] void WritePastEnd() {
  char* buffer = static_cast<char*>(::operator new[](10));
  Fill(buffer, 11);
  ::operator delete[](buffer);  // overrun-site
}

void NoExitWork() {}

void SaveReport(const std::string& report) {
  // A step that registers an exit procedure, as a first use of a function's static does: at
  // the final leak report the exit procedures are running.
  std::atexit(&NoExitWork);
  char name[MAX_PATH + 16];
  std::snprintf(name, sizeof name, "%s.report.%d", g_trail, ++g_reports);
  if (FILE* f = std::fopen(name, "wb")) {
    std::fwrite(report.data(), 1, report.size(), f);
    std::fclose(f);
  }
  std::snprintf(name, sizeof name, "report %d", g_reports);
  Trail(name);
}

void UseChildSteps() {
  ExceptionLog::TProcessingSteps& steps = ExceptionLog::ProcessingSteps();
  steps.CaptureScreenshot = [] {};
  steps.ReleaseScreenshot = [] {};
  steps.SaveReportToLog = &SaveReport;
}

// The state the leak report rebuilds; the processing steps of this child with it (made now,
// untracked, and not before: they would be one more leak).
void RebuildWithSteps() {
  if (g_library_state.Rebuild) g_library_state.Rebuild();
  if (TVantorModuleOptions* options = ExceptionLog::CurrentOptions())
    options->FDialogShowFlags.fill(0xFF);
  UseChildSteps();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  std::snprintf(g_trail, sizeof g_trail, "%s", argv[2]);
  DeleteFileA(g_trail);
  if (!VLeaks::IsLeakTrackingActive()) Trail("not tracked");
  char sizes[64];
  std::snprintf(sizes, sizeof sizes, "SIZES %u %u", static_cast<unsigned>(sizeof(TLeakyWidget)),
                100u);
  Trail(sizes);

  auto options = StartLibraryByHand();
  ExceptionLog::InstallLeakCallbacks();
  g_library_state = ExceptionLog::LeakStateSteps();
  ExceptionLog::LeakStateSteps().Rebuild = &RebuildWithSteps;

  if (mode == "two" || mode == "one") {
    LeakWidgets();
    if (mode == "two") LeakBuffer();
    TidyUp();
  } else if (mode == "none") {
    TidyUp();
  } else if (mode == "errors") {
    UseChildSteps();
    FreeTwice();
    Trail("after multi free");
    WritePastEnd();
    Trail("after overrun");
    TidyUp();
  }
  Trail("main end");
  // The library's stop: its state goes, the leak report rebuilds it at the very end.
  ExceptionLog::SetHooksActive(false);
  ExceptionLog::SetCurrentOptions(nullptr);
  options.reset();
  ExceptionLog::FreeProcessThreadsList();
  VCore::StopModulesList();
  return 0;
}
