#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "VHook.h"

// Hook targets of known bytes (fastcall: the argument in ECX).
// short_branch_target: test ecx,ecx; jz +6; mov eax,10; ret; mov eax,20; ret.
// The jz lies inside the copied bytes and leaves them.
// near_call_target: call helper_ten; add eax,1; ret: the call is relocated.
// near_jcc_target: test ecx,ecx; jz rel32 (0F 84) past the copied bytes; mov eax,30; ret;
// mov eax,40; ret.
// mid_target: nop; mov eax,7; add eax,1; ret: the first 5 bytes end inside the mov.
asm(R"(
  .text
  .p2align 4
short_branch_target:
  testl %ecx, %ecx
  jz 1f
  movl $10, %eax
  ret
1:
  movl $20, %eax
  ret
  .p2align 4
near_call_target:
  call helper_ten
  addl $1, %eax
  ret
helper_ten:
  movl $10, %eax
  ret
  .p2align 4
near_jcc_target:
  testl %ecx, %ecx
  {disp32} jz 2f
  movl $30, %eax
  ret
2:
  movl $40, %eax
  ret
  .p2align 4
mid_target:
  nop
  movl $7, %eax
  addl $1, %eax
  ret
)");

extern "C" int __attribute__((fastcall)) ShortBranchTarget(int zero) __asm__("short_branch_target");
extern "C" int __attribute__((fastcall)) NearCallTarget(int) __asm__("near_call_target");
extern "C" int __attribute__((fastcall)) NearJccTarget(int) __asm__("near_jcc_target");
extern "C" int __attribute__((fastcall)) MidTarget(int) __asm__("mid_target");
// The import slot the test program's calls of GetSystemDefaultLangID go through.
extern "C" void* const kLangIdSlot __asm__("__imp__GetSystemDefaultLangID@0");

// Outside the anonymous namespace, so the compiler cannot prove the dynamic type of a Shape
// and must call through the table.
struct Shape {
  virtual int Area() const { return 1; }
  virtual int Sides() const { return 4; }
};

namespace {

using FastFn = int(__attribute__((fastcall)) *)(int);

class HookTest : public ::testing::Test {
 protected:
  void SetUp() override { VHook::Initialize(); }
  void TearDown() override { VHook::Finalize(); }
};

DWORD ProtectionOf(const void* address) {
  MEMORY_BASIC_INFORMATION info{};
  VirtualQuery(address, &info, sizeof info);
  return info.Protect;
}

std::vector<std::uint8_t> CodeBytes(const void* address, std::size_t n) {
  std::vector<std::uint8_t> out(n);
  std::memcpy(out.data(), address, n);
  return out;
}

// Where a jump E9 at address leads; null when the bytes are no such jump.
const void* JumpTarget(const void* address) {
  const auto* b = static_cast<const std::uint8_t*>(address);
  if (b[0] != 0xE9) return nullptr;
  std::int32_t rel;
  std::memcpy(&rel, b + 1, 4);
  return b + 5 + rel;
}

// Call through a volatile pointer so that the compiler cannot fold the call.
int Call(FastFn fn, int argument) {
  volatile FastFn f = fn;
  return f(argument);
}

// ---- Import address table ----

LANGID WINAPI FakeLangId() { return 0x1234; }
LANGID WINAPI OtherLangId() { return 0x4321; }

// A call through the import slot as the program's code makes it, loaded afresh each time.
__attribute__((noinline)) LANGID LangId() {
  asm volatile("" ::: "memory");
  return GetSystemDefaultLangID();
}

TEST_F(HookTest, ImportSlotIsPatchedCalledThroughAndRestored) {
  HMODULE exe = GetModuleHandleA(nullptr);
  void* real = reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemDefaultLangID"));
  ASSERT_EQ(kLangIdSlot, real);
  const LANGID genuine = LangId();
  ASSERT_NE(genuine, 0x1234);
  const DWORD protection = ProtectionOf(&kLangIdSlot);

  // Case of the DLL name does not matter.
  EXPECT_EQ(VHook::PatchModuleImport(exe, "KERNEL32.DLL", real, false, false, "x",
                                     reinterpret_cast<void*>(&FakeLangId)),
            real);
  EXPECT_EQ(kLangIdSlot, reinterpret_cast<void*>(&FakeLangId));
  EXPECT_EQ(LangId(), 0x1234);
  EXPECT_EQ(ProtectionOf(&kLangIdSlot), protection);

  // A second patch over the first: the undo goes newest first, back to the real address.
  EXPECT_EQ(VHook::PatchModuleImport(exe, "kernel32.dll", reinterpret_cast<void*>(&FakeLangId),
                                     false, false, "x", reinterpret_cast<void*>(&OtherLangId)),
            reinterpret_cast<void*>(&FakeLangId));
  EXPECT_EQ(LangId(), 0x4321);
  VHook::Finalize();
  EXPECT_EQ(kLangIdSlot, real);
  EXPECT_EQ(LangId(), genuine);
  EXPECT_EQ(ProtectionOf(&kLangIdSlot), protection);
}

TEST_F(HookTest, PatchImportsInModulesFindsTheProcedureAndSkipsAbsentModules) {
  void* original = nullptr;
  const std::vector<std::string> modules = {"no-such-module.dll", ""};
  char exe_path[MAX_PATH];
  GetModuleFileNameA(nullptr, exe_path, MAX_PATH);
  std::vector<std::string> with_exe = modules;
  with_exe.push_back(exe_path);
  EXPECT_TRUE(VHook::PatchImportsInModules(with_exe, "kernel32.dll", false, &original,
                                           reinterpret_cast<void*>(&FakeLangId),
                                           "GetSystemDefaultLangID"));
  EXPECT_EQ(original, reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                                             "GetSystemDefaultLangID")));
  EXPECT_EQ(LangId(), 0x1234);
  VHook::Finalize();
  EXPECT_EQ(kLangIdSlot, original);
}

