// The downloader's side of the protocol against the phone, fed with bytes directly: binary
// download, the QVS download, format and status, the explorer's requests and the NAND dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "direct_line.h"
#include "test_host.h"

namespace phone_sim {
namespace {

using namespace std::chrono_literals;
using phone_sim_test::Be32;
using phone_sim_test::BootChip;
using phone_sim_test::ByteSum;
using phone_sim_test::Crc32Of;
using phone_sim_test::DirRecord;
using phone_sim_test::NameFrame;

Bytes Pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 11 + i / 253);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Inverted(std::uint8_t b) { return {static_cast<std::uint8_t>(~b)}; }

std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::uint32_t BeAt(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

// QVS_SET_TIME of a date and time (values least significant byte first).
Bytes SetTime(int year, int month, int day, int hour, int minute, int second) {
  Bytes f = {0xC4, 0, 0, 0};
  for (int v : {second, minute, hour, day, month, year}) {
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  return f;
}

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(BootChip(line_, MasterImages(), {3, 921600, true, true}), ""); }
  void BootSlave() {
    line_.Exchange({0xCD});
    ASSERT_EQ(BootChip(line_, SlaveImages(), {3, 921600, true, true}), "");
  }
  Bytes Sum(const Bytes& frame) { return {ByteSum(std::span(frame).subspan(1))}; }
  void Mount() { ASSERT_EQ(line_.Exchange({0xDA}), Bytes{0xDA}); }
  QvsFileSystem& Qvs() { return line_.phone().OnLine().Qvs(); }
  Bytes FileOnPhone(const std::string& path) {
    QvsPath p;
    EXPECT_EQ(ParseQvsPath(
                  ByteSpan(reinterpret_cast<const std::uint8_t*>(path.data()), path.size()), 0, &p),
              "");
    Bytes data;
    EXPECT_EQ(Qvs().Read(p, &data), "") << path;
    return data;
  }
  DirectLine line_;
};

TEST_F(DownloaderTest, ChipVersionComesBeforeTheBootLoaderOnBothChips) {
  EXPECT_TRUE(line_.FramesContain("PRE_CHIP_VERSION"));
  EXPECT_TRUE(line_.FramesContain("BOOT_LOAD count=00 bytes=4"));
  BootSlave();
  EXPECT_EQ(line_.phone().OnLine().Name(), "slave");
}

TEST_F(DownloaderTest, BinaryDownloadsWithExactPiecesAndSectorSums) {
  struct Case {
    const char* name;
    bool slave;
    std::uint32_t offset;
    std::size_t size;
    std::uint32_t sector_size;
    bool checksum;
  } cases[] = {
      {"5000 bytes into a 128 KiB sector", false, 0x20000, 5000, 0x20000, true},
      {"ends exactly at the end of a 32 KiB sector", false, 0x1FE0000, 0x8000, 0x8000, true},
      {"two 32 KiB sectors, the second partly", false, 0x1FE8000, 0x8000 + 100, 0x8000, false},
      {"16 KiB pieces", false, 0x1FF0000, 0x4000 + 2049, 0x4000, true},
      {"slave 8 KiB sectors", true, 0xFF0000, 0x2000 * 2 + 7, 0x2000, true},
      {"slave 64 KiB sector", true, 0x10000, 70000, 0x10000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DirectLine line;
    ASSERT_EQ(BootChip(line, MasterImages(), {3, 921600, true, true}), "");
    if (c.slave) {
      line.Exchange({0xCD});
      ASSERT_EQ(BootChip(line, SlaveImages(), {3, 921600, true, true}), "");
    }
    Bytes data = Pattern(c.size, static_cast<std::uint8_t>(c.size));
    EXPECT_EQ(phone_sim_test::DownloadBinary(line, c.offset, data, c.sector_size, c.checksum), "");
    NorFlash& nor = line.phone().OnLine().Nor();
    EXPECT_EQ(nor.Read(c.offset, data.size()), data);
    EXPECT_EQ(nor.Read(c.offset + data.size(), 1), Bytes{0xFF});
  }
}

TEST_F(DownloaderTest, TheFirstReplyBytesOfABinaryDownload) {
  // BL_SET_CHECKSUM FF FF FF FF is answered 0xFC; 5000 bytes: pieces 2048, 2048, 904.
  EXPECT_EQ(line_.Exchange({0xC8, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes{0xFC});
  EXPECT_EQ(line_.Exchange(Frame(0xD3, 0x20000)), Bytes{0x02});
  EXPECT_EQ(line_.Exchange(Frame(0xD4, 5000)), Bytes{0x13 + 0x88});
  EXPECT_TRUE(line_.Exchange(Frame(0xC7, 0x20000)).empty());
  Bytes data = Pattern(5000, 1);
  Bytes replies;
  for (std::size_t pos : {0, 2048, 4096}) {
    std::size_t n = std::min<std::size_t>(2048, 5000 - pos);
    Bytes r = line_.Exchange(Bytes(data.begin() + pos, data.begin() + pos + n));
    replies.insert(replies.end(), r.begin(), r.end());
  }
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[3], ByteSum(data));
  EXPECT_EQ(line_.Exchange({0xC6}), Bytes{0xC6});
  EXPECT_TRUE(line_.FramesContain("BL_WRITE_128K 00020000 pieces=3"));
}

TEST_F(DownloaderTest, DownloadEndIsRefusedForAWrongChecksumOrMissingBytes) {
  Bytes data = Pattern(3000, 2);
  Bytes wrong = Be32(Crc32Of(data) ^ 1);
  EXPECT_EQ(line_.Exchange(Cat({{0xC8}, wrong})), Bytes{ByteSum(wrong)});
  phone_sim_test::WriteSector(line_, 0xC7, 0x40000, data, 3000);
  EXPECT_EQ(line_.Exchange({0xC6}), Inverted(0xC6));
  // 3000 announced, none written.
  EXPECT_EQ(line_.Exchange({0xC8, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes{0xFC});
  line_.Exchange(Frame(0xD4, 3000));
  EXPECT_EQ(line_.Exchange({0xC6}), Inverted(0xC6));
  EXPECT_TRUE(line_.FramesContain("BL_DOWNLOAD_END refused: 3000 announced bytes not written"));
  EXPECT_EQ(line_.Exchange({0xD9}), Bytes{0x03});
}

TEST_F(DownloaderTest, PowerOnRestartsThePhoneInTheMastersBootRom) {
  line_.Exchange({0xCD});
  ASSERT_EQ(BootChip(line_, SlaveImages(), {0, 115200}), "");
  EXPECT_TRUE(line_.Exchange({0xFD}).empty());
  EXPECT_EQ(line_.phone().OnLine().Name(), "master");
  EXPECT_EQ(line_.phone().OnLine().StateName(), "boot-rom/wait-connect");
  EXPECT_EQ(BootChip(line_, MasterImages(), {0, 115200}), "");
}

TEST_F(DownloaderTest, QvsDownloadLandsFileByFile) {
  phone_sim_test::QvsTestImage image;
  image.dirs = {"/a/", "/a/test", "/a/test/deep", "/b/music"};
  image.files = {{"/a/test/cfg.txt", Pattern(20000, 1)},
                 {"/a/test/deep/x.bin", Pattern(8192, 2)},
                 {"/a/empty", {}},
                 {"/b/music/one", Pattern(8193, 3)},
                 {"/a/test/small", Pattern(1, 4)}};
  image.version = Pattern(16, 5);
  image.release = Pattern(12, 6);
  ASSERT_EQ(phone_sim_test::DownloadQvs(line_, image), "");
  for (const auto& f : image.files) EXPECT_EQ(FileOnPhone(f.name), f.data) << f.name;
  EXPECT_EQ(Qvs().Version(), image.version);
  EXPECT_EQ(Qvs().Release(), image.release);
  std::vector<std::string> lines = Qvs().Describe();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "D /a/test/deep"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "F /a/empty 0"), lines.end());
  EXPECT_TRUE(line_.FramesContain("QVS_FILE_DONE /a/test/cfg.txt bytes=20000"));
  // A second download without a release record drops the old one.
  image.release.reset();
  image.files = {{"/a/test/cfg.txt", Pattern(10, 7)}};
  ASSERT_EQ(phone_sim_test::DownloadQvs(line_, image), "");
  EXPECT_EQ(FileOnPhone("/a/test/cfg.txt"), Pattern(10, 7));
  EXPECT_FALSE(Qvs().Release().has_value());
}

TEST_F(DownloaderTest, DataBlocksOfAFileAndTheirReplies) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> blocks;  // as the host sends them
  } cases[] = {{0, {0}},          {1, {1}},          {8191, {8191}},
               {8192, {8192, 0}}, {8193, {8192, 1}}, {20000, {8192, 8192, 3616}}};
  Mount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    Bytes data = Pattern(c.size, 9);
    std::string name = "/a/f" + std::to_string(c.size);
    Bytes add = Cat({NameFrame(0xDD, name), Be32(static_cast<std::uint32_t>(c.size))});
    ASSERT_EQ(line_.Exchange(add), Sum(add));
    std::size_t pos = 0;
    for (std::size_t n : c.blocks) {
      Bytes block(data.begin() + pos, data.begin() + pos + n);
      pos += n;
      EXPECT_EQ(line_.Exchange(Cat({{0xFE}, block})),
                n < 8192 ? Bytes{0xDF} : Bytes{ByteSum(block)});
    }
    EXPECT_EQ(FileOnPhone(name), data);
  }
}

