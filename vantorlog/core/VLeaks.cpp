#include "VLeaks.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <typeinfo>
#include <vector>

#include "VClassModel.h"
#include "VMemory.h"
#include "VOptionsStream.h"
#include "VSystem.h"
#include "VUnitVariable.h"

#ifdef _WIN32
#include <windows.h>

#include "VCore.h"
#else
#include <pthread.h>
#include <sched.h>
#include <time.h>
#endif

namespace VLeaks {
namespace {

constexpr std::size_t kMaxUserSize = 0xFFFFFFFFu - kOverhead;
constexpr std::size_t kMaxRecords = 1025;
constexpr std::size_t kPageCacheSize = 1048576;  // one byte per 4096-byte page of 4 GiB
// Freed blocks held back from the previous manager, so that a second free still finds their
// header: the last kHeldBlocks blocks of at most kHeldBlockLimit bytes each.
constexpr std::size_t kHeldBlocks = 1024;
constexpr std::size_t kHeldBlockLimit = 4096;
// The toolchain's development-environment program: a library copy loaded into it stays off.
constexpr char kDevelopmentEnvironment[] = "GDB.EXE";

// The plain record: the C runtime's heap.
void* PlainGet(std::size_t size) { return std::malloc(size ? size : 1); }
void PlainFree(void* pointer) { std::free(pointer); }
void* PlainRealloc(void* pointer, std::size_t size) {
  if (size == 0) {
    std::free(pointer);
    return nullptr;
  }
  return std::realloc(pointer, size);
}
constexpr TMemoryManager kPlainManager{&PlainGet, &PlainFree, &PlainRealloc};
constexpr TMemoryManager kTrackingManager{&TrackedGetMem, &TrackedFreeMem, &TrackedReallocMem};

TMemoryManager g_manager_slots[2];
std::atomic<int> g_manager_slot{0};
std::atomic<const TMemoryManager*> g_current{&kPlainManager};

std::atomic<bool> g_active{false};
std::atomic<bool> g_tracking{false};
TMemoryManager g_previous = kPlainManager;
std::uint8_t* g_head = nullptr;
std::uint8_t* g_tail = nullptr;
std::atomic<std::uint8_t> g_lock{0};
std::uint8_t g_options = 0;
TLeakCallbacks g_callbacks;
char g_options_file[260] = {};
std::uint8_t* g_page_cache = nullptr;
std::uint8_t* g_held[kHeldBlocks] = {};
std::size_t g_held_next = 0;
// The thread that processes the leaks (it holds the list lock meanwhile).
std::atomic<std::uintptr_t> g_processing_thread{0};
std::atomic<bool> g_finalized{false};
std::atomic<bool> g_unit_started{false};

bool CodeReadableDefault(std::uint32_t address, void* buffer, std::size_t size);

TStackCapture g_capture = DefaultStackCapture();
TCodeReader g_code_reader = &CodeReadableDefault;

void DefaultMessage(const char* text);
TMessageSink g_message_sink = &DefaultMessage;

// -- raw header access -------------------------------------------------------------------

std::uint32_t Load32(const std::uint8_t* at) {
  std::uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}
void Store32(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, 4); }

// Links are 32-bit; a 64-bit build keeps their upper 16 bits in the spare bytes (user-space
// addresses have at most 48 bits there).
std::uint8_t* LinkOf(const std::uint8_t* block, std::size_t field) {
  std::uint64_t value = Load32(block + field);
  if constexpr (sizeof(void*) > 4) {
    std::uint16_t high;
    std::memcpy(&high, block + kFieldSpare + (field == kFieldPrevious ? 0 : 2), 2);
    value |= static_cast<std::uint64_t>(high) << 32;
  }
  return reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(value));
}
void SetLink(std::uint8_t* block, std::size_t field, const std::uint8_t* target) {
  const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(target));
  Store32(block + field, static_cast<std::uint32_t>(value));
  if constexpr (sizeof(void*) > 4) {
    const auto high = static_cast<std::uint16_t>(value >> 32);
    std::memcpy(block + kFieldSpare + (field == kFieldPrevious ? 0 : 2), &high, 2);
  }
}
std::uint32_t UserSizeOf(const std::uint8_t* block) { return Load32(block + kFieldSize); }
std::uint8_t* DataOf(std::uint8_t* block) { return block + kHeadSize; }

// The header magic in front of a pointer the tracker may not have handed out. The 4 bytes lie
// in the pointer's own page unless it starts one; then they are probed first. Outside the
// sanitizer's view: for a foreign block they are the allocator's own bytes.
__attribute__((no_sanitize_address)) bool HasMagicBefore(const void* pointer) {
  const auto at = reinterpret_cast<std::uintptr_t>(pointer);
  if (at < kHeadSize + 4096) return false;
  std::uint32_t magic = 0;
  if ((at & 4095) < 4) {
    if (!VCore::SafeRead(reinterpret_cast<const void*>(at - 4), &magic, 4)) return false;
  } else {
    const volatile std::uint8_t* bytes = reinterpret_cast<const volatile std::uint8_t*>(at - 4);
    magic = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
            static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  }
  return magic == kBlockMagic;
}

