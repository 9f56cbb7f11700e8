// The leak tracker: a memory manager that surrounds every block with a header and a foot, keeps
// the live blocks in one list with two call stacks each, reports writes past a block's end and
// blocks freed twice, and at the very end of the process turns what is left into leak records
// handed out through callbacks.
//
// The memory manager is a record of three operations; the program's global operator new and
// operator delete (VLeaksOperators.cpp, linked only by programs that want tracking) forward to
// the current record. The bookkeeping is pure and builds natively too; the Win32 side (the
// default stack capture, the spin lock's sleeps, the start from the VLDATA resource and the
// message boxes) only in the cross build.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VLeaks {

// Block layout. The pointer handed out is the block start + kHeadSize; the foot follows the
// user's data.
inline constexpr std::size_t kHeadSize = 304;
inline constexpr std::size_t kFootSize = 8;
inline constexpr std::size_t kOverhead = kHeadSize + kFootSize;  // 312
inline constexpr std::size_t kStackDepth = 35;
inline constexpr std::uint32_t kBlockMagic = 0x100FAB10;
enum TBlockField : std::size_t {
  kFieldPrevious = 0,  // 4 bytes
  kFieldNext = 4,      // 4 bytes
  kFieldState = 8,     // 1 byte
  kFieldKind = 9,      // 1 byte
  kFieldSize = 10,     // 4 bytes
  kFieldStack = 14,    // 35 x 4 bytes: stack copy
  kFieldFrames = 154,  // 35 x 4 bytes: frame chain
  kFieldSpare = 294,   // 6 bytes (64-bit builds: the upper halves of the two links)
  kFieldMagic = 300,   // 4 bytes
};
enum TBlockState : std::uint8_t { kStateLive = 0, kStateFreed = 1, kStateRemoved = 2 };
enum TBlockKind : std::uint8_t { kKindData = 0, kKindObject = 1 };

// Leak options byte (the VLDATA header's byte at offset 14).
enum TLeakOption : std::uint8_t {
  kTrackLeaks = 0x01,
  kFoldSons = 0x02,
  kDropNetworkObjects = 0x04,
  kFreeAllAtEnd = 0x08,
  kReportErrors = 0x10,
};

// Errors found when a block is freed.
enum TFreeError : std::uint8_t { kNoError = 0, kOverrun = 1, kMultipleFree = 2 };

// The memory-manager record. ReallocMem(nullptr, n) allocates; ReallocMem(p, 0) frees and gives
// nullptr.
struct TMemoryManager {
  void* (*GetMem)(std::size_t size);
  void (*FreeMem)(void* pointer);
  void* (*ReallocMem)(void* pointer, std::size_t size);
};
// The record in force, read and replaced as a whole. Before anything replaces it, it is the
// C runtime's malloc, free and realloc.
TMemoryManager GetMemoryManager();
void SetMemoryManager(const TMemoryManager& manager);
TMemoryManager PlainMemoryManager();

// The tracking record's operations.
void* TrackedGetMem(std::size_t size);
void TrackedFreeMem(void* pointer);
void* TrackedReallocMem(void* pointer, std::size_t size);
// Scalar operator new: through the tracking record a block of kind "object", else the current
// record's get.
void* GetObjectMem(std::size_t size);

// Fills the stack copy and the frame chain (kStackDepth words each, zeroed by the caller) from
// the frame of the function that called the allocation hook. The call-stack capture unit may
// replace it; nullptr gives empty stacks.
using TStackCapture = void (*)(const void* frame, std::uint32_t* stack_copy,
                               std::uint32_t* frame_chain);
void SetStackCapture(TStackCapture capture);
TStackCapture DefaultStackCapture();  // the Win32 walk up to the thread's stack base; natively none

// Reads code bytes for the call-instruction test of the leak stacks; false when they are not
// readable. The default reads the process's memory through the page cache.
using TCodeReader = bool (*)(std::uint32_t address, void* buffer, std::size_t size);
void SetCodeReader(TCodeReader reader);

