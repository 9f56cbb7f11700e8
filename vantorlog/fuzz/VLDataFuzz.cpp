// libFuzzer target of the debug-data reader. First byte even: the input behind it is a whole
// resource block. Odd: the second byte picks the version and the third the password state of
// a debug-info stream (the rest), which is then searched for a spread of addresses. Nothing
// may read outside the input or raise.
#include <cstdint>
#include <cstring>
#include <memory>

#include "ExceptionLog.h"
#include "Streams.h"
#include "VLData.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  static const std::uint16_t kVersions[] = {400, 404, 420, 422,  449,  450,  499,
                                            500, 501, 502, 5999, 6000, 6002, 6015};
  TVantorModuleInfo info;
  info.Handle = 0x400000;
  info.Options = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
  if ((data[0] & 1) == 0) {
    VLData::TPasswordRequest request;
    request.OwnHandlers = [](std::string& password) { password = "secret"; };
    VLData::ReadResourceBlock(data + 1, size - 1, info, request);
    TMemoryStream file;
    file.WriteBuffer(data + 1, static_cast<std::int32_t>(size - 1));
    TVantorModuleInfo appended;
    appended.Options = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
    VLData::ReadAppendedBlock(file, appended);
    if (!info.DebugInfo) return 0;
  } else {
    info.DebugDataVersion = kVersions[data[1] % (sizeof kVersions / sizeof kVersions[0])];
    info.PasswordKnown = data[2] & 1;
    info.DebugInfo = std::make_unique<TMemoryStream>();
    if (size > 3) info.DebugInfo->WriteBuffer(data + 3, static_cast<std::int32_t>(size - 3));
  }
  const VLData::TCodeReader code = [](std::uintptr_t, void* buffer, std::size_t n) {
    std::memset(buffer, 0x55, n);
    return true;
  };
  for (std::uintptr_t offset = 0; offset < 0x48000; offset += offset < 8 ? 1 : 0x4000) {
    TAddressLocation location;
    VLData::LookupInDebugInfo(info, info.Handle + VLData::kCodeStart + offset, location, code);
  }
  return 0;
}