// -- lock ---------------------------------------------------------------------------------

void PauseThread(unsigned milliseconds) {
#ifdef _WIN32
  Sleep(milliseconds);
#else
  if (milliseconds == 0) {
    sched_yield();
  } else {
    timespec wait{0, static_cast<long>(milliseconds) * 1000000L};
    nanosleep(&wait, nullptr);
  }
#endif
}

void LockList() {
  while (g_lock.exchange(1, std::memory_order_acquire) != 0) {
    PauseThread(0);
    if (g_lock.exchange(1, std::memory_order_acquire) == 0) return;
    PauseThread(10);
  }
}
void UnlockList() { g_lock.store(0, std::memory_order_release); }

std::uintptr_t CurrentThreadKey() {
#ifdef _WIN32
  return GetCurrentThreadId();
#else
  return static_cast<std::uintptr_t>(pthread_self());
#endif
}
bool IsProcessingThread() {
  const std::uintptr_t owner = g_processing_thread.load(std::memory_order_acquire);
  return owner != 0 && owner == CurrentThreadKey();
}

// Under the lock.
void AppendBlock(std::uint8_t* block) {
  SetLink(block, kFieldPrevious, g_tail);
  SetLink(block, kFieldNext, nullptr);
  if (g_tail) {
    SetLink(g_tail, kFieldNext, block);
  } else {
    g_head = block;
  }
  g_tail = block;
}
void UnlinkBlock(std::uint8_t* block) {
  std::uint8_t* previous = LinkOf(block, kFieldPrevious);
  std::uint8_t* next = LinkOf(block, kFieldNext);
  if (previous) {
    SetLink(previous, kFieldNext, next);
  } else if (g_head == block) {
    g_head = next;
  }
  if (next) {
    SetLink(next, kFieldPrevious, previous);
  } else if (g_tail == block) {
    g_tail = previous;
  }
}

// -- register and unregister --------------------------------------------------------------

void RegisterBlock(std::uint8_t* block, std::size_t user_size, std::uint8_t kind,
                   const void* frame) {
  std::memset(block, 0, kHeadSize);
  block[kFieldState] = kStateLive;
  block[kFieldKind] = kind;
  Store32(block + kFieldSize, static_cast<std::uint32_t>(user_size));
  if (const TStackCapture capture = g_capture) {
    std::uint32_t stack[kStackDepth] = {};
    std::uint32_t frames[kStackDepth] = {};
    capture(frame, stack, frames);
    std::memcpy(block + kFieldStack, stack, sizeof stack);
    std::memcpy(block + kFieldFrames, frames, sizeof frames);
  }
  Store32(block + kFieldMagic, kBlockMagic);
  Store32(block + kHeadSize + user_size, kBlockMagic);
  Store32(block + kHeadSize + user_size + 4, 0);
  LockList();
  AppendBlock(block);
  UnlockList();
}

struct TUnregistered {
  std::uint8_t* block = nullptr;  // the tracked block; nullptr: not one of ours
  void* pass_on = nullptr;        // what goes to the previous manager's free
  std::uint8_t error = kNoError;  // as reported (option 0x10)
  bool multiple = false;          // freed before
  bool deferred = false;          // stays in the list until the leaks are processed
};

// hold: the freed block goes into the held-back ring (a free); the evicted one is passed on.
TUnregistered UnregisterBlock(void* pointer, bool hold) {
  TUnregistered result;
  result.pass_on = pointer;
  if (!pointer || !HasMagicBefore(pointer)) return result;
  std::uint8_t* block = static_cast<std::uint8_t*>(pointer) - kHeadSize;
  result.block = block;
  result.pass_on = nullptr;
  bool overrun = false;
  if (IsProcessingThread()) {
    // A callback of the leak processing: the list is locked by this thread and walked.
    if (block[kFieldState] == kStateFreed) {
      result.multiple = true;
    } else {
      overrun = Load32(block + kHeadSize + UserSizeOf(block)) != kBlockMagic;
      block[kFieldState] = kStateFreed;
      result.deferred = true;
    }
  } else {
    LockList();
    if (block[kFieldState] == kStateFreed) {
      result.multiple = true;
    } else {
      const std::uint32_t size = UserSizeOf(block);
      overrun = Load32(block + kHeadSize + size) != kBlockMagic;
      block[kFieldState] = kStateFreed;
      UnlinkBlock(block);
      result.pass_on = block;
      if (hold && size + kOverhead <= kHeldBlockLimit) {
        result.pass_on = g_held[g_held_next];
        g_held[g_held_next] = block;
        g_held_next = (g_held_next + 1) % kHeldBlocks;
      }
    }
    UnlockList();
  }
  if (g_options & kReportErrors) {
    if (overrun) result.error = kOverrun;
    if (result.multiple) result.error = kMultipleFree;
  }
  return result;
}

