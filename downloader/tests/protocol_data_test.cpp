// Frames, flash-ID evaluation, start addresses and history texts of the downloader.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "FlashId.h"
#include "HexText.h"
#include "HistoryText.h"
#include "KestaFrames.h"
#include "SectorInfo.h"

namespace {

TEST(KestaFrames, BootFrames) {
  std::array<std::uint8_t, 16> query{};
  for (int i = 0; i < 16; ++i) query[i] = static_cast<std::uint8_t>(0xE0 + i);
  auto id = kesta::CustomerIdFrame(query);
  const std::vector<std::uint8_t> head = {0x44, 0xA7, 0x1C, 0xE2, 0x4B, 0xE0};
  EXPECT_EQ(std::vector<std::uint8_t>(id.begin(), id.begin() + 6), head);
  EXPECT_EQ(id[20], 0xEF);
  EXPECT_EQ(kesta::SetLoadAddressFrame(), (std::array<std::uint8_t, 5>{0x53, 0, 0, 0, 0x1C}));

  std::vector<std::uint8_t> image(1860);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 3);
  ASSERT_EQ(kesta::BootLoadWordCount(image.size()), 465u);
  EXPECT_EQ(kesta::BootLoadWordFrame(image, 0),
            (std::array<std::uint8_t, 6>{0x4C, 0x00, 0, 3, 6, 9}));
  auto last = kesta::BootLoadWordFrame(image, 464);
  EXPECT_EQ(last[0], 0x4C);
  EXPECT_EQ(last[1], 0x00);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(last[2 + i], image[1856 + i]);
}

TEST(KestaFrames, SumsAndBigEndian) {
  const std::array<std::uint8_t, 4> ff = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(kesta::Sum8(ff), 0xFC);
  EXPECT_EQ(kesta::Sum8(kesta::BigEndian32(0x20000000)), 0x20);
  EXPECT_EQ(kesta::BigEndian32(0x0003B130), (std::array<std::uint8_t, 4>{0x00, 0x03, 0xB1, 0x30}));
  EXPECT_EQ(kesta::Sum8(kesta::BigEndian32(241968)), 0xE4);  // 00 03 B1 30
}

TEST(KestaFrames, WriteCommandsBySizeClass) {
  const struct {
    int sizeClass;
    bool known;
    std::uint8_t command;
    int pieces;
  } cases[] = {{0, true, 0xC7, 64}, {1, true, 0xFA, 32}, {2, true, 0xCC, 16}, {3, true, 0xFB, 8},
               {4, true, 0xFC, 4},  {5, false, 0, 0},    {-1, false, 0, 0}};
  for (const auto& c : cases) {
    kesta::SectorWriteCommand w{0, 0};
    EXPECT_EQ(kesta::WriteCommandForClass(c.sizeClass, w), c.known) << c.sizeClass;
    if (!c.known) continue;
    EXPECT_EQ(w.command, c.command) << c.sizeClass;
    EXPECT_EQ(w.pieces, c.pieces) << c.sizeClass;
  }
}

TEST(SectorSizeClass, ByTableAndAddress) {
  BuildSectorTables();
  const struct {
    const SECTOR_INFO* table;
    int count;
    std::uint32_t address;
    int sizeClass;
  } cases[] = {
      {g_SectorTableA, kSectorCountA, 0, 0},          // 128 KiB
      {g_SectorTableA, kSectorCountA, 0x1D60000, 0},  // ENGINE default
      {g_SectorTableA, kSectorCountA, 0x1FE0000, 2},  // sector 255: 32 KiB
      {g_SectorTableA, kSectorCountA, 0x1FF8000, 2},  // sector 258
      {g_SectorTableA, kSectorCountA, 0x2000000, 5},  // past the end
      {g_SectorTableA, kSectorCountA, 0x1000, 5},     // inside sector 0
      {g_SectorTableA, kSectorCountA, 0x20001, 5},    // odd
      {g_SectorTableB, kSectorCountB, 0x10000, 1},    // 64 KiB
      {g_SectorTableB, kSectorCountB, 0xFF0000, 4},   // sector 255: 8 KiB
      {g_SectorTableB, kSectorCountB, 0xFFE000, 4},   // sector 262
      {nullptr, 0, 0, 5},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GetSectorSizeClass(c.table, c.count, c.address), c.sizeClass)
        << std::hex << c.address;
}

