#include "CFile.h"

BOOL CFile::Open(const wchar_t* path, unsigned flags) {
  Close();
  DWORD access = 0;
  switch (flags & 3) {
    case modeRead:
      access = GENERIC_READ;
      break;
    case modeWrite:
      access = GENERIC_WRITE;
      break;
    default:
      access = GENERIC_READ | GENERIC_WRITE;
      break;
  }
  DWORD share = 0;
  switch (flags & 0x70) {
    case shareDenyWrite:
      share = FILE_SHARE_READ;
      break;
    case shareDenyRead:
      share = FILE_SHARE_WRITE;
      break;
    case shareDenyNone:
      share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
    default:  // exclusive, and the compatibility mode 0
      share = (flags & 0x70) == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
      break;
  }
  DWORD disposition = OPEN_EXISTING;
  if (flags & modeCreate) disposition = (flags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
  HANDLE h = CreateFileW(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  m_hFile = h;
  m_strFileName = path;
  return TRUE;
}

void CFile::Close() {
  if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
  m_strFileName.Empty();
}

UINT CFile::Read(void* buffer, UINT count) {
  DWORD got = 0;
  if (!IsOpen() || !ReadFile(m_hFile, buffer, count, &got, nullptr)) return 0;
  return got;
}

BOOL CFile::Write(const void* buffer, UINT count) {
  DWORD put = 0;
  if (!IsOpen() || !WriteFile(m_hFile, buffer, count, &put, nullptr)) return FALSE;
  return put == count;
}

std::uint64_t CFile::GetLength() const {
  LARGE_INTEGER size{};
  if (!IsOpen() || !GetFileSizeEx(m_hFile, &size)) return 0;
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::uint64_t CFile::Seek(std::int64_t offset, SeekPosition from) {
  LARGE_INTEGER dist{}, pos{};
  dist.QuadPart = offset;
  if (!IsOpen() || !SetFilePointerEx(m_hFile, dist, &pos, static_cast<DWORD>(from))) return 0;
  return static_cast<std::uint64_t>(pos.QuadPart);
}

BOOL CFile::SetLength(std::uint64_t length) {
  Seek(static_cast<std::int64_t>(length), begin);
  return IsOpen() && SetEndOfFile(m_hFile);
}