TEST_F(DownloaderTest, MakeDirAbcIsAnsweredBySumAndDirDone) {
  Mount();
  EXPECT_EQ(line_.Exchange({0xDB, 0x00, 0x03, 0x61, 0x62, 0x63}), (Bytes{0x29, 0xDC}));
  // "abc" is taken from the selected drive's root.
  std::vector<std::string> lines = Qvs().Describe();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "D /a/abc"), lines.end());
}

TEST_F(DownloaderTest, RefusedFramesGetTheComplementAndTheLineStaysInStep) {
  // Directory names of 62 bytes are taken, of 63 not (a name byte that is also a command).
  std::string name62 = "/" + std::string(61, 'n'), name63 = "/" + std::string(62, 'n');
  name63[10] = static_cast<char>(0xD5);
  Bytes no_mount = NameFrame(0xDB, "/a/x");
  Bytes long_dir = NameFrame(0xDB, name63);
  Bytes up = NameFrame(0xDB, "/a/../x");
  Bytes orphan = Cat({NameFrame(0xDD, "/a/none/x"), Be32(1)});
  Bytes huge = Cat({NameFrame(0xDD, "/a/huge"), Be32(0xFFFFFFFF)});
  Bytes long_file = Cat({NameFrame(0xDD, "/a/" + std::string(511, 'f')), Be32(1)});
  Bytes bad_time = SetTime(2024, 13, 1, 0, 0, 0);
  Bytes feb30 = SetTime(2023, 2, 29, 0, 0, 0);
  Bytes time_pad = SetTime(2024, 1, 1, 0, 0, 0);
  time_pad[2] = 1;
  struct Case {
    const char* name;
    bool mount;
    Bytes frame;
    Bytes reply;
  } cases[] = {
      {"make dir before mount", false, no_mount, Inverted(Sum(no_mount)[0])},
      {"list before mount", false, {0xE5, 0x01, '/'}, {0x00, 0x00}},
      {"dir name of 63 bytes", true, long_dir, Inverted(Sum(long_dir)[0])},
      {"dir name with ..", true, up, Inverted(Sum(up)[0])},
      {"file in a missing dir", true, orphan, Inverted(Sum(orphan)[0])},
      {"file larger than the drive", true, huge, Inverted(Sum(huge)[0])},
      {"file name of 513 bytes", true, long_file, Inverted(Sum(long_file)[0])},
      {"data block without a file", true, {0xFE}, {0x20}},
      {"month 13", true, bad_time, Inverted(Sum(bad_time)[0])},
      {"29 February 2023", true, feb30, Inverted(Sum(feb30)[0])},
      {"time without its zero bytes", true, time_pad, Inverted(Sum(time_pad)[0])},
      {"drive 0x07", true, {0xCF, 0x07}, {0x30}},
      {"read a missing file", true, NameFrame(0xE8, "/a/none"), {0x16}},
      {"delete a missing file", true, NameFrame(0xEE, "/a/none"), {0x11}},
      {"delete a drive", true, NameFrame(0xEE, "/a"), {0x11}},
      {"status of a missing file", true, NameFrame(0xF0, "/a/none"), {0x0E}},
      {"NAND dump with another size code", true, {0xC0, 0x04}, {0x3E}},
      {"NAND dump from a page inside a unit", true, {0xB2, 0x02, 0x00, 0x00, 0x02}, {0x3E}},
      {"NAND dump past the end", true, {0xB2, 0x02, 0x04, 0x00, 0x00}, {0x3E}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DirectLine line;
    ASSERT_EQ(BootChip(line, MasterImages(), {3, 921600, true, true}), "");
    if (c.mount) ASSERT_EQ(line.Exchange({0xDA}), Bytes{0xDA});
    EXPECT_EQ(line.Exchange(c.frame), c.reply);
    if (c.reply == Bytes{0x00, 0x00}) line.Exchange({0x00});
    EXPECT_EQ(line.Exchange({0xD9}), Bytes{0x03});
    EXPECT_EQ(line.phone().OnLine().StateName(), "boot-loader/ready");
  }
  line_.Exchange({0xDA});
  EXPECT_EQ(line_.Exchange(NameFrame(0xDB, name62)),
            (Bytes{Sum(NameFrame(0xDB, name62))[0], 0xDC}));
}

TEST_F(DownloaderTest, EndDownloadChecksTheImageChecksum) {
  Mount();
  Bytes data = Pattern(100, 3);
  Bytes crc = Be32(Crc32Of(data) + 1);
  EXPECT_EQ(line_.Exchange(Cat({{0xC9}, crc})), Bytes{ByteSum(crc)});
  Bytes add = Cat({NameFrame(0xDD, "/a/x"), Be32(100)});
  line_.Exchange(add);
  EXPECT_EQ(line_.Exchange(Cat({{0xFE}, data})), Bytes{0xDF});
  EXPECT_EQ(line_.Exchange({0xC5}), Inverted(0xC5));
  EXPECT_EQ(FileOnPhone("/a/x"), data);
}

TEST_F(DownloaderTest, AnotherCommandClosesAFileStillShort) {
  Mount();
  Bytes add = Cat({NameFrame(0xDD, "/a/x"), Be32(10000)});
  line_.Exchange(add);
  Bytes first = Pattern(8192, 1);
  EXPECT_EQ(line_.Exchange(Cat({{0xFE}, first})), Bytes{ByteSum(first)});
  EXPECT_EQ(line_.Exchange({0xD9}), Bytes{0x03});
  EXPECT_TRUE(line_.FramesContain("QVS_ADD_FILE /a/x closed after 8192 of 10000 bytes"));
  EXPECT_EQ(line_.Exchange({0xFE}), Bytes{0x20});
}

TEST_F(DownloaderTest, FormatWithTheDriveASectorCountAndStatus) {
  // A-drive block count 100: 100 x 8 + 21888 = 22688 sectors = 00 58 A0.
  EXPECT_EQ(line_.Exchange({0xE0, 0x00, 0x58, 0xA0}), (Bytes{0xF8, 0xE1}));
  Bytes status = line_.Exchange({0xEC});
  ASSERT_EQ(status.size(), 45u);
  EXPECT_EQ(status[0], 0xED);
  Bytes record(status.begin() + 1, status.end());
  EXPECT_EQ(Le32(record, 4), 4096u);
  EXPECT_EQ(Le32(record, 8), 12u);
  EXPECT_EQ(Le32(record, 12), 22688u / 8);
  EXPECT_EQ(Le32(record, 16), 22688u / 8);
  EXPECT_EQ(std::string(record.begin() + 32, record.begin() + 36), "QVSA");
  // A file of 4096 bytes and a directory take 2 + 1 blocks.
  Mount();
  line_.Exchange(NameFrame(0xDB, "/a/d"));
  line_.Exchange(Cat({NameFrame(0xDD, "/a/d/f"), Be32(4096)}));
  line_.Exchange(Cat({{0xFE}, Pattern(4096, 1)}));
  record = line_.Exchange({0xEC});
  EXPECT_EQ(Le32(Bytes(record.begin() + 1, record.end()), 16), 22688u / 8 - 3);
  // Drive b: the rest of the 128 MiB NAND, half of it.
  EXPECT_EQ(line_.Exchange({0xCF, 0x09}), Bytes{0xCF});
  record = line_.Exchange({0xEC});
  EXPECT_EQ(Le32(Bytes(record.begin() + 1, record.end()), 12),
            (0x8000000u - 22688u * 512) / 4096 / 2);
  EXPECT_EQ(std::string(record.begin() + 33, record.begin() + 37), "QVSB");
}

TEST_F(DownloaderTest, FormatFailures) {
  struct Case {
    const char* name;
    Bytes count;
    bool armed;
    Bytes reply_after_sum;
  } cases[] = {
      {"requested", {0x00, 0x58, 0xA0}, true, {0xF2, 0x07, 0x00, 0x00, 0x01, 0x02}},
      {"larger than the NAND", {0x04, 0x00, 0x01}, false, {0xF2, 0x01, 0x00, 0x00, 0x00, 0x02}},
      {"zero sectors", {0x00, 0x00, 0x00}, false, {0xF2, 0x01, 0x00, 0x00, 0x00, 0x01}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DirectLine line;
    ASSERT_EQ(BootChip(line, MasterImages(), {0, 115200}), "");
    line.Exchange({0xDA});
    line.Exchange(NameFrame(0xDB, "/a/kept"));
    if (c.armed) line.phone().Master().SetFormatFailure(QvsFormatFailure{0x07, 0x102});
    EXPECT_EQ(line.Exchange(Cat({{0xE0}, c.count})), Cat({{ByteSum(c.count)}, c.reply_after_sum}));
    // Nothing was lost.
    std::vector<std::string> lines = line.phone().Master().Qvs().Describe();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "D /a/kept"), lines.end());
  }
}