void RunGuarded(void (*callback)()) {
  if (!callback) return;
  try {
    callback();
  } catch (...) {
    // The hooks sit under operator delete: nothing may leave them.
  }
}

// The site of the free whose error callback runs, for the callback's thread only.
std::atomic<std::uintptr_t> g_error_thread{0};
std::atomic<const void*> g_error_return{nullptr};
std::atomic<const void*> g_error_stack{nullptr};

void RunErrorCallback(std::uint8_t error, const TErrorSite& site) {
  g_error_return = site.ReturnAddress;
  g_error_stack = site.StackPointer;
  g_error_thread = CurrentThreadKey();
  if (error == kOverrun) RunGuarded(g_callbacks.Overrun);
  if (error == kMultipleFree) RunGuarded(g_callbacks.MultipleFree);
  g_error_thread = 0;
}

// Where the hook's caller was called from: the return address into the code that freed and
// the stack pointer after that return. Both frames have frame pointers on Windows (the
// operators and the hooks are built with them); natively nothing.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wframe-address"
__attribute__((always_inline)) inline TErrorSite SiteOfHookCaller() {
  TErrorSite site;
#ifdef _WIN32
  const auto* frame = static_cast<const std::uint8_t*>(__builtin_frame_address(1));
  if (frame) {
    site.ReturnAddress = __builtin_return_address(1);
    site.StackPointer = frame + 2 * sizeof(void*);
  }
#endif
  return site;
}
#pragma GCC diagnostic pop

// The frame of the function that called the hook (the operator that forwards to the record).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wframe-address"
__attribute__((always_inline)) inline const void* CallerFrameOfHook() {
#ifdef _WIN32
  return __builtin_frame_address(1);
#else
  return __builtin_frame_address(0);
#endif
}
#pragma GCC diagnostic pop

void* GetTracked(std::size_t size, std::uint8_t kind, const void* frame) {
  if (!g_tracking.load(std::memory_order_relaxed)) return g_previous.GetMem(size);
  if (size > kMaxUserSize) return nullptr;
  auto* block = static_cast<std::uint8_t*>(g_previous.GetMem(size + kOverhead));
  if (!block) return nullptr;
  RegisterBlock(block, size, kind, frame);
  return DataOf(block);
}

// -- readable memory and the page cache ---------------------------------------------------

bool RangeReadable(std::uintptr_t address, std::size_t length) {
  if (length == 0) return true;
  const std::uintptr_t last = address + length - 1;
  if (last < address) return false;
  if (g_page_cache && last <= 0xFFFFFFFFu && (address >> 12) == (last >> 12)) {
    std::uint8_t& page = g_page_cache[address >> 12];
    if (page == 0) {
      page = VCore::IsMemoryReadable(reinterpret_cast<const void*>(address & ~std::uintptr_t{4095}),
                                     4096)
                 ? 1
                 : 2;
    }
    return page == 1;
  }
  return VCore::IsMemoryReadable(reinterpret_cast<const void*>(address), length);
}

bool CodeReadableDefault(std::uint32_t address, void* buffer, std::size_t size) {
#ifdef _WIN32
  if (!RangeReadable(address, size)) return false;
  std::memcpy(buffer, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), size);
  return true;
#else
  return VCore::SafeRead(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)),
                         buffer, size);
#endif
}

void DefaultMessage(const char* text) {
#ifdef _WIN32
  MessageBoxA(nullptr, text, "Error", 0x242030);
#else
  std::fprintf(stderr, "Error: %s\n", text);
#endif
}

void Message(const std::string& text) {
  if (g_message_sink) g_message_sink(text.c_str());
}

bool UnderDebugger() {
#ifdef _WIN32
  return IsDebuggerPresent() != 0;
#else
  return false;
#endif
}

// -- leak processing ----------------------------------------------------------------------

struct TLeakRecord {
  std::uint8_t* block;
  std::uint8_t kind;
  bool removed;
  std::uint32_t size;
  std::uint32_t count;
  std::uint32_t stack[kStackDepth];
  std::uint32_t frames[kStackDepth];
  std::string name;
  VCore::TClass cls;
};

VCore::TClass ClassOfBlock(std::uint8_t* block) {
  if (block[kFieldKind] != kKindObject) return nullptr;
  return VCore::ClassOfObject(DataOf(block));
}

