// The leaks collected for the final report: which located entries of a leak stay, the sums,
// the address the report names, the message, and the leak's header in the report's call-stack
// table.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "VLeakReport.h"
#include "VOptions.h"
#include "report/ReportText.h"

namespace {

using ExceptionLog::TLeakCollector;

std::vector<std::unique_ptr<TAddressLocation>> Located(std::initializer_list<int> kinds) {
  std::vector<std::unique_ptr<TAddressLocation>> out;
  std::uintptr_t address = 0x401000;
  for (int kind : kinds) {
    auto l = std::make_unique<TAddressLocation>();
    l->Kind = static_cast<std::uint8_t>(kind);
    l->Address = address += 0x10;
    l->ProcedureName = "P" + std::to_string(address);
    out.push_back(std::move(l));
  }
  return out;
}

TEST(LeakReportTest, OnlyLocatedEntriesStayAndALeakWhoseFirstIsNotOnItsLineIsDropped) {
  struct TCase {
    std::initializer_list<int> kinds;
    int kept;  // -1: the leak is dropped
  };
  const TCase cases[] = {
      {{4, 0, 3, 1, 2}, 3}, {{0, 1, 4, 2}, 2},  // the first addresses in no module: the first kept
                                                // one decides
      {{2, 4}, -1},         {{3}, -1},         {{0, 1, 0}, -1}, {{}, -1},
  };
  for (const TCase& c : cases) {
    TLeakCollector leaks;
    const bool kept = leaks.Add("Data", 10, 1, 0x401010, Located(c.kinds));
    EXPECT_EQ(kept, c.kept >= 0);
    EXPECT_EQ(leaks.List().Count(), c.kept < 0 ? 0 : c.kept);
    EXPECT_EQ(leaks.HasLeaks(), c.kept >= 0);
    for (int i = 0; i < leaks.List().Count(); ++i) {
      const TAddressLocation& e = *leaks.List().Items(i);
      EXPECT_GE(e.Kind, 2);
      EXPECT_TRUE(e.Leak);
      EXPECT_EQ(e.LeakType, "Data");
      EXPECT_EQ(e.LeakTotalSize, 10u);
      EXPECT_EQ(e.LeakCount, 1u);
      // The leak's block starts at its first kept entry.
      EXPECT_EQ(e.Exact, i == 0 ? 1 : 0);
    }
  }
}

TEST(LeakReportTest, SumsAddressAndMessageOfTheLeaks) {
  TLeakCollector leaks;
  EXPECT_EQ(leaks.Address(), nullptr);
  ASSERT_TRUE(leaks.Add("TLeakyWidget", 72, 3, 0x401010, Located({4, 4})));
  EXPECT_EQ(leaks.Address(), reinterpret_cast<const void*>(0x401010));
  ASSERT_TRUE(leaks.Add("TLeakyWidget", 24, 1, 0x401010, Located({4})));
  EXPECT_EQ(leaks.Address(), reinterpret_cast<const void*>(0x401010));  // still one place
  EXPECT_FALSE(leaks.Add("Data", 1000, 9, 0x402000, Located({2})));     // dropped: not counted
  EXPECT_EQ(leaks.Address(), reinterpret_cast<const void*>(0x401010));
  ASSERT_TRUE(leaks.Add("Data", 100, 1, 0x402000, Located({4})));
  EXPECT_EQ(leaks.Address(), nullptr);  // two places
  EXPECT_EQ(leaks.TotalSize(), 196u);
  EXPECT_EQ(leaks.TotalCount(), 5u);
  EXPECT_EQ(leaks.Message("Memory Leak", "Total size", "Count"),
            "Memory Leak: Total size=196 - Count=5");

  leaks.Reset();
  EXPECT_FALSE(leaks.HasLeaks());
  EXPECT_EQ(leaks.List().Count(), 0);
  ASSERT_TRUE(leaks.Add(std::string(80, 'T'), 8, 1, 0x403000, Located({4})));
  EXPECT_EQ(leaks.List().Items(0)->LeakType, std::string(64, 'T'));
  EXPECT_EQ(leaks.Address(), reinterpret_cast<const void*>(0x403000));
}

TEST(LeakReportTest, EachLeakHasItsHeaderInTheReportsCallStack) {
  TLeakCollector leaks;
  ASSERT_TRUE(leaks.Add("TLeakyWidget", 72, 3, 0x401010, Located({4, 3})));
  ASSERT_TRUE(leaks.Add("Data", 100, 1, 0x402010, Located({4})));
  const std::vector<ExceptionLog::TReportStackEntry> entries =
      ExceptionLog::ReportStackEntries(leaks.List());
  ASSERT_EQ(entries.size(), 3u);
  auto options = TVantorModuleOptions::Create("");
  const ExceptionLog::THeaderContext context;
  EXPECT_EQ(ExceptionLog::ThreadHeaderText(*options, entries[0], true, context),
            "+Memory Leak: Type=TLeakyWidget; Total size=72; Count=3");
  EXPECT_EQ(ExceptionLog::ThreadHeaderText(*options, entries[2], false, context),
            "Memory Leak: Type=Data; Total size=100; Count=1");
  EXPECT_TRUE(entries[0].ExceptionPoint);   // a block of its own ...
  EXPECT_FALSE(entries[1].ExceptionPoint);  // ... continued by the leak's other entries
  EXPECT_TRUE(entries[2].ExceptionPoint);
}

}  // namespace
