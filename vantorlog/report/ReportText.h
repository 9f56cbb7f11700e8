// The bug report's text: the numbered caption-and-value sections (TLogItem), the general
// section, the custom sections, the call-stack, modules and processes tables, the assembler
// listing around the exception address and the CPU block, joined in their fixed order.
//
// Pure text: the facts come in as plain data (TReportInput) and memory is read only through
// a TReportMemory, so the whole report builds natively as well. The Win32 side that gathers
// the facts of the running process is GatherReportInput (ReportTextWin.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VCallStack.h"
#include "VModules.h"
#include "VOptions.h"

#ifdef _WIN32
struct TVantorExceptionRecord;  // the exception context (ExceptionLog.h)
class TVantorThreadsList;
#endif

namespace ExceptionLog {

// Printed after "VantorLog " on the report's first line.
inline constexpr char kVantorLogVersion[] = "6.0.15";

// Builder of one numbered section: groups with a caption and an underline, items
// "  g.i Caption: value" aligned on their colons.
class TLogItem {
 public:
  explicit TLogItem(int first_group) : first_group_(first_group) { Clear(); }
  void Clear();
  void AddGroup(const std::string& caption);
  // The item number counts hidden items too.
  void AddItem(const std::string& caption, const std::string& value, bool shown);
  // Empty groups dropped, colons aligned, underlines widened; CR LF after every line.
  std::string GetText() const;

 private:
  int first_group_;
  int group_ = 0;
  int item_ = 0;
  std::string text_;
};

// caption + ":\r\n" + (caption length + 1) dashes + "\r\n\r\n".
std::string CaptionBlock(const std::string& caption);
// Bytes below 32 other than CR and LF become blanks.
std::string PrintableText(const std::string& text);
// Memory read by the report: all size bytes or nothing.
class TReportMemory {
 public:
  virtual ~TReportMemory() = default;
  virtual bool Read(std::uintptr_t address, void* buffer, std::size_t size) const = 0;
  // Class name of the object at address; empty when it is not a valid object.
  virtual std::string ObjectClassName(std::uintptr_t address) const { return {}; }
  bool Readable(std::uintptr_t address, std::size_t size) const;
};

// A byte buffer that stands at an address; nothing else is readable.
class TBufferReportMemory : public TReportMemory {
 public:
  TBufferReportMemory(const void* data, std::size_t size, std::uintptr_t base)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size), base_(base) {}
  bool Read(std::uintptr_t address, void* buffer, std::size_t size) const override;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::uintptr_t base_;
};

// Source location of a code address (kinds as in the call stack: 2-4 carry names).
struct TReportLocation {
  std::uint8_t Kind = 0;
  std::string UnitName;
  std::string ClassName;
  std::string ProcedureName;
  std::uint32_t Line = 0;
  std::uint32_t LineOffset = 0;
};
// False when nothing is known of the address.
using TLocationLookup = std::function<bool(std::uintptr_t address, TReportLocation& location)>;

// The facts behind the general section's items; texts as they are printed unless told.
struct TNetworkAdapter {
  bool Dhcp = false;
  std::string IpAddress, Submask, Gateway;  // first address each, as the system gives it
  std::string Dns1, Dns2;                   // empty: unknown
};

struct TGeneralFacts {
  // Application.
  std::string StartDate;
  std::string ProgramFile;  // full path
  std::string ProgramDescription;
  std::string ProgramVersion;  // "a.b.c.d"; "0.0.0.0" prints empty
  std::string CommandLine;     // as the process got it
  std::string CompilationDate;
  std::string UpTime;
  // Exception.
  std::string ExceptionDate;
  std::uintptr_t ExceptionAddress = 0;
  std::string ModuleFile;  // full path of the module holding the address
  std::string ModuleDescription;
  std::string ModuleVersion;
  bool VsHost = false;  // the program runs under a ".vshost" hosting process
  std::string ExceptionClass;
  std::string ExceptionMessage;
  std::string BugId;
  // User.
  std::string UserId, UserName, Email, Company, Privileges;
  // Active controls.
  std::string FormClass, FormText, ControlClass, ControlText;
  bool WebModule = false;
  bool ConsoleProgram = false;
  // Computer.
  std::string ComputerName;
  std::uint64_t TotalMemory = 0, FreeMemory = 0;  // bytes
  std::int64_t TotalDisk = -1, FreeDisk = -1;     // bytes; -1 unknown
  std::uint32_t SystemUpMs = 0;
  std::string Processor;
  int ScreenWidth = 0, ScreenHeight = 0, ScreenBits = 0, ScreenDpi = 0;
  std::string VideoCard, Printer;
  // Operating system.
  std::string OsType, OsBuild, OsUpdate, OsLanguage;
  int Charset = 0;
  // Network.
  std::vector<TNetworkAdapter> Adapters;
};