TEST_F(HookTest, ImportsThatAreNotThereAreRefusedAsAsked) {
  char exe_path[MAX_PATH];
  GetModuleFileNameA(nullptr, exe_path, MAX_PATH);
  const std::vector<std::string> exe = {exe_path};
  void* original = nullptr;
  // user32 is loaded, but the test program does not import LockWorkStation.
  LoadLibraryA("user32.dll");
  EXPECT_FALSE(VHook::PatchImportsInModules(
      exe, "user32.dll", true, &original, reinterpret_cast<void*>(&FakeLangId), "LockWorkStation"));
  EXPECT_NE(original, nullptr);  // handed back all the same
  try {
    VHook::PatchImportsInModules(exe, "user32.dll", false, &original,
                                 reinterpret_cast<void*>(&FakeLangId), "LockWorkStation");
    ADD_FAILURE() << "no EHookingError";
  } catch (const EHookingError& e) {
    EXPECT_EQ(e.Message(), "Cannot hook the procedure \"user32.dll.LockWorkStation\".");
  }
  try {
    VHook::PatchImportsInModules(exe, "kernel32.dll", true, &original,
                                 reinterpret_cast<void*>(&FakeLangId), "NoSuchProcedure");
    ADD_FAILURE() << "no EProcNull";
  } catch (const EProcNull& e) {
    EXPECT_EQ(e.Message(), "Cannot hook a null procedure (\"kernel32.dll.NoSuchProcedure\").");
  }
  // A module without PE headers.
  std::vector<std::uint8_t> junk(4096, 0);
  EXPECT_EQ(VHook::PatchModuleImport(junk.data(), "kernel32.dll", &junk, false, true, "j", &junk),
            nullptr);
  EXPECT_THROW(
      VHook::PatchModuleImport(junk.data(), "kernel32.dll", &junk, false, false, "j", &junk),
      EHookingError);
  EXPECT_NE(LangId(), 0x1234);
}

// ---- Inline hooks ----

FastFn g_trampoline = nullptr;
int __attribute__((fastcall)) Replacement(int argument) { return 100 + g_trampoline(argument); }

struct InlineCase {
  const char* name;
  FastFn target;
  int argument;
  int original_result;
};

