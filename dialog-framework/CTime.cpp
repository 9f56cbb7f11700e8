#include "CTime.h"

#include <cwchar>

CTime CTime::GetCurrentTime() { return CTime(static_cast<std::int64_t>(std::time(nullptr))); }

CString CTime::Format(const wchar_t* fmt) const {
  std::time_t t = static_cast<std::time_t>(t_);
  std::tm* local = std::localtime(&t);
  if (!local) return CString();
  wchar_t buf[256];
  std::size_t n = std::wcsftime(buf, 256, fmt, local);
  return CString(buf, static_cast<int>(n));
}
