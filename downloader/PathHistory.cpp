#include "PathHistory.h"

#include <utility>

void PathHistory::Choose(const std::wstring& path) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i] == path) {
      std::swap(entries[0], entries[i]);
      return;
    }
  }
  entries[2] = std::move(entries[1]);
  entries[1] = std::move(entries[0]);
  entries[0] = path;
}

std::wstring CfgNameFor(const std::wstring& qvsPath) {
  std::size_t dot = qvsPath.rfind(L'.');
  if (qvsPath.empty() || dot == std::wstring::npos) return std::wstring();
  return qvsPath.substr(0, dot) + L".cfg";
}