// Marks the first live block of that kind and size (and, for objects, of that exact class
// name) as removed from the report.
bool DropFirst(std::uint8_t kind, std::uint32_t size, const char* class_name) {
  for (std::uint8_t* block = g_head; block; block = LinkOf(block, kFieldNext)) {
    if (block[kFieldState] != kStateLive || block[kFieldKind] != kind || UserSizeOf(block) != size)
      continue;
    if (class_name) {
      const VCore::TClass cls = ClassOfBlock(block);
      if (!cls || VCore::ClassNameOf(cls) != class_name) continue;
    }
    block[kFieldState] = kStateRemoved;
    return true;
  }
  return false;
}

void PurgeInvalidLeaks() {
  if (g_options & kDropNetworkObjects) {
    if (!DropFirst(kKindObject, 28, "TIdCriticalSection"))
      DropFirst(kKindObject, 28, "TCriticalSection");
    DropFirst(kKindObject, 12, "TIdThreadSafeInteger");
    while (DropFirst(kKindObject, 16, "TIntConst")) {
    }
  }
  bool form_seen = false;
  for (std::uint8_t* block = g_head; block && !form_seen; block = LinkOf(block, kFieldNext)) {
    if (block[kFieldState] != kStateLive) continue;
    const VCore::TClass cls = ClassOfBlock(block);
    form_seen = cls && VCore::ClassInheritsFromName(cls, "TForm");
  }
  if (form_seen) {
    for (std::uint32_t size : {60u, 32u, 32u, 64u}) DropFirst(kKindData, size, nullptr);
  }
}

// The first kMaxRecords live blocks become records; the rest are removed from the report.
std::vector<TLeakRecord> TakeRecords() {
  std::vector<TLeakRecord> records;
  records.reserve(kMaxRecords);
  for (std::uint8_t* block = g_head; block; block = LinkOf(block, kFieldNext)) {
    if (block[kFieldState] != kStateLive) continue;
    if (records.size() >= kMaxRecords) {
      block[kFieldState] = kStateRemoved;
      continue;
    }
    TLeakRecord& r = records.emplace_back();
    r.block = block;
    r.kind = block[kFieldKind];
    r.removed = false;
    r.size = UserSizeOf(block);
    r.count = 1;
    std::memcpy(r.stack, block + kFieldStack, sizeof r.stack);
    std::memcpy(r.frames, block + kFieldFrames, sizeof r.frames);
    r.cls = ClassOfBlock(block);
    if (r.cls) {
      r.name = VCore::ClassNameOf(r.cls);
    } else {
      // A scalar new of something that is no class object: reported as data.
      r.kind = kKindData;
      r.name = "Data";
    }
  }
  return records;
}

void PurgeCallStacks(std::vector<TLeakRecord>& records) {
  for (TLeakRecord& r : records) {
    const std::size_t stack_left = PurgeCallStack(r.stack, kStackDepth, g_code_reader);
    const std::size_t frames_left = PurgeCallStack(r.frames, kStackDepth, g_code_reader);
    // The constructor of a class object runs after the allocation returns (the new-expression
    // calls it), so no constructor call lies in an object's allocation stack: object records
    // take the frame chain, as do data records with an empty stack copy.
    if (r.kind == kKindObject || stack_left == 0) {
      std::memcpy(r.stack, r.frames, sizeof r.stack);
      if (frames_left == 0 || r.kind == kKindObject) std::memset(r.frames, 0, sizeof r.frames);
    }
  }
}

void CountAllLeaks(std::vector<TLeakRecord>& records) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    TLeakRecord& r = records[i];
    if (r.removed) continue;
    for (std::size_t j = i + 1; j < records.size(); ++j) {
      TLeakRecord& other = records[j];
      if (other.removed || other.block[kFieldState] != kStateLive) continue;
      if (UserSizeOf(other.block) != UserSizeOf(r.block) || other.stack[0] != r.stack[0]) continue;
      other.removed = true;
      r.size += other.size;
      ++r.count;
    }
  }
}

bool HoldsPair(const std::uint32_t* entries, std::uint32_t first, std::uint32_t second) {
  for (std::size_t depth = 1; depth <= 33; ++depth) {
    if (entries[depth] == first && entries[depth + 1] == second) return true;
  }
  return false;
}

// Folds into records[parent] every later live record allocated under it, each with its own
// sons first.
void FoldSons(std::vector<TLeakRecord>& records, std::size_t parent, std::uint32_t& into) {
  const TLeakRecord& p = records[parent];
  if (p.stack[0] == 0) return;
  const bool stacks_alike = p.stack[0] == p.frames[0] && p.stack[1] == p.frames[1];
  for (std::size_t j = parent + 1; j < records.size(); ++j) {
    TLeakRecord& son = records[j];
    if (son.removed) continue;
    const bool held =
        HoldsPair(son.stack, p.stack[0], p.stack[1]) ||
        (stacks_alike && p.frames[0] != 0 && HoldsPair(son.frames, p.frames[0], p.frames[1]));
    if (!held) continue;
    son.removed = true;  // before its own sons: a son is never folded twice
    std::uint32_t size = son.size;
    FoldSons(records, j, size);
    into += size;
  }
}

