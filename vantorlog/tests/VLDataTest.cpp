// The debug-data block reader and the address lookup against blocks written by the independent
// Python writer (peers/make_vldata.py): every version, both forms, passwords, corrupt and
// truncated blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>

#include "ExceptionLog.h"
#include "Fixtures.h"
#include "Streams.h"
#include "VLData.h"
#include "VOptionsStream.h"

namespace {

using fixtures::FromHex;

constexpr std::uintptr_t kBase = 0x400000;

struct Case {
  std::string name;
  std::map<std::string, std::string> values;  // first word -> rest of the line
  std::vector<std::vector<std::string>> opts, probes, symbols;
  std::map<std::uint32_t, std::string> prologues;
  std::string data;

  const std::string& Get(const std::string& key) const { return values.at(key); }
  int Int(const std::string& key) const { return std::stoi(values.at(key)); }
};

std::vector<Case> LoadCases() {
  std::vector<Case> cases;
  for (const auto& row : fixtures::ReadTable("vldata_index.txt")) {
    Case c;
    c.name = row[0];
    c.data = fixtures::ReadFile(c.name + ".bin");
    for (const auto& line : fixtures::ReadTable(c.name + ".expect")) {
      if (line[0] == "OPT") {
        c.opts.push_back(line);
      } else if (line[0] == "PROBE") {
        c.probes.push_back(line);
      } else if (line[0] == "SYM") {
        c.symbols.push_back(line);
      } else if (line[0] == "PROLOGUE") {
        c.prologues[std::stoul(line[1], nullptr, 16)] = FromHex(line[2]);
      } else {
        c.values[line[0]] = line.size() > 1 ? line[1] : "";
      }
    }
    cases.push_back(std::move(c));
  }
  return cases;
}

std::unique_ptr<TVantorModuleInfo> NewInfo() {
  auto info = std::make_unique<TVantorModuleInfo>();
  info->Handle = kBase;
  info->Options = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
  return info;
}

VLData::TPasswordRequest Answers(const Case& c) {
  VLData::TPasswordRequest request;
  const std::string owner = c.Get("OWNER");
  if (owner != "-") request.OwnerExport = [owner](std::string& p) { p = FromHex(owner); };
  const std::string own = c.Get("OWN");
  if (own != "-") request.OwnHandlers = [own](std::string& p) { p = FromHex(own); };
  return request;
}

bool Load(const Case& c, TVantorModuleInfo& info) {
  if (c.Get("FORM") == "R")
    return VLData::ReadResourceBlock(c.data.data(), c.data.size(), info, Answers(c));
  TMemoryStream file;
  file.WriteBuffer(c.data.data(), static_cast<std::int32_t>(c.data.size()));
  return VLData::ReadAppendedBlock(file, info);
}

VLData::TCodeReader CodeOf(const Case& c) {
  return [&c](std::uintptr_t address, void* buffer, std::size_t size) {
    auto it = c.prologues.find(static_cast<std::uint32_t>(address - kBase - VLData::kCodeStart));
    if (it == c.prologues.end() || it->second.size() < size) return false;
    std::memcpy(buffer, it->second.data(), size);
    return true;
  };
}

void ExpectDefaults(const TVantorModuleInfo& info) {
  EXPECT_EQ(info.DebugDataVersion, VCore::kCurrentStreamVersion);
  EXPECT_EQ(info.BuildDate, 0.0);
  EXPECT_EQ(info.DebugInfo, nullptr);
  auto defaults = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
  EXPECT_EQ(info.Options->FSmtpServer, defaults->FSmtpServer);
  EXPECT_EQ(info.Options->FMaxSavedReports, defaults->FMaxSavedReports);
  EXPECT_EQ(info.Options->FMailRecipients, defaults->FMailRecipients);
}

std::string Describe(const TAddressLocation& l) {
  return l.UnitName + " | " + l.ClassName + " | " + l.ProcedureName + " | " +
         std::to_string(l.Line) + " +" + std::to_string(l.LineOffset);
}

TEST(VLDataTest, EveryCaseLoadsAsWrittenOrNotAtAll) {
  const auto cases = LoadCases();
  ASSERT_GT(cases.size(), 30u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto info = NewInfo();
    const bool ok = Load(c, *info);
    ASSERT_EQ(ok, c.Int("OK") == 1);
    EXPECT_EQ(VCore::StreamVersion(), VCore::kCurrentStreamVersion);  // restored after reading
    if (!ok) {
      ExpectDefaults(*info);
      continue;
    }
    EXPECT_EQ(info->DebugDataVersion, c.Int("VERSION"));
    double date;
    std::memcpy(&date, FromHex(c.Get("DATE")).data(), 8);
    EXPECT_EQ(info->BuildDate, date);
    EXPECT_EQ(info->PasswordKnown, c.Int("KNOWN"));
    const TVantorModuleOptions& opt = *info->Options;
    const std::map<std::string, std::string> texts = {{"FSmtpServer", opt.FSmtpServer},
                                                      {"FMailRecipients", opt.FMailRecipients},
                                                      {"FLogFolder", opt.FLogFolder}};
    const std::map<std::string, long> numbers = {{"FMaxSavedReports", opt.FMaxSavedReports},
                                                 {"FTerminateAfterCount", opt.FTerminateAfterCount},
                                                 {"FMailMode", opt.FMailMode}};
    ASSERT_EQ(c.opts.size(), 6u);
    for (const auto& o : c.opts) {
      if (o[1] == "S") {
        EXPECT_EQ(texts.at(o[2]), FromHex(o[3])) << o[2];
      } else {
        EXPECT_EQ(numbers.at(o[2]), std::stol(o[3])) << o[2];
      }
    }
    ASSERT_NE(info->DebugInfo, nullptr);
    ASSERT_FALSE(c.probes.empty());
    for (const auto& p : c.probes) {
      const std::uintptr_t address = kBase + VLData::kCodeStart + std::stoul(p[1], nullptr, 16);
      TAddressLocation loc;
      const bool found = VLData::LookupInDebugInfo(*info, address, loc, CodeOf(c));
      ASSERT_EQ(found, p[2] == "1") << "offset " << p[1];
      if (!found) continue;
      const std::string want = FromHex(p[3]) + " | " + FromHex(p[4]) + " | " + FromHex(p[5]) +
                               " | " + p[6] + " +" + p[7];
      EXPECT_EQ(Describe(loc), want) << "offset " << p[1];
      EXPECT_EQ(loc.Kind, 4);
      EXPECT_EQ(loc.Address, address);
    }
  }
}

TEST(VLDataTest, DirectoryGivesTheFirstEntryOfAnId) {
  for (const Case& c : LoadCases()) {
    for (const auto& s : c.symbols) {
      SCOPED_TRACE(c.name + " id " + s[1]);
      const auto found = VLData::FindDirectorySymbol(c.data.data(), c.data.size(),
                                                     static_cast<std::uint8_t>(std::stoi(s[1])));
      if (s[2] == "-") {
        EXPECT_FALSE(found.has_value());
      } else {
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(*found, std::stoul(s[2], nullptr, 16));
      }
    }
  }
}

TEST(VLDataTest, VersionWordAndMagic) {
  for (const Case& c : LoadCases()) {
    SCOPED_TRACE(c.name);
    if (c.Get("FORM") == "R") {
      EXPECT_EQ(VLData::ResourceBlockVersion(c.data.data(), c.data.size()), c.Int("WORD"));
    } else if (c.name != "vldata_a_bad_size") {
      TMemoryStream file;
      file.WriteBuffer(c.data.data(), static_cast<std::int32_t>(c.data.size()));
      EXPECT_TRUE(VLData::HasAppendedTrailer(file));
      EXPECT_EQ(VLData::AppendedBlockVersion(file), c.Int("WORD"));
    }
  }
  std::string block = fixtures::ReadFile("vldata_r6015.bin");
  for (std::uint32_t magic : {0x100FAB11u, 0x200FAB10u, 0u}) {
    std::memcpy(block.data(), &magic, 4);
    EXPECT_EQ(VLData::ResourceBlockVersion(block.data(), block.size()), 0) << magic;
    EXPECT_FALSE(VLData::FindDirectorySymbol(block.data(), block.size(), 0).has_value());
  }
  EXPECT_EQ(VLData::ResourceBlockVersion(block.data(), 5), 0);
  TMemoryStream plain;
  plain.WriteBuffer("MZ just a program", 17);
  EXPECT_FALSE(VLData::HasAppendedTrailer(plain));
}

// A block cut at any byte is no debug data, and the module keeps its defaults.
TEST(VLDataTest, EveryTruncationOfABlockFails) {
  for (const char* name : {"vldata_r6015", "vldata_r499", "vldata_r449", "vldata_a6015"}) {
    const Case* found = nullptr;
    const auto cases = LoadCases();
    for (const Case& c : cases) {
      if (c.name == name) found = &c;
    }
    ASSERT_NE(found, nullptr);
    Case cut = *found;
    for (std::size_t n = 0; n < found->data.size(); ++n) {
      if (cut.Get("FORM") == "R") {
        cut.data = found->data.substr(0, n);
      } else {
        // The trailer stays; the block behind the program's bytes loses its end.
        const std::string trailer = found->data.substr(found->data.size() - 8);
        if (n + 8 > found->data.size()) break;
        cut.data = found->data.substr(0, found->data.size() - 8 - n) + trailer;
        if (n == 0) continue;
      }
      auto info = NewInfo();
      ASSERT_FALSE(Load(cut, *info)) << name << " cut at " << n;
      ExpectDefaults(*info);
    }
  }
}

// A debug-info stream cut anywhere never reads past its end: lookups answer or say no.
TEST(VLDataTest, LookupsInATruncatedStreamStayInside) {
  const auto cases = LoadCases();
  for (const Case& c : cases) {
    if (c.name != "vldata_r6015" && c.name != "vldata_r499" && c.name != "vldata_r502") continue;
    auto info = NewInfo();
    ASSERT_TRUE(Load(c, *info));
    const std::vector<std::uint8_t> full(info->DebugInfo->Memory(),
                                         info->DebugInfo->Memory() + info->DebugInfo->Size());
    for (std::size_t n = 0; n < full.size(); n += (n < 400 ? 1 : 37)) {
      auto cut = std::make_unique<TMemoryStream>();
      if (n > 0) cut->WriteBuffer(full.data(), static_cast<std::int32_t>(n));
      info->DebugInfo = std::move(cut);
      for (const auto& p : c.probes) {
        TAddressLocation loc;
        const std::uintptr_t a = kBase + VLData::kCodeStart + std::stoul(p[1], nullptr, 16);
        if (VLData::LookupInDebugInfo(*info, a, loc, CodeOf(c))) {
          EXPECT_EQ(loc.Kind, 4);
        }
      }
    }
  }
}

TEST(VLDataTest, LibraryUnitsShowAsModuleOnlyOutsideInternalErrorReports) {
  const auto cases = LoadCases();
  const Case* c = nullptr;
  for (const Case& x : cases) {
    if (x.name == "vldata_r6015") c = &x;
  }
  ASSERT_NE(c, nullptr);
  auto info = NewInfo();
  ASSERT_TRUE(Load(*c, *info));
  std::vector<std::string> probe;
  for (const auto& p : c->probes) {
    if (p[2] == "1" && FromHex(p[3]) == "main.cpp") probe = p;
  }
  ASSERT_FALSE(probe.empty());
  const std::uintptr_t a = kBase + VLData::kCodeStart + std::stoul(probe[1], nullptr, 16);
  VLData::SetLibraryUnitFiles({"Alpha.pas", "main.cpp"});
  TAddressLocation loc;
  ASSERT_TRUE(VLData::LookupInDebugInfo(*info, a, loc, CodeOf(*c)));
  EXPECT_EQ(loc.Kind, 1);
  EXPECT_EQ(Describe(loc), " |  |  | 0 +0");
  VLData::SetBuildingInternalErrorReport(true);
  ASSERT_TRUE(VLData::LookupInDebugInfo(*info, a, loc, CodeOf(*c)));
  EXPECT_EQ(loc.Kind, 4);
  EXPECT_EQ(loc.UnitName, "main.cpp");
  VLData::SetBuildingInternalErrorReport(false);
  // A frame of another file whose class or namespace is a library unit's name (code inlined
  // from a header into the library) is the library's too.
  std::vector<std::string> classed;
  for (const auto& p : c->probes) {
    const std::string cls = p[2] == "1" ? FromHex(p[4]) : "";
    if (!cls.empty() && cls.find("::") == std::string::npos && FromHex(p[3]) != cls + ".cpp")
      classed = p;
  }
  ASSERT_FALSE(classed.empty());
  const std::string cls = FromHex(classed[4]);
  const std::uintptr_t b = kBase + VLData::kCodeStart + std::stoul(classed[1], nullptr, 16);
  VLData::SetLibraryUnitFiles({cls + ".cpp"});
  ASSERT_TRUE(VLData::LookupInDebugInfo(*info, b, loc, CodeOf(*c)));
  EXPECT_EQ(loc.Kind, 1) << cls;
  VLData::SetLibraryUnitFiles({cls + ".h"});
  ASSERT_TRUE(VLData::LookupInDebugInfo(*info, b, loc, CodeOf(*c)));
  EXPECT_EQ(loc.Kind, 4) << cls;
  VLData::SetLibraryUnitFiles({});
}

TEST(VLDataTest, LightPassReadsOptionsWithoutTheStreamOrThePassword) {
  const auto cases = LoadCases();
  for (const Case& c : cases) {
    if (c.name != "vldata_pw_owner" && c.name != "vldata_r450" && c.name != "vldata_a6015")
      continue;
    SCOPED_TRACE(c.name);
    int asked = 0;
    VLData::TPasswordRequest request;
    request.OwnerExport = [&](std::string&) { ++asked; };
    auto info = NewInfo();
    VLData::SetLightPass(true);
    bool ok;
    if (c.Get("FORM") == "R") {
      ok = VLData::ReadResourceBlock(c.data.data(), c.data.size(), *info, request);
    } else {
      ok = Load(c, *info);
    }
    VLData::SetLightPass(false);
    ASSERT_TRUE(ok);
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(info->DebugInfo, nullptr);
    EXPECT_EQ(info->DebugDataVersion, c.Int("VERSION"));
    EXPECT_EQ(info->Options->FSmtpServer, FromHex(c.opts[0][3]));
  }
}

}  // namespace
