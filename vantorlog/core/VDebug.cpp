#include "VDebug.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "VMemory.h"
#include "VTextUtils.h"

#ifdef _WIN32
// The one system call of this unit, declared here so that the unit needs no windows.h.
extern "C" __declspec(dllimport) unsigned long __stdcall GetModuleFileNameA(void* module,
                                                                            char* file_name,
                                                                            unsigned long size);
#endif

namespace {

std::uint16_t Get16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint32_t Get32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// length bytes at offset lie inside size bytes.
bool Fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

const std::uint8_t* At(VCore::TModuleHandle module, std::uint64_t offset) {
  return reinterpret_cast<const std::uint8_t*>(module + static_cast<std::uintptr_t>(offset));
}

bool Readable(const void* address, std::size_t length) {
  return VDebug::DebugHost().ReadableBytes(address, length) >= length;
}

[[noreturn]] void AssertionFailure() { throw EAssertionFailed("Assertion failure"); }

VDebug::TVLDebugHost default_host;
VDebug::TVLDebugHost* current_host = &default_host;

}  // namespace

// ---- system services ----------------------------------------------------------------------

namespace VDebug {

std::string TVLDebugHost::ModuleFileName(VCore::TModuleHandle module) {
#ifdef _WIN32
  char buffer[261];
  const unsigned long n = GetModuleFileNameA(reinterpret_cast<void*>(module), buffer, 260);
  return std::string(buffer, n > 260 ? 260 : n);
#else
  (void)module;
  return {};
#endif
}

bool TVLDebugHost::FileExists(const std::string& file_name) {
  struct stat info;
  return !file_name.empty() && stat(file_name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool TVLDebugHost::LoadFileToStream(TMemoryStream& stream, const std::string& file_name) {
  std::FILE* file = std::fopen(file_name.c_str(), "rb");
  if (!file) return false;
  stream.Clear();
  char chunk[65536];
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, file);
    if (n == 0) break;
    stream.WriteBuffer(chunk, static_cast<std::int32_t>(n));
  }
  const bool ok = !std::ferror(file);
  std::fclose(file);
  stream.SetPosition(0);
  if (!ok) stream.Clear();
  return ok;
}

std::size_t TVLDebugHost::ReadableBytes(const void* address, std::size_t length) {
  return VCore::ReadableBytes(address, length);
}

TVLDebugHost& DebugHost() { return *current_host; }

TVLDebugHost* SetDebugHost(TVLDebugHost* host) {
  TVLDebugHost* previous = current_host;
  current_host = host ? host : &default_host;
  return previous;
}

bool LoadFileToStream(TMemoryStream& stream, const std::string& file_name) {
  return DebugHost().LoadFileToStream(stream, file_name);
}

int CompareUnsigned(std::uint32_t entry_key, std::uint32_t key) {
  return entry_key < key ? -1 : (entry_key > key ? 1 : 0);
}

int SearchSorted(const void* array, std::size_t entry_size, int count, bool nearest,
                 std::uint32_t key, TKeyCompare compare) {
  if (!array) return -1;
  const auto* entries = static_cast<const std::uint8_t*>(array);
  int lo = 0;
  int hi = count - 1;
  while (lo <= hi) {
    const int middle = lo + (hi - lo) / 2;
    const int c = compare(Get32(entries + static_cast<std::size_t>(middle) * entry_size), key);
    if (c < 0)
      lo = middle + 1;
    else if (c == 0)
      return middle;
    else
      hi = middle - 1;
  }
  return nearest && hi >= 0 ? hi : -1;
}

bool PickDebugSource(VCore::TModuleHandle module, std::unique_ptr<TVLDebugInfoSource>& source) {
  if (source) return false;
  using TFactory = std::unique_ptr<TVLDebugInfoSource> (*)(VCore::TModuleHandle);
  static const TFactory kReaders[] = {&TVLDebugInfoSource::Create<TVLDebugInfoMap>,
                                      &TVLDebugInfoSource::Create<TVLDebugInfoTD32>,
                                      &TVLDebugInfoSource::Create<TVLDebugInfoJedy>};
  for (const TFactory create : kReaders) {
    source = create(module);
    if (source->IsValid()) return true;
    source.reset();
  }
  return false;
}

}  // namespace VDebug

// ---- THModuleStream -----------------------------------------------------------------------

namespace VDebug {

std::int32_t THModuleStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0 || position_ < 0 || position_ >= Size()) return 0;
  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, Size() - position_));
  std::memcpy(buffer, memory_ + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int32_t THModuleStream::Write(const void*, std::int32_t) { return 0; }

std::int64_t THModuleStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) base = position_;
  if (origin == TSeekOrigin::soEnd) base = Size();
  position_ = base + offset;
  return position_;
}

void THModuleStream::SetSize(std::int64_t) { throw EStreamError("A module stream is read-only"); }

}  // namespace VDebug

// ---- TVLDebugInfoSource -------------------------------------------------------------------

std::uint32_t TVLDebugInfoSource::ModuleOffset(std::uintptr_t address) const {
  return static_cast<std::uint32_t>(address - module_ - 0x1000);
}

std::string TVLDebugInfoSource::ModuleFileName() const {
  return VDebug::DebugHost().ModuleFileName(module_);
}

bool TVLDebugInfoSource::GetLocation(std::uintptr_t address, TVLLocationInfo& info) {
  const std::uint32_t offset = ModuleOffset(address);
  std::string unit = UnitNameAt(offset);
  if (unit.empty()) return false;
  info.address = address;
  info.unit_name = std::move(unit);
  std::uint32_t distance = 0;
  info.procedure_name = ProcedureNameAt(offset, distance);
  std::uint32_t line_distance = 0;
  info.line_number = LineNumberAt(offset, line_distance);
  info.source_file = SourceFileAt(offset);
  info.source = this;
  info.line_offset = info.line_number - LineNumberAt(offset - distance, line_distance);
  return true;
}

