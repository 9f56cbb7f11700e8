// The host side of the protocol for the tests, over any line (the phone object fed directly,
// or a real pseudo-terminal). Every step checks the reply against values worked out here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace phone_sim_test {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

std::uint8_t ByteSum(std::span<const std::uint8_t> bytes);
Bytes Be32(std::uint32_t value);

class TestLine {
 public:
  virtual ~TestLine() = default;
  virtual void Write(const Bytes& bytes) = 0;
  // Up to `count` bytes, fewer when `timeout` passes first.
  virtual Bytes Read(std::size_t count, milliseconds timeout) = 0;
  virtual void SetBaud(std::uint32_t baud) = 0;
  // Lets time pass with nothing sent.
  virtual void Pause(milliseconds time) = 0;
};

struct BootImages {
  Bytes pre_loader;
  Bytes boot_loader;
};

struct BootOptions {
  std::uint8_t speed_code = 0;
  std::uint32_t baud = 115200;   // the host's speed after the speed change
  bool one_word_frames = false;  // BOOT_LOAD with one word a frame instead of 256
  bool chip_version = false;     // PRE_CHIP_VERSION after LINK_SYNC, as the downloader does
};

// Steps 1-17 of a boot; "" on success, else the step that failed and why.
std::string BootChip(TestLine& line, const BootImages& images, const BootOptions& options);

// One sector write as the flasher does it: SET_LENGTH `announced`, the command, pieces of 2048
// (the last shorter when `data` is). Returns the replies: to SET_LENGTH, one a piece, the sum.
Bytes WriteSector(TestLine& line, std::uint8_t command, std::uint32_t address, const Bytes& data,
                  std::uint32_t announced);
// BL_DUMP_BLOCK: the 8192 data bytes and the sum byte (fewer on a missing reply).
Bytes DumpBlock(TestLine& line, std::uint32_t address);
// BL_ERASE_SECTOR: the reply (empty when none).
Bytes EraseSector(TestLine& line, std::uint32_t address);

// CRC-32 of IEEE 802.3, bit by bit.
std::uint32_t Crc32Of(std::span<const std::uint8_t> bytes);
// A command, a 16-bit big-endian length and the name bytes.
Bytes NameFrame(std::uint8_t command, const std::string& name);

// A binary download as the downloader does it: BL_SET_CHECKSUM (CRC-32, or FF FF FF FF when
// `checksum` is off), BL_SET_OFFSET, SET_LENGTH of the exact size, then per sector the write
// command of `sector_size` and pieces of at most 2048 bytes with the sector sum checked, then
// BL_DOWNLOAD_END. "" on success, else the step that failed.
std::string DownloadBinary(TestLine& line, std::uint32_t offset, const Bytes& data,
                           std::uint32_t sector_size, bool checksum = true);

struct QvsTestFile {
  std::string name;
  Bytes data;
};
struct QvsTestImage {
  std::vector<std::string> dirs;
  std::vector<QvsTestFile> files;
  Bytes version;                 // 16 bytes
  std::optional<Bytes> release;  // 12 bytes
};
// The master's QVS download: mount, checksum, time, directories, records, files in blocks of
// 8192, end, unmount. "" on success, else the step that failed.
std::string DownloadQvs(TestLine& line, const QvsTestImage& image);

struct DirRecord {
  int kind;
  std::string name;
  bool operator==(const DirRecord&) const = default;
};
// QVS_LIST_DIR with each record acknowledged; "" on success (0xE7), else what failed.
std::string ListDir(TestLine& line, const std::string& path, std::vector<DirRecord>* records);

}  // namespace phone_sim_test
