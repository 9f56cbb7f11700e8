// The leak tracker's bookkeeping over a malloc-backed previous manager: the block layout read
// back at fixed offsets, overruns and double frees, reallocation, and the leak records handed
// out at the end. Call stacks come from a scripted capture; code bytes from a small fake code
// space in which every 16th address follows a 5-byte call.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "VLeaks.h"

// A class object, as the report names it.
class TLeakProbe {
 public:
  virtual ~TLeakProbe() = default;
  int value = 42;
};

// One-time objects of the network library, known as false leaks.
class TIdCriticalSection {
 public:
  virtual ~TIdCriticalSection() = default;
};
class TCriticalSection {
 public:
  virtual ~TCriticalSection() = default;
};
class TIdThreadSafeInteger {
 public:
  virtual ~TIdThreadSafeInteger() = default;
};
class TIntConst {
 public:
  virtual ~TIntConst() = default;
};

namespace {

// Offsets of the block layout, written down here independently of the tracker.
constexpr std::size_t kPrev = 0, kNext = 4, kState = 8, kKind = 9, kSize = 10, kStack = 14,
                      kFrames = 154, kMagicAt = 300, kHead = 304;
constexpr std::uint32_t kMagic = 0x100FAB10;

std::uint32_t Read32(const void* at) {
  std::uint32_t v;
  std::memcpy(&v, at, 4);
  return v;
}
const std::uint8_t* BlockOf(const void* user) {
  return static_cast<const std::uint8_t*>(user) - kHead;
}

// Previous manager: the C heap, counted.
std::atomic<int> g_gets{0};
std::atomic<int> g_frees{0};
std::atomic<std::size_t> g_last_get_size{0};
void* CountingGet(std::size_t n) {
  ++g_gets;
  g_last_get_size = n;
  return std::malloc(n ? n : 1);
}
void CountingFree(void* p) {
  if (p) ++g_frees;
  std::free(p);
}
void* CountingRealloc(void* p, std::size_t n) {
  if (!p) return CountingGet(n);
  if (n == 0) {
    CountingFree(p);
    return nullptr;
  }
  return std::realloc(p, n);
}

// Fake code: sites at 0x00400000 + 16k; the 5 bytes before a site are E8 rel32 calling
// 0x00600000 (readable). Bytes 9 and 10 of each 16 are NOPs; nothing else is readable.
constexpr std::uint32_t kCodeStart = 0x00400000, kCodeEnd = 0x00500000, kTarget = 0x00600000;
bool FakeCodeByte(std::uint32_t x, std::uint8_t* out) {
  if (x >= kTarget && x < kTarget + 16) {
    *out = 0xC3;
    return true;
  }
  if (x < kCodeStart || x >= kCodeEnd) return false;
  const std::uint32_t low = x % 16;
  const std::uint32_t site = x - low + 16;
  if (low == 11) {
    *out = 0xE8;
  } else if (low >= 12) {
    const std::uint32_t rel = kTarget - site;
    *out = static_cast<std::uint8_t>(rel >> (8 * (low - 12)));
  } else {
    *out = 0x90;
  }
  return true;
}
bool FakeCodeReader(std::uint32_t address, void* buffer, std::size_t size) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (std::size_t i = 0; i < size; ++i) {
    if (!FakeCodeByte(address + static_cast<std::uint32_t>(i), out + i)) return false;
  }
  return true;
}
std::uint32_t Site(int k) { return kCodeStart + 16u * static_cast<std::uint32_t>(k + 1); }

// Scripted capture: the stack that the next allocations get (stack copy and frame chain alike).
std::uint32_t g_next_stack[VLeaks::kStackDepth];
void ScriptedCapture(const void*, std::uint32_t* stack, std::uint32_t* frames) {
  std::memcpy(stack, g_next_stack, sizeof g_next_stack);
  std::memcpy(frames, g_next_stack, sizeof g_next_stack);
}
void NextStack(std::initializer_list<std::uint32_t> entries) {
  std::memset(g_next_stack, 0, sizeof g_next_stack);
  std::size_t i = 0;
  for (std::uint32_t e : entries) g_next_stack[i++] = e;
}