// One call-stack entry as the report lists it.
struct TReportStackEntry {
  std::uint8_t Kind = 0;  // 0..7; 0 unknown
  std::uintptr_t Address = 0;
  std::string ModuleFile;
  std::string UnitName, ClassName, ProcedureName;
  std::uint32_t Line = 0, LineOffset = 0;
  std::int32_t ThreadID = 0;
  bool OwnStack = false;        // the thread's own stack (else the creating thread's)
  bool ExceptionPoint = false;  // where the exception thread's stack starts
  bool Leak = false;
  std::string LeakType;
  std::int32_t LeakTotalSize = 0, LeakCount = 0;
  std::string ThreadName;
};

// What the threads list knows of a thread: its priority (already read live when it was not
// recorded) and the class name of its thread object (empty when none).
struct TThreadFacts {
  std::int32_t Priority = 0;
  std::string ClassName;
};
using TThreadLookup = std::function<std::optional<TThreadFacts>(std::int32_t thread_id)>;

// The entries of a captured call stack: a thread kind other than 0 marks a thread's own stack,
// the exact entry (the exception address) the start of the exception thread's stack.
std::vector<TReportStackEntry> ReportStackEntries(const TVantorStackList& list);

struct THeaderContext {
  std::int32_t MainThreadID = 0;
  bool VsHost = false;
  TThreadLookup Threads;  // none: every thread is missing
};

// The registers the CPU block prints.
struct TReportRegisters {
  std::uint32_t Eax = 0, Ebx = 0, Ecx = 0, Edx = 0, Esi = 0, Edi = 0, Esp = 0, Eip = 0;
};
enum class TRegister { kEax, kEbx, kEcx, kEdx, kEsi, kEdi, kEsp, kEip };

struct TReportInput {
  TGeneralFacts General;
  std::vector<TReportStackEntry> Stack;
  THeaderContext Threads;
  const TVantorModulesList* Modules = nullptr;
  const TVantorProcessesList* Processes = nullptr;
  std::uintptr_t ExceptionAddress = 0;
  std::uintptr_t StackValue = 0;
  std::optional<TReportRegisters> Context;
  const TReportMemory* Memory = nullptr;  // none: nothing readable
  TLocationLookup Locate;                 // none: no locations
};

// The report's pieces; rebuilt for each exception.
struct TReportPieces {
  std::string Title;
  std::string General;
  std::string Tables;
  std::string AssemblerHeader;
  std::string AssemblerBody;
  std::string Cpu;
  std::string Report;
  std::string DialogReport;  // the copy the dialog shows
  std::string SendText;
};
// The process-wide pieces that the processing line works on.
TReportPieces& ReportPieces();

// General section.
std::string ApplicationNameText(const TGeneralFacts& facts);
std::string ExceptionModuleText(const TGeneralFacts& facts);
// The arguments of the command line: quotes round the program removed, the program cut off.
std::string ParametersText(const std::string& command_line, const std::string& program_path);
// Bytes as whole MiB + " Mb".
std::string MemoryMbText(std::uint64_t bytes);
// Bytes in GiB "0.##" + " Gb"; empty for an unknown size (negative).
std::string DiskGbText(std::int64_t bytes);
// "192.168.001.010"; "000.000.000.000" for an empty address.
std::string NormalisedAddress(const std::string& address);
// IP address, submask, gateway, DNS 1, DNS 2, DHCP: one value per adapter, joined by " - ".
std::vector<std::string> NetworkValues(const std::vector<TNetworkAdapter>& adapters);
std::string BuildGeneralSection(const TVantorModuleOptions& options, const TGeneralFacts& facts);

// What the message of an exception is built from.
struct TExceptionMessageFacts {
  bool IsException = false;        // the object is an Exception or a descendant
  std::string Message;             // its message
  bool IsAccessViolation = false;  // class EAccessViolation
  bool RecordReadable = false;     // its operating-system record could be read
  bool WriteAccess = false;        // the record's read/write flag
  std::uintptr_t CodeAddress = 0;
  std::uintptr_t DataAddress = 0;
  std::string ModuleFileName;        // the image holding the code address; empty: none
  std::string NormalisedModuleName;  // the same from the normalised path
};
std::string GetExceptionMessageText(const TExceptionMessageFacts& facts);

