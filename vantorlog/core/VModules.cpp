#include "VModules.h"

// clang-format off
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
// clang-format on

#include <cstring>
#include <mutex>

#include "VCore.h"
#include "VExportTable.h"
#include "VLData.h"
#include "VLDataWin.h"
#include "VMemory.h"
#include "VTextUtils.h"
#include "VUnitVariable.h"

namespace VCore {
namespace {

// A function of a module looked up by name.
template <class F>
F ProcOf(HMODULE module, const char* name) {
  return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                : nullptr;
}

}  // namespace

std::uint32_t PriorityClassOfBasePriority(std::int32_t base_priority) {
  if (base_priority <= 0) return 0;
  if (base_priority <= 5) return IDLE_PRIORITY_CLASS;           // 64
  if (base_priority <= 7) return BELOW_NORMAL_PRIORITY_CLASS;   // 0x4000
  if (base_priority <= 9) return NORMAL_PRIORITY_CLASS;         // 32
  if (base_priority <= 12) return ABOVE_NORMAL_PRIORITY_CLASS;  // 0x8000
  if (base_priority <= 23) return HIGH_PRIORITY_CLASS;          // 128
  return REALTIME_PRIORITY_CLASS;                               // 256
}

namespace {

std::recursive_mutex g_lock;
// The processes list has a lock of its own: it is built beside lookups of modules.
std::mutex g_processes_lock;
TVantorModulesList* g_modules = nullptr;
VCore::TUnitVariable<TVantorProcessesList> g_processes_unit;
TVantorProcessesList& g_processes = *g_processes_unit;
VCore::TUnitVariable<std::function<std::shared_ptr<void>(TVantorModuleInfo&)>> g_other_source_unit;
std::function<std::shared_ptr<void>(TVantorModuleInfo&)>& g_other_source = *g_other_source_unit;

HMODULE AsModule(TModuleHandle module) { return reinterpret_cast<HMODULE>(module); }

template <class T>
bool ReadAt(TModuleHandle base, std::uint32_t offset, T* value) {
  return SafeRead(reinterpret_cast<const void*>(base + offset), value, sizeof(T));
}

// The PE headers of a loaded image: the offset of the PE signature and the file header.
bool ReadPeHeaders(TModuleHandle module, std::uint32_t* pe_offset, IMAGE_FILE_HEADER* header) {
  THModuleStream stream(module);
  char mz[2];
  std::uint32_t offset = 0;
  std::uint8_t signature[4];
  if (!stream.CheckedRead(mz, 2) || mz[0] != 'M' || mz[1] != 'Z') return false;
  stream.SetPosition(60);
  if (!stream.CheckedRead(&offset, 4)) return false;
  stream.SetPosition(offset);
  if (!stream.CheckedRead(signature, 4) || std::memcmp(signature, "PE\0\0", 4) != 0 ||
      !stream.CheckedRead(header, sizeof *header))
    return false;
  *pe_offset = offset;
  return true;
}

std::uint64_t AsNumber(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

bool HasExtension(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  return dot != std::string::npos && path.find_first_of("\\/", dot) == std::string::npos;
}

std::string Trimmed(const std::string& text) {
  std::size_t a = 0, b = text.size();
  while (a < b && static_cast<unsigned char>(text[a]) <= ' ') ++a;
  while (b > a && static_cast<unsigned char>(text[b - 1]) <= ' ') --b;
  return text.substr(a, b - a);
}

}  // namespace

void SetOtherDebugSourcePicker(std::function<std::shared_ptr<void>(TVantorModuleInfo&)> pick) {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  g_other_source = std::move(pick);
}

TVantorModulesList* ModulesList() { return g_modules; }

void StartModulesList() {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  if (!g_modules) g_modules = new TVantorModulesList;
}

void StopModulesList() {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  delete g_modules;
  g_modules = nullptr;
}

TVantorModuleInfo* ModuleInfoOfHandle(TModuleHandle module) {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  if (module == 0 || !g_modules) return nullptr;
  for (int i = 0; i < g_modules->Count(); ++i) {
    TVantorModuleInfo* info = g_modules->Items(i);
    if (info->Handle != module) continue;
    if (info->Kind != kModuleNotAnalysed || VLData::LightPass()) return info;
    // Entered in a light pass: built again, analysed.
    g_modules->Delete(i);
    break;
  }
  if (!AddModuleByHandle(module)) return nullptr;
  return g_modules->Count() > 0 ? g_modules->Items(g_modules->Count() - 1) : nullptr;
}

TVantorModuleInfo* ModuleInfoOfAddress(const void* address) {
  MEMORY_BASIC_INFORMATION mbi{};
  if (!address || VirtualQuery(address, &mbi, sizeof mbi) != sizeof mbi ||
      mbi.State != MEM_COMMIT || !mbi.AllocationBase)
    return nullptr;
  return ModuleInfoOfHandle(reinterpret_cast<TModuleHandle>(mbi.AllocationBase));
}

std::shared_ptr<TVantorModuleInfo> ModuleInfoRefOfAddress(const void* address) {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  TVantorModuleInfo* info = ModuleInfoOfAddress(address);
  if (!info || !g_modules) return nullptr;
  for (int i = g_modules->Count() - 1; i >= 0; --i)
    if (g_modules->Items(i) == info) return g_modules->Shared(i);
  return nullptr;
}

void DropChangedModules() {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  if (!g_modules) return;
  for (int i = g_modules->Count() - 1; i >= 0; --i) {
    const TVantorModuleInfo& info = *g_modules->Items(i);
    if (AsNumber(FileTimeOf(info.FileName)) != info.FileDate) g_modules->Delete(i);
  }
}

bool AddModuleInfo(TModuleHandle module, const std::string& file_name, bool analyse) {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  if (!g_modules) return false;
  auto info = std::make_unique<TVantorModuleInfo>();
  info->Handle = module;
  info->FileName = file_name;
  info->FileDate = AsNumber(FileTimeOf(file_name));
  FileVersionAndDescription(file_name, &info->Version, &info->Description);
  info->FileSize = FileSizeOf(file_name);
  const bool light = VLData::LightPass();
  if (analyse && !light) {
    if (AsModule(module) != GetModuleHandleA(nullptr)) BuildExportList(module, info->Exports);
    info->Kind = ModuleKind(module);
  }
  info->Options = TVantorModuleOptions::Create<TVantorModuleOptionsEx>(file_name);
  info->Options->FModuleInstance = module;
  bool loaded = false;
  if (analyse) loaded = VLData::LoadDebugDataOfModule(*info);
  if (!loaded) {
    info->DebugDataVersion = kCurrentStreamVersion;
    info->BuildDate = 0;
    info->DebugInfo.reset();
    if (analyse && !light && g_other_source) info->OtherDebugSource = g_other_source(*info);
  }
  g_modules->Add(std::move(info));
  return true;
}

bool AddModuleByHandle(TModuleHandle module) {
  const std::string file = ModuleFileNameOf(AsModule(module));
  if (file.empty()) return false;
  return AddModuleInfo(module, file, true);
}

void RefreshModulesList() {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  if (!g_modules) return;
  for (int i = g_modules->Count() - 1; i >= 0; --i) {
    if (ModuleFileNameOf(AsModule(g_modules->Items(i)->Handle)).empty()) g_modules->Delete(i);
  }
  VLData::SetLightPass(true);
  if (IsWin95()) {
    using TCreate = HANDLE(WINAPI*)(DWORD, DWORD);
    using TWalk = BOOL(WINAPI*)(HANDLE, tagMODULEENTRY32*);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto create = ProcOf<TCreate>(kernel, "CreateToolhelp32Snapshot");
    auto first = ProcOf<TWalk>(kernel, "Module32First");
    auto next = ProcOf<TWalk>(kernel, "Module32Next");
    if (create && first && next) {
      HANDLE snapshot = create(TH32CS_SNAPMODULE, GetCurrentProcessId());
      if (snapshot != INVALID_HANDLE_VALUE) {
        tagMODULEENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL ok = first(snapshot, &entry); ok; ok = next(snapshot, &entry))
          ModuleInfoOfHandle(reinterpret_cast<TModuleHandle>(entry.hModule));
        CloseHandle(snapshot);
      }
    }
  } else if (HMODULE psapi = LoadLibraryA("PSAPI.DLL")) {
    using TEnum = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
    auto enumerate = ProcOf<TEnum>(psapi, "EnumProcessModules");
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
    DWORD needed = 0;
    if (enumerate && process && enumerate(process, nullptr, 0, &needed) && needed > 0) {
      std::vector<HMODULE> modules(needed / sizeof(HMODULE) + 16);
      DWORD got = 0;
      if (enumerate(process, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)),
                    &got)) {
        modules.resize(std::min<std::size_t>(modules.size(), got / sizeof(HMODULE)));
        for (HMODULE m : modules) ModuleInfoOfHandle(reinterpret_cast<TModuleHandle>(m));
      }
    }
    if (process) CloseHandle(process);
    FreeLibrary(psapi);
  }
  VLData::SetLightPass(false);
  g_modules->Sort(
      [](const TVantorModuleInfo& a, const TVantorModuleInfo& b) { return a.Handle < b.Handle; });
}

