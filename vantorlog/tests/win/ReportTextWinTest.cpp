// The report of the running test program from its real facts: every section in its order, the
// test program and kernel32.dll in the modules table, the own process in the processes table.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include "ExceptionLog.h"
#include "ReportText.h"
#include "VModules.h"
#include "VSystem.h"
#include "VTextUtils.h"

namespace {

using namespace ExceptionLog;

__attribute__((noinline)) int Faulting(volatile int* p) { return *p + 1; }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

TEST(ReportTextWinTest, ReportOfTheRunningProgram) {
  VCore::StartModulesList();
  auto options = TVantorModuleOptions::Create("");
  options->FDialogShowFlags.fill(0xFF);
  options->FLogFlags = 0x30;
  CONTEXT context{};
  context.ContextFlags = CONTEXT_FULL;
  RtlCaptureContext(&context);
  const auto address = reinterpret_cast<std::uintptr_t>(&Faulting);
  TReportInput input;
  GatherReportInput(input, address, &context, context.Esp);
  ASSERT_NE(input.Modules, nullptr);
  ASSERT_NE(input.Processes, nullptr);
  TReportPieces pieces;
  BuildReportText(pieces, *options, input);
  const std::string& report = pieces.Report;

  std::size_t at = 0;
  for (const char* caption :
       {"VantorLog 6.0.15\r\n\r\nApplication:\r\n", "\r\n\r\nException:\r\n", "\r\n\r\nUser:\r\n",
        "\r\n\r\nComputer:\r\n", "\r\n\r\nOperating System:\r\n", "\r\n\r\nNetwork:\r\n",
        "\r\nCall Stack Information:\r\n", "\r\nModules Information:\r\n",
        "\r\nProcesses Information:\r\n", "\r\nAssembler Information:\r\n", "\r\nRegisters:\r\n",
        "\r\nStack:               Memory Dump:\r\n"}) {
    const std::size_t found = report.find(caption, at);
    ASSERT_NE(found, std::string::npos) << caption << "\n" << report;
    at = found;
  }
  // A console test program has no active-controls group.
  EXPECT_EQ(report.find("Active Controls:"), std::string::npos);

  const std::string exe = Lower(VCore::ExtractFileName(VCore::ProgramFileName()));
  const std::string lower = Lower(report);
  const std::size_t modules = lower.find("modules information:");
  const std::size_t processes = lower.find("processes information:");
  const std::string module_table = lower.substr(modules, processes - modules);
  for (const std::string& name : {exe, std::string("kernel32.dll")}) {
    const std::size_t cell = module_table.find("|" + name);
    ASSERT_NE(cell, std::string::npos) << name << "\n" << module_table;
    const char next = module_table[cell + 1 + name.size()];
    EXPECT_TRUE(next == ' ' || next == '|') << name << "\n" << module_table;
  }
  const std::string process_table = report.substr(processes, report.find("Assembler") - processes);
  const std::string pid = "\r\n|" + std::to_string(GetCurrentProcessId());
  const std::size_t row = process_table.find(pid);
  ASSERT_NE(row, std::string::npos) << process_table;
  const char after = process_table[row + pid.size()];
  EXPECT_TRUE(after == ' ' || after == '|') << process_table;

  // The listing marks the function's first instruction; the dump has 16 lines.
  EXPECT_NE(pieces.AssemblerBody.find("; <-- EXCEPTION\r\n"), std::string::npos)
      << pieces.AssemblerBody;
  char start[16];
  std::snprintf(start, sizeof start, "%08X  ", static_cast<unsigned>(address));
  EXPECT_NE(pieces.AssemblerBody.find(start), std::string::npos) << pieces.AssemblerBody;
  std::snprintf(start, sizeof start, "EIP: %08X", static_cast<unsigned>(context.Eip));
  EXPECT_NE(pieces.Cpu.find(start), std::string::npos) << pieces.Cpu;
  const std::size_t dump = pieces.Cpu.find("-\r\n", pieces.Cpu.find("Memory Dump"));
  const std::string lines = pieces.Cpu.substr(dump + 3);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 16) << pieces.Cpu;
  volatile int value = 1;
  EXPECT_EQ(Faulting(&value), 2);
  VCore::StopModulesList();
}

