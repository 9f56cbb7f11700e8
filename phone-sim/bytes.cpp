#include "bytes.h"

#include <array>

namespace phone_sim {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::uint8_t Sum8(ByteSpan bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  return sum;
}

void Crc32::Add(ByteSpan bytes) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  for (std::uint8_t b : bytes) state_ = table[(state_ ^ b) & 0xFF] ^ (state_ >> 8);
}

void PutBigEndian32(Bytes& out, std::uint32_t v) {
  out.insert(out.end(), {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                         static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
}

void PutLittleEndian32(Bytes& out, std::uint32_t v) {
  out.insert(out.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                         static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
}

void PutBigEndian16(Bytes& out, std::uint16_t v) {
  out.insert(out.end(), {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
}

std::uint32_t BigEndian32(ByteSpan four) {
  return std::uint32_t{four[0]} << 24 | std::uint32_t{four[1]} << 16 | std::uint32_t{four[2]} << 8 |
         four[3];
}

std::uint32_t LittleEndian32(ByteSpan four) {
  return std::uint32_t{four[3]} << 24 | std::uint32_t{four[2]} << 16 | std::uint32_t{four[1]} << 8 |
         four[0];
}

std::string Hex32(std::uint32_t value) {
  std::string s(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) s[i] = kDigits[value & 0xF];
  return s;
}

std::string Hex8(std::uint8_t value) { return {kDigits[value >> 4], kDigits[value & 0xF]}; }

std::string HexString(ByteSpan bytes) {
  std::string s;
  s.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 0xF];
  }
  return s;
}

std::optional<Bytes> ParseHex(std::string_view text) {
  Bytes out;
  out.reserve(text.size() / 2);
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return std::nullopt;
    int hi = HexValue(text[i]);
    int lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    i += 2;
  }
  return out;
}

}  // namespace phone_sim
