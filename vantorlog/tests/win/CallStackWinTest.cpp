// Call stacks under Wine. This program carries its own debug data (linked twice by the build);
// the locations of its vlstack functions are checked against binutils' addr2line run on the
// same program (VL_CALLSTACK_EXPECT). The probe library has no debug data (its exports
// locate it); a copy of it with the map fixture beside it is located through the map.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "VCallStack.h"
#include "VCore.h"
#include "VLData.h"
#include "VModules.h"

namespace vlstack {

struct Capture {
  std::uintptr_t return_into_b = 0;  // c's return address
  std::uintptr_t return_into_a = 0;  // b's return address
  const void* frame_of_a = nullptr;
  DWORD thread_id = 0;
  std::unique_ptr<TVantorStackList> plain, followed;
  TVantorStackList light;
};
Capture* g_capture = nullptr;

__attribute__((noinline)) int C(int n) {
  Capture& k = *g_capture;
  k.return_into_b = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const void* here = __builtin_frame_address(0);
  k.plain =
      ExceptionLog::BuildCallStack(nullptr, here, k.frame_of_a, 0x1F, 0, -1, false, 0, k.thread_id);
  k.followed =
      ExceptionLog::BuildCallStack(nullptr, here, k.frame_of_a, 0x1F, 0, -1, true, 0, k.thread_id);
  ExceptionLog::ScanStackReturnAddresses(k.light, nullptr, here, k.frame_of_a, 0x1F, 0, -1, false,
                                         true, 0, k.thread_id);
  return n + 1;
}

__attribute__((noinline)) int B(int n) {
  g_capture->return_into_a = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  return C(n * 2) + 1;
}

__attribute__((noinline)) int A(int n) {
  g_capture->frame_of_a = __builtin_frame_address(0);
  return B(n + 3) * 2;
}

// Clears the stack below the caller so that no earlier call leaves return addresses where
// A, B and C will have their frames. It calls nothing (a frame under a page needs no stack
// probe), so it leaves none of its own.
__attribute__((noinline)) void Scrub() {
  volatile char area[3072];
  for (std::size_t i = 0; i < sizeof area; ++i) area[i] = 0;
}

DWORD WINAPI ChainThread(void*) {
  Scrub();
  return static_cast<DWORD>(A(1));
}

// A thread that waits inside Sleeper's chain until it is let go.
struct Waiting {
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const void* stack_top = nullptr;
  std::uintptr_t return_into_outer = 0;
  std::uintptr_t return_into_middle = 0;
};
Waiting* g_waiting = nullptr;

__attribute__((noinline)) int SleeperInner(int n) {
  g_waiting->return_into_middle = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  SetEvent(g_waiting->ready);
  WaitForSingleObject(g_waiting->go, 30000);
  return n + 1;
}

__attribute__((noinline)) int SleeperMiddle(int n) {
  g_waiting->return_into_outer = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  return SleeperInner(n + 1) + 1;
}

__attribute__((noinline)) int SleeperOuter(int n) { return SleeperMiddle(n * 3) * 2; }

DWORD WINAPI SleeperThread(void*) {
  g_waiting->stack_top = VCore::StackTopOfThread();
  return static_cast<DWORD>(SleeperOuter(2));
}

struct Allocation {
  std::uint32_t stack[35] = {};
  std::uint32_t frames[35] = {};
  std::uintptr_t return_of_inner = 0, return_of_outer = 0;
};

__attribute__((noinline)) int AllocInner(Allocation& a) {
  a.return_of_inner = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  ExceptionLog::CaptureAllocationStack(__builtin_frame_address(0), a.stack, a.frames);
  return 1;
}

__attribute__((noinline)) int AllocOuter(Allocation& a) {
  a.return_of_outer = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  return AllocInner(a) + 1;
}

}  // namespace vlstack

namespace {

std::string Here(const char* name) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  return folder.substr(0, folder.find_last_of("\\/") + 1) + name;
}

struct Expected {
  std::string file, function;
  std::uint32_t line = 0;
};

// addr2line's answers by address.
std::map<std::uintptr_t, Expected> ReadExpected() {
  std::map<std::uintptr_t, Expected> expected;
  std::ifstream in(VL_CALLSTACK_EXPECT);
  const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string rva;
    Expected e;
    words >> rva >> e.file >> e.function >> e.line;
    expected[base + std::stoul(rva, nullptr, 16)] = e;
  }
  return expected;
}