void RemoveLeaksSons(std::vector<TLeakRecord>& records) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].removed || records[i].kind != kKindObject) continue;
    std::uint32_t size = records[i].size;
    FoldSons(records, i, size);
    records[i].size = size;
  }
}

// Runs without the list lock (the records are copies): a callback may free, and other threads
// free meanwhile. Before-first and after-last run also when no leak is reported: what the
// first builds, the last frees.
void HandleAnyLeak(const std::vector<TLeakRecord>& records) {
  RunGuarded(g_callbacks.BeforeFirstLeak);
  for (const TLeakRecord& r : records) {
    if (r.removed || r.stack[0] == 0) continue;
    if (g_callbacks.OneLeak) {
      try {
        g_callbacks.OneLeak(r.name.c_str(), r.size, r.count, r.stack);
      } catch (...) {
      }
    }
  }
  RunGuarded(g_callbacks.AfterLastLeak);
}

void FreeAllLeaks() {
  std::uint8_t* block = g_head;
  g_head = g_tail = nullptr;
  while (block) {
    std::uint8_t* next = LinkOf(block, kFieldNext);
    g_previous.FreeMem(block);
    block = next;
  }
}

}  // namespace

// -- the record ---------------------------------------------------------------------------

TMemoryManager GetMemoryManager() { return *g_current.load(std::memory_order_acquire); }

void SetMemoryManager(const TMemoryManager& manager) {
  const int slot = g_manager_slot.load() ^ 1;
  g_manager_slots[slot] = manager;
  g_current.store(&g_manager_slots[slot], std::memory_order_release);
  g_manager_slot.store(slot);
}

TMemoryManager PlainMemoryManager() { return kPlainManager; }

__attribute__((noinline)) void* TrackedGetMem(std::size_t size) {
  return GetTracked(size, kKindData, CallerFrameOfHook());
}

__attribute__((noinline)) void* GetObjectMem(std::size_t size) {
  const TMemoryManager* current = g_current.load(std::memory_order_acquire);
  if (current->GetMem != &TrackedGetMem) return current->GetMem(size);
  return GetTracked(size, kKindObject, CallerFrameOfHook());
}

__attribute__((noinline)) void TrackedFreeMem(void* pointer) {
  if (!pointer) return;
  const TUnregistered u = UnregisterBlock(pointer, true);
  if (u.error) RunErrorCallback(u.error, SiteOfHookCaller());
  // A block freed twice never reaches the previous manager a second time.
  if (u.pass_on) g_previous.FreeMem(u.pass_on);
}

__attribute__((noinline)) void* TrackedReallocMem(void* pointer, std::size_t size) {
  if (!pointer) return GetTracked(size, kKindData, CallerFrameOfHook());
  if (size == 0) {
    TrackedFreeMem(pointer);
    return nullptr;
  }
  // A block the tracker did not hand out stays untracked: its data starts at the pointer.
  if (!HasMagicBefore(pointer)) return g_previous.ReallocMem(pointer, size);
  if (size > kMaxUserSize) return nullptr;
  const TUnregistered u = UnregisterBlock(pointer, false);
  if (u.error) RunErrorCallback(u.error, SiteOfHookCaller());
  if (u.multiple) return nullptr;
  std::uint8_t* block = u.block;
  if (!g_tracking.load(std::memory_order_relaxed) || u.deferred) {
    // Tracking has stopped: the data moves into a plain block of the previous manager.
    void* fresh = g_previous.GetMem(size);
    if (fresh) std::memcpy(fresh, pointer, std::min<std::size_t>(UserSizeOf(block), size));
    if (!fresh && !u.deferred) {
      block[kFieldState] = kStateLive;
      LockList();
      AppendBlock(block);
      UnlockList();
      return nullptr;
    }
    if (!u.deferred) g_previous.FreeMem(block);
    return fresh;
  }
  auto* moved = static_cast<std::uint8_t*>(g_previous.ReallocMem(block, size + kOverhead));
  if (!moved) {
    // The old block is still valid: back into the list.
    block[kFieldState] = kStateLive;
    LockList();
    AppendBlock(block);
    UnlockList();
    return nullptr;
  }
  RegisterBlock(moved, size, kKindData, CallerFrameOfHook());
  return DataOf(moved);
}

// -- seams --------------------------------------------------------------------------------

