// The outside debug-information readers against files and images written by an independent
// peer (peers/make_debug_fixtures.py), whose tables give each lookup's answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "VDebug.h"
#include "VSystem.h"

namespace {

std::string FixturePath(const std::string& name) {
  return std::string(VL_DEBUG_FIXTURES) + "/" + name;
}

std::vector<std::uint8_t> ReadBytes(const std::string& name) {
  std::ifstream f(FixturePath(name), std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {});
}

struct LookupCase {
  std::uint32_t offset;
  bool found;
  std::string unit, proc;
  std::uint32_t distance;
  std::int32_t line, line_offset;
  std::string source;
};

std::string Undash(const std::string& s) { return s == "-" ? std::string() : s; }

std::vector<LookupCase> ReadCases(const std::string& name) {
  std::ifstream f(FixturePath(name));
  std::vector<LookupCase> cases;
  std::string offset, unit, proc, source;
  int found;
  std::uint32_t distance;
  std::int64_t line, line_offset;
  while (f >> offset >> found >> unit >> proc >> distance >> line >> line_offset >> source) {
    cases.push_back({static_cast<std::uint32_t>(std::stoul(offset, nullptr, 16)), found != 0,
                     Undash(unit), Undash(proc), distance, static_cast<std::int32_t>(line),
                     static_cast<std::int32_t>(line_offset), Undash(source)});
  }
  EXPECT_FALSE(cases.empty()) << name;
  return cases;
}

constexpr VCore::TModuleHandle kUnreadableModule = 0x400000;
constexpr std::uintptr_t kModuleSpan = 0x1000000;

// Files beside the "module" come from a name the test sets. The module's address space is
// readable only as far as the image buffer the test hands over goes (so no probe strays past
// what the sanitizer allows); other memory is the process's own.
class TestHost : public VDebug::TVLDebugHost {
 public:
  TestHost() { previous_ = VDebug::SetDebugHost(this); }
  ~TestHost() override { VDebug::SetDebugHost(previous_); }
  std::string ModuleFileName(VCore::TModuleHandle) override { return module_file; }
  std::size_t ReadableBytes(const void* address, std::size_t length) override {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto lo = image ? reinterpret_cast<std::uintptr_t>(image) : kUnreadableModule;
    if (at < lo || at - lo >= kModuleSpan) return TVLDebugHost::ReadableBytes(address, length);
    if (!image || at > lo + image_size) return 0;
    return std::min<std::size_t>(length, lo + image_size - at);
  }

  std::string module_file;
  const std::uint8_t* image = nullptr;
  std::size_t image_size = 0;

 private:
  VDebug::TVLDebugHost* previous_;
};

VCore::TModuleHandle HandleOf(const std::vector<std::uint8_t>& image) {
  return reinterpret_cast<VCore::TModuleHandle>(image.data());
}

void CheckLocations(TVLDebugInfoSource& source, const std::vector<LookupCase>& cases) {
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "offset 0x" << c.offset);
    const std::uintptr_t address = source.Module() + 0x1000 + c.offset;
    TVLLocationInfo info;
    info.line_number = -7;  // untouched when nothing is found
    ASSERT_EQ(source.GetLocation(address, info), c.found);
    if (!c.found) {
      EXPECT_EQ(info.line_number, -7);
      EXPECT_TRUE(info.unit_name.empty());
      EXPECT_EQ(info.source, nullptr);
      continue;
    }
    EXPECT_EQ(info.address, address);
    EXPECT_EQ(info.unit_name, c.unit);
    EXPECT_EQ(info.procedure_name, c.proc);
    EXPECT_EQ(info.line_number, c.line);
    EXPECT_EQ(info.line_offset, c.line_offset);
    EXPECT_EQ(info.source_file, c.source);
    EXPECT_EQ(info.source, &source);
  }
}

// Every query of a table against a reader over damaged data: whatever it answers, it answers
// without reading outside the data.
template <class Query>
void QueryAll(const std::vector<LookupCase>& cases, Query query) {
  for (const LookupCase& c : cases) query(c.offset);
}

}  // namespace

// ---- SearchSorted -----------------------------------------------------------------------------

