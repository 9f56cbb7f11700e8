// Call stacks: the scan of a thread's stack for return addresses (a value counts when the bytes
// in front of it form a CALL instruction), the location of a code address (module, unit,
// class, procedure, line) and the list of located entries. The records, the CALL-form test
// over a reader, the name splitting and the tidy step are pure; the scan and the location of
// live addresses are Win32 only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "VModules.h"

// One call-stack entry.
struct TAddressLocation {
  std::uint8_t Kind = 0;  // 0 unknown, 1 module only, 2 procedure, 3 unit and procedure, 4 line
  TVantorModuleInfo* ModuleInfo = nullptr;  // held by ModuleRef when it came from a lookup
  std::uint32_t ThreadID = 0;
  std::uint8_t ThreadKind = 0;  // 0 the calling thread
  std::uint8_t Exact = 0;       // 1 for the given first address
  std::uint8_t Spare = 0;
  std::uintptr_t Address = 0;  // for a scanned value: the CALL's first byte
  std::string UnitName;
  std::string ClassName;
  std::string ProcedureName;
  std::uint32_t Line = 0;  // 0: unknown
  std::uint32_t LineOffset = 0;
  std::string ThreadName;
  // An entry of a leak's allocation stack: the leaked type (at most 64 characters), the summed
  // size and the count of its group.
  bool Leak = false;
  std::string LeakType;
  std::uint32_t LeakTotalSize = 0;
  std::uint32_t LeakCount = 0;
  // The module record kept alive for the entry (the modules list may drop it meanwhile); a
  // light entry's private record (handle and file name only).
  std::shared_ptr<TVantorModuleInfo> ModuleRef;
};

// The located entries of one or more captures; Delete and Clear free them.
class TVantorStackList : public TVantorOwnedList<TAddressLocation> {};

namespace ExceptionLog {

inline constexpr int kMaxStackEntries = 1024;            // a list holding more accepts nothing
inline constexpr std::uintptr_t kMaxStackScan = 102400;  // bytes of stack scanned at most
inline constexpr std::size_t kShortStringLength = 255;

// Kind set of the report stacks: kind 4 always, kind 2 with FStackFlags bit 0x01, kind 3 with
// bit 0x02.
std::uint32_t StackKindMask(const TVantorModuleOptions& options);

// Fills unit, class and procedure from an export name (kind 3 or 2); names it cannot read
// leave the location as it was.
void SplitMangledName(const std::string& name, TAddressLocation& location);

// What a module's other debug-information source (map file, TD32, JCL; unit VDebug) says about
// one address.
struct TOtherSourceAnswer {
  std::string UnitName;
  std::string ProcedureName;
  std::string SourceFile;
  std::int32_t Line = 0;
  std::int32_t LineOffset = 0;
};

// The first valid reader for the module (a TVLDebugInfoSource); nullptr when none is, and
// when a reader fails.
std::shared_ptr<void> PickOtherDebugSource(std::uintptr_t module);

// Asks a source made by PickOtherDebugSource; false when the address lies in no unit or the
// reader fails.
bool AskOtherDebugSource(void* source, std::uintptr_t address, TOtherSourceAnswer& answer);

// Fills the location from the answer of a module's other debug-information source: unit from
// the source file (else the unit name), class and procedure from the dotted procedure text,
// line and line offset (a negative offset counts as 0), and the kind.
void ApplyOtherSourceLocation(const TOtherSourceAnswer& answer, TAddressLocation& location);

// Reads size bytes at address; false (nothing promised about buffer) when they are not all
// readable.
using TMemoryReader = std::function<bool(std::uintptr_t address, void* buffer, std::size_t size)>;

enum class TCallForm : std::uint8_t {
  kNone,
  kDirect,          // E8 rel32
  kRegister,        // FF D0-D7
  kRegisterMemory,  // FF 10-13, 16, 17
  kRegisterDisp8,   // FF 50-53, 55-57 disp8
  kRegisterDisp32,  // FF 90-93, 95-97 disp32
  kEsp,             // FF 14 24
  kEspDisp8,        // FF 54 24 disp8
  kEspDisp32,       // FF 94 24 disp32
  kAbsolute,        // FF 15 abs32
};

struct TCallSite {
  TCallForm Form = TCallForm::kNone;
  std::uintptr_t Address = 0;  // the CALL's first byte
  std::uintptr_t Target = 0;   // kDirect: the called address
};

// Whether value is a return address: the 7 bytes before it are readable and the first CALL
// form (in the order of TCallForm) whose bytes end at value holds, with its condition (the
// direct call's target readable; an 8B byte at value-5 or value-6 before a disp8 call; a
// disp32 of at most 0x4000 either way; the absolute call's pointer readable). A matching form
// whose condition fails gives false.
bool FindCallBefore(std::uintptr_t value, const TMemoryReader& read, TCallSite& site);

// The tidy step over the entries from first_new on: with drop_unlocated, entries of kinds 0
// and 1 and those whose procedure contains "HandleException" go; an entry of kind 2-4 at the
// address of one of the next two entries of kind 2-4 of the same module is hidden (kind 0);
// the entries between an entry of kind 4 with line offset 0 and the nearest entry below it
// that is of another thread or the same procedure with a line offset are hidden.
void TidyCallStack(TVantorStackList& list, int first_new, bool drop_unlocated);

// Admission of one entry (AddCallStackEntry's counting): false when the kind is not in the
// kind set, while skipped entries remain (first_index), or once max_count are kept.
struct TStackAdmission {
  std::uint32_t KindSet = 0;
  int MaxCount = 0;
  int FirstIndex = -1;  // -1: no skipping and no maximum
  int Seen = 0;         // admitted by kind
  int Kept = 0;
  bool Admit(std::uint8_t kind);
};

#ifdef _WIN32
// Fills the location of a code address (module, then its debug data, its other
// debug-information source or its exports). An address in no module gives kind 0.
void GetAddressLocation(const void* address, std::uint32_t thread_id, TAddressLocation& location,
                        bool exact, std::uint8_t thread_kind);

// While one lives in a thread, GetAddressLocation keeps there what it found, by address: the
// stacks of one report repeat addresses (each thread's creator stack, for one), and a lookup
// in the debug data reads a module's tables from their start.
class TLocationCacheScope {
 public:
  TLocationCacheScope();
  ~TLocationCacheScope();
  TLocationCacheScope(const TLocationCacheScope&) = delete;
  TLocationCacheScope& operator=(const TLocationCacheScope&) = delete;