std::string FunctionOf(const TAddressLocation& loc) {
  return loc.ClassName.empty() ? loc.ProcedureName : loc.ClassName + "::" + loc.ProcedureName;
}

void ExpectAsAddr2line(const TAddressLocation& loc,
                       const std::map<std::uintptr_t, Expected>& expected) {
  const auto it = expected.find(loc.Address);
  ASSERT_NE(it, expected.end()) << std::hex << loc.Address;
  EXPECT_EQ(loc.Kind, 4);
  EXPECT_EQ(loc.UnitName, it->second.file);
  EXPECT_EQ(FunctionOf(loc), it->second.function);
  EXPECT_EQ(loc.Line, it->second.line);
}

std::vector<std::uintptr_t> Addresses(const TVantorStackList& list) {
  std::vector<std::uintptr_t> addresses;
  for (int i = 0; i < list.Count(); ++i) addresses.push_back(list.Items(i)->Address);
  return addresses;
}

std::uint8_t ByteAt(std::uintptr_t address) { return *reinterpret_cast<std::uint8_t*>(address); }

class CallStackWinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ExceptionLog::StartCallStacks();
    VCore::StartModulesList();
  }
  void TearDown() override { VCore::StopModulesList(); }
};

TEST_F(CallStackWinTest, ChainOfCallsGivesExactlyItsReturnAddresses) {
  const auto expected = ReadExpected();
  ASSERT_GT(expected.size(), 20u) << VL_CALLSTACK_EXPECT;
  vlstack::Capture capture;
  vlstack::g_capture = &capture;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &vlstack::ChainThread, nullptr, CREATE_SUSPENDED, &id);
  ASSERT_NE(thread, nullptr);
  capture.thread_id = id;
  ResumeThread(thread);
  ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  EXPECT_EQ(code, static_cast<DWORD>(((1 + 3) * 2 + 1 + 1) * 2));

  // Both direct calls: the entry is the E8 five bytes in front of the return address.
  ASSERT_EQ(ByteAt(capture.return_into_b - 5), 0xE8);
  ASSERT_EQ(ByteAt(capture.return_into_a - 5), 0xE8);
  const std::vector<std::uintptr_t> sites = {capture.return_into_b - 5, capture.return_into_a - 5};
  ASSERT_TRUE(capture.plain);
  EXPECT_EQ(Addresses(*capture.plain), sites);
  for (int i = 0; i < capture.plain->Count(); ++i) {
    const TAddressLocation& loc = *capture.plain->Items(i);
    SCOPED_TRACE(i);
    ExpectAsAddr2line(loc, expected);
    EXPECT_EQ(loc.ThreadID, id);
    EXPECT_EQ(loc.Exact, 0);
    ASSERT_NE(loc.ModuleInfo, nullptr);
    EXPECT_EQ(loc.ModuleInfo->Handle,
              reinterpret_cast<VCore::TModuleHandle>(GetModuleHandleA(nullptr)));
  }

  // Following the calls puts each called routine in front of its call site.
  ASSERT_TRUE(capture.followed);
  EXPECT_EQ(Addresses(*capture.followed),
            (std::vector<std::uintptr_t>{reinterpret_cast<std::uintptr_t>(&vlstack::C), sites[0],
                                         reinterpret_cast<std::uintptr_t>(&vlstack::B), sites[1]}));
  for (int i = 0; i < capture.followed->Count(); ++i) {
    SCOPED_TRACE(i);
    ExpectAsAddr2line(*capture.followed->Items(i), expected);
  }

  // Light entries: module handle and file name only.
  ASSERT_EQ(Addresses(capture.light), sites);
  char file[MAX_PATH];
  GetModuleFileNameA(nullptr, file, MAX_PATH);
  for (int i = 0; i < capture.light.Count(); ++i) {
    const TAddressLocation& loc = *capture.light.Items(i);
    EXPECT_EQ(loc.Kind, 1);
    EXPECT_EQ(loc.ProcedureName, "");
    ASSERT_NE(loc.ModuleInfo, nullptr);
    EXPECT_EQ(loc.ModuleInfo->FileName, file);
    EXPECT_EQ(loc.ModuleInfo->Handle,
              reinterpret_cast<VCore::TModuleHandle>(GetModuleHandleA(nullptr)));
  }
}

