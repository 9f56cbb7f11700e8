#include "VPngWriter.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include "VZlib2.h"

namespace ExceptionLog {

struct TOctreeQuantiser::TNode {
  bool is_leaf = false;
  std::uint32_t pixel_count = 0;
  // 64-bit: a one-colour screen of more than 16.8 million pixels overflows 32 bits.
  std::uint64_t red_sum = 0, green_sum = 0, blue_sum = 0;
  TNode* next_reducible = nullptr;
  std::array<TNode*, 8> children{};
};

TOctreeQuantiser::TOctreeQuantiser() = default;

TOctreeQuantiser::~TOctreeQuantiser() {
  // Iterative, so a deep tree cannot exhaust the stack.
  std::vector<TNode*> pending;
  if (root_) pending.push_back(root_);
  while (!pending.empty()) {
    TNode* node = pending.back();
    pending.pop_back();
    for (TNode* child : node->children)
      if (child) pending.push_back(child);
    delete node;
  }
}

TOctreeQuantiser::TNode* TOctreeQuantiser::NewNode(int depth) {
  auto* node = new TNode;
  if (depth == 8) {
    node->is_leaf = true;
    ++leaf_count_;
  } else {
    node->next_reducible = reducible_[depth];
    reducible_[depth] = node;
  }
  return node;
}

void TOctreeQuantiser::AddPixel(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  TNode** slot = &root_;
  for (int depth = 0;; ++depth) {
    if (!*slot) *slot = NewNode(depth);
    TNode* node = *slot;
    if (node->is_leaf) {
      ++node->pixel_count;
      node->red_sum += red;
      node->green_sum += green;
      node->blue_sum += blue;
      break;
    }
    const int mask = 0x80 >> depth;
    const int shift = 7 - depth;
    const int index =
        ((red & mask) >> shift) * 4 + ((green & mask) >> shift) * 2 + ((blue & mask) >> shift);
    slot = &node->children[index];
  }
  while (leaf_count_ > 256) Reduce();
}

void TOctreeQuantiser::Reduce() {
  int level = 7;
  while (level > 0 && !reducible_[level]) --level;
  TNode* node = reducible_[level];
  if (!node) {  // nothing left to merge (cannot happen above one leaf)
    leaf_count_ = 256;
    return;
  }
  reducible_[level] = node->next_reducible;
  node->next_reducible = nullptr;
  // The deeper levels are empty, so every child is a leaf.
  int children = 0;
  for (TNode*& child : node->children) {
    if (!child) continue;
    node->pixel_count += child->pixel_count;
    node->red_sum += child->red_sum;
    node->green_sum += child->green_sum;
    node->blue_sum += child->blue_sum;
    delete child;
    child = nullptr;
    ++children;
  }
  node->is_leaf = true;
  leaf_count_ += 1 - children;
}

int TOctreeQuantiser::Palette(TPngPalette& palette) const {
  palette.fill(TPaletteEntry{});
  int found = 0;
  std::vector<const TNode*> pending;
  if (root_) pending.push_back(root_);
  while (!pending.empty()) {
    const TNode* node = pending.back();
    pending.pop_back();
    if (node->is_leaf) {
      if (found < 256 && node->pixel_count > 0) {
        palette[found].red = static_cast<std::uint8_t>(node->red_sum / node->pixel_count);
        palette[found].green = static_cast<std::uint8_t>(node->green_sum / node->pixel_count);
        palette[found].blue = static_cast<std::uint8_t>(node->blue_sum / node->pixel_count);
        ++found;
      }
      continue;
    }
    for (int i = 7; i >= 0; --i)  // pushed backwards so child 0 comes out first
      if (node->children[i]) pending.push_back(node->children[i]);
  }
  return found;
}

namespace {

void CheckImage(const TPixelImage& image) {
  if (image.width < 1 || image.height < 1 || !image.top_row ||
      (image.bytes_per_pixel != 3 && image.bytes_per_pixel != 4))
    throw Exception("Invalid picture for the PNG writer.");
  const std::int64_t row = static_cast<std::int64_t>(image.width) * image.bytes_per_pixel;
  const std::int64_t step = image.row_step < 0 ? -static_cast<std::int64_t>(image.row_step)
                                               : static_cast<std::int64_t>(image.row_step);
  if (image.height > 1 && step < row) throw Exception("Invalid picture for the PNG writer.");
}

const std::uint8_t* RowOf(const std::uint8_t* top_row, std::ptrdiff_t row_step, int row) {
  return top_row + static_cast<std::ptrdiff_t>(row) * row_step;
}

void PutBigEndian(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 24);
  at[1] = static_cast<std::uint8_t>(value >> 16);
  at[2] = static_cast<std::uint8_t>(value >> 8);
  at[3] = static_cast<std::uint8_t>(value);
}

void WriteChunk(TStream& out, const char (&type)[5], const std::uint8_t* data, std::uint32_t size) {
  std::uint8_t head[8];
  PutBigEndian(head, size);
  std::memcpy(head + 4, type, 4);
  std::uint32_t crc = PngCrc(0xFFFFFFFFu, type, 4);
  crc = PngCrc(crc, data, size) ^ 0xFFFFFFFFu;
  std::uint8_t tail[4];
  PutBigEndian(tail, crc);
  out.WriteBuffer(head, 8);
  if (size) out.WriteBuffer(data, static_cast<std::int32_t>(size));
  out.WriteBuffer(tail, 4);
}

// deflate into one reused buffer; each full buffer leaves as an IDAT chunk.
class TIdatWriter {
 public:
  explicit TIdatWriter(TStream& out) : out_(out), buffer_(kIdatChunkSize) {
    VZlib2::CheckResult(deflateInit(&stream_, 9));
    Rewind();
  }
  ~TIdatWriter() { deflateEnd(&stream_); }
  TIdatWriter(const TIdatWriter&) = delete;
  TIdatWriter& operator=(const TIdatWriter&) = delete;

