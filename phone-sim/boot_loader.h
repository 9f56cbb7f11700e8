// The boot-loader in RAM: flash base and ID, NOR write in 2048-byte pieces, sector erase,
// 8192-byte dumps, and on the master chip the hand-over of the line to the slave chip.
#pragma once

#include <cstdint>
#include <optional>

#include "stage.h"

namespace phone_sim {

class Chip;

class BootLoader : public Stage {
 public:
  static constexpr std::size_t kPieceSize = 2048;
  static constexpr std::size_t kDumpBlockSize = 8192;

  BootLoader(ChipLine& line, Chip& chip);

  void Start(std::uint8_t speed_code);
  bool AcceptsBaud(std::uint32_t baud) const override { return baud == Baud(); }
  std::string StateName() const override;
  std::uint32_t Baud() const { return *BaudOfSpeedCode(speed_code_); }

 private:
  void SetCs0Base(ByteSpan params);
  void FlashId();
  void Sync();
  void SetOffset(ByteSpan params);
  void SetLength(ByteSpan params);
  void Write(const std::string& name, std::uint32_t sector_size, ByteSpan params);
  void NextPiece();
  void Erase(ByteSpan params);
  void Dump(ByteSpan params);
  void SwitchSlave();

  struct SectorWrite {
    std::string name;
    std::uint32_t address;
    std::size_t length;
    std::size_t received = 0;
    std::size_t pieces = 0;
    std::size_t dropped = 0;  // bytes past the end of the NOR
    std::uint8_t sum = 0;
  };

  Chip& chip_;
  std::uint8_t speed_code_ = 0;
  std::optional<std::uint32_t> cs0_base_;
  std::uint32_t offset_ = 0;
  std::uint32_t remaining_ = 0;  // bytes announced by SET_LENGTH and not yet written
  std::optional<SectorWrite> write_;
};

}  // namespace phone_sim
