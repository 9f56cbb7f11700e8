// Saves reports through the processing line's log step into the log of the options.
// Usage: vantorlog_log_file_child <log folder> <bug id> [<bug id> ...]
//        vantorlog_log_file_child <log folder> names <extra files>
// names prints the companion file names with the send flags off and on, writes the last HTML
// page and reads it back, and prints the attached files.
// Each bug ID is one exception: the duplicate test (counting up), then the save step. Prints
// the log path and, per exception, "duplicate 0|1 warning <code>"; last, writes the XML copy
// of the log next to it ("<log>.xml").
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ReportText.h"
#include "VLogFile.h"
#include "VOptions.h"
#include "core/ExceptionLog.h"

using namespace ExceptionLog;

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  auto options = TVantorModuleOptions::Create("");
  options->SetModuleFileName("C:\\App\\LogChild.exe");
  options->SetLogFolder(argv[1]);
  options->FDialogShowFlags.fill(0xFF);
  options->FLogFlags = 0x01 | 0x10;  // duplicate test, tables
  options->FStackFlags = 0;
  options->FWriteLogFile = 1;
  options->FMaxSavedReports = 5;
  const std::string path = options->GetLogFileName();
  std::printf("log %s\n", path.c_str());
  if (std::string(argv[2]) == "names" && argc == 4) {
    options->FExtraFiles = argv[3];
    const auto print = [&](const char* what) {
      std::printf("%s copy=%s zip=%s shot=%s page=%s xml=%s\n", what,
                  LogCopyFileName(*options).c_str(), BugReportZipFileName().c_str(),
                  ScreenshotFileName(*options).c_str(), LastHTMLPageFileName(*options).c_str(),
                  XMLCopyFileName(*options).c_str());
      std::vector<std::string> files;
      AttachedFilesList(*options, true, files);
      std::printf("%s zipfiles", what);
      for (const std::string& f : files) std::printf(" [%s]", f.c_str());
      std::printf("\n");
    };
    options->FSendFlags = 0;
    options->FAppendToLog = 1;
    print("off");
    options->FSendFlags = 0x08 | 0x10 | 0x40;
    SaveLastHTMLPage(*options, "<p>one</p>\ntwo");
    SetScreenshotTaken(true);
    print("on");
    std::string page;
    for (const char c : LoadTextFile(LastHTMLPageFileName(*options)))
      page += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    std::printf("page [%s]\n", page.c_str());
    std::printf("missing [%s]\n", LoadTextFile(path + ".none").c_str());
    std::printf("options %s\n", TempOptionsFileName(0x1A2B, 0x00400000).c_str());
    return 0;
  }
  for (int i = 2; i < argc; ++i) {
    TReportInput input;
    input.General.ProgramFile = "C:\\App\\LogChild.exe";
    input.General.ExceptionClass = "EAccessViolation";
    input.General.ExceptionMessage = std::string("Failure number ") + std::to_string(i - 1) + ".";
    input.General.BugId = argv[i];
    TReportStackEntry entry;
    entry.Kind = 4;
    entry.Address = 0x00401000u + static_cast<unsigned>(i);
    entry.ModuleFile = "C:\\App\\LogChild.exe";
    entry.UnitName = "main.cpp";
    entry.ProcedureName = "Run";
    entry.Line = 10;
    entry.OwnStack = true;
    entry.ExceptionPoint = true;
    input.Stack.push_back(entry);
    TReportPieces pieces;
    BuildReportText(pieces, *options, input);
    CheckDuplicateError(*options, argv[i], true);
    const bool duplicate = IsDuplicateError();
    SaveReportToLog(*options, pieces.Report, pieces.SendText);
    std::printf("duplicate %d warning %d\n", duplicate ? 1 : 0,
                static_cast<int>(LastWarningCode()));
  }
  TLogFile log(path, true);
  log.SaveAsXML(path + ".xml");
  std::printf("reports %d\n", log.ReportCount());
  return 0;
}
