// Block cipher of the protected debug names: a TEA variant keyed by the MD5 of a password,
// cipher-block chaining, and a stream tail for the last 1-7 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace VEncrypt {

// Byte that fills the 8-byte chain block at the start of every DecryptBuffer.
inline constexpr std::uint8_t kChainByte = 0x00;

// Key k0-k3: the MD5 digest of the password, four big-endian 32-bit words. One key per process.
void SetCipherKey(std::string_view password);

// One 8-byte block in place, two big-endian 32-bit halves, with the current key.
void EncipherBlock(std::uint8_t block[8]);
void DecipherBlock(std::uint8_t block[8]);

// Deciphers length bytes; source and destination may be the same buffer.
void DecryptBuffer(const void* source, void* destination, std::size_t length);

}  // namespace VEncrypt
