#include "CString.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

std::wstring VFormat(const wchar_t* fmt, va_list args) {
  std::vector<wchar_t> buf(256);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    // msvcrt's _vsnwprintf: -1 when the buffer is too small, %s takes a wide string.
    int n = _vsnwprintf(buf.data(), buf.size() - 1, fmt, copy);
    va_end(copy);
    if (n >= 0 && static_cast<std::size_t>(n) < buf.size() - 1) return std::wstring(buf.data(), n);
    if (buf.size() > (1u << 24)) return std::wstring();
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

CString CString::FromUtf8(std::string_view utf8) {
  if (utf8.empty()) return CString();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return CString(std::move(out));
}

std::string CString::ToUtf8() const {
  if (s_.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, s_.data(), GetLength(), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s_.data(), GetLength(), out.data(), n, nullptr, nullptr);
  return out;
}

void CString::Format(const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  s_ = VFormat(fmt, args);
  va_end(args);
}

void CString::AppendFormat(const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  s_ += VFormat(fmt, args);
  va_end(args);
}

int CString::Find(wchar_t ch, int start) const {
  if (start < 0 || start > GetLength()) return -1;
  auto p = s_.find(ch, static_cast<std::size_t>(start));
  return p == std::wstring::npos ? -1 : static_cast<int>(p);
}

int CString::Find(const wchar_t* sub, int start) const {
  if (!sub || start < 0 || start > GetLength()) return -1;
  auto p = s_.find(sub, static_cast<std::size_t>(start));
  return p == std::wstring::npos ? -1 : static_cast<int>(p);
}

int CString::ReverseFind(wchar_t ch) const {
  auto p = s_.rfind(ch);
  return p == std::wstring::npos ? -1 : static_cast<int>(p);
}

CString CString::Left(int n) const {
  if (n <= 0) return CString();
  return CString(s_.substr(0, static_cast<std::size_t>(n)));
}

CString CString::Right(int n) const {
  if (n <= 0) return CString();
  if (n >= GetLength()) return *this;
  return CString(s_.substr(s_.size() - static_cast<std::size_t>(n)));
}

CString CString::Mid(int first) const { return Mid(first, GetLength()); }

CString CString::Mid(int first, int n) const {
  if (first < 0) first = 0;
  if (first >= GetLength() || n <= 0) return CString();
  return CString(s_.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(n)));
}

CString& CString::MakeUpper() {
  for (auto& c : s_) c = static_cast<wchar_t>(std::towupper(c));
  return *this;
}

CString& CString::MakeLower() {
  for (auto& c : s_) c = static_cast<wchar_t>(std::towlower(c));
  return *this;
}

CString& CString::Trim() {
  auto first = s_.find_first_not_of(L" \t\r\n");
  if (first == std::wstring::npos) {
    s_.clear();
    return *this;
  }
  auto last = s_.find_last_not_of(L" \t\r\n");
  s_ = s_.substr(first, last - first + 1);
  return *this;
}

int CString::CompareNoCase(const wchar_t* o) const { return _wcsicmp(s_.c_str(), o ? o : L""); }

wchar_t* CString::GetBuffer(int n) {
  if (n > GetLength()) s_.resize(static_cast<std::size_t>(n));
  return s_.data();
}

void CString::ReleaseBuffer(int length) {
  if (length < 0) length = static_cast<int>(wcsnlen(s_.c_str(), s_.size()));
  s_.resize(static_cast<std::size_t>(length));
}
