// Outside debug information of a module: the common reader interface, the rule that picks a
// reader, and the three readers (linker map file, TD32 symbol data, JCL binary debug data).
// Parsing is pure: every read is bounded by the bytes present, and the few system services
// (the module's file name, files beside it, readable memory) go through TVLDebugHost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Streams.h"
#include "SysUtils.h"
#include "VSystem.h"

// Raised by the TD32 reader for an unreadable data range or a malformed directory.
class EAssertionFailed : public Exception {
 public:
  using Exception::Exception;
};

class TVLDebugInfoSource;

namespace VDebug {

// The system services the readers use. The default is the running process's own; tests put
// in their own.
class TVLDebugHost {
 public:
  virtual ~TVLDebugHost() = default;
  // The module's file name (at most 260 characters); empty when unknown.
  virtual std::string ModuleFileName(VCore::TModuleHandle module);
  virtual bool FileExists(const std::string& file_name);
  // The whole file into the stream (replacing its contents); false when it cannot be opened.
  virtual bool LoadFileToStream(TMemoryStream& stream, const std::string& file_name);
  // Readable bytes from address on, up to length.
  virtual std::size_t ReadableBytes(const void* address, std::size_t length);
};

TVLDebugHost& DebugHost();
// nullptr puts the default back; returns the host that was in place.
TVLDebugHost* SetDebugHost(TVLDebugHost* host);

bool LoadFileToStream(TMemoryStream& stream, const std::string& file_name);

// Binary search over entries that begin with a 32-bit key. compare(entry key, key) < 0 means
// the entry lies below the key. Not found: with nearest the greatest entry below the key (or
// -1 when none), else -1.
using TKeyCompare = int (*)(std::uint32_t entry_key, std::uint32_t key);
int CompareUnsigned(std::uint32_t entry_key, std::uint32_t key);
int SearchSorted(const void* array, std::size_t entry_size, int count, bool nearest,
                 std::uint32_t key, TKeyCompare compare = CompareUnsigned);

// Tries the map, TD32 and JCL readers in that order; the first valid one stays in the slot.
// A slot that already holds a source is left alone (false).
bool PickDebugSource(VCore::TModuleHandle module, std::unique_ptr<TVLDebugInfoSource>& source);

}  // namespace VDebug

// One address resolved by a reader.
struct TVLLocationInfo {
  std::uintptr_t address = 0;
  std::string unit_name;
  std::string procedure_name;
  std::int32_t line_offset = 0;  // line number minus the line at the procedure's start
  std::int32_t line_number = 0;  // 0: unknown
  std::string source_file;
  TVLDebugInfoSource* source = nullptr;  // not owned
};

namespace VDebug {

// A read-only view of bytes inside a loaded module (nothing is copied or freed). In VDebug:
// the modules list has a THModuleStream of its own.
class THModuleStream : public TStream {
 public:
  THModuleStream(const void* address, std::size_t size)
      : memory_(static_cast<const std::uint8_t*>(address)), size_(size) {}
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(size_); }
  void SetSize(std::int64_t size) override;
  const std::uint8_t* Memory() const { return memory_; }

 private:
  const std::uint8_t* memory_;
  std::size_t size_;
  std::int64_t position_ = 0;
};

}  // namespace VDebug

// Owns its items.
template <class T>
using TObjectListEx = std::vector<std::unique_ptr<T>>;

class TVLDebugInfoSource {
 public:
  explicit TVLDebugInfoSource(VCore::TModuleHandle module) : module_(module) {}
  virtual ~TVLDebugInfoSource() = default;
  TVLDebugInfoSource(const TVLDebugInfoSource&) = delete;
  TVLDebugInfoSource& operator=(const TVLDebugInfoSource&) = delete;

  // Made and loaded (the virtual constructor); IsValid tells the outcome.
  template <class T>
  static std::unique_ptr<TVLDebugInfoSource> Create(VCore::TModuleHandle module) {
    std::unique_ptr<TVLDebugInfoSource> source = std::make_unique<T>(module);
    source->LoadSource();
    return source;
  }