// ---- map text -----------------------------------------------------------------------------

namespace {

bool IsBlank(char c) { return c == ' ' || (c >= 9 && c <= 13); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

const char* const kHeaderWords[5][4] = {
    {"Start", "Length", "Name", "Class"}, {"Detailed", "map", "of", "segments"},
    {"Address", "Publics", "by", "Name"}, {"Address", "Publics", "by", "Value"},
    {"Bound", "resource", "files", ""},
};

constexpr std::string_view kLineNumbersFor = "Line numbers for";

}  // namespace

TVLAbstractMapParser::TVLAbstractMapParser(const std::string& file_name) {
  if (!file_name.empty() && VDebug::DebugHost().FileExists(file_name) &&
      !VDebug::LoadFileToStream(stream_, file_name))
    stream_.Clear();
  text_ = reinterpret_cast<const char*>(stream_.Memory());
  end_ = text_ ? text_ + stream_.Size() : nullptr;
  cursor_ = text_;
}

TVLAbstractMapParser::TVLAbstractMapParser(const void* text, std::size_t size) {
  if (size > 0) stream_.WriteBuffer(text, static_cast<std::int32_t>(size));
  text_ = reinterpret_cast<const char*>(stream_.Memory());
  end_ = text_ ? text_ + stream_.Size() : nullptr;
  cursor_ = text_;
}

std::string TVLAbstractMapParser::NameAt(const char* name) const {
  if (!name || name < text_ || name >= end_) return {};
  const char* p = name;
  if (*p == '(') {
    const char* q = ++p;
    while (q < end_ && *q != ')' && !IsLineEnd(*q)) ++q;
    return std::string(p, q);
  }
  const char* q = p;
  while (q < end_ && !IsBlank(*q) && *q != '(' && *q != '\0') ++q;
  return std::string(p, q);
}

void TVLAbstractMapParser::SkipBlanks() {
  while (cursor_ < end_ && IsBlank(*cursor_)) ++cursor_;
}

void TVLAbstractMapParser::SkipLine() {
  while (cursor_ < end_ && *cursor_ != '\n') ++cursor_;
  if (cursor_ < end_) ++cursor_;
  SkipBlanks();
}

bool TVLAbstractMapParser::AtDigit() const { return cursor_ < end_ && IsDigit(*cursor_); }

std::uint32_t TVLAbstractMapParser::HexValue() {
  while (cursor_ < end_ && (*cursor_ == ' ' || *cursor_ == '\t')) ++cursor_;
  std::uint32_t value = 0;
  for (int d; cursor_ < end_ && (d = HexDigit(*cursor_)) >= 0; ++cursor_)
    value = value * 16 + static_cast<std::uint32_t>(d);
  if (cursor_ < end_ && (*cursor_ == 'H' || *cursor_ == 'h')) ++cursor_;
  return value;
}

std::uint32_t TVLAbstractMapParser::DecimalValue() {
  std::uint32_t value = 0;
  for (; cursor_ < end_ && IsDigit(*cursor_); ++cursor_)
    value = value * 10 + static_cast<std::uint32_t>(*cursor_ - '0');
  return value;
}

TVLMapAddress TVLAbstractMapParser::Address() {
  TVLMapAddress address;
  address.segment = static_cast<std::uint16_t>(HexValue());
  if (cursor_ < end_ && *cursor_ == ':') {
    ++cursor_;
    address.offset = HexValue();
  }
  return address;
}

const char* TVLAbstractMapParser::Word() {
  SkipBlanks();
  const char* start = cursor_;
  while (cursor_ < end_ && !IsBlank(*cursor_)) ++cursor_;
  return start;
}

// Searches the rest of the line only; a parameter that is not there gives nil and leaves the
// cursor where it was.
const char* TVLAbstractMapParser::Parameter(char letter) {
  for (const char* p = cursor_; p + 1 < end_ && !IsLineEnd(*p); ++p) {
    if (p[0] == letter && p[1] == '=') {
      cursor_ = p + 2;
      return cursor_;
    }
  }
  return nullptr;
}

bool TVLAbstractMapParser::SyncToHeader(int word_set) {
  while (cursor_ < end_) {
    const char* stop = cursor_;
    while (stop < end_ && !IsLineEnd(*stop) && *stop != '\0') ++stop;
    const std::string_view line(cursor_, static_cast<std::size_t>(stop - cursor_));
    bool found = true;
    std::size_t previous = 0;
    for (int i = 0; i < 4 && found; ++i) {
      const std::size_t at = line.find(kHeaderWords[word_set][i]);
      found = at != std::string_view::npos && (i == 0 || at > previous);
      previous = at;
    }
    if (found) {
      cursor_ = stop;
      SkipBlanks();
      return true;
    }
    SkipLine();
  }
  cursor_ = end_;
  return false;
}

void TVLAbstractMapParser::Parse() {
  if (!text_) return;
  cursor_ = text_;
  if (SyncToHeader(0)) {
    while (AtDigit()) {
      const TVLMapAddress address = Address();
      const std::uint32_t length = HexValue();
      const char* name = Word();
      const char* class_name = Word();
      SkipLine();
      AddClassRow(address, length, name, class_name);
    }
  }
  if (SyncToHeader(1)) {
    while (AtDigit()) {
      const TVLMapAddress address = Address();
      const std::uint32_t length = HexValue();
      const char* class_name = Parameter('C');
      const char* module_name = Parameter('M');
      SkipLine();
      AddSegmentRow(address, length, module_name, class_name);
    }
  }
  if (SyncToHeader(2)) {
    while (AtDigit()) {
      const TVLMapAddress address = Address();
      const char* name = Word();
      SkipBlanks();
      AddPublicByNameRow(address, name);
    }
  }
  if (SyncToHeader(3)) {
    while (AtDigit()) {
      const TVLMapAddress address = Address();
      const char* name = Word();
      SkipBlanks();
      AddPublicByValueRow(address, name);
    }
  }
  SkipBlanks();
  while (static_cast<std::size_t>(end_ - cursor_) >= kLineNumbersFor.size() &&
         std::string_view(cursor_, kLineNumbersFor.size()) == kLineNumbersFor) {
    cursor_ += kLineNumbersFor.size();
    SkipBlanks();
    const char* unit_name = cursor_;
    const char* file_name = nullptr;
    for (const char* p = cursor_; p < end_ && !IsLineEnd(*p); ++p) {
      if (*p == '(') {
        file_name = p;
        break;
      }
    }
    SkipLine();
    AddLineUnitRow(unit_name, file_name);
    for (;;) {
      SkipBlanks();
      if (!AtDigit()) break;
      const auto line_number = static_cast<std::int32_t>(DecimalValue());
      SkipBlanks();
      const TVLMapAddress address = Address();
      SkipBlanks();
      AddLineNumberRow(line_number, address);
    }
  }
}

// ---- TVLMapScanner ------------------------------------------------------------------------

TVLMapScanner::TVLMapScanner(const std::string& file_name) : TVLAbstractMapParser(file_name) {
  Scan();
}

TVLMapScanner::TVLMapScanner(const void* text, std::size_t size)
    : TVLAbstractMapParser(text, size) {
  Scan();
}

void TVLMapScanner::Scan() {
  last_line_ = {};
  top_offset_ = 0;
  rejected_lines_ = 0;
  Parse();
  lines_.shrink_to_fit();
  procedures_.shrink_to_fit();
}

void TVLMapScanner::AddClassRow(TVLMapAddress, std::uint32_t, const char*, const char*) {}

void TVLMapScanner::AddSegmentRow(TVLMapAddress address, std::uint32_t length,
                                  const char* module_name, const char*) {
  if (address.segment != 1) return;
  const std::uint32_t end = address.offset + length;
  segments_.push_back({address.offset, end, module_name});
  top_offset_ = std::max(top_offset_, end);
}

void TVLMapScanner::AddPublicByNameRow(TVLMapAddress, const char*) {}

void TVLMapScanner::AddPublicByValueRow(TVLMapAddress address, const char* name) {
  if (address.segment != 1) return;
  if (procedures_.size() % 256 == 0) procedures_.reserve(procedures_.size() + 256);
  procedures_.push_back({address.offset, name});
}

void TVLMapScanner::AddLineUnitRow(const char* unit_name, const char* file_name) {
  unit_name_ = unit_name;
  file_name_ = file_name;
  pending_source_ = file_name;
}

void TVLMapScanner::AddLineNumberRow(std::int32_t line_number, TVLMapAddress address) {
  if (last_line_.offset != 0 &&
      !(address.offset > 0 && address.offset <= top_offset_ &&
        address.segment == last_line_.segment && address.offset > last_line_.offset)) {
    ++rejected_lines_;
    return;
  }
  last_line_ = address;
  if (lines_.size() % 256 == 0) lines_.reserve(lines_.size() + 256);
  lines_.push_back({address.offset, line_number});
  if (pending_source_) {
    sources_.push_back({address.offset, pending_source_});
    pending_source_ = nullptr;
  }
}

std::uint32_t TVLMapScanner::SegmentStartAt(std::uint32_t offset) const {
  for (auto s = segments_.rbegin(); s != segments_.rend(); ++s)
    if (s->start <= offset && offset <= s->end) return s->start;
  return 0xFFFFFFFF;
}

std::string TVLMapScanner::UnitNameAt(std::uint32_t offset) const {
  for (auto s = segments_.rbegin(); s != segments_.rend(); ++s)
    if (s->start <= offset && offset <= s->end) return NameAt(s->name);
  return {};
}

template <class E>
int TVLMapScanner::NearestIn(const std::vector<E>& entries, std::uint32_t offset) const {
  static_assert(offsetof(E, offset) == 0);
  const int i = VDebug::SearchSorted(entries.data(), sizeof(E), static_cast<int>(entries.size()),
                                     true, offset);
  if (i < 0 || entries[static_cast<std::size_t>(i)].offset < SegmentStartAt(offset)) return -1;
  return i;
}

std::string TVLMapScanner::ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) const {
  distance = 0;
  const int i = NearestIn(procedures_, offset);
  if (i < 0) return {};
  distance = offset - procedures_[static_cast<std::size_t>(i)].offset;
  return NameAt(procedures_[static_cast<std::size_t>(i)].name);
}

