// Byte helpers of the phone simulator: 8-bit sums, 32-bit frame values and hex text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace phone_sim {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

std::uint8_t Sum8(ByteSpan bytes);

// CRC-32 of IEEE 802.3 (reflected 0xEDB88320, initial 0xFFFFFFFF, final complement), taken over
// bytes added piece by piece.
class Crc32 {
 public:
  void Add(ByteSpan bytes);
  std::uint32_t Value() const { return ~state_; }

 private:
  std::uint32_t state_ = 0xFFFFFFFFu;
};
std::uint32_t BigEndian32(ByteSpan four);
std::uint32_t LittleEndian32(ByteSpan four);
void PutBigEndian32(Bytes& out, std::uint32_t value);
void PutLittleEndian32(Bytes& out, std::uint32_t value);
void PutBigEndian16(Bytes& out, std::uint16_t value);

// "0003B130": eight upper-case hex digits.
std::string Hex32(std::uint32_t value);
// "A7": two upper-case hex digits.
std::string Hex8(std::uint8_t value);
// Contiguous upper-case hex, two digits a byte.
std::string HexString(ByteSpan bytes);
// Hex digits (either case, whitespace between bytes allowed); nullopt on anything else.
std::optional<Bytes> ParseHex(std::string_view text);

}  // namespace phone_sim
