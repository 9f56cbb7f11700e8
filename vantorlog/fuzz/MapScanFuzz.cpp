// libFuzzer target of the map-file scanner: the input is the map text. Every lookup at a set of
// offsets (fixed ones and the words at the input's end) must stay inside the text.
#include <cstdint>
#include <cstring>
#include <vector>

#include "VDebug.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact copy, so that the sanitizer sees any read past the text.
  std::vector<std::uint8_t> text(data, data + size);
  TVLMapScanner scanner(text.data(), text.size());
  std::vector<std::uint32_t> offsets = {0, 1, 0xFF, 0x100, 0x400, 0x600, 0xA00, 0xFFFFFFFF};
  for (std::size_t i = 0; i + 4 <= size && i < 16; i += 4) {
    std::uint32_t v;
    std::memcpy(&v, data + size - 4 - i, 4);
    offsets.push_back(v);
  }
  for (std::uint32_t off : offsets) {
    std::uint32_t d;
    scanner.SegmentStartAt(off);
    scanner.UnitNameAt(off);
    scanner.ProcedureNameAt(off, d);
    scanner.LineNumberAt(off, d);
    scanner.SourceFileAt(off);
  }
  return 0;
}
