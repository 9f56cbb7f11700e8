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
std::uint32_t BigEndian32(ByteSpan four);
std::uint32_t LittleEndian32(ByteSpan four);

// "0003B130": eight upper-case hex digits.
std::string Hex32(std::uint32_t value);
// "A7": two upper-case hex digits.
std::string Hex8(std::uint8_t value);
// Contiguous upper-case hex, two digits a byte.
std::string HexString(ByteSpan bytes);
// Hex digits (either case, whitespace between bytes allowed); nullopt on anything else.
std::optional<Bytes> ParseHex(std::string_view text);

}  // namespace phone_sim