  virtual bool LoadSource() = 0;
  // address - module - 0x1000: the offset into the first code section.
  virtual std::uint32_t ModuleOffset(std::uintptr_t address) const;
  virtual bool IsValid() const = 0;
  // True when the address lies in a unit; the record is then filled.
  virtual bool GetLocation(std::uintptr_t address, TVLLocationInfo& info);

  VCore::TModuleHandle Module() const { return module_; }
  std::string ModuleFileName() const;

 protected:
  // The reader's lookups at a module offset.
  virtual std::string UnitNameAt(std::uint32_t offset) = 0;
  virtual std::string ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) = 0;
  virtual std::int32_t LineNumberAt(std::uint32_t offset, std::uint32_t& distance) = 0;
  virtual std::string SourceFileAt(std::uint32_t offset) = 0;

 private:
  const VCore::TModuleHandle module_;
};

// ---- map file -----------------------------------------------------------------------------

struct TVLMapAddress {
  std::uint16_t segment = 0;
  std::uint32_t offset = 0;
};

// Walks the sections of a map text and hands each row to its handler. Names are pointers into
// the text, which the parser keeps as long as it lives.
class TVLAbstractMapParser {
 public:
  virtual ~TVLAbstractMapParser() = default;
  TVLAbstractMapParser(const TVLAbstractMapParser&) = delete;
  TVLAbstractMapParser& operator=(const TVLAbstractMapParser&) = delete;

  // A name at a pointer into the text: "(" starts a name up to ")"; any other runs up to a
  // blank or "("; nil is empty.
  std::string NameAt(const char* name) const;

 protected:
  // Loads the file when it exists (no text otherwise).
  explicit TVLAbstractMapParser(const std::string& file_name);
  TVLAbstractMapParser(const void* text, std::size_t size);

  virtual void AddClassRow(TVLMapAddress address, std::uint32_t length, const char* name,
                           const char* class_name) = 0;
  virtual void AddSegmentRow(TVLMapAddress address, std::uint32_t length, const char* module_name,
                             const char* class_name) = 0;
  virtual void AddPublicByNameRow(TVLMapAddress address, const char* name) = 0;
  virtual void AddPublicByValueRow(TVLMapAddress address, const char* name) = 0;
  virtual void AddLineUnitRow(const char* unit_name, const char* file_name) = 0;
  virtual void AddLineNumberRow(std::int32_t line_number, TVLMapAddress address) = 0;

  void Parse();

 private:
  bool SyncToHeader(int word_set);
  void SkipBlanks();
  void SkipLine();
  std::uint32_t HexValue();
  std::uint32_t DecimalValue();
  TVLMapAddress Address();
  const char* Word();
  const char* Parameter(char letter);
  bool AtDigit() const;

  TMemoryStream stream_;
  const char* text_ = nullptr;
  const char* end_ = nullptr;
  const char* cursor_ = nullptr;
};

class TVLMapScanner : public TVLAbstractMapParser {
 public:
  explicit TVLMapScanner(const std::string& file_name);
  TVLMapScanner(const void* text, std::size_t size);

