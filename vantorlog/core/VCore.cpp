#include "VCore.h"

#include <richedit.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "VSystem.h"
#include "VUnitVariable.h"

namespace VCore {
namespace {

std::string ParentFolder(const std::string& path) {
  const std::size_t at = path.find_last_of('\\');
  return at == std::string::npos ? std::string() : path.substr(0, at);
}

std::string ProgramBaseName() { return ChangeFileExt(ExtractFileName(ProgramFileName()), ""); }

}  // namespace

std::string ModuleFileNameOf(HMODULE module) {
  char buffer[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(module, buffer, MAX_PATH);
  std::string name(buffer, n);
  // "\??\C:\..." (the kernel's object-name form) becomes "C:\...".
  const std::size_t question = name.find('?');
  if (question != std::string::npos) {
    const std::size_t colon = name.find(':', question);
    if (colon != std::string::npos && colon > 0) name.erase(0, colon - 1);
  }
  return ExpandLongPath(name);
}

bool IsModuleLoaded(HMODULE module) { return !ModuleFileNameOf(module).empty(); }

std::string AppDataFolder() {
  using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPSTR);
  if (HMODULE shfolder = LoadLibraryA("shfolder.dll")) {
    auto get = reinterpret_cast<GetFolderPath>(
        reinterpret_cast<void*>(GetProcAddress(shfolder, "SHGetFolderPathA")));
    char path[MAX_PATH] = {};
    const bool ok = get && SUCCEEDED(get(nullptr, 26 /* CSIDL_APPDATA */, nullptr, 0, path));
    FreeLibrary(shfolder);
    if (ok && path[0]) return path;
  }
  const std::string env = GetEnvVar("AppData");
  return env.empty() ? "\\" : env;
}

std::string AppDataProductFolder() { return IncludeTrailingSlash(AppDataFolder()) + "VantorLog"; }

std::string DataFolder() {
  OSVERSIONINFOA info{sizeof info};
  if (GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    char buffer[256];
    const UINT n = GetWindowsDirectoryA(buffer, sizeof buffer);
    return std::string(buffer, n < sizeof buffer ? n : 0);
  }
  return AppDataProductFolder();
}

std::string TemporaryFolder() {
  char buffer[MAX_PATH + 1];
  const DWORD n = GetTempPathA(MAX_PATH, buffer);
  return std::string(buffer, n <= MAX_PATH ? n : 0);
}

std::string ExpandLongPath(const std::string& path) {
  if (path.find('~') == std::string::npos || path.size() < 3) return path;
  const std::string expanded = ExpandEnvRefs(path);
  std::vector<std::string> parts = SplitByChars(expanded, "\\", true, true);
  if (parts.empty()) return path;
  std::string result = parts[0];  // the drive
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i].empty()) {
      result += "\\";
      continue;
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((result + "\\" + parts[i]).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      for (std::size_t j = i; j < parts.size(); ++j) result += "\\" + parts[j];
      return result;
    }
    FindClose(search);
    result += std::string("\\") + found.cFileName;
  }
  return result;
}

bool FolderExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool EnsureFolder(const std::string& path) {
  const std::string folder = ExpandEnvRefs(ExcludeTrailingSlash(path));
  if (folder.size() <= 2 || FolderExists(folder)) return true;
  const std::string parent = ParentFolder(folder);
  if (parent.empty() || parent == folder) return true;  // a root
  if (!EnsureFolder(parent)) return false;
  return CreateDirectoryA(folder.c_str(), nullptr) || FolderExists(folder);
}

bool CanCreateFile(const std::string& path) {
  const bool existed = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  if (!existed) DeleteFileA(path.c_str());
  return true;
}

bool CanOpenFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

bool PrepareLogFile(const std::string& path, bool sub_folder, bool read_only,
                    std::string* final_path) {
  std::string current = ExpandEnvRefs(path);
  auto usable = [read_only](const std::string& p) {
    return read_only ? CanOpenFile(p) : CanCreateFile(p);
  };
  bool ok = usable(current);
  if (!ok) {
    std::string folder = AppDataProductFolder();
    EnsureFolder(folder);
    if (sub_folder) {
      folder = IncludeTrailingSlash(folder) + ProgramBaseName();
      EnsureFolder(folder);
    }
    current = IncludeTrailingSlash(folder) + ExtractFileName(current);
    ok = usable(current);
  }
  if (final_path) *final_path = current;
  return ok;
}

FILETIME FileTimeOf(const std::string& path) {
  FILETIME local{};
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return local;
  FindClose(search);
  FileTimeToLocalFileTime(&found.ftLastWriteTime, &local);
  return local;
}

std::uint32_t FileSizeOf(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  FindClose(search);
  return found.nFileSizeLow;
}

