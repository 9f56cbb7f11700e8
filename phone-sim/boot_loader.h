// The boot-loader in RAM: flash base and ID, NOR write in 2048-byte pieces, sector erase,
// 8192-byte dumps, the QVS commands (qvs_commands.h), power-on, and on the master chip the
// hand-over of the line to the slave chip.
//
// A write command takes min(its sector size, bytes still announced by SET_LENGTH): whole
// pieces of 2048 bytes, the last one shorter when the announced length ends there; each piece
// is answered by its sum8, the sector by the sum8 of all its bytes. BL_SET_CHECKSUM announces
// the CRC-32 of what follows (FF FF FF FF: none); BL_DOWNLOAD_END is answered 0xC6 when every
// announced byte came and the CRC-32 of the bytes written since matches, else ~0xC6 (0x39).
// BL_POWER_ON starts the phone afresh (both chips in their boot ROMs, master on the line).
#pragma once

#include <cstdint>
#include <optional>

#include "qvs_commands.h"
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
  const QvsCommands& Qvs() const { return qvs_; }

 protected:
  bool OnCommandByte(std::uint8_t byte) override { return qvs_.OnCommandByte(byte); }

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
  void SetChecksum(ByteSpan params);
  void DownloadEnd();
  void PowerOn();

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
  std::optional<std::uint32_t> checksum_;  // announced CRC-32 of the data written since
  Crc32 crc_;
  QvsCommands qvs_;
};

}  // namespace phone_sim
