// One phone chip: its images, NOR flash and flash ID, and the program it runs
// (boot ROM, then pre-loader, then boot-loader).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "boot_loader.h"
#include "boot_rom.h"
#include "nand_flash.h"
#include "nor_flash.h"
#include "pre_loader.h"
#include "qvs_file_system.h"

namespace phone_sim {

enum class ChipId { kMaster, kSlave };

struct ChipSpec {
  std::string name;     // "master" or "slave"
  Bytes pre_loader;     // expected pre-loader image
  Bytes boot_loader;    // expected boot-loader image
  SectorLayout layout;  // NOR sectors
  Bytes flash_id;       // the 10 bytes of BL_FLASH_ID
  Bytes chip_version;   // the 4 bytes of PRE_CHIP_VERSION
  bool has_nand;        // the file system is on a NAND (else in the NOR sectors below)
  std::uint32_t qvs_first_sector = 0, qvs_last_sector = 0;  // NOR area of the file system
};

// A QVS_FORMAT failure armed by the control command.
struct QvsFormatFailure {
  std::uint8_t function;
  std::uint32_t error;
};

// Master: PNX6512, NOR table A, device 0x2206, NAND ID 0x0034, chip version 65 12 00 05.
ChipSpec MasterChipSpec(Bytes pre_loader, Bytes boot_loader);
// Slave: PNX5231, NOR table B, device 0x2402, NOR only (0xE1D0), chip version 52 31 00 05,
// file system in NOR sectors 224-230.
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
  const Bytes& ChipVersion() const { return spec_.chip_version; }
  bool HasSlave() const { return static_cast<bool>(switch_to_slave_); }

  QvsFileSystem& Qvs() { return qvs_; }
  bool HasNand() const { return spec_.has_nand; }
  // The NAND by the second device ID of the flash ID (nullopt without a NAND or for an ID
  // the phone does not know).
  std::optional<NandGeometry> Nand() const;
  // Bytes of the NOR sectors holding the file system (0 on a chip with a NAND).
  std::uint32_t QvsAreaBytes() const;
  // Whether NOR sector `index` holds the file system.
  bool InQvsArea(std::uint32_t index) const;
  const std::optional<QvsFormatFailure>& FormatFailure() const { return format_failure_; }
  void SetFormatFailure(std::optional<QvsFormatFailure> failure) { format_failure_ = failure; }

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
  QvsFileSystem qvs_;
  std::optional<QvsFormatFailure> format_failure_;
  std::function<void()> switch_to_slave_;
  BootRom boot_rom_;
  PreLoader pre_loader_;
  BootLoader boot_loader_;
  Stage* current_;
};

}  // namespace phone_sim
