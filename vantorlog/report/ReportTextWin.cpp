// The Win32 side of the report text: the facts of the running process.
#include <windows.h>
// Order matters: the adapter types need the Windows types first.
#include <iphlpapi.h>
#include <winspool.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ExceptionLog.h"
#include "ReportText.h"
#include "SysUtils.h"
#include "VCharset.h"
#include "VClassModel.h"
#include "VCore.h"
#include "VMemory.h"
#include "VThreads.h"
#include "VUnitVariable.h"

namespace ExceptionLog {
namespace {

std::string LocalTimeText(const FILETIME& utc) {
  FILETIME local;
  SYSTEMTIME time;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &time)) return {};
  return Rfc822DateText(time);
}

std::uint64_t Ticks(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

std::string Folded(const char* text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return out;
}

bool IsConsoleProgram() {
  const auto* base = reinterpret_cast<const std::uint8_t*>(GetModuleHandleA(nullptr));
  IMAGE_DOS_HEADER dos;
  IMAGE_NT_HEADERS32 nt;
  if (!base || !VCore::SafeRead(base, &dos, sizeof dos) ||
      !VCore::SafeRead(base + dos.e_lfanew, &nt, sizeof nt))
    return false;
  return nt.OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

std::string CompanyText() {
  std::string text =
      VCore::RegReadValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION",
                          "RegisteredOrganization");
  if (text.empty())
    text = VCore::RegReadValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION",
                               "RegisteredOrganization");
  if (text.empty())
    text = VCore::RegReadValue(HKEY_LOCAL_MACHINE,
                               "SOFTWARE\\MICROSOFT\\MS SETUP (ACME)\\USER INFO", "DefCompany");
  if (VCore::IsVistaOrLater() && text == "Microsoft") text.clear();
  return text;
}

std::string PrivilegesText() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  std::string out;
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<std::uint8_t> buffer(size);
  if (size && GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    const auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
      LUID luid = list->Privileges[i].Luid;
      char name[256];
      DWORD length = sizeof name;
      if (!LookupPrivilegeNameA(nullptr, &luid, name, &length)) continue;
      std::string line = name;
      if (line.size() < 31) line.resize(31, ' ');
      out += line + ((list->Privileges[i].Attributes & 2) ? " - ON" : " - OFF") + "\r\n";
    }
  }
  CloseHandle(token);
  return out;
}

std::string ProcessorText() {
  const char* key = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
  std::string text =
      VCore::Trim(VCore::RegReadValue(HKEY_LOCAL_MACHINE, key, "ProcessorNameString"));
  if (text.empty()) {
    text = VCore::Trim(VCore::RegReadValue(HKEY_LOCAL_MACHINE, key, "VendorIdentifier"));
    const std::string id = VCore::Trim(VCore::RegReadValue(HKEY_LOCAL_MACHINE, key, "Identifier"));
    if (!text.empty() && !id.empty()) text += " - " + id;
  }
  return text.empty() ? "Unknown processor" : text;
}

// The product version of a file's fixed version information, "a.b.c.d"; empty when none.
std::string ProductVersionOf(const std::string& file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (!size) return {};
  std::vector<char> data(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoA(file.c_str(), 0, size, data.data()) ||
      !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
      length < sizeof *fixed)
    return {};
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(fixed->dwProductVersionMS),
                LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
                LOWORD(fixed->dwProductVersionLS));
  return text;
}

// A value of 4 bytes (a DWORD or the first bytes of a binary value); 0 when absent.
std::uint32_t RegReadNumber(HKEY root, const std::string& key, const char* name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return 0;
  BYTE data[16] = {};
  DWORD size = sizeof data;
  std::uint32_t value = 0;
  if (RegQueryValueExA(handle, name, nullptr, nullptr, data, &size) == ERROR_SUCCESS && size >= 4)
    std::memcpy(&value, data, 4);
  RegCloseKey(handle);
  return value;
}

