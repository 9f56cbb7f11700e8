// Disassembles a binary file at given offsets for the comparison with objdump.
// Usage: disasm_dump <code file> <offsets file>; the offsets file holds one decimal offset a
// line. Prints "offset<TAB>length<TAB>text" for each, the code standing at address 0x1000.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "VDisAsm.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: disasm_dump <code file> <offsets file>\n");
    return 2;
  }
  std::ifstream code_file(argv[1], std::ios::binary);
  std::ifstream offsets(argv[2]);
  if (!code_file || !offsets) {
    std::fprintf(stderr, "cannot open the input files\n");
    return 2;
  }
  const std::vector<char> code((std::istreambuf_iterator<char>(code_file)),
                               std::istreambuf_iterator<char>());
  constexpr std::uint32_t kBase = 0x1000;
  const TBufferCodeReader reader(code.data(), code.size(), kBase);
  TDisAsm disasm;
  disasm.Code = &reader;
  std::string out;
  for (unsigned long offset; offsets >> offset;) {
    int length = 0;
    std::string text;
    VDisAsm::DisassembleOne(disasm, kBase + static_cast<std::uint32_t>(offset), length, text);
    out += std::to_string(offset) + "\t" + std::to_string(length) + "\t" + text + "\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