bool IsLibraryModule(TModuleHandle module) {
  std::uint32_t pe = 0;
  IMAGE_FILE_HEADER header{};
  if (!ReadPeHeaders(module, &pe, &header)) {
    // The runtime's own flag: this module is a library when it is not the program.
    return ThisModuleHandle() != reinterpret_cast<TModuleHandle>(GetModuleHandleA(nullptr));
  }
  return (header.Characteristics & IMAGE_FILE_DLL) != 0;
}

std::uint8_t ModuleKind(TModuleHandle module) {
  std::uint32_t pe = 0;
  IMAGE_FILE_HEADER header{};
  if (!ReadPeHeaders(module, &pe, &header)) return kModuleNotAnalysed;
  if ((header.Characteristics & IMAGE_FILE_DLL) == 0) return kModuleProgram;
  std::uint8_t kind = kModuleLibrary;
  const std::string file = ModuleFileNameOf(AsModule(module));
  if (HMODULE data = LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
    if (FindResourceA(data, "PACKAGEINFO", MAKEINTRESOURCEA(10)) &&
        FindResourceA(data, "PACKAGEOPTIONS", MAKEINTRESOURCEA(10)))
      kind = kModulePackage;
    FreeLibrary(data);
  }
  return kind;
}

bool BuildExportList(TModuleHandle module, TVantorFunctionsList& list) {
  list.Clear();
  if (ModuleFileNameOf(AsModule(module)).empty()) return false;
  const void* base = reinterpret_cast<const void*>(module);
  if (!IsMemoryReadable(base, 64)) return false;
  std::uint32_t pe = 0;
  if (!ReadAt(module, 60, &pe) || !IsMemoryReadable(static_cast<const char*>(base) + pe, 248))
    return false;
  IMAGE_NT_HEADERS32 nt;
  if (!ReadAt(module, pe, &nt) || nt.Signature != IMAGE_NT_SIGNATURE) return false;
  const std::uint32_t code_start = nt.OptionalHeader.BaseOfCode;
  if (!IsMemoryReadable(static_cast<const char*>(base) + code_start, nt.OptionalHeader.SizeOfCode))
    return false;
  TExportTable table;
  if (!table.Open(module)) return true;
  TForwarderResolver forwarders;
  const bool win9x = IsWin95();
  for (std::uint32_t i = 0; i < table.NamedCount(); ++i) {
    std::string name;
    std::uint32_t function_rva = 0;
    if (!table.Entry(i, name, function_rva)) continue;
    std::uintptr_t address = module + function_rva;
    if (table.IsForwarder(function_rva)) {
      address = forwarders.Resolve(table, function_rva, name);
    } else if (win9x) {
      std::uint8_t thunk[10];
      if (SafeRead(reinterpret_cast<const void*>(address), thunk, sizeof thunk) &&
          thunk[0] == 0x68 && thunk[5] == 0xE9) {
        std::uint32_t pushed;
        std::memcpy(&pushed, thunk + 1, 4);
        address = pushed;
      }
    }
    auto function = std::make_unique<TVantorFunctionInfo>();
    function->Name = name;
    function->Address = address;
    function->CodeLength = address < module + code_start ? 1 : 0;
    list.Add(std::move(function));
  }
  list.Sort([](const TVantorFunctionInfo& a, const TVantorFunctionInfo& b) {
    return a.Address < b.Address;
  });
  return true;
}

