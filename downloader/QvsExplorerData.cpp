#include "QvsExplorerData.h"

#include <cstdio>

namespace qvsx {

namespace {

std::uint32_t Be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

std::uint32_t Be16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0]) << 8 | p[1]; }

template <typename... Args>
void AppendF(std::string& out, const char* fmt, Args... args) {
  char line[160];
  int n = std::snprintf(line, sizeof(line), fmt, args...);
  if (n > 0) out.append(line, static_cast<std::size_t>(n) < sizeof(line) ? n : sizeof(line) - 1);
}

// year, month, day, hour, minute, two-second count of an MS-DOS date-time.
void AppendDateTime(std::string& out, std::uint32_t v) {
  AppendF(out, "%04lu:%02lu:%02lu %02lu:%02lu:%02lu \r\n", 1980ul + (v >> 25),
          static_cast<unsigned long>((v >> 21) & 0x0F),
          static_cast<unsigned long>((v >> 16) & 0x1F),
          static_cast<unsigned long>((v >> 11) & 0x1F), static_cast<unsigned long>((v >> 5) & 0x3F),
          static_cast<unsigned long>(v & 0x1F));
}

}  // namespace

bool ListDirFrame(std::string_view utf8Path, std::vector<std::uint8_t>& out) {
  if (utf8Path.empty() || utf8Path.size() > 255) return false;
  out.assign({kListDir, static_cast<std::uint8_t>(utf8Path.size())});
  out.insert(out.end(), utf8Path.begin(), utf8Path.end());
  return true;
}

bool NameFrame(std::uint8_t command, std::string_view utf8Name, std::vector<std::uint8_t>& out) {
  std::size_t n = utf8Name.size() + 1;
  if (utf8Name.empty() || n > kMaxNameBytes) return false;
  out.assign({command, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  out.insert(out.end(), utf8Name.begin(), utf8Name.end());
  out.push_back(0);
  return true;
}

std::vector<std::uint8_t> NandContinueFrame(std::uint8_t sizeCode, std::uint32_t firstPage) {
  return {kNandDumpContinue, sizeCode, static_cast<std::uint8_t>(firstPage >> 16),
          static_cast<std::uint8_t>(firstPage >> 8), static_cast<std::uint8_t>(firstPage)};
}

bool ParseDirRecord(std::span<const std::uint8_t> record, DirRecord& out, std::string& error) {
  out = DirRecord{};
  if (record.empty()) {
    error = "empty record";
    return false;
  }
  if (record.size() > kRecordBufferSize) {
    error = "record of " + std::to_string(record.size()) + " bytes";
    return false;
  }
  out.kind = record[0];
  for (std::size_t i = 1; i < record.size(); ++i) {
    if (record[i] == 0) {
      out.name.assign(reinterpret_cast<const char*>(record.data() + 1), i - 1);
      return true;
    }
  }
  error = "name without its zero byte";
  return false;
}

void RecordReader::Start(std::uint8_t lengthByte) {
  expected_ = std::size_t{lengthByte} + 1;  // at most 256: always fits the buffer
  count_ = 0;
}

bool RecordReader::Put(std::uint8_t b) {
  if (count_ < expected_ && count_ < kRecordBufferSize) buffer_[count_++] = b;
  return count_ >= expected_;
}

std::string FileStatusText(std::span<const std::uint8_t, kFileStatusLength> r) {
  std::string out;
  AppendF(out, "\n*File mode : 0x%x \r\n", Be32(&r[0]));
  AppendF(out, "*File i node : 0x%x \r\n", Be32(&r[4]));
  AppendF(out, "*File dev ID: 0x%x \r\n", Be16(&r[8]));
  AppendF(out, "*File dummy entry : 0x%x \r\n", Be16(&r[10]));
  AppendF(out, "*File size : %d byte\r\n", static_cast<int>(Be32(&r[12])));
  std::uint32_t access = Be32(&r[16]);
  AppendF(out, "*File last access time : 0x%x \r\n", access);
  AppendF(out, "%04lu:%02lu:%02lu \r\n", 1980ul + ((access >> 9) & 0x7F),
          static_cast<unsigned long>((access >> 5) & 0x0F),
          static_cast<unsigned long>(access & 0x1F));
  std::uint32_t modified = Be32(&r[20]);
  AppendF(out, "*File last modification time : 0x%x \r\n", modified);
  AppendDateTime(out, modified);
  std::uint32_t changed = Be32(&r[24]);
  AppendF(out, "*File last status change time : 0x%x \r\n", changed);
  AppendDateTime(out, changed);
  return out;
}

std::optional<NandDumpGeometry> NandDumpGeometryOf(std::uint16_t secondDeviceId) {
  switch (secondDeviceId) {
    case 0x003C:
    case 0x0034:
      return NandDumpGeometry{0x8400000, 2, 4};
    case 0x0024:
      return NandDumpGeometry{0x4200000, 3, 4};
    case 0x0014:
      return NandDumpGeometry{0x2100000, 4, 2};
    default:
      return std::nullopt;
  }
}

NandResumePoint NandResume(std::uint64_t fileLength, const NandDumpGeometry& nand) {
  NandResumePoint r;
  std::uint64_t blocks = fileLength / nand.BlockBytes();
  std::uint64_t keptBlocks = blocks > 0 ? blocks - 1 : 0;
  std::uint64_t pages = keptBlocks * kUnitsPerBlock * nand.pagesPerUnit;
  r.bytesKept = pages * kNandPageBytes;
  if (r.bytesKept >= nand.fullSize) {
    r.tooLarge = true;
    return r;
  }
  r.pagesKept = static_cast<std::uint32_t>(pages);
  return r;
}

}  // namespace qvsx