struct TSeenLeak {
  std::string name;
  std::uint32_t size;
  std::uint32_t count;
  std::uint32_t first;
};
std::vector<TSeenLeak> g_leaks;
int g_overruns = 0, g_multi_frees = 0, g_before = 0, g_after = 0;
void* g_free_in_callback = nullptr;
void* g_realloc_in_callback = nullptr;
bool g_realloc_kept_content = false;

void OnOverrun() { ++g_overruns; }
void OnMultiFree() { ++g_multi_frees; }
void OnBefore() { ++g_before; }
void OnAfter() { ++g_after; }
void OnLeak(const char* name, std::uint32_t size, std::uint32_t count, const std::uint32_t* stack) {
  g_leaks.push_back({name, size, count, stack[0]});
  if (g_free_in_callback) {
    void* p = g_free_in_callback;
    g_free_in_callback = nullptr;
    VLeaks::TrackedFreeMem(p);  // a tracked block, freed while the list is locked
  }
  if (g_realloc_in_callback) {
    auto* p = static_cast<char*>(g_realloc_in_callback);
    g_realloc_in_callback = nullptr;
    // Tracking has stopped: the data moves into a plain block.
    auto* q = static_cast<char*>(VLeaks::TrackedReallocMem(p, 64));
    g_realloc_kept_content = q && std::memcmp(q, "tracked", 8) == 0;
    VLeaks::TrackedFreeMem(q);
  }
}
void OnThrowingLeak(const char*, std::uint32_t, std::uint32_t, const std::uint32_t*) {
  throw std::runtime_error("callback failure");
}

class LeaksTest : public ::testing::Test {
 protected:
  void Start(std::uint8_t options) {
    g_gets = g_frees = 0;
    g_leaks.clear();
    g_overruns = g_multi_frees = g_before = g_after = 0;
    g_free_in_callback = nullptr;
    g_realloc_in_callback = nullptr;
    g_realloc_kept_content = false;
    NextStack({Site(0)});
    VLeaks::SetMemoryManager({&CountingGet, &CountingFree, &CountingRealloc});
    VLeaks::InstallTracker(options);
    VLeaks::SetStackCapture(&ScriptedCapture);
    VLeaks::SetCodeReader(&FakeCodeReader);
    VLeaks::TLeakCallbacks callbacks;
    callbacks.Overrun = &OnOverrun;
    callbacks.MultipleFree = &OnMultiFree;
    callbacks.BeforeFirstLeak = &OnBefore;
    callbacks.AfterLastLeak = &OnAfter;
    callbacks.OneLeak = &OnLeak;
    VLeaks::SetCallbacks(callbacks);
  }
  void TearDown() override {
    if (VLeaks::IsLeakTrackingActive()) VLeaks::StopTracking();
    VLeaks::SetMemoryManager(VLeaks::PlainMemoryManager());
    VLeaks::SetStackCapture(VLeaks::DefaultStackCapture());
    VLeaks::SetCodeReader(nullptr);
  }
};

