#include "VLeakReport.h"

#include <cstdio>

namespace ExceptionLog {

TLeakCollector::TLeakCollector() : list_(std::make_unique<TVantorStackList>()) {}

void TLeakCollector::Reset() {
  list_ = std::make_unique<TVantorStackList>();
  total_size_ = total_count_ = 0;
  leaks_ = 0;
  same_address_ = true;
  address_ = nullptr;
}

bool TLeakCollector::Add(const std::string& type_name, std::uint32_t size, std::uint32_t count,
                         std::uint32_t first_address,
                         std::vector<std::unique_ptr<TAddressLocation>> located) {
  std::vector<std::unique_ptr<TAddressLocation>> kept;
  for (auto& location : located) {
    if (!location || location->Kind < 2 || location->Kind > 4) continue;
    if (kept.empty() && location->Kind != 4) return false;
    kept.push_back(std::move(location));
  }
  if (kept.empty()) return false;
  const std::string type = type_name.substr(0, kLeakTypeNameLength);
  // Each leak starts a block of its own in the report, also when its first address was not
  // located.
  kept.front()->Exact = 1;
  for (auto& location : kept) {
    location->Leak = true;
    location->LeakType = type;
    location->LeakTotalSize = size;
    location->LeakCount = count;
    list_->Add(std::move(location));
  }
  total_size_ += size;
  total_count_ += count;
  const void* first = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(first_address));
  if (leaks_++ == 0)
    address_ = first;
  else if (address_ != first)
    same_address_ = false;
  return true;
}

std::string TLeakCollector::Message(const std::string& leak, const std::string& total_size,
                                    const std::string& count) const {
  return leak + ": " + total_size + "=" + std::to_string(static_cast<std::int32_t>(total_size_)) +
         " - " + count + "=" + std::to_string(static_cast<std::int32_t>(total_count_));
}

}  // namespace ExceptionLog
