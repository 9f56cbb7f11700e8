// The report log: the bytes SaveToStream writes (written out by hand), loading of whole,
// damaged, cut and empty files, the items of a stored report and the duplicate count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ReportText.h"
#include "Streams.h"
#include "VLogFile.h"

namespace {

using namespace ExceptionLog;

// Smallest texts that pass for reports: a dash line followed by a table row.
const std::string kA = "Report A\r\n----\r\n|a|\r\n";
const std::string kB = "Report B\r\n----\r\n|b|\r\n";
const std::string kC = "Report C\r\n----\r\n|c|\r\n";

std::string Saved(const TLogFile& log) {
  TMemoryStream stream;
  log.SaveToStream(stream);
  return std::string(reinterpret_cast<const char*>(stream.Memory()),
                     static_cast<std::size_t>(stream.Size()));
}

void Load(TLogFile& log, const std::string& bytes, std::size_t skip = 0) {
  TMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  stream.SetPosition(static_cast<std::int64_t>(skip));
  log.LoadFromStream(stream);
}

std::vector<std::string> Reports(const TLogFile& log) {
  std::vector<std::string> out;
  for (int i = 0; i < log.ReportCount(); ++i) out.push_back(log.Report(i));
  return out;
}

TEST(LogFileFormatTest, SavedBytes) {
  struct Case {
    const char* name;
    std::vector<std::string> reports;
    std::string bytes;
  } cases[] = {
      {"empty log writes nothing", {}, ""},
      {"one report: three pairs, no trailing pair", {kA}, kA + "\r\n\r\n\r\n"},
      {"two reports joined by one more pair",
       {kA, kB},
       kA + "\r\n\r\n\r\n" + "\r\n" + kB + "\r\n\r\n\r\n"},
      {"a last report without final line break keeps the joining pair",
       {kA, "x\r\n-\r\n|y|"},
       kA + "\r\n\r\n\r\n\r\n" + "x\r\n-\r\n|y|\r\n\r\n\r\n\r\n"},
  };
  for (const Case& c : cases) {
    TLogFile log;
    for (const std::string& r : c.reports) log.AddReport(r, -1);
    EXPECT_EQ(Saved(log), c.bytes) << c.name;
  }
}

TEST(LogFileFormatTest, TextIsEveryReportWithAPair) {
  TLogFile log;
  log.AddReport(kA, -1);
  log.AddReport(kB, -1);
  EXPECT_EQ(log.GetText(), kA + "\r\n\r\n\r\n\r\n" + kB + "\r\n\r\n\r\n\r\n");
}

TEST(LogFileLoadTest, Files) {
  const std::string e = "\r\n\r\n\r\n";
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> reports;
  } cases[] = {
      {"empty file", "", {}},
      {"shorter than six bytes", "-\r\n|", {}},
      {"only blank lines", "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n", {}},
      {"one report ending in its line break", kA, {kA.substr(0, kA.size() - 2) + e}},
      {"one report as saved", kA + e, {kA.substr(0, kA.size() - 2) + e}},
      // The first report's own line break opens the run; the fifth pair starts the next one.
      {"two reports as saved",
       kA + e + "\r\n" + kB + e,
       {kA.substr(0, kA.size() - 2) + e, "\r\n" + kB.substr(0, kB.size() - 2) + e}},
      {"text without the mark between reports is dropped",
       kA + e + "\r\n" + "garbage\r\n" + e + "\r\n" + kB,
       {kA.substr(0, kA.size() - 2) + e, "\r\n" + kB.substr(0, kB.size() - 2) + e}},
      {"a missing separator keeps both reports in one piece",
       kA + kB + e,
       {kA + kB.substr(0, kB.size() - 2) + e}},
      {"a damaged separator (two pairs) keeps both in one piece",
       kA + "\r\n\r\n" + kB,
       {kA + "\r\n\r\n" + kB.substr(0, kB.size() - 2) + e}},
      {"bare LF and CR line breaks are normalised",
       "Report A\n----\n|a|\r" + std::string("\n\n\n\n"),
       {"Report A\r\n----\r\n|a|" + e}},
      {"text after a zero byte is ignored",
       kA + e + std::string(1, '\0') + "\r\n" + kB + e,
       {kA.substr(0, kA.size() - 2) + e}},
      // A file cut inside its last report: what is there is kept, nothing before is lost.
      {"cut inside the last report",
       kA + e + "\r\n" + "Report B\r\n----\r\n|b",
       {kA.substr(0, kA.size() - 2) + e, "\r\nReport B\r\n----\r\n|b" + e}},
      {"cut before the last report's mark",
       kA + e + "\r\n" + "Report B\r\n--",
       {kA.substr(0, kA.size() - 2) + e}},
  };
  for (const Case& c : cases) {
    TLogFile log;
    Load(log, c.bytes);
    EXPECT_EQ(Reports(log), c.reports) << c.name;
  }
}

