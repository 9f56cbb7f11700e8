// libFuzzer target of the binary debug readers: the first byte chooses the reader ('J' the JCL
// binary format, anything else TD32), the rest is the data block. A malformed TD32 directory
// may raise EAssertionFailed; nothing may read outside the block.
#include <cstdint>
#include <cstring>
#include <vector>

#include "VDebug.h"

namespace {

std::vector<std::uint32_t> OffsetsOf(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint32_t> offsets = {0, 1, 0xFF, 0x100, 0x400, 0x600, 0xA00, 0xFFFFFFFF};
  for (std::size_t i = 0; i + 4 <= size && i < 16; i += 4) {
    std::uint32_t v;
    std::memcpy(&v, data + size - 4 - i, 4);
    offsets.push_back(v);
  }
  return offsets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::vector<std::uint8_t> block(data + 1, data + size);
  const auto offsets = OffsetsOf(block.data(), block.size());
  std::uint32_t d;
  if (data[0] == 'J') {
    TVLBinDebugScanner scanner(block.data(), block.size(), true);
    for (std::uint32_t off : offsets) {
      scanner.UnitStartAt(off);
      scanner.UnitNameAt(off);
      scanner.SourceFileAt(off);
      scanner.ProcedureNameAt(off, d);
      scanner.LineNumberAt(off, d);
    }
    return 0;
  }
  try {
    TVLTD32InfoScanner scanner(block.data(), block.size());
    std::string text;
    for (std::uint32_t off : offsets) {
      scanner.UnitNameAt(off);
      scanner.SourceFileAt(off, text);
      scanner.ProcedureNameAt(off, d);
      scanner.LineNumberAt(off, d);
    }
  } catch (const EAssertionFailed&) {
  }
  return 0;
}
