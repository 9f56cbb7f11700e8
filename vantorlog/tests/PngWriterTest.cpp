#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "VPngWriter.h"

namespace {

using ExceptionLog::PngCrc;
using ExceptionLog::TOctreeQuantiser;
using ExceptionLog::TPngPalette;

std::uint32_t ChunkCrc(const std::string& bytes) {
  return PngCrc(0xFFFFFFFFu, bytes.data(), bytes.size()) ^ 0xFFFFFFFFu;
}

TEST(PngCrcTest, MatchesZlibsCrc32) {
  EXPECT_EQ(ChunkCrc("IEND"), 0xAE426082u);
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes += static_cast<char>(i);
  for (const std::string& bytes : {std::string(), std::string("IHDR"), std::string("123456789"),
                                   all_bytes, std::string(1000, '\xFF')}) {
    const auto expected = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
    EXPECT_EQ(ChunkCrc(bytes), expected) << bytes.size() << " bytes";
  }
  // The register carries over between pieces (type, then data).
  const std::uint32_t split = PngCrc(PngCrc(0xFFFFFFFFu, "IDAT", 4), "xyz", 3) ^ 0xFFFFFFFFu;
  EXPECT_EQ(split, ChunkCrc("IDATxyz"));
}

std::set<std::tuple<int, int, int>> Entries(const TPngPalette& palette, int count) {
  std::set<std::tuple<int, int, int>> out;
  for (int i = 0; i < count; ++i) out.insert({palette[i].red, palette[i].green, palette[i].blue});
  return out;
}

TEST(OctreeQuantiserTest, KeepsUpTo256ColoursExactlyInTreeOrder) {
  TOctreeQuantiser q;
  // Top bits (r, g, b): blue is child 1 of the root, green 2, red 4.
  q.AddPixel(255, 0, 0);
  q.AddPixel(0, 255, 0);
  q.AddPixel(0, 0, 255);
  q.AddPixel(255, 0, 0);
  TPngPalette palette;
  palette.fill({9, 9, 9});
  ASSERT_EQ(q.Palette(palette), 3);
  EXPECT_EQ(q.LeafCount(), 3);
  EXPECT_EQ(std::make_tuple(palette[0].red, palette[0].green, palette[0].blue),
            std::make_tuple(0, 0, 255));
  EXPECT_EQ(std::make_tuple(palette[1].red, palette[1].green, palette[1].blue),
            std::make_tuple(0, 255, 0));
  EXPECT_EQ(std::make_tuple(palette[2].red, palette[2].green, palette[2].blue),
            std::make_tuple(255, 0, 0));
  for (int i = 3; i < 256; ++i) ASSERT_EQ(palette[i].red + palette[i].green + palette[i].blue, 0);

  // Exactly 256 colours stay exact.
  TOctreeQuantiser full;
  std::set<std::tuple<int, int, int>> colours;
  for (int i = 0; i < 256; ++i) {
    const int r = (i * 37) & 255, g = (i * 91 + 5) & 255, b = i ^ 0x5A;
    colours.insert({r, g, b});
    full.AddPixel(r, g, b);
    full.AddPixel(r, g, b);
  }
  ASSERT_EQ(colours.size(), 256u);
  EXPECT_EQ(full.Palette(palette), 256);
  EXPECT_EQ(Entries(palette, 256), colours);
}

TEST(OctreeQuantiserTest, MergesTheNewestDeepestNodeBeyond256Leaves) {
  TOctreeQuantiser q;
  // 256 colours that differ in their top bits, then two neighbours under one deepest node:
  // the 257th leaf makes that newest level-7 node a leaf holding the mean of both.
  for (int i = 0; i < 255; ++i) q.AddPixel(static_cast<std::uint8_t>(i), 0x80, 0x40);
  q.AddPixel(0xFE, 0x10, 0x10);
  q.AddPixel(0xFF, 0x10, 0x10);
  EXPECT_EQ(q.LeafCount(), 256);
  TPngPalette palette;
  ASSERT_EQ(q.Palette(palette), 256);
  std::set<std::tuple<int, int, int>> expected;
  for (int i = 0; i < 255; ++i) expected.insert({i, 0x80, 0x40});
  expected.insert({0xFE, 0x10, 0x10});  // (0xFE + 0xFF) / 2
  EXPECT_EQ(Entries(palette, 256), expected);
}

TEST(OctreeQuantiserTest, StaysBoundedAndAveragesOnManyColours) {
  TOctreeQuantiser q;
  for (int r = 0; r < 256; r += 3)
    for (int g = 0; g < 256; g += 5)
      for (int b = 0; b < 256; b += 7) {
        q.AddPixel(r, g, b);
        ASSERT_LE(q.LeafCount(), 256);
      }
  TPngPalette palette;
  const int count = q.Palette(palette);
  EXPECT_GT(count, 8);
  EXPECT_LE(count, 256);
}

TEST(OctreeQuantiserTest, OneColourOfMoreThan16MillionPixelsKeepsItsColour) {
  // 2^24 + 1000 pixels of 255: the channel sums pass 2^32.
  TOctreeQuantiser q;
  for (int i = 0; i < (1 << 24) + 1000; ++i) q.AddPixel(255, 254, 1);
  TPngPalette palette;
  ASSERT_EQ(q.Palette(palette), 1);
  EXPECT_EQ(palette[0].red, 255);
  EXPECT_EQ(palette[0].green, 254);
  EXPECT_EQ(palette[0].blue, 1);
}

TEST(PngWriterTest, BadPicturesRaiseAndWriteNothing) {
  const std::vector<std::uint8_t> pixels(64, 0);
  TPngPalette palette{};
  struct TCase {
    int width, height;
    const std::uint8_t* rows;
    std::ptrdiff_t step;
  };
  const TCase cases[] = {{0, 1, pixels.data(), 4},  {1, 0, pixels.data(), 4},
                         {-3, 2, pixels.data(), 4}, {2, 2, nullptr, 4},
                         {8, 2, pixels.data(), 4},  {8, 2, pixels.data() + 32, -4}};
  for (const TCase& c : cases) {
    TMemoryStream out;
    EXPECT_THROW(ExceptionLog::WritePalettePng(out, c.width, c.height, c.rows, c.step, palette),
                 Exception)
        << c.width << "x" << c.height << " step " << c.step;
    EXPECT_EQ(out.Size(), 0);
  }
  for (int bpp : {0, 1, 2, 5}) {
    ExceptionLog::TPixelImage image{pixels.data(), 16, 2, 2, bpp};
    TMemoryStream out;
    EXPECT_THROW(ExceptionLog::WritePixelPng(out, image), Exception) << bpp;
    EXPECT_EQ(out.Size(), 0);
  }
}

TEST(PngWriterTest, OnePixelFileLayout) {
  // A 1 x 1 picture: signature, IHDR, PLTE of 768 bytes, one IDAT, IEND with its known CRC.
  const std::uint8_t pixel[3] = {30, 20, 10};
  ExceptionLog::TPixelImage image{pixel, 3, 1, 1, 3};
  TMemoryStream out;
  ExceptionLog::WritePixelPng(out, image);
  const std::uint8_t* p = out.Memory();
  const auto size = static_cast<std::size_t>(out.Size());
  ASSERT_GT(size, 8u + 25 + 780 + 12 + 12);
  EXPECT_EQ(std::memcmp(p, "\x89PNG\r\n\x1a\n", 8), 0);
  EXPECT_EQ(std::memcmp(p + 8, "\0\0\0\x0dIHDR\0\0\0\1\0\0\0\1\x08\x03\0\0\0", 25 - 4), 0);
  EXPECT_EQ(std::memcmp(p + 33, "\0\0\x03\0PLTE\x0a\x14\x1e\0\0\0", 14), 0);
  EXPECT_EQ(std::memcmp(p + 33 + 780 + 4, "IDAT", 4), 0);
  EXPECT_EQ(std::memcmp(p + size - 12, "\0\0\0\0IEND\xae\x42\x60\x82", 12), 0);
}

}  // namespace