TEST_F(CallStackWinTest, ValuesNotBehindACallAreRejected) {
  // Code bytes of our own, outside every module: only the value behind FF D0 and the one
  // behind an E8 into this page are return addresses.
  auto* page = static_cast<std::uint8_t*>(
      VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  ASSERT_NE(page, nullptr);
  std::memset(page, 0x90, 0x1000);
  const auto at = [&](std::uint32_t offset, std::initializer_list<std::uint8_t> bytes) {
    std::memcpy(page + offset - bytes.size(), bytes.begin(), bytes.size());
    return reinterpret_cast<std::uint32_t>(page + offset);
  };
  const std::uint32_t nops = at(0x100, {});
  // A call to 0x1000, in the never-mapped first 64 KiB.
  const std::uint32_t far_rel = 0x1000u - reinterpret_cast<std::uint32_t>(page + 0x200);
  const std::uint32_t far_call =
      at(0x200, {0xE8, std::uint8_t(far_rel), std::uint8_t(far_rel >> 8),
                 std::uint8_t(far_rel >> 16), std::uint8_t(far_rel >> 24)});
  const std::uint32_t near_call = at(0x300, {0xE8, 0x00, 0xFD, 0xFF, 0xFF});  // to page + 0
  const std::uint32_t bad_pointer = at(0x400, {0xFF, 0x15, 0x10, 0x00, 0x00, 0x00});
  const std::uint32_t no_mov = at(0x500, {0x90, 0x90, 0xFF, 0x50, 0x08});
  const std::uint32_t far_disp = at(0x600, {0xFF, 0x90, 0x00, 0x00, 0x01, 0x00});
  const std::uint32_t register_call = at(0x700, {0xFF, 0xD0});
  const std::uint32_t into_function = reinterpret_cast<std::uint32_t>(&vlstack::A);
  const std::uint32_t slots[] = {0,          0x10,         nops,        far_call, into_function,
                                 near_call,  12345,        bad_pointer, no_mov,   far_disp,
                                 0xFFFFFFF0, register_call};
  auto list = ExceptionLog::BuildCallStack(nullptr, &slots[0], &slots[11], 0x1F, 0, -1, false, 0,
                                           GetCurrentThreadId());
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(page);
  // The start of A is no return address: the bytes in front of a function start are padding
  // or the previous function's return.
  EXPECT_EQ(Addresses(*list), (std::vector<std::uintptr_t>{base + 0x300 - 5, base + 0x700 - 2}));
  for (int i = 0; i < list->Count(); ++i) {
    const TAddressLocation& loc = *list->Items(i);
    EXPECT_EQ(loc.Kind, 0);
    EXPECT_EQ(loc.ModuleInfo, nullptr);
    EXPECT_EQ(loc.UnitName, "");
    EXPECT_EQ(loc.ProcedureName, "");
  }
  // The kind set of report stacks keeps none of them.
  auto located = ExceptionLog::BuildCallStack(nullptr, &slots[0], &slots[11], 16, 0, -1, false, 0,
                                              GetCurrentThreadId());
  EXPECT_EQ(located->Count(), 0);
  VirtualFree(page, 0, MEM_RELEASE);
}

TEST_F(CallStackWinTest, FirstAddressComesFirstAndExact) {
  const auto expected = ReadExpected();
  const auto first = reinterpret_cast<const void*>(&vlstack::B);
  const std::uint32_t nothing[2] = {0, 0};
  auto list =
      ExceptionLog::BuildCallStack(first, &nothing[0], &nothing[1], 0x1F, 0, -1, false, 0, 7);
  ASSERT_EQ(list->Count(), 1);
  EXPECT_EQ(list->Items(0)->Exact, 1);
  EXPECT_EQ(list->Items(0)->ThreadID, 7u);
  ExpectAsAddr2line(*list->Items(0), expected);
}

TEST_F(CallStackWinTest, SuspendedThreadsStackIsCaptured) {
  const auto expected = ReadExpected();
  vlstack::Waiting waiting;
  vlstack::g_waiting = &waiting;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &vlstack::SleeperThread, nullptr, 0, &id);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(waiting.ready, 30000), WAIT_OBJECT_0);
  Sleep(50);  // into the wait
  ASSERT_NE(SuspendThread(thread), static_cast<DWORD>(-1));
  CONTEXT context{};
  context.ContextFlags = CONTEXT_CONTROL;
  ASSERT_TRUE(GetThreadContext(thread, &context));
  auto list = ExceptionLog::BuildCallStack(nullptr, reinterpret_cast<const void*>(context.Esp),
                                           waiting.stack_top, 0x1F, 0, -1, false, 1, id);
  auto lines_only =
      ExceptionLog::BuildCallStack(nullptr, reinterpret_cast<const void*>(context.Esp),
                                   waiting.stack_top, 16, 0, -1, false, 1, id);
  ResumeThread(thread);
  SetEvent(waiting.go);
  ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  CloseHandle(thread);
  CloseHandle(waiting.ready);
  CloseHandle(waiting.go);

  // The two call sites, in order; every entry inside this program's vlstack functions is
  // where addr2line says.
  const std::uintptr_t inner_site = waiting.return_into_middle - 5;
  const std::uintptr_t middle_site = waiting.return_into_outer - 5;
  int found_inner = -1, found_middle = -1, in_sleeper = 0, shown = 0;
  for (int i = 0; i < list->Count(); ++i) {
    const TAddressLocation& loc = *list->Items(i);
    EXPECT_EQ(loc.ThreadID, id);
    EXPECT_EQ(loc.ThreadKind, 1);
    if (loc.Address == inner_site && found_inner < 0) found_inner = i;
    if (loc.Address == middle_site && found_middle < 0) found_middle = i;
    // Hidden by the tidy step: a value found again further up (the wait's arguments keep a
    // copy of the return address into SleeperInner).
    if (loc.Kind == 0) continue;
    if (shown > 0) EXPECT_NE(loc.Address, list->Items(shown - 1)->Address) << i;
    shown = i + 1;
    if (expected.count(loc.Address)) {
      SCOPED_TRACE(i);
      ExpectAsAddr2line(loc, expected);
      if (loc.ProcedureName == "SleeperInner") ++in_sleeper;
    }
  }
  ASSERT_GE(found_inner, 0);
  EXPECT_GT(found_middle, found_inner);
  // The wait was called from SleeperInner: its call site lies below the return into it.
  EXPECT_GE(in_sleeper, 1);

  // Kind set 16: the entries with lines, and only those.
  std::vector<std::uintptr_t> with_lines, kept;
  for (int i = 0; i < list->Count(); ++i)
    if (list->Items(i)->Kind == 4) with_lines.push_back(list->Items(i)->Address);
  for (int i = 0; i < lines_only->Count(); ++i) {
    const std::uint8_t kind = lines_only->Items(i)->Kind;
    EXPECT_TRUE(kind == 4 || kind == 0) << i;  // 0: hidden by the tidy step
    if (kind == 4) kept.push_back(lines_only->Items(i)->Address);
  }
  EXPECT_EQ(kept, with_lines);
  EXPECT_GE(kept.size(), 4u);
}

