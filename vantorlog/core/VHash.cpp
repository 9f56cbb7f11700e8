#include "VHash.h"

#include <array>
#include <cstring>

namespace VHash {
namespace {

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    table[i] = crc;
  }
  return table;
}
constexpr auto kCrcTable = MakeCrcTable();

struct Md5State {
  std::uint32_t a = 0x67452301, b = 0xEFCDAB89, c = 0x98BADCFE, d = 0x10325476;
};

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

std::uint32_t Rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Md5Block(Md5State& s, const std::uint8_t* p) {
  std::uint32_t m[16];
  for (int i = 0; i < 16; ++i)
    m[i] = p[i * 4] | (p[i * 4 + 1] << 8) | (p[i * 4 + 2] << 16) |
           (static_cast<std::uint32_t>(p[i * 4 + 3]) << 24);
  std::uint32_t a = s.a, b = s.b, c = s.c, d = s.d;
  for (int i = 0; i < 64; ++i) {
    std::uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const std::uint32_t next = b + Rotl(a + f + kSine[i] + m[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  s.a += a;
  s.b += b;
  s.c += c;
  s.d += d;
}

}  // namespace

std::uint16_t Crc16Text(std::string_view text) {
  std::uint16_t crc = 0;
  for (unsigned char byte : text)
    crc = static_cast<std::uint16_t>(kCrcTable[(byte ^ (crc >> 8)) & 0xFF] ^ (crc << 8));
  return crc;
}

void Md5Digest(std::uint8_t digest[16], const void* data, std::size_t length) {
  Md5State state;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t whole = length - length % 64;
  for (std::size_t i = 0; i < whole; i += 64) Md5Block(state, bytes + i);
  std::uint8_t tail[128] = {};
  const std::size_t rest = length - whole;
  if (rest) std::memcpy(tail, bytes + whole, rest);
  tail[rest] = 0x80;
  const std::size_t tail_len = rest < 56 ? 64 : 128;
  const std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_len - 8 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  for (std::size_t i = 0; i < tail_len; i += 64) Md5Block(state, tail + i);
  const std::uint32_t words[4] = {state.a, state.b, state.c, state.d};
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) digest[w * 4 + i] = static_cast<std::uint8_t>(words[w] >> (8 * i));
}

std::string Md5Hex(std::string_view text) {
  std::uint8_t digest[16];
  Md5Digest(digest, text.data(), text.size());
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace VHash
