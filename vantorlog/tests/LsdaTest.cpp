// LSDA reader against tables assembled by hand from the Itanium C++ ABI's description of
// GCC's exception tables, and LEB128 numbers from the DWARF standard's examples.
#include <gtest/gtest.h>
#include <unwind.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <typeinfo>
#include <vector>

#include "VLsda.h"
#include "VMemory.h"

namespace {

using VLsda::TFrameOutcome;

VLsda::TSpan SpanOf(const std::vector<std::uint8_t>& bytes, std::uint64_t address = 0x401000) {
  return {bytes.data(), bytes.size(), address};
}

struct LebCase {
  std::vector<std::uint8_t> bytes;
  std::uint64_t unsigned_value;
  std::int64_t signed_value;
};

TEST(LsdaNumbers, Leb128FromTheDwarfExamples) {
  // DWARF 4, figures 22 and 23.
  const LebCase cases[] = {
      {{0x02}, 2, 2},
      {{0x7F}, 127, -1},
      {{0x80, 0x01}, 128, 128},
      {{0x81, 0x01}, 129, 129},
      {{0x82, 0x01}, 130, 130},
      {{0xB9, 0x64}, 12857, 12857 - 16384},
      {{0x7E}, 126, -2},
      {{0xFF, 0x00}, 127, 127},
      {{0x81, 0x7F}, 16257, -127},
      {{0x80, 0x7F}, 16256, -128},
      {{0xFF, 0x7E}, 16255, -129},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, ~0ull, -1},
  };
  for (const LebCase& c : cases) {
    VLsda::TReader u(SpanOf(c.bytes));
    EXPECT_EQ(u.Uleb128(), c.unsigned_value);
    EXPECT_TRUE(u.ok());
    EXPECT_EQ(u.position(), c.bytes.size());
    VLsda::TReader s(SpanOf(c.bytes));
    EXPECT_EQ(s.Sleb128(), c.signed_value) << c.unsigned_value;
    EXPECT_TRUE(s.ok());
  }
}

