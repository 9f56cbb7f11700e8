// Evaluation of the boot-loader's flash ID: the part, the NAND and the NOR sector table.
#pragma once

#include <cstdint>
#include <span>
#include <string>

struct FlashIdResult {
  bool supported = false;
  std::uint16_t manufacturer = 0;
  std::uint16_t device = 0;
  std::uint16_t secondId = 0;  // the NAND part, or 0xE1D0 for NOR only
  std::wstring partText;       // for the flash-ID box
  std::wstring nandText;       // for the message box
  int sectorCount = 0;         // 259 or 263; 0 when the part is not supported
};

// The 10 bytes of the BL_FLASH_ID reply.
FlashIdResult EvaluateFlashId(std::span<const std::uint8_t, 10> id);
