#include "nand_flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "image_file.h"

namespace phone_sim {

std::optional<NandGeometry> NandGeometryOf(std::uint16_t second_id) {
  switch (second_id) {
    case 0x003C:
    case 0x0034:
      return NandGeometry{second_id, 0x8000000, 2, 4};
    case 0x0024:
      return NandGeometry{second_id, 0x4000000, 3, 4};
    case 0x0014:
      return NandGeometry{second_id, 0x2000000, 4, 2};
    default:
      return std::nullopt;
  }
}

NandImage::NandImage(NandGeometry geometry, Bytes image)
    : geometry_(geometry), image_(std::move(image)) {
  if (image_.size() > geometry_.data_bytes) image_.resize(geometry_.data_bytes);
}

Bytes NandImage::Pages(std::uint32_t first, std::uint32_t count) const {
  Bytes out;
  std::uint32_t end =
      first + std::min(count, geometry_.Pages() - std::min(first, geometry_.Pages()));
  out.reserve(std::size_t{end - std::min(first, end)} * kNandPageSize);
  for (std::uint32_t page = first; page < end; ++page) {
    std::size_t start = std::size_t{page} * kNandPageData;
    if (start >= image_.size()) {
      out.insert(out.end(), kNandPageSize, 0xFF);
      continue;
    }
    std::size_t n = std::min(kNandPageData, image_.size() - start);
    std::size_t at = out.size();
    out.insert(out.end(), image_.begin() + static_cast<std::ptrdiff_t>(start),
               image_.begin() + static_cast<std::ptrdiff_t>(start + n));
    out.insert(out.end(), kNandPageData - n, 0xFF);
    std::uint8_t sum = Sum8(ByteSpan(out).subspan(at, kNandPageData));
    PutBigEndian32(out, page);
    out.push_back(sum);
    out.insert(out.end(), kNandPageSize - kNandPageData - 5, 0xFF);
  }
  return out;
}

std::string NandImage::Save(const std::string& path) const {
  return WriteFileAtomically(path, [this](std::ostream& out) {
    constexpr std::uint32_t kChunk = 2048;
    for (std::uint32_t page = 0; page < geometry_.Pages() && out; page += kChunk) {
      Bytes part = Pages(page, kChunk);
      out.write(reinterpret_cast<const char*>(part.data()),
                static_cast<std::streamsize>(part.size()));
    }
  });
}

}  // namespace phone_sim
