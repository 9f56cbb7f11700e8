// One phone chip: its images, NOR flash and flash ID, and the program it runs
// (boot ROM, then pre-loader, then boot-loader).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "boot_loader.h"
#include "boot_rom.h"
#include "nor_flash.h"
#include "pre_loader.h"

namespace phone_sim {

enum class ChipId { kMaster, kSlave };

struct ChipSpec {
  std::string name;     // "master" or "slave"
  Bytes pre_loader;     // expected pre-loader image
  Bytes boot_loader;    // expected boot-loader image
  SectorLayout layout;  // NOR sectors
  Bytes flash_id;       // the 10 bytes of BL_FLASH_ID
};

// Master: PNX6512, NOR table A, device 0x2206, NAND ID 0x0034.
ChipSpec MasterChipSpec(Bytes pre_loader, Bytes boot_loader);
// Slave: PNX5231, NOR table B, device 0x2402, NOR only (0xE1D0).
ChipSpec SlaveChipSpec(Bytes pre_loader, Bytes boot_loader);

class Chip {
 public:
  // `switch_to_slave` is set on the master chip only: BL_SWITCH_SLAVE calls it.
  Chip(ChipSpec spec, ChipLine& line, std::uint32_t seed,
       std::function<void()> switch_to_slave = {});

  const std::string& Name() const { return spec_.name; }
  const Bytes& PreLoaderImage() const { return spec_.pre_loader; }
  const Bytes& BootLoaderImage() const { return spec_.boot_loader; }
  NorFlash& Nor() { return nor_; }
  const Bytes& FlashId() const { return spec_.flash_id; }
  void SetFlashId(Bytes id) { spec_.flash_id = std::move(id); }
  bool HasSlave() const { return static_cast<bool>(switch_to_slave_); }

  // Power on or reset: the boot ROM starts; RAM contents are lost, the NOR keeps its bytes.
  void Reset(Clock::time_point now);

  std::size_t Receive(ByteSpan bytes) { return current_->Receive(bytes); }
  bool AcceptsBaud(std::uint32_t baud) const { return current_->AcceptsBaud(baud); }
  std::string StateName() const { return current_->StateName(); }
  // The chip's own line settings: speed and bits per character (8E1 = 11 until the speed change).
  std::uint32_t LineBaud() const;
  int BitsPerChar() const;

  bool WantsConnectRequest(Clock::time_point now) const;
  void ConnectRequestSent(Clock::time_point now) { boot_rom_.ConnectRequestSent(now); }
  void Tick(Clock::time_point now);
  void SetExtraConnectRequests(int count) { boot_rom_.SetExtraConnectRequests(count); }

  // Called by the programs.
  void EnterPreLoader();
  void EnterBootLoader(std::uint8_t speed_code);
  void SwitchToSlave() { switch_to_slave_(); }

 private:
  ChipSpec spec_;
  NorFlash nor_;
  std::function<void()> switch_to_slave_;
  BootRom boot_rom_;
  PreLoader pre_loader_;
  BootLoader boot_loader_;
  Stage* current_;
};

}  // namespace phone_sim
