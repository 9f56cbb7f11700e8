// Writes the XML form of a log of two reports built by the report builder from known facts
// (one with every section, one with the tables, assembler and CPU sections off and items
// hidden), after a save and load of the log, plus a tree of awkward attribute values. The
// peer script xml_log_check.py reads them back.
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ReportText.h"
#include "Streams.h"
#include "VLogFile.h"
#include "VXmlLog.h"

using namespace ExceptionLog;

namespace {

TGeneralFacts Facts(const std::string& bug_id) {
  TGeneralFacts f;
  f.StartDate = "Tue, 3 Mar 2009 14:05:09 +0100";
  f.ProgramFile = "C:\\App\\app.exe";
  f.ProgramDescription = "The <App> & \"friends\"";
  f.ProgramVersion = "1.2.3.4";
  f.ExceptionAddress = 0x00401080;
  f.ModuleFile = "C:\\App\\app.exe";
  f.ExceptionClass = "EAccessViolation";
  f.ExceptionMessage = "Access violation: read of address 00000000.\r\n\r\nSecond line.";
  f.BugId = bug_id;
  f.UserId = "tester";
  f.Email = "";
  f.ComputerName = "BOX";
  f.Charset = 1;
  return f;
}

TReportStackEntry Entry(std::uint32_t address, std::int32_t thread, bool own, bool point,
                        const std::string& unit, const std::string& cls, const std::string& proc,
                        std::uint32_t line, std::uint32_t offset) {
  TReportStackEntry e;
  e.Kind = 4;
  e.Address = address;
  e.ModuleFile = "C:\\App\\app.exe";
  e.UnitName = unit;
  e.ClassName = cls;
  e.ProcedureName = proc;
  e.Line = line;
  e.LineOffset = offset;
  e.ThreadID = thread;
  e.OwnStack = own;
  e.ExceptionPoint = point;
  return e;
}

std::string Build(const TVantorModuleOptions& options, const TReportInput& input) {
  TReportPieces pieces;
  BuildReportText(pieces, options, input);
  return pieces.Report;
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  auto options = TVantorModuleOptions::Create("");
  options->FDialogShowFlags.fill(0xFF);
  options->FLogFlags = 0x30;
  options->FStackFlags = 0;

  std::vector<std::uint8_t> bytes(0x1000, 0x90);  // nops
  for (std::size_t i = 0x800; i < 0x900; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  TBufferReportMemory memory(bytes.data(), bytes.size(), 0x00401000);
  TVantorModulesList modules;
  auto m = std::make_unique<TVantorModuleInfo>();
  m->Handle = 0x00400000;
  m->FileName = "C:\\App\\app.exe";
  m->Version = "1.2.3.4";
  m->Description = "The App";
  m->FileSize = 12345;
  modules.Add(std::move(m));
  TVantorProcessesList processes;
  auto p = std::make_unique<TVantorProcessInfo>();
  p->ProcessID = 1234;
  p->FileName = "C:\\App\\app.exe";
  p->Version = "1.2.3.4";
  p->Description = "The App";
  p->PriorityClass = 0x20;
  p->MemoryInUse = 4096;
  p->ThreadCount = 3;
  processes.Add(std::move(p));

  TReportInput input;
  input.General = Facts("1A2B3C4D");
  input.Stack = {Entry(0x00401080, 100, true, true, "main.cpp", "TForm1", "Button1Click", 42, 3),
                 Entry(0x00401100, 100, true, false, "main.cpp", "", "Run", 0, 0),
                 Entry(0x00402000, 100, false, false, "thread.cpp", "TWorker", "Start", 7, 1),
                 Entry(0x00403000, 200, true, false, "other.cpp", "", "Loop", 9, 0)};
  input.Threads.MainThreadID = 100;
  input.Threads.Threads = [](std::int32_t id) -> std::optional<TThreadFacts> {
    if (id == 100) return TThreadFacts{0, ""};
    if (id == 200) return TThreadFacts{2, "TWorker"};
    return std::nullopt;
  };
  input.Modules = &modules;
  input.Processes = &processes;
  input.ExceptionAddress = 0x00401080;
  input.StackValue = 0x00401800;
  input.Context = TReportRegisters{0x11111111, 0x22222222, 0x33333333, 0x44444444,
                                   0x55555555, 0x66666666, 0x00401800, 0x00401080};
  input.Memory = &memory;
  const std::string full = Build(*options, input);

  auto off = TVantorModuleOptions::Create("");
  off->FDialogShowFlags.fill(0xFF);
  off->FDialogShowFlags[1] &= static_cast<std::uint8_t>(~(1u << (13 - 8)));  // 2.8 Count hidden
  off->FDialogShowFlags[2] = 0;                                              // user items
  off->FLogFlags = 0;
  off->FStackFlags = 0;
  TReportInput bare = input;
  bare.General = Facts("99887766");
  bare.Stack = {Entry(0x00401080, 300, true, true, "a.cpp", "", "F", 1, 0)};
  const std::string sections_off = Build(*off, bare);

  TLogFile log;
  log.AddReport(full, -1);
  log.AddReport(sections_off, -1);
  TMemoryStream stream;
  log.SaveToStream(stream);
  stream.SetPosition(0);
  TLogFile loaded;
  loaded.LoadFromStream(stream);
  if (loaded.ReportCount() != 2) return 1;
  loaded.SaveAsXML(dir + "/log.xml");
  Write(dir + "/full.txt", full);
  Write(dir + "/off.txt", sections_off);

  TXMLItem root("Root");
  TXMLItem* a = root.AddChild("Item");
  a->AddAttribute("Text", "a<b>c&d\"e'f");
  a->AddAttribute("Control", std::string("tab\tcr\rlf\nbell\x07"
                                         "del\x7F"
                                         "high\xE9\xFF"));
  root.AddChild("Empty");
  Write(dir + "/escape.xml", root.GetText());
  return 0;
}
