#include "VCharset.h"

#include <windows.h>

#include <cstdlib>

namespace VCore {

int DefaultAnsiCharset() {
  char buffer[6] = {};
  UINT code_page = 0;
  if (GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, buffer, sizeof buffer)) {
    char* end = nullptr;
    const long n = std::strtol(buffer, &end, 10);
    if (end != buffer && *end == '\0') code_page = static_cast<UINT>(n);
  }
  if (code_page == 0) code_page = GetACP();
  CHARSETINFO info{};
  if (!TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<DWORD_PTR>(code_page)), &info,
                            TCI_SRCCODEPAGE))
    return DEFAULT_CHARSET;
  return static_cast<int>(info.ciCharset);
}

}  // namespace VCore
