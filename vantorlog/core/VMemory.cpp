#include "VMemory.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace VCore {

#ifdef _WIN32

std::size_t ReadableBytes(const void* address, std::size_t length) {
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE |
                              PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  std::uintptr_t at = start;
  std::size_t counted = 0;
  while (counted < length) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info) break;
    // Exactly one readable protection: PAGE_GUARD or PAGE_NOCACHE modifiers fail the test.
    if (info.State != MEM_COMMIT || (info.Protect & kReadable) == 0 ||
        (info.Protect & ~kReadable) != 0)
      break;
    const auto region_end = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (region_end <= at) break;
    counted += region_end - at;
    at = region_end;
  }
  return counted < length ? counted : length;
}

#else

// Linux: the kernel copies from our address space into a pipe and reports EFAULT instead of
// faulting. Probed page by page so that a partly readable range gives the readable prefix.
std::size_t ReadableBytes(const void* address, std::size_t length) {
  static const long page = sysconf(_SC_PAGESIZE);
  int fds[2];
  if (pipe(fds) != 0) return 0;
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  std::uintptr_t at = start;
  std::size_t counted = 0;
  char sink[1];
  while (counted < length) {
    const std::uintptr_t page_end = (at / page + 1) * page;
    if (page_end <= at) break;
    // One byte per page is enough: protection is per page.
    const long written = syscall(SYS_write, fds[1], reinterpret_cast<const void*>(at), 1);
    if (written != 1) break;
    if (read(fds[0], sink, 1) != 1) break;
    counted += page_end - at;
    at = page_end;
  }
  close(fds[0]);
  close(fds[1]);
  return counted < length ? counted : length;
}

#endif

bool IsMemoryReadable(const void* address, std::size_t length) {
  if (length == 0) return true;
  if (!address) return false;
  return ReadableBytes(address, length) >= length;
}

#ifdef _WIN32

bool SafeRead(const void* address, void* destination, std::size_t length) {
  if (!IsMemoryReadable(address, length)) return false;
  std::memcpy(destination, address, length);
  return true;
}

#else

// The kernel does the copy: no fault, and no sanitizer sees a read of memory we do not own.
bool SafeRead(const void* address, void* destination, std::size_t length) {
  if (length == 0) return true;
  if (!address) return false;
  int fds[2];
  if (pipe(fds) != 0) return false;
  const auto* from = static_cast<const char*>(address);
  auto* to = static_cast<char*>(destination);
  bool ok = true;
  for (std::size_t done = 0; ok && done < length;) {
    const std::size_t chunk = length - done < 4096 ? length - done : 4096;
    ok = syscall(SYS_write, fds[1], from + done, chunk) == static_cast<long>(chunk) &&
         read(fds[0], to + done, chunk) == static_cast<ssize_t>(chunk);
    done += chunk;
  }
  close(fds[0]);
  close(fds[1]);
  return ok;
}

#endif

const void* FollowImportJump(const void* address) {
  std::uint8_t code[8];
  if (!SafeRead(address, code, sizeof code) || code[0] != 0xFF || code[1] != 0x25) return address;
  std::uintptr_t slot = 0;
  std::memcpy(&slot, code + 2, 4);  // 32-bit absolute address of the pointer
  const void* target = nullptr;
  if (sizeof(void*) != 4) return address;  // the thunk form is the 32-bit one
  if (!SafeRead(reinterpret_cast<const void*>(slot), &target, sizeof target)) return address;
  return target;
}

}  // namespace VCore