TEST_F(LeaksTest, HeaderAndFootLieAtTheirOffsets) {
  Start(0x01);
  ASSERT_EQ(VLeaks::GetMemoryManager().GetMem, &VLeaks::TrackedGetMem);
  struct TCase {
    std::size_t size;
    bool object;
  };
  const TCase cases[] = {{0, false}, {1, false}, {13, true}, {100, false}, {4096, true}};
  std::vector<void*> blocks;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.size);
    NextStack({0x11111111, 0x22222222, static_cast<std::uint32_t>(c.size)});
    void* p = c.object ? VLeaks::GetObjectMem(c.size) : VLeaks::TrackedGetMem(c.size);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(g_last_get_size, c.size + 312);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 8, 0u);
    const std::uint8_t* b = BlockOf(p);
    EXPECT_EQ(b[kState], 0);
    EXPECT_EQ(b[kKind], c.object ? 1 : 0);
    EXPECT_EQ(Read32(b + kSize), c.size);
    EXPECT_EQ(Read32(b + kStack), 0x11111111u);
    EXPECT_EQ(Read32(b + kStack + 4), 0x22222222u);
    EXPECT_EQ(Read32(b + kStack + 8), c.size);
    EXPECT_EQ(Read32(b + kStack + 12), 0u);
    EXPECT_EQ(Read32(b + kFrames), 0x11111111u);
    EXPECT_EQ(Read32(b + kFrames + 34 * 4), 0u);
    EXPECT_EQ(Read32(b + kMagicAt), kMagic);
    EXPECT_EQ(Read32(b + kHead + c.size), kMagic);
    blocks.push_back(p);
  }
  // Links: each block's next is the following block, its previous the one before (low 32 bits).
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
    const auto here =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(BlockOf(blocks[i])));
    const auto next =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(BlockOf(blocks[i + 1])));
    EXPECT_EQ(Read32(BlockOf(blocks[i]) + kNext), next);
    EXPECT_EQ(Read32(BlockOf(blocks[i + 1]) + kPrev), here);
  }
  EXPECT_EQ(Read32(BlockOf(blocks.front()) + kPrev), 0u);
  EXPECT_EQ(VLeaks::LiveBlockCount(), blocks.size());
  VLeaks::TrackedFreeMem(blocks[2]);  // from the middle
  EXPECT_EQ(Read32(BlockOf(blocks[1]) + kNext),
            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(BlockOf(blocks[3]))));
  EXPECT_EQ(VLeaks::LiveBlockCount(), blocks.size() - 1);
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (i != 2) VLeaks::TrackedFreeMem(blocks[i]);
  }
  EXPECT_EQ(VLeaks::LiveBlockCount(), 0u);
  VLeaks::StopTracking();
  EXPECT_EQ(g_frees.load(), g_gets.load());
  EXPECT_TRUE(g_leaks.empty());
}

TEST_F(LeaksTest, OverrunAndSecondFreeAreReportedOnlyWithTheirOption) {
  struct TCase {
    std::uint8_t options;
    int overruns;
    int multi_frees;
  };
  for (const TCase& c : {TCase{0x11, 1, 1}, TCase{0x01, 0, 0}}) {
    SCOPED_TRACE(static_cast<int>(c.options));
    Start(c.options);
    // One byte past the end.
    auto* p = static_cast<char*>(VLeaks::TrackedGetMem(10));
    p[10] = 'x';
    VLeaks::TrackedFreeMem(p);
    EXPECT_EQ(g_overruns, c.overruns);
    EXPECT_EQ(g_multi_frees, 0);
    // Exactly at the end is no overrun.
    auto* q = static_cast<char*>(VLeaks::TrackedGetMem(10));
    std::memset(q, 'y', 10);
    VLeaks::TrackedFreeMem(q);
    EXPECT_EQ(g_overruns, c.overruns);
    // Freed twice: reported once, handed back to the heap once (the sanitizer sees any read
    // of memory that went back).
    void* r = VLeaks::TrackedGetMem(40);
    VLeaks::TrackedFreeMem(r);
    VLeaks::TrackedFreeMem(r);
    EXPECT_EQ(g_multi_frees, c.multi_frees);
    VLeaks::StopTracking();
    EXPECT_EQ(g_frees.load(), g_gets.load());
    EXPECT_TRUE(g_leaks.empty());
    TearDown();
  }
}

