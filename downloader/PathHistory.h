// The three remembered paths of one path combo: the first is the current file.
#pragma once

#include <array>
#include <string>

struct PathHistory {
  std::array<std::wstring, 3> entries;

  // A path already listed trades places with the first entry; a new one goes first and the
  // others move down (the third is dropped).
  void Choose(const std::wstring& path);
  const std::wstring& Current() const { return entries[0]; }
};

// The companion configuration of a QVS image: the path up to its last "." and ".cfg"; empty
// when the path is empty or has no ".".
std::wstring CfgNameFor(const std::wstring& qvsPath);