std::int32_t TVLMapScanner::LineNumberAt(std::uint32_t offset, std::uint32_t& distance) const {
  distance = 0;
  const int i = NearestIn(lines_, offset);
  if (i < 0) return 0;
  distance = offset - lines_[static_cast<std::size_t>(i)].offset;
  return lines_[static_cast<std::size_t>(i)].line;
}

std::string TVLMapScanner::SourceFileAt(std::uint32_t offset) const {
  const int i = NearestIn(sources_, offset);
  return i < 0 ? std::string() : NameAt(sources_[static_cast<std::size_t>(i)].name);
}

// ---- TVLDebugInfoMap ----------------------------------------------------------------------

bool TVLDebugInfoMap::LoadSource() {
  const std::string module_name = ModuleFileName();
  if (module_name.empty()) return false;
  const std::string map_name = VCore::ChangeFileExt(module_name, ".map");
  if (!VDebug::DebugHost().FileExists(map_name)) return false;
  scanner_ = std::make_unique<TVLMapScanner>(map_name);
  return true;
}

std::string TVLDebugInfoMap::UnitNameAt(std::uint32_t offset) {
  return scanner_ ? scanner_->UnitNameAt(offset) : std::string();
}

std::string TVLDebugInfoMap::ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) {
  distance = 0;
  return scanner_ ? scanner_->ProcedureNameAt(offset, distance) : std::string();
}