TEST_F(LeaksTest, ABlockFromBeforeTrackingIsFreedAndReallocatedAsItCame) {
  void* before = std::malloc(64);
  std::memset(before, 0x5A, 64);
  Start(0x11);
  void* grown = VLeaks::TrackedReallocMem(before, 5000);
  ASSERT_NE(grown, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(static_cast<unsigned char*>(grown)[i], 0x5A);
  EXPECT_EQ(VLeaks::LiveBlockCount(), 0u);
  VLeaks::TrackedFreeMem(grown);
  EXPECT_EQ(g_overruns + g_multi_frees, 0);
  EXPECT_EQ(g_frees.load(), 1);  // straight to the previous manager
}

TEST_F(LeaksTest, ReallocationKeepsTheContentAndMovesTheFoot) {
  Start(0x11);
  struct TCase {
    std::size_t from, to;
  };
  for (const TCase& c : {TCase{16, 4000}, TCase{4000, 8}, TCase{100, 100}, TCase{1, 70000}}) {
    SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
    auto* p = static_cast<std::uint8_t*>(VLeaks::TrackedGetMem(c.from));
    for (std::size_t i = 0; i < c.from; ++i) p[i] = static_cast<std::uint8_t>(i * 7 + 3);
    auto* q = static_cast<std::uint8_t*>(VLeaks::TrackedReallocMem(p, c.to));
    ASSERT_NE(q, nullptr);
    for (std::size_t i = 0; i < std::min(c.from, c.to); ++i)
      ASSERT_EQ(q[i], static_cast<std::uint8_t>(i * 7 + 3)) << i;
    const std::uint8_t* b = BlockOf(q);
    EXPECT_EQ(Read32(b + kSize), c.to);
    EXPECT_EQ(b[kKind], 0);
    EXPECT_EQ(Read32(b + kMagicAt), kMagic);
    EXPECT_EQ(Read32(b + kHead + c.to), kMagic);
    EXPECT_EQ(VLeaks::LiveBlockCount(), 1u);
    VLeaks::TrackedFreeMem(q);
  }
  void* fresh = VLeaks::TrackedReallocMem(nullptr, 24);  // allocates
  EXPECT_EQ(Read32(BlockOf(fresh) + kSize), 24u);
  EXPECT_EQ(VLeaks::TrackedReallocMem(fresh, 0), nullptr);  // frees
  EXPECT_EQ(VLeaks::LiveBlockCount(), 0u);
  EXPECT_EQ(g_overruns + g_multi_frees, 0);
  VLeaks::StopTracking();
  EXPECT_EQ(g_frees.load(), g_gets.load());
  EXPECT_TRUE(g_leaks.empty());
}

TEST_F(LeaksTest, WhatIsLeftBecomesGroupedRecords) {
  Start(0x19);  // track, free all at the end, report errors
  NextStack({Site(1), Site(9)});
  for (int i = 0; i < 3; ++i) VLeaks::TrackedGetMem(24);
  NextStack({Site(2), Site(9)});
  VLeaks::TrackedGetMem(24);  // same size, another site
  NextStack({Site(1), Site(9)});
  VLeaks::TrackedGetMem(25);  // same site, another size
  NextStack({Site(3)});
  for (int i = 0; i < 2; ++i) new (VLeaks::GetObjectMem(sizeof(TLeakProbe))) TLeakProbe;
  NextStack({Site(4)});
  VLeaks::TrackedFreeMem(VLeaks::TrackedGetMem(24));  // freed normally
  NextStack({Site(5)});
  std::memset(VLeaks::GetObjectMem(sizeof(int)), 0, sizeof(int));  // no class object: data
  NextStack({0x7FFF0000u});  // not behind a call: no stack, not reported
  VLeaks::TrackedGetMem(8);
  VLeaks::StopTracking();

  ASSERT_EQ(g_leaks.size(), 5u);
  const std::uint32_t first[] = {Site(1) - 5, Site(2) - 5, Site(1) - 5, Site(3) - 5, Site(5) - 5};
  const char* names[] = {"Data", "Data", "Data", "TLeakProbe", "Data"};
  const std::uint32_t sizes[] = {72, 24, 25, 2 * sizeof(TLeakProbe), sizeof(int)};
  const std::uint32_t counts[] = {3, 1, 1, 2, 1};
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(g_leaks[i].name, names[i]);
    EXPECT_EQ(g_leaks[i].size, sizes[i]);
    EXPECT_EQ(g_leaks[i].count, counts[i]);
    EXPECT_EQ(g_leaks[i].first, first[i]);
  }
  EXPECT_EQ(g_before, 1);
  EXPECT_EQ(g_after, 1);
  EXPECT_EQ(g_frees.load(), g_gets.load());  // option 0x08: every block went back
  EXPECT_EQ(VLeaks::GetMemoryManager().GetMem, &CountingGet);
}

