// Debug data of the loaded modules on Win32: the "VLDATA" resource or the block appended to the
// module's file, read into the module's record, and the lookup of code addresses in it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "VLData.h"
#include "VModules.h"
#include "VSystem.h"

namespace VLData {

bool HasVLDataResource(VCore::TModuleHandle module);
bool HasAppendedDebugData(VCore::TModuleHandle module);
bool HasDebugData(VCore::TModuleHandle module);
// The resource's version word as stored, else the appended block's; 0 when there is neither.
std::uint16_t DebugDataVersion(VCore::TModuleHandle module);
// Debug data present and not older than the current version.
bool DebugDataIsUsable(VCore::TModuleHandle module);

bool LoadVLDataResource(TVantorModuleInfo& info);
bool LoadAppendedDebugData(TVantorModuleInfo& info);
// The resource form when present, else the appended form; a module other than this library
// copy's then reloads its options from its shared block (what it published at run time wins).
bool LoadDebugDataOfModule(TVantorModuleInfo& info);

// Module base + 0x1000 + offset of the first directory entry with that id in this library
// copy's own module; nullptr when there is none.
const void* FindVLDataSymbol(std::uint8_t id);

// Fills unit, class, procedure, line and line offset for a code address of a module in the
// modules list (added when new).
bool LookupAddressInDebugData(const void* address, TAddressLocation& location);

// This module's own PasswordRequest receivers (handler objects, then the global handler); the
// event dispatch installs it.
void SetOwnPasswordRequest(std::function<void(std::string& password)> receivers);

}  // namespace VLData
