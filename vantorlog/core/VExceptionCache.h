// The recent-exception cache: the last ten answers of the exception decision, keyed by the
// object's class, the exception address and the handler-chain position.
#pragma once

#include <cstdint>

#include "VClassModel.h"

namespace VCore {

struct TCachedDecision {
  std::uint8_t a = 0;
  std::uint32_t b = 0;
  std::uint8_t c = 0;
  std::uint8_t d = 0;
  bool operator==(const TCachedDecision&) const = default;
};

inline constexpr int kExceptionCacheSize = 10;

// object may be nullptr (an exception without object); an object whose class cannot be read
// is neither looked up nor added.
bool CacheLookup(const void* object, const void* address, std::uintptr_t key,
                 TCachedDecision* answer);
void CacheAdd(const void* object, const void* address, std::uintptr_t key,
              const TCachedDecision& answer);
void CacheClear();
int CacheCount();

}  // namespace VCore
