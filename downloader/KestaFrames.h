// Frames and sums of the boot-and-flash protocol as the downloader sends them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kesta {

// Boot ROM.
constexpr std::uint8_t kConnectReq = 0x81;
constexpr std::uint8_t kConnect = 0x44;
constexpr std::uint8_t kQuery = 0x51;
constexpr std::uint8_t kBootOk = 0x4F;
constexpr std::uint8_t kSetTimeout = 0x54;
constexpr std::uint8_t kBootTimeout = 0x10;
constexpr std::uint8_t kSetAddress = 0x53;
constexpr std::uint8_t kLoad = 0x4C;
constexpr std::uint8_t kJump = 0x4A;
constexpr std::uint8_t kPreReady = 0xAB;
constexpr int kQueryLength = 16;
constexpr std::array<std::uint8_t, 4> kCustomerId = {0xA7, 0x1C, 0xE2, 0x4B};
// Pre-loader.
constexpr std::uint8_t kLinkSync = 0xD9;
constexpr std::uint8_t kChipVersion = 0xB0;
constexpr int kChipVersionLength = 4;
constexpr std::uint8_t kSetLength = 0xD4;
constexpr std::uint8_t kDmaBlock = 0xF7;
constexpr std::uint8_t kPreJump = 0xFF;
constexpr std::size_t kDmaBlockSize = 2048;
// Boot-loader.
constexpr std::uint8_t kSetCs0Base = 0xD0;
constexpr std::uint32_t kCs0Base = 0x20000000;
constexpr std::uint8_t kFlashId = 0xD1;
constexpr int kFlashIdLength = 10;
constexpr std::uint8_t kSetChecksum = 0xC8;
constexpr std::uint32_t kNoChecksum = 0xFFFFFFFF;
constexpr std::uint8_t kSetOffset = 0xD3;
constexpr std::uint8_t kDownloadEnd = 0xC6;
constexpr std::uint8_t kEraseSector = 0xD5;
constexpr std::uint8_t kDumpBlock = 0xD8;
constexpr std::uint8_t kSwitchSlave = 0xCD;
constexpr std::uint8_t kPowerOn = 0xFD;
constexpr std::size_t kPieceSize = 2048;

std::uint8_t Sum8(std::span<const std::uint8_t> bytes);
void PutBigEndian32(std::uint8_t* out, std::uint32_t value);
// The 4 bytes of a 32-bit parameter, most significant first.
std::array<std::uint8_t, 4> BigEndian32(std::uint32_t value);

// 0x44, the customer ID, the 16 bytes of the query reply: 21 bytes.
std::array<std::uint8_t, 21> CustomerIdFrame(std::span<const std::uint8_t, kQueryLength> query);
// 0x53 and the load address 0x1C000000, least significant byte first.
std::array<std::uint8_t, 5> SetLoadAddressFrame();
// One-word BOOT_LOAD: 0x4C, count 0, the 4 image bytes of word `word`.
std::array<std::uint8_t, 6> BootLoadWordFrame(std::span<const std::uint8_t> image,
                                              std::size_t word);
// Number of one-word frames of an image (its length rounded up to whole words).
std::size_t BootLoadWordCount(std::size_t imageSize);

// The write command of a sector size class (0 128 KiB ... 4 8 KiB) and its pieces per sector;
// class 5 (no known sector) has none.
struct SectorWriteCommand {
  std::uint8_t command;
  int pieces;
};
bool WriteCommandForClass(int sizeClass, SectorWriteCommand& out);

}  // namespace kesta