  void Feed(const std::uint8_t* data, std::size_t size) {
    stream_.next_in = const_cast<Bytef*>(data);
    stream_.avail_in = static_cast<uInt>(size);
    while (stream_.avail_in > 0) {
      VZlib2::CheckResult(deflate(&stream_, Z_NO_FLUSH));
      if (stream_.avail_out == 0) Flush();
    }
  }

  void Finish() {
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    for (;;) {
      const int result = VZlib2::CheckResult(deflate(&stream_, Z_FINISH));
      if (stream_.avail_out == 0) Flush();
      if (result == Z_STREAM_END) break;
    }
    if (stream_.avail_out < kIdatChunkSize) Flush();
  }

 private:
  void Flush() {
    WriteChunk(out_, "IDAT", buffer_.data(), kIdatChunkSize - stream_.avail_out);
    Rewind();
  }
  void Rewind() {
    stream_.next_out = buffer_.data();
    stream_.avail_out = kIdatChunkSize;
  }

  TStream& out_;
  std::vector<std::uint8_t> buffer_;
  z_stream stream_{};
};

}  // namespace

int BuildPalette(const TPixelImage& image, TPngPalette& palette) {
  CheckImage(image);
  TOctreeQuantiser quantiser;
  for (int y = 0; y < image.height; ++y) {
    const std::uint8_t* p = RowOf(image.top_row, image.row_step, y);
    for (int x = 0; x < image.width; ++x, p += image.bytes_per_pixel)
      quantiser.AddPixel(p[2], p[1], p[0]);
  }
  return quantiser.Palette(palette);
}

std::vector<std::uint8_t> MapToPalette(const TPixelImage& image, const TPngPalette& palette,
                                       int colours) {
  CheckImage(image);
  if (colours < 1 || colours > 256) throw Exception("Invalid palette for the PNG writer.");
  // Direct-mapped cache of recent colours: pictures repeat their colours a lot.
  struct TCached {
    std::uint32_t colour = 0xFFFFFFFFu;
    std::uint8_t index = 0;
  };
  std::vector<TCached> cache(4096);
  std::vector<std::uint8_t> indexes(static_cast<std::size_t>(image.width) * image.height);
  std::size_t at = 0;
  for (int y = 0; y < image.height; ++y) {
    const std::uint8_t* p = RowOf(image.top_row, image.row_step, y);
    for (int x = 0; x < image.width; ++x, p += image.bytes_per_pixel) {
      const std::uint32_t colour = p[2] << 16 | p[1] << 8 | p[0];
      TCached& slot = cache[(colour * 2654435761u) >> 20];
      if (slot.colour != colour) {
        int best = 0;
        int best_distance = std::numeric_limits<int>::max();
        for (int i = 0; i < colours && best_distance > 0; ++i) {
          const int dr = palette[i].red - p[2];
          const int dg = palette[i].green - p[1];
          const int db = palette[i].blue - p[0];
          const int distance = dr * dr + dg * dg + db * db;
          if (distance < best_distance) {
            best_distance = distance;
            best = i;
          }
        }
        slot.colour = colour;
        slot.index = static_cast<std::uint8_t>(best);
      }
      indexes[at++] = slot.index;
    }
  }
  return indexes;
}

std::uint32_t PngCrc(std::uint32_t crc, const void* bytes, std::size_t count) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  for (std::size_t i = 0; i < count; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

void WritePalettePng(TStream& out, int width, int height, const std::uint8_t* top_row,
                     std::ptrdiff_t row_step, const TPngPalette& palette) {
  const std::int64_t step = row_step < 0 ? -static_cast<std::int64_t>(row_step) : row_step;
  if (width < 1 || height < 1 || !top_row || (height > 1 && step < width))
    throw Exception("Invalid picture for the PNG writer.");
  static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  out.WriteBuffer(kSignature, 8);

  std::uint8_t header[13] = {};
  PutBigEndian(header, static_cast<std::uint32_t>(width));
  PutBigEndian(header + 4, static_cast<std::uint32_t>(height));
  header[8] = 8;  // bit depth
  header[9] = 3;  // palette
  WriteChunk(out, "IHDR", header, sizeof(header));

  std::uint8_t colours[768];
  for (int i = 0; i < 256; ++i) {
    colours[i * 3] = palette[i].red;
    colours[i * 3 + 1] = palette[i].green;
    colours[i * 3 + 2] = palette[i].blue;
  }
  WriteChunk(out, "PLTE", colours, sizeof(colours));

  {
    TIdatWriter idat(out);
    static const std::uint8_t kFilterNone = 0;
    for (int y = 0; y < height; ++y) {
      idat.Feed(&kFilterNone, 1);
      idat.Feed(RowOf(top_row, row_step, y), static_cast<std::size_t>(width));
    }
    idat.Finish();
  }
  WriteChunk(out, "IEND", nullptr, 0);
}

void WritePixelPng(TStream& out, const TPixelImage& image) {
  TPngPalette palette;
  const int colours = BuildPalette(image, palette);
  const std::vector<std::uint8_t> indexes = MapToPalette(image, palette, colours);
  WritePalettePng(out, image.width, image.height, indexes.data(), image.width, palette);
}

}  // namespace ExceptionLog