// ---- processes -------------------------------------------------------------------------------

namespace {

struct TProcessFunctions {
  using TMemoryInfo = BOOL(WINAPI*)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
  using TFileName = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
  using TEnum = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
  using TCreate = HANDLE(WINAPI*)(DWORD, DWORD);
  using TThreadWalk = BOOL(WINAPI*)(HANDLE, THREADENTRY32*);
  using TProcessWalk = BOOL(WINAPI*)(HANDLE, tagPROCESSENTRY32*);
  using TModuleWalk = BOOL(WINAPI*)(HANDLE, tagMODULEENTRY32*);
  TMemoryInfo memory_info = nullptr;
  TFileName file_name = nullptr;
  TEnum enum_processes = nullptr;
  TCreate create_snapshot = nullptr;
  TThreadWalk thread_first = nullptr, thread_next = nullptr;
  TProcessWalk process_first = nullptr, process_next = nullptr;
  TModuleWalk module_first = nullptr, module_next = nullptr;
};

void AddProcessById(const TProcessFunctions& f, DWORD id, const std::string& name) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
  if (!process) return;
  std::string path;
  if (f.file_name) {
    char buffer[MAX_PATH + 1] = {};
    const DWORD n = f.file_name(process, nullptr, buffer, MAX_PATH);
    path.assign(buffer, n);
  }
  if (path.empty()) path = name;
  path = Trimmed(path);
  if (path.empty()) {
    CloseHandle(process);
    return;
  }
  auto info = std::make_unique<TVantorProcessInfo>();
  info->FileName = path;
  FileVersionAndDescription(path, &info->Version, &info->Description);
  info->ProcessID = id;
  info->PriorityClass = GetPriorityClass(process);
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (f.memory_info && f.memory_info(process, &counters, sizeof counters))
    info->MemoryInUse = static_cast<std::uint32_t>(counters.WorkingSetSize);
  CloseHandle(process);
  g_processes.Add(std::move(info));
}