std::string ModuleFolderOf(const std::string& path) {
  std::string folder = ExtractFileFolder(path);
  if (!folder.empty() && folder.back() == ':') folder.pop_back();
  if (folder.rfind("\\??\\", 0) == 0) folder.erase(0, 4);
  return folder;
}

void FileVersionAndDescription(const std::string& path, std::string* version,
                               std::string* description) {
  if (version) version->clear();
  if (description) description->clear();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return;
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (version && VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) &&
      fixed && length >= sizeof *fixed) {
    const std::string text = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                             std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                             std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                             std::to_string(LOWORD(fixed->dwFileVersionLS));
    if (text != "0.0.0.0") *version = text;
  }
  WORD* translation = nullptr;
  if (description &&
      VerQueryValueA(data.data(), "\\VarFileInfo\\Translation",
                     reinterpret_cast<void**>(&translation), &length) &&
      translation && length >= 4) {
    char query[64];
    wsprintfA(query, "\\StringFileInfo\\%04x%04x\\FileDescription", translation[0], translation[1]);
    char* text = nullptr;
    if (VerQueryValueA(data.data(), query, reinterpret_cast<void**>(&text), &length) && text)
      *description = text;
  }
}

namespace {
std::string IniPath(const std::string& file) {
  if (file.find_first_of("\\/:") != std::string::npos) return file;
  return IncludeTrailingSlash(DataFolder()) + file;
}
}  // namespace

std::string IniReadValue(const std::string& file, const std::string& section,
                         const std::string& key, const std::string& default_value) {
  std::string path;
  if (!PrepareLogFile(IniPath(file), false, false, &path)) return default_value;
  std::vector<char> buffer(2048);
  const DWORD n =
      GetPrivateProfileStringA(section.c_str(), key.c_str(), default_value.c_str(), buffer.data(),
                               static_cast<DWORD>(buffer.size()), path.c_str());
  return std::string(buffer.data(), n);
}

bool IniWriteValue(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value) {
  std::string path;
  PrepareLogFile(IniPath(file), false, false, &path);
  return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path.c_str());
}

