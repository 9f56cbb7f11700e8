// Figures of the leak tracker: alloc/free pairs through the global operators with the plain
// record and with the tracker (one thread and four), and the time of the final leak processing
// for a number of leaked blocks. Prints one line per figure.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "VLeaks.h"

// The leaked blocks, seen from outside so that the allocations stay.
void* g_leaked[20000];

namespace {

double Seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Pairs of ::operator new and delete with 32 blocks alive, sizes 8 to 520.
void Churn(int pairs) {
  void* alive[32] = {};
  for (int i = 0; i < pairs; ++i) {
    void*& slot = alive[i % 32];
    ::operator delete(slot);
    slot = ::operator new(8 + static_cast<std::size_t>(i * 37 % 513));
  }
  for (void* p : alive) ::operator delete(p);
}

double NanosecondsPerPair(int threads, int pairs) {
  const double start = Seconds();
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) running.emplace_back(Churn, pairs);
  for (std::thread& th : running) th.join();
  return (Seconds() - start) * 1e9 / (static_cast<double>(pairs) * threads);
}

int g_reported = 0;
void CountLeak(const char*, std::uint32_t, std::uint32_t, const std::uint32_t*) { ++g_reported; }

__attribute__((noinline)) void LeakOne(int i) {
  g_leaked[i] = ::operator new(16 + static_cast<std::size_t>(i % 64));
}

}  // namespace

int main() {
  constexpr int kPairs = 200000;
  std::printf("plain record, 1 thread: %.0f ns per new/delete pair\n",
              NanosecondsPerPair(1, kPairs));
  std::printf("plain record, 4 threads: %.0f ns per pair\n", NanosecondsPerPair(4, kPairs));
  VLeaks::InstallTracker(VLeaks::kTrackLeaks | VLeaks::kFreeAllAtEnd);
  std::printf("tracker, 1 thread: %.0f ns per pair\n", NanosecondsPerPair(1, kPairs));
  std::printf("tracker, 4 threads: %.0f ns per pair\n", NanosecondsPerPair(4, kPairs));
  VLeaks::TLeakCallbacks callbacks;
  callbacks.OneLeak = &CountLeak;
  VLeaks::SetCallbacks(callbacks);
  constexpr int kLeaks = sizeof g_leaked / sizeof g_leaked[0];
  for (int i = 0; i < kLeaks; ++i) LeakOne(i);
  const double start = Seconds();
  VLeaks::StopTracking();
  std::printf("leak processing of %d live blocks (%d records reported): %.1f ms\n", kLeaks,
              g_reported, (Seconds() - start) * 1e3);
  return 0;
}
