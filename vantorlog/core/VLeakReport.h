// The leaks collected for the final leak report, apart from locating their addresses: which
// located entries of a leak are kept, the sums, the address the report names and its message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VCallStack.h"

namespace ExceptionLog {

inline constexpr std::size_t kLeakTypeNameLength = 64;

class TLeakCollector {
 public:
  TLeakCollector();
  // A fresh list, sums 0, no leak yet.
  void Reset();
  // One group of leaked blocks: its type name (cut to 64 characters), summed size, count, its
  // first call address and the located entries of its addresses in order. Entries of kinds
  // 2-4 are kept; the first kept one must be located to its line (kind 4) or the whole leak is
  // dropped. Kept entries carry the leak's facts, the first one starts the leak's block. True
  // when the leak was kept.
  bool Add(const std::string& type_name, std::uint32_t size, std::uint32_t count,
           std::uint32_t first_address, std::vector<std::unique_ptr<TAddressLocation>> located);

  TVantorStackList& List() { return *list_; }
  std::uint32_t TotalSize() const { return total_size_; }
  std::uint32_t TotalCount() const { return total_count_; }
  bool HasLeaks() const { return total_size_ > 0 && list_->Count() > 0; }
  // The first call address of the leaks when they all have the same one, else nullptr.
  const void* Address() const { return leaks_ > 0 && same_address_ ? address_ : nullptr; }
  // "<leak>: <total size>=N - <count>=M" from texts 105, 108 and 109.
  std::string Message(const std::string& leak, const std::string& total_size,
                      const std::string& count) const;

 private:
  std::unique_ptr<TVantorStackList> list_;
  std::uint32_t total_size_ = 0;
  std::uint32_t total_count_ = 0;
  int leaks_ = 0;
  bool same_address_ = true;
  const void* address_ = nullptr;
};

}  // namespace ExceptionLog
