// Never-faulting probes of memory the library does not own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VCore {

// Bytes readable from address on, up to length: committed regions with a readable protection,
// following one region into the next. A guard page or a no-access page ends the count.
std::size_t ReadableBytes(const void* address, std::size_t length);
bool IsMemoryReadable(const void* address, std::size_t length);

// Copies length bytes when all are readable; false (and nothing copied) otherwise.
bool SafeRead(const void* address, void* destination, std::size_t length);

// For an import thunk "FF 25 <pointer>" whose pointer is readable: the thunk's target; else the
// address itself.
const void* FollowImportJump(const void* address);

}  // namespace VCore