TEST_F(HookTest, InlineHookRedirectsRunsTheOriginalAndUnhooksByteExactly) {
  const InlineCase cases[] = {
      {"short branch taken", &ShortBranchTarget, 0, 20},
      {"short branch not taken", &ShortBranchTarget, 1, 10},
      {"relocated call", &NearCallTarget, 0, 11},
      {"relocated near jz taken", &NearJccTarget, 0, 40},
      {"relocated near jz not taken", &NearJccTarget, 1, 30},
      {"instruction across the 5 bytes", &MidTarget, 0, 8},
  };
  for (const InlineCase& c : cases) {
    SCOPED_TRACE(c.name);
    void* target = reinterpret_cast<void*>(c.target);
    const auto before = CodeBytes(target, 16);
    const DWORD protection = ProtectionOf(target);
    ASSERT_EQ(Call(c.target, c.argument), c.original_result);

    g_trampoline = reinterpret_cast<FastFn>(
        VHook::HookProcedure(target, reinterpret_cast<void*>(&Replacement)));
    ASSERT_NE(g_trampoline, nullptr);
    EXPECT_EQ(JumpTarget(target), reinterpret_cast<void*>(&Replacement));
    EXPECT_EQ(ProtectionOf(target), protection);
    EXPECT_EQ(Call(c.target, c.argument), 100 + c.original_result);
    EXPECT_EQ(Call(g_trampoline, c.argument), c.original_result);
    // Hooking again hands back the same trampoline and changes nothing.
    EXPECT_EQ(VHook::HookProcedure(target, reinterpret_cast<void*>(&Replacement)),
              reinterpret_cast<void*>(g_trampoline));

    EXPECT_TRUE(VHook::UnhookProcedure(target));
    EXPECT_EQ(CodeBytes(target, 16), before);
    EXPECT_EQ(ProtectionOf(target), protection);
    EXPECT_EQ(Call(c.target, c.argument), c.original_result);
    EXPECT_FALSE(VHook::UnhookProcedure(target));
  }
  // The trampoline's own address undoes the hook too, and finalisation undoes what is left.
  const auto short_before = CodeBytes(reinterpret_cast<void*>(&ShortBranchTarget), 16);
  const auto mid_before = CodeBytes(reinterpret_cast<void*>(&MidTarget), 16);
  void* t = VHook::HookProcedure(reinterpret_cast<void*>(&ShortBranchTarget),
                                 reinterpret_cast<void*>(&Replacement));
  VHook::HookProcedure(reinterpret_cast<void*>(&MidTarget), reinterpret_cast<void*>(&Replacement));
  EXPECT_TRUE(VHook::UnhookProcedure(t));
  EXPECT_EQ(CodeBytes(reinterpret_cast<void*>(&ShortBranchTarget), 16), short_before);
  EXPECT_NE(CodeBytes(reinterpret_cast<void*>(&MidTarget), 16), mid_before);
  VHook::Finalize();
  EXPECT_EQ(CodeBytes(reinterpret_cast<void*>(&MidTarget), 16), mid_before);
}

TEST_F(HookTest, TryHookProcedureChecksAndNamesTheProcedure) {
  try {
    VHook::TryHookProcedure(nullptr, reinterpret_cast<void*>(&Replacement), "Nothing");
    ADD_FAILURE() << "no EProcNull";
  } catch (const EProcNull& e) {
    EXPECT_EQ(e.Message(), "Cannot hook a null procedure (\"Nothing\").");
  }
  // Unreadable code: the error names the procedure.
  void* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
  try {
    VHook::TryHookProcedure(reserved, reinterpret_cast<void*>(&Replacement), "Reserved");
    ADD_FAILURE() << "no EHookingError";
  } catch (const EHookingError& e) {
    EXPECT_EQ(e.Message(), "Cannot hook the procedure \"Reserved\".");
  }
  VirtualFree(reserved, 0, MEM_RELEASE);
  // An import thunk "FF 25 slot" is followed to the code it leads to.
  std::uint8_t thunk[8] = {0xFF, 0x25};
  void* mid = reinterpret_cast<void*>(&MidTarget);
  void* const* slot = &mid;
  std::memcpy(thunk + 2, &slot, 4);
  const auto before = CodeBytes(mid, 16);
  g_trampoline = reinterpret_cast<FastFn>(
      VHook::TryHookProcedure(thunk, reinterpret_cast<void*>(&Replacement), "Mid"));
  EXPECT_EQ(JumpTarget(mid), reinterpret_cast<void*>(&Replacement));
  EXPECT_EQ(Call(&MidTarget, 0), 108);
  EXPECT_TRUE(VHook::UnhookProcedure(mid));
  EXPECT_EQ(CodeBytes(mid, 16), before);
}

