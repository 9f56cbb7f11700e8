// The freeze watchdog's count of silence: probes of 50 ms until the limit, what resets it,
// and limits that do not fit in 32 bits or are 0 or less.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "VFreezeDetector.h"

namespace {

using ExceptionLog::TFreezeDetector;
using ExceptionLog::TFreezeProbe;
constexpr TFreezeProbe A = TFreezeProbe::kAnswered;
constexpr TFreezeProbe U = TFreezeProbe::kUnanswered;
constexpr TFreezeProbe P = TFreezeProbe::kProcessingRuns;

struct TCase {
  const char* name;
  std::int32_t timeout_secs;
  std::vector<std::pair<TFreezeProbe, int>> probes;  // probe, times
  int frozen_at;                                     // index of the first frozen probe; -1 none
};

TEST(FreezeDetectorTest, SilenceCountsUpToTheLimitAndAnswersAndProcessingsStartItAgain) {
  const TCase cases[] = {
      {"a second is twenty unanswered probes", 1, {{U, 25}}, 19},
      {"an answer starts again", 1, {{U, 15}, {A, 1}, {U, 25}}, 15 + 1 + 19},
      {"a processing that runs starts again", 1, {{U, 15}, {P, 3}, {U, 25}}, 15 + 3 + 19},
      {"an answering window is never frozen", 1, {{A, 100}}, -1},
      {"beyond 32 bits in milliseconds", 3000000, {{U, 1000}}, -1},
      {"the largest limit", 2147483647, {{U, 1000}}, -1},
      {"a limit of 0 reports the first silence only", 0, {{A, 5}, {U, 1}}, 5},
      {"a negative limit reports the first silence only", -5, {{A, 5}, {P, 2}, {U, 1}}, 7},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFreezeDetector detector;
    int index = 0, frozen_at = -1;
    for (const auto& [probe, times] : c.probes)
      for (int i = 0; i < times; ++i, ++index)
        if (detector.Probe(probe, c.timeout_secs) && frozen_at < 0) frozen_at = index;
    EXPECT_EQ(frozen_at, c.frozen_at);
  }
}

TEST(FreezeDetectorTest, AfterAReportAnotherFullLimitOfSilenceIsNeeded) {
  TFreezeDetector detector;
  for (int i = 0; i < 19; ++i) ASSERT_FALSE(detector.Probe(U, 1));
  ASSERT_TRUE(detector.Probe(U, 1));
  detector.Reset();
  for (int i = 0; i < 19; ++i) EXPECT_FALSE(detector.Probe(U, 1)) << i;
  EXPECT_TRUE(detector.Probe(U, 1));
  EXPECT_EQ(detector.SilentMs(), 1000);
}

}  // namespace
