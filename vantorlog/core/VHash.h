// CRC-16 of a text (the report's bug id) and MD5.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace VHash {

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no final XOR.
std::uint16_t Crc16Text(std::string_view text);

// MD5 digest (RFC 1321) of length bytes.
void Md5Digest(std::uint8_t digest[16], const void* data, std::size_t length);
// The digest as 32 lower-case hexadecimal digits.
std::string Md5Hex(std::string_view text);

}  // namespace VHash
