// NOR flash of one chip: its bytes (erased = 0xFF) and its physical sector layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"

namespace phone_sim {

struct SectorRun {
  std::uint32_t count;
  std::uint32_t size;  // bytes
};

struct Sector {
  std::uint32_t index;
  std::uint32_t start;  // byte offset from the NOR base
  std::uint32_t size;
};

class SectorLayout {
 public:
  explicit SectorLayout(std::vector<SectorRun> runs);

  std::uint32_t TotalSize() const { return total_; }
  std::uint32_t SectorCount() const;
  // The sector holding byte offset `offset`; nullopt past the end.
  std::optional<Sector> SectorAt(std::uint32_t offset) const;
  // Byte offset of sector `index` (TotalSize() past the last one).
  std::uint32_t StartOf(std::uint32_t index) const;

 private:
  std::vector<SectorRun> runs_;
  std::uint32_t total_ = 0;
};

// Master NOR: 255 sectors of 128 KiB, then 4 of 32 KiB (32 MiB).
SectorLayout MasterSectorLayout();
// Slave NOR: 255 sectors of 64 KiB, then 8 of 8 KiB (16 MiB).
SectorLayout SlaveSectorLayout();

class NorFlash {
 public:
  explicit NorFlash(SectorLayout layout);

  const SectorLayout& Layout() const { return layout_; }
  std::size_t Size() const { return bytes_.size(); }

  // `length` bytes from `offset`; 0xFF for bytes past the end.
  Bytes Read(std::uint64_t offset, std::size_t length) const;
  // Replaces bytes from `offset`; returns how many fitted (the rest is past the end).
  std::size_t Write(std::uint64_t offset, ByteSpan data);
  // Erases the sector holding `offset`; nullopt (nothing erased) past the end.
  std::optional<Sector> EraseSectorAt(std::uint32_t offset);
  void EraseAll();

  // A file of at most Size() bytes; the rest of the NOR stays erased. Error text or "".
  std::string Load(const std::string& path);
  // The whole NOR, written to a temporary file and renamed. Error text or "".
  std::string Save(const std::string& path) const;

 private:
  SectorLayout layout_;
  Bytes bytes_;
};

}  // namespace phone_sim
