// Cost of the leak tracker on an allocation-heavy loop: maps of strings and growing vectors
// built and dropped through the global operators, first with the plain memory manager, then
// with the tracker in place (two stack copies and a list append per block). Prints the time of
// each and their ratio.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "VLeaks.h"

namespace {

double Seconds() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

std::size_t g_sink = 0;

// One round: 300 map entries with their strings, and a vector grown element by element.
[[gnu::noinline]] void Round(int seed) {
  std::map<int, std::string> entries;
  for (int i = 0; i < 300; ++i)
    entries.emplace(i * 7 + seed, std::string(static_cast<std::size_t>(20 + (i * 13) % 90), 'x'));
  std::vector<std::uint32_t> grown;
  for (int i = 0; i < 2000; ++i) grown.push_back(static_cast<std::uint32_t>(i ^ seed));
  g_sink += entries.size() + grown.size();
}

double Run(int rounds) {
  const double start = Seconds();
  for (int r = 0; r < rounds; ++r) Round(r);
  return Seconds() - start;
}

}  // namespace

int main() {
  constexpr int kRounds = 2000;
  Run(kRounds / 10);  // warm the heap
  const double plain = Run(kRounds);
  VLeaks::InstallTracker(VLeaks::kTrackLeaks | VLeaks::kFreeAllAtEnd | VLeaks::kReportErrors);
  const double tracked = Run(kRounds);
  VLeaks::StopTracking();
  std::printf(
      "allocation loop, %d rounds (%zu blocks each): plain %.3f s, tracked %.3f s, "
      "ratio %.2f (goal: at most 2.00)\n",
      kRounds, static_cast<std::size_t>(300 * 2 + 12), plain, tracked, tracked / plain);
  return g_sink == 0;
}