TEST(LogFileLoadTest, ReadsFromTheStreamPositionAndReplacesTheList) {
  TLogFile log;
  log.AddReport(kC, -1);
  Load(log, "junk" + kA, 4);
  EXPECT_EQ(Reports(log), std::vector<std::string>{kA.substr(0, kA.size() - 2) + "\r\n\r\n\r\n"});
}

TEST(LogFileLoadTest, SaveLoadSaveIsStable) {
  TLogFile log;
  log.AddReport(kA, -1);
  log.AddReport(kB, -1);
  log.AddReport(kC, -1);
  const std::string first = Saved(log);
  TLogFile again;
  Load(again, first);
  ASSERT_EQ(again.ReportCount(), 3);
  const std::string second = Saved(again);
  TLogFile third;
  Load(third, second);
  EXPECT_EQ(Saved(third), second);
  for (const std::string& r : {kA, kB, kC})
    EXPECT_NE(second.find(r.substr(0, r.size() - 2)), std::string::npos);
}

TEST(LogFileAddTest, KeepsTheNewest) {
  struct Case {
    int stored;
    int max;
    std::vector<std::string> kept;  // report names after adding "N"
  } cases[] = {
      {5, 3, {"3", "4", "N"}}, {5, -1, {"0", "1", "2", "3", "4", "N"}},
      {3, 1, {"N"}},           {0, 1, {"N"}},
      {2, 3, {"0", "1", "N"}}, {2, 0, {"N"}},
  };
  for (const Case& c : cases) {
    TLogFile log;
    for (int i = 0; i < c.stored; ++i) log.AddReport(std::to_string(i), -1);
    log.AddReport("N", c.max);
    std::vector<std::string> kept;
    for (const std::string& r : Reports(log)) kept.push_back(r.substr(0, r.size() - 6));
    EXPECT_EQ(kept, c.kept) << c.stored << " stored, max " << c.max;
  }
}

// A general section as the report builder writes it.
std::string General(const std::string& bug_id, const std::string& count, bool count_shown,
                    const std::string& note) {
  TLogItem item(0);
  item.AddGroup("Application");
  item.AddItem("Start Date", "Tue, 3 Mar 2009 14:05:09 +0100", true);
  item.AddGroup("Exception");
  item.AddItem("Date", "Tue, 3 Mar 2009 14:06:00 +0100", true);
  for (int i = 2; i <= 6; ++i) item.AddItem("X", "x", i == 6);
  item.AddItem("ID", bug_id, true);
  item.AddItem("Count", count, count_shown);
  item.AddItem("Status", "New", true);
  item.AddItem("Note", note, true);
  item.AddGroup("User");
  item.AddItem("ID", "someone", true);
  return "VantorLog 6.0.15\r\n\r\n" + item.GetText() +
         "\r\nCall Stack Information:\r\n---\r\n|a|\r\n";
}

TEST(LogFileItemsTest, ReadsValues) {
  TLogFile log;
  log.AddReport(General("ABCD0001", "1", true, "first: line\r\n\r\nthird"), -1);
  EXPECT_EQ(log.GetItemValue("2.7", 0), "ABCD0001");
  EXPECT_EQ(log.GetItemValue("2.9", 0), "New");
  EXPECT_EQ(log.GetItemValue("2.10", 0), "first: line\r\n\r\nthird");
  EXPECT_EQ(log.GetItemValue("3.1", 0), "someone");
  EXPECT_EQ(log.GetItemValue("1.1", 0), "Tue, 3 Mar 2009 14:05:09 +0100");
  EXPECT_EQ(log.GetItemValue("2.2", 0), "");  // hidden
  EXPECT_EQ(log.GetItemValue("2.7", 1), "");  // out of range
  EXPECT_EQ(log.GetItemValue("2.7", -1), "");
}