TEST(DebugSearchSorted, FindsExactAndNearestLowerEntries) {
  struct Entry {
    std::uint32_t key;
    std::uint32_t payload;
  };
  const Entry entries[] = {{10, 0}, {20, 1}, {30, 2}, {40, 3}};
  struct Case {
    std::uint32_t key;
    bool nearest;
    int expected;
  } cases[] = {
      {10, false, 0}, {40, true, 3},  {20, true, 1}, {25, true, 1},   {25, false, -1},
      {5, true, -1},  {5, false, -1}, {45, true, 3}, {45, false, -1}, {0xFFFFFFFF, true, 3},
  };
  for (const Case& c : cases)
    EXPECT_EQ(VDebug::SearchSorted(entries, sizeof(Entry), 4, c.nearest, c.key), c.expected)
        << c.key << " " << c.nearest;
  EXPECT_EQ(VDebug::SearchSorted(nullptr, sizeof(Entry), 4, true, 20), -1);
  EXPECT_EQ(VDebug::SearchSorted(entries, sizeof(Entry), 0, true, 20), -1);
}

// ---- map file ---------------------------------------------------------------------------------

TEST(DebugMap, LooksUpUnitsProceduresLinesAndSources) {
  TestHost host;
  host.module_file = FixturePath("sample.exe");
  auto source = TVLDebugInfoSource::Create<TVLDebugInfoMap>(kUnreadableModule);
  ASSERT_TRUE(source->IsValid());
  const auto cases = ReadCases("map_cases.txt");
  CheckLocations(*source, cases);
  auto* scanner = static_cast<TVLDebugInfoMap&>(*source).Scanner();
  for (const LookupCase& c : cases) {
    std::uint32_t distance = 99;
    scanner->ProcedureNameAt(c.offset, distance);
    EXPECT_EQ(distance, c.distance) << std::hex << c.offset;
  }
}

TEST(DebugMap, KeepsSegmentOneRowsAndDropsLinesOutOfOrder) {
  TVLMapScanner scanner(FixturePath("sample.map"));
  std::ifstream f(FixturePath("map_counts.txt"));
  int segments, procedures, lines, sources, rejected;
  ASSERT_TRUE(f >> segments >> procedures >> lines >> sources >> rejected);
  EXPECT_EQ(scanner.SegmentCount(), segments);
  EXPECT_EQ(scanner.ProcedureCount(), procedures);
  EXPECT_EQ(scanner.LineCount(), lines);
  EXPECT_EQ(scanner.SourceCount(), sources);
  EXPECT_EQ(scanner.RejectedLineCount(), rejected);
  EXPECT_EQ(scanner.SegmentStartAt(0x400), 0x400u);  // end of one segment, start of the next
  EXPECT_EQ(scanner.SegmentStartAt(0xA00), 0x600u);  // a segment's end is inside it
  EXPECT_EQ(scanner.SegmentStartAt(0xA01), 0xFFFFFFFFu);
}

TEST(DebugMap, WithoutTheSegmentHeadingNothingIsPlaced) {
  TVLMapScanner scanner(FixturePath("noseg.map"));
  EXPECT_EQ(scanner.SegmentCount(), 0);
  EXPECT_EQ(scanner.ProcedureCount(), 0);
  EXPECT_EQ(scanner.LineCount(), 0);
  for (const LookupCase& c : ReadCases("map_cases.txt"))
    EXPECT_EQ(scanner.UnitNameAt(c.offset), "");
}