TEST(FlashIdEvaluation, PartsNandsAndFailures) {
  const struct {
    std::array<std::uint8_t, 10> id;
    bool supported;
    const wchar_t* part;
    const wchar_t* nand;
    int sectors;
  } cases[] = {
      {{0x00, 0xEC, 0x22, 0x06, 1, 2, 3, 4, 0x00, 0x34},
       true,
       L"VQM71RT44B",
       L" ONE 1G NAND FLASH  \r\n",
       259},
      {{0x00, 0xEC, 0x22, 0xFC, 0, 0, 0, 0, 0xE1, 0xD0},
       true,
       L"VQM71RT44B",
       L" NOR FLASH\r\n",
       259},
      {{0x00, 0xEC, 0x24, 0x02, 0, 0, 0, 0, 0x00, 0x34},
       true,
       L"Flash_VQD83LX52B",
       L" ONE 1G NAND FLASH  \r\n",
       263},
      {{0x00, 0xEC, 0x24, 0x02, 0, 0, 0, 0, 0x00, 0x04},
       true,
       L"Flash_VQD83LX52B",
       L" ONE 128M NAND FLASH \r\n",
       263},
      {{0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x14},
       true,
       L"VQM71RT44B",
       L" ONE 256M NAND FLASH \r\n",
       259},
      {{0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x24},
       true,
       L"VQM71RT44B",
       L" ONE 512M NAND FLASH \r\n",
       259},
      {{0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x3C},
       true,
       L"VQM71RT44B",
       L" TWO 1G NAND FLASH \r\n",
       259},
      {{0x00, 0x01, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x34},
       false,
       L"Not Supported FLASH",
       L" ONE 1G NAND FLASH  \r\n",
       0},
      {{0x00, 0xEC, 0x12, 0x34, 0, 0, 0, 0, 0x00, 0x34},
       false,
       L"Not Supported FLASH",
       L" ONE 1G NAND FLASH  \r\n",
       0},
      {{0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0xAB, 0xCD},
       false,
       L"Not Supported NAND FLASH",
       L"not supported NAND FLASH(DevID:abcd)\r\n",
       0},
  };
  for (const auto& c : cases) {
    FlashIdResult r = EvaluateFlashId(c.id);
    EXPECT_EQ(r.supported, c.supported) << c.part;
    EXPECT_EQ(r.partText, c.part);
    EXPECT_EQ(r.nandText, c.nand);
    EXPECT_EQ(r.sectorCount, c.sectors) << c.part;
    EXPECT_EQ(r.secondId, (c.id[8] << 8) | c.id[9]);
  }
}

TEST(StartAddress, RangeSectorsAndOverlongNumbers) {
  const struct {
    const wchar_t* text;
    bool ok;
    std::uint32_t offset;
  } cases[] = {
      {L"20000000", true, 0},
      {L"0x20080000", true, 0x80000},
      {L"0X21b00000", true, 0x1B00000},
      {L"2FFFFFFF", true, 0x0FFFFFFF},
      {L"0000000021D60000", true, 0x1D60000},  // 16 characters, leading zeros
      {L"21B00000 trailing", true, 0x1B00000},
      {L"30000000", false, 0},
      {L"1FFFFFFF", false, 0},
      {L"", false, 0},
      {L"xyz", false, 0},
      {L"120000000", false, 0},               // would wrap to 0x20000000
      {L"FFFFFFFF20080000", false, 0},        // would wrap to 0x20080000
      {L"00000000200800001", true, 0x80000},  // the box's 16 characters only
  };
  for (const auto& c : cases) {
    std::uint32_t offset = 0xDEADBEEF;
    EXPECT_EQ(ParseStartAddress(c.text, offset), c.ok) << std::wstring(c.text).size();
    if (c.ok) {
      EXPECT_EQ(offset, c.offset);
    }
  }
}

TEST(HistoryTexts, HeaderTimeAndEntries) {
  EXPECT_STREQ(kHistoryHeader, "  \r\n ************* DownLoader Start! ************* \r\n");
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 9;
  t.tm_hour = 7;
  t.tm_min = 5;
  t.tm_sec = 3;
  const std::string time = HistoryTime(t);
  EXPECT_EQ(time, "12-09  07:05:03 ");

  std::vector<std::uint32_t> flags(259, 0);
  for (int i = 224; i <= 230; ++i) flags[i] = 1;
  const struct {
    int type;
    int number;
    const char* path;
    std::string expected;
  } cases[] = {
      {kHistoryBin, 1, "C:\\b\\x.cla", "1. 12-09  07:05:03   Download Bin file C:\\b\\x.cla\r\n"},
      {kHistoryQvs, 12, "C:\\f.qvs", "12. 12-09  07:05:03   Download Qvs file  C:\\f.qvs\r\n"},
      {kHistoryFormat, 3, "", "3. 12-09  07:05:03   NANDFormat Completed\r\n"},
      {kHistoryErase, 4, "",
       "4. 12-09  07:05:03   Nor erase Sector Number: 224 225 226 227 228 229 230\r\n"},
      {kHistoryDump, 5, "C:\\d.hex",
       "5. 12-09  07:05:03   Nor dump file => C:\\d.hex   And Nor dump sector =>  224 225 226 227 "
       "228 229 230\r\n"},
      {kHistoryShow, 6, "", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(HistoryEntry(c.type, c.number, time, c.path, flags), c.expected) << c.type;
  // A path longer than any fixed buffer comes out whole.
  std::string longPath(600, 'p');
  EXPECT_EQ(HistoryEntry(kHistoryBin, 1, time, longPath, {}).size(),
            std::string("1. 12-09  07:05:03   Download Bin file \r\n").size() + 600);
}

TEST(HistoryTexts, ShowTextsAndElapsedTime) {
  EXPECT_EQ(std::wstring(kHistoryShowBegin),
            std::wstring(46, L':') + L" Download History " + std::wstring(46, L':') + L"\r\n");
  EXPECT_EQ(std::wstring(kHistoryShowEnd),
            std::wstring(44, L':') + L" Download History End " + std::wstring(44, L':') + L"\r\n");
  EXPECT_EQ(std::wstring(kHistoryDeletedLog), L"\r\n" + std::wstring(46, L':') +
                                                  L" History File Deleted " +
                                                  std::wstring(46, L':') + L"\r\n");
  EXPECT_EQ(ElapsedMinSec(0), "00:00");
  EXPECT_EQ(ElapsedMinSec(125), "02:05");
  EXPECT_EQ(ElapsedMinSec(3600 + 61), "01:01");
}

}  // namespace