  std::uint32_t SegmentStartAt(std::uint32_t offset) const;
  std::string UnitNameAt(std::uint32_t offset) const;
  std::string ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) const;
  std::int32_t LineNumberAt(std::uint32_t offset, std::uint32_t& distance) const;
  std::string SourceFileAt(std::uint32_t offset) const;

  int SegmentCount() const { return static_cast<int>(segments_.size()); }
  int ProcedureCount() const { return static_cast<int>(procedures_.size()); }
  int LineCount() const { return static_cast<int>(lines_.size()); }
  int SourceCount() const { return static_cast<int>(sources_.size()); }
  int RejectedLineCount() const { return rejected_lines_; }

 protected:
  void AddClassRow(TVLMapAddress address, std::uint32_t length, const char* name,
                   const char* class_name) override;
  void AddSegmentRow(TVLMapAddress address, std::uint32_t length, const char* module_name,
                     const char* class_name) override;
  void AddPublicByNameRow(TVLMapAddress address, const char* name) override;
  void AddPublicByValueRow(TVLMapAddress address, const char* name) override;
  void AddLineUnitRow(const char* unit_name, const char* file_name) override;
  void AddLineNumberRow(std::int32_t line_number, TVLMapAddress address) override;

 private:
  struct TSegment {
    std::uint32_t start, end;
    const char* name;
  };
  struct TNamed {
    std::uint32_t offset;
    const char* name;
  };
  struct TLine {
    std::uint32_t offset;
    std::int32_t line;
  };
  void Scan();
  template <class E>
  int NearestIn(const std::vector<E>& entries, std::uint32_t offset) const;

  const char* unit_name_ = nullptr;  // last "Line numbers for" heading
  const char* file_name_ = nullptr;
  std::vector<TSegment> segments_;
  std::vector<TNamed> procedures_;
  std::vector<TLine> lines_;
  std::vector<TNamed> sources_;
  TVLMapAddress last_line_;
  std::uint32_t top_offset_ = 0;
  int rejected_lines_ = 0;
  const char* pending_source_ = nullptr;
};

class TVLDebugInfoMap : public TVLDebugInfoSource {
 public:
  using TVLDebugInfoSource::TVLDebugInfoSource;
  bool LoadSource() override;
  bool IsValid() const override { return scanner_ != nullptr; }
  TVLMapScanner* Scanner() const { return scanner_.get(); }

 protected:
  std::string UnitNameAt(std::uint32_t offset) override;
  std::string ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) override;
  std::int32_t LineNumberAt(std::uint32_t offset, std::uint32_t& distance) override;
  std::string SourceFileAt(std::uint32_t offset) override;

 private:
  std::unique_ptr<TVLMapScanner> scanner_;
};

// ---- JCL binary debug data ----------------------------------------------------------------

class TVLBinDebugScanner {
 public:
  // The data is not owned and must outlive the scanner.
  TVLBinDebugScanner(const std::uint8_t* data, std::size_t size, bool cache);

  bool ValidFormat() const { return valid_format_; }
  std::uint32_t UnitStartAt(std::uint32_t offset) const;
  std::string UnitNameAt(std::uint32_t offset) const;
  std::string SourceFileAt(std::uint32_t offset) const;
  std::string ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance);
  std::int32_t LineNumberAt(std::uint32_t offset, std::uint32_t& distance);

 private:
  struct TLine {
    std::uint32_t offset;
    std::int32_t line;
  };
  struct TSymbol {
    std::uint32_t offset, first_name, second_name;
  };
  void CheckFormat();
  std::uint32_t TableOffset(std::size_t field) const;
  std::string NameOf(std::uint32_t name) const;
  // The last entry of a two-value table whose start <= offset; false when none. later tells
  // whether an entry above the offset followed it.
  bool LastPairAtOrBelow(std::size_t field, std::uint32_t offset, std::uint32_t* start,
                         std::uint32_t* value, bool* later) const;
  void DecodeLines();
  void DecodeSymbols();

  const std::uint8_t* data_;
  std::size_t size_;
  bool valid_format_ = false;
  bool cache_;
  bool lines_decoded_ = false;
  bool symbols_decoded_ = false;
  std::vector<TLine> lines_;
  std::vector<TSymbol> symbols_;
};

class TVLDebugInfoJedy : public TVLDebugInfoSource {
 public:
  using TVLDebugInfoSource::TVLDebugInfoSource;
  bool LoadSource() override;
  bool IsValid() const override { return scanner_ && scanner_->ValidFormat(); }
  TVLBinDebugScanner* Scanner() const { return scanner_.get(); }

 protected:
  std::string UnitNameAt(std::uint32_t offset) override;
  std::string ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) override;
  std::int32_t LineNumberAt(std::uint32_t offset, std::uint32_t& distance) override;
  std::string SourceFileAt(std::uint32_t offset) override;

 private:
  std::unique_ptr<TStream> stream_;  // THModuleStream over the section, or the file's bytes
  std::unique_ptr<TVLBinDebugScanner> scanner_;
};

