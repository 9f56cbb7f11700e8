// The leak tracker in a real program: the child links the tracking operators and carries a
// VLDATA header that turns tracking on; what its callbacks write is read after it has ended.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct TChildRun {
  int exit_code = -1;
  std::vector<std::string> lines;
  unsigned widget_site = 0, buffer_site = 0;

  bool Has(const std::string& line) const {
    for (const std::string& l : lines)
      if (l == line) return true;
    return false;
  }
  int IndexOf(const std::string& prefix) const {
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    return -1;
  }
  std::vector<std::string> Leaks() const {
    std::vector<std::string> out;
    for (const std::string& l : lines)
      if (l.rfind("LEAK ", 0) == 0) out.push_back(l);
    return out;
  }
};

TChildRun RunChild(const std::string& scenario, const char* child = VL_LEAKS_CHILD) {
  TChildRun run;
  const std::string out = std::string(VL_OUTPUT) + "/leaks_" + scenario +
                          (std::string(child) == VL_LEAKS_CHILD ? "" : "_untracked") + ".txt";
  DeleteFileA(out.c_str());
  std::string command = std::string("\"") + child + "\" \"" + out + "\" " + scenario;
  STARTUPINFOA si{sizeof si};
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi))
    return run;
  if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  run.exit_code = static_cast<int>(code);
  std::ifstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    run.lines.push_back(line);
  }
  const int sites = run.IndexOf("SITES ");
  if (sites >= 0)
    std::sscanf(run.lines[sites].c_str(), "SITES %x %x", &run.widget_site, &run.buffer_site);
  return run;
}

struct TLeakLine {
  std::string name;
  unsigned size = 0, count = 0, first = 0;
};
TLeakLine Parse(const std::string& line) {
  TLeakLine leak;
  char name[128] = {};
  std::sscanf(line.c_str(), "LEAK %127s %u %u %x", name, &leak.size, &leak.count, &leak.first);
  leak.name = name;
  return leak;
}

TEST(LeaksWinTest, ObjectsLeftAtTheEndAreReportedWithTheirAllocationSite) {
  const TChildRun run = RunChild("leaks");
  ASSERT_EQ(run.exit_code, 0);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.front(), "ACTIVE");
  ASSERT_NE(run.widget_site, 0u);
  bool widgets = false, buffer = false;
  for (const std::string& line : run.Leaks()) {
    SCOPED_TRACE(line);
    const TLeakLine leak = Parse(line);
    EXPECT_NE(leak.name, "TTidyWidget");  // freed normally
    EXPECT_NE(leak.size, 501u);           // the static string, destroyed before the tracker stops
    if (leak.name == "TLeakyWidget") {
      widgets = true;
      EXPECT_EQ(leak.count, 3u);  // one site, one size: one record
      EXPECT_EQ(leak.size, 3 * 24u);
      // The call of operator new inside LeakWidgets.
      EXPECT_GT(leak.first, run.widget_site);
      EXPECT_LT(leak.first, run.widget_site + 0x100);
    }
    if (leak.name == "Data" && leak.size == 100) {
      buffer = true;
      EXPECT_EQ(leak.count, 1u);
      EXPECT_GT(leak.first, run.buffer_site);
      EXPECT_LT(leak.first, run.buffer_site + 0x100);
    }
  }
  EXPECT_TRUE(widgets);
  EXPECT_TRUE(buffer);
  // The records come after main, between the two callbacks, and the finalization last.
  const int main_end = run.IndexOf("MAIN END");
  const int begin = run.IndexOf("BEGIN");
  const int end = run.IndexOf("END");
  ASSERT_GE(main_end, 0);
  EXPECT_GT(begin, main_end);
  EXPECT_GT(run.IndexOf("LEAK "), begin);
  EXPECT_GT(end, begin);
  EXPECT_EQ(run.lines.back(), "FINAL");
  EXPECT_FALSE(run.Has("OVERRUN"));
  EXPECT_FALSE(run.Has("MULTIFREE"));
}

TEST(LeaksWinTest, ADoubleDeleteAndAWritePastTheEndAreReportedAndTheProgramGoesOn) {
  const TChildRun run = RunChild("errors");
  EXPECT_EQ(run.exit_code, 0);
  const int multi = run.IndexOf("MULTIFREE");
  const int overrun = run.IndexOf("OVERRUN");
  ASSERT_GE(multi, 0);
  ASSERT_GE(overrun, 0);
  EXPECT_EQ(run.IndexOf("AFTER MULTIFREE"), multi + 1);
  EXPECT_EQ(run.IndexOf("AFTER OVERRUN"), overrun + 1);
  EXPECT_GE(run.IndexOf("MAIN END"), 0);
  EXPECT_EQ(run.lines.back(), "FINAL");
  EXPECT_TRUE(run.Leaks().empty()) << run.Leaks().front();
}

TEST(LeaksWinTest, ManyThreadsAllocatingAndFreeingLeaveNoRecords) {
  const TChildRun run = RunChild("threads");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.Has("THREADS OK"));
  EXPECT_FALSE(run.Has("OVERRUN"));
  EXPECT_FALSE(run.Has("MULTIFREE"));
  EXPECT_TRUE(run.Leaks().empty()) << run.Leaks().front();
  EXPECT_EQ(run.lines.back(), "FINAL");
}

TEST(LeaksWinTest, ObjectsOfOsExceptionsArePastTheTracker) {
  const TChildRun run = RunChild("converted");
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.front(), "ACTIVE");
  EXPECT_TRUE(run.Has("CONVERTED PAST THE TRACKER"));
  EXPECT_TRUE(run.Has("LATER BLOCK TRACKED"));
  EXPECT_TRUE(run.Has("HEAP OK"));
  EXPECT_FALSE(run.Has("MULTIFREE"));
  EXPECT_TRUE(run.Leaks().empty()) << run.Leaks().front();
}

TEST(LeaksWinTest, WithoutTheVLDATAHeaderTheOperatorsRunUntracked) {
  const TChildRun run = RunChild("leaks", VL_LEAKS_CHILD_UNTRACKED);
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.front(), "INACTIVE");
  EXPECT_TRUE(run.Leaks().empty()) << run.Leaks().front();
  EXPECT_FALSE(run.Has("BEGIN"));
  EXPECT_GE(run.IndexOf("MAIN END"), 0);
  EXPECT_EQ(run.lines.back(), "FINAL");
}

}  // namespace
