// NAND flash of the master chip: its geometry by the second device ID of BL_FLASH_ID, and its
// raw pages (512 data bytes + 16 spare bytes) as NAND_FULL_DUMP sends them.
//
// The pages are made on demand from the file system's image (QvsFileSystem::Image): page p
// holds image bytes p*512 .. p*512+511 (0xFF past the image's end) and the spare bytes
// 0-3 = p big-endian, 4 = sum8 of the 512 data bytes, 5-15 = 0xFF. Pages after the image are
// erased: all 528 bytes 0xFF. So no memory is held for the whole NAND.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "bytes.h"

namespace phone_sim {

inline constexpr std::size_t kNandPageData = 512;
inline constexpr std::size_t kNandPageSize = 528;

struct NandGeometry {
  std::uint16_t device_id;       // second device ID
  std::uint32_t data_bytes;      // capacity without the spare bytes
  std::uint8_t size_code;        // of NAND_FULL_DUMP and NAND_DUMP_CONTINUE
  std::uint32_t pages_per_unit;  // pages per acknowledged unit of a dump

  std::uint32_t Pages() const { return data_bytes / kNandPageData; }
  std::uint64_t FullBytes() const { return std::uint64_t{Pages()} * kNandPageSize; }
};

// 0x003C, 0x0034: 128 MiB, code 2, 4 pages a unit; 0x0024: 64 MiB, code 3, 4; 0x0014: 32 MiB,
// code 4, 2. nullopt for any other ID (no NAND the host knows: NOR only, 0xE1D0, among them).
std::optional<NandGeometry> NandGeometryOf(std::uint16_t second_id);

class NandImage {
 public:
  NandImage(NandGeometry geometry, Bytes image);

  const NandGeometry& Geometry() const { return geometry_; }
  // `count` raw pages from `first` (pages past the end are not made).
  Bytes Pages(std::uint32_t first, std::uint32_t count) const;
  // The whole raw NAND, written to a temporary file and renamed. Error text or "".
  std::string Save(const std::string& path) const;

 private:
  NandGeometry geometry_;
  Bytes image_;
};

}  // namespace phone_sim
