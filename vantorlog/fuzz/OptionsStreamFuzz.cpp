// libFuzzer target of the options-stream reader: the first two bytes choose the stream
// version (400-6015), the rest is the block. A read either succeeds or raises EReadError and
// leaves the options as they were.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Streams.h"
#include "VOptions.h"
#include "VOptionsStream.h"

namespace {

std::string BytesOf(const TVantorModuleOptions& o) {
  TMemoryStream s;
  o.WriteToStream(s);
  return std::string(reinterpret_cast<const char*>(s.Memory()), static_cast<std::size_t>(s.Size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned raw = data[0] | (data[1] << 8);
  VCore::SetStreamVersion(static_cast<std::uint16_t>(400 + raw % (6015 - 400 + 1)));
  auto options = TVantorModuleOptions::Create("");
  const std::string before = BytesOf(*options);
  TMemoryStream stream;
  if (size > 2) stream.WriteBuffer(data + 2, static_cast<std::int32_t>(size - 2));
  stream.SetPosition(0);
  try {
    options->ReadFromStream(stream);
  } catch (const EReadError&) {
    if (BytesOf(*options) != before) std::abort();  // a failed read must change nothing
  }
  if (options->FMaxSavedReports < 1 || options->FUpdateCount != 0) std::abort();
  // Whatever was read writes and reads back at the current version.
  const std::string written = BytesOf(*options);
  auto again = TVantorModuleOptions::Create("");
  TMemoryStream copy;
  copy.WriteBuffer(written.data(), static_cast<std::int32_t>(written.size()));
  copy.SetPosition(0);
  VCore::SetStreamVersion(VCore::kCurrentStreamVersion);
  again->ReadFromStream(copy);
  if (BytesOf(*again) != written) std::abort();
  return 0;
}
