// Data of the QVS explorer: request frames, directory records, the file status text and the
// NAND dump geometry and resume point.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QvsExplorerData.h"

using namespace qvsx;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
  return b;
}

TEST(QvsExplorerFrames, ListDirAndNameFrames) {
  Bytes f;
  ASSERT_TRUE(ListDirFrame("/", f));
  EXPECT_EQ(f, B({0xE5, 0x01, 0x2F}));
  ASSERT_TRUE(ListDirFrame("/ab/", f));
  EXPECT_EQ(f, B({0xE5, 0x04, '/', 'a', 'b', '/'}));
  EXPECT_TRUE(ListDirFrame(std::string(255, 'x'), f));
  EXPECT_EQ(f.size(), 257u);
  EXPECT_FALSE(ListDirFrame(std::string(256, 'x'), f));
  EXPECT_FALSE(ListDirFrame("", f));

  ASSERT_TRUE(NameFrame(kReadFile, "/x", f));
  EXPECT_EQ(f, B({0xE8, 0x00, 0x03, '/', 'x', 0}));
  ASSERT_TRUE(NameFrame(kDelete, std::string(509, 'n'), f));  // 510 with the zero byte
  EXPECT_EQ(f[1], 0x01);
  EXPECT_EQ(f[2], 0xFE);
  EXPECT_EQ(f.size(), 3u + 510u);
  EXPECT_FALSE(NameFrame(kDelete, std::string(510, 'n'), f));
  EXPECT_FALSE(NameFrame(kFileStatus, "", f));

  EXPECT_EQ(NandContinueFrame(4, 0x012345), B({0xB2, 0x04, 0x01, 0x23, 0x45}));
  EXPECT_EQ(NandContinueFrame(2, 256), B({0xB2, 0x02, 0x00, 0x01, 0x00}));
}