TEST(DebugMap, HandWrittenRows) {
  struct Case {
    const char* what;
    const char* text;
    std::uint32_t offset;
    const char* unit;
    const char* proc;
    std::int32_t line;
  } cases[] = {
      {"a row without C= and M= ends at its line",
       "Detailed map of segments\r\n 0001:00000000 00000100 S=.text\r\n"
       " 0001:00000100 00000100 C=CODE M=Two\r\n",
       0x150, "Two", "", 0},
      {"M= as the text's last characters",
       "Detailed map of segments\n 0001:00000000 10 C=CODE M=", 0x5, "", "", 0},
      {"words out of order are no heading",
       "segments of map Detailed\r\n 0001:00000000 00000100 C=CODE M=One\r\n", 0x10, "", "", 0},
      {"LF line ends and a first line record at offset 0",
       "Detailed map of segments\n 0001:00000000 00000100 C=CODE M=One\n"
       "Address Publics by Name\nAddress Publics by Value\n 0001:00000000 One.Start\n"
       "Line numbers for One(one.pas) segment .text\n 1 0001:00000000 2 0001:00000010\n",
       0x14, "One", "One.Start", 2},
      {"a heading with no pairs, then another unit",
       "Detailed map of segments\r\n 0001:00000000 00000100 C=CODE M=One\r\n"
       "Address Publics by Name\r\nAddress Publics by Value\r\n 0001:00000000 One.Start\r\n"
       "Line numbers for One(one.pas)\r\nLine numbers for Two(two.pas)\r\n 9 0001:00000020\r\n",
       0x30, "One", "One.Start", 9},
  };
  // Without the class table's heading the search runs to the end and every section is missed.
  {
    const std::string text = "Detailed map of segments\r\n 0001:00000000 00000100 C=CODE M=One\r\n";
    EXPECT_EQ(TVLMapScanner(text.data(), text.size()).SegmentCount(), 0);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Every section follows the class table's heading.
    const std::string text = std::string(" Start Length Name Class\r\n") + c.text;
    TVLMapScanner scanner(text.data(), text.size());
    std::uint32_t distance;
    EXPECT_EQ(scanner.UnitNameAt(c.offset), c.unit);
    EXPECT_EQ(scanner.ProcedureNameAt(c.offset, distance), c.proc);
    EXPECT_EQ(scanner.LineNumberAt(c.offset, distance), c.line);
  }
}

TEST(DebugMap, NoMapFileIsNoSourceAndAnEmptyOneIsAValidSourceThatPlacesNothing) {
  TestHost host;
  host.module_file = FixturePath("absent.exe");
  auto none = TVLDebugInfoSource::Create<TVLDebugInfoMap>(kUnreadableModule);
  EXPECT_FALSE(none->IsValid());
  EXPECT_FALSE(none->LoadSource());

  const std::string dir = std::string(VL_OUTPUT) + "/debug-empty-map";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/prog.map").close();
  host.module_file = dir + "/prog.exe";
  auto empty = TVLDebugInfoSource::Create<TVLDebugInfoMap>(kUnreadableModule);
  EXPECT_TRUE(empty->IsValid());
  TVLLocationInfo info;
  EXPECT_FALSE(empty->GetLocation(kUnreadableModule + 0x1100, info));
}

TEST(DebugMap, EveryTruncationAndDamagedByteIsReadSafely) {
  const auto text = ReadBytes("sample.map");
  const auto cases = ReadCases("map_cases.txt");
  auto query = [&](const std::vector<std::uint8_t>& bytes, std::size_t size) {
    TVLMapScanner scanner(bytes.data(), size);
    std::uint32_t d;
    QueryAll(cases, [&](std::uint32_t off) {
      scanner.UnitNameAt(off);
      scanner.ProcedureNameAt(off, d);
      scanner.LineNumberAt(off, d);
      scanner.SourceFileAt(off);
    });
  };
  for (std::size_t n = 0; n <= text.size(); ++n) query(text, n);
  for (std::size_t i = 0; i < text.size(); ++i) {
    for (std::uint8_t b : {std::uint8_t{0}, std::uint8_t{'('}, std::uint8_t{'\n'}}) {
      auto damaged = text;
      damaged[i] = b;
      query(damaged, damaged.size());
    }
  }
}

// ---- JCL binary debug data ----------------------------------------------------------------------

TEST(DebugJcl, LooksUpFromTheFileBesideTheModule) {
  for (const char* name : {"sample.exe", "sample_nosum.exe"}) {
    SCOPED_TRACE(name);
    TestHost host;
    host.module_file = FixturePath(name);
    // The ".jdbg" name of "sample_nosum.exe" is the block without its checksum.
    auto source = TVLDebugInfoSource::Create<TVLDebugInfoJedy>(kUnreadableModule);
    ASSERT_TRUE(source->IsValid());
    const auto cases = ReadCases("jcl_cases.txt");
    CheckLocations(*source, cases);
    auto* scanner = static_cast<TVLDebugInfoJedy&>(*source).Scanner();
    for (const LookupCase& c : cases) {
      std::uint32_t distance = 99;
      scanner->ProcedureNameAt(c.offset, distance);
      EXPECT_EQ(distance, c.distance) << std::hex << c.offset;
    }
  }
}

