#include "SysUtils.h"

unsigned HexToUInt32(const std::string& text) {
  std::string s = text;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.erase(s.begin());
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  if (!s.empty() && s[0] == '$') {
    s.erase(0, 1);
  } else if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.erase(0, 2);
  }
  if (s.empty()) throw EConvertError("'" + text + "' is not a valid hexadecimal value");
  unsigned long long value = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      throw EConvertError("'" + text + "' is not a valid hexadecimal value");
    }
    value = value * 16 + digit;
    if (value > 0xFFFFFFFFull) throw EConvertError("'" + text + "' is out of range");
  }
  return static_cast<unsigned>(value);
}