TEST(LogFileItemsTest, FindsTheLastReportWithAnEqualValue) {
  TLogFile log;
  log.AddReport(General("AAAA0001", "1", true, ""), -1);
  log.AddReport(General("BBBB0002", "1", true, "two\r\nlines: here"), -1);
  log.AddReport(General("AAAA0001", "1", true, ""), -1);
  EXPECT_EQ(log.FindReport({"2.7"}, {"AAAA0001"}, 1), 2);
  EXPECT_EQ(log.FindReport({"2.7"}, {"BBBB0002"}, 1), 1);
  EXPECT_EQ(log.FindReport({"2.7"}, {"AAAA"}, 1), -1);  // a prefix is not equal
  EXPECT_EQ(log.FindReport({"2.7"}, {"CCCC0003"}, 1), -1);
  EXPECT_EQ(log.FindReport({"2.10"}, {"two\nlines: here"}, 1), 1);  // formatted as written
  EXPECT_EQ(log.FindReport({"2.7", "2.10"}, {"none", "two\r\nlines: here"}, 2), 1);
  EXPECT_EQ(log.FindReport({"2.7", "2.10"}, {"none", "two\r\nlines: here"}, 1), -1);
}

TEST(LogFileItemsTest, SetsAndInsertsTheCount) {
  TLogFile log;
  log.AddReport(General("AAAA0001", "1", true, ""), -1);
  log.AddReport(General("AAAA0002", "", false, "note"), -1);
  const std::string before0 = log.Report(0);
  log.SetItemValue("2.8", "2", 0, "Count");
  const std::size_t at = before0.find("\r\n  2.8 Count : 1\r\n");
  ASSERT_NE(at, std::string::npos) << before0;
  std::string expected = before0;
  expected[at + 16] = '2';
  EXPECT_EQ(log.Report(0), expected);
  EXPECT_EQ(log.GetItemValue("2.8", 0), "2");
  // Hidden: a new line after the group's last item, aligned on its colon.
  log.SetItemValue("2.8", "2", 1, "Count");
  EXPECT_NE(log.Report(1).find("  2.10 Note : note\r\n  2.8 Count : 2\r\n\r\nUser:"),
            std::string::npos)
      << log.Report(1);
  EXPECT_EQ(log.GetItemValue("2.8", 1), "2");
  EXPECT_EQ(log.GetItemValue("2.10", 1), "note");
  // A group with none of its items: nothing changes.
  const std::string before1 = log.Report(1);
  log.SetItemValue("9.1", "x", 1, "Nine");
  EXPECT_EQ(log.Report(1), before1);
  log.SetItemValue("2.8", "5", 7, "Count");  // out of range
}

TEST(LogFileItemsTest, RaisesTheCount) {
  struct Case {
    std::string stored;
    bool shown;
    int next;
  } cases[] = {{"1", true, 2},  {"41", true, 42},           {"many", true, 2}, {"", true, 2},
               {"", false, 2},  // hidden: a new Count line
               {"-3", true, 2}, {"99999999999999", true, 2}};
  for (const Case& c : cases) {
    TLogFile log;
    log.AddReport(General("AAAA0001", c.stored, c.shown, ""), -1);
    EXPECT_EQ(log.RaiseReportCount(0), c.next) << c.stored;
    EXPECT_EQ(log.GetItemValue("2.8", 0), std::to_string(c.next)) << c.stored;
    EXPECT_EQ(log.FindReport({"2.7"}, {"AAAA0001"}, 1), 0);
  }
}

TEST(ReportFileNameTest, Parts) {
  EXPECT_EQ(ReportFileName("C:\\x\\BugReport.zip", 0, "PC", "20090303140600"), "BugReport.zip");
  EXPECT_EQ(ReportFileName("C:\\x\\BugReport.zip", 0x200, "PC", "20090303140600"),
            "BugReport__PC.zip");
  EXPECT_EQ(ReportFileName("C:\\x\\BugReport.zip", 0x300, "PC", "20090303140600"),
            "BugReport__PC__20090303140600.zip");
  EXPECT_EQ(ReportFileName("Report", 0x100, "PC", "20090303140600"), "Report__20090303140600");
}

}  // namespace
