// The shared options block: each module's options published in a named paging-file mapping
// ("%08X%08X" of the process id and the module handle) so the library's other copies in the
// process can read them. Layout: a 32-bit size (data + 4), a flag byte (1 = options present),
// the options block.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class TVantorModuleOptions;

namespace VCore {

std::string SharedBlockName(DWORD process_id, HMODULE module);
// Creates (size > 0) or opens (size 0: none unless it already exists) the module's block.
// data points behind the size word; data_size is what the block holds behind it.
HANDLE OpenSharedBlock(HMODULE module, std::uint32_t size, std::uint8_t** data,
                       std::uint32_t* data_size);
void CloseSharedBlock(HANDLE& mapping, std::uint8_t*& data);

// Publishes the options to their module's block (this library copy keeps one mapping open).
bool PublishToSharedBlock(const TVantorModuleOptions& options);
// Reloads the options from their module's block; false (options unchanged) when the block is
// absent, empty, flagged empty or not a whole options block.
bool ReloadFromSharedBlock(TVantorModuleOptions& options);
// Closes this copy's published block (shut-down).
void ReleasePublishedBlock();

}  // namespace VCore