// The executable's full path from a module snapshot of its process.
std::string FullPathOf(const TProcessFunctions& f, DWORD id, const std::string& exe) {
  if (!f.create_snapshot || !f.module_first || !f.module_next || !HasExtension(exe)) return exe;
  HANDLE snapshot = f.create_snapshot(TH32CS_SNAPMODULE, id);
  if (snapshot == INVALID_HANDLE_VALUE) return exe;
  std::string path = exe;
  tagMODULEENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = f.module_first(snapshot, &entry); ok; ok = f.module_next(snapshot, &entry)) {
    if (lstrcmpiA(entry.szModule, exe.c_str()) == 0) {
      path = entry.szExePath;
      break;
    }
  }
  CloseHandle(snapshot);
  return path;
}

}  // namespace

TVantorProcessesList* ProcessesList() { return &g_processes; }

void BuildProcessesList() {
  std::lock_guard<std::mutex> lock(g_processes_lock);
  g_processes.Clear();
  TProcessFunctions f;
  HMODULE psapi = LoadLibraryA("PSAPI.dll");
  if (psapi) {
    f.memory_info = ProcOf<TProcessFunctions::TMemoryInfo>(psapi, "GetProcessMemoryInfo");
    f.file_name = ProcOf<TProcessFunctions::TFileName>(psapi, "GetModuleFileNameExA");
    f.enum_processes = ProcOf<TProcessFunctions::TEnum>(psapi, "EnumProcesses");
  }
  HMODULE kernel = GetModuleHandleA("Kernel32.dll");
  f.create_snapshot = ProcOf<TProcessFunctions::TCreate>(kernel, "CreateToolhelp32Snapshot");
  f.thread_first = ProcOf<TProcessFunctions::TThreadWalk>(kernel, "Thread32First");
  f.thread_next = ProcOf<TProcessFunctions::TThreadWalk>(kernel, "Thread32Next");
  f.process_first = ProcOf<TProcessFunctions::TProcessWalk>(kernel, "Process32First");
  f.process_next = ProcOf<TProcessFunctions::TProcessWalk>(kernel, "Process32Next");
  f.module_first = ProcOf<TProcessFunctions::TModuleWalk>(kernel, "Module32First");
  f.module_next = ProcOf<TProcessFunctions::TModuleWalk>(kernel, "Module32Next");

  bool threads_known = false;
  if (IsNT4Platform()) {
    if (f.enum_processes) {
      DWORD ids[1025];
      DWORD got = 0;
      if (f.enum_processes(ids, sizeof ids, &got)) {
        for (DWORD i = 0; i < got / sizeof(DWORD); ++i) AddProcessById(f, ids[i], "");
      }
    }
  } else if (f.create_snapshot && f.process_first && f.process_next) {
    HANDLE snapshot = f.create_snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
      const bool vista = IsVistaOrLater();
      tagPROCESSENTRY32 entry{};
      entry.dwSize = sizeof entry;
      for (BOOL ok = f.process_first(snapshot, &entry); ok; ok = f.process_next(snapshot, &entry)) {
        if (!vista) {
          AddProcessById(f, entry.th32ProcessID, entry.szExeFile);
          continue;
        }
        auto info = std::make_unique<TVantorProcessInfo>();
        info->ProcessID = entry.th32ProcessID;
        info->FileName = FullPathOf(f, entry.th32ProcessID, entry.szExeFile);
        if (HasExtension(info->FileName))
          FileVersionAndDescription(info->FileName, &info->Version, &info->Description);
        info->PriorityClass = PriorityClassOfBasePriority(entry.pcPriClassBase);
        info->ThreadCount = entry.cntThreads;
        g_processes.Add(std::move(info));
      }
      threads_known = vista;
      CloseHandle(snapshot);
    }
  }
  g_processes.Sort([](const TVantorProcessInfo& a, const TVantorProcessInfo& b) {
    return a.ProcessID < b.ProcessID;
  });

  if (!threads_known && f.create_snapshot && f.thread_first && f.thread_next) {
    HANDLE snapshot = f.create_snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
      THREADENTRY32 entry{};
      entry.dwSize = sizeof entry;
      int last = -1;
      for (BOOL ok = f.thread_first(snapshot, &entry); ok; ok = f.thread_next(snapshot, &entry)) {
        const DWORD owner = entry.th32OwnerProcessID;
        if (last < 0 || g_processes.Items(last)->ProcessID != owner) {
          int lo = 0, hi = g_processes.Count() - 1;
          last = -1;
          while (lo <= hi) {
            const int mid = (lo + hi) / 2;
            const DWORD id = g_processes.Items(mid)->ProcessID;
            if (id == owner) {
              last = mid;
              break;
            }
            if (id < owner) {
              lo = mid + 1;
            } else {
              hi = mid - 1;
            }
          }
        }
        if (last >= 0) ++g_processes.Items(last)->ThreadCount;
      }
      CloseHandle(snapshot);
    }
  }
  if (psapi) FreeLibrary(psapi);
}