// ---- TD32 symbol data ---------------------------------------------------------------------

struct TVLModuleInfo {
  std::uint32_t name_index = 0;
  const std::uint8_t* segments = nullptr;  // 12 bytes each: flags, offset, size
  std::uint32_t segment_count = 0;
};

struct TVLLineInfo {
  std::int32_t line_number = 0;
  std::uint32_t offset = 0;
};

struct TVLSourceModuleInfo {
  std::uint32_t name_index = 0;
  TObjectListEx<TVLLineInfo> lines;
  const std::uint8_t* ranges = nullptr;  // start, end: 8 bytes each
  std::uint32_t range_count = 0;
};

class TVLSymbolInfo {
 public:
  virtual ~TVLSymbolInfo() = default;
  // The object of a record (length field first), or nullptr for kinds that are not kept or a
  // record too short for its fields.
  static std::unique_ptr<TVLSymbolInfo> Create(const std::uint8_t* record, std::size_t size);
  std::uint16_t Kind() const { return kind_; }

 protected:
  explicit TVLSymbolInfo(std::uint16_t kind) : kind_(kind) {}

 private:
  std::uint16_t kind_;
};

class TVLProcSymbolInfo : public TVLSymbolInfo {
 public:
  TVLProcSymbolInfo(std::uint16_t kind, const std::uint8_t* record);
  std::uint32_t name_index, offset, size;
};
class TVLLocalProcSymbolInfo : public TVLProcSymbolInfo {
 public:
  using TVLProcSymbolInfo::TVLProcSymbolInfo;
};
class TVLGlobalProcSymbolInfo : public TVLProcSymbolInfo {
 public:
  using TVLProcSymbolInfo::TVLProcSymbolInfo;
};

class TVLDataSymbolInfo : public TVLSymbolInfo {
 public:
  TVLDataSymbolInfo(std::uint16_t kind, const std::uint8_t* record);
  std::uint32_t type_index, name_index, offset;
};
class TVLLDataSymbolInfo : public TVLDataSymbolInfo {
 public:
  using TVLDataSymbolInfo::TVLDataSymbolInfo;
};
class TVLGDataSymbolInfo : public TVLDataSymbolInfo {
 public:
  using TVLDataSymbolInfo::TVLDataSymbolInfo;
};
class TVLPublicSymbolInfo : public TVLDataSymbolInfo {
 public:
  using TVLDataSymbolInfo::TVLDataSymbolInfo;
};

class TVLObjNameSymbolInfo : public TVLSymbolInfo {
 public:
  TVLObjNameSymbolInfo(std::uint16_t kind, const std::uint8_t* record);
  std::uint32_t signature, name_index;
};
class TVLWithSymbolInfo : public TVLSymbolInfo {
 public:
  TVLWithSymbolInfo(std::uint16_t kind, const std::uint8_t* record);
  std::uint32_t size, offset, name_index;
};
class TVLLabelSymbolInfo : public TVLSymbolInfo {
 public:
  TVLLabelSymbolInfo(std::uint16_t kind, const std::uint8_t* record);
  std::uint32_t offset, name_index;
};
class TVLConstantSymbolInfo : public TVLSymbolInfo {
 public:
  TVLConstantSymbolInfo(std::uint16_t kind, const std::uint8_t* record);
  std::uint32_t type_index, name_index, value;
};
class TVLUdtSymbolInfo : public TVLSymbolInfo {
 public:
  TVLUdtSymbolInfo(std::uint16_t kind, const std::uint8_t* record);
  std::uint32_t type_index;
  std::uint16_t properties;
  std::uint32_t name_index;
};
class TVLVftPathSymbolInfo : public TVLSymbolInfo {
 public:
  TVLVftPathSymbolInfo(std::uint16_t kind, const std::uint8_t* record);
  std::uint32_t offset, root_index, path_index;
};

