// Calendar time in seconds since 1970, formatted in local time.
#pragma once

#include <cstdint>
#include <ctime>

// windows.h maps GetCurrentTime to GetTickCount.
#include <windows.h>
#undef GetCurrentTime

#include "CString.h"

class CTime {
 public:
  CTime() = default;
  explicit CTime(std::int64_t t) : t_(t) {}
  static CTime GetCurrentTime();
  std::int64_t GetTime() const { return t_; }
  // strftime-style format in local time.
  CString Format(const wchar_t* fmt) const;
  friend std::int64_t operator-(const CTime& a, const CTime& b) { return a.t_ - b.t_; }

 private:
  std::int64_t t_ = 0;
};