TEST_F(LeaksTest, NoLeaksNoCallbacks) {
  Start(0x19);
  VLeaks::TrackedFreeMem(VLeaks::TrackedGetMem(10));
  VLeaks::StopTracking();
  EXPECT_TRUE(g_leaks.empty());
  EXPECT_EQ(g_before + g_after, 0);
}

TEST_F(LeaksTest, AtMost1025RecordsStay) {
  Start(0x09);
  for (int k = 0; k < 1030; ++k) {
    NextStack({Site(k)});
    VLeaks::TrackedGetMem(16);
  }
  VLeaks::StopTracking();
  ASSERT_EQ(g_leaks.size(), 1025u);
  EXPECT_EQ(g_leaks.back().first, Site(1024) - 5);
  EXPECT_EQ(g_frees.load(), g_gets.load());
}

TEST_F(LeaksTest, BlocksAllocatedUnderAnObjectFoldIntoItWithTheOption) {
  for (std::uint8_t options : {std::uint8_t{0x0B}, std::uint8_t{0x09}}) {
    SCOPED_TRACE(static_cast<int>(options));
    Start(options);
    NextStack({Site(10), Site(11), Site(12)});
    new (VLeaks::GetObjectMem(sizeof(TLeakProbe))) TLeakProbe;
    NextStack({Site(20), Site(10), Site(11), Site(12)});  // under the object
    VLeaks::TrackedGetMem(40);
    NextStack({Site(30), Site(31), Site(20), Site(10), Site(11)});  // under that one
    VLeaks::TrackedGetMem(8);
    NextStack({Site(40), Site(11), Site(10)});  // the pair the other way round
    VLeaks::TrackedGetMem(100);
    VLeaks::StopTracking();
    if (options & 0x02) {
      ASSERT_EQ(g_leaks.size(), 2u);
      EXPECT_EQ(g_leaks[0].name, "TLeakProbe");
      EXPECT_EQ(g_leaks[0].size, sizeof(TLeakProbe) + 48);
      EXPECT_EQ(g_leaks[1].size, 100u);
    } else {
      EXPECT_EQ(g_leaks.size(), 4u);
    }
    TearDown();
  }
}

template <class T>
void LeakObjectOf(std::size_t block_size) {
  new (VLeaks::GetObjectMem(block_size)) T;
}

TEST_F(LeaksTest, TheNetworkLibrarysOneTimeObjectsAreDroppedWithTheOption) {
  using TLeak = void (*)(std::size_t);
  struct TAllocation {
    TLeak leak;
    std::size_t size;
  };
  const TAllocation with_both[] = {
      {&LeakObjectOf<TIdCriticalSection>, 28},    // dropped (the first one)
      {&LeakObjectOf<TIdCriticalSection>, 28},    // stays
      {&LeakObjectOf<TCriticalSection>, 28},      // stays: an Id one was dropped
      {&LeakObjectOf<TIdThreadSafeInteger>, 12},  // dropped
      {&LeakObjectOf<TIntConst>, 16},             // every one dropped
      {&LeakObjectOf<TIntConst>, 16},
      {nullptr, 28},                            // data of that size stays
      {&LeakObjectOf<TIdCriticalSection>, 30},  // another size stays
  };
  const TAllocation plain_only[] = {
      {&LeakObjectOf<TCriticalSection>, 28},  // dropped
      {&LeakObjectOf<TCriticalSection>, 28},
  };
  struct TCase {
    std::uint8_t options;
    const TAllocation* allocations;
    std::size_t count;
    std::vector<int> reported_sites;
  };
  const TCase cases[] = {
      {0x0D, with_both, std::size(with_both), {1, 2, 6, 7}},
      {0x09, with_both, std::size(with_both), {0, 1, 2, 3, 4, 5, 6, 7}},
      {0x0D, plain_only, std::size(plain_only), {1}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.options));
    Start(c.options);
    for (std::size_t i = 0; i < c.count; ++i) {
      NextStack({Site(static_cast<int>(i))});
      if (c.allocations[i].leak) {
        c.allocations[i].leak(c.allocations[i].size);
      } else {
        VLeaks::TrackedGetMem(c.allocations[i].size);
      }
    }
    VLeaks::StopTracking();
    std::vector<int> seen;
    for (const TSeenLeak& leak : g_leaks)
      seen.push_back(static_cast<int>((leak.first + 5 - Site(0)) / 16));
    EXPECT_EQ(seen, c.reported_sites);
    EXPECT_EQ(g_frees.load(), g_gets.load());
    TearDown();
  }
}