TEST(QvsExplorerRecords, ParsesKindAndNameAndRefusesMalformedOnes) {
  const struct {
    const char* what;
    Bytes record;
    bool ok;
    int kind;
    std::string name;
  } cases[] = {
      {"file", B({1, 'a', '.', 'b', 0}), true, 1, "a.b"},
      {"directory", B({2, '.', '.', 0}), true, 2, ".."},
      {"bytes after the zero byte", B({1, 'x', 0, 'y', 0}), true, 1, "x"},
      {"the phone's failure record", B({0}), false, 0, ""},
      {"no zero byte", B({1, 'a', 'b', 'c'}), false, 0, ""},
      {"empty", Bytes{}, false, 0, ""},
      {"longer than the buffer", Bytes(257, 1), false, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DirRecord r;
    std::string error;
    EXPECT_EQ(ParseDirRecord(c.record, r, error), c.ok);
    if (c.ok) {
      EXPECT_EQ(r.kind, c.kind);
      EXPECT_EQ(r.name, c.name);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
  // A full 256-byte record whose last byte is the zero byte: a 254-byte name.
  Bytes longest(256, 'n');
  longest[0] = 1;
  longest[255] = 0;
  DirRecord r;
  std::string error;
  ASSERT_TRUE(ParseDirRecord(longest, r, error));
  EXPECT_EQ(r.name.size(), 254u);
}

TEST(QvsExplorerRecords, ReaderTakesLengthPlusOneBytes) {
  RecordReader reader;
  reader.Start(3);
  EXPECT_FALSE(reader.Put(1));
  EXPECT_FALSE(reader.Put('a'));
  EXPECT_FALSE(reader.Put('b'));
  EXPECT_TRUE(reader.Put(0));
  EXPECT_EQ(Bytes(reader.Record().begin(), reader.Record().end()), B({1, 'a', 'b', 0}));
  // The longest length byte fills the 256-byte buffer exactly.
  reader.Start(255);
  int n = 0;
  while (!reader.Put(7)) ++n;
  EXPECT_EQ(n, 255);
  EXPECT_EQ(reader.Record().size(), 256u);
  reader.Start(0);
  EXPECT_TRUE(reader.Put(0));
}

TEST(QvsExplorerStatus, PrintsEveryFieldAndTheDosDates) {
  // mode 81A4, i-node 7, device 1, dummy 0, 20000 bytes; access 2010-03-15; modified
  // 2010-03-15 13:45 with the two-second count 29; changed 2107-12-31 23:59, count 29.
  Bytes r = B({0x00, 0x00, 0x81, 0xA4, 0x00, 0x00, 0x00, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
               0x4E, 0x20, 0x00, 0x00, 0x3C, 0x6F, 0x3C, 0x6F, 0x6D, 0xBD, 0xFF, 0x9F, 0xBF, 0x7D});
  std::span<const std::uint8_t, 28> record(r.data(), 28);
  EXPECT_EQ(FileStatusText(record),
            "\n*File mode : 0x81a4 \r\n"
            "*File i node : 0x7 \r\n"
            "*File dev ID: 0x1 \r\n"
            "*File dummy entry : 0x0 \r\n"
            "*File size : 20000 byte\r\n"
            "*File last access time : 0x3c6f \r\n"
            "2010:03:15 \r\n"
            "*File last modification time : 0x3c6f6dbd \r\n"
            "2010:03:15 13:45:29 \r\n"
            "*File last status change time : 0xff9fbf7d \r\n"
            "2107:12:31 23:59:29 \r\n");
}

TEST(QvsExplorerNand, GeometryBySecondDeviceId) {
  const struct {
    std::uint16_t id;
    std::uint32_t size;
    int code, pages;
  } cases[] = {{0x003C, 0x8400000, 2, 4},
               {0x0034, 0x8400000, 2, 4},
               {0x0024, 0x4200000, 3, 4},
               {0x0014, 0x2100000, 4, 2}};
  for (const auto& c : cases) {
    auto g = NandDumpGeometryOf(c.id);
    ASSERT_TRUE(g) << c.id;
    EXPECT_EQ(g->fullSize, c.size);
    EXPECT_EQ(g->sizeCode, c.code);
    EXPECT_EQ(g->pagesPerUnit, static_cast<std::uint32_t>(c.pages));
  }
  EXPECT_EQ(NandDumpGeometryOf(0x0014)->Blocks(), 512u);
  EXPECT_FALSE(NandDumpGeometryOf(0x0004));
  EXPECT_FALSE(NandDumpGeometryOf(0xE1D0));
}

TEST(QvsExplorerNand, ResumeKeepsTheWholeBlocksLessOne) {
  const NandDumpGeometry small = *NandDumpGeometryOf(0x0014);  // 67584-byte blocks
  const NandDumpGeometry big = *NandDumpGeometryOf(0x0034);    // 135168-byte blocks
  const struct {
    const char* what;
    const NandDumpGeometry* nand;
    std::uint64_t length;
    std::uint32_t pages;
    std::uint64_t bytes;
    bool tooLarge;
  } cases[] = {
      {"empty file: from the start", &small, 0, 0, 0, false},
      {"less than a block: from the start", &small, 67583, 0, 0, false},
      {"one block: from the start", &small, 67584, 0, 0, false},
      {"2.5 blocks keep one", &small, 168960, 128, 67584, false},
      {"2.5 blocks of 4-page units", &big, 337920, 256, 135168, false},
      {"a whole dump keeps all but its last block", &small, 0x2100000, 65408, 0x2100000 - 67584,
       false},
      {"one block more than the NAND", &small, 0x2100000 + 67584, 0, 0x2100000, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NandResumePoint r = NandResume(c.length, *c.nand);
    EXPECT_EQ(r.tooLarge, c.tooLarge);
    EXPECT_EQ(r.bytesKept, c.bytes);
    if (!c.tooLarge) EXPECT_EQ(r.pagesKept, c.pages);
  }
}

}  // namespace