class TVLTD32InfoParser {
 public:
  // The data is not owned and must outlive the parser. Raises EAssertionFailed for an
  // unreadable range or a directory whose entry size is not 12.
  TVLTD32InfoParser(const std::uint8_t* data, std::size_t size);
  virtual ~TVLTD32InfoParser() = default;
  TVLTD32InfoParser(const TVLTD32InfoParser&) = delete;
  TVLTD32InfoParser& operator=(const TVLTD32InfoParser&) = delete;

  // Signatures at both ends and a trailing size that fits.
  static bool IsTD32DebugInfoValid(const void* data, std::size_t size);
  static bool IsTD32Sign(const std::uint8_t* at);

  bool ValidData() const { return valid_data_; }
  const TVLModuleInfo* ModuleAt(std::uint32_t offset) const;
  std::string UnitNameAt(std::uint32_t offset) const;
  const TVLSourceModuleInfo* SourceModuleAt(std::uint32_t offset) const;
  // The source module's file name, or text unchanged when none holds the offset.
  void SourceFileAt(std::uint32_t offset, std::string& text) const;
  std::int32_t LineNumberAt(std::uint32_t offset, std::uint32_t& distance) const;
  std::string ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) const;
  // "@Unit@Class@Method$qqrv" as "Class.Method" (unit name removed); others unchanged.
  static std::string FormatProcName(std::string_view unit_name, std::string_view raw);

  int ModuleCount() const { return static_cast<int>(modules_.size()); }
  const TVLModuleInfo* Modules(int i) const { return modules_[i].get(); }
  int SourceModuleCount() const { return static_cast<int>(source_modules_.size()); }
  const TVLSourceModuleInfo* SourceModules(int i) const { return source_modules_[i].get(); }
  int SymbolCount() const { return static_cast<int>(symbols_.size()); }
  const TVLSymbolInfo* Symbols(int i) const { return symbols_[i].get(); }
  std::string Names(std::uint32_t index) const;

 protected:
  virtual void AddNames(const std::uint8_t* data, std::size_t size);
  virtual void AddSymbols(const std::uint8_t* data, std::size_t size);
  virtual void AddModule(const std::uint8_t* data, std::size_t size);
  virtual void AddSourceModules(const std::uint8_t* data, std::size_t size);

 private:
  void Analyse();

  const std::uint8_t* base_;
  std::size_t size_;
  bool valid_data_ = false;
  std::vector<std::string_view> names_;
  TObjectListEx<TVLModuleInfo> modules_;
  TObjectListEx<TVLSourceModuleInfo> source_modules_;
  TObjectListEx<TVLSymbolInfo> symbols_;
};

class TVLTD32InfoScanner : public TVLTD32InfoParser {
 public:
  using TVLTD32InfoParser::TVLTD32InfoParser;
};

// Finds the TD32 data of a module: its PE debug directory, else the ".tds" file beside it.
class TVLPeTD32Image {
 public:
  explicit TVLPeTD32Image(VCore::TModuleHandle module);
  bool IsTD32DebugPresent() const { return td32_present_; }
  TVLTD32InfoScanner* Scanner() const { return scanner_.get(); }

 private:
  bool FindInModule();
  bool FindInFile();

  VCore::TModuleHandle module_;
  bool td32_present_ = false;
  std::unique_ptr<TStream> stream_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::unique_ptr<TVLTD32InfoScanner> scanner_;
};

class TVLDebugInfoTD32 : public TVLDebugInfoSource {
 public:
  using TVLDebugInfoSource::TVLDebugInfoSource;
  bool LoadSource() override;
  bool IsValid() const override;
  TVLPeTD32Image* Image() const { return image_.get(); }

 protected:
  std::string UnitNameAt(std::uint32_t offset) override;
  std::string ProcedureNameAt(std::uint32_t offset, std::uint32_t& distance) override;
  std::int32_t LineNumberAt(std::uint32_t offset, std::uint32_t& distance) override;
  std::string SourceFileAt(std::uint32_t offset) override;

 private:
  std::unique_ptr<TVLPeTD32Image> image_;
};