TEST_F(LeaksTest, ACallbackMayFreeOrReallocateATrackedBlockAndOneThatThrowsDoesNotStopTheWalk) {
  Start(0x19);
  NextStack({Site(1)});
  g_free_in_callback = VLeaks::TrackedGetMem(10);
  NextStack({Site(2)});
  VLeaks::TrackedGetMem(20);
  VLeaks::StopTracking();  // would never return if the free waited for the list lock
  EXPECT_EQ(g_leaks.size(), 2u);
  EXPECT_EQ(g_frees.load(), g_gets.load());  // the block freed in the callback went back once

  Start(0x19);
  NextStack({Site(1)});
  g_realloc_in_callback = VLeaks::TrackedGetMem(10);
  std::memcpy(g_realloc_in_callback, "tracked", 8);
  VLeaks::StopTracking();
  EXPECT_TRUE(g_realloc_kept_content);
  EXPECT_EQ(g_frees.load(), g_gets.load());

  Start(0x09);
  VLeaks::TLeakCallbacks throwing = VLeaks::Callbacks();
  throwing.OneLeak = &OnThrowingLeak;
  VLeaks::SetCallbacks(throwing);
  NextStack({Site(1)});
  VLeaks::TrackedGetMem(10);
  NextStack({Site(2)});
  VLeaks::TrackedGetMem(20);
  VLeaks::StopTracking();
  EXPECT_EQ(g_before, 1);
  EXPECT_EQ(g_after, 1);
}

// The final check's callbacks build and tear down the library's state: the two around the
// leaks run also when every block left is dropped (here: no located stack), and nothing runs
// when no block is left at all.
TEST_F(LeaksTest, BeforeFirstAndAfterLastRunAlsoWhenNoLeakIsReported) {
  Start(0x09);
  NextStack({});
  VLeaks::TrackedGetMem(10);
  VLeaks::StopTracking();
  EXPECT_TRUE(g_leaks.empty());
  EXPECT_EQ(g_before, 1);
  EXPECT_EQ(g_after, 1);
}

// The leak callbacks run the processing, whose worker thread frees and allocates: the list
// lock is free meanwhile.
void* g_block_for_another_thread = nullptr;
std::atomic<bool> g_other_thread_freed{false};
void OnLeakFreedByAnotherThread(const char*, std::uint32_t, std::uint32_t, const std::uint32_t*) {
  if (void* p = g_block_for_another_thread) {
    g_block_for_another_thread = nullptr;
    std::thread other([p] {
      VLeaks::TrackedFreeMem(p);
      VLeaks::TrackedFreeMem(VLeaks::TrackedGetMem(16));
      g_other_thread_freed = true;
    });
    other.join();  // would never end if the list stayed locked
  }
}

