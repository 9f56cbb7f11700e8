#include "KestaFrames.h"

#include <algorithm>

namespace kesta {

std::uint8_t Sum8(std::span<const std::uint8_t> bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  return sum;
}

void PutBigEndian32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

std::array<std::uint8_t, 4> BigEndian32(std::uint32_t value) {
  std::array<std::uint8_t, 4> out{};
  PutBigEndian32(out.data(), value);
  return out;
}

std::array<std::uint8_t, 21> CustomerIdFrame(std::span<const std::uint8_t, kQueryLength> query) {
  std::array<std::uint8_t, 21> frame{};
  frame[0] = kConnect;
  std::copy(kCustomerId.begin(), kCustomerId.end(), frame.begin() + 1);
  std::copy(query.begin(), query.end(), frame.begin() + 5);
  return frame;
}

std::array<std::uint8_t, 5> SetLoadAddressFrame() { return {kSetAddress, 0x00, 0x00, 0x00, 0x1C}; }

std::array<std::uint8_t, 6> BootLoadWordFrame(std::span<const std::uint8_t> image,
                                              std::size_t word) {
  std::array<std::uint8_t, 6> frame{kLoad, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  for (std::size_t i = 0; i < 4; ++i) {
    std::size_t at = word * 4 + i;
    if (at < image.size()) frame[2 + i] = image[at];
  }
  return frame;
}

std::size_t BootLoadWordCount(std::size_t imageSize) { return (imageSize + 3) / 4; }

bool WriteCommandForClass(int sizeClass, SectorWriteCommand& out) {
  static constexpr SectorWriteCommand kCommands[] = {
      {0xC7, 64}, {0xFA, 32}, {0xCC, 16}, {0xFB, 8}, {0xFC, 4}};
  if (sizeClass < 0 || sizeClass > 4) return false;
  out = kCommands[sizeClass];
  return true;
}

}  // namespace kesta
