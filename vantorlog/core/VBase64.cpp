#include "VBase64.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace VBase64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> MakeReverse() {
  std::array<std::uint8_t, 256> table{};
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  return table;
}
constexpr auto kReverse = MakeReverse();

}  // namespace

std::string EncodeBuffer(const void* data, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (length - i == 1) {
    out += kAlphabet[p[i] >> 2];
    out += kAlphabet[(p[i] & 3) << 4];
    out += "==";
  } else if (length - i == 2) {
    const std::uint32_t v = (p[i] << 8) | p[i + 1];
    out += kAlphabet[v >> 10];
    out += kAlphabet[(v >> 4) & 63];
    out += kAlphabet[(v & 15) << 2];
    out += '=';
  }
  return out;
}

std::string EncodeText(std::string_view text) { return EncodeBuffer(text.data(), text.size()); }

std::string DecodeText(std::string_view text) {
  const std::size_t n = text.size();
  if (n == 0 || n % 4 != 0) return {};
  std::size_t out_len = n / 4 * 3;
  if (text[n - 2] == '=')
    out_len -= 2;
  else if (text[n - 1] == '=')
    out_len -= 1;
  std::string out;
  out.reserve(out_len);
  for (std::size_t g = 0; g < n && out.size() < out_len; g += 4) {
    const bool last = g + 4 == n;
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v = (v << 6) | kReverse[static_cast<unsigned char>(text[g + k])];
    out += static_cast<char>(v >> 16);
    if (last && text[g + 2] == '=') break;
    out += static_cast<char>((v >> 8) & 0xFF);
    if (last && text[g + 3] == '=') break;
    out += static_cast<char>(v & 0xFF);
  }
  out.resize(std::min(out.size(), out_len));
  return out;
}

}  // namespace VBase64
