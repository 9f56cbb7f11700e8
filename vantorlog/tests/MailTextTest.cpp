// Text work of the mail client sender: the mailto URL with its escaping and the command line
// cut to CreateProcess's limit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MailSending.h"

namespace {

using ExceptionLog::BuildMailtoUrl;
using ExceptionLog::MailtoCommandLine;
using ExceptionLog::MailtoEscape;
using ExceptionLog::MailtoRecipients;

TEST(MailText, MailtoEscapeKeepsOnlyDashDigitsLettersAndHighBytes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"Re: a/b", "Re%3A%20a%2Fb"},
      {"\xE9t\xE9", "\xE9t\xE9"},
      {"a-b_c.d~", "a-b%5Fc%2Ed%7E"},
      {"100%", "100%25"},
      {"\r\n", "%0D%0A"},
      {"\x7F\x80\xFF", "%7F\x80\xFF"},
      {"?&=#+\"", "%3F%26%3D%23%2B%22"},
      {"AZaz09", "AZaz09"},
  };
  for (const auto& c : cases) EXPECT_EQ(MailtoEscape(c.in), c.out) << c.in;
}

TEST(MailText, RecipientsKeepTheirTextExceptWhatBreaksTheUrlOrTheCommandLine) {
  EXPECT_EQ(MailtoRecipients("a@x.org;b@y.org,c@z.org"), "a@x.org;b@y.org,c@z.org");
  EXPECT_EQ(MailtoRecipients("a b@x\"?#&\t"), "a%20b@x%22%3F%23%26%09");
}

TEST(MailText, MailtoUrl) {
  EXPECT_EQ(BuildMailtoUrl("a@x.org;b@y.org", "Bug: 1/2", "Hi there"),
            "mailto:a@x.org;b@y.org?Subject=Bug%3A%201%2F2&Body=Hi%20there");
  EXPECT_EQ(BuildMailtoUrl("", "", ""), "mailto:?Subject=&Body=");
  EXPECT_EQ(ExceptionLog::MailtoFullText("text", "report"), "text\r\n\r\n\r\nreport");
}

TEST(MailText, CommandLineReplacesEveryPlaceholder) {
  EXPECT_EQ(MailtoCommandLine("\"C:\\mail.exe\" \"%1\"", "a@x", "s", "t"),
            "\"C:\\mail.exe\" \"mailto:a@x?Subject=s&Body=t\"");
  EXPECT_EQ(MailtoCommandLine("m %1 %1", "a", "s", "t"),
            "m mailto:a?Subject=s&Body=t mailto:a?Subject=s&Body=t");
  EXPECT_EQ(MailtoCommandLine("m.exe", "a", "s", "t"), "m.exe");
  EXPECT_EQ(MailtoCommandLine("m %L", "a", "s", "t"), "m %L");
}

TEST(MailText, CommandLineCutsTheBodyAtWholeEscapes) {
  // "x " + "mailto:a?Subject=s&Body=" (24) + "ab%2Fcd" (7): 33 in all.
  const std::string head = "x mailto:a?Subject=s&Body=";
  const struct {
    std::size_t max;
    std::string out;
  } cases[] = {
      {1000, head + "ab%2Fcd"}, {33, head + "ab%2Fcd"}, {32, head + "ab%2Fc"},
      {31, head + "ab%2F"},     {30, head + "ab"},      {29, head + "ab"},
      {28, head + "ab"},        {27, head + "a"},       {26, head},
      {25, head + "ab%2Fcd"},  // even an empty body does not fit: left to CreateProcess
  };
  for (const auto& c : cases)
    EXPECT_EQ(MailtoCommandLine("x %1", "a", "s", "ab/cd", c.max), c.out) << c.max;
  // Two placeholders share the room.
  EXPECT_EQ(MailtoCommandLine("%1 %1", "a", "s", "ab/cd", 61),
            "mailto:a?Subject=s&Body=ab%2Fc mailto:a?Subject=s&Body=ab%2Fc");
}

TEST(MailText, CommandLineOfALongReportFitsTheSystemLimit) {
  const std::string report(40000, '/');  // every byte escaped: 120000 characters
  const std::string line = MailtoCommandLine("\"C:\\m.exe\" \"%1\"", "a@x.org", "s", report);
  EXPECT_LE(line.size(), ExceptionLog::kMaxCommandLine);
  EXPECT_GE(line.size(), ExceptionLog::kMaxCommandLine - 2);
  EXPECT_EQ(line.back(), '"');
  const std::size_t body = line.find("&Body=") + 6;
  EXPECT_EQ((line.size() - 1 - body) % 3, 0u);  // whole "%2F" escapes only
}

TEST(MailText, MapiRecipientRecordLimit) {
  EXPECT_EQ(ExceptionLog::MapiAddressOf("a@x.org"), "SMTP:a@x.org");
  EXPECT_TRUE(ExceptionLog::MapiRecipientFits(std::string(251, 'a')));
  EXPECT_FALSE(ExceptionLog::MapiRecipientFits(std::string(252, 'a')));
}

}  // namespace
