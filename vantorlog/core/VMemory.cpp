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

// The copy: "rep movsb" is restartable, so at a fault ECX holds what is left. The handler
// below moves a fault at the copy instruction to the end label, which returns the count done.
extern "C" std::size_t VCoreGuardedCopy(void* destination, const void* source, std::size_t n);
extern "C" const char VCoreGuardedCopyAt[];
extern "C" const char VCoreGuardedCopyEnd[];
asm(".text\n"
    ".globl _VCoreGuardedCopy\n"
    "_VCoreGuardedCopy:\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl 12(%esp), %edi\n"
    "  movl 16(%esp), %esi\n"
    "  movl 20(%esp), %ecx\n"
    "  cld\n"
    ".globl _VCoreGuardedCopyAt\n"
    "_VCoreGuardedCopyAt:\n"
    "  rep movsb\n"
    ".globl _VCoreGuardedCopyEnd\n"
    "_VCoreGuardedCopyEnd:\n"
    "  movl 20(%esp), %eax\n"
    "  subl %ecx, %eax\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  ret\n");

namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE |
                            PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// Readable regions seen lately: a few entries of {first page, end page, time}, 20 + 21 + 23
// bits in one 64-bit word, read and written whole without a lock (a suspended thread can hold
// no lock of it). An entry serves for a short time only; the guarded copy covers a region
// released meanwhile.
constexpr int kRegionSlots = 8;
constexpr DWORD kRegionLifeMs = 50;
volatile LONGLONG g_regions[kRegionSlots];
volatile LONG g_next_region = 0;

LONGLONG PackRegion(std::uintptr_t first_page, std::uintptr_t end_page, DWORD tick) {
  return static_cast<LONGLONG>((static_cast<std::uint64_t>(first_page) & 0xFFFFF) |
                               ((static_cast<std::uint64_t>(end_page) & 0x1FFFFF) << 20) |
                               ((static_cast<std::uint64_t>(tick) & 0x7FFFFF) << 41));
}

// The end of a fresh cached readable region holding at; 0 when none. An aligned 64-bit load
// is one access (no locked instruction needed to read a slot whole).
std::uintptr_t CachedRegionEnd(std::uintptr_t at) {
  const std::uintptr_t page = at >> 12;
  for (int i = 0; i < kRegionSlots; ++i) {
    const auto word = static_cast<std::uint64_t>(__atomic_load_n(&g_regions[i], __ATOMIC_ACQUIRE));
    const std::uintptr_t first = word & 0xFFFFF;
    const std::uintptr_t end = (word >> 20) & 0x1FFFFF;
    if (!word || page < first || page >= end) continue;
    const DWORD stamp = static_cast<DWORD>(word >> 41);
    if (((GetTickCount() - stamp) & 0x7FFFFF) <= kRegionLifeMs) return end << 12;
  }
  return 0;
}

void StoreSlot(volatile LONGLONG* slot, LONGLONG value) {
  LONGLONG seen = *slot;
  for (;;) {
    const LONGLONG was = InterlockedCompareExchange64(slot, value, seen);
    if (was == seen) return;
    seen = was;
  }
}

void CacheRegion(std::uintptr_t base, std::uintptr_t end) {
  if (sizeof(void*) != 4 || end <= base) return;
  const LONG slot = (InterlockedIncrement(&g_next_region) & 0x7FFFFFFF) % kRegionSlots;
  StoreSlot(&g_regions[slot], PackRegion(base >> 12, end >> 12, GetTickCount()));
}

void ForgetRegions() {
  for (int i = 0; i < kRegionSlots; ++i) StoreSlot(&g_regions[i], 0);
}

LONG CALLBACK GuardedCopyHandler(EXCEPTION_POINTERS* pointers) {
  if (!IsGuardedCopyFault(pointers)) return EXCEPTION_CONTINUE_SEARCH;
  pointers->ContextRecord->Eip = reinterpret_cast<DWORD>(VCoreGuardedCopyEnd);
  ForgetRegions();
  return EXCEPTION_CONTINUE_EXECUTION;
}

INIT_ONCE g_handler_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK InstallHandler(PINIT_ONCE, PVOID, PVOID*) {
  AddVectoredExceptionHandler(1, GuardedCopyHandler);
  return TRUE;
}

}  // namespace

bool IsGuardedCopyFault(const EXCEPTION_POINTERS* pointers) {
  if (!pointers || !pointers->ExceptionRecord || !pointers->ContextRecord) return false;
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  return (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR ||
          code == STATUS_GUARD_PAGE_VIOLATION) &&
         pointers->ContextRecord->Eip == reinterpret_cast<DWORD>(VCoreGuardedCopyAt);
}

std::size_t GuardedCopy(void* destination, const void* address, std::size_t length) {
  InitOnceExecuteOnce(&g_handler_once, InstallHandler, nullptr, nullptr);
  if (!address || length == 0) return 0;
  return VCoreGuardedCopy(destination, address, length);
}

std::size_t ReadableBytes(const void* address, std::size_t length) {
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  std::uintptr_t at = start;
  std::size_t counted = 0;
  while (counted < length) {
    std::uintptr_t region_end = CachedRegionEnd(at);
    if (!region_end) {
      MEMORY_BASIC_INFORMATION info;
      if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info) break;
      // Exactly one readable protection: PAGE_GUARD or PAGE_NOCACHE modifiers fail the test.
      if (info.State != MEM_COMMIT || (info.Protect & kReadable) == 0 ||
          (info.Protect & ~kReadable) != 0)
        break;
      const auto base = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
      region_end = base + info.RegionSize;
      if (region_end <= at) break;
      CacheRegion(base, region_end);
    }
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
  return GuardedCopy(destination, address, length) == length;
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

std::size_t GuardedCopy(void* destination, const void* address, std::size_t length) {
  const std::size_t n = ReadableBytes(address, length);
  return n && SafeRead(address, destination, n) ? n : 0;
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