TEST(DebugJcl, LooksUpFromTheSectionOfTheLoadedImage) {
  const auto image = ReadBytes("jcl_image.bin");
  TestHost host;
  host.image = image.data();
  host.image_size = image.size();
  host.module_file = FixturePath("absent.exe");
  auto source = TVLDebugInfoSource::Create<TVLDebugInfoJedy>(HandleOf(image));
  ASSERT_TRUE(source->IsValid());
  CheckLocations(*source, ReadCases("jcl_cases.txt"));
}

TEST(DebugJcl, FormatCheckAndEdgeEntries) {
  struct Case {
    const char* file;
    bool valid;
  } cases[] = {{"jcl_35.jdbg", false},
               {"jcl_36.jdbg", true},
               {"badsum.jdbg", false},
               {"sample.jdbg", true},
               {"jcl_edge.jdbg", true}};
  for (const Case& c : cases) {
    const auto bytes = ReadBytes(c.file);
    ASSERT_FALSE(bytes.empty()) << c.file;
    EXPECT_EQ(TVLBinDebugScanner(bytes.data(), bytes.size(), true).ValidFormat(), c.valid)
        << c.file;
  }
  TestHost host;
  host.module_file = FixturePath("jcl_edge.exe");
  auto source = TVLDebugInfoSource::Create<TVLDebugInfoJedy>(kUnreadableModule);
  ASSERT_TRUE(source->IsValid());
  const auto edge = ReadCases("jcl_edge_cases.txt");
  CheckLocations(*source, edge);
  auto* scanner = static_cast<TVLDebugInfoJedy&>(*source).Scanner();
  for (const LookupCase& c : edge) {
    std::uint32_t distance = 99;
    scanner->ProcedureNameAt(c.offset, distance);
    EXPECT_EQ(distance, c.distance) << std::hex << c.offset;
  }
}

TEST(DebugJcl, EveryTruncationAndDamagedByteIsReadSafely) {
  const auto cases = ReadCases("jcl_cases.txt");
  auto query = [&](const std::vector<std::uint8_t>& bytes, std::size_t size) {
    // A copy of exactly size bytes: the sanitizer sees any read past them.
    std::vector<std::uint8_t> data(bytes.begin(), bytes.begin() + static_cast<long>(size));
    TVLBinDebugScanner scanner(data.data(), data.size(), true);
    std::uint32_t d;
    QueryAll(cases, [&](std::uint32_t off) {
      scanner.UnitNameAt(off);
      scanner.ProcedureNameAt(off, d);
      scanner.LineNumberAt(off, d);
      scanner.SourceFileAt(off);
    });
  };
  for (const char* name : {"sample.jdbg", "sample_nosum.jdbg", "jcl_edge.jdbg"}) {
    const auto block = ReadBytes(name);
    for (std::size_t n = 0; n <= block.size(); ++n) query(block, n);
  }
  const auto block = ReadBytes("sample_nosum.jdbg");
  for (std::size_t i = 0; i < block.size(); ++i) {
    for (std::uint8_t b : {std::uint8_t{0x00}, std::uint8_t{0xFF}, std::uint8_t{0x01}}) {
      auto damaged = block;
      damaged[i] = b;
      query(damaged, damaged.size());
    }
  }
}

// ---- TD32 ---------------------------------------------------------------------------------------

TEST(DebugTd32, LooksUpFromTdsFilesOfBothSignatures) {
  for (const char* name : {"sample.exe", "fb0a.exe"}) {
    SCOPED_TRACE(name);
    TestHost host;
    host.module_file = FixturePath(name);
    auto source = TVLDebugInfoSource::Create<TVLDebugInfoTD32>(kUnreadableModule);
    ASSERT_TRUE(source->IsValid());
    const auto cases = ReadCases("td32_cases.txt");
    CheckLocations(*source, cases);
    auto* scanner = static_cast<TVLDebugInfoTD32&>(*source).Image()->Scanner();
    for (const LookupCase& c : cases) {
      std::uint32_t distance = 99;
      scanner->ProcedureNameAt(c.offset, distance);
      EXPECT_EQ(distance, c.distance) << std::hex << c.offset;
    }
  }
}

