#include "pre_loader.h"

#include <algorithm>

#include "chip.h"

namespace phone_sim {

namespace {

constexpr std::uint8_t kLinkSync = 0xD9;
constexpr std::uint8_t kSetLength = 0xD4;
constexpr std::uint8_t kDmaBlock = 0xF7;
constexpr std::uint8_t kJump = 0xFF;
constexpr std::uint8_t kReady = 0xAB;
constexpr std::uint8_t kChipVersion = 0xB0;

}  // namespace

PreLoader::PreLoader(ChipLine& line, Chip& chip) : Stage(line), chip_(chip) {
  AddCommand(kLinkSync, "LINK_SYNC", 0, [this](ByteSpan) { Sync(); });
  AddCommand(kSetLength, "SET_LENGTH", 4, [this](ByteSpan p) { SetLength(p); });
  AddCommand(kDmaBlock, "PRE_DMA_BLOCK", 0, [this](ByteSpan) { DmaBlock(); });
  AddCommand(kJump, "PRE_JUMP", 0, [this](ByteSpan) { Jump(); });
  AddCommand(kChipVersion, "PRE_CHIP_VERSION", 0, [this](ByteSpan) {
    line_.Frame("PRE_CHIP_VERSION");
    line_.Reply(FaultPoint::kChipVersion, chip_.ChipVersion());
  });
}

void PreLoader::Start() {
  AbandonFrame();
  speed_code_.reset();
  length_.reset();
  received_.clear();
}

std::uint32_t PreLoader::Baud() const {
  return speed_code_ ? *BaudOfSpeedCode(*speed_code_) : kBootBaud;
}

bool PreLoader::AcceptsBaud(std::uint32_t baud) const {
  // The speed code may be read after the host has already moved to the new speed.
  return !speed_code_ || baud == Baud();
}

std::string PreLoader::StateName() const {
  return speed_code_ ? "pre-loader/ready" : "pre-loader/wait-speed";
}

bool PreLoader::OnCommandByte(std::uint8_t byte) {
  if (speed_code_) return false;
  SpeedCode(byte);
  return true;
}

void PreLoader::SpeedCode(std::uint8_t code) {
  std::optional<std::uint32_t> baud = BaudOfSpeedCode(code);
  if (!baud) {
    line_.Frame("PRE_SET_SPEED " + Hex8(code) + " refused: no such speed code");
    return;
  }
  std::uint32_t host = line_.HostBaud();
  if (host != kBootBaud && host != *baud) {
    line_.Ignored(code, "speed code at " + std::to_string(host) + " baud");
    return;
  }
  line_.Frame("PRE_SET_SPEED " + Hex8(code));
  speed_code_ = code;
}

void PreLoader::Sync() {
  line_.Frame("LINK_SYNC");
  line_.Reply(FaultPoint::kSync, {*speed_code_});
}

void PreLoader::SetLength(ByteSpan params) {
  std::uint32_t length = BigEndian32(params);
  std::string frame = "SET_LENGTH " + Hex32(length);
  if (length != chip_.BootLoaderImage().size()) {
    line_.Frame(frame + " refused: boot-loader is " +
                std::to_string(chip_.BootLoaderImage().size()) + " bytes");
    length_.reset();
    return;
  }
  line_.Frame(frame);
  length_ = length;
  received_.clear();
  line_.Reply(FaultPoint::kLength, {Sum8(params)});
}

void PreLoader::DmaBlock() {
  if (!length_) {
    line_.Frame("PRE_DMA_BLOCK refused: no length");
    return;
  }
  line_.Reply(FaultPoint::kDmaEcho, {kDmaBlock});
  std::size_t block = std::min(kBlockSize, *length_ - received_.size());
  Expect(block, [this](ByteSpan data) {
    received_.insert(received_.end(), data.begin(), data.end());
    line_.Frame("PRE_DMA_BLOCK bytes=" + std::to_string(data.size()));
    line_.Reply(FaultPoint::kDmaSum, {Sum8(data)});
  });
}

void PreLoader::Jump() {
  const Bytes& image = chip_.BootLoaderImage();
  if (!length_ || received_.size() != image.size()) {
    line_.Frame("PRE_JUMP refused: boot-loader of " + std::to_string(received_.size()) +
                " bytes, expected " + std::to_string(image.size()));
    return;
  }
  auto diff = std::mismatch(image.begin(), image.end(), received_.begin());
  if (diff.first != image.end()) {
    line_.Frame("PRE_JUMP refused: boot-loader differs at byte " +
                std::to_string(diff.first - image.begin()));
    return;
  }
  line_.Frame("PRE_JUMP");
  line_.Reply(FaultPoint::kPreJump, {kReady});
  chip_.EnterBootLoader(*speed_code_);
}

}  // namespace phone_sim