std::int32_t TVLDebugInfoMap::LineNumberAt(std::uint32_t offset, std::uint32_t& distance) {
  distance = 0;
  return scanner_ ? scanner_->LineNumberAt(offset, distance) : 0;
}

std::string TVLDebugInfoMap::SourceFileAt(std::uint32_t offset) {
  return scanner_ ? scanner_->SourceFileAt(offset) : std::string();
}

// ---- JCL binary debug data ----------------------------------------------------------------

namespace {

constexpr std::uint32_t kJdbgMagic = 0x4742444A;  // "JDBG"
constexpr std::uint32_t kTableEnd = 0x7FFFFFFF;
constexpr std::size_t kUnitsTable = 5, kSourcesTable = 9, kSymbolsTable = 13, kLinesTable = 17,
                      kNamesArea = 21;

// Entries of one table: each value a difference from the same field of the entry before.
class TTableReader {
 public:
  TTableReader(const std::uint8_t* data, std::size_t size, std::uint32_t start, int fields)
      : data_(data), size_(size), position_(start), fields_(fields) {}

  // The next entry into sum(); false at the table's end or the data's.
  bool Next() {
    for (int i = 0; i < fields_; ++i) {
      std::uint32_t value;
      if (!ReadNumber(value) || (i == 0 && value == kTableEnd)) return false;
      sums_[i] += value;
    }
    return true;
  }
  std::uint32_t sum(int i) const { return sums_[i]; }

 private:
  // Seven bits a byte, least significant group first; bits beyond 31 are dropped.
  bool ReadNumber(std::uint32_t& value) {
    value = 0;
    for (unsigned shift = 0;; shift = shift < 35 ? shift + 7 : shift) {
      if (position_ >= size_) return false;
      const std::uint8_t b = data_[position_++];
      if (shift < 32) value |= static_cast<std::uint32_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return true;
    }
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_;
  int fields_;
  std::uint32_t sums_[3] = {0, 0, 0};
};

char PackedChar(unsigned code) {
  if (code <= 10) return static_cast<char>('0' + code - 1);
  if (code <= 36) return static_cast<char>('A' + code - 11);
  if (code <= 62) return static_cast<char>('a' + code - 37);
  return '_';
}

template <class E>
void GrowByQuarter(std::vector<E>& entries) {
  if (entries.size() == entries.capacity())
    entries.reserve(entries.capacity() + entries.capacity() / 4);
}

}  // namespace

TVLBinDebugScanner::TVLBinDebugScanner(const std::uint8_t* data, std::size_t size, bool cache)
    : data_(data), size_(data ? size : 0), cache_(cache) {
  CheckFormat();
}

void TVLBinDebugScanner::CheckFormat() {
  valid_format_ = false;
  if (!data_ || size_ < 35 || size_ % 4 != 0) return;
  if (Get32(data_) != kJdbgMagic || data_[4] != 1) return;
  valid_format_ = true;
  if (data_[33] != 0) {
    const std::uint32_t stored = Get32(data_ + 29);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size_; i += 4) sum += Get32(data_ + i);
    sum -= stored;
    valid_format_ = ((sum >> 8) | (sum << 24)) == stored;
  }
}

std::uint32_t TVLBinDebugScanner::TableOffset(std::size_t field) const {
  return Get32(data_ + field);
}

std::string TVLBinDebugScanner::NameOf(std::uint32_t name) const {
  if (name == 0 || !valid_format_) return {};
  const std::uint64_t position = std::uint64_t{TableOffset(kNamesArea)} + name - 1;
  if (position >= size_) return {};
  const std::uint8_t* p = data_ + position;
  const std::uint8_t* const end = data_ + size_;
  std::string text;
  if (*p == 1) {
    for (++p; p < end && *p != 0 && text.size() < 255; ++p)
      text += static_cast<char>(*p == 0xAA ? 0xAA : *p ^ 0xAA);
    return text;
  }
  if (*p == 2) {
    text = "@";
    ++p;
  }
  std::uint32_t bits = 0;
  unsigned count = 0;
  while (text.size() < 255) {
    if (count < 6) {
      if (p >= end) break;
      bits |= static_cast<std::uint32_t>(*p++) << count;
      count += 8;
    }
    const unsigned code = bits & 63;
    bits >>= 6;
    count -= 6;
    if (code == 0) break;
    text += PackedChar(code);
  }
  return text;
}

bool TVLBinDebugScanner::LastPairAtOrBelow(std::size_t field, std::uint32_t offset,
                                           std::uint32_t* start, std::uint32_t* value,
                                           bool* later) const {
  *later = false;
  if (!valid_format_) return false;
  TTableReader table(data_, size_, TableOffset(field), 2);
  bool found = false;
  while (table.Next()) {
    if (table.sum(0) > offset) {
      *later = true;
      break;
    }
    found = true;
    *start = table.sum(0);
    *value = table.sum(1);
  }
  return found;
}

