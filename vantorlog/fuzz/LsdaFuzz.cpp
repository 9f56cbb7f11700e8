// libFuzzer target of the LSDA reader: the input's first byte picks the pointer size and the
// thrown type, the next four the call's offset, the rest is the table, read from an exactly
// sized copy so that a read past its end is caught. Indirect entries load from the input too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "VLsda.h"

namespace {

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::uint64_t address;
  std::uint64_t thrown;
};

bool Load(void* user, std::uint64_t address, std::uint64_t* value) {
  const auto* in = static_cast<Input*>(user);
  if (address < in->address || address - in->address + 4 > in->size) return false;
  std::uint32_t word;
  std::memcpy(&word, in->data + (address - in->address), 4);
  *value = word;
  return true;
}

bool Match(void* user, std::uint64_t type) { return static_cast<Input*>(user)->thrown == type; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const int pointer_size = (data[0] & 1) ? 8 : 4;
  std::uint32_t ip = 0;
  std::memcpy(&ip, data + 1, 4);
  const std::size_t n = size - 5;
  std::unique_ptr<std::uint8_t[]> table(new std::uint8_t[n ? n : 1]);
  if (n) std::memcpy(table.get(), data + 5, n);
  Input in{table.get(), n, 0x10000000, static_cast<std::uint64_t>(data[0] >> 1) * 0x100};
  VLsda::TSearch search;
  search.pointer_size = pointer_size;
  search.bases = {0x400000, 0x500000, 0};
  search.load = Load;
  search.match = Match;
  search.user = &in;
  const VLsda::TSpan span{table.get(), n, in.address};
  const VLsda::TFrameResult r =
      VLsda::SearchFrame(span, 0x402000, 0x402000 + (ip & 0xFFFF), search);
  if (r.outcome == VLsda::TFrameOutcome::kTyped && r.type_info != in.thrown) std::abort();
  if (r.outcome == VLsda::TFrameOutcome::kNone && r.landing_pad != 0) std::abort();
  return 0;
}
