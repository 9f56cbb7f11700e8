#include "chip.h"

namespace phone_sim {

ChipSpec MasterChipSpec(Bytes pre_loader, Bytes boot_loader) {
  return {"master",
          std::move(pre_loader),
          std::move(boot_loader),
          MasterSectorLayout(),
          {0x00, 0xEC, 0x22, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x34}};
}

ChipSpec SlaveChipSpec(Bytes pre_loader, Bytes boot_loader) {
  return {"slave",
          std::move(pre_loader),
          std::move(boot_loader),
          SlaveSectorLayout(),
          {0x00, 0xEC, 0x24, 0x02, 0x00, 0x00, 0x00, 0x00, 0xE1, 0xD0}};
}

Chip::Chip(ChipSpec spec, ChipLine& line, std::uint32_t seed, std::function<void()> switch_to_slave)
    : spec_(std::move(spec)),
      nor_(spec_.layout),
      switch_to_slave_(std::move(switch_to_slave)),
      boot_rom_(line, *this, seed),
      pre_loader_(line, *this),
      boot_loader_(line, *this),
      current_(&boot_rom_) {}

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