TEST(DebugTd32, LooksUpThroughThePeDebugDirectory) {
  const auto image = ReadBytes("td32_image.bin");
  TestHost host;
  host.image = image.data();
  host.image_size = image.size();
  host.module_file = FixturePath("absent.exe");
  auto source = TVLDebugInfoSource::Create<TVLDebugInfoTD32>(HandleOf(image));
  ASSERT_TRUE(source->IsValid());
  CheckLocations(*source, ReadCases("td32_cases.txt"));
}

TEST(DebugTd32, ADirectoryThatDoesNotStartASectionFallsBackToTheTdsFile) {
  const auto image = ReadBytes("td32_image_offsection.bin");
  TestHost host;
  host.image = image.data();
  host.image_size = image.size();
  host.module_file = FixturePath("absent.exe");
  EXPECT_FALSE(TVLDebugInfoSource::Create<TVLDebugInfoTD32>(HandleOf(image))->IsValid());
  host.module_file = FixturePath("sample.exe");
  auto source = TVLDebugInfoSource::Create<TVLDebugInfoTD32>(HandleOf(image));
  ASSERT_TRUE(source->IsValid());
  CheckLocations(*source, ReadCases("td32_cases.txt"));
}

TEST(DebugTd32, MalformedDirectories) {
  TestHost host;
  host.module_file = FixturePath("loop.exe");  // a directory chain that comes back
  EXPECT_FALSE(TVLDebugInfoSource::Create<TVLDebugInfoTD32>(kUnreadableModule)->IsValid());
  host.module_file = FixturePath("badentry.exe");  // entry size 16
  try {
    TVLDebugInfoSource::Create<TVLDebugInfoTD32>(kUnreadableModule);
    ADD_FAILURE() << "no assertion error";
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.Message(), "Assertion failure");
  }
  EXPECT_FALSE(TVLDebugInfoSource::Create<TVLDebugInfoTD32>(0)->IsValid());
}