std::uint32_t ParentProcessID() {
  HMODULE kernel = GetModuleHandleA("Kernel32.dll");
  auto create = ProcOf<TProcessFunctions::TCreate>(kernel, "CreateToolhelp32Snapshot");
  auto first = ProcOf<TProcessFunctions::TProcessWalk>(kernel, "Process32First");
  auto next = ProcOf<TProcessFunctions::TProcessWalk>(kernel, "Process32Next");
  if (!create || !first || !next) return 0;
  HANDLE snapshot = create(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  std::uint32_t parent = 0;
  tagPROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = first(snapshot, &entry); ok; ok = next(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return parent;
}

}  // namespace VCore

// ---- THModuleStream --------------------------------------------------------------------------

std::int32_t THModuleStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0 || position_ < 0) return 0;
  const void* from = reinterpret_cast<const void*>(base_ + static_cast<std::uintptr_t>(position_));
  std::size_t n = VCore::ReadableBytes(from, static_cast<std::size_t>(count));
  if (n > 0 && !VCore::SafeRead(from, buffer, n)) n = 0;
  position_ += static_cast<std::int64_t>(n);
  return static_cast<std::int32_t>(n);
}

std::int32_t THModuleStream::Write(const void*, std::int32_t) { return 0; }

std::int64_t THModuleStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  if (origin == TSeekOrigin::soCurrent) {
    position_ += offset;
  } else {
    position_ = offset;  // the end of an unlimited stream is not a place to seek from
  }
  return position_;
}

bool THModuleStream::CheckedRead(void* buffer, std::int32_t count) {
  if (count <= 0) return count == 0;
  const void* from = reinterpret_cast<const void*>(base_ + static_cast<std::uintptr_t>(position_));
  if (!VCore::SafeRead(from, buffer, static_cast<std::size_t>(count))) return false;
  position_ += count;
  return true;
}
