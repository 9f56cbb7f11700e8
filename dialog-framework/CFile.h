// Binary file over a Win32 handle.
#pragma once

#include <windows.h>

#include <cstdint>

#include "CString.h"

class CFile {
 public:
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyRead = 0x0030,
    shareDenyNone = 0x0040,
    typeText = 0x4000,
    typeBinary = 0x8000,
    modeCreate = 0x1000,
    modeNoTruncate = 0x2000,
  };
  enum SeekPosition { begin = 0, current = 1, end = 2 };

  CFile() = default;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  virtual ~CFile() { Close(); }

  // False (and GetLastError) when the file cannot be opened.
  BOOL Open(const wchar_t* path, unsigned flags);
  void Close();
  bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

  // Bytes actually read; 0 at the end or on error.
  UINT Read(void* buffer, UINT count);
  // True when all bytes were written.
  BOOL Write(const void* buffer, UINT count);
  std::uint64_t GetLength() const;
  std::uint64_t Seek(std::int64_t offset, SeekPosition from);
  std::uint64_t SeekToEnd() { return Seek(0, end); }
  void SeekToBegin() { Seek(0, begin); }
  BOOL SetLength(std::uint64_t length);
  const CString& GetFilePath() const { return m_strFileName; }

  static BOOL Remove(const wchar_t* path) { return DeleteFileW(path); }

  HANDLE m_hFile = INVALID_HANDLE_VALUE;

 private:
  CString m_strFileName;
};
