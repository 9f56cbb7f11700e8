#include "HexText.h"

std::uint32_t ParseHex(std::wstring_view text) {
  if (text.size() >= 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
    text.remove_prefix(2);
  std::uint32_t value = 0;
  for (wchar_t c : text) {
    std::uint32_t d;
    if (c >= L'0' && c <= L'9')
      d = static_cast<std::uint32_t>(c - L'0');
    else if (c >= L'A' && c <= L'F')
      d = static_cast<std::uint32_t>(c - L'A' + 10);
    else if (c >= L'a' && c <= L'f')
      d = static_cast<std::uint32_t>(c - L'a' + 10);
    else
      break;
    value = (value << 4) | d;
  }
  return value;
}
