#include "VExportTable.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "VMemory.h"
#include "VTextUtils.h"

namespace VCore {

template <class T>
bool TExportTable::Read(std::uint32_t rva, T* value) const {
  const std::uint32_t at = rva - directory_rva_;
  if (copied_ && rva >= directory_rva_ && at <= copy_.size() &&
      copy_.size() - at >= sizeof *value) {
    std::memcpy(value, copy_.data() + at, sizeof *value);
    return true;
  }
  return SafeRead(reinterpret_cast<const void*>(module_ + rva), value, sizeof *value);
}

bool TExportTable::Open(TModuleHandle module) {
  *this = TExportTable();
  module_ = module;
  std::uint32_t pe = 0;
  IMAGE_NT_HEADERS32 nt;
  if (!module || !Read(60, &pe) || !Read(pe, &nt) || nt.Signature != IMAGE_NT_SIGNATURE ||
      nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT)
    return false;
  const IMAGE_DATA_DIRECTORY dir = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (dir.VirtualAddress == 0) return false;
  // The section that holds the export directory.
  const std::uint32_t sections =
      pe + 4 + sizeof(IMAGE_FILE_HEADER) + nt.FileHeader.SizeOfOptionalHeader;
  bool held = false;
  for (int i = 0; i < nt.FileHeader.NumberOfSections && !held; ++i) {
    IMAGE_SECTION_HEADER s;
    if (!Read(sections + i * sizeof s, &s)) return false;
    const std::uint32_t size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
    held = s.VirtualAddress <= dir.VirtualAddress && s.VirtualAddress + size > dir.VirtualAddress;
  }
  if (!held) return false;
  directory_rva_ = dir.VirtualAddress;
  copy_.resize(dir.Size);
  copied_ = dir.Size > 0 && SafeRead(reinterpret_cast<const void*>(module + dir.VirtualAddress),
                                     copy_.data(), copy_.size());
  IMAGE_EXPORT_DIRECTORY exports;
  if (!Read(dir.VirtualAddress, &exports) || exports.Characteristics != 0) return false;
  functions_ = exports.NumberOfFunctions;
  named_ = std::min(exports.NumberOfFunctions, exports.NumberOfNames);
  names_rva_ = exports.AddressOfNames;
  ordinals_rva_ = exports.AddressOfNameOrdinals;
  functions_rva_ = exports.AddressOfFunctions;
  return true;
}

std::string TExportTable::Text(std::uint32_t rva) const {
  std::string text;
  for (std::uint32_t k = 0; k < 256; ++k) {
    char c;
    if (!Read(rva + k, &c) || c == 0) break;
    text += c;
  }
  return text;
}

bool TExportTable::Entry(std::uint32_t index, std::string& name,
                         std::uint32_t& function_rva) const {
  std::uint32_t name_rva = 0;
  std::uint16_t ordinal = 0;
  if (index >= named_ || !Read(names_rva_ + 4 * index, &name_rva) ||
      !Read(ordinals_rva_ + 2 * index, &ordinal) || ordinal >= functions_ ||
      !Read(functions_rva_ + 4 * ordinal, &function_rva))
    return false;
  name = Text(name_rva);
  return true;
}

bool TExportTable::IsForwarder(std::uint32_t function_rva) const {
  return function_rva >= directory_rva_ && function_rva - directory_rva_ < copy_.size();
}

std::uint32_t TExportTable::Find(const std::string& name) const {
  std::uint32_t low = 0, high = named_;
  while (low < high) {
    const std::uint32_t middle = low + (high - low) / 2;
    std::string entry;
    std::uint32_t function_rva = 0;
    if (!Entry(middle, entry, function_rva)) return 0;
    const int order = std::strcmp(entry.c_str(), name.c_str());
    if (order == 0) return function_rva;
    if (order < 0)
      low = middle + 1;
    else
      high = middle;
  }
  return 0;
}

std::uintptr_t TForwarderResolver::Resolve(const TExportTable& table, std::uint32_t function_rva,
                                           const std::string& name) {
  const auto loader = [&] {
    return reinterpret_cast<std::uintptr_t>(
        GetProcAddress(reinterpret_cast<HMODULE>(table.Module()), name.c_str()));
  };
  const std::string forward = table.Text(function_rva);
  const std::size_t dot = forward.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 >= forward.size() || forward[dot + 1] == '#')
    return loader();
  // The loader's rule: a module name without an extension is a .dll.
  std::string file = LowerCase(forward.substr(0, dot));
  if (file.find('.') == std::string::npos) file += ".dll";
  TExportTable& target = targets_[file];
  if (!target.Module()) {
    // Not loaded yet, or not a module: the loader answers, and may load it for the next ones.
    const HMODULE handle = GetModuleHandleA(file.c_str());
    if (!handle || !target.Open(reinterpret_cast<TModuleHandle>(handle))) {
      target = TExportTable();
      return loader();
    }
  }
  const std::uint32_t rva = target.Find(forward.substr(dot + 1));
  if (rva == 0 || target.IsForwarder(rva)) return loader();
  return target.Module() + rva;
}

}  // namespace VCore
