#include "boot_loader.h"

#include <algorithm>

#include "chip.h"

namespace phone_sim {

namespace {

constexpr std::uint8_t kSetCs0Base = 0xD0;
constexpr std::uint8_t kFlashId = 0xD1;
constexpr std::uint8_t kLinkSync = 0xD9;
constexpr std::uint8_t kSetOffset = 0xD3;
constexpr std::uint8_t kSetLength = 0xD4;
constexpr std::uint8_t kWrite128K = 0xC7;
constexpr std::uint8_t kWrite64K = 0xFA;
constexpr std::uint8_t kEraseSector = 0xD5;
constexpr std::uint8_t kDumpBlock = 0xD8;
constexpr std::uint8_t kSwitchSlave = 0xCD;

}  // namespace

BootLoader::BootLoader(ChipLine& line, Chip& chip) : Stage(line), chip_(chip) {
  AddCommand(kSetCs0Base, "BL_SET_CS0_BASE", 4, [this](ByteSpan p) { SetCs0Base(p); });
  AddCommand(kFlashId, "BL_FLASH_ID", 0, [this](ByteSpan) { FlashId(); });
  AddCommand(kLinkSync, "LINK_SYNC", 0, [this](ByteSpan) { Sync(); });
  AddCommand(kSetOffset, "BL_SET_OFFSET", 4, [this](ByteSpan p) { SetOffset(p); });
  AddCommand(kSetLength, "SET_LENGTH", 4, [this](ByteSpan p) { SetLength(p); });
  AddCommand(kWrite128K, "BL_WRITE_128K", 4,
             [this](ByteSpan p) { Write("BL_WRITE_128K", 0x20000, p); });
  AddCommand(kWrite64K, "BL_WRITE_64K", 4,
             [this](ByteSpan p) { Write("BL_WRITE_64K", 0x10000, p); });
  AddCommand(kEraseSector, "BL_ERASE_SECTOR", 4, [this](ByteSpan p) { Erase(p); });
  AddCommand(kDumpBlock, "BL_DUMP_BLOCK", 4, [this](ByteSpan p) { Dump(p); });
  if (chip_.HasSlave()) {
    AddCommand(kSwitchSlave, "BL_SWITCH_SLAVE", 0, [this](ByteSpan) { SwitchSlave(); });
  }
}

void BootLoader::Start(std::uint8_t speed_code) {
  AbandonFrame();
  speed_code_ = speed_code;
  cs0_base_.reset();
  offset_ = 0;
  remaining_ = 0;
  write_.reset();
}

std::string BootLoader::StateName() const {
  return write_ ? "boot-loader/writing" : "boot-loader/ready";
}

void BootLoader::SetCs0Base(ByteSpan params) {
  cs0_base_ = BigEndian32(params);
  line_.Frame("BL_SET_CS0_BASE " + Hex32(*cs0_base_));
  line_.Reply(FaultPoint::kCs0Base, {Sum8(params)});
}

void BootLoader::FlashId() {
  line_.Frame("BL_FLASH_ID");
  line_.Reply(FaultPoint::kFlashId, chip_.FlashId());
}

void BootLoader::Sync() {
  line_.Frame("LINK_SYNC");
  line_.Reply(FaultPoint::kBlSync, {speed_code_});
}

void BootLoader::SetOffset(ByteSpan params) {
  offset_ = BigEndian32(params);
  line_.Frame("BL_SET_OFFSET " + Hex32(offset_));
  line_.Reply(FaultPoint::kOffset, {Sum8(params)});
}

void BootLoader::SetLength(ByteSpan params) {
  remaining_ = BigEndian32(params);
  line_.Frame("SET_LENGTH " + Hex32(remaining_));
  line_.Reply(FaultPoint::kBlLength, {Sum8(params)});
}

void BootLoader::Write(const std::string& name, std::uint32_t sector_size, ByteSpan params) {
  std::uint32_t length = std::min(sector_size, remaining_);
  remaining_ -= length;
  write_ = SectorWrite{name, BigEndian32(params), length};
  NextPiece();
}

void BootLoader::NextPiece() {
  SectorWrite& w = *write_;
  if (w.received == w.length) {
    std::string frame = w.name + " " + Hex32(w.address) + " pieces=" + std::to_string(w.pieces);
    if (w.dropped > 0) frame += " dropped=" + std::to_string(w.dropped) + " past the end";
    std::uint8_t sum = w.sum;
    write_.reset();
    line_.Frame(frame);
    line_.Reply(FaultPoint::kWriteDone, {sum});
    return;
  }
  Expect(std::min(kPieceSize, w.length - w.received), [this](ByteSpan piece) {
    SectorWrite& w = *write_;
    std::size_t written = chip_.Nor().Write(std::uint64_t{w.address} + w.received, piece);
    w.dropped += piece.size() - written;
    w.received += piece.size();
    ++w.pieces;
    w.sum = static_cast<std::uint8_t>(w.sum + Sum8(piece));
    line_.Reply(FaultPoint::kWriteAck, {Sum8(piece)});
    NextPiece();
  });
}

void BootLoader::Erase(ByteSpan params) {
  std::uint32_t address = BigEndian32(params);
  std::optional<Sector> sector = chip_.Nor().EraseSectorAt(address);
  line_.Frame("BL_ERASE_SECTOR " + Hex32(address) + (sector ? "" : " past the end"));
  line_.Reply(FaultPoint::kErase, {Sum8(params)});
}

void BootLoader::Dump(ByteSpan params) {
  std::uint32_t address = BigEndian32(params);
  line_.Frame("BL_DUMP_BLOCK " + Hex32(address));
  Bytes data = chip_.Nor().Read(address, kDumpBlockSize);
  std::uint8_t sum = Sum8(data);
  line_.Reply(FaultPoint::kDumpData, std::move(data));
  line_.Reply(FaultPoint::kDumpSum, {sum});
}

void BootLoader::SwitchSlave() {
  line_.Frame("BL_SWITCH_SLAVE");
  chip_.SwitchToSlave();
}

}  // namespace phone_sim
