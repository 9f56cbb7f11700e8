#include "FlashId.h"

#include <cwchar>

#include "SectorInfo.h"

namespace {

std::uint16_t BigEndian16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

const wchar_t* NandText(std::uint16_t id) {
  switch (id) {
    case 0x0004:
      return L" ONE 128M NAND FLASH \r\n";
    case 0x0014:
      return L" ONE 256M NAND FLASH \r\n";
    case 0x0024:
      return L" ONE 512M NAND FLASH \r\n";
    case 0x0034:
      return L" ONE 1G NAND FLASH  \r\n";
    case 0x003C:
      return L" TWO 1G NAND FLASH \r\n";
    case 0xE1D0:
      return L" NOR FLASH\r\n";
    default:
      return nullptr;
  }
}

}  // namespace

FlashIdResult EvaluateFlashId(std::span<const std::uint8_t, 10> id) {
  FlashIdResult r;
  r.manufacturer = BigEndian16(&id[0]);
  r.device = BigEndian16(&id[2]);
  r.secondId = BigEndian16(&id[8]);
  r.supported = true;
  if (r.manufacturer == 0x00EC && (r.device == 0x2206 || r.device == 0x22FC)) {
    r.partText = L"VQM71RT44B";
    r.sectorCount = kSectorCountA;
  } else if (r.manufacturer == 0x00EC && r.device == 0x2402) {
    r.partText = L"Flash_VQD83LX52B";
    r.sectorCount = kSectorCountB;
  } else {
    r.partText = L"Not Supported FLASH";
    r.supported = false;
  }
  if (const wchar_t* nand = NandText(r.secondId)) {
    r.nandText = nand;
  } else {
    wchar_t buf[64];
    std::swprintf(buf, 64, L"not supported NAND FLASH(DevID:%x)\r\n", r.secondId);
    r.nandText = buf;
    r.partText = L"Not Supported NAND FLASH";
    r.supported = false;
  }
  if (!r.supported) r.sectorCount = 0;
  return r;
}
