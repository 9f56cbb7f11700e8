// The modules loaded into the process (file facts, exports, options, debug data) and the
// processes running on the machine. The records and lists are plain data; the functions that
// fill them from the system are Win32 only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ExceptionLog.h"
#include "Streams.h"
#include "VOptionsStream.h"
#include "VSystem.h"

// A list that owns its records; Delete and Clear free them, unless a holder of Shared(i)
// still keeps one.
template <class T>
class TVantorOwnedList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  T* Items(int index) const { return items_[static_cast<std::size_t>(index)].get(); }
  std::shared_ptr<T> Shared(int index) const { return items_[static_cast<std::size_t>(index)]; }
  T* Add(std::unique_ptr<T> item) {
    items_.push_back(std::shared_ptr<T>(std::move(item)));
    return items_.back().get();
  }
  void Delete(int index) { items_.erase(items_.begin() + index); }
  void Clear() { items_.clear(); }
  template <class Less>
  void Sort(Less less) {
    std::stable_sort(
        items_.begin(), items_.end(),
        [&](const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) { return less(*a, *b); });
  }

 private:
  std::vector<std::shared_ptr<T>> items_;
};

// One export of a module. CodeLength: 0 not measured yet, 1 below the code section.
struct TVantorFunctionInfo {
  std::string Name;  // at most 256 characters
  std::uintptr_t Address = 0;
  std::uint32_t CodeLength = 0;
};
class TVantorFunctionsList : public TVantorOwnedList<TVantorFunctionInfo> {};

// Module kinds.
inline constexpr std::uint8_t kModuleNotAnalysed = 0;
inline constexpr std::uint8_t kModuleProgram = 1;
inline constexpr std::uint8_t kModulePackage = 2;
inline constexpr std::uint8_t kModuleLibrary = 3;

struct TVantorModuleInfo {
  VCore::TModuleHandle Handle = 0;
  std::string FileName;
  std::string Version;  // "a.b.c.d"; empty when the file has none
  std::string Description;
  std::uint32_t FileSize = 0;
  TVantorFunctionsList Exports;  // sorted by address
  std::uint8_t Kind = kModuleNotAnalysed;
  std::uint16_t DebugDataVersion = VCore::kCurrentStreamVersion;
  double BuildDate = 0;  // days since 1899-12-30 and the fraction of the day
  std::unique_ptr<TVantorModuleOptionsEx> Options;
  std::unique_ptr<TMemoryStream> DebugInfo;
  // The debug-information source of a module without debug data of its own (map file, TD32,
  // JCL); owned, of the reader's type.
  std::shared_ptr<void> OtherDebugSource;
  std::uint64_t FileDate = 0;  // last write, local time, as a FILETIME
  std::string Password;
  std::uint8_t PasswordKnown = 1;
  // Where each unit of DebugInfo starts, made on the first lookup (the debug-data reader's).
  std::shared_ptr<void> UnitIndex;
};
class TVantorModulesList : public TVantorOwnedList<TVantorModuleInfo> {};

struct TVantorProcessInfo {
  std::uint32_t ProcessID = 0;
  std::string FileName;
  std::string Version;
  std::string Description;
  std::uint32_t PriorityClass = 0;  // GetPriorityClass values
  std::uint32_t MemoryInUse = 0;    // working-set bytes; 0 when unknown
  std::uint32_t ThreadCount = 0;
};
class TVantorProcessesList : public TVantorOwnedList<TVantorProcessInfo> {};

namespace VCore {

// Priority class of a Toolhelp base priority.
std::uint32_t PriorityClassOfBasePriority(std::int32_t base_priority);

#ifdef _WIN32
// The process's modules list (created by StartModulesList, freed by StopModulesList).
TVantorModulesList* ModulesList();
void StartModulesList();
void StopModulesList();

TVantorModuleInfo* ModuleInfoOfHandle(TModuleHandle module);
TVantorModuleInfo* ModuleInfoOfAddress(const void* address);
// The same, held: a refresh may drop the entry from the list while the holder reads it.
std::shared_ptr<TVantorModuleInfo> ModuleInfoRefOfAddress(const void* address);
// Deletes the entries whose file's last-write date is no longer the one read (they are read
// again on their next lookup).
void DropChangedModules();
bool AddModuleInfo(TModuleHandle module, const std::string& file_name, bool analyse);
bool AddModuleByHandle(TModuleHandle module);
void RefreshModulesList();

// The processes list, rebuilt by BuildProcessesList.
TVantorProcessesList* ProcessesList();
void BuildProcessesList();
std::uint32_t ParentProcessID();

bool IsLibraryModule(TModuleHandle module);
std::uint8_t ModuleKind(TModuleHandle module);
bool BuildExportList(TModuleHandle module, TVantorFunctionsList& list);
// Picks the debug-information source (map file, TD32, JCL) of an analysed module that has no
// debug data of its own; installed by the debug-information readers.
void SetOtherDebugSourcePicker(std::function<std::shared_ptr<void>(TVantorModuleInfo&)> pick);
#endif

}  // namespace VCore

#ifdef _WIN32
// A stream over a loaded module's image, without copying; its size counts as unlimited.
class THModuleStream : public TStream {
 public:
  explicit THModuleStream(VCore::TModuleHandle module) : base_(module) {}
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return INT64_MAX; }
  void SetSize(std::int64_t size) override {}
  // Reads only when all count bytes are readable; reports whether they were.
  bool CheckedRead(void* buffer, std::int32_t count);

 private:
  using TModuleHandle = VCore::TModuleHandle;
  TModuleHandle base_;
  std::int64_t position_ = 0;
};
#endif
