// libFuzzer target of the downloader's readers of phone replies and its file texts: the flash
// ID, directory records as they arrive byte by byte, the file status record, the NAND dump's
// resume point, the address edits, the NOR sector lookup, the history entries and the QVS
// frames. Any bytes; each result is checked against what the input itself says.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "FlashId.h"
#include "HexText.h"
#include "HistoryText.h"
#include "KestaFrames.h"
#include "PathHistory.h"
#include "QvsExplorerData.h"
#include "QvsFrames.h"
#include "SectorInfo.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// The input as a stream: bytes past its end read as zero.
struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  std::uint8_t Byte() { return at < size ? data[at++] : 0; }
  std::uint64_t Number(int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | Byte();
    return v;
  }
  std::span<const std::uint8_t> Rest() const {
    return at < size ? std::span(data + at, size - at) : std::span<const std::uint8_t>{};
  }
};

void FlashIdReply(Input& in) {
  std::uint8_t id[10];
  for (auto& b : id) b = in.Byte();
  const FlashIdResult r = EvaluateFlashId(std::span<const std::uint8_t, 10>(id));
  Check(r.manufacturer == (id[0] << 8 | id[1]) && r.secondId == (id[8] << 8 | id[9]));
  Check(r.supported ? (r.sectorCount == kSectorCountA || r.sectorCount == kSectorCountB)
                    : r.sectorCount == 0);
  Check(!r.partText.empty() && r.nandText.size() >= 2 &&
        r.nandText.compare(r.nandText.size() - 2, 2, L"\r\n") == 0);
}

// Directory records as the explorer collects them: a length byte, then that many bytes + 1.
void DirectoryRecords(Input& in) {
  qvsx::RecordReader reader;
  for (int records = 0; records < 4 && in.at < in.size; ++records) {
    const std::uint8_t length = in.Byte();
    reader.Start(length);
    std::size_t fed = 0;
    bool done = false;
    while (!done && in.at < in.size) {
      done = reader.Put(in.Byte());
      ++fed;
    }
    Check(done == (fed == std::size_t{length} + 1));
    Check(reader.Record().size() == fed);
    qvsx::DirRecord record;
    std::string error;
    if (qvsx::ParseDirRecord(reader.Record(), record, error)) {
      Check(record.kind == reader.Record()[0] && record.name.size() + 2 <= fed);
      Check(record.name.find('\0') == std::string::npos);
    } else {
      Check(!error.empty());
    }
  }
}

void FileStatus(Input& in) {
  std::uint8_t record[qvsx::kFileStatusLength];
  for (auto& b : record) b = in.Byte();
  const std::string text =
      qvsx::FileStatusText(std::span<const std::uint8_t, qvsx::kFileStatusLength>(record));
  Check(text.find("*File size : ") != std::string::npos &&
        text.find("*File last status change time") != std::string::npos);
}

void NandResume(Input& in) {
  const auto nand = qvsx::NandDumpGeometryOf(static_cast<std::uint16_t>(in.Number(2)));
  const std::uint64_t length = in.Number(8) >> (in.Byte() % 40);
  if (!nand) return;
  const qvsx::NandResumePoint r = qvsx::NandResume(length, *nand);
  Check(r.bytesKept <= length);
  if (r.tooLarge) {
    Check(r.bytesKept >= nand->fullSize);
    return;
  }
  Check(r.bytesKept < nand->fullSize && r.bytesKept % nand->BlockBytes() == 0);
  Check(std::uint64_t{r.pagesKept} * qvsx::kNandPageBytes == r.bytesKept);
  Check(length < nand->BlockBytes() || length - r.bytesKept >= nand->BlockBytes());
}

void AddressEdit(Input& in) {
  std::wstring text;
  for (std::uint8_t n = in.Byte() % 24; n > 0; --n) text += static_cast<wchar_t>(in.Byte());
  ParseHex(text);
  std::uint32_t offset = 0;
  if (ParseStartAddress(text, offset)) Check(offset <= 0x0FFFFFFF);
}

