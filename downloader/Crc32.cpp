#include "Crc32.h"

namespace {

std::uint32_t Reflect(std::uint32_t v, int bits) {
  std::uint32_t r = 0;
  for (int i = 0; i < bits; ++i) {
    if (v & (1u << i)) r |= 1u << (bits - 1 - i);
  }
  return r;
}

}  // namespace

void BuildCrc32Table(std::uint32_t table[256]) {
  const std::uint32_t poly = 0x04C11DB7;
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = Reflect(i, 8) << 24;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ poly : (c << 1);
    table[i] = Reflect(c, 32);
  }
}

std::uint32_t Crc32(const std::uint32_t table[256], const std::uint8_t* data, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFF];
  return ~crc;
}
