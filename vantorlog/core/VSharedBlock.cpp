#include "VSharedBlock.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "Streams.h"
#include "VClassModel.h"
#include "VOptions.h"
#include "VOptionsStream.h"

namespace VCore {
namespace {

std::mutex g_published_lock;
HANDLE g_published = nullptr;
std::uint8_t* g_published_data = nullptr;

// Bytes of the view from its base: the committed region as the system reports it.
std::size_t ViewSize(const void* view) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(view, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT) return 0;
  return static_cast<const std::uint8_t*>(info.BaseAddress) + info.RegionSize -
         static_cast<const std::uint8_t*>(view);
}

HANDLE CreateMapping(const std::string& name, std::uint32_t total) {
  return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, total, name.c_str());
}

}  // namespace

std::string SharedBlockName(DWORD process_id, HMODULE module) {
  char name[24];
  std::snprintf(name, sizeof name, "%08X%08X", static_cast<unsigned>(process_id),
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(module)));
  return name;
}

HANDLE OpenSharedBlock(HMODULE module, std::uint32_t size, std::uint8_t** data,
                       std::uint32_t* data_size) {
  *data = nullptr;
  if (data_size) *data_size = 0;
  if (size > 0x7FFFFFF0u) return nullptr;
  const std::string name = SharedBlockName(GetCurrentProcessId(), module);
  std::uint32_t total = size + 4;
  HANDLE mapping = CreateMapping(name, total);
  if (!mapping) return nullptr;
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (!existed && size == 0) {
    CloseHandle(mapping);
    return nullptr;
  }
  if (existed) {
    // The stored size word tells the block's real size; it is trusted only as far as the view
    // the system maps really reaches.
    auto* view = static_cast<std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view) {
      CloseHandle(mapping);
      return nullptr;
    }
    std::uint32_t stored = 0;
    const std::size_t available = ViewSize(view);
    if (available >= 4) std::memcpy(&stored, view, 4);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    if (stored < 4 || stored > available) return nullptr;
    total = stored;
    mapping = CreateMapping(name, total);
    if (!mapping) return nullptr;
  }
  auto* view = static_cast<std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (!view || ViewSize(view) < total) {
    if (view) UnmapViewOfFile(view);
    CloseHandle(mapping);
    return nullptr;
  }
  std::memcpy(view, &total, 4);
  *data = view + 4;
  if (data_size) *data_size = total - 4;
  return mapping;
}

void CloseSharedBlock(HANDLE& mapping, std::uint8_t*& data) {
  if (!mapping) return;
  if (data) UnmapViewOfFile(data - 4);
  CloseHandle(mapping);
  mapping = nullptr;
  data = nullptr;
}

bool PublishToSharedBlock(const TVantorModuleOptions& options) {
  if (!IsValidObject(&options) || options.FModuleInstance == 0) return false;
  TMemoryStream stream;
  const std::uint8_t present = 1;
  stream.WriteBuffer(&present, 1);
  options.WriteToStream(stream);
  std::lock_guard<std::mutex> guard(g_published_lock);
  CloseSharedBlock(g_published, g_published_data);
  std::uint32_t size = 0;
  g_published =
      OpenSharedBlock(reinterpret_cast<HMODULE>(options.FModuleInstance),
                      static_cast<std::uint32_t>(stream.Size()), &g_published_data, &size);
  if (!g_published) return false;
  if (size < stream.Size()) {
    CloseSharedBlock(g_published, g_published_data);
    return false;
  }
  std::memcpy(g_published_data, stream.Memory(), static_cast<std::size_t>(stream.Size()));
  return true;
}

bool ReloadFromSharedBlock(TVantorModuleOptions& options) {
  if (!IsValidObject(&options) || options.FModuleInstance == 0) return false;
  std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  HANDLE mapping =
      OpenSharedBlock(reinterpret_cast<HMODULE>(options.FModuleInstance), 0, &data, &size);
  if (!mapping) return false;
  bool loaded = false;
  if (size >= 1 && data[0] != 0) {
    TMemoryStream stream;
    stream.WriteBuffer(data + 1, static_cast<std::int32_t>(size - 1));
    stream.SetPosition(0);
    const std::uint16_t saved = StreamVersion();
    SetStreamVersion(kCurrentStreamVersion);
    try {
      options.ReadFromStream(stream);
      loaded = true;
    } catch (const Exception&) {
      loaded = false;  // a broken block leaves the options as they were
    }
    SetStreamVersion(saved);
  }
  CloseSharedBlock(mapping, data);
  return loaded;
}

void ReleasePublishedBlock() {
  std::lock_guard<std::mutex> guard(g_published_lock);
  CloseSharedBlock(g_published, g_published_data);
}

}  // namespace VCore