TEST_F(LeaksTest, AnotherThreadMayFreeTrackedBlocksWhileTheLeaksAreHandedOut) {
  Start(0x19);
  VLeaks::TLeakCallbacks callbacks = VLeaks::Callbacks();
  callbacks.OneLeak = &OnLeakFreedByAnotherThread;
  VLeaks::SetCallbacks(callbacks);
  g_other_thread_freed = false;
  NextStack({Site(1)});
  g_block_for_another_thread = VLeaks::TrackedGetMem(10);
  NextStack({Site(2)});
  VLeaks::TrackedGetMem(20);
  VLeaks::StopTracking();
  EXPECT_TRUE(g_other_thread_freed.load());
  EXPECT_EQ(g_frees.load(), g_gets.load());  // the freed block went back once, the other at the end
}

TEST_F(LeaksTest, ManyThreadsAllocateAndFreeAtOnce) {
  Start(0x19);
  NextStack({});
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &bad] {
      std::vector<std::uint8_t*> mine;
      for (int i = 0; i < 3000; ++i) {
        const std::size_t n = 1 + (i * 13 + t) % 300;
        auto* p = static_cast<std::uint8_t*>(VLeaks::TrackedGetMem(n));
        std::memset(p, t, n);
        mine.push_back(p);
        if (mine.size() > 20) {
          std::uint8_t* old = mine.front();
          mine.erase(mine.begin());
          if (old[0] != t) ++bad;
          VLeaks::TrackedFreeMem(old);
        }
      }
      for (std::uint8_t* p : mine) VLeaks::TrackedFreeMem(p);
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(VLeaks::LiveBlockCount(), 0u);
  VLeaks::StopTracking();
  EXPECT_EQ(g_overruns + g_multi_frees, 0);
  EXPECT_TRUE(g_leaks.empty());
  EXPECT_EQ(g_frees.load(), g_gets.load());
}

// The return-address test of the leak stacks: what precedes the address decides.
TEST(LeakStacksTest, ReturnAddressesBecomeTheirCallsAndTheRestCloseUp) {
  struct TCase {
    const char* what;
    std::uint8_t before[7];  // the 7 bytes in front of the return address
    int call_back;           // bytes back to the call; 0: dropped
  };
  const TCase cases[] = {
      {"E8 rel32 to readable code", {0x90, 0x90, 0xE8, 0, 0, 0, 0}, 5},
      {"FF D0 call eax", {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0xD0}, 2},
      {"FF D7 call edi", {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0xD7}, 2},
      {"FF D8 is no near call", {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0xD8}, 0},
      {"FF 10 call [eax]", {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x10}, 2},
      {"FF 17 call [edi]", {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x17}, 2},
      {"FF 14 needs its SIB byte", {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x14}, 0},
      {"FF 50 d8 call [eax+d8]", {0x90, 0x90, 0x90, 0x90, 0xFF, 0x50, 0x08}, 3},
      {"FF 57 d8 call [edi+d8]", {0x90, 0x90, 0x90, 0x90, 0xFF, 0x57, 0x08}, 3},
      {"FF 90 d32 call [eax+d32]", {0x90, 0xFF, 0x90, 0x00, 0x01, 0x00, 0x00}, 6},
      {"FF 97 d32 call [edi+d32]", {0x90, 0xFF, 0x97, 0x00, 0x01, 0x00, 0x00}, 6},
      {"FF 14 24 call [esp]", {0x90, 0x90, 0x90, 0x90, 0xFF, 0x14, 0x24}, 3},
      {"FF 54 24 d8 call [esp+d8]", {0x90, 0x90, 0x90, 0xFF, 0x54, 0x24, 0x04}, 4},
      {"FF 94 24 d32 call [esp+d32]", {0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}, 7},
      {"FF 15 with a readable pointer", {0x90, 0xFF, 0x15, 0x00, 0x00, 0x60, 0x00}, 6},
      {"FF 15 with a pointer nowhere", {0x90, 0xFF, 0x15, 0x00, 0x00, 0x70, 0x00}, 0},
      {"plain bytes", {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90}, 0},
  };
  // One return address at 0x00800010 whose 7 bytes come from the case; 0x00600000.. readable.
  static const TCase* current = nullptr;
  constexpr std::uint32_t kAt = 0x00800010;
  auto reader = [](std::uint32_t address, void* buffer, std::size_t size) -> bool {
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint32_t x = address + static_cast<std::uint32_t>(i);
      if (x >= kAt - 7 && x < kAt) {
        out[i] = current->before[x - (kAt - 7)];
      } else if (x >= 0x00600000 && x < 0x00600010) {
        out[i] = 0;
      } else {
        return false;
      }
    }
    return true;
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TCase e8 = c;
    if (c.before[2] == 0xE8) {
      const std::uint32_t rel = 0x00600000 - kAt;
      std::memcpy(e8.before + 3, &rel, 4);
    }
    current = &e8;
    std::uint32_t entries[5] = {0x00000003, kAt, 0x00900000, kAt, 0x00000000};
    const std::size_t kept = VLeaks::PurgeCallStack(entries, 5, reader);
    if (c.call_back == 0) {
      EXPECT_EQ(kept, 0u);
      EXPECT_EQ(entries[0], 0u);
    } else {
      ASSERT_EQ(kept, 2u);
      EXPECT_EQ(entries[0], kAt - c.call_back);
      EXPECT_EQ(entries[1], kAt - c.call_back);
      EXPECT_EQ(entries[2], 0u);
    }
  }
  // An E8 whose target cannot be read is no call.
  TCase nowhere{"E8 rel32 to nowhere", {0x90, 0x90, 0xE8, 0x00, 0x00, 0x00, 0x40}, 0};
  current = &nowhere;
  std::uint32_t one[1] = {kAt};
  EXPECT_EQ(VLeaks::PurgeCallStack(one, 1, reader), 0u);
}

