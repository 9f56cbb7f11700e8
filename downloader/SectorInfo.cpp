#include "SectorInfo.h"

#include <cstdio>
#include <cstring>

SECTOR_INFO g_SectorTableA[kSectorCountA];
SECTOR_INFO g_SectorTableB[kSectorCountB];
SECTOR_INFO* g_pSectorTable = nullptr;
int g_nSectorCount = 0;
std::uint32_t g_SectorFlags[kMaxSectorCount];

namespace {

void Fill(SECTOR_INFO* table, int count, int bigCount, std::uint32_t bigWords,
          std::uint32_t smallWords) {
  std::uint32_t offset = 0;
  for (int i = 0; i < count; ++i) {
    std::uint32_t size = i < bigCount ? bigWords : smallWords;
    table[i] = SECTOR_INFO{static_cast<std::uint32_t>(i), size, offset, 0, 0, 0};
    offset += size;
  }
}

}  // namespace

void BuildSectorTables() {
  std::memset(g_SectorFlags, 0, sizeof(g_SectorFlags));
  Fill(g_SectorTableA, kSectorCountA, 255, 0x10000, 0x4000);
  Fill(g_SectorTableB, kSectorCountB, 255, 0x8000, 0x1000);
}

int FindSectorIndex(const SECTOR_INFO* table, int count, std::uint32_t byteOffset) {
  if (!table || count <= 0 || (byteOffset & 1)) return -1;
  for (int i = 0; i < count; ++i) {
    if (table[i].offset * 2 == byteOffset) return static_cast<int>(table[i].index);
  }
  return -1;
}

int GetSectorSizeClass(const SECTOR_INFO* table, int count, std::uint32_t byteOffset) {
  int index = FindSectorIndex(table, count, byteOffset);
  if (index < 0) return 5;
  switch (table[index].size) {
    case 0x10000:
      return 0;
    case 0x8000:
      return 1;
    case 0x4000:
      return 2;
    case 0x2000:
      return 3;
    default:
      return 4;
  }
}

std::string FormatSectorRow(const SECTOR_INFO& s) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%03d: 0x%07X ~ 0x%07X (%2dKBytes)", static_cast<int>(s.index),
                kNorBase + 2 * s.offset, kNorBase + 2 * (s.offset + s.size) - 1,
                static_cast<int>(2 * s.size / 1024));
  return buf;
}
