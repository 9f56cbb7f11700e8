#include "QvsFrames.h"

namespace qvs {
namespace {

std::uint8_t SumFrom(const std::vector<std::uint8_t>& bytes, std::size_t first) {
  std::uint8_t sum = 0;
  for (std::size_t i = first; i < bytes.size(); ++i)
    sum = static_cast<std::uint8_t>(sum + bytes[i]);
  return sum;
}

void PutBe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bool NameFrame(std::uint8_t command, std::string_view name, std::size_t max, QvsFrame& out) {
  if (name.empty() || name.size() > max) return false;
  out.bytes.clear();
  out.bytes.push_back(command);
  PutBe(out.bytes, static_cast<std::uint32_t>(name.size()), 2);
  out.bytes.insert(out.bytes.end(), name.begin(), name.end());
  return true;
}

}  // namespace

bool MakeDirFrame(std::string_view utf8Name, QvsFrame& out) {
  if (!NameFrame(kQvsMakeDir, utf8Name, kQvsMaxDirName, out)) return false;
  out.reply = SumFrom(out.bytes, 1);
  return true;
}

bool AddFileFrame(std::string_view utf8Name, std::uint32_t size, QvsFrame& out) {
  if (!NameFrame(kQvsAddFile, utf8Name, kQvsMaxFileName, out)) return false;
  PutBe(out.bytes, size, 4);
  out.reply = SumFrom(out.bytes, 1);
  return true;
}

QvsFrame SetChecksumFrame(std::uint32_t crc) {
  QvsFrame f;
  f.bytes.push_back(kQvsSetChecksum);
  PutBe(f.bytes, crc, 4);
  f.reply = SumFrom(f.bytes, 1);
  return f;
}

QvsFrame SetTimeFrame(const std::tm& local) {
  QvsFrame f;
  f.bytes = {kQvsSetTime, 0, 0, 0};
  for (int v : {local.tm_sec, local.tm_min, local.tm_hour, local.tm_mday, local.tm_mon + 1,
                local.tm_year + 1900})
    PutLe32(f.bytes, static_cast<std::uint32_t>(v));
  f.reply = SumFrom(f.bytes, 1);
  return f;
}

QvsFrame WriteVersionFrame(const QvsVersion& version) {
  QvsFrame f;
  f.bytes.push_back(kQvsWriteVersion);
  f.bytes.insert(f.bytes.end(), version.begin(), version.end());
  f.reply = kQvsRecordDone;
  return f;
}

QvsFrame ReleaseFrame(const std::optional<QvsRelease>& release) {
  QvsFrame f;
  if (release) {
    f.bytes.push_back(kQvsWriteRelease);
    f.bytes.insert(f.bytes.end(), release->begin(), release->end());
  } else {
    f.bytes.push_back(kQvsNoRelease);
  }
  f.reply = kQvsRecordDone;
  return f;
}

std::size_t NextBlockSize(std::uint32_t& remaining, bool& last) {
  std::size_t take = remaining >= kQvsBlockSize ? kQvsBlockSize : remaining;
  remaining -= static_cast<std::uint32_t>(take);
  last = take < kQvsBlockSize;
  return take;
}

std::vector<std::size_t> BlockSizes(std::uint32_t fileSize) {
  std::vector<std::size_t> sizes;
  bool last = false;
  while (!last) sizes.push_back(NextBlockSize(fileSize, last));
  return sizes;
}

QvsFrame DataBlockFrame(std::span<const std::uint8_t> data, bool last) {
  QvsFrame f;
  f.bytes.reserve(data.size() + 1);
  f.bytes.push_back(kQvsDataBlock);
  f.bytes.insert(f.bytes.end(), data.begin(), data.end());
  f.reply = last ? kQvsFileDone : SumFrom(f.bytes, 1);
  return f;
}

bool FormatFrame(std::uint32_t aDriveBlocks, QvsFrame& out) {
  std::uint64_t sectors = std::uint64_t{aDriveBlocks} * 8 + 21888;
  if (sectors > 0xFFFFFF) return false;
  out.bytes = {kQvsFormat};
  PutBe(out.bytes, static_cast<std::uint32_t>(sectors), 3);
  out.reply = kQvsFormatDone;
  return true;
}

bool NandCapacity(std::uint16_t secondDeviceId, std::uint32_t& bytes) {
  switch (secondDeviceId) {
    case 0x003C:
    case 0x0034:
      bytes = 0x8000000;
      return true;
    case 0x0024:
      bytes = 0x4000000;
      return true;
    case 0x0014:
      bytes = 0x2000000;
      return true;
    default:
      return false;
  }
}

}  // namespace qvs