TEST(HookWriteTest, WriteCodeRestoresEachPagesProtection) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const DWORD page = system.dwPageSize;
  auto* block = static_cast<std::uint8_t*>(
      VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(block, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(block, page, PAGE_READONLY, &old));
  ASSERT_TRUE(VirtualProtect(block + page, page, PAGE_EXECUTE_READ, &old));
  // Straddles the two pages.
  const std::uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_TRUE(VHook::WriteCode(block + page - 4, bytes, sizeof bytes));
  EXPECT_EQ(std::memcmp(block + page - 4, bytes, sizeof bytes), 0);
  EXPECT_EQ(ProtectionOf(block), static_cast<DWORD>(PAGE_READONLY));
  EXPECT_EQ(ProtectionOf(block + page), static_cast<DWORD>(PAGE_EXECUTE_READ));
  // A jump: E9 and the distance.
  EXPECT_TRUE(VHook::WriteJump(block + 16, block + 1000));
  EXPECT_EQ(JumpTarget(block + 16), block + 1000);
  // Memory that cannot be opened is left alone.
  void* reserved = VirtualAlloc(nullptr, page, MEM_RESERVE, PAGE_NOACCESS);
  EXPECT_FALSE(VHook::WriteCode(reserved, bytes, sizeof bytes));
  VirtualFree(reserved, 0, MEM_RELEASE);
  VirtualFree(block, 0, MEM_RELEASE);
}

// ---- Virtual slots ----

int __attribute__((thiscall)) FakeArea(const Shape*) { return 42; }
int __attribute__((thiscall)) OtherArea(const Shape*) { return 43; }

__attribute__((noinline)) int AreaOf(const Shape* s) {
  asm volatile("" ::: "memory");
  const Shape* volatile p = s;
  return p->Area();
}

TEST_F(HookTest, VirtualSlotIsReplacedOnceAndRestored) {
  Shape shape;
  void** table = *reinterpret_cast<void***>(&shape);
  void* original = table[0];
  const DWORD protection = ProtectionOf(table);

  void* fake = reinterpret_cast<void*>(&FakeArea);
  EXPECT_EQ(VHook::PatchVirtualSlot(table, 0, fake), original);
  EXPECT_EQ(table[0], fake);
  EXPECT_EQ(AreaOf(&shape), 42);
  EXPECT_EQ(shape.Sides(), 4);
  EXPECT_EQ(ProtectionOf(table), protection);
  // Patching with the same procedure again gives the first original and adds no record.
  EXPECT_EQ(VHook::PatchVirtualSlot(table, 0, fake), original);
  EXPECT_TRUE(VHook::RestoreVirtualSlot(table, 0));
  EXPECT_EQ(table[0], original);
  EXPECT_EQ(AreaOf(&shape), 1);
  EXPECT_FALSE(VHook::RestoreVirtualSlot(table, 0));
  EXPECT_EQ(ProtectionOf(table), protection);

  // Two different patches undo to the real original, newest first.
  EXPECT_EQ(VHook::PatchVirtualSlot(table, 0, fake), original);
  EXPECT_EQ(VHook::PatchVirtualSlot(table, 0, reinterpret_cast<void*>(&OtherArea)), fake);
  EXPECT_EQ(AreaOf(&shape), 43);
  EXPECT_TRUE(VHook::RestoreVirtualSlot(table, 0));
  EXPECT_EQ(AreaOf(&shape), 42);
  VHook::Finalize();  // the list's destructor restores the rest
  EXPECT_EQ(table[0], original);
  EXPECT_EQ(AreaOf(&shape), 1);
  EXPECT_EQ(VHook::PatchVirtualSlot(table, 0, fake), nullptr);  // no list any more
  EXPECT_EQ(table[0], original);
}

TEST_F(HookTest, VirtualSlotOutsideAnyModuleIsNotWritten) {
  void* heap_table[2] = {reinterpret_cast<void*>(&FakeArea), nullptr};
  EXPECT_EQ(VHook::PatchVirtualSlot(heap_table, 0, reinterpret_cast<void*>(&OtherArea)), nullptr);
  EXPECT_EQ(heap_table[0], reinterpret_cast<void*>(&FakeArea));
  EXPECT_FALSE(VHook::RestoreVirtualSlot(heap_table, 0));
}

}  // namespace