std::string FirstSubKey(HKEY root, const std::string& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return {};
  char name[256];
  DWORD length = sizeof name;
  const bool found =
      RegEnumKeyExA(handle, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(handle);
  return found ? std::string(name, length) : std::string();
}

// The part of a registry object name from "\SYSTEM" on, as a key under HKEY_LOCAL_MACHINE.
std::string MachineKeyOf(const std::string& object_name) {
  const std::size_t at = VCore::LowerCase(object_name).find("\\system\\");
  return at == std::string::npos ? std::string() : object_name.substr(at + 1);
}

// 5.10: the first display device with its driver version and memory.
std::string VideoCardText() {
  using TEnum = BOOL(WINAPI*)(LPCSTR, DWORD, PDISPLAY_DEVICEA, DWORD);
  const auto enumerate = reinterpret_cast<TEnum>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("user32.dll"), "EnumDisplayDevicesA")));
  if (!enumerate) return {};
  DISPLAY_DEVICEA device{};
  device.cb = sizeof device;
  if (!enumerate(nullptr, 0, &device, 0)) return {};
  const std::string description = VCore::Trim(device.DeviceString);
  // The device's key: from its video id under Enum, else the devicemap's first video device.
  std::string enum_key;
  std::string video_key;
  if (device.DeviceID[0]) {
    std::string id = device.DeviceID;
    const std::string base = "System\\CurrentControlSet\\Enum\\" + id;
    const std::string instance = FirstSubKey(HKEY_LOCAL_MACHINE, base);
    if (!instance.empty()) {
      enum_key = base + "\\" + instance;
      const std::string video_id =
          VCore::RegReadValue(HKEY_LOCAL_MACHINE, enum_key + "\\Device Parameters", "VideoID");
      if (!video_id.empty())
        video_key = "System\\CurrentControlSet\\Control\\Video\\" + video_id + "\\0000";
    }
  }
  if (video_key.empty())
    video_key = MachineKeyOf(
        VCore::RegReadValue(HKEY_LOCAL_MACHINE, "Hardware\\Devicemap\\Video", "\\Device\\Video0"));
  const std::uint32_t memory = video_key.empty() ? 0
                                                 : RegReadNumber(HKEY_LOCAL_MACHINE, video_key,
                                                                 "HardwareInformation.MemorySize");
  std::string driver;
  for (const std::string& key : {video_key, enum_key}) {
    if (key.empty() || !driver.empty()) continue;
    const std::string class_key = VCore::RegReadValue(HKEY_LOCAL_MACHINE, key, "Driver");
    if (!class_key.empty())
      driver = VCore::RegReadValue(HKEY_LOCAL_MACHINE,
                                   "System\\CurrentControlSet\\Control\\Class\\" + class_key,
                                   "DriverVersion");
  }
  if (memory)
    return description + " (driver " + driver + " - RAM " + std::to_string(memory >> 20) + " MB)";
  return description + " (driver " + driver + ")";
}

// 5.11: the default printer's driver with the product version of its file.
std::string PrinterText() {
  HMODULE spool = LoadLibraryA("winspool.drv");
  if (!spool) return {};
  using TDefault = BOOL(WINAPI*)(LPSTR, LPDWORD);
  using TOpen = BOOL(WINAPI*)(LPSTR, LPHANDLE, void*);
  using TClose = BOOL(WINAPI*)(HANDLE);
  using TGetDriver = BOOL(WINAPI*)(HANDLE, LPSTR, DWORD, LPBYTE, DWORD, LPDWORD);
  auto proc = [&](const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(spool, name));
  };
  const auto get_default = reinterpret_cast<TDefault>(proc("GetDefaultPrinterA"));
  const auto open = reinterpret_cast<TOpen>(proc("OpenPrinterA"));
  const auto close = reinterpret_cast<TClose>(proc("ClosePrinter"));
  const auto driver = reinterpret_cast<TGetDriver>(proc("GetPrinterDriverA"));
  std::string out;
  char name[512];
  DWORD length = sizeof name;
  HANDLE printer = nullptr;
  if (get_default && open && driver && close && get_default(name, &length) &&
      open(name, &printer, nullptr)) {
    DWORD needed = 0;
    driver(printer, nullptr, 2, nullptr, 0, &needed);
    std::vector<std::uint8_t> info(needed);
    if (needed >= sizeof(DRIVER_INFO_2A) &&
        driver(printer, nullptr, 2, info.data(), needed, &needed)) {
      const auto* d = reinterpret_cast<const DRIVER_INFO_2A*>(info.data());
      std::string version = d->pDriverPath ? ProductVersionOf(d->pDriverPath) : std::string();
      version.erase(std::remove(version.begin(), version.end(), ' '), version.end());
      if (d->pName) out = std::string(d->pName) + " (driver " + version + ")";
    }
    close(printer);
  }
  FreeLibrary(spool);
  return out;
}

std::string LanguageText() {
  char name[128] = {};
  if (!GetLocaleInfoA(GetSystemDefaultLCID(), LOCALE_SENGLANGUAGE, name, sizeof name)) return {};
  return name;
}

