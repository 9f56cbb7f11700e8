// The program's global operator new and operator delete, every form, forwarding to the leak
// tracker's current memory-manager record; and the tracker's start at initializer priority 101
// with the first process-end registration. Linked only into programs that want tracking.
#include <cstddef>
#include <cstdint>
#include <new>

#include "VLeaks.h"

namespace {

// Everything here is inlined into the operators, so that the tracker's capture starts at the
// frame of the operator: its return address is the allocation site.
#define VL_INLINE __attribute__((always_inline)) inline

VL_INLINE void* GetObject(std::size_t size) {
  if (VLeaks::InProcessHeapScope()) return VLeaks::ProcessHeapGetMem(size);
  return VLeaks::GetObjectMem(size);
}
VL_INLINE void* GetData(std::size_t size) {
  if (VLeaks::InProcessHeapScope()) return VLeaks::ProcessHeapGetMem(size);
  return VLeaks::GetMemoryManager().GetMem(size);
}

// The new-handler loop of operator new.
VL_INLINE void* AllocateOrThrow(std::size_t size, bool object) {
  for (;;) {
    if (void* p = object ? GetObject(size) : GetData(size)) return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

VL_INLINE void FreeAny(void* pointer) {
  if (!pointer) return;
  if (VLeaks::IsProcessHeapBlock(pointer))
    VLeaks::ProcessHeapFreeMem(pointer);
  else
    VLeaks::GetMemoryManager().FreeMem(pointer);
}

// Aligned forms: a block of the record with room to align, the record's pointer kept in the
// word in front of the aligned one.
VL_INLINE void* GetAligned(std::size_t size, std::align_val_t alignment, bool object) {
  std::size_t align = static_cast<std::size_t>(alignment);
  if (align < sizeof(void*)) align = sizeof(void*);
  if (size > static_cast<std::size_t>(-1) - align - sizeof(void*)) return nullptr;
  const std::size_t total = size + align + sizeof(void*);
  void* raw = object ? GetObject(total) : GetData(total);
  if (!raw) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*);
  const std::uintptr_t aligned = (start + align - 1) & ~(static_cast<std::uintptr_t>(align) - 1);
  reinterpret_cast<void**>(aligned)[-1] = raw;
  return reinterpret_cast<void*>(aligned);
}
VL_INLINE void FreeAligned(void* pointer) {
  if (pointer) FreeAny(static_cast<void**>(pointer)[-1]);
}
VL_INLINE void* AlignedOrThrow(std::size_t size, std::align_val_t alignment, bool object) {
  for (;;) {
    if (void* p = GetAligned(size, alignment, object)) return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

struct TTrackerStart {
  TTrackerStart() { VLeaks::InitializeUnit(); }
};
__attribute__((init_priority(101))) TTrackerStart g_tracker_start;

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size, true); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return AllocateOrThrow(size, true);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return AllocateOrThrow(size, false);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return AlignedOrThrow(size, alignment, true);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return AlignedOrThrow(size, alignment, false);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  try {
    return AlignedOrThrow(size, alignment, true);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  try {
    return AlignedOrThrow(size, alignment, false);
  } catch (...) {
    return nullptr;
  }
}

void operator delete(void* pointer) noexcept { FreeAny(pointer); }
void operator delete[](void* pointer) noexcept { FreeAny(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { FreeAny(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { FreeAny(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { FreeAny(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { FreeAny(pointer); }
void operator delete(void* pointer, std::align_val_t) noexcept { FreeAligned(pointer); }
void operator delete[](void* pointer, std::align_val_t) noexcept { FreeAligned(pointer); }
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept {
  FreeAligned(pointer);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept {
  FreeAligned(pointer);
}
void operator delete(void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  FreeAligned(pointer);
}
void operator delete[](void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  FreeAligned(pointer);
}