 private:
  std::unordered_map<std::uintptr_t, TAddressLocation> found_;
  std::unordered_map<std::uintptr_t, TAddressLocation>* previous_;
};

// Appends the return addresses found between stack_start and stack_end (both included, at
// most kMaxStackScan bytes) to the list, after first_address when given (exact). light: the
// entries carry module handle and file name only (kind 1).
void ScanStackReturnAddresses(TVantorStackList& list, const void* first_address,
                              const void* stack_start, const void* stack_end,
                              std::uint32_t kind_set, int max_count, int first_index,
                              bool follow_calls, bool light, std::uint8_t thread_kind,
                              std::uint32_t thread_id);

// A new list with the full locations of ScanStackReturnAddresses.
std::unique_ptr<TVantorStackList> BuildCallStack(const void* first_address, const void* stack_start,
                                                 const void* stack_end, std::uint32_t kind_set,
                                                 int max_count, int first_index, bool follow_calls,
                                                 std::uint8_t thread_kind, std::uint32_t thread_id);

// The leak tracker's capture of an allocation: the stack copy and the frame chain (up to
// VLeaks::kStackDepth words each) from the frame on. A frame outside the live part of this
// thread's stack (a caller without a frame pointer leaves any value there) gives nothing, and
// the chain stays inside that part, so nothing unreadable is touched and nothing is queried.
void CaptureAllocationStack(const void* frame, std::uint32_t* stack_copy,
                            std::uint32_t* frame_chain);

// The library's own unit files, sorted (their frames are hidden outside internal-error
// reports).
std::vector<std::string> OwnUnitNames();

// Connects the unit to its neighbours; the library's start-up calls it once, before the
// modules list is filled: the modules list picks a module's other debug-information source
// (map file, TD32, JCL) through VDebug, the leak tracker captures allocation stacks with
// CaptureAllocationStack, and the library's own units are hidden. The leak report runs it
// again once the library's state was emptied.
void StartCallStacks();
#endif

}  // namespace ExceptionLog
