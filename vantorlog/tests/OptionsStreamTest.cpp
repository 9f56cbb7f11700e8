#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>

#include "Fixtures.h"
#include "Streams.h"
#include "VOptions.h"
#include "VOptionsStream.h"

namespace {

using fixtures::FromHex;

// Every streamed setting by name, as the fixture files name them.
std::map<std::string, std::function<std::int64_t(const TVantorModuleOptions&)>> NumberFields() {
  using O = const TVantorModuleOptions&;
  return {
      {"FLogEnabled", [](O o) { return o.FLogEnabled; }},
      {"FHandleExceptions", [](O o) { return o.FHandleExceptions; }},
      {"FLogFlags", [](O o) { return o.FLogFlags; }},
      {"FAppendToLog", [](O o) { return o.FAppendToLog; }},
      {"FWriteLogFile", [](O o) { return o.FWriteLogFile; }},
      {"FFirstTab", [](O o) { return o.FFirstTab; }},
      {"FHangCheck", [](O o) { return o.FHangCheck; }},
      {"FHangTimeoutSecs", [](O o) { return o.FHangTimeoutSecs; }},
      {"FSmtpPortNo", [](O o) { return o.FSmtpPortNo; }},
      {"FTerminateAction", [](O o) { return o.FTerminateAction; }},
      {"FMaxSavedReports", [](O o) { return o.FMaxSavedReports; }},
      {"FTerminateAfterCount", [](O o) { return o.FTerminateAfterCount; }},
      {"FMailMode", [](O o) { return o.FMailMode; }},
      {"FWebMode", [](O o) { return o.FWebMode; }},
      {"FWebPortNo", [](O o) { return o.FWebPortNo; }},
      {"FSendFlags", [](O o) { return o.FSendFlags; }},
      {"FDialogOptions", [](O o) { return o.FDialogOptions; }},
      {"FDialogAutoCloseSecs", [](O o) { return o.FDialogAutoCloseSecs; }},
      {"FStackFlags", [](O o) { return o.FStackFlags; }},
      {"FBehaviourFlags", [](O o) { return o.FBehaviourFlags; }},
      {"FLeakFlags", [](O o) { return o.FLeakFlags; }},
      {"FCrashAction", [](O o) { return o.FCrashAction; }},
      {"FCrashCount", [](O o) { return o.FCrashCount; }},
      {"FCrashMinutes", [](O o) { return o.FCrashMinutes; }},
      {"FBuildFlags", [](O o) { return o.FBuildFlags; }},
      {"FDialogKind", [](O o) { return o.FDialogKind; }},
      {"FProxyPortNo", [](O o) { return o.FProxyPortNo; }},
  };
}

std::map<std::string, std::function<std::string(const TVantorModuleOptions&)>> StringFields() {
  using O = const TVantorModuleOptions&;
  return {
      {"FSmtpSender", [](O o) { return o.FSmtpSender; }},
      {"FSmtpServer", [](O o) { return o.FSmtpServer; }},
      {"FSmtpLogin", [](O o) { return o.FSmtpLogin; }},
      {"FSmtpPass", [](O o) { return o.FSmtpPass; }},
      {"FMailRecipients", [](O o) { return o.FMailRecipients; }},
      {"FMailSubjectText", [](O o) { return o.FMailSubjectText; }},
      {"FMailBody", [](O o) { return o.FMailBody; }},
      {"FLogFolder", [](O o) { return o.FLogFolder; }},
      {"FWebAddress", [](O o) { return o.FWebAddress; }},
      {"FWebLogin", [](O o) { return o.FWebLogin; }},
      {"FWebPass", [](O o) { return o.FWebPass; }},
      {"FExtraFiles", [](O o) { return o.FExtraFiles; }},
      {"FSupportLink", [](O o) { return o.FSupportLink; }},
      {"FHtmlTemplate", [](O o) { return o.FHtmlTemplate; }},
      {"FProxyAddress", [](O o) { return o.FProxyAddress; }},
      {"FProxyLogin", [](O o) { return o.FProxyLogin; }},
      {"FProxyPass", [](O o) { return o.FProxyPass; }},
      {"FTrackerLogin", [](O o) { return o.FTrackerLogin; }},
      {"FTrackerPass", [](O o) { return o.FTrackerPass; }},
      {"FTrackerAssignee", [](O o) { return o.FTrackerAssignee; }},
      {"FTrackerProjectName", [](O o) { return o.FTrackerProjectName; }},
      {"FTrackerCategoryName", [](O o) { return o.FTrackerCategoryName; }},
      {"FTrackerTrialId", [](O o) { return o.FTrackerTrialId; }},
      {"FZipPass", [](O o) { return o.FZipPass; }},
      {"FTextsLanguage", [](O o) { return o.FTextsLanguage; }},
  };
}

TMemoryStream StreamOf(const std::string& bytes) {
  TMemoryStream s;
  if (!bytes.empty()) s.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  s.SetPosition(0);
  return s;
}

std::string BytesOf(const TVantorModuleOptions& o) {
  TMemoryStream s;
  o.WriteToStream(s);
  return std::string(reinterpret_cast<const char*>(s.Memory()), static_cast<std::size_t>(s.Size()));
}

class OptionsStreamTest : public ::testing::Test {
 protected:
  void TearDown() override { VCore::SetStreamVersion(VCore::kCurrentStreamVersion); }
};

TEST_F(OptionsStreamTest, EveryVersionFromThePythonWriter) {
  const auto index = fixtures::ReadTable("options_index.txt");
  ASSERT_GE(index.size(), 40u);
  const auto numbers = NumberFields();
  const auto strings = StringFields();
  for (const auto& entry : index) {
    const std::string stem = entry[0];
    const auto version = static_cast<std::uint16_t>(std::stoi(entry[1]));
    SCOPED_TRACE(stem);
    auto o = TVantorModuleOptions::Create("");
    for (int i = 0; i < VCore::kCustomTextCount; ++i) o->FTexts[i] = "keep-" + std::to_string(i);
    VCore::SetStreamVersion(version);
    TMemoryStream s = StreamOf(fixtures::ReadFile(stem + ".bin"));
    ASSERT_NO_THROW(o->ReadFromStream(s));
    EXPECT_EQ(s.Position(), s.Size()) << "the whole block is read";
    int filter = 0, checked = 0;
    for (const auto& row : fixtures::ReadTable(stem + ".expect")) {
      const std::string& kind = row[0];
      ++checked;
      if (kind == "N") {
        ASSERT_TRUE(numbers.count(row[1])) << row[1];
        EXPECT_EQ(numbers.at(row[1])(*o), std::stoll(row[2])) << row[1];
      } else if (kind == "S") {
        ASSERT_TRUE(strings.count(row[1])) << row[1];
        EXPECT_EQ(strings.at(row[1])(*o), FromHex(row[2])) << row[1];
      } else if (kind == "F") {
        EXPECT_EQ(std::string(o->FDialogShowFlags.begin(), o->FDialogShowFlags.end()),
                  FromHex(row[2]));
      } else if (kind == "T") {
        EXPECT_EQ(o->FTexts[std::stoi(row[1])], FromHex(row[2])) << "text " << row[1];
      } else if (kind == "K") {
        EXPECT_EQ(o->FTexts[std::stoi(row[1])], "keep-" + row[1]) << "text " << row[1];
      } else if (kind == "C") {
        EXPECT_EQ(o->FFilters->Count(), std::stoi(row[1]));
      } else if (kind == "R") {
        const TVantorExceptionFilter* f = o->FFilters->GetFilter(filter++);
        ASSERT_NE(f, nullptr);
        const TVantorExceptionFilter want{static_cast<std::uint8_t>(std::stoi(row[1])),
                                          FromHex(row[2]),
                                          FromHex(row[3]),
                                          static_cast<std::uint8_t>(std::stoi(row[4])),
                                          static_cast<std::uint8_t>(std::stoi(row[5])),
                                          static_cast<std::uint8_t>(std::stoi(row[6])),
                                          static_cast<std::uint8_t>(std::stoi(row[7]))};
        EXPECT_EQ(*f, want);
      }
    }
    EXPECT_GT(checked, 150);
  }
}

TEST_F(OptionsStreamTest, RoundTripAtTheCurrentVersion) {
  auto a = TVantorModuleOptions::Create("");
  a->SetSmtpServer("smtp.example");
  a->SetHangCheck(true);
  a->SetHangTimeoutSecs(90);
  a->SetDialogShowFlags({0x01, 0x80, 0x00, 0xFF, 0x55, 0xAA});
  a->SetSendFlags(0x2FF);
  a->SetBehaviourFlags(0xBEEF);
  a->FLeakFlags = 0x11;
  a->SetZipPass("zip");
  a->SetTextsLanguage("Russian");
  a->StoreText(10, "one line\r\n");          // a single trailing line break is dropped
  a->StoreText(11, "two\r\nlines\r\n");      // kept: an earlier line break
  a->StoreText(12, "\xC0\xFF binary \x4E");  // every byte value survives the key
  a->FFilters->Add({0, "EAbort", "msg %TEMP%", 3, 4, 2, 1});
  a->FFilters->Add({1, "Exception", "", 0, 0, 0, 0});

  auto b = TVantorModuleOptions::Create("");
  TMemoryStream s = StreamOf(BytesOf(*a));
  b->ReadFromStream(s);
  for (const auto& [name, get] : NumberFields()) EXPECT_EQ(get(*b), get(*a)) << name;
  for (const auto& [name, get] : StringFields()) EXPECT_EQ(get(*b), get(*a)) << name;
  EXPECT_EQ(b->FDialogShowFlags, a->FDialogShowFlags);
  EXPECT_EQ(b->FTexts[10], "one line");
  EXPECT_EQ(b->FTexts[11], "two\r\nlines\r\n");
  EXPECT_EQ(b->FTexts[12], a->FTexts[12]);
  EXPECT_EQ(b->FTexts[100], a->FTexts[100]);
  ASSERT_EQ(b->FFilters->Count(), 2);
  EXPECT_EQ(*b->FFilters->GetFilter(0), *a->FFilters->GetFilter(0));
  EXPECT_EQ(*b->FFilters->GetFilter(1), *a->FFilters->GetFilter(1));
}

TEST_F(OptionsStreamTest, ElementaryItemsOnTheWire) {
  auto o = TVantorModuleOptions::Create("");
  o->SetSmtpSender("");
  o->SetSmtpServer("AB");
  const std::string bytes = BytesOf(*o);
  // 7 bytes, the time-out, then the sender: an empty string is four zero bytes.
  EXPECT_EQ(bytes.substr(7, 4), std::string("\x3C\0\0\0", 4));
  EXPECT_EQ(bytes.substr(11, 4), std::string(4, '\0'));
  EXPECT_EQ(bytes.substr(15, 6),
            std::string("\x02\0\0\0", 4) + char('A' ^ 0x4E) + char('B' ^ 0x4E));
  EXPECT_EQ(bytes.substr(21, 2), std::string("\x19\0", 2));  // port 25
}

TEST_F(OptionsStreamTest, ShortOrCorruptBlocksLeaveTheOptionsAsTheyWere) {
  auto source = TVantorModuleOptions::Create("");
  source->SetSmtpServer("new server");
  source->FFilters->Add({1, "EAbort", "", 0, 0, 0, 0});
  const std::string good = BytesOf(*source);

  auto target = TVantorModuleOptions::Create("");
  target->SetSmtpServer("old server");
  target->FFilters->Add({1, "Kept", "", 0, 0, 0, 0});
  const std::string before = BytesOf(*target);

  // Every truncation, and a string or filter count that claims more than the block holds.
  std::vector<std::string> bad;
  for (std::size_t n = 0; n < good.size(); n += (n < 64 ? 1 : 97)) bad.push_back(good.substr(0, n));
  bad.push_back(good.substr(0, good.size() - 1));
  std::string long_string = good;
  long_string[11] = '\x7F';  // sender length 0x7F...: past the end
  long_string[14] = '\x7F';
  bad.push_back(long_string);
  for (const std::string& block : bad) {
    if (block == good) continue;
    TMemoryStream s = StreamOf(block);
    EXPECT_THROW(target->ReadFromStream(s), EReadError) << block.size();
    ASSERT_EQ(BytesOf(*target), before) << block.size();
  }
  EXPECT_EQ(target->FUpdateCount, 0);
}

TEST_F(OptionsStreamTest, MaxSavedReportsOfZeroReadsAsOne) {
  auto o = TVantorModuleOptions::Create("");
  std::string bytes = BytesOf(*o);
  // FMaxSavedReports follows 7 bytes, a dword, sender, server, a word, login, pass, a byte.
  const std::size_t at = 7 + 4 + (4 + o->FSmtpSender.size()) + 4 + 2 + 4 + 4 + 1;
  ASSERT_EQ(bytes.substr(at, 4), std::string("\x20\0\0\0", 4));
  bytes.replace(at, 4, std::string(4, '\0'));
  TMemoryStream s = StreamOf(bytes);
  o->ReadFromStream(s);
  EXPECT_EQ(o->FMaxSavedReports, 1);
}

TEST_F(OptionsStreamTest, VersionHelpers) {
  EXPECT_EQ(VCore::BlockVersionFromWord(600), 6000);
  EXPECT_EQ(VCore::BlockVersionFromWord(602), 6002);
  EXPECT_EQ(VCore::BlockVersionFromWord(6015), 6015);
  EXPECT_EQ(VCore::BlockVersionFromWord(599), 599);
  EXPECT_TRUE(VCore::IsCompatibleVersion(6000));
  EXPECT_TRUE(VCore::IsCompatibleVersion(6100));
  EXPECT_FALSE(VCore::IsCompatibleVersion(5999));
  EXPECT_FALSE(VCore::IsCompatibleVersion(6101));
}

}  // namespace
