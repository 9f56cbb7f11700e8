#include "HexText.h"

namespace {

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

std::wstring_view SkipPrefix(std::wstring_view text) {
  if (text.size() >= 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
    text.remove_prefix(2);
  return text;
}

}  // namespace

std::uint32_t ParseHex(std::wstring_view text) {
  std::uint32_t value = 0;
  for (wchar_t c : SkipPrefix(text)) {
    int d = HexDigit(c);
    if (d < 0) break;
    value = (value << 4) | static_cast<std::uint32_t>(d);
  }
  return value;
}

bool ParseStartAddress(std::wstring_view text, std::uint32_t& offset) {
  constexpr std::size_t kBoxChars = 16;
  constexpr std::uint32_t kBase = 0x20000000, kLast = 0x2FFFFFFF;
  if (text.size() > kBoxChars) text = text.substr(0, kBoxChars);
  std::uint64_t value = 0;
  for (wchar_t c : SkipPrefix(text)) {
    int d = HexDigit(c);
    if (d < 0) break;
    value = (value << 4) | static_cast<std::uint64_t>(d);
    if (value > 0xFFFFFFFFull) return false;
  }
  if (value < kBase || value > kLast) return false;
  offset = static_cast<std::uint32_t>(value) - kBase;
  return true;
}
