#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "VHook.h"

namespace {

std::vector<std::uint8_t> Bytes(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Each text is exactly one instruction; i686 objdump decodes it to all its bytes.
TEST(InstructionLengthTest, WholeInstructionsAsObjdumpDecodesThem) {
  const char* cases[] = {
      "55",                  // push ebp
      "8bec",                // mov ebp, esp
      "83ec10",              // sub esp, imm8
      "81ec00010000",        // sub esp, imm32
      "8b45f8",              // [ebp-8]
      "8b0424",              // SIB, no displacement
      "8b442408",            // SIB + disp8
      "8b842400010000",      // SIB + disp32
      "8b0425efbeadde",      // SIB with base 5, mod 0: disp32
      "8b04adefbeadde",      // scaled index, no base
      "8b0d78563412",        // mod 0, r/m 5: absolute
      "c745fc00000000",      // mov dword [ebp-4], imm32
      "c6450001",            // mov byte [ebp+0], imm8
      "66c745fc3412",        // 66: imm16
      "66b83412",            // 66: mov ax, imm16
      "b878563412",          // mov eax, imm32
      "6a01",                // push imm8
      "6878563412",          // push imm32
      "e800000000",          // call rel32
      "e9fcffffff",          // jmp rel32
      "ebfe",                // jmp rel8
      "7405",                // je rel8
      "0f8400010000",        // je rel32
      "0f1f440000",          // hint nop with SIB + disp8 (compiler padding)
      "660f1f840000000000",  // the long form
      "0fb645f8",            // movzx
      "0fa4c104",            // shld imm8
      "0fbae003",            // bt imm8
      "c20800",              // ret imm16
      "c3",                  // ret
      "cd03",                // int imm8
      "c8100000",            // enter
      "9a785634120800",      // far call ptr16:32
      "a178563412",          // mov eax, moffs32
      "66a178563412",        // 66 leaves the address size: moffs32
      "f6c101",              // test r/m8, imm8 (reg 0)
      "f6d1",                // not (reg 2): no immediate
      "f7c178563412",        // test r/m32, imm32
      "f7d1",                // not
      "66f7c13412",          // test r/m16, imm16
      "69c078563412",        // imul imm32
      "6bc00a",              // imul imm8
      "c1e002",              // shl imm8
      "f3a5",                // rep movsd
      "26ff15efbeadde",      // segment prefix, call [abs]
      "678b4600",            // 16-bit addressing, disp8
      "67c7460012345678",    // 16-bit addressing, imm32
      "0f31",                // rdtsc
      "d9ee",                // fldz
      "dd1c24",              // fstp qword [esp]
  };
  for (const char* hex : cases) {
    const auto code = Bytes(hex);
    int length = 0;
    EXPECT_TRUE(VHook::InstructionLengthOf(code.data(), code.size(), &length)) << hex;
    EXPECT_EQ(length, static_cast<int>(code.size())) << hex;
    // Bytes after the instruction do not change its length.
    auto padded = code;
    padded.insert(padded.end(), 16, 0x90);
    EXPECT_TRUE(VHook::InstructionLengthOf(padded.data(), padded.size(), &length)) << hex;
    EXPECT_EQ(length, static_cast<int>(code.size())) << hex;
  }
}

TEST(InstructionLengthTest, UndefinedAndCutInstructionsGiveFalseAndOne) {
  const char* cases[] = {
      "0f0b90",  // two-byte map code 15
      "0f3890",  // three-byte escape: not in the maps
      "0fff90",
      "",        // nothing
      "66",      // prefix only
      "8b",      // ModRM missing
      "8b04",    // SIB missing
      "e80000",  // immediate cut
      "0f",      // second opcode byte missing
  };
  for (const char* hex : cases) {
    const auto code = Bytes(hex);
    int length = 0;
    EXPECT_FALSE(VHook::InstructionLengthOf(code.data(), code.size(), &length)) << hex;
    EXPECT_EQ(length, 1) << hex;
  }
}

TEST(InstructionLengthTest, NeverLooksPastTheBytesItIsGiven) {
  // Under the sanitizers an overread of the exact-size buffers fails the run.
  std::mt19937 random(12345);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> code(1 + random() % 20);
    for (auto& b : code) b = static_cast<std::uint8_t>(random());
    int length = 0;
    if (VHook::InstructionLengthOf(code.data(), code.size(), &length)) {
      EXPECT_GE(length, 1);
      EXPECT_LE(length, static_cast<int>(code.size()));
    } else {
      EXPECT_EQ(length, 1);
    }
    const int procedure = VHook::ProcedureLengthOf(code.data(), code.size(), 64);
    EXPECT_GE(procedure, 1);
    EXPECT_LE(procedure, static_cast<int>(code.size()));
  }
}

TEST(ProcedureLengthTest, EndsWithTheFirstReturn) {
  struct Case {
    const char* hex;
    int maximum;
    int expected;
  };
  const Case cases[] = {
      // push ebp; mov ebp, esp; mov dword [ebp-4], 0; leave; ret: C7 and C9 do not end it.
      {"558becc745fc00000000c9c3cccc", 64, 12},
      {"558bec5dc20800cc", 64, 7},  // ret imm16
      {"0fc8c3", 64, 3},            // bswap is no return
      {"66c3", 64, 2},              // a prefix belongs to the return
      {"cb", 64, 1},                // far return
      {"0f0490c3", 64, 4},          // undefined 0F 04 counts one byte, then add al, 90h
      {"9090909090c3", 5, 1},       // the return lies past the maximum
      {"9090909090c3", 6, 6},
      {"909090", 64, 1},  // runs out of code
      {"c3", 0, 1},
  };
  for (const Case& c : cases) {
    const auto code = Bytes(c.hex);
    EXPECT_EQ(VHook::ProcedureLengthOf(code.data(), code.size(), c.maximum), c.expected) << c.hex;
  }
}

TEST(ProcedureLengthTest, ReadsOwnMemoryThroughTheProbes) {
  const auto code = Bytes("558bec5dc3");
  int length = 0;
  EXPECT_TRUE(VHook::InstructionLength(code.data() + 1, &length));
  EXPECT_EQ(length, 2);
  EXPECT_EQ(VHook::ProcedureLength(code.data(), 5), 5);
  EXPECT_FALSE(VHook::InstructionLength(nullptr, &length));
  EXPECT_EQ(length, 1);
  EXPECT_EQ(VHook::ProcedureLength(nullptr, 64), 1);
}

TEST(ProcedureLengthTest, ReturnsFarIntoTheCodeAndAcrossPiecesAreFound) {
  const struct {
    const char* name;
    std::size_t nops;  // 0x90 bytes before the tail
    const char* tail;
    int expected;
  } cases[] = {
      {"ret past the first pages", 20000, "c3", 20001},
      {"ret imm16 across a page end", 4095, "c20400", 4098},
      // mov eax, imm32 whose immediate holds C3 bytes, across a page end, then the ret
      {"return bytes inside an immediate", 4093, "b8c3c3c3c3c3", 4099},
      {"no return within the maximum", 9000, "", 1},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> code(c.nops, 0x90);
    const auto tail = Bytes(c.tail);
    code.insert(code.end(), tail.begin(), tail.end());
    EXPECT_EQ(VHook::ProcedureLength(code.data(), static_cast<int>(code.size())), c.expected)
        << c.name;
  }
}

}  // namespace
