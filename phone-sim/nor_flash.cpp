#include "nor_flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "image_file.h"

namespace phone_sim {

SectorLayout::SectorLayout(std::vector<SectorRun> runs) : runs_(std::move(runs)) {
  for (const SectorRun& run : runs_) total_ += run.count * run.size;
}

std::uint32_t SectorLayout::SectorCount() const {
  std::uint32_t n = 0;
  for (const SectorRun& run : runs_) n += run.count;
  return n;
}

std::optional<Sector> SectorLayout::SectorAt(std::uint32_t offset) const {
  std::uint32_t start = 0;
  std::uint32_t index = 0;
  for (const SectorRun& run : runs_) {
    std::uint32_t run_size = run.count * run.size;
    if (offset - start < run_size) {
      std::uint32_t k = (offset - start) / run.size;
      return Sector{index + k, start + k * run.size, run.size};
    }
    start += run_size;
    index += run.count;
  }
  return std::nullopt;
}

std::uint32_t SectorLayout::StartOf(std::uint32_t index) const {
  std::uint32_t start = 0;
  for (const SectorRun& run : runs_) {
    if (index < run.count) return start + index * run.size;
    start += run.count * run.size;
    index -= run.count;
  }
  return start;
}

SectorLayout MasterSectorLayout() { return SectorLayout({{255, 0x20000}, {4, 0x8000}}); }

SectorLayout SlaveSectorLayout() { return SectorLayout({{255, 0x10000}, {8, 0x2000}}); }

NorFlash::NorFlash(SectorLayout layout)
    : layout_(std::move(layout)), bytes_(layout_.TotalSize(), 0xFF) {}

Bytes NorFlash::Read(std::uint64_t offset, std::size_t length) const {
  Bytes out(length, 0xFF);
  if (offset < bytes_.size()) {
    std::size_t n = std::min<std::uint64_t>(length, bytes_.size() - offset);
    std::copy_n(bytes_.begin() + offset, n, out.begin());
  }
  return out;
}

std::size_t NorFlash::Write(std::uint64_t offset, ByteSpan data) {
  if (offset >= bytes_.size()) return 0;
  std::size_t n = std::min<std::uint64_t>(data.size(), bytes_.size() - offset);
  std::copy_n(data.begin(), n, bytes_.begin() + offset);
  return n;
}

std::optional<Sector> NorFlash::EraseSectorAt(std::uint32_t offset) {
  std::optional<Sector> sector = layout_.SectorAt(offset);
  if (sector) std::fill_n(bytes_.begin() + sector->start, sector->size, 0xFF);
  return sector;
}

void NorFlash::EraseAll() { std::fill(bytes_.begin(), bytes_.end(), 0xFF); }

std::string NorFlash::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot open " + path + ": " + std::strerror(errno);
  Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return "cannot read " + path;
  if (data.size() > bytes_.size()) {
    return path + " holds " + std::to_string(data.size()) + " bytes, more than the NOR's " +
           std::to_string(bytes_.size());
  }
  EraseAll();
  std::copy(data.begin(), data.end(), bytes_.begin());
  return "";
}

std::string NorFlash::Save(const std::string& path) const {
  return WriteFileAtomically(path, [this](std::ostream& out) {
    out.write(reinterpret_cast<const char*>(bytes_.data()),
              static_cast<std::streamsize>(bytes_.size()));
  });
}

}  // namespace phone_sim