TEST_F(CallStackWinTest, AllocationStacksFollowTheFrameChainOfTheLiveStack) {
  vlstack::Allocation a;
  EXPECT_EQ(vlstack::AllocOuter(a), 2);
  // The frame's saved frame pointer, then its return address; the chain gives the return
  // addresses of AllocInner, AllocOuter and on.
  EXPECT_EQ(a.stack[1], a.return_of_inner);
  EXPECT_EQ(a.frames[0], a.return_of_inner);
  EXPECT_EQ(a.frames[1], a.return_of_outer);
  EXPECT_NE(a.frames[2], 0u);

  // Frames outside the live stack (what a caller without a frame pointer leaves in EBP):
  // nothing is read.
  static std::uint32_t heap_like[40] = {8, 8};
  std::uint32_t local = 0;
  for (const void* frame :
       {reinterpret_cast<const void*>(0x1000), static_cast<const void*>(heap_like),
        reinterpret_cast<const void*>(0xFFFF0000), static_cast<const void*>(&local),
        VCore::StackTopOfThread()}) {
    std::uint32_t stack[35] = {}, frames[35] = {};
    ExceptionLog::CaptureAllocationStack(frame, stack, frames);
    EXPECT_EQ(stack[0] | stack[1] | frames[0], 0u) << frame;
  }
}

