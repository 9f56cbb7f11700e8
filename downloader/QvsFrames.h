// Frames of a QVS image download (and the format request) as the downloader sends them, each
// with the reply byte the phone answers when it took the frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace qvs {

constexpr std::uint8_t kQvsMount = 0xDA;
constexpr std::uint8_t kQvsBeginDownload = 0xCE;
constexpr std::uint8_t kQvsSetChecksum = 0xC9;
constexpr std::uint8_t kQvsSetTime = 0xC4;
constexpr std::uint8_t kQvsMakeDir = 0xDB;
constexpr std::uint8_t kQvsDirDone = 0xDC;
constexpr std::uint8_t kQvsWriteVersion = 0xE3;
constexpr std::uint8_t kQvsWriteRelease = 0xF5;
constexpr std::uint8_t kQvsNoRelease = 0xF6;
constexpr std::uint8_t kQvsRecordDone = 0xE3;  // reply to the version and release records
constexpr std::uint8_t kQvsAddFile = 0xDD;
constexpr std::uint8_t kQvsDataBlock = 0xFE;
constexpr std::uint8_t kQvsFileDone = 0xDF;
constexpr std::uint8_t kQvsEndDownload = 0xC5;
constexpr std::uint8_t kQvsUnmount = 0xE4;
constexpr std::uint8_t kQvsFormat = 0xE0;
constexpr std::uint8_t kQvsFormatDone = 0xE1;
constexpr std::uint8_t kQvsFormatFailed = 0xF2;

constexpr std::size_t kQvsVersionLength = 16;
constexpr std::size_t kQvsReleaseLength = 12;
constexpr std::size_t kQvsMaxDirName = 62;    // UTF-8 bytes
constexpr std::size_t kQvsMaxFileName = 510;  // UTF-8 bytes
constexpr std::size_t kQvsBlockSize = 8192;

using QvsVersion = std::array<std::uint8_t, kQvsVersionLength>;
using QvsRelease = std::array<std::uint8_t, kQvsReleaseLength>;

struct QvsFrame {
  std::vector<std::uint8_t> bytes;  // the command byte and its parameters, one write
  std::uint8_t reply = 0;           // what the phone answers when it took the frame
};

// 0xDB, the name's length (16-bit big-endian), the UTF-8 name; reply: sum8 of the bytes after
// the command. False for an empty name or one longer than kQvsMaxDirName bytes.
bool MakeDirFrame(std::string_view utf8Name, QvsFrame& out);
// 0xDD, the name's length (16-bit big-endian), the UTF-8 name, the size (32-bit big-endian);
// reply: sum8 of the bytes after the command. False for an empty name or one longer than
// kQvsMaxFileName bytes.
bool AddFileFrame(std::string_view utf8Name, std::uint32_t size, QvsFrame& out);
// 0xC9 and the image's CRC-32 (big-endian); reply: sum8 of the 4 bytes.
QvsFrame SetChecksumFrame(std::uint32_t crc);
// 0xC4, three zero bytes, then second, minute, hour, day, month (1-12), year (four digits),
// each 32-bit least significant byte first: 28 bytes; reply: sum8 of the 27 bytes after 0xC4.
QvsFrame SetTimeFrame(const std::tm& local);
// 0xE3 and the 16 version bytes; reply 0xE3.
QvsFrame WriteVersionFrame(const QvsVersion& version);
// 0xF5 and the 12 release bytes, or 0xF6 alone without a release record; reply 0xE3.
QvsFrame ReleaseFrame(const std::optional<QvsRelease>& release);

// The size of the next data block of a file of which `remaining` bytes are still to be sent
// (at most kQvsBlockSize), taken off `remaining`. `last` is set for a block shorter than
// kQvsBlockSize, an empty one included: the phone answers it with 0xDF.
std::size_t NextBlockSize(std::uint32_t& remaining, bool& last);
// The block sizes of a whole file, in order: 20000 -> 8192 8192 3616; 8192 -> 8192 0; 0 -> 0.
std::vector<std::size_t> BlockSizes(std::uint32_t fileSize);
// 0xFE and the block's bytes; reply: their sum8, or 0xDF for the file's last block.
QvsFrame DataBlockFrame(std::span<const std::uint8_t> data, bool last);

// The master's format request: 0xE0 and the sector count blocks x 8 + 21888 (24-bit
// big-endian); reply (after any other bytes) 0xE1. False when the count does not fit 24 bits.
bool FormatFrame(std::uint32_t aDriveBlocks, QvsFrame& out);
// NAND capacity in bytes by the second device ID of the flash ID; false for an unknown part.
bool NandCapacity(std::uint16_t secondDeviceId, std::uint32_t& bytes);

}  // namespace qvs
