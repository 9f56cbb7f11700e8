#include <gtest/gtest.h>

#include <map>

#include "VTextUtils.h"
#include "VTexts.h"

namespace {

using namespace VCore;

TEST(TextUtilsTest, ExpandEnvRefs) {
  const std::map<std::string, std::string> env = {{"TEMP", "C:\\Temp"}, {"A_1", "%TEMP%"}};
  auto lookup = [&](const std::string& name) {
    auto it = env.find(name);
    return it == env.end() ? std::string() : it->second;
  };
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"%TEMP%\\name", "C:\\Temp\\name"},
      {"ends in %", "ends in %"},
      {"%UNSET%", ""},
      {"100% sure %TEMP%", "100% sure C:\\Temp"},
      {"%A_1%", "%TEMP%"},  // inserted values are not scanned again
      {"%%TEMP%%", "%C:\\Temp%"},
      {"%no space%", "%no space%"},
  };
  for (const Case& c : cases) EXPECT_EQ(ExpandEnvRefs(c.in, lookup), c.out) << c.in;
}

TEST(TextUtilsTest, HtmlEscape) {
  EXPECT_EQ(HtmlEscape("a&b\"c'd<e>f"), "a&amp;b&quot;c&#039;d&lt;e&gt;f");
  EXPECT_EQ(HtmlEscape("x   y\r\nz"), "x&nbsp;&nbsp; y<br>\r\nz");
}

TEST(TextUtilsTest, ElapsedTime) {
  EXPECT_EQ(ElapsedTimeText(1.5), "1 day, 12 hours, 0 seconds");
  EXPECT_EQ(ElapsedTimeText(1.0 / 86400), "1 second");
  EXPECT_EQ(ElapsedTimeText((2 * 3600 + 60 + 5) / 86400.0), "2 hours, 1 minute, 5 seconds");
  EXPECT_EQ(ElapsedTimeText(0), "0 seconds");
}