std::vector<TNetworkAdapter> NetworkAdapters() {
  std::vector<TNetworkAdapter> adapters;
  HMODULE library = LoadLibraryA("iphlpapi.dll");
  if (!library) return adapters;
  using TInfo = DWORD(WINAPI*)(PIP_ADAPTER_INFO, PULONG);
  using TPerAdapter = DWORD(WINAPI*)(ULONG, PIP_PER_ADAPTER_INFO, PULONG);
  const auto info =
      reinterpret_cast<TInfo>(reinterpret_cast<void*>(GetProcAddress(library, "GetAdaptersInfo")));
  const auto per_adapter = reinterpret_cast<TPerAdapter>(
      reinterpret_cast<void*>(GetProcAddress(library, "GetPerAdapterInfo")));
  ULONG size = 0;
  if (info && per_adapter && info(nullptr, &size) == ERROR_BUFFER_OVERFLOW && size) {
    std::vector<std::uint8_t> buffer(size);
    auto* list = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
    if (info(list, &size) == NO_ERROR) {
      for (PIP_ADAPTER_INFO a = list; a; a = a->Next) {
        TNetworkAdapter adapter;
        adapter.Dhcp = a->DhcpEnabled != 0;
        adapter.IpAddress = a->IpAddressList.IpAddress.String;
        adapter.Submask = a->IpAddressList.IpMask.String;
        adapter.Gateway = a->GatewayList.IpAddress.String;
        ULONG per_size = 0;
        if (per_adapter(a->Index, nullptr, &per_size) == ERROR_BUFFER_OVERFLOW && per_size) {
          std::vector<std::uint8_t> per(per_size);
          auto* p = reinterpret_cast<PIP_PER_ADAPTER_INFO>(per.data());
          if (per_adapter(a->Index, p, &per_size) == NO_ERROR) {
            adapter.Dns1 = p->DnsServerList.IpAddress.String;
            if (p->DnsServerList.Next) adapter.Dns2 = p->DnsServerList.Next->IpAddress.String;
          }
        }
        adapters.push_back(adapter);
      }
    }
  }
  FreeLibrary(library);
  return adapters;
}

void FillGeneralFacts(TGeneralFacts& f, std::uintptr_t address) {
  FILETIME created{}, exited, kernel, user, now;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  GetSystemTimeAsFileTime(&now);
  f.StartDate = LocalTimeText(created);
  f.ExceptionDate = LocalTimeText(now);
  const std::uint64_t span = Ticks(now) > Ticks(created) ? Ticks(now) - Ticks(created) : 0;
  f.UpTime = VCore::ElapsedTimeText(static_cast<double>(span) / 864e9);
  f.ProgramFile = VCore::ProgramFileName();
  VCore::FileVersionAndDescription(f.ProgramFile, &f.ProgramVersion, &f.ProgramDescription);
  f.CommandLine = VCore::ProcessCommandLine();
  f.VsHost = VCore::LowerCase(f.ProgramFile).find(".vshost") != std::string::npos;

  f.ExceptionAddress = address;
  MEMORY_BASIC_INFORMATION region{};
  if (address && VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) &&
      region.Type == MEM_IMAGE) {
    f.ModuleFile = VCore::ModuleFileNameOf(static_cast<HMODULE>(region.AllocationBase));
    VCore::FileVersionAndDescription(f.ModuleFile, &f.ModuleVersion, &f.ModuleDescription);
  }

  f.UserId = VCore::UserNameText();
  f.UserName = VCore::RegisteredOwnerText();
  f.Company = CompanyText();
  f.Privileges = PrivilegesText();

  f.ConsoleProgram = IsConsoleProgram();
  if (HWND window = GetForegroundWindow()) {
    char text[257] = {};
    GetClassNameA(window, text, 256);
    f.FormClass = text;
    // The title as the window manager keeps it: GetWindowText would send WM_GETTEXT to the
    // window's thread, which may be the one waiting for this processing.
    wchar_t title[257] = {};
    const int n = InternalGetWindowText(window, title, 256);
    text[0] = 0;
    if (n > 0)
      WideCharToMultiByte(CP_ACP, 0, title, n + 1, text, sizeof text - 1, nullptr, nullptr);
    f.FormText = Folded(text);
  }

  f.ComputerName = VCore::ComputerNameText();
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (GlobalMemoryStatusEx(&memory)) {
    f.TotalMemory = memory.ullTotalPhys;
    f.FreeMemory = memory.ullAvailPhys;
  }
  ULARGE_INTEGER available, total, free;
  const std::string root = f.ProgramFile.substr(0, 3);
  if (GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free)) {
    f.TotalDisk = static_cast<std::int64_t>(total.QuadPart);
    f.FreeDisk = static_cast<std::int64_t>(available.QuadPart);
  }
  f.SystemUpMs = GetTickCount();
  f.Processor = ProcessorText();
  f.ScreenWidth = GetSystemMetrics(SM_CXSCREEN);
  f.ScreenHeight = GetSystemMetrics(SM_CYSCREEN);
  if (HDC screen = GetDC(nullptr)) {
    f.ScreenBits = GetDeviceCaps(screen, BITSPIXEL);
    f.ScreenDpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  f.VideoCard = VideoCardText();
  f.Printer = PrinterText();

  f.OsType = WindowsVersionName();
  f.OsBuild = WindowsBuildText();
  f.OsUpdate = VCore::GetWindowsVersion().csd;
  f.OsLanguage = LanguageText();
  f.Charset = VCore::DefaultAnsiCharset();
  f.Adapters = NetworkAdapters();
}

}  // namespace

