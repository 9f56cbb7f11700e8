#include "VSystem.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace VCore {

#ifdef _WIN32

TModuleHandle ModuleHandleOf(const std::string& file_name) {
  if (file_name.empty()) return 0;
  return reinterpret_cast<TModuleHandle>(GetModuleHandleA(file_name.c_str()));
}

TModuleHandle ThisModuleHandle() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModuleHandle), &module);
  return reinterpret_cast<TModuleHandle>(module);
}

std::string ProgramFileName() {
  char buffer[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, n);
}

std::uint32_t OwnProcessID() { return GetCurrentProcessId(); }

std::string ComputerNameText() {
  char buffer[16];
  DWORD size = sizeof buffer;
  if (!GetComputerNameA(buffer, &size)) return {};
  return std::string(buffer, size);
}

std::string GetEnvVar(const std::string& name) {
  std::string value(1024, '\0');
  DWORD n = GetEnvironmentVariableA(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
  if (n >= value.size()) {
    value.resize(n);
    n = GetEnvironmentVariableA(name.c_str(), value.data(), n);
    if (n >= value.size()) return {};
  }
  value.resize(n);
  return value;
}

bool SetEnvVar(const std::string& name, const std::string& value) {
  return SetEnvironmentVariableA(name.c_str(), value.c_str()) != 0;
}

#else

// The main program is module 1; shared objects are their dlopen handles.
TModuleHandle ModuleHandleOf(const std::string& file_name) {
  if (file_name.empty()) return 0;
  if (file_name == ProgramFileName()) return 1;
  void* handle = dlopen(file_name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (!handle) return 0;
  dlclose(handle);
  return reinterpret_cast<TModuleHandle>(handle);
}

TModuleHandle ThisModuleHandle() { return 1; }

std::string ProgramFileName() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::uint32_t OwnProcessID() { return static_cast<std::uint32_t>(getpid()); }

std::string ComputerNameText() {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0) return {};
  return buffer;
}

std::string GetEnvVar(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}

bool SetEnvVar(const std::string& name, const std::string& value) {
  return setenv(name.c_str(), value.c_str(), 1) == 0;
}

#endif

}  // namespace VCore