TEST(LsdaNumbers, TruncatedOrOverlongNumbersAreErrors) {
  const std::vector<std::vector<std::uint8_t>> bad = {
      {},
      {0x80},
      {0xFF, 0xFF},
      // eleven bytes: more than 64 bits
      {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
      // ten bytes whose last one carries bits past 64
      {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
  };
  for (const auto& bytes : bad) {
    VLsda::TReader u(SpanOf(bytes));
    EXPECT_EQ(u.Uleb128(), 0u);
    EXPECT_FALSE(u.ok()) << bytes.size();
  }
  for (std::size_t i = 0; i < 4; ++i) {  // the signed form reads past 64 bits too
    VLsda::TReader s(SpanOf(bad[i]));
    s.Sleb128();
    EXPECT_FALSE(s.ok()) << i;
  }
}

bool LoadFromMap(void* user, std::uint64_t address, std::uint64_t* value) {
  const auto& memory = *static_cast<std::map<std::uint64_t, std::uint64_t>*>(user);
  auto it = memory.find(address);
  if (it == memory.end()) return false;
  *value = it->second;
  return true;
}

struct PointerCase {
  const char* what;
  std::uint8_t encoding;
  std::vector<std::uint8_t> bytes;  // at 0x401000 (two bytes of padding for the aligned case)
  std::size_t start;
  bool ok;
  std::uint64_t value;
  std::size_t end;
};

TEST(LsdaPointers, EncodingsApplicationsAndIndirection) {
  std::map<std::uint64_t, std::uint64_t> memory = {{0x40100E, 0x12345678}, {0x500010, 0xABCD}};
  const VLsda::TBases bases{0x400000, 0x500000, 0x401100};
  const PointerCase cases[] = {
      {"absptr", 0x00, {0x78, 0x56, 0x34, 0x12}, 0, true, 0x12345678, 4},
      {"udata2", 0x02, {0xFE, 0xFF}, 0, true, 0xFFFE, 2},
      {"sdata2", 0x0A, {0xFE, 0xFF}, 0, true, 0xFFFFFFFE, 2},
      {"uleb128", 0x01, {0xB9, 0x64}, 0, true, 12857, 2},
      {"sleb128 -2 wraps to 32 bits", 0x09, {0x7E}, 0, true, 0xFFFFFFFE, 1},
      {"udata8 cut to the pointer size", 0x04, {1, 0, 0, 0, 1, 0, 0, 0}, 0, true, 1, 8},
      // pcrel: the field's own address 0x401002 plus 0x0C
      {"pcrel sdata4", 0x1B, {0, 0, 0x0C, 0, 0, 0}, 2, true, 0x40100E, 6},
      {"pcrel sdata4 negative", 0x1B, {0, 0, 0xFE, 0xFF, 0xFF, 0xFF}, 2, true, 0x401000, 6},
      {"textrel udata4", 0x23, {0x10, 0, 0, 0}, 0, true, 0x400010, 4},
      {"datarel sdata4", 0x3B, {0x10, 0, 0, 0}, 0, true, 0x500010, 4},
      {"funcrel uleb128", 0x41, {0x20}, 0, true, 0x401120, 1},
      {"indirect pcrel sdata4", 0x9B, {0, 0, 0x0C, 0, 0, 0}, 2, true, 0x12345678, 6},
      {"indirect datarel", 0xBB, {0x10, 0, 0, 0}, 0, true, 0xABCD, 4},
      {"indirect to unreadable", 0x9B, {0, 0, 0x40, 0, 0, 0}, 2, false, 0, 6},
      {"zero stays zero under pcrel", 0x1B, {0, 0, 0, 0}, 0, true, 0, 4},
      {"aligned moves to the next pointer",
       0x50,
       {9, 9, 9, 9, 0x44, 0x33, 0x22, 0x11},
       1,
       true,
       0x11223344,
       8},
      {"omit", 0xFF, {1, 2, 3, 4}, 0, false, 0, 0},
      {"unknown format 5", 0x05, {1, 2, 3, 4}, 0, false, 0, 0},
      {"unknown application 0x60", 0x63, {1, 2, 3, 4}, 0, false, 0, 0},
      {"truncated udata4", 0x03, {1, 2, 3}, 0, false, 0, 3},
  };
  for (const PointerCase& c : cases) {
    VLsda::TReader r(SpanOf(c.bytes), c.start);
    std::uint64_t value = 99;
    EXPECT_EQ(VLsda::ReadEncodedPointer(r, c.encoding, 4, bases, LoadFromMap, &memory, &value),
              c.ok)
        << c.what;
    EXPECT_EQ(value, c.value) << c.what;
    if (c.ok) EXPECT_EQ(r.position(), c.end) << c.what;
  }
  EXPECT_EQ(VLsda::EncodedSize(0x00, 4), 4);
  EXPECT_EQ(VLsda::EncodedSize(0x00, 8), 8);
  EXPECT_EQ(VLsda::EncodedSize(0x9B, 4), 4);
  EXPECT_EQ(VLsda::EncodedSize(0x01, 4), 0);
  EXPECT_EQ(VLsda::EncodedSize(0xFF, 4), 0);
}

// A function at 0x402000 with this LSDA (ABI layout; type entries run down from TType):
//   header: LPStart omitted, TType udata4, call sites uleb128
//   call sites (start, length, landing pad, action):
//     [0x10,+8) lp 0x40 action 1: catch (A), then catch (...)
//     [0x20,+8) lp 0x50 action 0: a cleanup only
//     [0x30,+4) lp 0    action 0: nothing
//     [0x38,+4) lp 0x60 action 5: throw (A) list
//     [0x40,+4) lp 0x70 action 7: a cleanup, then catch (B)
//   actions: @0 {1, +1} @2 {2, 0} @4 {-1, 0} @6 {0, +1} @8 {3, 0}
//   types: 1 = A (0x7000), 2 = catch-all (0), 3 = B (0x7100)
//   throw lists past TType: @0 {1, 0}
constexpr std::uint64_t kRegion = 0x402000;
constexpr std::uint64_t kTypeA = 0x7000;
constexpr std::uint64_t kTypeB = 0x7100;

std::vector<std::uint8_t> HandTable() {
  const std::vector<std::uint8_t> call_sites = {
      0x10, 0x08, 0x40, 0x01,  //
      0x20, 0x08, 0x50, 0x00,  //
      0x30, 0x04, 0x00, 0x00,  //
      0x38, 0x04, 0x60, 0x05,  //
      0x40, 0x04, 0x70, 0x07,
  };
  const std::vector<std::uint8_t> actions = {0x01, 0x01, 0x02, 0x00, 0x7F,
                                             0x00, 0x00, 0x01, 0x03, 0x00};
  const std::vector<std::uint8_t> types = {
      0x00, 0x71, 0x00, 0x00,  // 3: B
      0x00, 0x00, 0x00, 0x00,  // 2: catch-all
      0x00, 0x70, 0x00, 0x00,  // 1: A
  };
  const std::vector<std::uint8_t> throw_lists = {0x01, 0x00};
  std::vector<std::uint8_t> t = {0xFF, 0x03};
  // TType offset: from just after this number to the end of the type table.
  const std::size_t to_ttype = 1 + 1 + call_sites.size() + actions.size() + types.size();
  t.push_back(static_cast<std::uint8_t>(to_ttype));
  t.push_back(0x01);
  t.push_back(static_cast<std::uint8_t>(call_sites.size()));
  t.insert(t.end(), call_sites.begin(), call_sites.end());
  t.insert(t.end(), actions.begin(), actions.end());
  t.insert(t.end(), types.begin(), types.end());
  t.insert(t.end(), throw_lists.begin(), throw_lists.end());
  return t;
}

struct Thrown {
  std::uint64_t type;
};
bool MatchThrown(void* user, std::uint64_t type) {
  return static_cast<Thrown*>(user)->type == type;
}

struct FrameCase {
  const char* what;
  std::uint64_t ip_offset;
  std::uint64_t thrown;
  TFrameOutcome outcome;
  std::uint64_t landing_pad;  // offset from the region
  std::uint64_t type;
  bool cleanup;
};

TEST(LsdaFrames, HandAssembledTable) {
  const std::vector<std::uint8_t> table = HandTable();
  const FrameCase cases[] = {
      {"typed handler takes A", 0x10, kTypeA, TFrameOutcome::kTyped, 0x40, kTypeA, false},
      {"other types fall to the catch-all", 0x17, kTypeB, TFrameOutcome::kCatchAll, 0x40, 0, false},
      {"cleanup only", 0x24, kTypeA, TFrameOutcome::kNone, 0, 0, true},
      {"entry without landing pad", 0x31, kTypeA, TFrameOutcome::kNone, 0, 0, false},
      {"throw list allows A: search goes on", 0x38, kTypeA, TFrameOutcome::kNone, 0, 0, false},
      {"throw list broken by B", 0x3B, kTypeB, TFrameOutcome::kTerminate, 0x60, 0, false},
      {"cleanup then catch (B)", 0x40, kTypeB, TFrameOutcome::kTyped, 0x70, kTypeB, true},
      {"cleanup then no match", 0x43, kTypeA, TFrameOutcome::kNone, 0, 0, true},
      {"before the first entry", 0x0F, kTypeA, TFrameOutcome::kTerminate, 0, 0, false},
      {"gap between entries", 0x2C, kTypeA, TFrameOutcome::kTerminate, 0, 0, false},
      {"after the last entry", 0x44, kTypeA, TFrameOutcome::kTerminate, 0, 0, false},
  };
  for (const FrameCase& c : cases) {
    Thrown thrown{c.thrown};
    VLsda::TSearch search;
    search.match = MatchThrown;
    search.user = &thrown;
    const VLsda::TFrameResult r =
        VLsda::SearchFrame(SpanOf(table), kRegion, kRegion + c.ip_offset, search);
    EXPECT_EQ(r.outcome, c.outcome) << c.what;
    EXPECT_EQ(r.landing_pad, c.landing_pad ? kRegion + c.landing_pad : 0) << c.what;
    EXPECT_EQ(r.type_info, c.type) << c.what;
    EXPECT_EQ(r.cleanup, c.cleanup) << c.what;
  }
}

TEST(LsdaFrames, HeaderLandingPadBaseAndPcRelativeIndirectTypes) {
  // LPStart given (absptr 0x403000); types pcrel|sdata4|indirect as position-independent code
  // writes them; one call site [0,+0x100) lp 0x8 action 1 {1, 0}.
  const std::uint64_t at = 0x401000;
  std::vector<std::uint8_t> t = {0x00, 0x00, 0x30, 0x40, 0x00, 0x9B};
  t.push_back(0);  // TType offset, patched below
  const std::size_t after_offset = t.size();
  t.insert(t.end(), {0x01, 0x05, 0x00, 0x80, 0x02, 0x08, 0x01});
  t.insert(t.end(), {0x01, 0x00});
  const std::size_t entry_at = t.size();
  // The entry points at a slot 0x40 bytes past itself that holds the type_info address.
  t.insert(t.end(), {0x40, 0x00, 0x00, 0x00});
  t[after_offset - 1] = static_cast<std::uint8_t>(t.size() - after_offset);
  std::map<std::uint64_t, std::uint64_t> memory = {{at + entry_at + 0x40, kTypeA}};
  struct Both {
    std::map<std::uint64_t, std::uint64_t>* memory;
    Thrown thrown;
  } both{&memory, {kTypeA}};
  VLsda::TSearch search;
  search.user = &both;
  search.load = [](void* u, std::uint64_t a, std::uint64_t* v) {
    return LoadFromMap(static_cast<Both*>(u)->memory, a, v);
  };
  search.match = [](void* u, std::uint64_t type) {
    return MatchThrown(&static_cast<Both*>(u)->thrown, type);
  };
  VLsda::TFrameResult r = VLsda::SearchFrame(SpanOf(t, at), kRegion, kRegion + 0x50, search);
  EXPECT_EQ(r.outcome, TFrameOutcome::kTyped);
  EXPECT_EQ(r.landing_pad, 0x403008u);
  EXPECT_EQ(r.type_info, kTypeA);
  // The slot cannot be read: the table cannot be used.
  memory.clear();
  r = VLsda::SearchFrame(SpanOf(t, at), kRegion, kRegion + 0x50, search);
  EXPECT_EQ(r.outcome, TFrameOutcome::kMalformed);
}

TEST(LsdaFrames, EveryTruncationIsMalformedOrAnswersWithinTheBytes) {
  const std::vector<std::uint8_t> table = HandTable();
  for (std::size_t size = 0; size < table.size(); ++size) {
    // An exact-size heap copy: a read past it is caught by the address sanitizer.
    std::vector<std::uint8_t> cut(table.begin(), table.begin() + size);
    Thrown thrown{kTypeB};
    VLsda::TSearch search;
    search.match = MatchThrown;
    search.user = &thrown;
    for (std::uint64_t ip = 0x0E; ip < 0x46; ++ip) {
      const VLsda::TFrameResult r = VLsda::SearchFrame(SpanOf(cut), kRegion, kRegion + ip, search);
      if (r.outcome == TFrameOutcome::kTyped) EXPECT_EQ(r.type_info, kTypeB);
    }
    // The header and the whole call-site table are needed before anything is answered.
    if (size < 4) {
      EXPECT_EQ(VLsda::SearchFrame(SpanOf(cut), kRegion, kRegion + 0x10, search).outcome,
                TFrameOutcome::kMalformed)
          << size;
    }
  }
}

TEST(LsdaFrames, ActionChainThatLoopsEndsAsMalformed) {
  // One call site with action 1; the record {0, -1} points its displacement back at itself.
  const std::vector<std::uint8_t> t = {0xFF, 0xFF, 0x01, 0x04, 0x00, 0x10, 0x08, 0x01, 0x00, 0x7F};
  Thrown thrown{kTypeA};
  VLsda::TSearch search;
  search.match = MatchThrown;
  search.user = &thrown;
  const VLsda::TFrameResult r = VLsda::SearchFrame(SpanOf(t), kRegion, kRegion + 4, search);
  EXPECT_EQ(r.outcome, TFrameOutcome::kMalformed);
  // A filter that names a type without a type table.
  const std::vector<std::uint8_t> no_types = {0xFF, 0xFF, 0x01, 0x04, 0x00,
                                              0x10, 0x08, 0x01, 0x01, 0x00};
  EXPECT_EQ(VLsda::SearchFrame(SpanOf(no_types), kRegion, kRegion + 4, search).outcome,
            TFrameOutcome::kMalformed);
}

// ---- Tables the compiler wrote for this program ----
// The search of three host functions' own frames, taken from inside their bodies; what must
// be found there follows from the C++ source: a catch of the base class, a catch-all, a
// cleanup, a noexcept function.

struct Base {
  virtual ~Base() = default;
};
struct Derived : Base {};
struct Unrelated {
  virtual ~Unrelated() = default;
};

struct FrameSeen {
  std::uintptr_t region;
  std::uintptr_t ip;  // moved back into the call
  const std::uint8_t* lsda;
  std::uintptr_t text_base, data_base;
};

_Unwind_Reason_Code Collect(struct _Unwind_Context* context, void* user) {
  int before = 0;
  const std::uintptr_t ip = _Unwind_GetIPInfo(context, &before);
  static_cast<std::vector<FrameSeen>*>(user)->push_back(
      {static_cast<std::uintptr_t>(_Unwind_GetRegionStart(context)), before ? ip : ip - 1,
       static_cast<const std::uint8_t*>(_Unwind_GetLanguageSpecificData(context)),
       static_cast<std::uintptr_t>(_Unwind_GetTextRelBase(context)),
       static_cast<std::uintptr_t>(_Unwind_GetDataRelBase(context))});
  return static_cast<std::vector<FrameSeen>*>(user)->size() > 32 ? _URC_END_OF_STACK
                                                                 : _URC_NO_REASON;
}

volatile int g_side_effect = 0;
[[gnu::noinline]] void Backtrace(std::vector<FrameSeen>* frames) {
  _Unwind_Backtrace(Collect, frames);
  ++g_side_effect;
}

[[gnu::noinline]] int CatchingHost(std::vector<FrameSeen>* frames) {
  try {
    Backtrace(frames);
  } catch (const Base&) {
    return 1;
  } catch (...) {
    return 2;
  }
  return 0;
}

struct Guard {
  ~Guard() { ++g_side_effect; }
};
[[gnu::noinline]] void CleanupHost(std::vector<FrameSeen>* frames) {
  Guard g;
  Backtrace(frames);
}

[[gnu::noinline]] void NoexceptHost(std::vector<FrameSeen>* frames) noexcept { Backtrace(frames); }

struct Thrown2 {
  const std::type_info* type;
  void* object;
};

bool LoadOwn(void*, std::uint64_t address, std::uint64_t* value) {
  std::uintptr_t word = 0;
  if (!VCore::SafeRead(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), &word,
                       sizeof word))
    return false;
  *value = word;
  return true;
}

bool DoCatch(void* user, std::uint64_t type) {
  auto* t = static_cast<Thrown2*>(user);
  void* object = t->object;
  return reinterpret_cast<const std::type_info*>(static_cast<std::uintptr_t>(type))
      ->__do_catch(t->type, &object, 1);
}

VLsda::TFrameResult SearchHost(void (*host)(std::vector<FrameSeen>*), const void* entry,
                               Thrown2* thrown) {
  std::vector<FrameSeen> frames;
  host(&frames);
  for (const FrameSeen& f : frames) {
    if (f.region != reinterpret_cast<std::uintptr_t>(entry)) continue;
    EXPECT_NE(f.lsda, nullptr);
    if (!f.lsda) break;
    VLsda::TSearch search;
    search.pointer_size = sizeof(void*);
    search.bases = {f.text_base, f.data_base, 0};
    search.load = LoadOwn;
    search.match = DoCatch;
    search.user = thrown;
    const VLsda::TSpan span{f.lsda, VCore::ReadableBytes(f.lsda, 4096),
                            reinterpret_cast<std::uintptr_t>(f.lsda)};
    return VLsda::SearchFrame(span, f.region, f.ip, search);
  }
  ADD_FAILURE() << "host frame not seen";
  return {};
}

TEST(LsdaCompiled, SearchOfTheCompilersOwnTables) {
  Derived derived;
  Unrelated unrelated;
  Thrown2 as_derived{&typeid(Derived), &derived};
  Thrown2 as_unrelated{&typeid(Unrelated), &unrelated};
  const void* catching_entry = reinterpret_cast<const void*>(&CatchingHost);
  auto call_catching = +[](std::vector<FrameSeen>* f) { CatchingHost(f); };

  VLsda::TFrameResult r = SearchHost(call_catching, catching_entry, &as_derived);
  EXPECT_EQ(r.outcome, TFrameOutcome::kTyped);
  EXPECT_EQ(r.type_info, reinterpret_cast<std::uintptr_t>(&typeid(Base)));
  // The landing pad lies in the host, past the call.
  EXPECT_GT(r.landing_pad, reinterpret_cast<std::uintptr_t>(catching_entry));
  EXPECT_LT(r.landing_pad, reinterpret_cast<std::uintptr_t>(catching_entry) + 4096);

  r = SearchHost(call_catching, catching_entry, &as_unrelated);
  EXPECT_EQ(r.outcome, TFrameOutcome::kCatchAll);

  r = SearchHost(&CleanupHost, reinterpret_cast<const void*>(&CleanupHost), &as_derived);
  EXPECT_EQ(r.outcome, TFrameOutcome::kNone);
  EXPECT_TRUE(r.cleanup);

  r = SearchHost(&NoexceptHost, reinterpret_cast<const void*>(&NoexceptHost), &as_derived);
  EXPECT_EQ(r.outcome, TFrameOutcome::kTerminate);
}

}  // namespace