TEST(LeakOptionsTest, OptionsComeFromTheHeaderOfANewEnoughBlock) {
  struct TCase {
    const char* what;
    std::uint32_t magic;
    std::uint16_t version;
    std::size_t size;
    bool ok;
  };
  const TCase cases[] = {
      {"current", 0x100FAB10, 6000, 32, true},
      {"old magic, word 601", 0x000FAB10, 601, 32, true},
      {"word 602", 0x100FAB10, 602, 16, true},
      {"older version", 0x100FAB10, 5999, 32, false},
      {"word 599", 0x100FAB10, 599, 32, false},
      {"wrong magic", 0x100FAB11, 6000, 32, false},
      {"cut before the bytes", 0x100FAB10, 6000, 15, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint8_t block[32] = {};
    std::memcpy(block, &c.magic, 4);
    std::memcpy(block + 4, &c.version, 2);
    block[14] = 0x1B;
    block[15] = 1;
    std::uint8_t options = 0xEE, use_main = 0xEE;
    EXPECT_EQ(VLeaks::ReadLeakOptions(block, c.size, &options, &use_main), c.ok);
    EXPECT_EQ(options, c.ok ? 0x1B : 0);
    EXPECT_EQ(use_main, c.ok ? 1 : 0);
  }
  std::uint8_t options = 1, use_main = 1;
  EXPECT_FALSE(VLeaks::ReadLeakOptions(nullptr, 0, &options, &use_main));
  EXPECT_EQ(options, 0);
}

TEST_F(LeaksTest, WithoutTheTrackOptionNothingIsReplaced) {
  const VLeaks::TMemoryManager plain = VLeaks::GetMemoryManager();
  VLeaks::InstallTracker(0x1E);
  EXPECT_FALSE(VLeaks::IsLeakTrackingActive());
  EXPECT_EQ(VLeaks::GetMemoryManager().GetMem, plain.GetMem);
  void* p = VLeaks::TrackedGetMem(10);  // the tracking flag is clear: a plain block
  EXPECT_EQ(VLeaks::LiveBlockCount(), 0u);
  VLeaks::TrackedFreeMem(p);
}

}  // namespace
