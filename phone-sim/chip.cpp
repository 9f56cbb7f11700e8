#include "chip.h"

namespace phone_sim {

ChipSpec MasterChipSpec(Bytes pre_loader, Bytes boot_loader) {
  return {"master",
          std::move(pre_loader),
          std::move(boot_loader),
          MasterSectorLayout(),
          {0x00, 0xEC, 0x22, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x34},
          {0x65, 0x12, 0x00, 0x05},
          true};
}

ChipSpec SlaveChipSpec(Bytes pre_loader, Bytes boot_loader) {
  return {"slave",
          std::move(pre_loader),
          std::move(boot_loader),
          SlaveSectorLayout(),
          {0x00, 0xEC, 0x24, 0x02, 0x00, 0x00, 0x00, 0x00, 0xE1, 0xD0},
          {0x52, 0x31, 0x00, 0x05},
          false,
          224,
          230};
}

namespace {

// Before any format: drive a holds half of the storage, b and c a quarter each.
std::array<std::uint32_t, kQvsDriveCount> FactoryDrives(std::uint64_t bytes) {
  auto blocks = static_cast<std::uint32_t>(bytes / QvsFileSystem::kBlockSize);
  return {blocks / 2, blocks / 4, blocks - blocks / 2 - blocks / 4};
}

std::uint64_t StorageBytes(const ChipSpec& spec) {
  if (spec.has_nand) {
    std::optional<NandGeometry> nand =
        NandGeometryOf(static_cast<std::uint16_t>(spec.flash_id[8] << 8 | spec.flash_id[9]));
    return nand ? nand->data_bytes : 0;
  }
  std::uint64_t bytes = 0;
  for (std::uint32_t i = spec.qvs_first_sector; i <= spec.qvs_last_sector; ++i) {
    bytes += spec.layout.SectorAt(spec.layout.StartOf(i))->size;
  }
  return bytes;
}

}  // namespace

Chip::Chip(ChipSpec spec, ChipLine& line, std::uint32_t seed, std::function<void()> switch_to_slave)
    : spec_(std::move(spec)),
      nor_(spec_.layout),
      qvs_(spec_.has_nand
               ? FactoryDrives(StorageBytes(spec_))
               : std::array<std::uint32_t, kQvsDriveCount>{static_cast<std::uint32_t>(
                                                               StorageBytes(spec_) /
                                                               QvsFileSystem::kBlockSize),
                                                           0, 0},
           *QvsSecondsOf(2010, 1, 1, 0, 0, 0)),
      switch_to_slave_(std::move(switch_to_slave)),
      boot_rom_(line, *this, seed),
      pre_loader_(line, *this),
      boot_loader_(line, *this),
      current_(&boot_rom_) {}

std::optional<NandGeometry> Chip::Nand() const {
  if (!spec_.has_nand || spec_.flash_id.size() != 10) return std::nullopt;
  return NandGeometryOf(static_cast<std::uint16_t>(spec_.flash_id[8] << 8 | spec_.flash_id[9]));
}

std::uint32_t Chip::QvsAreaBytes() const {
  return spec_.has_nand ? 0 : static_cast<std::uint32_t>(StorageBytes(spec_));
}

bool Chip::InQvsArea(std::uint32_t index) const {
  return !spec_.has_nand && index >= spec_.qvs_first_sector && index <= spec_.qvs_last_sector;
}

void Chip::Reset(Clock::time_point now) {
  pre_loader_.Start();
  boot_loader_.Start(0);
  boot_rom_.Start(now);
  current_ = &boot_rom_;
}

std::uint32_t Chip::LineBaud() const {
  if (current_ == &pre_loader_) return pre_loader_.Baud();
  if (current_ == &boot_loader_) return boot_loader_.Baud();
  return kBootBaud;
}

int Chip::BitsPerChar() const {
  bool boot_settings =
      current_ == &boot_rom_ || (current_ == &pre_loader_ && !pre_loader_.SpeedChosen());
  return boot_settings ? 11 : 10;
}

bool Chip::WantsConnectRequest(Clock::time_point now) const {
  return current_ == &boot_rom_ && boot_rom_.WantsConnectRequest(now);
}

void Chip::Tick(Clock::time_point now) {
  if (current_ == &boot_rom_) boot_rom_.Tick(now);
}

void Chip::EnterPreLoader() {
  pre_loader_.Start();
  current_ = &pre_loader_;
}

void Chip::EnterBootLoader(std::uint8_t speed_code) {
  boot_loader_.Start(speed_code);
  current_ = &boot_loader_;
}

}  // namespace phone_sim
