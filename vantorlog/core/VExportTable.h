// The export directory of a module loaded in this process: its tables and names copied at
// once (a probed read of each byte costs more than the whole list), and the forwarders
// resolved through the target modules' own tables.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "VSystem.h"

namespace VCore {

class TExportTable {
 public:
  // False when the image has no readable export directory inside one of its sections.
  bool Open(TModuleHandle module);
  TModuleHandle Module() const { return module_; }
  // The named entries: 0 .. NamedCount() - 1.
  std::uint32_t NamedCount() const { return named_; }
  // The entry's name and its function's offset in the image; false when unreadable.
  bool Entry(std::uint32_t index, std::string& name, std::uint32_t& function_rva) const;
  // A function offset inside the directory names a forwarder ("Module.Name").
  bool IsForwarder(std::uint32_t function_rva) const;
  std::string Text(std::uint32_t rva) const;
  // The function offset of a name, by binary search of the sorted names; 0 when absent.
  std::uint32_t Find(const std::string& name) const;

 private:
  template <class T>
  bool Read(std::uint32_t rva, T* value) const;

  TModuleHandle module_ = 0;
  std::uint32_t directory_rva_ = 0;
  std::vector<char> copy_;
  bool copied_ = false;
  std::uint32_t named_ = 0, functions_ = 0;
  std::uint32_t names_rva_ = 0, ordinals_rva_ = 0, functions_rva_ = 0;
};

// Where the forwarders of one module's list lead, each target module's table opened once.
class TForwarderResolver {
 public:
  // The address of `name`, a forwarder of `table`'s module; the loader answers what the
  // tables do not (an ordinal, a forwarder that forwards again, a module not loaded yet).
  std::uintptr_t Resolve(const TExportTable& table, std::uint32_t function_rva,
                         const std::string& name);

 private:
  std::map<std::string, TExportTable> targets_;  // by lower-case file name; Module() 0: none yet
};

}  // namespace VCore
