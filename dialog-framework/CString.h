// Wide-character string with the operations the downloader's dialogs use.
#pragma once

#include <string>
#include <string_view>

class CString {
 public:
  CString() = default;
  CString(const wchar_t* s) : s_(s ? s : L"") {}
  CString(const wchar_t* s, int n) : s_(s, static_cast<std::size_t>(n)) {}
  CString(std::wstring s) : s_(std::move(s)) {}
  CString(std::wstring_view s) : s_(s) {}
  CString(wchar_t ch, int repeat = 1) : s_(static_cast<std::size_t>(repeat), ch) {}

  // UTF-8 <-> UTF-16.
  static CString FromUtf8(std::string_view utf8);
  std::string ToUtf8() const;

  int GetLength() const { return static_cast<int>(s_.size()); }
  bool IsEmpty() const { return s_.empty(); }
  void Empty() { s_.clear(); }
  const wchar_t* GetString() const { return s_.c_str(); }
  operator const wchar_t*() const { return s_.c_str(); }
  const std::wstring& str() const { return s_; }
  wchar_t GetAt(int i) const { return s_.at(static_cast<std::size_t>(i)); }

  CString& operator=(const wchar_t* s) {
    s_ = s ? s : L"";
    return *this;
  }
  CString& operator+=(const CString& o) {
    s_ += o.s_;
    return *this;
  }
  CString& operator+=(const wchar_t* o) {
    s_ += o ? o : L"";
    return *this;
  }
  CString& operator+=(wchar_t c) {
    s_ += c;
    return *this;
  }
  friend CString operator+(const CString& a, const CString& b) { return CString(a.s_ + b.s_); }
  friend CString operator+(const CString& a, const wchar_t* b) { return a + CString(b); }
  friend CString operator+(const wchar_t* a, const CString& b) { return CString(a) + b; }
  friend bool operator==(const CString& a, const CString& b) { return a.s_ == b.s_; }
  friend bool operator==(const CString& a, const wchar_t* b) { return a.s_ == (b ? b : L""); }
  friend auto operator<=>(const CString& a, const CString& b) { return a.s_ <=> b.s_; }

  // printf-style formatting with the Windows meaning of %s in wide formats (a wide string).
  void Format(const wchar_t* fmt, ...);
  void AppendFormat(const wchar_t* fmt, ...);

  int Find(wchar_t ch, int start = 0) const;
  int Find(const wchar_t* sub, int start = 0) const;
  int ReverseFind(wchar_t ch) const;
  CString Left(int n) const;
  CString Right(int n) const;
  CString Mid(int first) const;
  CString Mid(int first, int n) const;
  CString& MakeUpper();
  CString& MakeLower();
  CString& Trim();
  int Compare(const wchar_t* o) const { return s_.compare(o ? o : L""); }
  int CompareNoCase(const wchar_t* o) const;

  // Direct access to a buffer of at least n characters; ReleaseBuffer sets the length
  // (-1: up to the first zero).
  wchar_t* GetBuffer(int n);
  void ReleaseBuffer(int length = -1);

 private:
  std::wstring s_;
};
