#include "nor_flash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace phone_sim {
namespace {

TEST(SectorLayout, BothTablesByAddress) {
  struct Case {
    bool slave;
    std::uint32_t offset;
    std::uint32_t index, start, size;
  } cases[] = {
      {false, 0x0000000, 0, 0x0000000, 0x20000},   {false, 0x003FFFF, 1, 0x0020000, 0x20000},
      {false, 0x1FDFFFF, 254, 0x1FC0000, 0x20000}, {false, 0x1FE0000, 255, 0x1FE0000, 0x8000},
      {false, 0x1FFFFFF, 258, 0x1FF8000, 0x8000},  {true, 0x0000000, 0, 0x0000000, 0x10000},
      {true, 0x0FEFFFF, 254, 0x0FE0000, 0x10000},  {true, 0x0FF0000, 255, 0x0FF0000, 0x2000},
      {true, 0x0FFE000, 262, 0x0FFE000, 0x2000},
  };
  SectorLayout master = MasterSectorLayout(), slave = SlaveSectorLayout();
  EXPECT_EQ(master.TotalSize(), 32u << 20);
  EXPECT_EQ(master.SectorCount(), 259u);
  EXPECT_EQ(slave.TotalSize(), 16u << 20);
  EXPECT_EQ(slave.SectorCount(), 263u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    std::optional<Sector> s = (c.slave ? slave : master).SectorAt(c.offset);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->index, c.index);
    EXPECT_EQ(s->start, c.start);
    EXPECT_EQ(s->size, c.size);
  }
  EXPECT_FALSE(master.SectorAt(0x2000000));
  EXPECT_FALSE(slave.SectorAt(0x1000000));
  EXPECT_FALSE(slave.SectorAt(0xFFFFFFFF));
}

TEST(NorFlash, ReadAndWriteAtTheEnd) {
  NorFlash nor(SlaveSectorLayout());
  EXPECT_EQ(nor.Write(0xFFFFFE, Bytes{1, 2, 3, 4}), 2u);
  EXPECT_EQ(nor.Read(0xFFFFFD, 4), (Bytes{0xFF, 1, 2, 0xFF}));
  EXPECT_EQ(nor.Write(0x1000000, Bytes{1}), 0u);
  EXPECT_EQ(nor.Read(0x7FFFFFFF, 2), (Bytes{0xFF, 0xFF}));
}

TEST(NorFlash, LoadAndSaveFiles) {
  std::string path = testing::TempDir() + "nor_flash_test.bin";
  {
    std::ofstream out(path, std::ios::binary);
    out << "abc";
  }
  NorFlash nor(SlaveSectorLayout());
  nor.Write(100, Bytes{0});
  ASSERT_EQ(nor.Load(path), "");
  EXPECT_EQ(nor.Read(0, 4), (Bytes{'a', 'b', 'c', 0xFF}));
  EXPECT_EQ(nor.Read(100, 1), Bytes{0xFF});  // loading starts from an erased NOR
  ASSERT_EQ(nor.Save(path), "");
  NorFlash copy(SlaveSectorLayout());
  ASSERT_EQ(copy.Load(path), "");
  EXPECT_EQ(copy.Read(0, 3), (Bytes{'a', 'b', 'c'}));

  // A file larger than the NOR is refused and changes nothing.
  NorFlash small(SlaveSectorLayout());
  NorFlash big(MasterSectorLayout());
  ASSERT_EQ(big.Save(path), "");
  small.Write(0, Bytes{7});
  EXPECT_NE(small.Load(path), "");
  EXPECT_EQ(small.Read(0, 1), Bytes{7});
  EXPECT_NE(small.Load(path + ".missing"), "");
  EXPECT_NE(small.Save("/nonexistent-dir/x.bin"), "");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace phone_sim
