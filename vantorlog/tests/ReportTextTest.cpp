// The report text from plain facts: section builder layout, the general section's show bits,
// custom sections, the report's section order, the tables, the assembler listing and the CPU
// block. Expected texts are written out by hand.
#include <gtest/gtest.h>

#include <map>

#include "ReportText.h"

namespace {

using namespace ExceptionLog;

std::string Dashes(std::size_t n) { return std::string(n, '-'); }
std::string Blanks(std::size_t n) { return std::string(n, ' '); }
std::string Cut(const std::string& s, std::size_t n) {
  std::string out = s;
  out.resize(n, ' ');
  return out;
}

std::unique_ptr<TVantorModuleOptions> Options() {
  auto options = TVantorModuleOptions::Create("");
  options->FDialogShowFlags.fill(0xFF);
  options->FLogFlags = 0x30;
  options->FStackFlags = 0;
  return options;
}

// ---- TLogItem ----

struct TLogCall {
  char kind;  // 'g' group, 'i' shown item, 'h' hidden item
  std::string caption, value;
};
struct TLogCase {
  const char* name;
  int first_group;
  std::vector<TLogCall> calls;
  std::string expected;
};

TEST(LogItemTest, NumberingAndLayout) {
  const TLogCase cases[] = {
      {"colons aligned, underline as long as the longest line, hidden item leaves a gap",
       0,
       {{'g', "App", ""},
        {'i', "Name", "x"},
        {'i', "Long Caption", "yy"},
        {'h', "Hidden", "z"},
        {'i', "V", "1"},
        {'g', "Second", ""},
        {'i', "A", ""}},
       "App:\r\n" + Dashes(22) +
           "\r\n"
           "  1.1 Name        : x\r\n"
           "  1.2 Long Caption: yy\r\n"
           "  1.4 V           : 1\r\n"
           "\r\n"
           "Second:\r\n"
           "---------\r\n"
           "  2.1 A: \r\n"},
      {"groups with every item hidden vanish, the others keep their numbers",
       0,
       {{'g', "A", ""},
        {'h', "x", "1"},
        {'g', "B", ""},
        {'i', "y", "2"},
        {'h', "z", "3"},
        {'i', "w", "4"},
        {'g', "C", ""},
        {'h', "q", "5"}},
       "B:\r\n"
       "----------\r\n"
       "  2.1 y: 2\r\n"
       "  2.3 w: 4\r\n"
       "\r\n"},
      {"multi-line value: colon-blank folded, empty line as a dot, continuation at the value",
       0,
       {{'g', "G", ""}, {'i', "Key", "first: one\r\n\r\nthird"}, {'i', "Longer", "v"}},
       "G:\r\n" + Dashes(24) +
           "\r\n"
           "  1.1 Key   : first:_one\r\n" +
           Blanks(14) + ".\r\n" + Blanks(14) +
           "third\r\n"
           "  1.2 Longer: v\r\n"},
      {"bare LF breaks make a multi-line value",
       0,
       {{'g', "G", ""}, {'i', "K", "a\nb"}},
       "G:\r\n----------\r\n  1.1 K: a\r\n         b\r\n"},
      {"bare CR breaks too, and a final line break adds no line",
       0,
       {{'g', "G", ""}, {'i', "K", "a\rb\r\n"}},
       "G:\r\n----------\r\n  1.1 K: a\r\n         b\r\n"},
      {"a continuation line ending in a colon is no group",
       0,
       {{'g', "G", ""}, {'i', "K", "a\r\nb:"}},
       "G:\r\n-----------\r\n  1.1 K: a\r\n         b:\r\n"},
      {"first group number 7 makes the group 8",
       7,
       {{'g', "Custom", ""}, {'i', "", "text"}},
       "Custom:\r\n------------\r\n  8.1 : text\r\n"},
      {"empty builder", 0, {}, ""},
  };
  for (const TLogCase& c : cases) {
    TLogItem log(c.first_group);
    for (const TLogCall& call : c.calls) {
      if (call.kind == 'g')
        log.AddGroup(call.caption);
      else
        log.AddItem(call.caption, call.value, call.kind == 'i');
    }
    EXPECT_EQ(log.GetText(), c.expected) << c.name;
    log.Clear();
    EXPECT_EQ(log.GetText(), "") << c.name;
  }
}

TEST(LogItemTest, ClearRestartsTheNumbering) {
  TLogItem log(2);
  log.AddGroup("X");
  log.AddItem("a", "1", true);
  log.Clear();
  log.AddGroup("Y");
  log.AddItem("b", "2", true);
  EXPECT_EQ(log.GetText(), "Y:\r\n----------\r\n  3.1 b: 2\r\n");
}

// ---- general section ----

TGeneralFacts SomeFacts() {
  TGeneralFacts f;
  f.StartDate = "Tue, 3 Mar 2009 14:05:09 +0100";
  f.ProgramFile = "C:\\Program Files\\App\\app.exe";
  f.ProgramDescription = "The App";
  f.ProgramVersion = "1.2.3.4";
  f.CommandLine = "\"C:\\Program Files\\App\\app.exe\"  -x  y ";
  f.ExceptionAddress = 0x0040A1B2;
  f.ModuleFile = "C:\\Program Files\\App\\app.exe";
  f.ExceptionClass = "EAccessViolation";
  f.ExceptionMessage = "Boom.";
  f.TotalMemory = 512ull << 20;
  f.FreeMemory = (100ull << 20) + (1ull << 19) + 1;
  f.TotalDisk = 3ll << 29;  // 1.5 GiB
  f.FreeDisk = -1;
  f.SystemUpMs = 90061000;  // 1 day 1 hour 1 minute 1 second
  f.ScreenWidth = 1024;
  f.ScreenHeight = 768;
  f.ScreenBits = 32;
  f.ScreenDpi = 96;
  f.Charset = 1;
  f.Adapters = {{true, "192.168.1.10", "255.255.255.0", "192.168.1.1", "10.0.0.2", ""},
                {false, "10.1.2.3", "", "", "", ""}};
  return f;
}

TEST(GeneralSectionTest, FirstLineAndValues) {
  auto options = Options();
  const std::string text = BuildGeneralSection(*options, SomeFacts());
  EXPECT_EQ(text.rfind("VantorLog 6.0.15\r\n\r\nApplication:\r\n", 0), 0u) << text;
  for (const char* line : {
           "  1.2 Name/Description: app.exe - (The App)\r\n",
           "  1.3 Version Number  : 1.2.3.4\r\n",
           "  1.4 Parameters      : -x  y\r\n",
           "  2.2 Address       : 0040A1B2\r\n",
           "  2.8 Count         : 1\r\n",
           "  2.9 Status        : New\r\n",
           "  2.10 Note         : \r\n",
           "  5.2 Total Memory  : 512 Mb\r\n",
           "  5.3 Free Memory   : 101 Mb\r\n",
           "  5.4 Total Disk    : 1.5 Gb\r\n",
           "  5.5 Free Disk     : \r\n",
           "  5.6 System Up Time: 1 day, 1 hour, 1 minute, 1 second\r\n",
           "  5.8 Display Mode  : 1024 x 768, 32 bit\r\n",
           "  5.9 Display DPI   : 96\r\n",
           "  6.5 Charset : 1\r\n",
           "  7.1 IP Address: 192.168.001.010 - 010.001.002.003\r\n",
           "  7.2 Submask   : 255.255.255.000 - 000.000.000.000\r\n",
           "  7.4 DNS 1     : 010.000.000.002 - 000.000.000.000\r\n",
           "  7.6 DHCP      : ON              - OFF            \r\n",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

// Bit of FDialogShowFlags -> the item it shows.
const std::map<int, const char*> kShowBits = {
    {0, "1.1 Start Date"},
    {1, "1.2 Name/Description"},
    {2, "1.3 Version Number"},
    {3, "1.4 Parameters"},
    {4, "1.5 Compilation Date"},
    {5, "1.6 Up Time"},
    {6, "2.1 Date"},
    {7, "2.2 Address"},
    {8, "2.3 Module Name"},
    {9, "2.4 Module Version"},
    {10, "2.5 Type"},
    {11, "2.6 Message"},
    {12, "2.7 ID"},
    {13, "2.8 Count"},
    {14, "2.9 Status"},
    {15, "2.10 Note"},
    {16, "3.1 ID"},
    {17, "3.2 Name"},
    {18, "3.3 Email"},
    {19, "3.5 Privileges"},
    {20, "3.4 Company"},
    {21, "4.1 Form Class"},
    {22, "4.2 Form Text"},
    {23, "4.3 Control Class"},
    {24, "4.4 Control Text"},
    {25, "5.1 Name"},
    {26, "5.2 Total Memory"},
    {27, "5.3 Free Memory"},
    {28, "5.4 Total Disk"},
    {29, "5.5 Free Disk"},
    {30, "5.6 System Up Time"},
    {31, "5.7 Processor"},
    {32, "5.8 Display Mode"},
    {33, "5.9 Display DPI"},
    {34, "5.10 Video Card"},
    {35, "5.11 Printer"},
    {36, "6.1 Type"},
    {37, "6.2 Build #"},
    {38, "6.3 Update"},
    {39, "6.4 Language"},
    {40, "6.5 Charset"},
    {41, "7.1 IP Address"},
    {42, "7.2 Submask"},
    {43, "7.3 Gateway"},
    {44, "7.4 DNS 1"},
    {45, "7.5 DNS 2"},
    {46, "7.6 DHCP"},
};

bool HasItem(const std::string& text, const std::string& item) {
  return text.find("\r\n  " + item + " ") != std::string::npos ||
         text.find("\r\n  " + item + ":") != std::string::npos;
}

TEST(GeneralSectionTest, EveryShowBitSwitchesItsItem) {
  const TGeneralFacts facts = SomeFacts();
  for (const auto& [bit, item] : kShowBits) {
    auto options = Options();
    EXPECT_TRUE(HasItem(BuildGeneralSection(*options, facts), item)) << item;
    options->FDialogShowFlags[bit / 8] &= static_cast<std::uint8_t>(~(1u << (bit % 8)));
    const std::string text = BuildGeneralSection(*options, facts);
    EXPECT_FALSE(HasItem(text, item)) << "bit " << bit << " " << item;
    for (const auto& [other, other_item] : kShowBits)
      if (other != bit)
        EXPECT_TRUE(HasItem(text, other_item)) << "bit " << bit << " hid " << other_item;
  }
}

TEST(GeneralSectionTest, ActiveControlsNeedADesktopProgram) {
  auto options = Options();
  TGeneralFacts facts = SomeFacts();
  EXPECT_NE(BuildGeneralSection(*options, facts).find("\r\nActive Controls:\r\n"),
            std::string::npos);
  for (int which = 0; which < 2; ++which) {
    TGeneralFacts f = facts;
    (which ? f.WebModule : f.ConsoleProgram) = true;
    const std::string text = BuildGeneralSection(*options, f);
    EXPECT_EQ(text.find("Active Controls"), std::string::npos);
    // The groups after it keep their numbers.
    EXPECT_TRUE(HasItem(text, "5.1 Name"));
    EXPECT_NE(text.find("\r\n\r\nComputer:\r\n"), std::string::npos);
  }
}

TEST(GeneralSectionTest, ValueTexts) {
  EXPECT_EQ(ParametersText("\"C:\\a b\\p.exe\"  -x  y ", "C:\\a b\\p.exe"), "-x  y");
  EXPECT_EQ(ParametersText("  C:\\p.exe /s", "C:\\p.exe"), "/s");
  EXPECT_EQ(ParametersText("C:\\p.exe", "C:\\p.exe"), "");
  EXPECT_EQ(ParametersText("", "C:\\p.exe"), "");
  EXPECT_EQ(MemoryMbText(0), "0 Mb");
  EXPECT_EQ(MemoryMbText((3ull << 20) + (1ull << 19) + 1), "4 Mb");
  EXPECT_EQ(DiskGbText(2ll << 30), "2 Gb");
  EXPECT_EQ(DiskGbText(1234567890), "1.15 Gb");
  EXPECT_EQ(DiskGbText(-1), "");
  EXPECT_EQ(NormalisedAddress("192.168.1.10"), "192.168.001.010");
  EXPECT_EQ(NormalisedAddress(""), "000.000.000.000");
  EXPECT_EQ(NetworkValues({}), std::vector<std::string>(6));
  TGeneralFacts f;
  f.ModuleFile = "C:\\x\\app.vshost.exe";
  f.VsHost = true;
  f.ModuleDescription = "D";
  EXPECT_EQ(ExceptionModuleText(f), "app.exe - (D)");
  f.ProgramFile = "C:\\x\\app.exe";
  EXPECT_EQ(ApplicationNameText(f), "app.exe");
  EXPECT_EQ(PrintableText("a\tb\r\nc\x01"), "a b\r\nc ");
}

TEST(GeneralSectionTest, ExceptionMessages) {
  TExceptionMessageFacts f;
  EXPECT_EQ(GetExceptionMessageText(f), "Unknown error message.");
  f.IsException = true;
  f.Message = "Something failed";
  EXPECT_EQ(GetExceptionMessageText(f), "Something failed.");
  f.Message = "";
  EXPECT_EQ(GetExceptionMessageText(f), ".");
  f.IsAccessViolation = true;
  f.Message = "Access violation";
  EXPECT_EQ(GetExceptionMessageText(f), "Access violation.");  // record unreadable
  f.RecordReadable = true;
  f.CodeAddress = 0x00401A2B;
  f.DataAddress = 0x10;
  EXPECT_EQ(GetExceptionMessageText(f),
            "Access violation at address 00401A2B. Read of address 00000010.");
  f.WriteAccess = true;
  f.ModuleFileName = "APP.EXE";
  f.NormalisedModuleName = "app.exe";
  EXPECT_EQ(GetExceptionMessageText(f),
            "Access violation at address 00401A2B in module 'app.exe'. Write of address 00000010.");
  f.Message = "Access violation at address 00401A2B in module 'APP.EXE'. Write of address 00000010";
  EXPECT_EQ(GetExceptionMessageText(f),
            "Access violation at address 00401A2B in module 'APP.EXE'. Write of address 00000010.");
}

// ---- report, custom sections ----

const std::vector<const char*> kCaptionsInOrder = {
    "VantorLog 6.0.15\r\n",
    "Application:\r\n",
    "Exception:\r\n",
    "User:\r\n",
    "Active Controls:\r\n",
    "Computer:\r\n",
    "Operating System:\r\n",
    "Network:\r\n",
    "Call Stack Information:\r\n",
    "Modules Information:\r\n",
    "Processes Information:\r\n",
    "Assembler Information:\r\n",
    "Registers:\r\n",
    "Stack:",
    "Memory Dump:\r\n",
};

TEST(ReportTextTest, SectionsInTheirOrder) {
  auto options = Options();
  TReportInput input;
  input.General = SomeFacts();
  std::vector<std::uint8_t> code(512, 0x90);
  TBufferReportMemory memory(code.data(), code.size(), 0x00401000);
  input.Memory = &memory;
  input.ExceptionAddress = 0x00401080;
  input.StackValue = 0x00401000;
  TReportPieces pieces;
  BuildReportText(pieces, *options, input);
  EXPECT_EQ(pieces.Title,
            "An error has occurred during program execution.\r\nPlease read the following "
            "information for further details.\r\n\r\n");
  std::size_t at = 0;
  for (const char* caption : kCaptionsInOrder) {
    const std::size_t found = pieces.Report.find(caption, at);
    ASSERT_NE(found, std::string::npos) << caption << "\n" << pieces.Report;
    at = found;
  }
  EXPECT_EQ(pieces.Report, pieces.General + "\r\n" + pieces.Tables + pieces.AssemblerHeader +
                               "\r\n" + pieces.AssemblerBody + "\r\n" + pieces.Cpu);
  EXPECT_EQ(pieces.SendText, pieces.Report);
  EXPECT_EQ(pieces.General.find("VantorLog"), 0u);
}

TEST(ReportTextTest, SectionsOffLeaveCaptionBlocks) {
  auto options = Options();
  options->FLogFlags = 0;
  TReportInput input;
  TReportPieces pieces;
  BuildReportText(pieces, *options, input);
  const std::string tail =
      "Modules Information:\r\n--------------------\r\n\r\n"
      "Processes Information:\r\n----------------------\r\n\r\n"
      "Assembler Information:\r\n----------------------"
      "\r\n"
      "\r\n"
      "Registers:\r\n----------\r\n\r\n";
  ASSERT_GE(pieces.Report.size(), tail.size());
  EXPECT_EQ(pieces.Report.substr(pieces.Report.size() - tail.size()), tail);
  EXPECT_EQ(pieces.AssemblerBody, "");
  EXPECT_EQ(CaptionBlock("Abc"), "Abc:\r\n----\r\n\r\n");
}

TEST(ReportTextTest, CustomSectionsLandAfterTheGeneralSectionInOrder) {
  auto options = Options();
  TReportInput input;
  input.General = SomeFacts();
  TReportPieces pieces;
  BuildReportText(pieces, *options, input);
  const std::string general = pieces.General, rest = pieces.Report.substr(general.size());
  pieces.DialogReport = pieces.Report;
  InsertCustomDataSection(pieces, 7, "Custom Information", {});
  InsertCustomSection(pieces, 7, "Request", "");
  EXPECT_EQ(pieces.Report, general + rest);  // nothing for empty input
  InsertRequestedCustomData(pieces, *options, [] {
    return std::vector<std::string>{"Version = 1.0 ", " Longer name=two words", "bare"};
  });
  InsertCustomSection(pieces, 7, "Request", "Open the file.\r\nPress: Save");
  const std::string data = "Custom Information:\r\n" + Dashes(28) +
                           "\r\n"
                           "  8.1 Version    : 1.0\r\n"
                           "  8.2 Longer name: two words\r\n"
                           "  8.3 bare       : \r\n"
                           "\r\n";
  const std::string request = "Request:\r\n" + Dashes(22) +
                              "\r\n"
                              "  8.1 : Open the file.\r\n" +
                              Blanks(8) +
                              "Press:_Save\r\n"
                              "\r\n";
  EXPECT_EQ(pieces.Report, general + "\r\n" + data + request + rest.substr(2));
  EXPECT_EQ(pieces.DialogReport, pieces.Report);
  EXPECT_EQ(pieces.SendText, pieces.Report);
  EXPECT_EQ(pieces.General, general + "\r\n" + data + request.substr(0, request.size() - 2));
}

// ---- tables ----

TReportStackEntry Entry(std::uint8_t kind, std::uintptr_t address, const char* module,
                        const char* unit, const char* cls, const char* proc, std::uint32_t line,
                        std::uint32_t offset, std::int32_t thread, bool own, bool point = false) {
  TReportStackEntry e;
  e.Kind = kind;
  e.Address = address;
  e.ModuleFile = module;
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

THeaderContext Threads() {
  THeaderContext context;
  context.MainThreadID = 100;
  context.Threads = [](std::int32_t id) -> std::optional<TThreadFacts> {
    if (id == 100) return TThreadFacts{0, ""};
    if (id == 200) return TThreadFacts{2, "TWorker"};
    return std::nullopt;
  };
  return context;
}

TEST(TablesTest, CallStackGroupedByThread) {
  auto options = Options();
  std::vector<TReportStackEntry> entries = {
      Entry(4, 0x00401234, "C:\\app\\prog.exe", "Main.cpp", "TForm1", "Button1Click", 42, 3, 100,
            true, true),
      Entry(4, 0x00401300, "C:\\app\\prog.exe", "Main.cpp", "", "Run", 0, 5, 100, true),
      Entry(2, 0x00401400, "C:\\app\\prog.exe", "", "", "Hidden", 1, 0, 100, true),
      Entry(4, 0x77001000, "C:\\win\\kernel32.dll", "", "", "Start", 7, 0, 100, false),
      Entry(4, 0x00402000, "C:\\app\\prog.exe", "Work.cpp", "TWorker", "Execute", 9, 1, 200, true),
  };
  entries.back().ThreadName = "Worker";
  const std::string d61 = "|" + Dashes(61) + "|\r\n";
  const std::string expected =
      "Call Stack Information:\r\n" + Dashes(63) +
      "\r\n"
      "|Address |Module      |Unit    |Class  |Procedure/Method|Line |\r\n" +
      Dashes(63) + "\r\n" + "|" + Cut("*Exception Thread: ID=100; Priority=0; Class=; [Main]", 61) +
      "|\r\n" + d61 +
      "|00401234|prog.exe    |Main.cpp|TForm1 |Button1Click    |42[3]|\r\n"
      "|00401300|prog.exe    |Main.cpp|       |Run             |     |\r\n" +
      d61 + "|" + Cut("Calling Thread: ID=100; Priority=0; Class=; [Main]", 61) + "|\r\n" + d61 +
      "|77001000|kernel32.dll|        |       |Start           |7[0] |\r\n" + d61 + "|" +
      Blanks(61) + "|\r\n" + "|" +
      Cut("Running Thread: ID=200; Priority=2; Class=TWorker (Worker)", 61) + "|\r\n" + d61 +
      "|00402000|prog.exe    |Work.cpp|TWorker|Execute         |9[1] |\r\n" + Dashes(63) +
      "\r\n\r\n";
  EXPECT_EQ(CallStackTable(*options, entries, Threads()), expected);
  // Kind 2 is listed with FStackFlags 0x01: its row joins the exception thread's block.
  options->FStackFlags = 0x01;
  EXPECT_NE(CallStackTable(*options, entries, Threads()).find("|Hidden"), std::string::npos);
}

// A fault at an address of no module: its exact entry (kind 0) is not listed, the block that
// its thread's next listed row starts is still the exception thread's; a later thread's rows
// do not take the mark.
TEST(TablesTest, UnlistedExceptionPointMarksItsThreadsBlock) {
  auto options = Options();
  std::vector<TReportStackEntry> entries = {
      Entry(0, 0x00000010, "", "", "", "", 0, 0, 300, true, true),
      Entry(4, 0x77001000, "C:\\win\\kernel32.dll", "", "", "Start", 7, 0, 300, true),
      Entry(4, 0x77001010, "C:\\win\\kernel32.dll", "", "", "Other", 8, 0, 300, true),
      Entry(0, 0x00000020, "", "", "", "", 0, 0, 200, true, true),
      Entry(4, 0x00402000, "C:\\app\\prog.exe", "Work.cpp", "", "Execute", 9, 1, 100, true),
  };
  const std::string text = CallStackTable(*options, entries, Threads());
  EXPECT_NE(text.find("|*Exception Thread: ID=300; Priority=??; Class="), std::string::npos)
      << text;
  EXPECT_EQ(text.find("|*Exception Thread", text.find("|*Exception Thread") + 1), std::string::npos)
      << text;
  EXPECT_NE(text.find("|Running Thread: ID=100;"), std::string::npos) << text;
  EXPECT_EQ(text.find("|00000010"), std::string::npos) << text;
  // Start and Other are one block.
  EXPECT_EQ(text.find("Thread: ID=300", text.find("Thread: ID=300") + 1), std::string::npos)
      << text;
}

TEST(TablesTest, EntriesOfACapturedStack) {
  TVantorModuleInfo module;
  module.FileName = "C:\\app\\prog.exe";
  TVantorStackList list;
  auto l = std::make_unique<TAddressLocation>();
  l->Kind = 4;
  l->ModuleInfo = &module;
  l->ThreadID = 7;
  l->ThreadKind = 1;
  l->Exact = 1;
  l->Address = 0x401000;
  l->UnitName = "Main.cpp";
  l->ProcedureName = "Run";
  l->Line = 3;
  l->LineOffset = 1;
  l->ThreadName = "Worker";
  list.Add(std::move(l));
  l = std::make_unique<TAddressLocation>();
  l->Kind = 4;
  l->ThreadID = 7;
  list.Add(std::move(l));
  const std::vector<TReportStackEntry> entries = ReportStackEntries(list);
  ASSERT_EQ(entries.size(), 2u);
  const TReportStackEntry& e = entries[0];
  EXPECT_EQ(e.ModuleFile, "C:\\app\\prog.exe");
  EXPECT_EQ(e.Address, 0x401000u);
  EXPECT_EQ(e.UnitName, "Main.cpp");
  EXPECT_EQ(e.ProcedureName, "Run");
  EXPECT_EQ(e.Line, 3u);
  EXPECT_EQ(e.LineOffset, 1u);
  EXPECT_EQ(e.ThreadID, 7);
  EXPECT_TRUE(e.OwnStack);
  EXPECT_TRUE(e.ExceptionPoint);
  EXPECT_EQ(e.ThreadName, "Worker");
  EXPECT_EQ(entries[1].ModuleFile, "");
  EXPECT_FALSE(entries[1].OwnStack);
  EXPECT_FALSE(entries[1].ExceptionPoint);
}

TEST(TablesTest, EmptyCallStackAndLongHeader) {
  auto options = Options();
  const std::string d50 = Dashes(50);
  EXPECT_EQ(CallStackTable(*options, {}, Threads()),
            "Call Stack Information:\r\n" + d50 +
                "\r\n|Address |Module|Unit|Class|Procedure/Method|Line|\r\n" + d50 + "\r\n" + d50 +
                "\r\n\r\n");
  // A header longer than the row is cut to it.
  auto e = Entry(4, 0x10, "C:\\x\\y.dll", "", "", "", 0, 0, 300, true, true);
  e.ThreadName = std::string(80, 'n');
  const std::string text = CallStackTable(*options, {e}, Threads());
  const std::string header =
      "*Exception Thread: ID=300; Priority=??; Class= (" + std::string(80, 'n');
  EXPECT_NE(text.find("|" + header.substr(0, 48) + "|\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("|00000010|y.dll |    |     |                |    |\r\n"), std::string::npos)
      << text;
}

TEST(TablesTest, ThreadHeaders) {
  auto options = Options();
  THeaderContext context = Threads();
  auto e = Entry(4, 0, "", "", "", "", 0, 0, 200, true);
  EXPECT_EQ(ThreadHeaderText(*options, e, false, context),
            "Running Thread: ID=200; Priority=2; Class=TWorker");
  e.ThreadID = -5;
  EXPECT_EQ(ThreadHeaderText(*options, e, false, context), "Running Thread: ID=0; Priority=??");
  EXPECT_EQ(ThreadHeaderText(*options, e, true, context),
            "Running Thread: ID=0; Priority=??; Class=");
  context.VsHost = true;
  e.ThreadName = "T";
  e.ExceptionPoint = true;
  EXPECT_EQ(ThreadHeaderText(*options, e, false, context), "Exception Thread:  (T)");
  TReportStackEntry leak;
  leak.Leak = true;
  leak.LeakType = "Data";
  leak.LeakTotalSize = 40;
  leak.LeakCount = 2;
  EXPECT_EQ(ThreadHeaderText(*options, leak, true, context),
            "+Memory Leak: Type=Data; Total size=40; Count=2");
  leak.LeakType = "TStringList";
  EXPECT_EQ(ThreadHeaderText(*options, leak, false, context),
            "Memory Leak: Type=TStringList; Total size=40; Count=2");
}

TEST(TablesTest, ModulesWithLongAndEmptyValues) {
  auto options = Options();
  TVantorModulesList modules;
  auto m = std::make_unique<TVantorModuleInfo>();
  m->Handle = 0x00400000;
  m->FileName = "C:\\app\\prog.exe";
  m->Version = "1.2.3.4";
  m->FileSize = 12345;
  m->FileDate = 133536855090000000ull;  // 2024-02-29 13:05:09
  modules.Add(std::move(m));
  m = std::make_unique<TVantorModuleInfo>();
  m->Handle = 0x7C800000;
  m->FileName = "C:\\windows\\system32\\kernel32.dll";
  m->Description = std::string(40, 'd');
  m->FileSize = 1048576;
  m->FileDate = 125911583990000000ull;  // 1999-12-31 23:59:59
  modules.Add(std::move(m));
  const std::string dash = Dashes(121);
  EXPECT_EQ(ModulesTable(*options, modules),
            "Modules Information:\r\n" + dash +
                "\r\n"
                "|Handle  |Name        |Description                             |Version|Size   "
                "|Modified           |Path                |\r\n" +
                dash +
                "\r\n"
                "|00400000|prog.exe    |                                        |1.2.3.4|12345  "
                "|2024-02-29 13:05:09|C:\\app\\             |\r\n"
                "|7C800000|kernel32.dll|" +
                std::string(40, 'd') +
                "|       |1048576|1999-12-31 23:59:59|C:\\windows\\system32\\|\r\n" + dash +
                "\r\n\r\n");
  // A longer Handle caption widens the column and the handles get its digits.
  options->StoreText(126, "Module Handle");
  const std::string wide = ModulesTable(*options, modules);
  EXPECT_NE(wide.find("|Module Handle|Name"), std::string::npos);
  EXPECT_NE(wide.find("|0000000400000|prog.exe"), std::string::npos) << wide;
  EXPECT_EQ(FileTimeText(0), "1601-01-01 00:00:00");
}

TEST(TablesTest, ProcessesAndUnknownThreadCount) {
  auto options = Options();
  TVantorProcessesList processes;
  auto p = std::make_unique<TVantorProcessInfo>();
  p->ProcessID = 1234;
  p->FileName = "C:\\app\\prog.exe";
  p->Description = "Prog";
  p->Version = "1.0";
  p->PriorityClass = 32;
  p->MemoryInUse = 4096;
  p->ThreadCount = 0;
  processes.Add(std::move(p));
  p = std::make_unique<TVantorProcessInfo>();
  p->ProcessID = 8;
  p->FileName = "";
  p->PriorityClass = 128;
  p->ThreadCount = 12;
  processes.Add(std::move(p));
  const std::string dash = Dashes(67);
  EXPECT_EQ(ProcessesTable(*options, processes),
            "Processes Information:\r\n" + dash +
                "\r\n|ID  |Name    |Description|Version|Memory|Priority|Threads|Path   |\r\n" +
                dash +
                "\r\n"
                "|1234|prog.exe|Prog       |1.0    |4096  |Normal  |??     |C:\\app\\|\r\n"
                "|8   |        |           |       |0     |High    |12     |       |\r\n" +
                dash + "\r\n\r\n");
}

TEST(TablesTest, RowWriterPadsAndCuts) {
  std::string buffer(30, ' ');
  std::size_t position = 0;
  WriteTableRow(buffer, position, {"ab", "toolong"}, {4, 3});
  EXPECT_EQ(position, 12u);  // 4 + 3 + 2 cells + 3
  EXPECT_EQ(buffer.substr(0, position), "|ab  |too|\r\n");
}

// ---- assembler and CPU ----

// push ebp / mov ebp, esp / sub esp, 8 / mov eax, [ebp+8] / mov eax, [eax] (the fault) /
// mov [ebp-4], eax / mov esp, ebp / pop ebp / ret
const std::vector<std::uint8_t> kFrame = {0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x08, 0x8B, 0x45, 0x08,
                                          0x8B, 0x00, 0x89, 0x45, 0xFC, 0x8B, 0xE5, 0x5D, 0xC3};

TEST(AssemblerTest, FaultAtTheStartOfItsFunction) {
  auto options = Options();
  TBufferReportMemory memory(kFrame.data(), kFrame.size(), 0x00401000);
  const TAssemblerSection s = AssemblerSection(*options, 0x00401009, memory, nullptr);
  EXPECT_EQ(s.Body,
            "00401000  push    ebp\r\n"
            "00401001  mov     ebp, esp\r\n"
            "00401003  sub     esp, +$08\r\n"
            "00401006  mov     eax, [ebp+$08]\r\n"
            "00401009  mov     eax, [eax]      ; <-- EXCEPTION\r\n"
            "0040100B  mov     [ebp-$04], eax\r\n"
            "0040100E  mov     esp, ebp\r\n"
            "00401010  pop     ebp\r\n"
            "00401011  ret\r\n");
  EXPECT_EQ(s.Header, "Assembler Information:\r\n" + Dashes(49));
  // At the first readable byte nothing comes before the exception line.
  const TAssemblerSection first = AssemblerSection(*options, 0x00401000, memory, nullptr);
  EXPECT_EQ(first.Body.rfind("00401000  push    ebp" + Blanks(13) + "; <-- EXCEPTION\r\n", 0), 0u)
      << first.Body;
  // Unreadable address: nothing.
  const TAssemblerSection none = AssemblerSection(*options, 0x00401010, memory, nullptr);
  EXPECT_EQ(none.Body, "");
  EXPECT_EQ(none.Header, "");
}

TEST(AssemblerTest, TenInstructionsEachSideWithoutReturn) {
  auto options = Options();
  std::vector<std::uint8_t> nops(100, 0x90);  // 0x401000..0x401063
  TBufferReportMemory memory(nops.data(), nops.size(), 0x00401000);
  const TAssemblerSection s = AssemblerSection(*options, 0x00401030, memory, nullptr);
  std::string expected;
  for (std::uint32_t a = 0x401026; a <= 0x40103A; ++a) {
    char line[64];
    std::snprintf(line, sizeof line, "%08X  nop%s\r\n", a,
                  a == 0x401030 ? "  ; <-- EXCEPTION" : "");
    expected += line;
  }
  EXPECT_EQ(s.Body, expected);
}

TEST(AssemblerTest, ListingEndsAtTheTopOfTheAddressSpace) {
  auto options = Options();
  std::vector<std::uint8_t> nops(64, 0x90);  // 0xFFFFFFC0..0xFFFFFFFF
  TBufferReportMemory memory(nops.data(), nops.size(), 0xFFFFFFC0u);
  const TAssemblerSection s = AssemblerSection(*options, 0xFFFFFFFCu, memory, nullptr);
  std::string expected;
  for (std::uint64_t a = 0xFFFFFFF2u; a <= 0xFFFFFFFFu; ++a) {
    char line[64];
    std::snprintf(line, sizeof line, "%08llX  nop%s\r\n", static_cast<unsigned long long>(a),
                  a == 0xFFFFFFFCu ? "  ; <-- EXCEPTION" : "");
    expected += line;
  }
  EXPECT_EQ(s.Body, expected);
  // Four bytes at the address must be readable.
  EXPECT_EQ(AssemblerSection(*options, 0xFFFFFFFEu, memory, nullptr).Body, "");
}

TEST(AssemblerTest, ProcedureChangesAndStringOperand) {
  auto options = Options();
  // 00: push ebp   01: push $00401020 (a string without zero in 32 bytes)   06: mov eax, [eax]
  // 08: push ebp   09: ret   ... 0x20: 40 x 'A'
  std::vector<std::uint8_t> code = {0x55, 0x68, 0x20, 0x10, 0x40, 0x00, 0x8B, 0x00, 0x55, 0xC3};
  code.resize(0x20, 0x90);
  code.resize(0x48, 'A');
  TBufferReportMemory memory(code.data(), code.size(), 0x00401000);
  const TLocationLookup locate = [](std::uintptr_t a, TReportLocation& l) {
    l.Kind = 4;
    l.UnitName = a < 0x401001 ? "First.cpp" : a < 0x401008 ? "Main.cpp" : "Next.cpp";
    l.ClassName = a >= 0x401001 && a < 0x401008 ? "TForm1" : "";
    l.ProcedureName = a < 0x401001 ? "Zero" : a < 0x401008 ? "Click" : "After";
    l.Line = a < 0x401006 ? 10 : a < 0x401008 ? 11 : 12;
    l.LineOffset = a < 0x401006 || a >= 0x401008 ? 0 : 2;
    return true;
  };
  const TAssemblerSection s = AssemblerSection(*options, 0x00401006, memory, locate);
  const std::string a32 = std::string(32, 'A');
  EXPECT_EQ(s.Body,
            "; Main.TForm1.Click \r\n"
            "; ------------------\r\n"
            "00401001  push    $00401020  ; '" +
                a32 +
                "'...\r\n"
                ";\r\n"
                "; Line=11 - Offset=2\r\n"
                "; ------------------\r\n"
                "00401006  mov     eax, [eax]  ; <-- EXCEPTION\r\n"
                ";\r\n"
                "; Next.After (Line=12 - Offset=0)\r\n"
                "; -------------------------------\r\n"
                "00401008  push    ebp\r\n"
                "00401009  ret\r\n")
      << s.Body;
}

TEST(AssemblerTest, CallTargetsNamedByTheResolver) {
  auto options = Options();
  // 00: mov eax, [eax] (the fault)   02: call +0 (to 0x401007)   07: ret
  const std::vector<std::uint8_t> code = {0x8B, 0x00, 0xE8, 0x00, 0x00, 0x00, 0x00, 0xC3};
  TBufferReportMemory memory(code.data(), code.size(), 0x00401000);
  const TLocationLookup locate = [](std::uintptr_t a, TReportLocation& l) {
    if (a != 0x401007) return false;
    l.Kind = 3;
    l.UnitName = "U.pas";
    l.ProcedureName = "Target";
    l.Line = 7;
    l.LineOffset = 4;
    return true;
  };
  const TAssemblerSection s = AssemblerSection(*options, 0x00401000, memory, locate);
  EXPECT_EQ(s.Body,
            "00401000  mov     eax, [eax]         ; <-- EXCEPTION\r\n"
            "00401002  call    U.Target (Line=7)\r\n"
            ";\r\n"
            "; U.Target (Line=7 - Offset=4)\r\n"
            "; ----------------------------\r\n"
            "00401007  ret\r\n")
      << s.Body;
}

TEST(CpuTest, RegistersAndDump) {
  auto options = Options();
  std::vector<std::uint8_t> bytes(0x200);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  TBufferReportMemory memory(bytes.data(), bytes.size(), 0x00010000);
  TReportInput input;
  input.Memory = &memory;
  input.StackValue = 0x00010100;
  input.ExceptionAddress = 0x00010030;
  input.Context = TReportRegisters{0x11111111, 0x22222222, 0x33333333, 0x44444444,
                                   0x55555555, 0x66666666, 0x0012FF80, 0x00401ABC};
  const std::string cpu = CpuSection(*options, input);
  const std::string head =
      "Registers:\r\n"
      "-----------------------------\r\n"
      "EAX: 11111111   EDI: 66666666\r\n"
      "EBX: 22222222   ESI: 55555555\r\n"
      "ECX: 33333333   ESP: 0012FF80\r\n"
      "EDX: 44444444   EIP: 00401ABC\r\n"
      "\r\n"
      "Stack:               Memory Dump:\r\n"
      "------------------   "
      "---------------------------------------------------------------------------\r\n"
      "00010100: 03020100   00010030: 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F  "
      "0123456789:;<=>?\r\n"
      "00010104: 07060504   00010040: 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F  "
      "@ABCDEFGHIJKLMNO\r\n";
  EXPECT_EQ(cpu.substr(0, head.size()), head);
  EXPECT_NE(
      cpu.find("0001013C: 3F3E3D3C   00010120: 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F "
               "  !\"#$%&'()*+,-./\r\n"),
      std::string::npos)
      << cpu;
  EXPECT_EQ(std::count(cpu.begin(), cpu.end(), '\n'), 9 + 16);
  input.Context.reset();
  input.StackValue = 0x000101F0;  // 64 bytes no longer readable
  EXPECT_EQ(CpuSection(*options, input),
            "Registers:\r\n-----------------------------\r\n"
            "EAX: ????       EDI: ????    \r\n"
            "EBX: ????       ESI: ????    \r\n"
            "ECX: ????       ESP: ????    \r\n"
            "EDX: ????       EIP: ????    \r\n\r\n"
            "Stack:               Memory Dump:\r\n"
            "------------------   "
            "---------------------------------------------------------------------------\r\n");
  // Bytes outside 32..126 as dots.
  std::vector<std::uint8_t> high(256, 0xFF);
  TBufferReportMemory high_memory(high.data(), high.size(), 0x1000);
  const std::string dump = StackAndMemoryDump(0x1000, 0x1000, high_memory);
  EXPECT_EQ(dump.substr(0, 88),
            "00001000: FFFFFFFF   00001000: FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF  "
            "........");
}

}  // namespace