#ifdef _WIN32
namespace {
// The stack copy and the frame chain from the hook's caller frame up to the thread's stack
// base (both read from the thread's own committed stack).
void WalkOwnStack(const void* frame, std::uint32_t* stack_copy, std::uint32_t* frame_chain) {
  const auto base = reinterpret_cast<std::uintptr_t>(VCore::StackTopOfThread());
  auto at = reinterpret_cast<std::uintptr_t>(frame);
  if (!frame || at >= base || (at & 3) != 0) return;
  const std::size_t words = std::min<std::size_t>(kStackDepth, (base - at) / 4);
  std::memcpy(stack_copy, frame, words * 4);
  std::size_t n = 0;
  while (n < kStackDepth && at + 8 <= base) {
    const auto* words_at = reinterpret_cast<const std::uint32_t*>(at);
    frame_chain[n++] = words_at[1];
    const std::uintptr_t next = words_at[0];
    if (next <= at || next >= base || (next & 3) != 0) break;
    at = next;
  }
}
}  // namespace
TStackCapture DefaultStackCapture() { return &WalkOwnStack; }
#else
TStackCapture DefaultStackCapture() { return nullptr; }
#endif

TErrorSite ErrorSite() {
  TErrorSite site;
  if (g_error_thread.load() != CurrentThreadKey()) return site;
  site.ReturnAddress = g_error_return.load();
  site.StackPointer = g_error_stack.load();
  return site;
}

void SetStackCapture(TStackCapture capture) { g_capture = capture; }
void SetCodeReader(TCodeReader reader) { g_code_reader = reader ? reader : &CodeReadableDefault; }
void SetCallbacks(const TLeakCallbacks& callbacks) { g_callbacks = callbacks; }
TLeakCallbacks Callbacks() { return g_callbacks; }
void SetMessageSink(TMessageSink sink) { g_message_sink = sink ? sink : &DefaultMessage; }

void SetTemporaryOptionsFile(const char* path) {
  std::snprintf(g_options_file, sizeof g_options_file, "%s", path ? path : "");
}
const char* TemporaryOptionsFile() { return g_options_file; }

// -- call stacks --------------------------------------------------------------------------

std::size_t PurgeCallStack(std::uint32_t* entries, std::size_t count, TCodeReader reader) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t address = entries[i];
    std::uint8_t b[7];  // b[6] is the byte just before the return address
    if (address < 7 || !reader(address - 7, b, sizeof b)) continue;
    std::uint32_t call = 0;
    std::uint8_t probe[4];
    if (b[2] == 0xE8) {
      std::uint32_t rel;
      std::memcpy(&rel, b + 3, 4);
      if (reader(address + rel, probe, 1)) call = address - 5;
    } else if (b[5] == 0xFF && b[6] >= 0xD0 && b[6] <= 0xD7) {
      call = address - 2;
    } else if (b[5] == 0xFF && ((b[6] >= 0x10 && b[6] <= 0x13) || b[6] == 0x16 || b[6] == 0x17)) {
      call = address - 2;
    } else if (b[4] == 0xFF && b[5] >= 0x50 && b[5] <= 0x57 && b[5] != 0x54) {
      call = address - 3;
    } else if (b[1] == 0xFF && b[2] >= 0x90 && b[2] <= 0x97 && b[2] != 0x94) {
      call = address - 6;
    } else if (b[4] == 0xFF && b[5] == 0x14 && b[6] == 0x24) {
      call = address - 3;
    } else if (b[3] == 0xFF && b[4] == 0x54 && b[5] == 0x24) {
      call = address - 4;
    } else if (b[0] == 0xFF && b[1] == 0x94 && b[2] == 0x24) {
      call = address - 7;
    } else if (b[1] == 0xFF && b[2] == 0x15) {
      std::uint32_t slot;
      std::memcpy(&slot, b + 3, 4);
      if (reader(slot, probe, 4)) call = address - 6;
    }
    if (call != 0) entries[kept++] = call;
  }
  for (std::size_t i = kept; i < count; ++i) entries[i] = 0;
  return kept;
}

// -- start and stop -----------------------------------------------------------------------

bool ReadLeakOptions(const void* block, std::size_t size, std::uint8_t* options,
                     std::uint8_t* use_main_module) {
  *options = 0;
  *use_main_module = 0;
  if (!block || size < 16) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(block);
  const std::uint32_t magic = Load32(bytes);
  if (magic != 0x100FAB10u && magic != 0x000FAB10u) return false;
  std::uint16_t word;
  std::memcpy(&word, bytes + 4, 2);
  if (VCore::BlockVersionFromWord(word) < 6000) return false;
  *options = bytes[14];
  *use_main_module = bytes[15];
  return true;
}