TEST_F(CallStackWinTest, LibraryWithoutDebugDataIsLocatedByItsExports) {
  HMODULE library = LoadLibraryA(Here("vantorlog_probe_library.dll").c_str());
  ASSERT_NE(library, nullptr);
  const auto handle = reinterpret_cast<VCore::TModuleHandle>(library);
  for (const char* name : {"VLProbeAdd", "VLProbeTwice", "VLProbeName"}) {
    SCOPED_TRACE(name);
    const auto entry = reinterpret_cast<std::uintptr_t>(GetProcAddress(library, name));
    ASSERT_NE(entry, 0u);
    for (std::uintptr_t address : {entry, entry + 1}) {
      TAddressLocation loc;
      ExceptionLog::GetAddressLocation(reinterpret_cast<const void*>(address), 9, loc, true, 0);
      EXPECT_EQ(loc.Kind, 2);
      EXPECT_EQ(loc.ProcedureName, name);
      EXPECT_EQ(loc.UnitName, "");
      EXPECT_EQ(loc.Address, address);
      EXPECT_EQ(loc.Exact, 1);
      EXPECT_EQ(loc.ThreadID, 9u);
      ASSERT_NE(loc.ModuleInfo, nullptr);
      EXPECT_EQ(loc.ModuleInfo->Handle, handle);
    }
  }
  // The entry point comes before every export: module only.
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(library);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(handle + dos->e_lfanew);
  const auto start = handle + nt->OptionalHeader.AddressOfEntryPoint;
  ASSERT_LT(start, reinterpret_cast<std::uintptr_t>(GetProcAddress(library, "VLProbeAdd")));
  TAddressLocation loc;
  ExceptionLog::GetAddressLocation(reinterpret_cast<const void*>(start), 0, loc, false, 0);
  EXPECT_EQ(loc.Kind, 1);
  EXPECT_EQ(loc.ProcedureName, "");
  ASSERT_NE(loc.ModuleInfo, nullptr);
  EXPECT_EQ(loc.ModuleInfo->Handle, handle);
  FreeLibrary(library);
}

TEST_F(CallStackWinTest, AddressInNoModuleGivesTheEmptyLocation) {
  void* page = VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
  ASSERT_NE(page, nullptr);
  static int data_value = 3;
  for (const void* address :
       {static_cast<const void*>(static_cast<char*>(page) + 0x10),
        static_cast<const void*>(nullptr), reinterpret_cast<const void*>(0x10)}) {
    TAddressLocation loc;
    loc.Kind = 4;
    loc.UnitName = "stale";
    ExceptionLog::GetAddressLocation(address, 5, loc, false, 0);
    EXPECT_EQ(loc.Kind, 0);
    EXPECT_EQ(loc.ModuleInfo, nullptr);
    EXPECT_EQ(loc.UnitName, "");
    EXPECT_EQ(loc.ProcedureName, "");
    EXPECT_EQ(loc.Line, 0u);
    EXPECT_EQ(loc.Address, reinterpret_cast<std::uintptr_t>(address));
    EXPECT_EQ(loc.ThreadID, 5u);
  }
  // Data of this program: module known, no procedure.
  TAddressLocation loc;
  ExceptionLog::GetAddressLocation(&data_value, 0, loc, false, 0);
  EXPECT_EQ(loc.Kind, 1);
  VirtualFree(page, 0, MEM_RELEASE);
}

