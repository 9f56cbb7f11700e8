// Protocol and data code of the downloader: queue, sector tables, path lists, CRC-32, hex text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ByteQueue.h"
#include "Crc32.h"
#include "HexText.h"
#include "PathHistory.h"
#include "SectorInfo.h"

namespace {

TEST(ByteQueue, HoldsAtMost16383Bytes) {
  auto q = std::make_unique<CByteQueue>();
  for (int i = 0; i < 16383; ++i) ASSERT_TRUE(q->Put(static_cast<std::uint8_t>(i))) << i;
  EXPECT_EQ(q->GetCount(), 16383);
  EXPECT_EQ(q->GetFree(), 0);
  EXPECT_FALSE(q->Put(1));
  std::uint8_t b = 0;
  ASSERT_TRUE(q->Get(b));
  EXPECT_EQ(b, 0);
  EXPECT_TRUE(q->Put(0xEE));  // one slot again, across the wrap
  EXPECT_FALSE(q->Put(0xEF));
  for (int i = 1; i < 16383; ++i) {
    ASSERT_TRUE(q->Get(b));
    ASSERT_EQ(b, static_cast<std::uint8_t>(i));
  }
  ASSERT_TRUE(q->Get(b));
  EXPECT_EQ(b, 0xEE);
  EXPECT_FALSE(q->Get(b));
  EXPECT_EQ(q->GetCount(), 0);
}

TEST(ByteQueue, BlockIsTakenOnlyWhenItFits) {
  auto q = std::make_unique<CByteQueue>();
  std::vector<std::uint8_t> bytes(16383, 0x5A);
  EXPECT_FALSE(q->PutBlock(bytes.data(), 16384 - 0));  // n must be < 16384 - count
  EXPECT_TRUE(q->PutBlock(bytes.data(), 16000));
  EXPECT_FALSE(q->PutBlock(bytes.data(), 384));  // 384 == 16384 - 16000: does not fit
  EXPECT_EQ(q->GetCount(), 16000);
  EXPECT_TRUE(q->PutBlock(bytes.data(), 383));
  EXPECT_EQ(q->GetCount(), 16383);
  q->Clear();
  EXPECT_EQ(q->GetCount(), 0);
}

// A driver buffer holding more than the queue's free space.
struct FakeDriver {
  std::vector<std::uint8_t> pending;
  std::size_t pos = 0;
  int reads = 0;
  int Read(std::uint8_t* buf, int max) {
    ++reads;
    int n = static_cast<int>(
        std::min<std::size_t>(static_cast<std::size_t>(max), pending.size() - pos));
    std::memcpy(buf, pending.data() + pos, static_cast<std::size_t>(n));
    pos += static_cast<std::size_t>(n);
    return n;
  }
};

TEST(ByteQueue, BurstLargerThanFreeSpaceStaysWithTheDriver) {
  auto q = std::make_unique<CByteQueue>();
  FakeDriver d;
  for (int i = 0; i < 20000; ++i) d.pending.push_back(static_cast<std::uint8_t>(i * 7));
  for (int i = 0; i < 1000; ++i) q->Put(0xFF);  // 1000 unread bytes already queued
  std::uint8_t buf[8194];
  auto read = [&](std::uint8_t* b, int max) { return d.Read(b, max); };
  EXPECT_EQ(q->FillFrom(read, buf, 8194), 15383);
  EXPECT_EQ(q->GetCount(), 16383);
  EXPECT_EQ(d.pos, 15383u);  // the rest is still in the driver
  // The consumer drains; the next fill takes the rest, in order, nothing lost.
  std::vector<std::uint8_t> got;
  std::uint8_t b;
  while (q->Get(b)) got.push_back(b);
  EXPECT_EQ(q->FillFrom(read, buf, 8194), 20000 - 15383);
  while (q->Get(b)) got.push_back(b);
  ASSERT_EQ(got.size(), 21000u);
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(got[1000 + i], static_cast<std::uint8_t>(i * 7)) << i;
}

TEST(ByteQueue, BlockModeNotifiesOnlyAtExactly8193) {
  struct Case {
    int count;
    bool block;
    bool notify;
  } cases[] = {
      {0, false, false},    {1, false, true},     {8193, false, true}, {0, true, false},
      {1, true, false},     {8192, true, false},  {8193, true, true},  {8194, true, false},
      {16383, true, false}, {16383, false, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CByteQueue::ShouldNotify(c.count, c.block), c.notify) << c.count << " " << c.block;
}

TEST(SectorTables, RowsAndLayout) {
  BuildSectorTables();
  EXPECT_EQ(FormatSectorRow(g_SectorTableA[0]), "000: 0x20000000 ~ 0x2001FFFF (128KBytes)");
  EXPECT_EQ(FormatSectorRow(g_SectorTableA[258]), "258: 0x21FF8000 ~ 0x21FFFFFF (32KBytes)");
  EXPECT_EQ(FormatSectorRow(g_SectorTableA[255]), "255: 0x21FE0000 ~ 0x21FE7FFF (32KBytes)");
  EXPECT_EQ(FormatSectorRow(g_SectorTableB[0]), "000: 0x20000000 ~ 0x2000FFFF (64KBytes)");
  EXPECT_EQ(FormatSectorRow(g_SectorTableB[262]), "262: 0x20FFE000 ~ 0x20FFFFFF ( 8KBytes)");
  // Totals: 32 MiB and 16 MiB.
  const SECTOR_INFO& lastA = g_SectorTableA[kSectorCountA - 1];
  const SECTOR_INFO& lastB = g_SectorTableB[kSectorCountB - 1];
  EXPECT_EQ(2 * (lastA.offset + lastA.size), 32u << 20);
  EXPECT_EQ(2 * (lastB.offset + lastB.size), 16u << 20);
  for (int i = 0; i < kSectorCountB; ++i) {
    EXPECT_EQ(
        g_SectorTableB[i].reserved1 | g_SectorTableB[i].reserved2 | g_SectorTableB[i].reserved3,
        0u);
    EXPECT_EQ(g_SectorFlags[i], 0u);
  }
}

TEST(SectorTables, FindSectorIndex) {
  BuildSectorTables();
  struct Case {
    const SECTOR_INFO* table;
    int count;
    std::uint32_t offset;
    int index;
  } cases[] = {
      {g_SectorTableB, kSectorCountB, 0, 0},
      {g_SectorTableB, kSectorCountB, 0xFFE000, 262},
      {g_SectorTableB, kSectorCountB, 0xFF0000, 255},
      {g_SectorTableB, kSectorCountB, 0x10000, 1},
      {g_SectorTableB, kSectorCountB, 0x8000, -1},     // inside sector 0
      {g_SectorTableB, kSectorCountB, 0x1000000, -1},  // past the end
      {g_SectorTableA, kSectorCountA, 0x20000, 1},
      {g_SectorTableA, kSectorCountA, 0x10000, -1},
      {g_SectorTableA, kSectorCountA, 0x1FF8000, 258},
      {g_SectorTableA, kSectorCountA, 0x1FE0001, -1},
      {nullptr, 0, 0, -1},  // no table chosen yet
      {g_SectorTableA, 0, 0, -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FindSectorIndex(c.table, c.count, c.offset), c.index) << std::hex << c.offset;
}

TEST(PathHistory, SwapAndShift) {
  struct Case {
    std::array<std::wstring, 3> before;
    std::wstring chosen;
    std::array<std::wstring, 3> after;
  } cases[] = {
      {{L"a", L"b", L"c"}, L"b", {L"b", L"a", L"c"}},  // second entry trades with the first
      {{L"a", L"b", L"c"}, L"c", {L"c", L"b", L"a"}},
      {{L"a", L"b", L"c"}, L"a", {L"a", L"b", L"c"}},
      {{L"a", L"b", L"c"}, L"d", {L"d", L"a", L"b"}},  // new path: the third is dropped
      {{L"", L"", L""}, L"x", {L"x", L"", L""}},
      {{L"x", L"", L""}, L"y", {L"y", L"x", L""}},
  };
  for (const auto& c : cases) {
    PathHistory h{c.before};
    h.Choose(c.chosen);
    EXPECT_EQ(h.entries, c.after);
    EXPECT_EQ(h.Current(), c.after[0]);
  }
}

TEST(PathHistory, CfgName) {
  EXPECT_EQ(CfgNameFor(L"C:\\img\\fs.qvs"), L"C:\\img\\fs.cfg");
  EXPECT_EQ(CfgNameFor(L"C:\\v1.2\\fs.x.qvs"), L"C:\\v1.2\\fs.x.cfg");
  EXPECT_EQ(CfgNameFor(L"image"), L"");
  EXPECT_EQ(CfgNameFor(L""), L"");
}

TEST(Crc32, StandardCheckValues) {
  std::uint32_t table[256];
  BuildCrc32Table(table);
  EXPECT_EQ(table[1], 0x77073096u);
  EXPECT_EQ(table[255], 0x2D02EF8Du);
  const char* check = "123456789";
  EXPECT_EQ(Crc32(table, reinterpret_cast<const std::uint8_t*>(check), 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(table, nullptr, 0), 0u);
  const char* fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(Crc32(table, reinterpret_cast<const std::uint8_t*>(fox), std::strlen(fox)),
            0x414FA339u);
}

TEST(HexText, ParseHex) {
  struct Case {
    const wchar_t* text;
    std::uint32_t value;
  } cases[] = {
      {L"20080000", 0x20080000},
      {L"0x21d60000", 0x21D60000},
      {L"0X1f", 0x1F},
      {L"abc", 0xABC},
      {L"12G4", 0x12},
      {L"", 0},
      {L"zz", 0},
      {L"0x", 0},
      {L" 12", 0},
      {L"123456789", 0x23456789},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseHex(c.text), c.value) << c.text;
}

}  // namespace
