#include "VLDataWin.h"

#include <windows.h>

#include <cstring>
#include <mutex>

#include "ExceptionLog.h"
#include "VCore.h"
#include "VMemory.h"
#include "VOptionsStream.h"

namespace VLData {
namespace {

std::mutex g_own_request_lock;
std::function<void(std::string&)> g_own_request;

// A function of a module looked up by name.
template <class F>
F ProcOf(HMODULE module, const char* name) {
  return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                : nullptr;
}

HMODULE AsModule(VCore::TModuleHandle module) { return reinterpret_cast<HMODULE>(module); }

bool FindBlock(VCore::TModuleHandle module, const void** data, std::size_t* size) {
  if (module == 0) return false;
  HRSRC found = FindResourceA(AsModule(module), kResourceName, MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (!found) return false;
  const DWORD length = SizeofResource(AsModule(module), found);
  HGLOBAL loaded = LoadResource(AsModule(module), found);
  const void* locked = loaded ? LockResource(loaded) : nullptr;
  if (!locked || length < 4) return false;
  std::uint32_t magic;
  std::memcpy(&magic, locked, 4);
  if (!IsMagic(magic)) return false;
  *data = locked;
  *size = length;
  return true;
}

TPasswordRequest RequestFor(VCore::TModuleHandle owner) {
  TPasswordRequest request;
  request.OwnerIsThisModule = owner == VCore::ThisModuleHandle();
  // The owner's exports, unless it is this module or carries an incompatible library.
  HMODULE module = AsModule(owner);
  if (ExceptionLog::FindModuleEventExport(module, "VantorLog_PasswordRequestEventEx") ||
      ExceptionLog::FindModuleEventExport(module, "VantorLog_PasswordRequestEvent"))
    request.OwnerExport = [module](std::string& p) {
      ExceptionLog::RequestModulePassword(module, p);
    };
  std::lock_guard<std::mutex> lock(g_own_request_lock);
  request.OwnHandlers = g_own_request ? g_own_request : ExceptionLog::RunOwnPasswordReceivers;
  return request;
}

}  // namespace

void SetOwnPasswordRequest(std::function<void(std::string& password)> receivers) {
  std::lock_guard<std::mutex> lock(g_own_request_lock);
  g_own_request = std::move(receivers);
}

bool HasVLDataResource(VCore::TModuleHandle module) {
  const void* data;
  std::size_t size;
  return FindBlock(module, &data, &size);
}

bool HasAppendedDebugData(VCore::TModuleHandle module) {
  const std::string file = VCore::ModuleFileNameOf(AsModule(module));
  if (file.empty() || !FileExists(file)) return false;
  try {
    TFileStream stream(file, fmOpenRead | fmShareDenyNone);
    const std::int64_t size = stream.Size();
    if (size < 4) return false;
    std::uint32_t magic = 0;
    stream.SetPosition(size - 4);
    stream.ReadBuffer(&magic, 4);
    return IsMagic(magic);
  } catch (...) {
    return false;
  }
}

bool HasDebugData(VCore::TModuleHandle module) {
  return HasVLDataResource(module) || HasAppendedDebugData(module);
}

std::uint16_t DebugDataVersion(VCore::TModuleHandle module) {
  const void* data;
  std::size_t size;
  if (FindBlock(module, &data, &size)) return ResourceBlockVersion(data, size);
  const std::string file = VCore::ModuleFileNameOf(AsModule(module));
  if (file.empty() || !FileExists(file)) return 0;
  try {
    TFileStream stream(file, fmOpenRead | fmShareDenyNone);
    return AppendedBlockVersion(stream);
  } catch (...) {
    return 0;
  }
}

bool DebugDataIsUsable(VCore::TModuleHandle module) {
  return HasDebugData(module) && DebugDataVersion(module) >= VCore::kCurrentStreamVersion;
}

bool LoadVLDataResource(TVantorModuleInfo& info) {
  const void* data;
  std::size_t size;
  if (!FindBlock(info.Handle, &data, &size)) return false;
  // The resource lies in the module's image, which another thread may unload.
  if (!VCore::IsMemoryReadable(data, size)) return false;
  return ReadResourceBlock(data, size, info, RequestFor(info.Handle));
}

bool LoadAppendedDebugData(TVantorModuleInfo& info) {
  const std::string file =
      info.FileName.empty() ? VCore::ModuleFileNameOf(AsModule(info.Handle)) : info.FileName;
  if (file.empty() || !FileExists(file)) return false;
  try {
    TFileStream stream(file, fmOpenRead | fmShareDenyNone);
    return ReadAppendedBlock(stream, info);
  } catch (...) {
    return false;
  }
}

bool LoadDebugDataOfModule(TVantorModuleInfo& info) {
  const bool loaded =
      HasVLDataResource(info.Handle) ? LoadVLDataResource(info) : LoadAppendedDebugData(info);
  if (loaded && info.Handle != VCore::ThisModuleHandle() && info.Options)
    info.Options->SyncShared();
  return loaded;
}

const void* FindVLDataSymbol(std::uint8_t id) {
  const VCore::TModuleHandle own = VCore::ThisModuleHandle();
  const void* data;
  std::size_t size;
  if (!FindBlock(own, &data, &size)) return nullptr;
  const auto offset = FindDirectorySymbol(data, size, id);
  if (!offset) return nullptr;
  return reinterpret_cast<const void*>(own + kCodeStart + *offset);
}

bool LookupAddressInDebugData(const void* address, TAddressLocation& location) {
  TVantorModuleInfo* info = VCore::ModuleInfoOfAddress(address);
  if (!info || !info->DebugInfo) return false;
  location.ModuleInfo = info;
  return LookupInDebugInfo(*info, reinterpret_cast<std::uintptr_t>(address), location,
                           [](std::uintptr_t code, void* buffer, std::size_t size) {
                             return VCore::SafeRead(reinterpret_cast<const void*>(code), buffer,
                                                    size);
                           });
}

}  // namespace VLData
