// libFuzzer target of the disassembler: the input is code, decoded at every offset from an
// exactly sized copy (so a read past its end is caught), with every callback answering text
// that holds the decoder's escape characters. A length is 1 to 15 and never past the end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "VDisAsm.h"

namespace {

void Target(void* user, std::uint32_t, std::uint32_t, std::string& text) {
  if (*static_cast<int*>(user) & 1) text = "#Ev@eax%s^";
}
void Displacement(void* user, std::uint32_t, std::uint32_t, std::string& text) {
  if (*static_cast<int*>(user) & 2) text += "%c";
}
void Memory(void* user, const TDisAsmMemory& operand, int size, std::string& text) {
  if (operand.Scale != 1 && operand.Scale != 2 && operand.Scale != 4 && operand.Scale != 8)
    std::abort();
  if (size < 0 || size > 10) std::abort();
  if (*static_cast<int*>(user) & 4) text = std::string(300, '^');
}
void Immediate(void* user, std::uint32_t, int size, std::string& text, bool) {
  if (size < 0 || size > 8) std::abort();
  if (*static_cast<int*>(user) & 8) text.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  int mode = data[0];
  const std::size_t code_size = size - 1;
  auto code = std::make_unique<std::uint8_t[]>(code_size ? code_size : 1);
  if (code_size) std::memcpy(code.get(), data + 1, code_size);
  constexpr std::uint32_t kBase = 0xFFFFFFF0u;  // near the top: addresses wrap
  const TBufferCodeReader reader(code.get(), code_size, kBase);
  TDisAsm disasm;
  disasm.Code = &reader;
  disasm.OnJump = Target;
  disasm.OnCall = Target;
  disasm.OnDisplacement = Displacement;
  disasm.OnMemory = Memory;
  disasm.OnImmediate = Immediate;
  disasm.UserValue = &mode;
  for (std::size_t at = 0; at < code_size; ++at) {
    int length = 0;
    std::string text;
    VDisAsm::DisassembleOne(disasm, kBase + static_cast<std::uint32_t>(at), length, text);
    if (length < 1 || length > 15 || static_cast<std::size_t>(length) > code_size - at)
      std::abort();
    if (text.empty()) std::abort();
  }
  return 0;
}
