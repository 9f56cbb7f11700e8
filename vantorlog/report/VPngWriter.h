// 8-bit palette PNG writer with octree colour quantisation, over plain pixel buffers (no
// graphics system): the encoder behind the screenshot of ExceptionLog.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Streams.h"

namespace ExceptionLog {

struct TPaletteEntry {
  std::uint8_t red = 0, green = 0, blue = 0;
};
using TPngPalette = std::array<TPaletteEntry, 256>;

// Octree colour quantisation to at most 256 leaves, reduced after every pixel so the tree
// stays small on any picture size.
class TOctreeQuantiser {
 public:
  TOctreeQuantiser();
  ~TOctreeQuantiser();
  TOctreeQuantiser(const TOctreeQuantiser&) = delete;
  TOctreeQuantiser& operator=(const TOctreeQuantiser&) = delete;

  void AddPixel(std::uint8_t red, std::uint8_t green, std::uint8_t blue);
  int LeafCount() const { return leaf_count_; }
  // Leaves depth-first, children in index order; entries beyond them are 0. Returns the number
  // of colours found.
  int Palette(TPngPalette& palette) const;

 private:
  struct TNode;
  TNode* NewNode(int depth);
  void Reduce();

  TNode* root_ = nullptr;
  int leaf_count_ = 0;
  std::array<TNode*, 8> reducible_{};
};

// A picture of 24-bit (blue, green, red) or 32-bit (blue, green, red, unused) pixels. Row r
// from the top starts at top_row + r * row_step (row_step is negative for bottom-up rows).
struct TPixelImage {
  const std::uint8_t* top_row = nullptr;
  std::ptrdiff_t row_step = 0;
  int width = 0, height = 0;
  int bytes_per_pixel = 3;
};

// Palette of a picture.
int BuildPalette(const TPixelImage& image, TPngPalette& palette);
// Palette index of each pixel (nearest colour among the first `colours` entries), width bytes
// per row, rows from the top.
std::vector<std::uint8_t> MapToPalette(const TPixelImage& image, const TPngPalette& palette,
                                       int colours);

// The chunk CRC register update (reflected polynomial 0xEDB88320): start with 0xFFFFFFFF and
// complement the result.
std::uint32_t PngCrc(std::uint32_t crc, const void* bytes, std::size_t count);

// Largest IDAT chunk the writer makes.
inline constexpr std::uint32_t kIdatChunkSize = 0x3FFFF;

// Writes an 8-bit palette PNG of width x height indexes (row r from the top at top_row +
// r * row_step) with the 256-entry palette. Sizes below 1, a missing buffer or a row step shorter
// than the row raise Exception, zlib errors EZLibError.
void WritePalettePng(TStream& out, int width, int height, const std::uint8_t* top_row,
                     std::ptrdiff_t row_step, const TPngPalette& palette);
// Quantises a picture and writes it as a palette PNG (errors as above; 3 or 4 bytes a pixel).
void WritePixelPng(TStream& out, const TPixelImage& image);

}  // namespace ExceptionLog