TEST(TextUtilsTest, SmallTexts) {
  EXPECT_EQ(SizeInKbText(0), "");
  EXPECT_EQ(SizeInKbText(1536), "2 Kb");
  EXPECT_EQ(SizeInKbText(1535), "1 Kb");
  EXPECT_EQ(NumberOrUnknown(0), "??");
  EXPECT_EQ(NumberOrUnknown(12), "12");
  EXPECT_EQ(PriorityClassName(0x4000), "Below-Normal");
  EXPECT_EQ(PriorityClassName(256), "Real-Time");
  EXPECT_EQ(ShortVersionText("6.1.7601.1"), "6.1.x");
  EXPECT_EQ(PosFrom("abcabc", "bc", 3), 5u);
  EXPECT_EQ(PosFrom("abcabc", "x", 1), 0u);
  EXPECT_EQ(ReplaceAll("a.vshost.exe.vshost", ".vshost", ""), "a.exe");
  EXPECT_EQ(SplitByChars(" a ; ;b;", ";"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(SplitByChars(" a ; ;b;", ";", true, true),
            (std::vector<std::string>{" a ", " ", "b", ""}));
  EXPECT_EQ(SplitKeepingDelims("a<b>", "<>"), (std::vector<std::string>{"a", "<", "b", ">"}));
}

TEST(TextUtilsTest, Rfc822DateKeepsZoneMinutes) {
  const TDateTimeParts t{2009, 3, 3, 14, 5, 9, 2};
  EXPECT_EQ(Rfc822DateText(t, 330), "Tue, 3 Mar 2009 14:05:09 +0530");
  EXPECT_EQ(Rfc822DateText(t, -210), "Tue, 3 Mar 2009 14:05:09 -0330");
  EXPECT_EQ(Rfc822DateText(t, 0), "Tue, 3 Mar 2009 14:05:09 +0000");
}

TEST(TextUtilsTest, LogFileNames) {
  EXPECT_EQ(LogPathFor("D:\\Logs\\Mine.VLF", "C:\\App\\app.vlf"), "D:\\Logs\\Mine.VLF");
  EXPECT_EQ(LogPathFor("D:\\Logs", "C:\\App\\app.vlf"), "D:\\Logs\\app.vlf");
  EXPECT_EQ(LogPathFor("", "C:\\App\\app.vlf"), "C:\\App\\app.vlf");
  EXPECT_EQ(InsertComputerName("C:\\App\\app.vlf", "PC:1*2?\"<>|/\\"),
            "C:\\App\\app_PC_1_2_______.vlf");
  EXPECT_EQ(IncludeTrailingSlash(""), "\\");
  EXPECT_EQ(IncludeTrailingSlash("C:\\a\\"), "C:\\a\\");
  EXPECT_EQ(ExcludeTrailingSlash("C:\\a\\"), "C:\\a");
  EXPECT_EQ(ChangeFileExt("C:\\a.b\\prog.vshost.exe", ".vlf"), "C:\\a.b\\prog.vshost.vlf");
  EXPECT_EQ(ChangeFileExt("C:\\a.b\\prog", ".vlf"), "C:\\a.b\\prog.vlf");
}

TEST(TextUtilsTest, WindowsVersionNames) {
  struct Case {
    TWindowsVersion v;
    const char* name;
  } cases[] = {
      {{1, 4, 0, 950, "", false}, "Microsoft Windows 95"},
      {{1, 4, 0, 1111, " B", false}, "Microsoft Windows 95 OSR 2"},
      {{1, 4, 10, 2222, " A", false}, "Microsoft Windows 98 SE"},
      {{1, 4, 90, 3000, "", false}, "Microsoft Windows ME"},
      {{2, 4, 0, 1381, "", false}, "Microsoft Windows NT 4.0"},
      {{2, 5, 0, 2195, "", false}, "Microsoft Windows 2000"},
      {{2, 5, 1, 2600, "", false}, "Microsoft Windows XP"},
      {{2, 5, 2, 3790, "", true}, "Microsoft Windows XP (64 bit)"},
      {{2, 5, 2, 3790, "", false}, "Microsoft Windows 2003"},
      {{2, 6, 0, 6002, "", false}, "Microsoft Windows Vista"},
      {{2, 6, 1, 7601, "", false}, "Microsoft Windows 7"},
      {{2, 6, 2, 9200, "", false}, "Microsoft Windows 8"},
      {{2, 6, 3, 9600, "", true}, "Microsoft Windows 8.1 (64 bit)"},
      {{2, 10, 0, 19045, "", false}, "Microsoft Windows 10"},
      {{2, 10, 0, 22631, "", false}, "Microsoft Windows 11"},
      {{2, 12, 3, 1, "", false}, "Microsoft Windows 12.3"},
  };
  for (const Case& c : cases) EXPECT_EQ(WindowsVersionName(c.v), c.name);
  EXPECT_EQ(WindowsBuildText({1, 4, 10, 0x040A08AE, "", false}), "2222");
}

TEST(TextUtilsTest, GeneralPageRtf) {
  const std::string report =
      "ReportTitle {1}\r\nApplication:\r\n---------------\r\n  1.1 Start Date : today\\now\r\n";
  const std::string rtf = GeneralPageRtf(report, 204, "Courier New", 8);
  EXPECT_EQ(rtf.rfind(RtfPageHeader(204, "Courier New"), 0), 0u);
  EXPECT_NE(rtf.find("\\fcharset204 Courier New;"), std::string::npos);
  const std::string body = rtf.substr(RtfPageHeader(204, "Courier New").size());
  EXPECT_EQ(body,
            "\\f0\\fs16\r\n"
            "\\cf1\\b ReportTitle \\{1\\}\\b0\\par\r\n"
            "\\cf3\\b Application:\\b0\\par\r\n"
            "\\cf3 ---------------\\par\r\n"
            "\\cf5   1.1\\cf2  Start Date \\cf4 : today\\\\now\\par\r\n"
            "}");
  EXPECT_EQ(RtfEscapeLines("a{b}\\\r\nc"), "a\\{b\\}\\\\\\par\r\nc\\par\r\n");
}

TEST(TextTableTest, HoldsTheCustomTextsInOrder) {
  ASSERT_GE(TextTableSize(), 158);
  EXPECT_STREQ(DefaultText(0), "Information.");
  EXPECT_STREQ(DefaultText(4),
               "An error has occurred during program execution.\r\nPlease read the following "
               "information for further details.");
  EXPECT_STREQ(DefaultText(36), "&Don't Send");
  EXPECT_STREQ(DefaultText(68), "Total Memory");
  EXPECT_STREQ(DefaultText(146),
               "These BUG is just closed.\r\nContact the program support to obtain an update.");
  EXPECT_STREQ(DefaultText(153), "");
  EXPECT_STREQ(DefaultText(156), "The application seems to be frozen.");
  EXPECT_STREQ(DefaultText(157), "Invalid email.");
  EXPECT_STREQ(DefaultText(-1), "");
}

}  // namespace
