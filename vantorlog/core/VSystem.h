// The few process facts that portable parts of the library need, on Win32 and (for the native
// test build) on POSIX.
#pragma once

#include <cstdint>
#include <string>

namespace VCore {

// A module handle as a number (HMODULE on Windows); 0 is none.
using TModuleHandle = std::uintptr_t;

// The module with that file name when it is loaded; 0 for an empty name or no such module.
TModuleHandle ModuleHandleOf(const std::string& file_name);
// The module this copy of the library is linked into.
TModuleHandle ThisModuleHandle();
// Full path of the running program.
std::string ProgramFileName();
std::uint32_t OwnProcessID();
// The computer's name (up to 15 characters on Windows).
std::string ComputerNameText();

// An environment variable's value; empty when it is not set.
std::string GetEnvVar(const std::string& name);
bool SetEnvVar(const std::string& name, const std::string& value);

}  // namespace VCore