bool TProcessReportMemory::Read(std::uintptr_t address, void* buffer, std::size_t size) const {
  return VCore::SafeRead(reinterpret_cast<const void*>(address), buffer, size);
}

std::string TProcessReportMemory::ObjectClassName(std::uintptr_t address) const {
  const void* object = reinterpret_cast<const void*>(address);
  return VCore::IsValidObject(object) ? VCore::ClassNameOf(VCore::ClassOfObject(object))
                                      : std::string();
}

THeaderContext ProcessThreadsContext(TVantorThreadsList* snapshot) {
  THeaderContext context;
  context.MainThreadID = static_cast<std::int32_t>(MainThreadID());
  context.VsHost = VCore::LowerCase(VCore::ProgramFileName()).find(".vshost") != std::string::npos;
  if (snapshot) {
    context.Threads = [snapshot](std::int32_t id) -> std::optional<TThreadFacts> {
      TTrackedThreadInfo* record =
          snapshot->GetItem(snapshot->IndexOfThreadID(static_cast<DWORD>(id)));
      if (!record) return std::nullopt;
      if (record->Priority == kPriorityNotRecorded)
        record->Priority = static_cast<DWORD>(GetThreadPriority(record->ThreadHandle));
      TThreadFacts facts;
      facts.Priority = static_cast<std::int32_t>(record->Priority);
      if (record->ThreadObject && VCore::IsValidObject(record->ThreadObject))
        facts.ClassName = VCore::ClassNameOf(VCore::ClassOfObject(record->ThreadObject));
      return facts;
    };
    return context;
  }
  context.Threads = [](std::int32_t id) -> std::optional<TThreadFacts> {
    TVantorThreadsList* list = ThreadsList();
    if (!list) return std::nullopt;
    TTrackedThreadInfo record;
    list->LockForRead();
    const int index = list->IndexOfThreadID(static_cast<DWORD>(id));
    if (index >= 0) std::memcpy(&record, list->GetItem(index), sizeof record);
    list->UnlockRead();
    if (index < 0) return std::nullopt;
    TThreadFacts facts;
    if (record.Priority == kPriorityNotRecorded) {
      const int live = GetThreadPriority(record.ThreadHandle);
      list->LockForWrite();
      const int again = list->IndexOfThreadID(static_cast<DWORD>(id));
      if (again >= 0) list->GetItem(again)->Priority = static_cast<DWORD>(live);
      list->UnlockWrite();
      if (again < 0) return std::nullopt;
      facts.Priority = live;
    } else {
      facts.Priority = static_cast<std::int32_t>(record.Priority);
    }
    if (record.ThreadObject && VCore::IsValidObject(record.ThreadObject))
      facts.ClassName = VCore::ClassNameOf(VCore::ClassOfObject(record.ThreadObject));
    return facts;
  };
  return context;
}

