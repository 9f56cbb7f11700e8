// The debug-data block that the build writes into a module (resource "VLDATA" or appended to
// the file): its reader, the module's options taken from it, and the lookup of a code address
// to unit, class, procedure and line. Pure: every read is bounded, a malformed block is "no
// debug data". The Win32 side (resources, files, module memory) is VLDataWin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Streams.h"
#include "VCallStack.h"
#include "VModules.h"

namespace VLData {

inline constexpr std::uint32_t kMagic = 0x100FAB10;
inline constexpr std::uint32_t kMagicOld = 0x000FAB10;
inline constexpr bool IsMagic(std::uint32_t value) { return value == kMagic || value == kMagicOld; }
// Code offsets count from module base + this.
inline constexpr std::uint32_t kCodeStart = 0x1000;
inline constexpr char kResourceName[] = "VLDATA";

// Symbol directory ids.
enum : std::uint8_t {
  kSymAppHandleException = 0,
  kSymAppShowException = 1,
  kSymHandlerEntry4 = 4,
  kSymHandlerEntry5 = 5,
  kSymClassesInit = 11,
  kSymClassesDone = 12,
  kSymVariantsDone = 13,
  kSymSysUtilsInit = 14,
  kSymSysUtilsDone = 15,
  kSymSystemDone = 16,
  kSymLeaksDone = 17,
  kSymLibraryDone = 18,
  kSymShutdownStep = 19,
};

// Set while the modules list is refreshed and while the freeze watchdog starts: blocks are
// read without their debug-info stream and without the password check.
void SetLightPass(bool on);
bool LightPass();

// Where the password check asks. OwnerExport: the owning module's password export (absent
// when the module has none); OwnHandlers: this module's own PasswordRequest receivers. Each
// gets the current password and may change it.
struct TPasswordRequest {
  std::function<void(std::string& password)> OwnerExport;
  std::function<void(std::string& password)> OwnHandlers;
  bool OwnerIsThisModule = false;
};

// The stored version word of a resource block; 0 when it is not one (too short, wrong magic).
std::uint16_t ResourceBlockVersion(const void* data, std::size_t size);

// Reads the resource form into the module info: version, build date, options, the password
// check and (outside a light pass) the debug-info stream. False on any fault, with the module
// info left at "no debug data" (version 6015, date 0, no stream, options unchanged).
bool ReadResourceBlock(const void* data, std::size_t size, TVantorModuleInfo& info,
                       const TPasswordRequest& password);

// The appended form: the file's last 8 bytes are the block size and the magic.
bool HasAppendedTrailer(TStream& file);
std::uint16_t AppendedBlockVersion(TStream& file);  // 0 when there is none
bool ReadAppendedBlock(TStream& file, TVantorModuleInfo& info);

// Code offset of the first directory entry with that id.
std::optional<std::uint32_t> FindDirectorySymbol(const void* data, std::size_t size,
                                                 std::uint8_t id);

// One stored name at the stream's position (the module's version and password decide the
// coding). Raises EReadError when the stream ends inside it.
std::string ReadStoredName(TVantorModuleInfo& info, TStream& stream);

// Reads code bytes of the module (for the procedure prologue test); false when unreadable.
using TCodeReader = std::function<bool(std::uintptr_t address, void* buffer, std::size_t size)>;

// Looks the address up in the module's debug-info stream (module base = info.Handle) and
// fills unit, class, procedure, line and line offset (kind 4). False when no unit covers it
// or the stream is malformed.
bool LookupInDebugInfo(TVantorModuleInfo& info, std::uintptr_t address, TAddressLocation& location,
                       const TCodeReader& read_code);

// The library's own unit files (sorted): their locations become "module only" unless an
// internal-error report is being built.
void SetLibraryUnitFiles(std::vector<std::string> sorted_names);
void SetBuildingInternalErrorReport(bool on);

}  // namespace VLData