std::uint32_t TVLBinDebugScanner::UnitStartAt(std::uint32_t offset) const {
  std::uint32_t start = 0, name = 0;
  bool later;
  return LastPairAtOrBelow(kUnitsTable, offset, &start, &name, &later) ? start : 0xFFFFFFFF;
}

std::string TVLBinDebugScanner::UnitNameAt(std::uint32_t offset) const {
  std::uint32_t start = 0, name = 0;
  bool later;
  if (!LastPairAtOrBelow(kUnitsTable, offset, &start, &name, &later)) return {};
  return NameOf(name);
}

std::string TVLBinDebugScanner::SourceFileAt(std::uint32_t offset) const {
  std::uint32_t start = 0, name = 0;
  bool later;
  if (!LastPairAtOrBelow(kSourcesTable, offset, &start, &name, &later)) return {};
  if (later && start < UnitStartAt(offset)) return {};
  return NameOf(name);
}

void TVLBinDebugScanner::DecodeLines() {
  if (lines_decoded_ || !valid_format_) return;
  lines_decoded_ = true;
  lines_.reserve(64);
  TTableReader table(data_, size_, TableOffset(kLinesTable), 2);
  while (table.Next()) {
    GrowByQuarter(lines_);
    lines_.push_back({table.sum(0), static_cast<std::int32_t>(table.sum(1))});
  }
  lines_.shrink_to_fit();
}

void TVLBinDebugScanner::DecodeSymbols() {
  if (symbols_decoded_ || !valid_format_) return;
  symbols_decoded_ = true;
  symbols_.reserve(64);
  TTableReader table(data_, size_, TableOffset(kSymbolsTable), 3);
  while (table.Next()) {
    GrowByQuarter(symbols_);
    symbols_.push_back({table.sum(0), table.sum(1), table.sum(2)});
  }
  symbols_.shrink_to_fit();
}

std::string TVLBinDebugScanner::ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) {
  distance = 0;
  DecodeSymbols();
  for (auto s = symbols_.rbegin(); s != symbols_.rend(); ++s) {
    if (s->offset > offset) continue;
    if (s->offset < UnitStartAt(offset)) return {};
    distance = offset - s->offset;
    if (s->first_name == 0) return {};
    std::string name = NameOf(s->first_name);
    if (s->second_name != 0) name += "." + NameOf(s->second_name);
    return name;
  }
  return {};
}

std::int32_t TVLBinDebugScanner::LineNumberAt(std::uint32_t offset, std::uint32_t& distance) {
  distance = 0;
  DecodeLines();
  for (auto l = lines_.rbegin(); l != lines_.rend(); ++l) {
    if (l->offset > offset) continue;
    if (l->offset < UnitStartAt(offset)) return 0;
    distance = offset - l->offset;
    return l->line;
  }
  return 0;
}

bool TVLDebugInfoJedy::LoadSource() {
  const VCore::TModuleHandle module = Module();
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  // The JCLDEBUG section of the loaded image.
  const std::uint8_t* image = At(module, 0);
  if (module && Readable(image, 64) && image[0] == 'M' && image[1] == 'Z' && Get32(image + 60)) {
    const std::uint8_t* pe = At(module, Get32(image + 60));
    if (Readable(pe, 248) && std::memcmp(pe, "PE\0\0", 4) == 0) {
      const unsigned sections = Get16(pe + 6);
      const std::uint8_t* header = pe + 24 + Get16(pe + 20);
      for (unsigned i = 0; i < sections && Readable(header, 40); ++i, header += 40) {
        if (std::strncmp(reinterpret_cast<const char*>(header), "JCLDEBUG", 8) != 0) continue;
        data = At(module, Get32(header + 12));
        size = VDebug::DebugHost().ReadableBytes(data,
                                                 std::min(Get32(header + 8), Get32(header + 16)));
        stream_ = std::make_unique<VDebug::THModuleStream>(data, size);
        break;
      }
    }
  }
  // Else the ".jdbg" file beside the module.
  if (!stream_) {
    const std::string module_name = ModuleFileName();
    const std::string file_name = VCore::ChangeFileExt(module_name, ".jdbg");
    if (!module_name.empty() && VDebug::DebugHost().FileExists(file_name)) {
      auto file = std::make_unique<TMemoryStream>();
      if (VDebug::LoadFileToStream(*file, file_name)) {
        data = file->Memory();
        size = static_cast<std::size_t>(file->Size());
        stream_ = std::move(file);
      }
    }
  }
  if (!stream_) return false;
  scanner_ = std::make_unique<TVLBinDebugScanner>(data, size, true);
  return true;
}

std::string TVLDebugInfoJedy::UnitNameAt(std::uint32_t offset) {
  return scanner_ ? scanner_->UnitNameAt(offset) : std::string();
}

std::string TVLDebugInfoJedy::ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) {
  distance = 0;
  return scanner_ ? scanner_->ProcedureNameAt(offset, distance) : std::string();
}

std::int32_t TVLDebugInfoJedy::LineNumberAt(std::uint32_t offset, std::uint32_t& distance) {
  distance = 0;
  return scanner_ ? scanner_->LineNumberAt(offset, distance) : 0;
}

std::string TVLDebugInfoJedy::SourceFileAt(std::uint32_t offset) {
  return scanner_ ? scanner_->SourceFileAt(offset) : std::string();
}

// ---- TD32 symbols -------------------------------------------------------------------------

TVLProcSymbolInfo::TVLProcSymbolInfo(std::uint16_t kind, const std::uint8_t* r)
    : TVLSymbolInfo(kind), name_index(Get32(r + 40)), offset(Get32(r + 28)), size(Get32(r + 16)) {}