// The six callback slots, in this order. OneLeak gets the type name (the object's class name
// or "Data"), the summed size, the count and the 35-entry stack of the record. The leak
// callbacks run without the list lock; BeforeFirstLeak and AfterLastLeak run once each in every
// final check that has blocks left, also when none of them is reported.
struct TLeakCallbacks {
  void (*Overrun)() = nullptr;
  void (*MultipleFree)() = nullptr;
  void (*Finalization)() = nullptr;
  void (*BeforeFirstLeak)() = nullptr;
  void (*AfterLastLeak)() = nullptr;
  void (*OneLeak)(const char* type_name, std::uint32_t size, std::uint32_t count,
                  const std::uint32_t* stack) = nullptr;
};
void SetCallbacks(const TLeakCallbacks& callbacks);
TLeakCallbacks Callbacks();
// Inside the overrun and multiple-free callbacks, on their thread: where the free was called
// from (the return address into the code that freed, and the stack pointer after that
// return). Empty elsewhere, and natively.
struct TErrorSite {
  const void* ReturnAddress = nullptr;
  const void* StackPointer = nullptr;
};
TErrorSite ErrorSite();

// The temporary options file that the library writes at its stop and reads back when the leak
// callbacks rebuild its state.
void SetTemporaryOptionsFile(const char* path);
const char* TemporaryOptionsFile();

// Leak options of a VLDATA resource block: magic 0x100FAB10 or 0x000FAB10, a version of 6000 or
// more (words 600-602 read as 6000 + n), the options byte at offset 14 and the use-main-module
// byte at 15. False (options 0) for anything else.
bool ReadLeakOptions(const void* block, std::size_t size, std::uint8_t* options,
                     std::uint8_t* use_main_module);

// Replaces the memory manager by the tracker when the options ask for it (active flag :=
// bit 0x01): list empty, callbacks cleared, the current manager saved as the previous one.
void InstallTracker(std::uint8_t options);
// The start from the unit's initialization: the options from this module's (or the main
// program's) VLDATA resource, then InstallTracker. Natively there is no resource: off.
void StartTracking();
bool IsLeakTrackingActive();
bool IsTracking();  // new blocks are recorded
std::uint8_t LeakOptions();
// Clears the tracking flag, processes the leaks, gives the previous manager back (and the
// blocks held back for the double-free test to it).
void StopTracking();
void ProcessLeaks();
// The unit's finalization (once): StopTracking when active, then the finalization callback.
void FinalizeTracker();
// FinalizeTracker has begun: the program's end is under way (its exit procedures run).
bool FinalCheckStarted();
// Start and the first process-end registration: StartTracking, then FinalizeTracker with
// atexit before anything else registers. Runs once; the operator replacements call it from an
// initializer of priority 101, a start-up table may call it earlier.
void InitializeUnit();

// Message boxes of the tracker (caption "Error"); tests replace the sink.
using TMessageSink = void (*)(const char* text);
void SetMessageSink(TMessageSink sink);

// The pure step of the leak stacks: each entry that is a return address behind a call
// instruction becomes that call's address, the others are dropped and the rest close up.
// Returns the number of entries kept.
std::size_t PurgeCallStack(std::uint32_t* entries, std::size_t count, TCodeReader reader);

// Number of live blocks in the list (taken under the lock).
std::size_t LiveBlockCount();

// While a scope is open in a thread, the program's operator new of that thread takes marked
// blocks of the process heap, past the tracker (the exception library builds its exception
// objects so: the faulting thread may hold the tracker's lock itself); operator delete gives
// marked blocks back to the process heap, from any thread. Natively there are no scopes.
class TProcessHeapScope {
 public:
  TProcessHeapScope();
  ~TProcessHeapScope();
  TProcessHeapScope(const TProcessHeapScope&) = delete;
  TProcessHeapScope& operator=(const TProcessHeapScope&) = delete;
};
bool InProcessHeapScope();
void* ProcessHeapGetMem(std::size_t size);
bool IsProcessHeapBlock(const void* pointer);
void ProcessHeapFreeMem(void* pointer);

}  // namespace VLeaks
