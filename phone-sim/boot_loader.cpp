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
constexpr std::uint8_t kWrite32K = 0xCC;
constexpr std::uint8_t kWrite16K = 0xFB;
constexpr std::uint8_t kWrite8K = 0xFC;
constexpr std::uint8_t kSetChecksum = 0xC8;
constexpr std::uint8_t kDownloadEnd = 0xC6;
constexpr std::uint8_t kPowerOn = 0xFD;

}  // namespace

BootLoader::BootLoader(ChipLine& line, Chip& chip) : Stage(line), chip_(chip), qvs_(line, chip) {
  AddCommand(kSetCs0Base, "BL_SET_CS0_BASE", 4, [this](ByteSpan p) { SetCs0Base(p); });
  AddCommand(kFlashId, "BL_FLASH_ID", 0, [this](ByteSpan) { FlashId(); });
  AddCommand(kLinkSync, "LINK_SYNC", 0, [this](ByteSpan) { Sync(); });
  AddCommand(kSetOffset, "BL_SET_OFFSET", 4, [this](ByteSpan p) { SetOffset(p); });
  AddCommand(kSetLength, "SET_LENGTH", 4, [this](ByteSpan p) { SetLength(p); });
  AddCommand(kWrite128K, "BL_WRITE_128K", 4,
             [this](ByteSpan p) { Write("BL_WRITE_128K", 0x20000, p); });
  AddCommand(kWrite64K, "BL_WRITE_64K", 4,
             [this](ByteSpan p) { Write("BL_WRITE_64K", 0x10000, p); });
  AddCommand(kWrite32K, "BL_WRITE_32K", 4,
             [this](ByteSpan p) { Write("BL_WRITE_32K", 0x8000, p); });
  AddCommand(kWrite16K, "BL_WRITE_16K", 4,
             [this](ByteSpan p) { Write("BL_WRITE_16K", 0x4000, p); });
  AddCommand(kWrite8K, "BL_WRITE_8K", 4, [this](ByteSpan p) { Write("BL_WRITE_8K", 0x2000, p); });
  AddCommand(kSetChecksum, "BL_SET_CHECKSUM", 4, [this](ByteSpan p) { SetChecksum(p); });
  AddCommand(kDownloadEnd, "BL_DOWNLOAD_END", 0, [this](ByteSpan) { DownloadEnd(); });
  AddCommand(kPowerOn, "BL_POWER_ON", 0, [this](ByteSpan) { PowerOn(); });
  AddCommand(kEraseSector, "BL_ERASE_SECTOR", 4, [this](ByteSpan p) { Erase(p); });
  AddCommand(kDumpBlock, "BL_DUMP_BLOCK", 4, [this](ByteSpan p) { Dump(p); });
  if (chip_.HasSlave()) {
    AddCommand(kSwitchSlave, "BL_SWITCH_SLAVE", 0, [this](ByteSpan) { SwitchSlave(); });
  }
  qvs_.Register(
      [this](std::uint8_t code, std::string name, std::size_t params, Handler handler) {
        AddCommand(code, std::move(name), params, std::move(handler));
      },
      [this](std::size_t count, Handler handler) { Expect(count, std::move(handler)); });
}

void BootLoader::Start(std::uint8_t speed_code) {
  AbandonFrame();
  speed_code_ = speed_code;
  cs0_base_.reset();
  offset_ = 0;
  remaining_ = 0;
  write_.reset();
  checksum_.reset();
  crc_ = Crc32();
  qvs_.Start();
}

std::string BootLoader::StateName() const {
  if (write_) return "boot-loader/writing";
  std::string qvs = qvs_.StateName();
  return qvs.empty() ? "boot-loader/ready" : "boot-loader/" + qvs;
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
    crc_.Add(piece);
    line_.Reply(FaultPoint::kWriteAck, {Sum8(piece)});
    NextPiece();
  });
}

void BootLoader::Erase(ByteSpan params) {
  std::uint32_t address = BigEndian32(params);
  std::optional<Sector> sector = chip_.Nor().EraseSectorAt(address);
  bool lost = sector && chip_.InQvsArea(sector->index) && chip_.Qvs().Formatted();
  if (lost) chip_.Qvs().Unformat();
  line_.Frame("BL_ERASE_SECTOR " + Hex32(address) + (sector ? "" : " past the end") +
              (lost ? " (file system erased)" : ""));
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

void BootLoader::SetChecksum(ByteSpan params) {
  std::uint32_t checksum = BigEndian32(params);
  line_.Frame("BL_SET_CHECKSUM " + Hex32(checksum));
  checksum_ = checksum == 0xFFFFFFFFu ? std::nullopt : std::optional<std::uint32_t>(checksum);
  crc_ = Crc32();
  line_.Reply(FaultPoint::kChecksum, {Sum8(params)});
}

void BootLoader::DownloadEnd() {
  std::string reason;
  if (remaining_ != 0) {
    reason = std::to_string(remaining_) + " announced bytes not written";
  } else if (checksum_ && *checksum_ != crc_.Value()) {
    reason = "CRC-32 of the data " + Hex32(crc_.Value()) + ", announced " + Hex32(*checksum_);
  }
  checksum_.reset();
  remaining_ = 0;
  if (!reason.empty()) {
    line_.Frame("BL_DOWNLOAD_END refused: " + reason);
    line_.Reply(FaultPoint::kDownloadEnd, {static_cast<std::uint8_t>(~kDownloadEnd)});
    return;
  }
  line_.Frame("BL_DOWNLOAD_END");
  line_.Reply(FaultPoint::kDownloadEnd, {kDownloadEnd});
}

void BootLoader::PowerOn() {
  line_.Frame("BL_POWER_ON");
  line_.PowerOn();
}

void BootLoader::SwitchSlave() {
  line_.Frame("BL_SWITCH_SLAVE");
  chip_.SwitchToSlave();
}

}  // namespace phone_sim