TEST(DebugTd32, FormatsProcedureNames) {
  struct Case {
    const char* unit;
    const char* raw;
    const char* expected;
  } cases[] = {
      {"Unit1", "@Unit1@TForm1@Button1Click$qqrp14System@TObject", "TForm1.Button1Click"},
      {"Unit1", "@Unit1@@Proc$qqrv", "@Proc"},
      {"unit1", "@Unit1@Proc", "Proc"},  // unit compared without case, no "$"
      {"Other", "@Unit1@Proc$qqrv", "Unit1.Proc"},
      {"Unit1", "Unit1.Plain", "Unit1.Plain"},  // not starting with "@": unchanged
      {"", "@Proc$qqrv", "Proc"},
      {"Unit1", "@", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TVLTD32InfoParser::FormatProcName(c.unit, c.raw), c.expected) << c.raw;
}

TEST(DebugTd32, EveryTruncationAndDamagedByteIsReadSafely) {
  const auto cases = ReadCases("td32_cases.txt");
  auto query = [&](const std::vector<std::uint8_t>& bytes, std::size_t size) {
    std::vector<std::uint8_t> data(bytes.begin(), bytes.begin() + static_cast<long>(size));
    try {
      TVLTD32InfoScanner scanner(data.data(), data.size());
      std::uint32_t d;
      std::string text;
      QueryAll(cases, [&](std::uint32_t off) {
        scanner.UnitNameAt(off);
        scanner.ProcedureNameAt(off, d);
        scanner.LineNumberAt(off, d);
        scanner.SourceFileAt(off, text);
      });
    } catch (const EAssertionFailed&) {
    }
  };
  const auto block = ReadBytes("sample.tds");
  for (std::size_t n = 0; n <= block.size(); ++n) query(block, n);
  for (std::size_t i = 0; i < block.size(); ++i) {
    for (std::uint8_t b : {std::uint8_t{0x00}, std::uint8_t{0xFF}, std::uint8_t{0x7F}}) {
      auto damaged = block;
      damaged[i] = b;
      query(damaged, damaged.size());
    }
  }
}

// ---- images and the choice of source
// -------------------------------------------------------------

TEST(DebugImages, TruncatedImagesGiveNoSource) {
  for (const char* name : {"jcl_image.bin", "td32_image.bin"}) {
    const auto full = ReadBytes(name);
    for (std::size_t n = 0; n < full.size(); n += (n < 0x400 ? 1 : 16)) {
      const std::vector<std::uint8_t> image(full.begin(), full.begin() + static_cast<long>(n));
      TestHost host;
      host.image = image.data();
      host.image_size = image.size();
      host.module_file = FixturePath("absent.exe");
      const auto module = image.empty() ? kUnreadableModule : HandleOf(image);
      try {
        TVLDebugInfoSource::Create<TVLDebugInfoJedy>(module);
        TVLDebugInfoSource::Create<TVLDebugInfoTD32>(module);
      } catch (const EAssertionFailed&) {
        // the debug directory points at bytes that are not there
      }
    }
  }
}

TEST(DebugPick, TriesMapThenTd32ThenJcl) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(VL_OUTPUT) / "debug-pick";
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(FixturePath("sample.map"), dir / "prog.map");
  fs::copy_file(FixturePath("sample.tds"), dir / "prog.tds");
  fs::copy_file(FixturePath("sample.jdbg"), dir / "prog.jdbg");
  TestHost host;
  host.module_file = (dir / "prog.exe").string();

  struct Step {
    const char* remove;  // before the pick
    const char* expected;
  } steps[] = {{nullptr, "map"}, {"prog.map", "td32"}, {"prog.tds", "jcl"}, {"prog.jdbg", nullptr}};
  for (const Step& s : steps) {
    if (s.remove) fs::remove(dir / s.remove);
    std::unique_ptr<TVLDebugInfoSource> slot;
    const bool picked = VDebug::PickDebugSource(kUnreadableModule, slot);
    EXPECT_EQ(picked, s.expected != nullptr);
    const char* kind = dynamic_cast<TVLDebugInfoMap*>(slot.get())    ? "map"
                       : dynamic_cast<TVLDebugInfoTD32*>(slot.get()) ? "td32"
                       : dynamic_cast<TVLDebugInfoJedy*>(slot.get()) ? "jcl"
                                                                     : nullptr;
    EXPECT_STREQ(kind, s.expected);
    if (slot) {
      EXPECT_TRUE(slot->IsValid());
    }
  }

  // A reader's error reaches the caller, and the slot stays empty.
  fs::copy_file(FixturePath("badentry.tds"), dir / "prog.tds");
  {
    std::unique_ptr<TVLDebugInfoSource> slot;
    EXPECT_THROW(VDebug::PickDebugSource(kUnreadableModule, slot), EAssertionFailed);
    EXPECT_EQ(slot, nullptr);
  }

  // A slot that holds a source stays as it is.
  fs::copy_file(FixturePath("sample.map"), dir / "prog.map");
  std::unique_ptr<TVLDebugInfoSource> slot =
      TVLDebugInfoSource::Create<TVLDebugInfoJedy>(kUnreadableModule);
  TVLDebugInfoSource* held = slot.get();
  EXPECT_FALSE(VDebug::PickDebugSource(kUnreadableModule, slot));
  EXPECT_EQ(slot.get(), held);
}

#ifdef _WIN32
TEST(DebugHost, NamesTheRunningProgram) {
  EXPECT_EQ(VDebug::DebugHost().ModuleFileName(0), VCore::ProgramFileName());
  EXPECT_EQ(VDebug::DebugHost().ModuleFileName(0x12340000), "");
}

extern "C" __declspec(dllimport) void* __stdcall LoadLibraryA(const char* name);
extern "C" __declspec(dllimport) int __stdcall FreeLibrary(void* module);

// The loader maps the section; the default host probes the real module's headers.
TEST(DebugHost, ReadsTheJclSectionOfALoadedModule) {
  void* module = LoadLibraryA(VL_JCL_SECTION_DLL);
  ASSERT_NE(module, nullptr);
  auto source =
      TVLDebugInfoSource::Create<TVLDebugInfoJedy>(reinterpret_cast<VCore::TModuleHandle>(module));
  ASSERT_TRUE(source->IsValid());
  CheckLocations(*source, ReadCases("jcl_cases.txt"));
  // The program itself carries none of the three.
  std::unique_ptr<TVLDebugInfoSource> slot;
  EXPECT_FALSE(VDebug::PickDebugSource(VCore::ModuleHandleOf(VCore::ProgramFileName()), slot));
  EXPECT_EQ(slot, nullptr);
  source.reset();
  FreeLibrary(module);
}
#endif