TVLDataSymbolInfo::TVLDataSymbolInfo(std::uint16_t kind, const std::uint8_t* r)
    : TVLSymbolInfo(kind),
      type_index(Get32(r + 12)),
      name_index(Get32(r + 16)),
      offset(Get32(r + 4)) {}

TVLObjNameSymbolInfo::TVLObjNameSymbolInfo(std::uint16_t kind, const std::uint8_t* r)
    : TVLSymbolInfo(kind), signature(Get32(r + 4)), name_index(Get32(r + 8)) {}

TVLWithSymbolInfo::TVLWithSymbolInfo(std::uint16_t kind, const std::uint8_t* r)
    : TVLSymbolInfo(kind), size(Get32(r + 12)), offset(Get32(r + 16)), name_index(Get32(r + 24)) {}

TVLLabelSymbolInfo::TVLLabelSymbolInfo(std::uint16_t kind, const std::uint8_t* r)
    : TVLSymbolInfo(kind), offset(Get32(r + 4)), name_index(Get32(r + 12)) {}

TVLConstantSymbolInfo::TVLConstantSymbolInfo(std::uint16_t kind, const std::uint8_t* r)
    : TVLSymbolInfo(kind),
      type_index(Get32(r + 4)),
      name_index(Get32(r + 8)),
      value(Get32(r + 16)) {}

TVLUdtSymbolInfo::TVLUdtSymbolInfo(std::uint16_t kind, const std::uint8_t* r)
    : TVLSymbolInfo(kind),
      type_index(Get32(r + 4)),
      properties(Get16(r + 8)),
      name_index(Get32(r + 10)) {}

TVLVftPathSymbolInfo::TVLVftPathSymbolInfo(std::uint16_t kind, const std::uint8_t* r)
    : TVLSymbolInfo(kind),
      offset(Get32(r + 4)),
      root_index(Get32(r + 12)),
      path_index(Get32(r + 16)) {}

std::unique_ptr<TVLSymbolInfo> TVLSymbolInfo::Create(const std::uint8_t* record, std::size_t size) {
  if (size < 4) return nullptr;
  const std::uint16_t kind = Get16(record + 2);
  // The bytes each kind's fields need.
  std::size_t need = 0;
  switch (kind) {
    case 0x0003:
      need = 20;
      break;
    case 0x0004:
      need = 14;
      break;
    case 0x0009:
      need = 12;
      break;
    case 0x0201:
    case 0x0202:
    case 0x0203:
      need = 20;
      break;
    case 0x0204:
    case 0x0205:
      need = 44;
      break;
    case 0x0208:
      need = 28;
      break;
    case 0x0209:
      need = 16;
      break;
    case 0x020B:
      need = 20;
      break;
    default:
      return nullptr;
  }
  if (size < need) return nullptr;
  switch (kind) {
    case 0x0003:
      return std::make_unique<TVLConstantSymbolInfo>(kind, record);
    case 0x0004:
      return std::make_unique<TVLUdtSymbolInfo>(kind, record);
    case 0x0009:
      return std::make_unique<TVLObjNameSymbolInfo>(kind, record);
    case 0x0201:
      return std::make_unique<TVLLDataSymbolInfo>(kind, record);
    case 0x0202:
      return std::make_unique<TVLGDataSymbolInfo>(kind, record);
    case 0x0203:
      return std::make_unique<TVLPublicSymbolInfo>(kind, record);
    case 0x0204:
      return std::make_unique<TVLLocalProcSymbolInfo>(kind, record);
    case 0x0205:
      return std::make_unique<TVLGlobalProcSymbolInfo>(kind, record);
    case 0x0208:
      return std::make_unique<TVLWithSymbolInfo>(kind, record);
    case 0x0209:
      return std::make_unique<TVLLabelSymbolInfo>(kind, record);
    default:
      return std::make_unique<TVLVftPathSymbolInfo>(kind, record);
  }
}

// ---- TVLTD32InfoParser --------------------------------------------------------------------

namespace {

constexpr std::uint16_t kSubsectionModule = 0x120, kSubsectionSymbols = 0x125,
                        kSubsectionSourceModule = 0x127, kSubsectionNames = 0x130;

}  // namespace

bool TVLTD32InfoParser::IsTD32Sign(const std::uint8_t* at) {
  return std::memcmp(at, "FB09", 4) == 0 || std::memcmp(at, "FB0A", 4) == 0;
}

bool TVLTD32InfoParser::IsTD32DebugInfoValid(const void* data, std::size_t size) {
  if (!Readable(data, size)) AssertionFailure();
  if (!data || size <= 8) return false;
  const auto* end = static_cast<const std::uint8_t*>(data) + size;
  if (!IsTD32Sign(end - 8)) return false;
  const std::uint32_t distance = Get32(end - 4);
  // The block must hold its leading signature and directory offset.
  if (distance > size || distance < 8) return false;
  return IsTD32Sign(end - distance);
}

TVLTD32InfoParser::TVLTD32InfoParser(const std::uint8_t* data, std::size_t size)
    : base_(data), size_(size) {
  names_.emplace_back();
  valid_data_ = IsTD32DebugInfoValid(data, size);
  if (valid_data_) Analyse();
}

