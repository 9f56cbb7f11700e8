// NOR sector tables of the two supported flash parts and the per-sector selection flags.
#pragma once

#include <cstdint>
#include <string>

struct SECTOR_INFO {
  std::uint32_t index;   // 0-based, rising with the address
  std::uint32_t size;    // in 16-bit words
  std::uint32_t offset;  // first word's offset from the flash base, in words
  std::uint32_t reserved1;
  std::uint32_t reserved2;
  std::uint32_t reserved3;
};

constexpr std::uint32_t kNorBase = 0x20000000;  // chip-select-0 base
constexpr int kSectorCountA = 259;              // VQM71RT44B, 32 MiB
constexpr int kSectorCountB = 263;              // VQD83LX52B, 16 MiB
constexpr int kMaxSectorCount = kSectorCountB;

extern SECTOR_INFO g_SectorTableA[kSectorCountA];
extern SECTOR_INFO g_SectorTableB[kSectorCountB];
// The table the flash ID chose (null until then) and its sector count.
extern SECTOR_INFO* g_pSectorTable;
extern int g_nSectorCount;
// 1 = sector selected, by sector index of the current table.
extern std::uint32_t g_SectorFlags[kMaxSectorCount];

// Fills both tables and clears the flags.
void BuildSectorTables();
// Index of the sector whose first byte lies at byteOffset from the flash base; -1 when no
// sector starts there or the table is empty.
int FindSectorIndex(const SECTOR_INFO* table, int count, std::uint32_t byteOffset);
// Size class of the sector starting at byteOffset: size in words 0x10000 -> 0, 0x8000 -> 1,
// 0x4000 -> 2, 0x2000 -> 3, any other -> 4; 5 when no sector starts there.
int GetSectorSizeClass(const SECTOR_INFO* table, int count, std::uint32_t byteOffset);
// "%03d: 0x%07X ~ 0x%07X (%2dKBytes)"
std::string FormatSectorRow(const SECTOR_INFO& s);
