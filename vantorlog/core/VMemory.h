// Never-faulting probes of memory the library does not own.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
struct _EXCEPTION_POINTERS;
#endif

namespace VCore {

// Bytes readable from address on, up to length: committed regions with a readable protection,
// following one region into the next. A guard page or a no-access page ends the count.
std::size_t ReadableBytes(const void* address, std::size_t length);
bool IsMemoryReadable(const void* address, std::size_t length);

// Copies length bytes when all are readable; false otherwise. The copy itself is guarded: a
// page released between the probe and the copy ends it without a fault.
bool SafeRead(const void* address, void* destination, std::size_t length);

// Copies up to length bytes from address on and returns how many were copied: the copy stops
// at the first byte that cannot be read. Asks nothing of the system and allocates nothing, so
// it may run while other threads are suspended (it must not read guard pages: callers copy
// only memory they know is committed, such as a thread's stack above its stack pointer).
std::size_t GuardedCopy(void* destination, const void* address, std::size_t length);

#ifdef _WIN32
// The fault of a guarded copy (the other vectored handlers leave it alone; the copy's own
// handler ends the copy there).
bool IsGuardedCopyFault(const ::_EXCEPTION_POINTERS* pointers);
#endif

// For an import thunk "FF 25 <pointer>" whose pointer is readable: the thunk's target; else the
// address itself.
const void* FollowImportJump(const void* address);

}  // namespace VCore
