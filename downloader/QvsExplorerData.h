// Data of the QVS explorer: its request frames, directory records, the file status record and
// the NAND dump geometry and resume point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qvsx {

constexpr std::uint8_t kLinkSync = 0xD9;
constexpr std::uint8_t kMount = 0xDA;
constexpr std::uint8_t kUnmount = 0xE4;
constexpr std::uint8_t kListDir = 0xE5;
constexpr std::uint8_t kListError = 0xE6;
constexpr std::uint8_t kListEnd = 0xE7;
constexpr std::uint8_t kListMore = 0xCB;
constexpr std::uint8_t kReadFile = 0xE8;
constexpr std::uint8_t kFileSize = 0xE9;
constexpr std::uint8_t kNextChunk = 0xEA;
constexpr std::uint8_t kChunkGood = 0x01;
constexpr std::uint8_t kChunkBad = 0x00;
constexpr std::uint8_t kDelete = 0xEE;
constexpr std::uint8_t kFileStatus = 0xF0;
constexpr std::uint8_t kFileStatusReply = 0xF1;
constexpr std::uint8_t kNandFullDump = 0xC0;
constexpr std::uint8_t kNandDumpContinue = 0xB2;
constexpr std::uint8_t kNandGo = 0xC1;
constexpr std::uint8_t kNandBad = 0xC2;
constexpr std::uint8_t kNandEnd = 0xC3;

constexpr std::size_t kChunkSize = 8192;
constexpr std::size_t kRecordBufferSize = 256;
// Names sent and received, in bytes with their zero byte.
constexpr std::size_t kMaxNameBytes = 510;
constexpr std::size_t kFileStatusLength = 28;
constexpr std::size_t kNandPageBytes = 528;  // 512 data and 16 spare bytes
constexpr std::uint32_t kUnitsPerBlock = 64;

constexpr std::uint8_t kRecordFile = 1;
constexpr std::uint8_t kRecordDirectory = 2;

// 0xE5, the length byte, the path (no zero byte). False for an empty path or one longer than
// 255 bytes.
bool ListDirFrame(std::string_view utf8Path, std::vector<std::uint8_t>& out);
// A command, the name's length (16-bit big-endian) and the name with its zero byte. False
// for an empty name or one of more than kMaxNameBytes bytes with the zero byte.
bool NameFrame(std::uint8_t command, std::string_view utf8Name, std::vector<std::uint8_t>& out);
// 0xB2, the size code and the first page (24-bit big-endian).
std::vector<std::uint8_t> NandContinueFrame(std::uint8_t sizeCode, std::uint32_t firstPage);

// A directory record: the kind byte, then the UTF-8 name ended by its zero byte.
struct DirRecord {
  std::uint8_t kind = 0;
  std::string name;  // without the zero byte
};
// False for an empty record, one longer than kRecordBufferSize bytes or a name without its
// zero byte; `error` then says what is wrong. Bytes after the zero byte are ignored.
bool ParseDirRecord(std::span<const std::uint8_t> record, DirRecord& out, std::string& error);

// Collects one directory record after its length byte n: n + 1 bytes.
class RecordReader {
 public:
  void Start(std::uint8_t lengthByte);
  // True when the record is complete with this byte.
  bool Put(std::uint8_t b);
  std::span<const std::uint8_t> Record() const { return {buffer_, count_}; }

 private:
  std::uint8_t buffer_[kRecordBufferSize] = {};
  std::size_t expected_ = 0;
  std::size_t count_ = 0;
};

// The lines printed for the 28-byte file status record (all values big-endian).
std::string FileStatusText(std::span<const std::uint8_t, kFileStatusLength> record);

// The NAND by the second device ID of the flash ID.
struct NandDumpGeometry {
  std::uint32_t fullSize;  // data and spare bytes
  std::uint8_t sizeCode;
  std::uint32_t pagesPerUnit;
  std::uint32_t UnitBytes() const { return pagesPerUnit * kNandPageBytes; }
  std::uint32_t BlockBytes() const { return UnitBytes() * kUnitsPerBlock; }
  std::uint32_t Blocks() const { return fullSize / BlockBytes(); }
};
std::optional<NandDumpGeometry> NandDumpGeometryOf(std::uint16_t secondDeviceId);

// Where an interrupted dump goes on: the whole blocks of 64 units in the file, less one (a
// block may have been cut short); a file shorter than one block starts again at page 0.
struct NandResumePoint {
  std::uint32_t pagesKept = 0;
  std::uint64_t bytesKept = 0;
  bool tooLarge = false;  // the kept bytes reach the NAND's full size
};
NandResumePoint NandResume(std::uint64_t fileLength, const NandDumpGeometry& nand);

}  // namespace qvsx
