// The disassembler: texts and lengths of chosen instructions, cut-short code, and the
// callbacks. Lengths over whole opcode maps are compared with objdump by
// peers/disasm_vs_objdump.py.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include "VDisAsm.h"

namespace {

constexpr std::uint32_t kBase = 0x00401000;

std::vector<std::uint8_t> Bytes(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

struct TResult {
  int length = 0;
  std::string text;
};

TResult Disassemble(TDisAsm& disasm, const std::vector<std::uint8_t>& code) {
  const TBufferCodeReader reader(code.data(), code.size(), kBase);
  disasm.Code = &reader;
  TResult result;
  VDisAsm::DisassembleOne(disasm, kBase, result.length, result.text);
  disasm.Code = nullptr;
  return result;
}

TResult Disassemble(const std::string& hex) {
  TDisAsm disasm;
  return Disassemble(disasm, Bytes(hex));
}

struct TCase {
  const char* bytes;
  const char* text;
  int length;
};

// Texts written by hand from the instruction set's encoding rules and the report's layout.
const TCase kCases[] = {
    // Prefixes, sizes, signed immediates.
    {"66 05 34 12", "add     ax, +$1234", 4},
    {"05 78 56 34 12", "add     eax, +$12345678", 5},
    {"83 C0 FF", "add     eax, -$01", 3},
    {"83 E8 80", "sub     eax, -$80", 3},
    {"0C 7F", "or      al, $7F", 2},
    {"68 00 10 40 00", "push    $00401000", 5},
    {"66 68 34 12", "push    $1234", 4},
    {"98", "cwde", 1},
    {"66 98", "cbw", 2},
    {"99", "cdq", 1},
    {"66 99", "cwd", 2},
    {"66 40", "inc     ax", 2},
    {"A5", "movsd", 1},
    {"66 A5", "movsw", 2},
    {"F3 A5", "rep     movsd", 2},
    {"F0 0F B1 0A", "lock    cmpxchg [edx], ecx", 4},
    {"6C", "insb", 1},
    {"6D", "insd", 1},
    // Undefined and data-shown opcodes.
    {"0F 0B", "ud2", 2},
    {"0F 04", "DB      $0F, $04  //", 2},
    {"D6", "DB      $D6  //", 1},
    {"FF FF", "DB      $FF, $FF  //", 2},
    {"C4 00", "DB      $C4, $00  //les     eax, [eax]", 2},
    {"0F 60 C1", "DB      $0F, $60, $C1  //punpcklbw MM0, MM1", 3},
    // ModRM, SIB and displacements.
    {"8B 45 F8", "mov     eax, [ebp-$08]", 3},
    {"8A 45 F8", "mov     al, byte ptr [ebp-$08]", 3},
    {"26 8B 00", "mov     eax, es:[eax]", 3},
    {"89 08", "mov     [eax], ecx", 2},
    {"8B 04 24", "mov     eax, [esp]", 3},
    {"8B 44 24 04", "mov     eax, [esp+$04]", 4},
    {"8B 84 88 00 01 00 00", "mov     eax, [eax+ecx*4+$00000100]", 7},
    {"8D 04 85 00 00 40 00", "lea     eax, [$00400000+eax*4]", 7},
    {"8D 44 2D 00", "lea     eax, [ebp+ebp+$00]", 4},
    {"8B 0D 00 10 40 00", "mov     ecx, [$00401000]", 6},
    {"C7 45 FC 01 00 00 00", "mov     dword ptr [ebp-$04], $00000001", 7},
    {"C6 00 41", "mov     byte ptr [eax], $41", 3},
    {"66 C7 00 34 12", "mov     word ptr [eax], $1234", 5},
    {"66 8B 00", "mov     ax, word ptr [eax]", 3},
    {"29 08", "sub     dword ptr [eax], ecx", 2},
    {"2B 08", "sub     ecx, dword ptr [eax]", 2},
    {"0F B6 45 08", "movzx   eax, byte ptr [ebp+$08]", 4},
    {"0F BF C8", "movsx   ecx, ax", 3},
    {"FF 30", "push    dword ptr [eax]", 2},
    {"FF 15 00 10 40 00", "call    dword ptr [$00401000]", 6},
    {"FF E0", "jmp     eax", 2},
    {"64 A1 18 00 00 00", "mov     eax, dword ptr fs:[$00000018]", 6},
    {"A2 00 10 40 00", "mov     byte ptr [$00401000], al", 5},
    // 16-bit addresses.
    {"67 8B 47 10", "mov     eax, [bx+$10]", 4},
    {"67 8B 00", "mov     eax, [bx+si]", 3},
    {"67 8B 06 34 12", "mov     eax, [$1234]", 5},
    {"67 8B 87 34 12", "mov     eax, [bx+$1234]", 5},
    {"67 A1 34 12", "mov     eax, dword ptr [$1234]", 4},
    // Groups and their suffixes.
    {"F7 C0 01 00 00 00", "test    eax, $00000001", 6},
    {"F6 00 01", "test    byte ptr [eax], $01", 3},
    {"F6 20", "mul     byte ptr [eax], al", 2},
    {"F7 D8", "neg     eax", 2},
    {"D1 E0", "shl     eax, 1", 2},
    {"D3 F8", "sar     eax, cl", 2},
    {"C1 E8 04", "shr     eax, $04", 3},
    {"FE 00", "inc     byte ptr [eax]", 2},
    {"FE 10", "DB      $FE, $10  //", 2},
    {"FF 5D 08", "call    [ebp+$08]", 3},
    {"0F 00 C0", "sldt    ax", 3},
    {"0F BA E0 05", "bt      eax, $05", 4},
    {"0F C7 0E", "cmpxchg8b qword ptr [esi]", 3},
    {"0F 73 D1 04", "psrlq   MM1, $04", 4},
    // Floating point.
    {"D9 45 F8", "fld     dword ptr [ebp-$08]", 3},
    {"DD 5D F8", "fstp    qword ptr [ebp-$08]", 3},
    {"DB 6D F0", "fld     tbyte ptr [ebp-$10]", 3},
    {"DF 2C 24", "fild    qword ptr [esp]", 3},
    {"D9 7D FE", "fnstcw  word ptr [ebp-$02]", 3},
    {"D9 C1", "fld     st(1)", 2},
    {"D8 C2", "fadd    st(0), st(2)", 2},
    {"DE F9", "fdivp   st(1), st(0)", 2},
    {"D9 E8", "fld1", 2},
    {"DF E0", "fnstsw  ax", 2},
    {"DA E9", "fucompp", 2},
    {"D9 D8", "DB      $D9, $D8  //", 2},
    // Others.
    {"0F 20 C0", "mov     eax, C0", 3},
    {"8C D8", "mov     ax, ds", 2},
    {"9A 11 22 33 44 55 66", "call    $6655:$44332211", 7},
    {"C2 08 00", "ret     $0008", 3},
    {"C8 10 00 01", "enter   $0010, $01", 4},
    {"0F 6F 04 24", "movq    MM0, qword ptr [esp]", 4},
    {"0F 1F 44 00 00", "nop     dword ptr [eax+eax+$00]", 5},
    {"0F C8", "bswap   eax", 2},
    // Lengths the processor decides: control registers take a register whatever the mod
    // field, far pointers have an offset of the operand size, undocumented aliases keep their
    // immediate, a prefix before data is part of the data.
    {"0F 20 00", "mov     eax, C0", 3},
    {"0F 22 58", "mov     C3, eax", 3},
    {"66 9A 34 12 78 56", "call    $5678:$1234", 6},
    {"F6 08 05", "DB      $F6, $08, $05  //byte ptr [eax], $05", 3},
    {"F7 08 01 00 00 00", "DB      $F7, $08, $01, $00, $00, $00  //dword ptr [eax], $00000001", 6},
    {"F0 0F 0C", "DB      $F0, $0F, $0C  //", 3},
    {"F3 C3", "rep     ret", 2},
};

TEST(DisAsm, TextsAndLengths) {
  for (const auto& c : kCases) {
    const TResult r = Disassemble(c.bytes);
    EXPECT_EQ(r.text, c.text) << c.bytes;
    EXPECT_EQ(r.length, c.length) << c.bytes;
  }
}

TEST(DisAsm, RelativeTargetsAreSignedOffsets) {
  EXPECT_EQ(Disassemble("EB 05").text, "jmp     +$05");
  EXPECT_EQ(Disassemble("74 FE").text, "je      -$02");
  EXPECT_EQ(Disassemble("E8 FB FF FF FF").text, "call    -$00000005");
  EXPECT_EQ(Disassemble("0F 84 10 00 00 00").length, 6);
  EXPECT_EQ(Disassemble("E2 F0").text, "loop    -$10");
}

// Reads through a reader that fails the test on any request outside its bytes.
class TStrictReader : public TCodeReader {
 public:
  explicit TStrictReader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t count) const override {
    ++reads;
    EXPECT_GE(address, kBase);
    const std::size_t offset = address - kBase;
    if (offset >= bytes_.size()) return 0;
    std::size_t n = std::min(count, bytes_.size() - offset);
    for (std::size_t i = 0; i < n; ++i) buffer[i] = bytes_[offset + i];
    return n;
  }
  mutable int reads = 0;

 private:
  std::vector<std::uint8_t> bytes_;
};

TEST(DisAsm, CodeCutShortEndsTheInstructionAsData) {
  // Every cut of long instructions: the bytes there are, shown as data, never more.
  for (const char* hex : {"C7 84 88 00 01 00 00 78 56 34 12", "66 0F BA 64 24 04 05",
                          "9A 11 22 33 44 55 66", "DD 9C 24 00 01 00 00", "26 66 67 F3 A5"}) {
    const auto full = Bytes(hex);
    for (std::size_t n = 1; n < full.size(); ++n) {
      std::vector<std::uint8_t> cut(full.begin(), full.begin() + n);
      std::string expected = "DB      $";
      for (std::size_t i = 0; i < n; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", cut[i]);
        expected += (i ? ", $" : "") + std::string(b);
      }
      TDisAsm disasm;
      const TResult r = Disassemble(disasm, cut);
      EXPECT_EQ(r.length, static_cast<int>(n)) << hex << " cut at " << n;
      EXPECT_EQ(r.text, expected) << hex << " cut at " << n;
    }
    EXPECT_EQ(Disassemble(hex).length, static_cast<int>(full.size())) << hex;
  }
}

TEST(DisAsm, NothingReadableGivesOneByte) {
  TStrictReader reader({});
  TDisAsm disasm;
  disasm.Code = &reader;
  int length = 0;
  std::string text;
  VDisAsm::DisassembleOne(disasm, kBase, length, text);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(text, "DB      ??");
  EXPECT_EQ(reader.reads, 1);
}

TEST(DisAsm, PrefixRunsStopAtFifteenBytes) {
  TStrictReader reader(std::vector<std::uint8_t>(40, 0x66));
  TDisAsm disasm;
  disasm.Code = &reader;
  int length = 0;
  std::string text;
  VDisAsm::DisassembleOne(disasm, kBase, length, text);
  EXPECT_EQ(length, 15);
  EXPECT_EQ(text.substr(0, 12), "DB      $66,");
  // Fourteen prefixes and a one-byte instruction still fit.
  std::vector<std::uint8_t> code(14, 0x66);
  code.push_back(0x40);
  EXPECT_EQ(Disassemble(disasm, code).text, "inc     ax");
}

// Two pages below 4 GiB, the second one without access.
class TGuardedPages {
 public:
  TGuardedPages() {
#ifdef _WIN32
    base_ = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (base_ && !VirtualProtect(base_ + kPage, kPage, PAGE_NOACCESS, &old)) base_ = nullptr;
#else
    void* p = mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
    if (base_ && mprotect(base_ + kPage, kPage, PROT_NONE) != 0) base_ = nullptr;
#endif
  }
  ~TGuardedPages() {
#ifdef _WIN32
    if (base_) VirtualFree(base_, 0, MEM_RELEASE);
#else
    if (base_) munmap(base_, 2 * kPage);
#endif
  }
  static constexpr std::size_t kPage = 4096;
  std::uint8_t* base_ = nullptr;
};

TEST(DisAsm, ProcessMemoryReader) {
  TDisAsm disasm;  // no reader given: the process's own memory
  int length = 0;
  std::string text;
  VDisAsm::DisassembleOne(disasm, 0, length, text);  // unreadable: no fault
  EXPECT_EQ(length, 1);
  EXPECT_EQ(text, "DB      ??");

  TGuardedPages pages;
  ASSERT_NE(pages.base_, nullptr);
  const auto address = reinterpret_cast<std::uintptr_t>(pages.base_);
  ASSERT_LE(address + 2 * TGuardedPages::kPage, 0xFFFFFFFFull);
  const auto at = static_cast<std::uint32_t>(address + TGuardedPages::kPage);
  // An instruction that ends exactly at the page end, and one that runs into the next page.
  const std::uint8_t mov[] = {0x8B, 0x45, 0xF8};
  std::memcpy(pages.base_ + TGuardedPages::kPage - 3, mov, 3);
  VDisAsm::DisassembleOne(disasm, at - 3, length, text);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(text, "mov     eax, [ebp-$08]");
  const std::uint8_t store[] = {0xC7, 0x05, 0x00, 0x10};  // 10-byte instruction, cut at 4
  std::memcpy(pages.base_ + TGuardedPages::kPage - 4, store, 4);
  VDisAsm::DisassembleOne(disasm, at - 4, length, text);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(text, "DB      $C7, $05, $00, $10");
  VDisAsm::DisassembleOne(disasm, at, length, text);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(text, "DB      ??");
}

// What the callbacks saw, and what they answer.
struct TRecorder {
  std::vector<std::string> calls;
  std::string answer;  // replaces the operand when not empty
  TDisAsmMemory memory;
  int memory_size = -1;
};

std::string HexOf(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%X", v);
  return b;
}

void Answer(TRecorder* r, std::string& text) {
  if (!r->answer.empty()) text = r->answer;
}

void OnJump(void* user, std::uint32_t address, std::uint32_t target, std::string& text) {
  auto* r = static_cast<TRecorder*>(user);
  r->calls.push_back("jump " + HexOf(address) + " " + HexOf(target) + " " + text);
  Answer(r, text);
}
void OnCall(void* user, std::uint32_t address, std::uint32_t target, std::string& text) {
  auto* r = static_cast<TRecorder*>(user);
  r->calls.push_back("call " + HexOf(address) + " " + HexOf(target) + " " + text);
  Answer(r, text);
}
void OnDisplacement(void* user, std::uint32_t address, std::uint32_t value, std::string& text) {
  auto* r = static_cast<TRecorder*>(user);
  r->calls.push_back("disp " + HexOf(address) + " " + HexOf(value) + " " + text);
  Answer(r, text);
}
void OnMemory(void* user, const TDisAsmMemory& operand, int size, std::string& text) {
  auto* r = static_cast<TRecorder*>(user);
  r->calls.push_back("mem " + std::to_string(size) + " " + text);
  r->memory = operand;
  r->memory_size = size;
  Answer(r, text);
}
void OnImmediate(void* user, std::uint32_t address, int size, std::string& text, bool is_signed) {
  auto* r = static_cast<TRecorder*>(user);
  r->calls.push_back("imm " + HexOf(address) + " " + std::to_string(size) + " " + text + " " +
                     (is_signed ? "signed" : "unsigned"));
  Answer(r, text);
}

class DisAsmCallbacks : public ::testing::Test {
 protected:
  void SetUp() override {
    disasm.OnJump = OnJump;
    disasm.OnCall = OnCall;
    disasm.OnDisplacement = OnDisplacement;
    disasm.OnMemory = OnMemory;
    disasm.OnImmediate = OnImmediate;
    disasm.UserValue = &recorder;
  }
  TResult Run(const std::string& hex) {
    recorder.calls.clear();
    return Disassemble(disasm, Bytes(hex));
  }
  TDisAsm disasm;
  TRecorder recorder;
};

TEST_F(DisAsmCallbacks, WhatEachCallbackReceives) {
  struct {
    const char* bytes;
    std::vector<std::string> calls;
  } const cases[] = {
      {"EB 05", {"jump 401001 401007 +$05"}},
      {"0F 84 FA FF FF FF", {"jump 401002 401000 -$00000006"}},
      {"E8 FB FF FF FF", {"call 401001 401000 -$00000005"}},
      {"66 E8 FC FF", {"call 401002 1000 -$0004"}},  // a 16-bit target wraps
      {"FF 15 00 20 40 00", {"disp 401002 402000 $00402000", "mem 4 [$00402000]"}},
      {"64 A1 18 00 00 00", {"disp 401002 18 $00000018", "mem 4 fs:[$00000018]"}},
      {"8A 45 F8", {"mem 1 [ebp-$08]"}},
      {"68 00 30 40 00", {"imm 401001 4 $00403000 unsigned"}},
      {"83 C0 FF", {"imm 401002 1 -$01 signed"}},
      {"C7 45 FC 01 00 00 00", {"mem 4 [ebp-$04]", "imm 401003 4 $00000001 unsigned"}},
      {"8B 84 88 00 01 00 00", {"disp 401003 100 $00000100", "mem 4 [eax+ecx*4+$00000100]"}},
      {"9A 11 22 33 44 55 66", {"disp 401001 44332211 $44332211"}},
      {"0F 04", {}},
  };
  for (const auto& c : cases) {
    Run(c.bytes);
    EXPECT_EQ(recorder.calls, c.calls) << c.bytes;
  }
}

TEST_F(DisAsmCallbacks, MemoryOperandDescription) {
  Run("26 8B 84 88 00 01 00 00");
  EXPECT_EQ(recorder.memory.Base, 0);
  EXPECT_EQ(recorder.memory.Index, 1);
  EXPECT_EQ(recorder.memory.Scale, 4);
  EXPECT_TRUE(recorder.memory.HasDisplacement);
  EXPECT_EQ(recorder.memory.Displacement, 0x100u);
  EXPECT_EQ(recorder.memory.Segment, "es");
  EXPECT_EQ(recorder.memory.AddressSize, 4);
  Run("8B 45 F8");
  EXPECT_EQ(recorder.memory.Base, 5);
  EXPECT_EQ(recorder.memory.Index, -1);
  EXPECT_EQ(recorder.memory.Displacement, 0xFFFFFFF8u);
  Run("0F B7 04 25 00 10 00 00");
  EXPECT_EQ(recorder.memory.Base, -1);
  EXPECT_EQ(recorder.memory.Index, -1);
  EXPECT_EQ(recorder.memory_size, 2);
  Run("67 8B 42 10");  // [bp+si+$10]
  EXPECT_EQ(recorder.memory.Base, 5);
  EXPECT_EQ(recorder.memory.Index, 6);
  EXPECT_EQ(recorder.memory.AddressSize, 2);
}

TEST_F(DisAsmCallbacks, AnswersReplaceTheOperandVerbatim) {
  // Text with the decoder's own escape characters is shown as given.
  recorder.answer = "Unit.Proc #Ev @eax %s %c ^";
  EXPECT_EQ(Run("E8 00 00 00 00").text, "call    Unit.Proc #Ev @eax %s %c ^");
  EXPECT_EQ(Run("EB 00").text, "jmp     Unit.Proc #Ev @eax %s %c ^");
  EXPECT_EQ(Run("68 00 30 40 00").text, "push    Unit.Proc #Ev @eax %s %c ^");
  // The memory callback's answer keeps the size word; the displacement's answer sits inside.
  EXPECT_EQ(Run("8A 45 F8").text, "mov     al, byte ptr Unit.Proc #Ev @eax %s %c ^");
  disasm.OnMemory = nullptr;
  recorder.answer = "Table";
  EXPECT_EQ(Run("8B 04 85 00 20 40 00").text, "mov     eax, [Table+eax*4]");
  // Long answers survive whole.
  recorder.answer = std::string(600, 'x') + "^#";
  EXPECT_EQ(Run("68 00 30 40 00").text, "push    " + recorder.answer);
  // An empty answer empties the operand.
  disasm.OnDisplacement = nullptr;
  disasm.OnImmediate = [](void*, std::uint32_t, int, std::string& text, bool) { text.clear(); };
  EXPECT_EQ(Run("05 01 00 00 00").text, "add     eax,");
}

TEST_F(DisAsmCallbacks, UnchangedTextKeepsTheDecodersOwn) {
  recorder.answer.clear();
  EXPECT_EQ(Run("FF 15 00 20 40 00").text, "call    dword ptr [$00402000]");
  EXPECT_EQ(Run("26 8B 00").text, "mov     eax, es:[eax]");
}

}  // namespace
