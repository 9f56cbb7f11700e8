// The pure half of the call stacks: the CALL-form test over a byte buffer, the export-name and
// other-source splits, the kind mask, the admission of entries and the tidy step.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "CallFormCases.h"
#include "VCallStack.h"

namespace {

using ExceptionLog::TCallForm;
using ExceptionLog::TCallSite;

std::vector<std::uint8_t> Hex(const char* text) {
  std::vector<std::uint8_t> bytes;
  std::istringstream in(text);
  std::string h;
  while (in >> h) bytes.push_back(static_cast<std::uint8_t>(std::stoul(h, nullptr, 16)));
  return bytes;
}

// A code buffer at kCallCaseBase; everything outside it is unreadable.
struct CodeBuffer {
  std::uint8_t bytes[kCallCaseSize];
  int reads = 0;
  explicit CodeBuffer(const std::vector<std::uint8_t>& before_value) {
    std::memset(bytes, 0x90, sizeof bytes);
    std::memcpy(bytes + kCallCaseValue - before_value.size(), before_value.data(),
                before_value.size());
  }
  ExceptionLog::TMemoryReader Reader() {
    return [this](std::uintptr_t address, void* buffer, std::size_t size) {
      ++reads;
      if (address < kCallCaseBase || address + size > kCallCaseBase + kCallCaseSize) return false;
      std::memcpy(buffer, bytes + (address - kCallCaseBase), size);
      return true;
    };
  }
};

TEST(CallForms, EachCaseAcceptsOrRejectsAsItsTableSays) {
  for (const TCallCase& c : kCallCases) {
    SCOPED_TRACE(std::string(c.hex) + " (" + c.what + ")");
    CodeBuffer code(Hex(c.hex));
    TCallSite site;
    const std::uintptr_t value = kCallCaseBase + kCallCaseValue;
    const bool accepted = ExceptionLog::FindCallBefore(value, code.Reader(), site);
    EXPECT_EQ(accepted, c.form != TCallForm::kNone);
    EXPECT_EQ(site.Form, c.form);
    if (!accepted) continue;
    EXPECT_EQ(site.Address, value - c.length);
    // What is accepted is a real call of that length (the lengths are objdump's).
    EXPECT_NE((" " + std::string(c.calls) + " ").find(" " + std::to_string(c.length) + " "),
              std::string::npos);
  }
}

TEST(CallForms, DirectCallGivesItsTarget) {
  CodeBuffer code(Hex("E8 C0 FF FF FF"));
  TCallSite site;
  ASSERT_TRUE(ExceptionLog::FindCallBefore(kCallCaseBase + kCallCaseValue, code.Reader(), site));
  EXPECT_EQ(site.Target, kCallCaseBase);
}

TEST(CallForms, ValuesWhoseSevenBytesInFrontAreUnreadableAreNoCandidates) {
  CodeBuffer code(Hex("FF D0"));
  code.bytes[1] = 0xFF;
  code.bytes[2] = 0xD0;
  TCallSite site;
  for (std::uintptr_t value :
       {std::uintptr_t{0}, std::uintptr_t{3}, std::uintptr_t{6}, std::uintptr_t{kCallCaseBase + 3},
        std::uintptr_t{kCallCaseBase + kCallCaseSize + 7}}) {
    EXPECT_FALSE(ExceptionLog::FindCallBefore(value, code.Reader(), site)) << value;
    EXPECT_EQ(site.Form, TCallForm::kNone);
  }
  // The first value whose seven bytes all lie in the buffer.
  code.bytes[5] = 0xFF;
  code.bytes[6] = 0xD0;
  EXPECT_TRUE(ExceptionLog::FindCallBefore(kCallCaseBase + 7, code.Reader(), site));
}

// ---- names ------------------------------------------------------------------------------

struct NameCase {
  const char* name;
  int kind;  // -1: the location stays as it was
  const char* unit;
  const char* klass;
  const char* procedure;
};

TEST(SplitMangledName, ExportNamesGiveUnitClassAndProcedure) {
  const NameCase cases[] = {
      {"@Unit1@TForm1@Button1Click$qqrp14System@TObject", 3, "Unit1.pas", "TForm1", "Button1Click"},
      {"@Unit1@TForm1@Button1Click", -1, "", "", ""},
      {"@Com_port@ComConnect$qqrx17System@AnsiString", 3, "Com_port.pas", "", "ComConnect"},
      {"@System@@HandleAnyException$qqrv", 3, "System.pas", "", "_HandleAnyException"},
      {"@System@TObject@@Free$qqrv", 3, "System.pas", "TObject", "_Free"},
      {"@Unit2@Run@$qqrv", 3, "Unit2.pas", "", "Run"},
      {"@Unit3@A@B@C$qqrv", -1, "", "", ""},
      {"@$xp$6Unit1", 2, "", "", "_$xp$6Unit1"},
      {"@", 2, "", "", "_"},
      {"Forms.TApplication.Run", 3, "Forms.pas", "TApplication", "Run"},
      {"Forms.Run@8", 3, "Forms.pas", "", "Run"},
      {"A.B.C.D", -1, "", "", ""},
      {"VLProbeAdd", 2, "", "", "VLProbeAdd"},
      {"_Z8VLProbeii", 2, "", "", "_Z8VLProbeii"},
      {"?Probe@@YAHH@Z", -1, "", "", ""},
      {"", -1, "", "", ""},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    TAddressLocation loc;
    loc.Kind = 1;
    loc.UnitName = "before";
    ExceptionLog::SplitMangledName(c.name, loc);
    if (c.kind < 0) {
      EXPECT_EQ(loc.Kind, 1);
      EXPECT_EQ(loc.UnitName, "before");
      EXPECT_EQ(loc.ProcedureName, "");
      continue;
    }
    EXPECT_EQ(loc.Kind, c.kind);
    EXPECT_EQ(loc.UnitName, c.unit);
    EXPECT_EQ(loc.ClassName, c.klass);
    EXPECT_EQ(loc.ProcedureName, c.procedure);
  }
}

struct SourceCase {
  ExceptionLog::TOtherSourceAnswer answer;
  bool module_known;
  int kind;
  const char* unit;
  const char* klass;
  const char* procedure;
  std::uint32_t line;
  std::uint32_t line_offset;
};

TEST(OtherSourceLocation, SplitsTheProcedureTextAndPicksTheKind) {
  const SourceCase cases[] = {
      {{"Unit1", "Unit1.TForm1.Button1Click", "C:\\src\\Unit1.pas", 101, 1},
       true,
       4,
       "Unit1.pas",
       "TForm1",
       "Button1Click",
       101,
       1},
      {{"Com_port", "Com_port.ComConnect", "Com_port.pas", 21, 1},
       true,
       4,
       "Com_port.pas",
       "",
       "ComConnect",
       21,
       1},
      {{"Com_port", "COM_PORT.ComWrite", "", 0, 0}, true, 3, "Com_port", "", "ComWrite", 0, 0},
      {{"Unit1", "TForm1.FormCreate", "Unit1.pas", 205, 5},
       true,
       4,
       "Unit1.pas",
       "TForm1",
       "FormCreate",
       205,
       5},
      {{"", "Halt0", "", 0, 0}, true, 2, "", "", "Halt0", 0, 0},
      {{"", "", "", 0, 0}, true, 1, "", "", "", 0, 0},
      {{"", "", "", 0, 0}, false, 0, "", "", "", 0, 0},
      {{"System", "System.GetMem", "lib/System.pas", 31, -3},
       true,
       4,
       "System.pas",
       "",
       "GetMem",
       31,
       0},
      {{"U", "U.TOuter.TInner.Go", "U.pas", 7, 0}, true, 4, "U.pas", "TOuter.TInner", "Go", 7, 0},
  };
  TVantorModuleInfo module;
  for (const SourceCase& c : cases) {
    SCOPED_TRACE(c.answer.ProcedureName);
    TAddressLocation loc;
    loc.ModuleInfo = c.module_known ? &module : nullptr;
    ExceptionLog::ApplyOtherSourceLocation(c.answer, loc);
    EXPECT_EQ(loc.Kind, c.kind);
    EXPECT_EQ(loc.UnitName, c.unit);
    EXPECT_EQ(loc.ClassName, c.klass);
    EXPECT_EQ(loc.ProcedureName, c.procedure);
    EXPECT_EQ(loc.Line, c.line);
    EXPECT_EQ(loc.LineOffset, c.line_offset);
  }
}

TEST(StackKindMask, LineEntriesAlwaysOthersByTheStackFlags) {
  const std::pair<std::uint8_t, std::uint32_t> cases[] = {
      {0x00, 16}, {0x01, 20}, {0x02, 24}, {0x03, 28}, {0xFC, 16}};
  for (const auto& [flags, mask] : cases) {
    auto options = TVantorModuleOptions::Create<TVantorModuleOptions>("");
    options->FStackFlags = flags;
    EXPECT_EQ(ExceptionLog::StackKindMask(*options), mask) << int(flags);
  }
}

// ---- admission and the tidy step ----------------------------------------------------------

TEST(StackAdmission, KindSetThenFirstIndexThenMaximum) {
  struct Case {
    std::uint32_t kind_set;
    int max_count, first_index;
    std::vector<std::uint8_t> kinds;
    std::vector<bool> admitted;
  };
  const Case cases[] = {
      {16, 0, -1, {4, 3, 4, 1, 0, 4}, {true, false, true, false, false, true}},
      {31, 2, 1, {4, 3, 2, 1, 0}, {false, true, true, false, false}},
      {16, 1, 0, {3, 4, 4}, {false, true, false}},
      {28, 5, 2, {4, 1, 4, 3, 2}, {false, false, false, true, true}},
  };
  for (const Case& c : cases) {
    ExceptionLog::TStackAdmission admission{c.kind_set, c.max_count, c.first_index};
    for (std::size_t i = 0; i < c.kinds.size(); ++i)
      EXPECT_EQ(admission.Admit(c.kinds[i]), c.admitted[i]) << c.kind_set << " entry " << i;
  }
}

struct Entry {
  std::uint8_t kind;
  std::uintptr_t address;
  const char* procedure;
  std::uint32_t line_offset = 3;
  std::uint32_t thread = 1;
};

TVantorStackList MakeList(const std::vector<Entry>& entries, TVantorModuleInfo* module) {
  TVantorStackList list;
  for (const Entry& e : entries) {
    auto loc = std::make_unique<TAddressLocation>();
    loc->Kind = e.kind;
    loc->Address = e.address;
    loc->ModuleInfo = module;
    loc->UnitName = "u.pas";
    loc->ProcedureName = e.procedure;
    loc->LineOffset = e.line_offset;
    loc->ThreadID = e.thread;
    list.Add(std::move(loc));
  }
  return list;
}

std::vector<int> Kinds(const TVantorStackList& list) {
  std::vector<int> kinds;
  for (int i = 0; i < list.Count(); ++i) kinds.push_back(list.Items(i)->Kind);
  return kinds;
}

TEST(TidyCallStack, RepeatedAddressesAreShownOnce) {
  TVantorModuleInfo module, other;
  // 0x10 twice in a row, 0x20 with one entry between, 0x30 two apart (kept), 0x40 of kind 1.
  TVantorStackList list = MakeList({{4, 0x10, "a"},
                                    {4, 0x10, "a"},
                                    {4, 0x20, "b"},
                                    {3, 0x50, "c"},
                                    {4, 0x20, "b"},
                                    {4, 0x30, "d"},
                                    {4, 0x60, "e"},
                                    {4, 0x61, "f"},
                                    {4, 0x30, "d"},
                                    {1, 0x40, ""},
                                    {1, 0x40, ""}},
                                   &module);
  ExceptionLog::TidyCallStack(list, 0, false);
  EXPECT_EQ(Kinds(list), (std::vector<int>{0, 4, 0, 3, 4, 4, 4, 4, 4, 1, 1}));

  // Another module at the same address is another entry; entries before first_new stay.
  TVantorStackList mixed = MakeList({{4, 0x10, "a"}, {4, 0x10, "a"}, {4, 0x10, "a"}}, &module);
  mixed.Items(2)->ModuleInfo = &other;
  ExceptionLog::TidyCallStack(mixed, 0, false);
  EXPECT_EQ(Kinds(mixed), (std::vector<int>{0, 4, 4}));
  TVantorStackList old = MakeList({{4, 0x10, "a"}, {4, 0x10, "a"}, {4, 0x10, "a"}}, &module);
  ExceptionLog::TidyCallStack(old, 1, false);
  EXPECT_EQ(Kinds(old), (std::vector<int>{4, 0, 4}));
}

TEST(TidyCallStack, EntriesBetweenAProcedureStartAndItsBodyAreHidden) {
  TVantorModuleInfo module;
  // "p" at its first line (offset 0) at the end; below it two other procedures, then "p"
  // with a line offset: the two between are hidden.
  TVantorStackList list = MakeList(
      {{4, 0x10, "x"}, {4, 0x20, "p", 4}, {4, 0x30, "q"}, {3, 0x40, "r"}, {4, 0x50, "p", 0}},
      &module);
  ExceptionLog::TidyCallStack(list, 0, false);
  EXPECT_EQ(Kinds(list), (std::vector<int>{4, 4, 0, 0, 4}));

  // The walk reaches the first entry without a stop: nothing hidden.
  TVantorStackList none = MakeList({{4, 0x30, "q"}, {3, 0x40, "r"}, {4, 0x50, "p", 0}}, &module);
  ExceptionLog::TidyCallStack(none, 0, false);
  EXPECT_EQ(Kinds(none), (std::vector<int>{4, 3, 4}));

  // Another thread stops the walk: the entries above it are hidden.
  TVantorStackList thread =
      MakeList({{4, 0x10, "x", 3, 2}, {4, 0x30, "q"}, {3, 0x40, "r"}, {4, 0x50, "p", 0}}, &module);
  ExceptionLog::TidyCallStack(thread, 0, false);
  EXPECT_EQ(Kinds(thread), (std::vector<int>{4, 0, 0, 4}));

  // The stop right below: no entry lies between.
  TVantorStackList adjacent = MakeList({{4, 0x20, "p", 4}, {4, 0x50, "p", 0}}, &module);
  ExceptionLog::TidyCallStack(adjacent, 0, false);
  EXPECT_EQ(Kinds(adjacent), (std::vector<int>{4, 4}));
}

TEST(TidyCallStack, UnlocatedAndHandlerEntriesGoWhenAsked) {
  TVantorModuleInfo module;
  TVantorStackList list = MakeList({{0, 0x10, ""},
                                    {4, 0x20, "a"},
                                    {1, 0x30, ""},
                                    {4, 0x40, "TApplication.HandleException"},
                                    {2, 0x50, "b"}},
                                   &module);
  ExceptionLog::TidyCallStack(list, 1, true);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(0)->Kind, 0);
  EXPECT_EQ(list.Items(1)->ProcedureName, "a");
  EXPECT_EQ(list.Items(2)->ProcedureName, "b");
}

}  // namespace