void InstallTracker(std::uint8_t options) {
  if (g_current.load()->GetMem == &TrackedGetMem) return;  // already in place
  g_options = options;
  g_active = (options & kTrackLeaks) != 0;
  if (!g_active) return;
  g_page_cache = nullptr;
  g_head = g_tail = nullptr;
  g_lock.store(0);
  g_held_next = 0;
  std::fill(std::begin(g_held), std::end(g_held), nullptr);
  g_callbacks = TLeakCallbacks{};
  g_previous = GetMemoryManager();
  g_tracking = true;
  SetMemoryManager(kTrackingManager);
}

#ifdef _WIN32
namespace {

bool ModuleLeakOptions(HMODULE module, std::uint8_t* options, std::uint8_t* use_main) {
  *options = *use_main = 0;
  HRSRC found = FindResourceA(module, "VLDATA", MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (!found) return false;
  const DWORD size = SizeofResource(module, found);
  HGLOBAL loaded = LoadResource(module, found);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  return data && ReadLeakOptions(data, size, options, use_main);
}

// The runtime's classes live in another module (a shared C++ runtime).
bool RuntimeInPackage() {
  HMODULE holder = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&typeid(std::exception)), &holder))
    return false;
  return reinterpret_cast<VCore::TModuleHandle>(holder) != VCore::ThisModuleHandle();
}

}  // namespace
#endif

void StartTracking() {
#ifdef _WIN32
  try {
    const std::string program = VCore::ProgramFileName();
    std::string name = program.substr(program.find_last_of('\\') + 1);
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (name == kDevelopmentEnvironment) return;
    HMODULE own = reinterpret_cast<HMODULE>(VCore::ThisModuleHandle());
    HMODULE main_program = GetModuleHandleA(nullptr);
    std::uint8_t options = 0;
    std::uint8_t use_main = 0;
    ModuleLeakOptions(own, &options, &use_main);
    if (own != main_program && use_main) ModuleLeakOptions(main_program, &options, &use_main);
    if (!(options & kTrackLeaks)) {
      g_active = false;
      return;
    }
    if (RuntimeInPackage()) {
      g_active = false;
      if (UnderDebugger()) {
        Message("The \"Memory Leaks Catches\" is disabled in the \"" +
                VCore::ModuleFileNameOf(own) +
                "\" module, because compiled with RunTime-Packages.");
      }
      return;
    }
    InstallTracker(options);
  } catch (...) {
    Message("Error in VLeaks Initialization.");
  }
#endif
}

bool IsLeakTrackingActive() { return g_active.load(); }
bool IsTracking() { return g_tracking.load(); }
std::uint8_t LeakOptions() { return g_options; }

void ProcessLeaks() {
  if (!g_head) return;
  const char* step = "Initialize the Memory Pages Cache";
  bool locked = false;
  try {
    g_page_cache = static_cast<std::uint8_t*>(g_previous.GetMem(kPageCacheSize));
    if (g_page_cache) std::memset(g_page_cache, 0, kPageCacheSize);
    step = "Lock AllocatedList_Lock";
    LockList();
    locked = true;
    g_processing_thread.store(CurrentThreadKey(), std::memory_order_release);
    if (!RangeReadable(reinterpret_cast<std::uintptr_t>(g_head), kHeadSize)) {
      if (UnderDebugger()) {
        Message(
            "The application contains some memory leaks but it's impossible to show them because "
            "another Memory Manager has already freed them.\r\nTry to replaced the Memory Manager "
            "used with the last FastMM4 Memory Manager (https://vantorlog.example/).");
      }
    } else {
      step = "PurgeInvalidLeaks";
      PurgeInvalidLeaks();
      step = "RemoveExtraLeaks";
      std::vector<TLeakRecord> records = TakeRecords();
      step = "PurgeCallStacks";
      PurgeCallStacks(records);
      step = "CountAllLeaks";
      CountAllLeaks(records);
      if (g_options & kFoldSons) {
        step = "RemoveLeaksSons";
        RemoveLeaksSons(records);
      }
      step = "HandleAnyLeak";
      g_processing_thread.store(0, std::memory_order_release);
      UnlockList();
      locked = false;
      HandleAnyLeak(records);
      LockList();
      locked = true;
      g_processing_thread.store(CurrentThreadKey(), std::memory_order_release);
      if (g_options & kFreeAllAtEnd) {
        step = "FreeAllLeaks";
        FreeAllLeaks();
      }
    }
    step = "Unlock AllocatedList_Lock";
    g_processing_thread.store(0, std::memory_order_release);
    UnlockList();
    locked = false;
    step = "Free The Memory Pages Cache";
  } catch (...) {
    Message(std::string("Error in VLeaks \"") + step + "\" section.");
    if (locked) {
      g_processing_thread.store(0, std::memory_order_release);
      UnlockList();
    }
  }
  if (g_page_cache) g_previous.FreeMem(g_page_cache);
  g_page_cache = nullptr;
}

