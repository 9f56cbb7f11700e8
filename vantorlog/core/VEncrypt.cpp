#include "VEncrypt.h"

#include <cstring>

#include "VHash.h"

namespace VEncrypt {
namespace {

std::uint32_t g_key[4] = {0, 0, 0, 0};
constexpr std::uint32_t kDelta = 0x9E3779B9;

std::uint32_t LoadBE(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

void StoreBE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

void SetCipherKey(std::string_view password) {
  std::uint8_t digest[16];
  VHash::Md5Digest(digest, password.data(), password.size());
  for (int i = 0; i < 4; ++i) g_key[i] = LoadBE(digest + 4 * i);
}

void EncipherBlock(std::uint8_t block[8]) {
  std::uint32_t y = LoadBE(block), z = LoadBE(block + 4), sum = 0;
  const std::uint32_t k0 = g_key[0], k1 = g_key[1], k2 = g_key[2], k3 = g_key[3];
  for (int i = 0; i < 32; ++i) {
    sum += kDelta;
    y += (z << 4) + (z ^ k0) + ((z >> 5) ^ sum) + k1;
    z += (y << 4) + (y ^ k2) + ((y >> 5) ^ sum) + k3;
  }
  StoreBE(block, y);
  StoreBE(block + 4, z);
}

void DecipherBlock(std::uint8_t block[8]) {
  std::uint32_t y = LoadBE(block), z = LoadBE(block + 4), sum = 0xC6EF3720;
  const std::uint32_t k0 = g_key[0], k1 = g_key[1], k2 = g_key[2], k3 = g_key[3];
  for (int i = 0; i < 32; ++i) {
    z -= (y << 4) + (y ^ k2) + ((y >> 5) ^ sum) + k3;
    y -= (z << 4) + (z ^ k0) + ((z >> 5) ^ sum) + k1;
    sum -= kDelta;
  }
  StoreBE(block, y);
  StoreBE(block + 4, z);
}

void DecryptBuffer(const void* source, void* destination, std::size_t length) {
  const auto* src = static_cast<const std::uint8_t*>(source);
  auto* dst = static_cast<std::uint8_t*>(destination);
  std::uint8_t chain[8];
  std::memset(chain, kChainByte, sizeof chain);
  std::size_t pos = 0;
  for (; pos + 8 <= length; pos += 8) {
    std::uint8_t in[8], out[8];
    std::memcpy(in, src + pos, 8);  // the source block may be overwritten below
    std::memcpy(out, in, 8);
    DecipherBlock(out);
    for (int i = 0; i < 8; ++i) dst[pos + i] = out[i] ^ chain[i];
    std::memcpy(chain, in, 8);
  }
  if (pos < length) {
    EncipherBlock(chain);
    for (std::size_t i = 0; pos + i < length; ++i) dst[pos + i] = src[pos + i] ^ chain[i];
  }
}

}  // namespace VEncrypt