TEST(ReportTextWinTest, ExceptionContextGivesClassAndMessage) {
  const auto code = reinterpret_cast<std::uintptr_t>(&Faulting);
  EXCEPTION_RECORD os{};
  os.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  os.ExceptionAddress = reinterpret_cast<void*>(code);
  os.NumberParameters = 2;
  os.ExceptionInformation[0] = 1;
  os.ExceptionInformation[1] = 0x10;
  EAccessViolation violation("Access violation", &os);
  CONTEXT context{};
  context.Eip = static_cast<DWORD>(code);
  context.Esp = reinterpret_cast<DWORD>(&context);
  TVantorExceptionRecord record;
  record.ExceptionObject = &violation;
  record.ExceptionAddress = reinterpret_cast<const void*>(code);
  record.Context = &context;
  TVantorStackList stack;
  auto entry = std::make_unique<TAddressLocation>();
  entry->Kind = 4;
  entry->Address = code;
  entry->ThreadID = GetCurrentThreadId();
  entry->ThreadKind = 1;
  entry->Exact = 1;
  entry->ProcedureName = "Faulting";
  entry->Line = 15;
  stack.Add(std::move(entry));
  record.CallStack = &stack;
  VCore::StartModulesList();
  TReportInput input;
  GatherReportInput(input, record);
  EXPECT_EQ(input.General.ExceptionClass, "EAccessViolation");
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "Access violation at address %08X in module '%s'. Write of address 00000010.",
                static_cast<unsigned>(code),
                VCore::ExtractFileName(VCore::ProgramFileName()).c_str());
  EXPECT_EQ(input.General.ExceptionMessage, expected);
  EXPECT_EQ(input.StackValue, reinterpret_cast<std::uintptr_t>(&context));
  ASSERT_TRUE(input.Context.has_value());
  EXPECT_EQ(input.Context->Eip, code);

  // The report lists the stack and the listing around the address.
  auto options = TVantorModuleOptions::Create("");
  options->FDialogShowFlags.fill(0xFF);
  options->FLogFlags = 0x30;
  TReportPieces pieces;
  BuildReportText(pieces, *options, input);
  char row[32];
  std::snprintf(row, sizeof row, "\r\n|%08X|", static_cast<unsigned>(code));
  EXPECT_NE(pieces.Tables.find(row), std::string::npos) << pieces.Tables;
  EXPECT_NE(pieces.Tables.find("|Faulting "), std::string::npos) << pieces.Tables;
  EXPECT_NE(pieces.Tables.find("|*Exception Thread: ID="), std::string::npos) << pieces.Tables;
  EXPECT_NE(pieces.AssemblerBody.find("; <-- EXCEPTION\r\n"), std::string::npos);
  VCore::StopModulesList();

  // Not an object at all, and a plain language exception.
  int not_an_object = 0;
  EXPECT_EQ(ExceptionClassText(&not_an_object), "Unknown exception type");
  EXPECT_EQ(GetExceptionMessageText(ExceptionMessageFacts(&not_an_object)),
            "Unknown error message.");
  EConvertError convert("Bad number");
  EXPECT_EQ(ExceptionClassText(&convert), "EConvertError");
  EXPECT_EQ(GetExceptionMessageText(ExceptionMessageFacts(&convert)), "Bad number.");
  // The runtime's messages are UTF-8, the report's texts in the ANSI code page; a message that
  // is no UTF-8 is taken as it is.
  const std::wstring russian = L"\u0411\u043B\u043E\u043A 7";  // "Blok 7" in Cyrillic
  char ansi[64] = {};
  WideCharToMultiByte(CP_ACP, 0, russian.c_str(), -1, ansi, sizeof ansi, nullptr, nullptr);
  EConvertError utf8("\xD0\x91\xD0\xBB\xD0\xBE\xD0\xBA 7");
  EXPECT_EQ(ExceptionMessageFacts(&utf8).Message, ansi);
  EConvertError already_ansi("\xC1\xEB\xEE\xEA 7");
  EXPECT_EQ(ExceptionMessageFacts(&already_ansi).Message, "\xC1\xEB\xEE\xEA 7");
}

// 1.5: the build time of the debug data (UTC) in local time; none without one.
TEST(ReportTextWinTest, CompilationDateIsTheBuildTimeInLocalTime) {
  // The tests run with TZ=UTC: 45000.5 days from 1899-12-30 is noon of 2023-03-15.
  EXPECT_EQ(CompilationDateText(45000.5), "Wed, 15 Mar 2023 12:00:00 +0000");
  EXPECT_EQ(CompilationDateText(0), "");
}

// 5.10 names the display device with its driver; 5.11 is empty without a default printer.
TEST(ReportTextWinTest, VideoCardCarriesItsDriver) {
  TReportInput input;
  GatherReportInput(input, 0, nullptr, 0, false);
  DISPLAY_DEVICEA device{};
  device.cb = sizeof device;
  const std::string& video = input.General.VideoCard;
  if (EnumDisplayDevicesA(nullptr, 0, &device, 0)) {
    EXPECT_EQ(video.rfind(VCore::Trim(device.DeviceString) + " (driver ", 0), 0u) << video;
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(video.back(), ')');
  } else {
    EXPECT_EQ(video, "");
  }
  char printer[256];
  DWORD length = sizeof printer;
  if (!GetDefaultPrinterA(printer, &length)) EXPECT_EQ(input.General.Printer, "");
}

}  // namespace