void SectorLookup(Input& in) {
  const std::uint32_t byteOffset = static_cast<std::uint32_t>(in.Number(4)) >> (in.Byte() % 8);
  const SECTOR_INFO* tables[] = {g_SectorTableA, g_SectorTableB};
  const int counts[] = {kSectorCountA, kSectorCountB};
  for (int t = 0; t < 2; ++t) {
    const int index = FindSectorIndex(tables[t], counts[t], byteOffset);
    const int sizeClass = GetSectorSizeClass(tables[t], counts[t], byteOffset);
    Check(index < counts[t] && (index < 0) == (sizeClass == 5));
    if (index >= 0) Check(tables[t][index].offset * 2 == byteOffset);
    kesta::SectorWriteCommand command;
    Check(kesta::WriteCommandForClass(sizeClass, command) == (sizeClass != 5));
  }
}

void History(Input& in) {
  const int type = in.Byte() % 8;
  const int number = static_cast<int>(in.Number(4));
  std::string path;
  for (std::uint8_t n = in.Byte(); n > 0 && in.at < in.size; --n)
    path += static_cast<char>(in.Byte());
  std::vector<std::uint32_t> flags(kMaxSectorCount);
  std::size_t set = 0;
  for (auto& f : flags) set += (f = in.Byte() & 1);
  const std::string entry = HistoryEntry(type, number, "12-10  21:35:24 ", path, flags);
  if (type < kHistoryBin || type > kHistoryDump) return Check(entry.empty());
  Check(entry.starts_with(std::to_string(number) + ". 12-10  21:35:24  ") &&
        entry.ends_with("\r\n"));
  if (type == kHistoryErase || type == kHistoryDump) {
    std::size_t numbers = 0;
    const std::size_t from = type == kHistoryErase ? entry.rfind(':') + 1 : entry.rfind("=> ") + 3;
    for (std::size_t i = from; i < entry.size(); ++i) numbers += entry[i] == ' ';
    Check(numbers == set);
  }
  Check(ElapsedMinSec(static_cast<std::int64_t>(in.Number(8))).size() == 5);
  std::wstring qvs(path.begin(), path.end());
  const std::wstring cfg = CfgNameFor(qvs);
  Check(cfg.empty() || cfg.ends_with(L".cfg"));
}

void Frames(Input& in) {
  const std::uint32_t size = static_cast<std::uint32_t>(in.Number(3));
  std::uint64_t total = 0;
  const std::vector<std::size_t> blocks = qvs::BlockSizes(size);
  for (std::size_t b : blocks) total += b;
  Check(total == size && !blocks.empty() && blocks.back() < qvs::kQvsBlockSize);
  qvs::QvsFrame frame;
  if (qvs::FormatFrame(static_cast<std::uint32_t>(in.Number(4)), frame))
    Check(frame.bytes.size() == 4 && frame.bytes[0] == qvs::kQvsFormat);
  std::uint32_t capacity = 0;
  qvs::NandCapacity(static_cast<std::uint16_t>(in.Number(2)), capacity);
  const std::span<const std::uint8_t> rest = in.Rest();
  const std::string_view name(reinterpret_cast<const char*>(rest.data()), rest.size());
  std::vector<std::uint8_t> out;
  if (qvsx::ListDirFrame(name, out)) Check(out.size() == name.size() + 2);
  if (qvsx::NameFrame(qvsx::kReadFile, name, out)) Check(out.size() == name.size() + 4);
  if (qvs::MakeDirFrame(name, frame)) Check(frame.bytes.size() == name.size() + 3);
  if (qvs::AddFileFrame(name, size, frame)) Check(frame.bytes.size() == name.size() + 7);
  frame = qvs::DataBlockFrame(rest.first(std::min(rest.size(), qvs::kQvsBlockSize)), false);
  Check(frame.reply == kesta::Sum8({frame.bytes.data() + 1, frame.bytes.size() - 1}));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  BuildSectorTables();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  // The first byte picks the reader; the rest is its input.
  switch (in.Byte() % 8) {
    case 0:
      FlashIdReply(in);
      break;
    case 1:
      DirectoryRecords(in);
      break;
    case 2:
      FileStatus(in);
      break;
    case 3:
      NandResume(in);
      break;
    case 4:
      AddressEdit(in);
      break;
    case 5:
      SectorLookup(in);
      break;
    case 6:
      History(in);
      break;
    default:
      Frames(in);
      break;
  }
  return 0;
}