// The directory chain; a directory or subsection outside the data, or a chain that comes back
// to a directory it has passed, leaves the data not valid.
void TVLTD32InfoParser::Analyse() {
  std::vector<std::uint32_t> seen;
  for (std::uint32_t at = Get32(base_ + 4); at != 0;) {
    if (std::find(seen.begin(), seen.end(), at) != seen.end() || !Fits(at, 16, size_)) {
      valid_data_ = false;
      return;
    }
    seen.push_back(at);
    const std::uint8_t* directory = base_ + at;
    if (Get16(directory + 2) != 12) AssertionFailure();
    const std::uint32_t count = Get32(directory + 4);
    if (!Fits(at + 16ull, std::uint64_t{count} * 12, size_)) {
      valid_data_ = false;
      return;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* entry = directory + 16 + i * 12ull;
      const std::uint32_t offset = Get32(entry + 4), length = Get32(entry + 8);
      if (!Fits(offset, length, size_)) {
        valid_data_ = false;
        return;
      }
      switch (Get16(entry)) {
        case kSubsectionModule:
          AddModule(base_ + offset, length);
          break;
        case kSubsectionSymbols:
          AddSymbols(base_ + offset, length);
          break;
        case kSubsectionSourceModule:
          AddSourceModules(base_ + offset, length);
          break;
        case kSubsectionNames:
          AddNames(base_ + offset, length);
          break;
        default:
          break;
      }
    }
    at = Get32(directory + 8);
  }
}

void TVLTD32InfoParser::AddNames(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return;
  const std::uint32_t count = Get32(data);
  std::size_t at = 4;
  for (std::uint32_t i = 0; i < count && at < size; ++i) {
    const std::size_t length = data[at];
    if (!Fits(at + 1, length, size)) break;
    names_.emplace_back(reinterpret_cast<const char*>(data + at + 1), length);
    at += length + 2;
  }
}

void TVLTD32InfoParser::AddSymbols(const std::uint8_t* data, std::size_t size) {
  for (std::size_t at = 4; at + 2 <= size;) {
    const std::size_t length = Get16(data + at) + 2u;
    if (!Fits(at, length, size)) break;
    if (auto symbol = TVLSymbolInfo::Create(data + at, length))
      symbols_.push_back(std::move(symbol));
    at += length;
  }
}

void TVLTD32InfoParser::AddModule(const std::uint8_t* data, std::size_t size) {
  if (size < 28) return;
  auto module = std::make_unique<TVLModuleInfo>();
  module->name_index = Get32(data + 8);
  module->segments = data + 28;
  module->segment_count =
      std::min<std::uint32_t>(Get16(data + 4), static_cast<std::uint32_t>((size - 28) / 12));
  modules_.push_back(std::move(module));
}

// Header: file count and segment count (16 bits each), then the files' offsets.
void TVLTD32InfoParser::AddSourceModules(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return;
  const unsigned files = Get16(data);
  for (unsigned i = 0; i < files && Fits(4 + 4ull * i, 4, size); ++i) {
    const std::uint32_t file_at = Get32(data + 4 + 4 * i);
    if (!Fits(file_at, 6, size)) continue;
    const std::uint8_t* file = data + file_at;
    const std::uint32_t name_index = Get32(file + 2);
    if (name_index == 0) continue;
    const std::uint32_t segments =
        std::min<std::uint32_t>(Get16(file), static_cast<std::uint32_t>((size - file_at - 6) / 12));
    auto source = std::make_unique<TVLSourceModuleInfo>();
    source->name_index = name_index;
    source->ranges = file + 6 + 4 * segments;
    source->range_count = segments;
    for (std::uint32_t s = 0; s < segments; ++s) {
      const std::uint32_t table_at = Get32(file + 6 + 4 * s);
      if (!Fits(table_at, 4, size)) continue;
      const std::uint8_t* table = data + table_at;
      const std::uint32_t pairs = std::min<std::uint32_t>(
          Get16(table + 2), static_cast<std::uint32_t>((size - table_at - 4) / 6));
      for (std::uint32_t k = 0; k < pairs; ++k) {
        auto line = std::make_unique<TVLLineInfo>();
        line->offset = Get32(table + 4 + 4 * k);
        line->line_number = Get16(table + 4 + 4 * pairs + 2 * k);
        source->lines.push_back(std::move(line));
      }
    }
    source_modules_.push_back(std::move(source));
  }
}

std::string TVLTD32InfoParser::Names(std::uint32_t index) const {
  return index < names_.size() ? std::string(names_[index]) : std::string();
}

const TVLModuleInfo* TVLTD32InfoParser::ModuleAt(std::uint32_t offset) const {
  if (!valid_data_) return nullptr;
  for (const auto& module : modules_) {
    for (std::uint32_t s = 0; s < module->segment_count; ++s) {
      const std::uint8_t* segment = module->segments + 12 * s;
      const std::uint32_t start = Get32(segment + 4);
      if (start <= offset && offset <= std::uint64_t{start} + Get32(segment + 8))
        return module.get();
    }
  }
  return nullptr;
}

std::string TVLTD32InfoParser::UnitNameAt(std::uint32_t offset) const {
  const TVLModuleInfo* module = ModuleAt(offset);
  return module ? Names(module->name_index) : std::string();
}

const TVLSourceModuleInfo* TVLTD32InfoParser::SourceModuleAt(std::uint32_t offset) const {
  if (!valid_data_) return nullptr;
  for (const auto& source : source_modules_) {
    for (std::uint32_t r = 0; r < source->range_count; ++r) {
      const std::uint8_t* range = source->ranges + 8 * r;
      if (Get32(range) <= offset && offset < Get32(range + 4)) return source.get();
    }
  }
  return nullptr;
}

void TVLTD32InfoParser::SourceFileAt(std::uint32_t offset, std::string& text) const {
  if (const TVLSourceModuleInfo* source = SourceModuleAt(offset)) text = Names(source->name_index);
}