std::string CompilationDateText(double build_date) {
  if (build_date == 0) return {};
  // Days since 1899-12-30 to FILETIME ticks (from 1601-01-01), moved to local time.
  constexpr double kDaysFrom1601 = 109205;
  const double ticks =
      (build_date + kDaysFrom1601) * 864e9 + std::round(VCore::UtcOffsetMinutes() / 60.0) * 36e9;
  if (ticks <= 0) return {};
  const auto value = static_cast<std::uint64_t>(ticks);
  FILETIME time{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
  SYSTEMTIME local;
  if (!FileTimeToSystemTime(&time, &local)) return {};
  return Rfc822DateText(local);
}

void GatherReportInput(TReportInput& input, std::uintptr_t address, const void* context,
                       std::uintptr_t stack_value, bool lists) {
  // Never destroyed: the leak report reads memory after static destruction.
  static VCore::TUnitVariable<TProcessReportMemory> memory;
  FillGeneralFacts(input.General, address);
  input.ExceptionAddress = address;
  input.StackValue = stack_value;
  input.Memory = &*memory;
  input.Threads = ProcessThreadsContext();
  if (context) {
    CONTEXT c;
    std::memcpy(&c, context, sizeof c);
    input.Context =
        TReportRegisters{static_cast<std::uint32_t>(c.Eax), static_cast<std::uint32_t>(c.Ebx),
                         static_cast<std::uint32_t>(c.Ecx), static_cast<std::uint32_t>(c.Edx),
                         static_cast<std::uint32_t>(c.Esi), static_cast<std::uint32_t>(c.Edi),
                         static_cast<std::uint32_t>(c.Esp), static_cast<std::uint32_t>(c.Eip)};
  } else {
    input.Context.reset();
  }
  if (VCore::ModulesList()) {
    if (lists) VCore::RefreshModulesList();
    input.Modules = VCore::ModulesList();
  }
  if (lists) VCore::BuildProcessesList();
  input.Processes = VCore::ProcessesList();
}

std::string ExceptionClassText(const void* object) {
  return VCore::IsValidObject(object) ? VCore::ClassNameOf(VCore::ClassOfObject(object))
                                      : std::string("Unknown exception type");
}

TExceptionMessageFacts ExceptionMessageFacts(const void* object) {
  TExceptionMessageFacts facts;
  const Exception* exception = VCore::ObjectAs<Exception>(object);
  if (!exception) return facts;
  facts.IsException = true;
  facts.Message = VCore::AnsiFromUtf8(exception->Message());  // the runtime's are UTF-8
  const EAccessViolation* violation = VCore::ObjectAs<EAccessViolation>(object);
  if (!violation) return facts;
  facts.IsAccessViolation = true;
  EXCEPTION_RECORD record;
  if (!violation->ExceptionRecord() ||
      !VCore::SafeRead(violation->ExceptionRecord(), &record, sizeof record) ||
      record.NumberParameters < 2)
    return facts;
  facts.RecordReadable = true;
  facts.WriteAccess = record.ExceptionInformation[0] != 0;
  facts.DataAddress = record.ExceptionInformation[1];
  facts.CodeAddress = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
  MEMORY_BASIC_INFORMATION region{};
  char name[MAX_PATH];
  if (VirtualQuery(record.ExceptionAddress, &region, sizeof region) && region.Type == MEM_IMAGE &&
      GetModuleFileNameA(static_cast<HMODULE>(region.AllocationBase), name, sizeof name)) {
    facts.ModuleFileName = VCore::ExtractFileName(name);
    facts.NormalisedModuleName = VCore::ExtractFileName(VCore::ExpandLongPath(name));
  }
  return facts;
}

void GatherReportInput(TReportInput& input, const TVantorExceptionRecord& record, bool lists) {
  const auto* context = record.Context;
  GatherReportInput(input, reinterpret_cast<std::uintptr_t>(record.ExceptionAddress), context,
                    context ? static_cast<std::uintptr_t>(context->Esp) : 0, lists);
  input.General.ExceptionClass = ExceptionClassText(record.ExceptionObject);
  input.General.ExceptionMessage =
      GetExceptionMessageText(ExceptionMessageFacts(record.ExceptionObject));
  if (record.ModulesList) input.Modules = record.ModulesList;
  if (record.CallStack) input.Stack = ReportStackEntries(*record.CallStack);
  input.Locate = [](std::uintptr_t address, TReportLocation& location) {
    TAddressLocation found;
    GetAddressLocation(reinterpret_cast<const void*>(address), GetCurrentThreadId(), found, false,
                       0);
    location.Kind = found.Kind;
    location.UnitName = found.UnitName;
    location.ClassName = found.ClassName;
    location.ProcedureName = found.ProcedureName;
    location.Line = found.Line;
    location.LineOffset = found.LineOffset;
    return found.Kind != 0;
  };
}

}  // namespace ExceptionLog