// Custom sections: inserted after the general section into the report and the dialog's copy.
void InsertCustomSection(TReportPieces& pieces, int group_base, const std::string& caption,
                         const std::string& text);
void InsertCustomDataSection(TReportPieces& pieces, int group_base, const std::string& caption,
                             const std::vector<std::string>& entries);
// The CustomDataRequest event of the exception context answers through this callback; its
// name=value list becomes the section of text 91 (group 8).
using TCustomDataRequest = std::function<std::vector<std::string>()>;
void InsertRequestedCustomData(TReportPieces& pieces, const TVantorModuleOptions& options,
                               const TCustomDataRequest& request);

// Tables.
std::string FileTimeText(std::uint64_t file_time);  // "yyyy-mm-dd hh:nn:ss"
// Writes "|" + each cell into its width + "|\r\n" at position (the buffer holds blanks).
void WriteTableRow(std::string& buffer, std::size_t& position,
                   const std::vector<std::string>& cells, const std::vector<std::size_t>& widths);
std::string ThreadHeaderText(const TVantorModuleOptions& options, const TReportStackEntry& entry,
                             bool report, const THeaderContext& context);
std::string CallStackTable(const TVantorModuleOptions& options,
                           const std::vector<TReportStackEntry>& entries,
                           const THeaderContext& context);
std::string ModulesTable(const TVantorModuleOptions& options, const TVantorModulesList& modules);
std::string ProcessesTable(const TVantorModuleOptions& options,
                           const TVantorProcessesList& processes);

// Assembler and CPU sections.
struct TAssemblerSection {
  std::string Header;
  std::string Body;
};
TAssemblerSection AssemblerSection(const TVantorModuleOptions& options, std::uintptr_t address,
                                   const TReportMemory& memory, const TLocationLookup& locate);
std::string RegisterText(TRegister reg, const std::optional<TReportRegisters>& context);
std::string StackCaptionText(const TVantorModuleOptions& options);
std::string StackAndMemoryDump(std::uintptr_t stack_value, std::uintptr_t address,
                               const TReportMemory& memory);
std::string CpuSection(const TVantorModuleOptions& options, const TReportInput& input);

// All pieces and the report.
void BuildReportText(TReportPieces& pieces, const TVantorModuleOptions& options,
                     const TReportInput& input);

#ifdef _WIN32
// The process's own memory through the never-faulting probes; objects by the class model.
class TProcessReportMemory : public TReportMemory {
 public:
  bool Read(std::uintptr_t address, void* buffer, std::size_t size) const override;
  std::string ObjectClassName(std::uintptr_t address) const override;
};

// The threads list of the process as the thread headers ask it: a priority that was not
// recorded is read from the thread and stored back. With a snapshot, only the snapshot is
// read (and written).
THeaderContext ProcessThreadsContext(TVantorThreadsList* snapshot = nullptr);
// 1.5: a build time (days since 1899-12-30, UTC) as local RFC 822 date text; empty for 0.
std::string CompilationDateText(double build_date);

// Fills the facts of the running process for an exception at address: the general facts
// (all but the exception's class, message and bug ID, and the e-mail address, which the
// caller knows), the modules list (refreshed; started by the caller) and the processes list
// (rebuilt), the registers of context (a CONTEXT; null: none), the memory and the threads.
// The call stack and the source locations stay the caller's.
// Without lists the modules list is not refreshed and the processes list not rebuilt.
void GatherReportInput(TReportInput& input, std::uintptr_t address, const void* context,
                       std::uintptr_t stack_value, bool lists = true);

// The same for an exception context: its address, CPU record and stack pointer, the class
// (ExceptionClassText) and message (GetExceptionMessageText) of its object, its call stack and
// modules list when it carries them; source locations from GetAddressLocation.
void GatherReportInput(TReportInput& input, const ::TVantorExceptionRecord& record,
                       bool lists = true);
// Class name of the exception object; "Unknown exception type" for an invalid object.
std::string ExceptionClassText(const void* object);
// The message facts of an exception object (an access violation's from its OS record).
TExceptionMessageFacts ExceptionMessageFacts(const void* object);
#endif

}  // namespace ExceptionLog