void StopTracking() {
  g_tracking = false;
  ProcessLeaks();
  LockList();
  std::uint8_t* held[kHeldBlocks];
  std::copy(std::begin(g_held), std::end(g_held), held);
  std::fill(std::begin(g_held), std::end(g_held), nullptr);
  UnlockList();
  for (std::uint8_t* block : held) {
    if (block) g_previous.FreeMem(block);
  }
  SetMemoryManager(g_previous);
  g_active = false;
}

void FinalizeTracker() {
  if (g_finalized.exchange(true)) return;
  try {
    // The library's variables give their memory back before the check (they stay usable).
    if (g_active) {
      VCore::EmptyUnitVariables();
      StopTracking();
    }
    if (g_callbacks.Finalization) g_callbacks.Finalization();
  } catch (...) {
    Message("Error in VLeaks Finalization.");
  }
}

bool FinalCheckStarted() { return g_finalized.load(); }

void InitializeUnit() {
  if (g_unit_started.exchange(true)) return;
  std::atexit([] { FinalizeTracker(); });
  StartTracking();
}

std::size_t LiveBlockCount() {
  LockList();
  std::size_t n = 0;
  for (std::uint8_t* block = g_head; block; block = LinkOf(block, kFieldNext)) {
    if (block[kFieldState] == kStateLive) ++n;
  }
  UnlockList();
  return n;
}

// -- blocks of the process heap ------------------------------------------------------------

namespace {

constexpr std::uint32_t kHeapBlockMagic = 0x56484250;
constexpr std::size_t kHeapBlockHead = 8;  // magic, magic ^ data address: 8-byte alignment kept

#ifdef _WIN32
DWORD g_scope_slot = TLS_OUT_OF_INDEXES;
INIT_ONCE g_scope_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK AllocateScopeSlot(PINIT_ONCE, PVOID, PVOID*) {
  g_scope_slot = TlsAlloc();
  return TRUE;
}

DWORD ScopeSlot() {
  InitOnceExecuteOnce(&g_scope_once, AllocateScopeSlot, nullptr, nullptr);
  return g_scope_slot;
}

std::uintptr_t ScopeDepth() {
  const DWORD slot = ScopeSlot();
  return slot == TLS_OUT_OF_INDEXES ? 0 : reinterpret_cast<std::uintptr_t>(TlsGetValue(slot));
}

void SetScopeDepth(std::uintptr_t depth) {
  const DWORD slot = ScopeSlot();
  if (slot != TLS_OUT_OF_INDEXES) TlsSetValue(slot, reinterpret_cast<void*>(depth));
}
#endif

}  // namespace

#ifdef _WIN32
TProcessHeapScope::TProcessHeapScope() { SetScopeDepth(ScopeDepth() + 1); }
TProcessHeapScope::~TProcessHeapScope() { SetScopeDepth(ScopeDepth() - 1); }
bool InProcessHeapScope() { return g_scope_slot != TLS_OUT_OF_INDEXES && ScopeDepth() != 0; }

void* ProcessHeapGetMem(std::size_t size) {
  if (size > static_cast<std::size_t>(-1) - kHeapBlockHead) return nullptr;
  auto* head = static_cast<std::uint8_t*>(HeapAlloc(GetProcessHeap(), 0, size + kHeapBlockHead));
  if (!head) return nullptr;
  std::uint8_t* data = head + kHeapBlockHead;
  const auto check =
      kHeapBlockMagic ^ static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(data));
  std::memcpy(head, &kHeapBlockMagic, 4);
  std::memcpy(head + 4, &check, 4);
  return data;
}
#else
TProcessHeapScope::TProcessHeapScope() {}
TProcessHeapScope::~TProcessHeapScope() {}
bool InProcessHeapScope() { return false; }
void* ProcessHeapGetMem(std::size_t) { return nullptr; }
#endif

bool IsProcessHeapBlock(const void* pointer) {
  if (!pointer) return false;
  const auto* head = static_cast<const std::uint8_t*>(pointer) - kHeapBlockHead;
  std::uint32_t magic = 0, check = 0;
  std::memcpy(&magic, head, 4);
  std::memcpy(&check, head + 4, 4);
  return magic == kHeapBlockMagic &&
         check == (kHeapBlockMagic ^
                   static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer)));
}

void ProcessHeapFreeMem(void* pointer) {
#ifdef _WIN32
  auto* head = static_cast<std::uint8_t*>(pointer) - kHeapBlockHead;
  std::memset(head, 0, kHeapBlockHead);
  HeapFree(GetProcessHeap(), 0, head);
#else
  (void)pointer;
#endif
}

}  // namespace VLeaks
