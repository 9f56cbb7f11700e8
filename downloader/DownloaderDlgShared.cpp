#include "DownloaderDlgShared.h"

namespace dlg_shared {

std::string ToAnsi(const CString& text) {
  const std::wstring& w = text.str();
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring FromAnsi(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::int64_t Now() { return CTime::GetCurrentTime().GetTime(); }

bool ReadWholeFile(const CString& path, std::string& out) {
  CFile f;
  if (!f.Open(path, CFile::modeRead | CFile::shareDenyNone)) return false;
  const std::uint64_t length = f.GetLength();
  if (length > 0x7FFFFFFF) return false;
  out.assign(static_cast<std::size_t>(length), '\0');
  std::size_t got = 0;
  while (got < out.size()) {
    UINT n = f.Read(out.data() + got, static_cast<UINT>(out.size() - got));
    if (n == 0) return false;
    got += n;
  }
  return true;
}

}  // namespace dlg_shared
