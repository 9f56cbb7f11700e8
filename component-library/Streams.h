// Byte streams: the abstract stream, a memory stream, and (Windows only) a file stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SysUtils.h"

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads or writes up to count bytes; returns how many moved.
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t size) = 0;

  // Exact transfers: raise EReadError / EWriteError when fewer bytes move.
  void ReadBuffer(void* buffer, std::int32_t count);
  void WriteBuffer(const void* buffer, std::int32_t count);
  // Copies count bytes from source's current position; count 0 copies the whole source
  // from its start. Returns the bytes copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

class TMemoryStream : public TStream {
 public:
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t size) override;
  void Clear();

  const std::uint8_t* Memory() const { return data_.data(); }
  std::uint8_t* Memory() { return data_.data(); }

 private:
  std::vector<std::uint8_t> data_;
  std::int64_t position_ = 0;
};

// File open modes: one access mode or'ed with one share mode, or fmCreate.
inline constexpr std::uint16_t fmOpenRead = 0x0000;
inline constexpr std::uint16_t fmOpenWrite = 0x0001;
inline constexpr std::uint16_t fmOpenReadWrite = 0x0002;
inline constexpr std::uint16_t fmShareExclusive = 0x0010;
inline constexpr std::uint16_t fmShareDenyWrite = 0x0020;
inline constexpr std::uint16_t fmShareDenyRead = 0x0030;
inline constexpr std::uint16_t fmShareDenyNone = 0x0040;
inline constexpr std::uint16_t fmCreate = 0xFF00;

#ifdef _WIN32
// A file on disk. The name is UTF-8. fmCreate creates or truncates (raising EFCreateError on
// failure); the open modes raise EFOpenError when the file can't be opened.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& file_name, std::uint16_t mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t size) override;
  const std::string& FileName() const { return file_name_; }

 private:
  void* handle_;
  std::string file_name_;
};

bool FileExists(const std::string& file_name);
#endif