std::int32_t TVLTD32InfoParser::LineNumberAt(std::uint32_t offset, std::uint32_t& distance) const {
  distance = 0;
  const TVLSourceModuleInfo* source = SourceModuleAt(offset);
  if (!source) return 0;
  const auto& lines = source->lines;
  for (const auto& line : lines)
    if (line->offset == offset) return line->line_number;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i - 1]->offset < offset && offset < lines[i]->offset) {
      distance = offset - lines[i - 1]->offset;
      return lines[i - 1]->line_number;
    }
  }
  return 0;
}

std::string TVLTD32InfoParser::ProcedureNameAt(std::uint32_t offset,
                                               std::uint32_t& distance) const {
  distance = 0;
  if (!valid_data_) return {};
  for (const auto& symbol : symbols_) {
    const auto* proc = dynamic_cast<const TVLProcSymbolInfo*>(symbol.get());
    if (!proc || proc->offset > offset || offset >= std::uint64_t{proc->offset} + proc->size)
      continue;
    distance = offset - proc->offset;
    return FormatProcName(UnitNameAt(offset), Names(proc->name_index));
  }
  return {};
}

std::string TVLTD32InfoParser::FormatProcName(std::string_view unit_name, std::string_view raw) {
  if (raw.empty() || raw[0] != '@') return std::string(raw);
  std::string name(raw.substr(1));
  std::size_t dollar = name.find('$');
  if (dollar != std::string::npos) {
    if (dollar > 0 && name[dollar - 1] == '@') --dollar;
    name.erase(dollar);
  }
  std::replace(name.begin(), name.end(), '@', '.');
  name = VCore::ReplaceAll(name, "..", ".@");
  // An empty unit name would cut the name's first character.
  if (!unit_name.empty() && VCore::LowerCase(name).starts_with(VCore::LowerCase(unit_name)))
    name.erase(0, std::min(name.size(), unit_name.size() + 1));
  return name;
}

// ---- TVLPeTD32Image -----------------------------------------------------------------------

TVLPeTD32Image::TVLPeTD32Image(VCore::TModuleHandle module) : module_(module) {
  if (!FindInModule()) FindInFile();
  if (!data_) return;
  td32_present_ = true;
  scanner_ = std::make_unique<TVLTD32InfoScanner>(data_, size_);
  if (!scanner_->ValidData()) {
    td32_present_ = false;
    scanner_.reset();
    stream_.reset();
    data_ = nullptr;
    size_ = 0;
  }
}

// The debug directory must start a section; its first entry gives the data's size and place.
bool TVLPeTD32Image::FindInModule() {
  if (!module_ || !Readable(At(module_, 0), 64)) return false;
  const std::uint8_t* pe = At(module_, Get32(At(module_, 60)));
  if (!Readable(pe, 248)) return false;
  const std::uint32_t directory = Get32(pe + 168), directory_size = Get32(pe + 172);
  if (directory_size == 0) return false;
  const unsigned sections = Get16(pe + 6);
  const std::uint8_t* header = pe + 24 + Get16(pe + 20);
  for (unsigned i = 0; i < sections && Readable(header, 40); ++i, header += 40) {
    if (Get32(header + 12) != directory) continue;
    const std::uint8_t* entry = At(module_, directory);
    if (!Readable(entry, 28)) return false;
    const std::uint8_t* data = At(module_, Get32(entry + 20));
    const std::size_t size = Get32(entry + 16);
    if (!TVLTD32InfoParser::IsTD32DebugInfoValid(data, size)) return false;
    stream_ = std::make_unique<VDebug::THModuleStream>(data, size);
    data_ = data;
    size_ = size;
    return true;
  }
  return false;
}

bool TVLPeTD32Image::FindInFile() {
  const std::string module_name = VDebug::DebugHost().ModuleFileName(module_);
  if (module_name.empty()) return false;
  const std::string file_name = VCore::ChangeFileExt(module_name, ".tds");
  if (!VDebug::DebugHost().FileExists(file_name)) return false;
  auto file = std::make_unique<TMemoryStream>();
  if (!VDebug::LoadFileToStream(*file, file_name) ||
      !TVLTD32InfoParser::IsTD32DebugInfoValid(file->Memory(),
                                               static_cast<std::size_t>(file->Size())))
    return false;
  data_ = file->Memory();
  size_ = static_cast<std::size_t>(file->Size());
  stream_ = std::move(file);
  return true;
}

// ---- TVLDebugInfoTD32 ---------------------------------------------------------------------

bool TVLDebugInfoTD32::LoadSource() {
  if (!Module()) return false;
  image_ = std::make_unique<TVLPeTD32Image>(Module());
  return image_->IsTD32DebugPresent();
}

bool TVLDebugInfoTD32::IsValid() const {
  return image_ && image_->Scanner() && image_->Scanner()->ValidData();
}

std::string TVLDebugInfoTD32::UnitNameAt(std::uint32_t offset) {
  return IsValid() ? image_->Scanner()->UnitNameAt(offset) : std::string();
}

std::string TVLDebugInfoTD32::ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) {
  distance = 0;
  return IsValid() ? image_->Scanner()->ProcedureNameAt(offset, distance) : std::string();
}

std::int32_t TVLDebugInfoTD32::LineNumberAt(std::uint32_t offset, std::uint32_t& distance) {
  distance = 0;
  return IsValid() ? image_->Scanner()->LineNumberAt(offset, distance) : 0;
}

std::string TVLDebugInfoTD32::SourceFileAt(std::uint32_t offset) {
  std::string text;
  if (IsValid()) image_->Scanner()->SourceFileAt(offset, text);
  return text;
}