TEST_F(DownloaderTest, SlaveFileSystemLivesInItsNorArea) {
  BootSlave();
  // Erasing the QVS area (sectors 224-230 of 64 KiB) loses the file system.
  EXPECT_EQ(line_.Exchange({0xCE}), Bytes{0xCE});
  for (std::uint32_t sector = 224; sector <= 230; ++sector) {
    EXPECT_EQ(phone_sim_test::EraseSector(line_, sector * 0x10000),
              Bytes{ByteSum(Be32(sector * 0x10000))});
  }
  EXPECT_EQ(line_.Exchange({0xEC}), (Bytes{0xF3, 0x02, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(line_.Exchange({0xCE}), Inverted(0xCE));
  EXPECT_EQ(line_.Exchange({0xE0}), Bytes{0xE1});
  Bytes status = line_.Exchange({0xEC});
  ASSERT_EQ(status.size(), 45u);
  EXPECT_EQ(Le32(Bytes(status.begin() + 1, status.end()), 12), 7u * 0x10000 / 4096);
  // The slave's download after its format mounts as the master's does: no checksum, no time.
  EXPECT_EQ(line_.Exchange({0xDA}), Bytes{0xDA});
  Bytes dir = NameFrame(0xDB, "/a/");
  EXPECT_EQ(line_.Exchange(dir), (Bytes{Sum(dir)[0], 0xDC}));
  EXPECT_EQ(line_.Exchange(Cat({{0xE3}, Pattern(16, 1)})), Bytes{0xE3});
  EXPECT_EQ(line_.Exchange({0xF6}), Bytes{0xE3});
  Bytes add = Cat({NameFrame(0xDD, "/a/s.bin"), Be32(5)});
  EXPECT_EQ(line_.Exchange(add), Sum(add));
  EXPECT_EQ(line_.Exchange(Cat({{0xFE}, Pattern(5, 2)})), Bytes{0xDF});
  EXPECT_EQ(line_.Exchange({0xC5}), Bytes{0xC5});
  EXPECT_EQ(line_.Exchange({0xE4}), Bytes{0xE4});
  EXPECT_EQ(FileOnPhone("/a/s.bin"), Pattern(5, 2));
  // Erasing another sector keeps it; the slave has no NAND to dump.
  phone_sim_test::EraseSector(line_, 223 * 0x10000);
  EXPECT_TRUE(Qvs().Formatted());
  EXPECT_EQ(line_.Exchange({0xC0, 0x02}), Bytes{0x3E});
}

class ExplorerTest : public DownloaderTest {
 protected:
  void SetUp() override {
    DownloaderTest::SetUp();
    line_.Exchange(SetTime(2024, 5, 6, 7, 8, 10));
    Mount();
    line_.Exchange(NameFrame(0xDB, "/a/test"));
    line_.Exchange(NameFrame(0xDB, "/a/test/sub"));
    Add("/a/test/big", Pattern(8193, 1));
    Add("/a/test/even", Pattern(8192, 2));
    Add("/a/test/none", {});
    Add("/a/top", Pattern(3, 3));
  }
  void Add(const std::string& name, const Bytes& data) {
    Bytes add = Cat({NameFrame(0xDD, name), Be32(static_cast<std::uint32_t>(data.size()))});
    ASSERT_EQ(line_.Exchange(add), Sum(add));
    for (std::size_t pos = 0;; pos += 8192) {
      std::size_t n = std::min<std::size_t>(8192, data.size() - pos);
      line_.Exchange(Cat({{0xFE}, Bytes(data.begin() + pos, data.begin() + pos + n)}));
      if (n < 8192) break;
    }
  }
  // The explorer's name: UTF-8 with its zero byte, counted in the length.
  static std::string Z(const std::string& name) { return name + '\0'; }
};

TEST_F(ExplorerTest, ListingsWithDotEntriesAndAcknowledgements) {
  std::vector<DirRecord> records;
  EXPECT_EQ(phone_sim_test::ListDir(line_, "/", &records), "");
  EXPECT_EQ(records, (std::vector<DirRecord>{{2, "."}, {2, ".."}, {2, "test"}, {1, "top"}}));
  EXPECT_EQ(phone_sim_test::ListDir(line_, Z("/test"), &records), "");
  EXPECT_EQ(records, (std::vector<DirRecord>{
                         {2, "."}, {2, ".."}, {1, "big"}, {1, "even"}, {1, "none"}, {2, "sub"}}));
  // The first record on the wire: n = 2, kind 2, ".", zero.
  EXPECT_EQ(line_.Exchange({0xE5, 0x01, '/'}), (Bytes{0x02, 0x02, '.', 0x00}));
  EXPECT_EQ(line_.Exchange({0x02}), (Bytes{0xCB, 0x03, 0x02, '.', '.', 0x00}));
  // Anything but the acknowledgement ends the listing and is taken as a command.
  EXPECT_EQ(line_.Exchange({0xD9}), Bytes{0x03});
  // A directory that cannot be listed: one empty record, then 0xE6.
  EXPECT_EQ(line_.Exchange({0xE5, 0x05, '/', 'n', 'o', 'n', 'e'}), (Bytes{0x00, 0x00}));
  EXPECT_EQ(line_.Exchange({0x00}), Bytes{0xE6});
  // Drive b through the drive select.
  EXPECT_EQ(line_.Exchange({0xCF, 0x09}), Bytes{0xCF});
  EXPECT_EQ(phone_sim_test::ListDir(line_, "/", &records), "");
  EXPECT_EQ(records, (std::vector<DirRecord>{{2, "."}, {2, ".."}}));
}

TEST_F(ExplorerTest, ReadFileInChunksWithTheHostsAcknowledgement) {
  struct Case {
    const char* path;
    Bytes data;
  } cases[] = {
      {"/test/big", Pattern(8193, 1)}, {"/test/even", Pattern(8192, 2)}, {"/a/top", Pattern(3, 3)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Bytes size = Be32(static_cast<std::uint32_t>(c.data.size()));
    EXPECT_EQ(line_.Exchange(NameFrame(0xE8, Z(c.path))), Cat({{0xE9}, size}));
    Bytes got;
    Bytes reply = line_.Exchange({0xEA});
    for (std::size_t pos = 0; pos < c.data.size(); pos += 8192) {
      std::size_t n = std::min<std::size_t>(8192, c.data.size() - pos);
      Bytes chunk(c.data.begin() + pos, c.data.begin() + pos + n);
      EXPECT_EQ(reply, Cat({chunk, {ByteSum(chunk)}}));
      reply = line_.Exchange({0x01});
    }
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(line_.phone().OnLine().StateName(), "boot-loader/ready");
  }
  // An empty file ends with its size.
  EXPECT_EQ(line_.Exchange(NameFrame(0xE8, Z("/test/none"))), (Bytes{0xE9, 0, 0, 0, 0}));
  EXPECT_EQ(line_.phone().OnLine().StateName(), "boot-loader/ready");
  // A bad chunk (00) ends the read.
  line_.Exchange(NameFrame(0xE8, Z("/test/big")));
  line_.Exchange({0xEA});
  EXPECT_TRUE(line_.Exchange({0x00}).empty());
  EXPECT_EQ(line_.Exchange({0xD9}), Bytes{0x03});
}

TEST_F(ExplorerTest, DeleteStatusAndAdd) {
  Bytes status = line_.Exchange(NameFrame(0xF0, Z("/test/big")));
  ASSERT_EQ(status.size(), 29u);
  EXPECT_EQ(status[0], 0xF1);
  Bytes r(status.begin() + 1, status.end());
  EXPECT_EQ(BeAt(r, 0), 0x81A4u);
  EXPECT_EQ(r[8] << 8 | r[9], 1);  // drive a
  EXPECT_EQ(BeAt(r, 12), 8193u);
  // 2024-05-06 07:08:10, MS-DOS form; the clock may have run a second or two since.
  std::uint32_t date = (2024 - 1980) << 9 | 5 << 5 | 6;
  EXPECT_EQ(BeAt(r, 16), date);
  EXPECT_EQ(BeAt(r, 20) >> 16, date);
  EXPECT_EQ(BeAt(r, 20) >> 5 & 0x7FF, 7u << 6 | 8u);
  EXPECT_EQ(BeAt(r, 24), BeAt(r, 20));
  EXPECT_EQ(line_.Exchange(NameFrame(0xF0, Z("/test")))[1], 0x00);
  EXPECT_EQ(line_.Exchange(NameFrame(0xEE, Z("/test/big"))), Bytes{0xEE});
  EXPECT_EQ(line_.Exchange(NameFrame(0xE8, Z("/test/big"))), Bytes{0x16});
  EXPECT_EQ(line_.Exchange(NameFrame(0xEE, Z("/test/sub"))), Bytes{0x11});
  // The explorer's add: drive prefix, name with its zero byte, an empty file.
  Bytes add = Cat({NameFrame(0xDD, Z("/a/test/new")), Be32(0)});
  EXPECT_EQ(line_.Exchange(add), Sum(add));
  EXPECT_EQ(line_.Exchange({0xFE}), Bytes{0xDF});
  std::vector<DirRecord> records;
  EXPECT_EQ(phone_sim_test::ListDir(line_, Z("/test"), &records), "");
  EXPECT_EQ(records, (std::vector<DirRecord>{
                         {2, "."}, {2, ".."}, {1, "even"}, {1, "new"}, {1, "none"}, {2, "sub"}}));
}

TEST_F(ExplorerTest, NandFullDumpAndContinue) {
  line_.phone().Master().SetFlashId({0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x14});
  constexpr std::uint32_t kPages = 0x2100000 / 528;
  constexpr std::size_t kUnit = 2 * 528;
  // The first unit comes with 0xC1; the pages carry their number and data sum in the spare.
  Bytes reply = line_.Exchange({0xC0, 0x04});
  ASSERT_EQ(reply.size(), 1 + kUnit + 1);
  EXPECT_EQ(reply[0], 0xC1);
  Bytes unit(reply.begin() + 1, reply.end() - 1);
  EXPECT_EQ(reply.back(), ByteSum(unit));
  EXPECT_EQ(std::string(unit.begin(), unit.begin() + 4), "QVSD");  // "/a/test" first
  EXPECT_EQ(BeAt(unit, 512), 0u);
  EXPECT_EQ(unit[516], ByteSum(std::span(unit).first(512)));
  EXPECT_EQ(BeAt(unit, 528 + 512), 1u);
  EXPECT_EQ(line_.Exchange({0xC1}).size(), kUnit + 1);
  // 0xC2 stops it.
  EXPECT_TRUE(line_.Exchange({0xC2}).empty());
  EXPECT_EQ(line_.Exchange({0xD9}), Bytes{0x03});
  // Continue from the last two units: the last unit is erased and 0xC3 follows it.
  std::uint32_t first = kPages - 4;
  reply = line_.Exchange({0xB2, 0x04, static_cast<std::uint8_t>(first >> 16),
                          static_cast<std::uint8_t>(first >> 8), static_cast<std::uint8_t>(first)});
  ASSERT_EQ(reply.size(), 1 + kUnit + 1);
  reply = line_.Exchange({0xC1});
  EXPECT_EQ(reply, Cat({Bytes(kUnit, 0xFF), {ByteSum(Bytes(kUnit, 0xFF))}, {0xC3}}));
  EXPECT_TRUE(line_.FramesContain("NAND_DUMP_END pages=65536"));
}

TEST_F(ExplorerTest, WholeNandDumpOfTheSmallestNand) {
  line_.phone().Master().SetFlashId({0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x14});
  Bytes reply = line_.Exchange({0xC0, 0x04});
  std::size_t units = 1, bytes = reply.size() - 1;
  while (reply.back() != 0xC3 || reply.size() != 2 * 528 + 2) {
    reply = line_.Exchange({0xC1});
    ASSERT_FALSE(reply.empty());
    bytes += reply.size();
    ++units;
  }
  EXPECT_EQ(units, 0x2100000u / (2 * 528));
  EXPECT_EQ(bytes - 1, 0x2100000u + units);  // data, a sum a unit, the final 0xC3
}

TEST_F(DownloaderTest, FaultsOnTheNewReplies) {
  Mount();
  struct Case {
    const char* point;
    const char* kind;
    Bytes frame;
    Bytes wire;
  } cases[] = {
      {"checksum", "wrong", {0xC8, 0xFF, 0xFF, 0xFF, 0xFF}, {0x03}},
      {"download-end", "drop", {0xC6}, {}},
      {"qvs-mount", "garbage", {0xDA}, {0xA5, 0x5A, 0x3C, 0xDA}},
      {"qvs-dir-done", "drop", {0xDB, 0x00, 0x03, 0x61, 0x62, 0x63}, {0x29}},
      {"qvs-dir", "wrong", {0xDB, 0x00, 0x03, 0x61, 0x62, 0x64}, {0xD5, 0xDC}},
      {"qvs-drive", "short", {0xCF, 0x08}, {}},
      {"qvs-status", "short", {0xEC}, Bytes(22, 0)},
      {"qvs-format", "wrong", {0xE0, 0x00, 0x58, 0xA0}, {0xF8, 0x1E}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.point) + " " + c.kind);
    line_.phone().Faults().Arm(*FaultPointFromName(c.point), *FaultKindFromName(c.kind), 1);
    Bytes wire = line_.Exchange(c.frame);
    if (std::string(c.point) == "qvs-status") {
      EXPECT_EQ(wire.size(), 22u);
    } else {
      EXPECT_EQ(wire, c.wire);
    }
    EXPECT_EQ(line_.Exchange({0xD9}), Bytes{0x03});
    line_.Exchange({0xDA});
  }
}

}  // namespace
}  // namespace phone_sim