std::string RegReadValue(HKEY root, const std::string& key, const std::string& value_name) {
  std::string sub = key;
  if (!sub.empty() && sub[0] == '\\') sub.erase(0, 1);
  HKEY handle;
  if (RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return {};
  DWORD type = 0, size = 0;
  std::string value;
  if (RegQueryValueExA(handle, value_name.c_str(), nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    value.resize(size);
    if (RegQueryValueExA(handle, value_name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(value.data()), &size) != ERROR_SUCCESS)
      value.clear();
    value.resize(strnlen(value.data(), std::min<std::size_t>(size, value.size())));
  }
  RegCloseKey(handle);
  return value;
}

std::string RegisteredOwnerText() {
  const bool nt = !(GetWindowsVersion().platform_id == VER_PLATFORM_WIN32_WINDOWS);
  std::string owner = RegReadValue(HKEY_LOCAL_MACHINE,
                                   nt ? "\\SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION"
                                      : "\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION",
                                   "RegisteredOwner");
  if (IsVistaOrLater() && owner == "Microsoft") owner.clear();
  if (owner.empty())
    owner = RegReadValue(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\MICROSOFT\\MS SETUP (ACME)\\USER INFO",
                         "DefName");
  if (IsVistaOrLater() && owner == "Microsoft") owner.clear();
  return owner;
}

bool IsValidHandle(HANDLE handle) {
  if (!handle || handle == INVALID_HANDLE_VALUE) return false;
  DWORD flags = 0;
  if (GetWindowsVersion().platform_id == VER_PLATFORM_WIN32_NT &&
      GetHandleInformation(handle, &flags))
    return true;
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return false;
  CloseHandle(copy);
  return true;
}

bool IsThreadRunning(HANDLE thread) {
  DWORD code = 0;
  return IsValidHandle(thread) && GetExitCodeThread(thread, &code) && code == STILL_ACTIVE;
}

bool IsDebuggerPresentSafe() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return false;
  using IsPresent = BOOL(WINAPI*)();
  if (auto fn = reinterpret_cast<IsPresent>(
          reinterpret_cast<void*>(GetProcAddress(kernel, "IsDebuggerPresent"))))
    return fn() != 0;
  return reinterpret_cast<std::uintptr_t>(&GetProcAddress) <
         reinterpret_cast<std::uintptr_t>(kernel);
}

TWindowsVersion GetWindowsVersion() {
  // RtlGetVersion tells the truth where GetVersionEx is capped by the manifest.
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  TWindowsVersion v{};
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW wide{};
  wide.dwOSVersionInfoSize = sizeof wide;
  auto rtl = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
  if (rtl && rtl(&wide) == 0) {
    v.platform_id = wide.dwPlatformId;
    v.major = wide.dwMajorVersion;
    v.minor = wide.dwMinorVersion;
    v.build = wide.dwBuildNumber;
    for (const wchar_t* p = wide.szCSDVersion; *p; ++p) v.csd += static_cast<char>(*p);
  } else if (GetVersionExA(&info)) {
    v.platform_id = info.dwPlatformId;
    v.major = info.dwMajorVersion;
    v.minor = info.dwMinorVersion;
    v.build = info.dwBuildNumber;
    v.csd = info.szCSDVersion;
  }
  using IsWow64Fn = BOOL(WINAPI*)(HANDLE, BOOL*);
  BOOL wow = FALSE;
  if (auto is_wow = reinterpret_cast<IsWow64Fn>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process"))))
    is_wow(GetCurrentProcess(), &wow);
  v.wow64 = wow != FALSE;
  return v;
}

bool IsWin95() {
  const TWindowsVersion v = GetWindowsVersion();
  return v.platform_id == VER_PLATFORM_WIN32_WINDOWS && v.minor < 10;
}
bool IsNT4Platform() {
  const TWindowsVersion v = GetWindowsVersion();
  return v.platform_id == VER_PLATFORM_WIN32_NT && v.major < 5;
}
bool IsVistaOrLater() {
  const TWindowsVersion v = GetWindowsVersion();
  return v.platform_id == VER_PLATFORM_WIN32_NT && v.major > 5;
}

std::string UserNameText() {
  char buffer[256];
  DWORD size = sizeof buffer;
  if (!GetUserNameA(buffer, &size) || size == 0) return {};
  return std::string(buffer, size - 1);
}

std::string ProcessCommandLine() { return GetCommandLineA(); }

const void* StackTopOfThread() {
  const NT_TIB* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
  return tib->StackBase;
}

const void* CurrentStackPointer() { return __builtin_frame_address(0); }

int UtcOffsetMinutes() {
  SYSTEMTIME utc, local;
  GetSystemTime(&utc);
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return 0;
  FILETIME fu, fl;
  SystemTimeToFileTime(&utc, &fu);
  SystemTimeToFileTime(&local, &fl);
  const auto as64 = [](const FILETIME& f) {
    return (static_cast<long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
  };
  const long long diff = as64(fl) - as64(fu);  // 100 ns units
  const long long minutes = (diff + (diff >= 0 ? 300000000LL : -300000000LL)) / 600000000LL;
  return static_cast<int>(minutes);
}

std::string EncodeUtf8(const std::string& ansi) {
  if (ansi.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}

std::string AnsiFromUtf8(const std::string& text) {
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return text;
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n <= 0) return text;
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n);
  const int m = WideCharToMultiByte(CP_ACP, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(m), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}

namespace {
void* g_oom_cache = nullptr;
std::mutex g_windows_lock;
VCore::TUnitVariable<std::vector<HWND>> g_top_windows_unit;
std::vector<HWND>& g_top_windows = *g_top_windows_unit;
}  // namespace

void ReserveOutOfMemoryCache() {
  if (!g_oom_cache) g_oom_cache = VirtualAlloc(nullptr, 0x500000, MEM_RESERVE, PAGE_NOACCESS);
}

void FreeOutOfMemoryCache() {
  if (g_oom_cache) VirtualFree(g_oom_cache, 0, MEM_RELEASE);
  g_oom_cache = nullptr;
}

bool IsOwnProcessWindow(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid == GetCurrentProcessId();
}

RECT ProcessWindowsBounds(DWORD process_id) {
  struct State {
    DWORD pid;
    RECT bounds;
    bool any;
  } state{process_id, {-1, -1, -1, -1}, false};
  EnumWindows(
      [](HWND w, LPARAM p) __attribute__((stdcall))->BOOL {
        auto* s = reinterpret_cast<State*>(p);
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        RECT r;
        if (pid != s->pid || !IsWindowVisible(w) || !GetWindowRect(w, &r)) return TRUE;
        if (!s->any)
          s->bounds = r;
        else
          UnionRect(&s->bounds, &s->bounds, &r);
        s->any = true;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&state));
  return state.bounds;
}

void SnapshotTopWindows() {
  std::vector<HWND> windows;
  EnumWindows(
      [](HWND w, LPARAM p) __attribute__((stdcall))->BOOL {
        reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  std::lock_guard<std::mutex> guard(g_windows_lock);
  g_top_windows = std::move(windows);
}

bool IsNewTopWindow(HWND window) {
  std::lock_guard<std::mutex> guard(g_windows_lock);
  return std::find(g_top_windows.begin(), g_top_windows.end(), window) == g_top_windows.end();
}

void RichEditSetRtf(HWND rich_edit, const std::string& rtf) {
  struct Source {
    const std::string* text;
    std::size_t at;
  } source{&rtf, 0};
  EDITSTREAM stream{};
  stream.dwCookie = reinterpret_cast<DWORD_PTR>(&source);
  stream.pfnCallback =
      [](DWORD_PTR cookie, LPBYTE buffer, LONG count, LONG * done) __attribute__((stdcall))->DWORD {
    auto* s = reinterpret_cast<Source*>(cookie);
    const std::size_t n =
        std::min<std::size_t>(static_cast<std::size_t>(count), s->text->size() - s->at);
    std::memcpy(buffer, s->text->data() + s->at, n);
    s->at += n;
    *done = static_cast<LONG>(n);
    return 0;
  };
  SendMessageA(rich_edit, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
}

void RichEditSetBackground(HWND rich_edit, int colour) {
  const COLORREF c = colour < 0 ? GetSysColor(colour & 0xFF) : static_cast<COLORREF>(colour);
  SendMessageA(rich_edit, 0x443 /* EM_SETBKGNDCOLOR */, 0, static_cast<LPARAM>(c));
}

}  // namespace VCore

namespace ExceptionLog {
namespace {
VCore::TUnitVariable<std::string> g_start_folder_unit;
std::string& g_start_folder = *g_start_folder_unit;
bool g_restart_strips_vshost = false;
}  // namespace

bool ForceDeleteFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return DeleteFileA(path.c_str()) != 0;
}

std::string OwnFileVersion() {
  std::string version;
  VCore::FileVersionAndDescription(VCore::ProgramFileName(), &version, nullptr);
  return version;
}

std::string WindowsVersionName() { return VCore::WindowsVersionName(VCore::GetWindowsVersion()); }
std::string WindowsBuildText() { return VCore::WindowsBuildText(VCore::GetWindowsVersion()); }

std::string Rfc822DateText(const SYSTEMTIME& local) {
  const VCore::TDateTimeParts parts{local.wYear,   local.wMonth,  local.wDay,      local.wHour,
                                    local.wMinute, local.wSecond, local.wDayOfWeek};
  return VCore::Rfc822DateText(parts, VCore::UtcOffsetMinutes());
}

HWND FindMainWindowOfProcess(DWORD process_id, HWND application_window) {
  struct State {
    DWORD pid;
    HWND app;
    HWND found;
  } state{process_id, application_window, nullptr};
  EnumWindows(
      [](HWND w, LPARAM p) __attribute__((stdcall))->BOOL {
        auto* s = reinterpret_cast<State*>(p);
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid != s->pid || !IsWindowVisible(w)) return TRUE;
        RECT r;
        if (!GetWindowRect(w, &r) || IsRectEmpty(&r)) return TRUE;
        const HWND owner = GetWindow(w, GW_OWNER);
        if (owner && owner != GetDesktopWindow() && owner != s->app) return TRUE;
        const LONG ex = GetWindowLongA(w, GWL_EXSTYLE);
        if ((ex & WS_EX_TOOLWINDOW) && !(ex & WS_EX_APPWINDOW)) return TRUE;
        s->found = w;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&state));
  return state.found;
}

bool CopyTextToClipboard(const std::string& text) {
  if (!OpenClipboard(nullptr)) return false;
  bool ok = false;
  if (EmptyClipboard()) {
    HGLOBAL block = GlobalAlloc(GMEM_DDESHARE | GMEM_MOVEABLE, text.size() + 1);
    if (block) {
      if (void* p = GlobalLock(block)) {
        std::memcpy(p, text.c_str(), text.size() + 1);
        GlobalUnlock(block);
        ok = SetClipboardData(CF_TEXT, block) != nullptr;
      }
      if (!ok) GlobalFree(block);  // owned by the clipboard only once set
    }
  }
  CloseClipboard();
  return ok;
}

void SaveStartFolder() {
  char buffer[MAX_PATH + 1];
  const DWORD n = GetCurrentDirectoryA(MAX_PATH, buffer);
  g_start_folder.assign(buffer, n <= MAX_PATH ? n : 0);
}

void SetRestartStripsVsHost(bool strip) { g_restart_strips_vshost = strip; }

bool StartNewInstance() {
  std::string command = GetCommandLineA();
  if (g_restart_strips_vshost) command = VCore::StripVsHost(command);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS, nullptr,
                      g_start_folder.empty() ? nullptr : g_start_folder.c_str(), &startup, &info))
    return false;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

void RestartOrTerminate(bool restart) {
  if (restart) StartNewInstance();
  TerminateProcess(GetCurrentProcess(), 1);
  ExitProcess(1);
}

}  // namespace ExceptionLog