TEST_F(CallStackWinTest, MapFileBesideALibraryIsItsOtherSource) {
  // A copy of the probe library with the map fixture (units System, Com_port and Unit1 at
  // code offsets 0x100-0xA00) under the same name.
  const std::string folder = std::string(VL_OUTPUT) + "/callstack-map";
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string dll = folder + "/vlstackmap.dll";
  ASSERT_TRUE(CopyFileA(Here("vantorlog_probe_library.dll").c_str(), dll.c_str(), FALSE));
  ASSERT_TRUE(CopyFileA((std::string(VL_DEBUG_FIXTURES) + "/sample.map").c_str(),
                        (folder + "/vlstackmap.map").c_str(), FALSE));
  HMODULE library = LoadLibraryA(dll.c_str());
  ASSERT_NE(library, nullptr);
  const auto code = reinterpret_cast<std::uintptr_t>(library) + 0x1000;
  struct Case {
    std::uint32_t offset;
    const char *unit, *klass, *procedure;
    std::uint32_t line, line_offset;
  };
  // The fixture's own table: Button1Click at 0x600 (lines 100 at 0x600, 101 at 0x608, 102 at
  // 0x620), ComConnect at 0x410 (20 at 0x410, 21 at 0x418), Halt0 at 0x100 (10, 12 at 0x110).
  const Case cases[] = {
      {0x608, "Unit1.pas", "TForm1", "Button1Click", 101, 1},
      {0x624, "Unit1.pas", "TForm1", "Button1Click", 102, 2},
      {0x41C, "Com_port.pas", "", "ComConnect", 21, 1},
      {0x110, "System.pas", "", "Halt0", 12, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    TAddressLocation loc;
    ExceptionLog::GetAddressLocation(reinterpret_cast<const void*>(code + c.offset), 0, loc, false,
                                     0);
    EXPECT_EQ(loc.Kind, 4);
    EXPECT_EQ(loc.UnitName, c.unit);
    EXPECT_EQ(loc.ClassName, c.klass);
    EXPECT_EQ(loc.ProcedureName, c.procedure);
    EXPECT_EQ(loc.Line, c.line);
    EXPECT_EQ(loc.LineOffset, c.line_offset);
    ASSERT_NE(loc.ModuleInfo, nullptr);
    EXPECT_EQ(loc.ModuleInfo->Handle, reinterpret_cast<VCore::TModuleHandle>(library));
  }
  FreeLibrary(library);
}

}  // namespace

// The library's own frames show as their module only, except in internal-error reports.
TEST_F(CallStackWinTest, LibraryFramesAreHiddenOutsideInternalErrorReports) {
  const void* library_code = reinterpret_cast<const void*>(&ExceptionLog::TidyCallStack);
  const void* own_code = reinterpret_cast<const void*>(&vlstack::B);
  struct TCase {
    bool internal_error;
    const void* address;
    std::uint8_t kind;
    const char* unit;
  } cases[] = {{false, library_code, 1, ""},
               {true, library_code, 4, "VCallStack.cpp"},
               {false, own_code, 4, "CallStackWinTest.cpp"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.unit);
    VLData::SetBuildingInternalErrorReport(c.internal_error);
    TAddressLocation loc;
    ExceptionLog::GetAddressLocation(c.address, GetCurrentThreadId(), loc, true, 0);
    VLData::SetBuildingInternalErrorReport(false);
    EXPECT_EQ(loc.Kind, c.kind);
    EXPECT_EQ(loc.UnitName, c.unit);
    ASSERT_NE(loc.ModuleInfo, nullptr);
    EXPECT_EQ(loc.ModuleInfo->Handle,
              reinterpret_cast<VCore::TModuleHandle>(GetModuleHandleA(nullptr)));
  }
  const std::vector<std::string> names = ExceptionLog::OwnUnitNames();
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
}

// An entry keeps the module record it names while the modules list drops and rebuilds it.
TEST_F(CallStackWinTest, EntryKeepsItsModuleRecordWhenTheListDropsIt) {
  TAddressLocation loc;
  ExceptionLog::GetAddressLocation(reinterpret_cast<const void*>(&vlstack::B), GetCurrentThreadId(),
                                   loc, true, 0);
  ASSERT_NE(loc.ModuleInfo, nullptr);
  EXPECT_EQ(loc.ModuleRef.get(), loc.ModuleInfo);
  std::weak_ptr<TVantorModuleInfo> record = loc.ModuleRef;
  VCore::StopModulesList();
  VCore::StartModulesList();
  VCore::RefreshModulesList();
  ASSERT_FALSE(record.expired());
  char file[MAX_PATH];
  GetModuleFileNameA(nullptr, file, MAX_PATH);
  EXPECT_EQ(loc.ModuleInfo->FileName, file);
  EXPECT_NE(VCore::ModuleInfoOfAddress(reinterpret_cast<const void*>(&vlstack::B)), loc.ModuleInfo);
}
