#include "Streams.h"

#include <algorithm>
#include <cstring>

std::int64_t TStream::Size() {
  const std::int64_t here = Seek(0, TSeekOrigin::soCurrent);
  const std::int64_t end = Seek(0, TSeekOrigin::soEnd);
  Seek(here, TSeekOrigin::soBeginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, std::int32_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int32_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::int64_t>(count, 65536)));
  std::int64_t left = count;
  while (left > 0) {
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(left, chunk.size()));
    source.ReadBuffer(chunk.data(), n);
    WriteBuffer(chunk.data(), n);
    left -= n;
  }
  return count;
}

std::int32_t TMemoryStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, Size() - position_));
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return n;
}

std::int32_t TMemoryStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  const std::int64_t end = position_ + count;
  if (end > Size()) data_.resize(static_cast<std::size_t>(end));
  std::memcpy(data_.data() + position_, buffer, count);
  position_ = end;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) base = position_;
  if (origin == TSeekOrigin::soEnd) base = Size();
  position_ = std::max<std::int64_t>(0, base + offset);
  return position_;
}

void TMemoryStream::SetSize(std::int64_t size) {
  data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
  position_ = std::min(position_, Size());
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

#ifdef _WIN32
#include <windows.h>

#include "WideText.h"

namespace {
DWORD ShareFlags(std::uint16_t mode) {
  switch (mode & 0x00F0) {
    case fmShareDenyWrite:
      return FILE_SHARE_READ;
    case fmShareDenyRead:
      return FILE_SHARE_WRITE;
    case fmShareDenyNone:
      return FILE_SHARE_READ | FILE_SHARE_WRITE;
    default:
      return 0;
  }
}
}  // namespace

TFileStream::TFileStream(const std::string& file_name, std::uint16_t mode)
    : handle_(INVALID_HANDLE_VALUE), file_name_(file_name) {
  const std::wstring wide = Utf8ToWide(file_name);
  if ((mode & 0xFF00) == fmCreate) {
    handle_ = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, ShareFlags(mode & 0xFF),
                          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
      throw EFCreateError("Cannot create file \"" + file_name + "\"");
    return;
  }
  DWORD access = GENERIC_READ;
  if ((mode & 3) == fmOpenWrite) access = GENERIC_WRITE;
  if ((mode & 3) == fmOpenReadWrite) access = GENERIC_READ | GENERIC_WRITE;
  handle_ = CreateFileW(wide.c_str(), access, ShareFlags(mode), nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) throw EFOpenError("Cannot open file \"" + file_name + "\"");
}

TFileStream::~TFileStream() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

std::int32_t TFileStream::Read(void* buffer, std::int32_t count) {
  DWORD done = 0;
  if (count <= 0 || !ReadFile(handle_, buffer, static_cast<DWORD>(count), &done, nullptr)) return 0;
  return static_cast<std::int32_t>(done);
}

std::int32_t TFileStream::Write(const void* buffer, std::int32_t count) {
  DWORD done = 0;
  if (count <= 0 || !WriteFile(handle_, buffer, static_cast<DWORD>(count), &done, nullptr))
    return 0;
  return static_cast<std::int32_t>(done);
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  LARGE_INTEGER distance, result;
  distance.QuadPart = offset;
  const DWORD how = origin == TSeekOrigin::soBeginning ? FILE_BEGIN
                    : origin == TSeekOrigin::soCurrent ? FILE_CURRENT
                                                       : FILE_END;
  if (!SetFilePointerEx(handle_, distance, &result, how)) return -1;
  return result.QuadPart;
}

void TFileStream::SetSize(std::int64_t size) {
  SetPosition(size);
  if (!SetEndOfFile(handle_)) throw EStreamError("Cannot set the size of \"" + file_name_ + "\"");
}

bool FileExists(const std::string& file_name) {
  const DWORD attributes = GetFileAttributesW(Utf8ToWide(file_name).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
#endif
