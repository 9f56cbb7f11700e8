#include "VLData.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "SysUtils.h"
#include "VBase64.h"
#include "VEncrypt.h"
#include "VOptionsStream.h"
#include "VUnitVariable.h"
#include "VZlib2.h"

namespace VLData {
namespace {

std::atomic<bool> g_light_pass{false};
std::atomic<bool> g_internal_error_report{false};
std::mutex g_unit_files_lock;
VCore::TUnitVariable<std::vector<std::string>> g_library_unit_files_unit;
std::vector<std::string>& g_library_unit_files = *g_library_unit_files_unit;

// The cipher key is shared by the process: whoever keys it last wins, so every user of the
// names keys it for its own password before reading.
std::mutex g_cipher_lock;

// Bounded little-endian reads over a byte range; running past the end raises EReadError.
class TByteReader {
 public:
  TByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t Position() const { return pos_; }
  std::size_t Left() const { return size_ - pos_; }
  const std::uint8_t* Here() const { return data_ + pos_; }
  void Seek(std::size_t position) {
    if (position > size_) Fail();
    pos_ = position;
  }
  void Skip(std::size_t count) {
    if (count > Left()) Fail();
    pos_ += count;
  }
  std::uint8_t B() {
    Need(1);
    return data_[pos_++];
  }
  std::uint16_t W() {
    Need(2);
    const std::uint16_t v = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  std::uint32_t D() {
    Need(4);
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | data_[pos_ + i];
    pos_ += 4;
    return v;
  }
  double F64() {
    Need(8);
    double v;
    std::memcpy(&v, data_ + pos_, 8);
    pos_ += 8;
    return v;
  }
  void Bytes(void* out, std::size_t count) {
    Need(count);
    std::memcpy(out, data_ + pos_, count);
    pos_ += count;
  }

 private:
  void Need(std::size_t count) const {
    if (count > Left()) Fail();
  }
  [[noreturn]] static void Fail() { throw EReadError("debug data ends early"); }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

std::vector<std::uint8_t> Inflate(const std::uint8_t* data, std::size_t size) {
  if (size > static_cast<std::size_t>(INT32_MAX)) throw EReadError("debug data too large");
  return VZlib2::Decompress(data, static_cast<std::int32_t>(size));
}

// Puts a stream version in force for one block and restores the one before.
class TStreamVersionScope {
 public:
  explicit TStreamVersionScope(std::uint16_t version) : saved_(VCore::StreamVersion()) {
    VCore::SetStreamVersion(version);
  }
  ~TStreamVersionScope() { VCore::SetStreamVersion(saved_); }

 private:
  std::uint16_t saved_;
};

void ReadOptions(TVantorModuleInfo& info, const std::uint8_t* data, std::size_t size) {
  if (!info.Options) return;
  TMemoryStream stream;
  if (size > 0) stream.WriteBuffer(data, static_cast<std::int32_t>(size));
  stream.SetPosition(0);
  info.Options->ReadFromStream(stream);
}

void ReadOptionsFrom(TVantorModuleInfo& info, TByteReader& r) {
  if (!info.Options) return;
  TMemoryStream stream;
  if (r.Left() > 0) stream.WriteBuffer(r.Here(), static_cast<std::int32_t>(r.Left()));
  stream.SetPosition(0);
  info.Options->ReadFromStream(stream);
  r.Skip(static_cast<std::size_t>(stream.Position()));
}

std::unique_ptr<TMemoryStream> ReadDebugInfo(TByteReader& r) {
  const std::uint32_t n = r.D();
  if (n > r.Left()) throw EReadError("debug-info stream longer than its block");
  auto stream = std::make_unique<TMemoryStream>();
  if (n > 0) {
    stream->WriteBuffer(r.Here(), static_cast<std::int32_t>(n));
    stream->SetPosition(0);
  }
  return stream;
}

void ClearDebugData(TVantorModuleInfo& info) {
  info.DebugDataVersion = VCore::kCurrentStreamVersion;
  info.BuildDate = 0;
  info.DebugInfo.reset();
}

bool CheckPassword(const std::string& password, const std::uint8_t check[4]) {
  std::uint8_t plain[4];
  {
    std::lock_guard<std::mutex> lock(g_cipher_lock);
    VEncrypt::SetCipherKey(password);
    VEncrypt::DecryptBuffer(check, plain, 4);
  }
  const std::uint32_t v =
      plain[0] | (plain[1] << 8) | (plain[2] << 16) | (static_cast<std::uint32_t>(plain[3]) << 24);
  return IsMagic(v);
}

void RunPasswordCheck(TVantorModuleInfo& info, const std::uint8_t check[4],
                      const TPasswordRequest& request) {
  info.PasswordKnown = 1;
  bool asked = false;
  bool fits = false;
  auto ask = [&](const std::function<void(std::string&)>& receiver) {
    std::string answer = info.Password;
    receiver(answer);
    if (answer.size() > 255) answer.resize(255);
    info.Password = answer;
    fits = CheckPassword(answer, check);
    info.PasswordKnown = fits ? 1 : 0;
    asked = true;
  };
  if (request.OwnerExport) ask(request.OwnerExport);
  if (!fits && request.OwnHandlers && (!request.OwnerIsThisModule || !request.OwnerExport))
    ask(request.OwnHandlers);
  if (!asked) info.PasswordKnown = CheckPassword(info.Password, check) ? 1 : 0;
}

// One stored name from a byte reader (see ReadStoredName).
std::string StoredName(const TVantorModuleInfo& info, TByteReader& r, bool unit_name,
                       int depth = 0) {
  const std::uint16_t v = info.DebugDataVersion;
  std::uint8_t length = r.B();
  const bool goes_on = v >= 502 && (length & 0x80) != 0;
  if (v >= 502) length &= 0x7F;
  std::string raw(length, '\0');
  r.Bytes(raw.data(), length);
  std::string name;
  if (v < 500) {
    for (char& c : raw) c = static_cast<char>(c ^ VCore::kStreamStringKey);
    name = raw;
  } else if (info.PasswordKnown) {
    name = raw;
    VEncrypt::DecryptBuffer(raw.data(), name.data(), raw.size());
  } else {
    name = "?" + VBase64::EncodeBuffer(raw.data(), raw.size());
    if (name.size() > 255) name.resize(255);
    if (unit_name) name.insert(1, "p");
  }
  // A chain of continued parts, each at most 127 bytes: bounded by the 255-character result.
  if (goes_on && depth < 255) name += "." + StoredName(info, r, false, depth + 1);
  if (name.size() > 255) name.resize(255);
  return name;
}

// Steps over one stored name without decoding it.
void SkipStoredName(TByteReader& r, std::uint16_t version) {
  for (int depth = 0; depth <= 255; ++depth) {
    const std::uint8_t length = r.B();
    const bool goes_on = version >= 502 && (length & 0x80) != 0;
    r.Skip(version >= 502 ? (length & 0x7F) : length);
    if (!goes_on) return;
  }
}

void SplitProcedureName(const std::string& stored, std::string& class_name,
                        std::string& procedure) {
  const std::size_t dot = stored.find('.');
  if (dot == std::string::npos) {
    class_name.clear();
    procedure = stored;
  } else {
    if (dot > 0) class_name = stored.substr(0, dot);  // ".Procedure": the class goes on
    procedure = stored.substr(dot + 1);
  }
  if (!procedure.empty() && procedure[0] == '@') procedure[0] = '_';
}

struct TLineStep {
  std::uint32_t line = 1;
  std::uint32_t code = 1;
  bool new_procedure = false;
};

TLineStep ReadLineRecord(TByteReader& r, std::uint16_t version) {
  TLineStep s;
  const std::uint8_t first = *r.Here();
  if ((first & 0x01) == 0) {
    r.Skip(1);
    s.line = ((first >> 6) & 0x03) + 1;
    s.code = ((first >> 1) & 0x1F) + 1;
  } else if ((first & 0x02) == 0) {
    r.Skip(1);
    s.line = ((first >> 5) & 0x07) + 1;
    s.code = ((first >> 2) & 0x07) + 1;
    s.new_procedure = true;
  } else if ((first & 0x08) == 0) {
    const std::uint16_t w = r.W();
    s.line = ((w >> 11) & 0x1F) + 1;
    s.code = ((w >> 4) & 0x7F) + 1;
    s.new_procedure = (w & 0x04) != 0;
  } else {
    const std::uint32_t d = r.D();
    s.new_procedure = (d & 0x04) != 0;
    if ((d >> 4) == 0x0FFEFFFE && version > 422) {
      s.line = r.W() + 1u;
      s.code = r.W() + 1u;
    } else {
      s.line = ((d >> 4) & 0xFFFF) + 1;
      const std::uint32_t c = d >> 20;
      s.code = c == 4095 ? 0 : c + 1;
    }
  }
  return s;
}

bool IsLibraryUnit(const std::string& unit) {
  std::lock_guard<std::mutex> lock(g_unit_files_lock);
  return std::binary_search(g_library_unit_files.begin(), g_library_unit_files.end(), unit);
}

// A library frame whose line lies in code inlined from a header of another unit (a standard
// header) still names the library's namespace, which is its unit's name.
bool IsLibraryFrame(const std::string& unit, const std::string& class_name) {
  if (IsLibraryUnit(unit)) return true;
  const std::string space = class_name.substr(0, class_name.find("::"));
  return !space.empty() && IsLibraryUnit(space + ".cpp");
}

}  // namespace

void SetLightPass(bool on) { g_light_pass = on; }
bool LightPass() { return g_light_pass; }

void SetLibraryUnitFiles(std::vector<std::string> sorted_names) {
  std::lock_guard<std::mutex> lock(g_unit_files_lock);
  g_library_unit_files = std::move(sorted_names);
}

void SetBuildingInternalErrorReport(bool on) { g_internal_error_report = on; }

std::uint16_t ResourceBlockVersion(const void* data, std::size_t size) {
  if (!data || size < 6) return 0;
  TByteReader r(static_cast<const std::uint8_t*>(data), size);
  if (!IsMagic(r.D())) return 0;
  return r.W();
}

bool ReadResourceBlock(const void* data, std::size_t size, TVantorModuleInfo& info,
                       const TPasswordRequest& password) {
  if (!data || size < 6) return false;
  TByteReader r(static_cast<const std::uint8_t*>(data), size);
  r.D();  // the magic, tested by whoever found the block
  const std::uint16_t v = VCore::BlockVersionFromWord(r.W());
  if (v > VCore::kCurrentStreamVersion) return false;
  TStreamVersionScope version_scope(v);
  info.DebugDataVersion = v;
  info.PasswordKnown = 1;
  const bool light = LightPass();
  try {
    info.BuildDate = r.F64();
    if (v >= 6000) r.Skip(2);  // the leak tracker's two bytes
    std::vector<std::uint8_t> main;
    if (v >= 500) {
      const std::uint32_t directory = r.D();
      r.Skip(directory);
      const std::uint32_t packed = r.D();
      if (packed > r.Left()) throw EReadError("options longer than the block");
      const std::vector<std::uint8_t> options = Inflate(r.Here(), packed);
      if (options.empty()) throw EReadError("empty options");
      r.Skip(packed);
      ReadOptions(info, options.data(), options.size());
      if (!light) {
        std::uint8_t check[4];
        r.Bytes(check, 4);
        RunPasswordCheck(info, check, password);
      }
    }
    if (v < 450 || (light && v >= 500)) {
      main.assign(r.Here(), r.Here() + r.Left());
    } else {
      main = Inflate(r.Here(), r.Left());
    }
    TByteReader m(main.data(), main.size());
    if (v < 500) ReadOptionsFrom(info, m);
    if (light) {
      info.DebugInfo.reset();
    } else {
      info.DebugInfo = ReadDebugInfo(m);
    }
    return true;
  } catch (...) {
    ClearDebugData(info);
    if (info.Options) info.Options->LoadDefaults();
    return false;
  }
}

bool HasAppendedTrailer(TStream& file) { return AppendedBlockVersion(file) != 0; }

std::uint16_t AppendedBlockVersion(TStream& file) {
  try {
    const std::int64_t size = file.Size();
    if (size < 8) return 0;
    std::uint8_t tail[8];
    file.SetPosition(size - 8);
    file.ReadBuffer(tail, 8);
    TByteReader t(tail, 8);
    const std::uint32_t block = t.D();
    if (!IsMagic(t.D())) return 0;
    if (block < 2 || block > size - 8) return 0;
    std::uint8_t word[2];
    file.SetPosition(size - 8 - block);
    file.ReadBuffer(word, 2);
    const std::uint16_t v = static_cast<std::uint16_t>(word[0] | (word[1] << 8));
    return v;
  } catch (...) {
    return 0;
  }
}

bool ReadAppendedBlock(TStream& file, TVantorModuleInfo& info) {
  try {
    const std::int64_t size = file.Size();
    if (size < 8) return false;
    std::uint8_t tail[8];
    file.SetPosition(size - 8);
    file.ReadBuffer(tail, 8);
    TByteReader t(tail, 8);
    const std::uint32_t block_size = t.D();
    if (!IsMagic(t.D()) || block_size > size - 8 ||
        block_size > static_cast<std::uint32_t>(INT32_MAX))
      return false;
    std::vector<std::uint8_t> block(block_size);
    file.SetPosition(size - 8 - block_size);
    if (block_size > 0) file.ReadBuffer(block.data(), static_cast<std::int32_t>(block_size));
    if (block_size < 2) return false;
    TByteReader r(block.data(), block.size());
    const std::uint16_t v = r.W();
    if (v > VCore::kCurrentStreamVersion) return false;
    TStreamVersionScope version_scope(v);
    info.DebugDataVersion = v;
    info.PasswordKnown = 1;
    try {
      info.BuildDate = r.F64();
      ReadOptionsFrom(info, r);
      if (LightPass()) {
        info.DebugInfo.reset();
      } else {
        info.DebugInfo = ReadDebugInfo(r);
      }
      return true;
    } catch (...) {
      ClearDebugData(info);
      if (info.Options) info.Options->LoadDefaults();
      return false;
    }
  } catch (...) {
    return false;
  }
}

std::optional<std::uint32_t> FindDirectorySymbol(const void* data, std::size_t size,
                                                 std::uint8_t id) {
  try {
    TByteReader r(static_cast<const std::uint8_t*>(data), data ? size : 0);
    if (!IsMagic(r.D())) return std::nullopt;
    const std::uint16_t v = VCore::BlockVersionFromWord(r.W());
    if (v < 500 || v > VCore::kCurrentStreamVersion) return std::nullopt;
    r.Skip(8);
    if (v >= 6000) r.Skip(2);
    const std::uint32_t length = r.D();
    if (length > r.Left()) return std::nullopt;
    TByteReader d(r.Here(), length);
    while (d.Left() >= 9) {
      const std::uint8_t entry_id = d.B();
      const std::uint32_t offset = d.D();
      d.D();  // size
      if (entry_id == id) return offset;
    }
  } catch (...) {
  }
  return std::nullopt;
}

std::string ReadStoredName(TVantorModuleInfo& info, TStream& stream) {
  // A stored name is at most 1 + 255 * 128 bytes long.
  const std::int64_t start = stream.Position();
  const std::int64_t left = std::max<std::int64_t>(0, stream.Size() - start);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min<std::int64_t>(left, 33000)));
  if (!bytes.empty()) stream.ReadBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  TByteReader r(bytes.data(), bytes.size());
  std::string name;
  {
    std::lock_guard<std::mutex> lock(g_cipher_lock);
    if (info.DebugDataVersion >= 500 && info.PasswordKnown) VEncrypt::SetCipherKey(info.Password);
    name = StoredName(info, r, false);
  }
  stream.SetPosition(start + static_cast<std::int64_t>(r.Position()));
  return name;
}

namespace {

// A unit's code range and where its entry starts in the debug information.
struct TUnitSpan {
  std::uint64_t offset;
  std::uint64_t end;
  std::size_t at;
};
struct TUnitIndex {
  const void* memory;
  std::size_t size;
  std::vector<TUnitSpan> units;
};

// The units of the module's debug information, read once (under the cipher lock).
const TUnitIndex* UnitIndexOf(TVantorModuleInfo& info) {
  const void* memory = info.DebugInfo->Memory();
  const auto size = static_cast<std::size_t>(info.DebugInfo->Size());
  if (auto* kept = static_cast<const TUnitIndex*>(info.UnitIndex.get()))
    if (kept->memory == memory && kept->size == size) return kept;
  auto index = std::make_shared<TUnitIndex>();
  index->memory = memory;
  index->size = size;
  const std::uint16_t v = info.DebugDataVersion;
  try {
    TByteReader r(static_cast<const std::uint8_t*>(memory), size);
    if (v > 404 && v < 500) r.Skip(r.D());
    const std::uint32_t units = r.D();
    for (std::uint32_t u = 0; u < units; ++u) {
      const std::size_t at = r.Position();
      SkipStoredName(r, v);
      r.D();
      const std::uint32_t unit_offset = r.D();
      const std::uint32_t code_size = r.D();
      const std::uint32_t records_length = r.D();
      if (records_length > r.Left()) break;
      r.Skip(records_length);
      index->units.push_back(
          {unit_offset, static_cast<std::uint64_t>(unit_offset) + code_size, at});
    }
  } catch (...) {
    // the units read so far are indexed; a lookup past them finds nothing, as a scan would
  }
  info.UnitIndex = index;
  return index.get();
}

}  // namespace

bool LookupInDebugInfo(TVantorModuleInfo& info, std::uintptr_t address, TAddressLocation& location,
                       const TCodeReader& read_code) {
  if (!info.DebugInfo) return false;
  const std::uint16_t v = info.DebugDataVersion;
  const std::uintptr_t code_start = info.Handle + kCodeStart;
  if (address < code_start) return false;
  const std::uint64_t target = address - code_start;
  info.DebugInfo->SetPosition(0);
  std::lock_guard<std::mutex> lock(g_cipher_lock);
  if (v >= 500 && info.PasswordKnown) VEncrypt::SetCipherKey(info.Password);
  try {
    TByteReader r(info.DebugInfo->Memory(), static_cast<std::size_t>(info.DebugInfo->Size()));
    // The first unit whose code holds the address, as a scan from the start would meet it.
    const TUnitIndex* index = UnitIndexOf(info);
    const TUnitSpan* holder = nullptr;
    for (const TUnitSpan& span : index->units)
      if (target >= span.offset && target < span.end) {
        holder = &span;
        break;
      }
    if (!holder) return false;
    r.Seek(holder->at);
    {
      // The name is decoded only for the unit that holds the address.
      const std::size_t name_at = r.Position();
      SkipStoredName(r, v);
      const std::uint32_t first_line = r.D();
      const std::uint32_t unit_offset = r.D();
      const std::uint32_t code_size = r.D();
      const std::uint32_t records_length = r.D();
      if (records_length > r.Left()) return false;
      const std::uint64_t unit_end = static_cast<std::uint64_t>(unit_offset) + code_size;
      std::string unit;
      {
        TByteReader name(info.DebugInfo->Memory(), r.Position());
        name.Seek(name_at);
        unit = StoredName(info, name, true);
      }
      if (unit.find('.') == std::string::npos && info.PasswordKnown) unit += ".pas";
      TByteReader rec(r.Here(), records_length);
      std::uint64_t offset = unit_offset;
      std::uint64_t line = first_line;
      std::string class_name, procedure;
      bool procedure_open = false;
      std::uint64_t procedure_line = 0, procedure_offset = 0;
      bool found = false;
      while (rec.Left() > 0 && offset <= target) {
        const TLineStep s = ReadLineRecord(rec, v);
        const std::uint64_t next = offset + s.code;
        if (target < next) {
          found = true;
          break;
        }
        offset = next;
        line += s.line;
        if (s.new_procedure) {
          SplitProcedureName(StoredName(info, rec, false), class_name, procedure);
          procedure_open = true;
          procedure_line = line;
          procedure_offset = offset;
        }
      }
      if (!found && !(offset <= target && target < unit_end)) return false;
      location.Kind = 4;
      location.Address = address;
      location.UnitName = unit;
      location.ClassName = class_name;
      location.ProcedureName = procedure;
      location.Line = static_cast<std::uint32_t>(line);
      location.LineOffset = 0;
      if (procedure_open) {
        std::uint64_t start_line = procedure_line;
        bool one_less = procedure == "Finalization";
        if (!one_less && procedure != "Initialization") {
          std::uint8_t prologue[3] = {0, 0, 0};
          const bool readable =
              read_code && read_code(code_start + procedure_offset, prologue, sizeof prologue);
          const bool frame =
              readable && prologue[0] == 0x55 && prologue[1] == 0x8B && prologue[2] == 0xEC;
          const bool push_ebx = readable && prologue[0] == 0x53;
          one_less = !frame && !push_ebx;
        }
        if (one_less && start_line > 0) --start_line;
        location.LineOffset = line > start_line ? static_cast<std::uint32_t>(line - start_line) : 0;
      }
      if (!g_internal_error_report && IsLibraryFrame(unit, class_name)) {
        location.Kind = 1;
        location.UnitName.clear();
        location.ClassName.clear();
        location.ProcedureName.clear();
        location.Line = 0;
        location.LineOffset = 0;
      }
      return true;
    }
  } catch (...) {
  }
  return false;
}

}  // namespace VLData
