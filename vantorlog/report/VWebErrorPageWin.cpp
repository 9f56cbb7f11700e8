// Mode tests and response writers of the web error page (Win32).
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <atomic>

#include "VWebErrorPage.h"
#include "core/ExceptionLog.h"
#include "core/VCore.h"
#include "core/VModules.h"
#include "core/VTextUtils.h"

namespace ExceptionLog {

namespace {

TIsapiControlBlock* isapi_ecb = nullptr;
TIntraWebShowMessage intraweb_show_message = nullptr;
void* intraweb_application = nullptr;
void* intraweb_controller = nullptr;
TIntraWebTemplateDir intraweb_template_dir = nullptr;
std::string intraweb_message;
std::atomic<bool> own_output{false};
std::string wincgi_output_file;

constexpr DWORD kMaxWinCGIIniSize = 102400;

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

// The command-line parameter index (1 the first); "" when absent.
std::string CommandLineParam(int index) {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  std::string out;
  if (args && index < count) {
    const int n = WideCharToMultiByte(CP_ACP, 0, args[index], -1, nullptr, 0, nullptr, nullptr);
    if (n > 1) {
      out.resize(n - 1);
      WideCharToMultiByte(CP_ACP, 0, args[index], -1, out.data(), n, nullptr, nullptr);
    }
  }
  LocalFree(args);
  return out;
}

std::string IniValue(const std::string& path, const char* section, const char* key) {
  char buffer[2048] = {};
  GetPrivateProfileStringA(section, key, "", buffer, sizeof buffer, path.c_str());
  return buffer;
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool WriteAll(HANDLE file, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                   nullptr) ||
        written == 0)
      return false;
    done += written;
  }
  return true;
}

std::string LastErrorText() {
  char text[256] = {};
  const DWORD error = GetLastError();
  if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                      text, sizeof text, nullptr))
    return "System error " + std::to_string(error) + ".";
  std::string out = text;
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n')) out.pop_back();
  return out;
}

}  // namespace

bool IsConsoleProgram() {
  const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (!base || dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  return nt->Signature == IMAGE_NT_SIGNATURE &&
         nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

bool IsCGIModule() {
  if (!IsConsoleProgram()) return false;
  SetLastError(0);
  char value[2];
  return GetEnvironmentVariableA("REQUEST_METHOD", value, sizeof value) > 0 ||
         GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

bool IsWinCGIModule() {
  wincgi_output_file.clear();
  if (IsConsoleProgram()) return false;
  const std::string name = CommandLineParam(1);
  if (name.empty() || name.find_first_of("*?") != std::string::npos || !FileExists(name))
    return false;
  HANDLE file = CreateFileA(name.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD high = 0;
  const DWORD size = GetFileSize(file, &high);
  CloseHandle(file);
  if (size == INVALID_FILE_SIZE || high != 0 || size > kMaxWinCGIIniSize) return false;
  // The profile functions look a bare name up in the Windows folder.
  char full[MAX_PATH] = {};
  if (!GetFullPathNameA(name.c_str(), MAX_PATH, full, nullptr)) return false;
  if (IniValue(full, "CGI", "Request Method").empty()) return false;
  std::string output = CommandLineParam(3);
  if (output.empty()) output = IniValue(full, "System", "Output File");
  if (output.empty() || !FileExists(output)) return false;
  wincgi_output_file = output;
  return true;
}

std::string WinCGIOutputFile() { return wincgi_output_file; }

bool IsWebExtensionDll() {
  const HMODULE module = ThisModule();
  return VCore::IsLibraryModule(reinterpret_cast<VCore::TModuleHandle>(module)) &&
         GetProcAddress(module, "HttpExtensionProc") != nullptr;
}

void SetIntraWebShowMessage(TIntraWebShowMessage entry) { intraweb_show_message = entry; }
bool IsIntraWebModule() { return intraweb_show_message != nullptr; }
void SetIntraWebApplication(void* application, void* server_controller) {
  intraweb_application = application;
  intraweb_controller = server_controller;
}
void SetIntraWebTemplateDir(TIntraWebTemplateDir read) { intraweb_template_dir = read; }
void SetIntraWebMessageText(std::string text) { intraweb_message = std::move(text); }
std::string IntraWebMessageText() { return intraweb_message; }

bool WriteTextFile(const std::string& text, const std::string& path) {
  const std::string folder = VCore::ExtractFileFolder(path);
  if (!folder.empty() && !VCore::EnsureFolder(folder)) return false;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = WriteAll(file, text);
  CloseHandle(file);
  return ok;
}

bool ShowIntraWebErrorPage() {
  try {
    if (!intraweb_application || !intraweb_controller) {
      ReportLibraryWarning(
          TVantorLogErrorCode::eeShowError,
          "IntraWeb: IntraWebApplication e/o IntraWebServerController are set to nil.");
      return false;
    }
    intraweb_message = VCore::HtmlEscape(intraweb_message);
    std::string page = BuildWebErrorPage(intraweb_message) + "<br>{%butnOk%}";
    if (VCore::LowerCase(page).find("{%butnok%}") == std::string::npos) page += "{%butnOk%}";
    const std::string folder =
        VCore::Trim(intraweb_template_dir ? intraweb_template_dir(intraweb_controller) : "");
    std::string template_name, tried;
    for (const std::string& path : IntraWebPageCandidates(folder, VCore::TemporaryFolder())) {
      tried = path;
      if (WriteTextFile(page, path)) {
        template_name = RelativeFilePath(folder, path);
        break;
      }
    }
    try {
      if (intraweb_show_message)
        intraweb_show_message(intraweb_application, intraweb_message, 2, template_name);
    } catch (...) {
      ReportLibraryWarning(TVantorLogErrorCode::eeShowError,
                           "IntraWeb: Cannot show the error page.");
    }
    if (template_name.empty())
      ReportLibraryWarning(TVantorLogErrorCode::eeShowError,
                           "IntraWeb: Cannot create the \"" + tried + "\" template.");
    return true;
  } catch (const Exception& e) {
    ReportLibraryWarning(TVantorLogErrorCode::eeShowError, "[IntraWeb] " + e.Message());
  } catch (...) {
    ReportLibraryWarning(TVantorLogErrorCode::eeShowError, "General 'IntraWeb' error.");
  }
  return false;
}

bool IsWebModule() {
  return IsWebExtensionDll() || IsCGIModule() || IsWinCGIModule() || IsIntraWebModule();
}

bool IsGUIProgram() { return !IsWebModule() && !IsConsoleProgram(); }

void SetIsapiControlBlock(TIsapiControlBlock* ecb) { isapi_ecb = ecb; }
TIsapiControlBlock* IsapiControlBlock() { return isapi_ecb; }
bool WebOwnOutput() { return own_output.load(); }

bool SendIsapiResponse(TIsapiControlBlock* ecb, const std::string& page) {
  if (!ecb) {
    ReportLibraryWarning(TVantorLogErrorCode::eeShowError, "ISAPI: ServerECB = nil");
    return false;
  }
  std::string header = WebResponseHeader(false, page.size());
  std::string status = "200 Error";
  std::string body = page;
  own_output = true;
  bool ok = false;
  ecb->dwHttpStatusCode = 200;
  if (ecb->ServerSupportFunction && ecb->WriteClient) {
    unsigned long size = static_cast<unsigned long>(status.size());
    ok = ecb->ServerSupportFunction(ecb->ConnID, kHseReqSendResponseHeader, status.data(), &size,
                                    reinterpret_cast<unsigned long*>(header.data())) != 0;
    unsigned long length = static_cast<unsigned long>(body.size());
    ok = ecb->WriteClient(ecb->ConnID, body.data(), &length, 0) != 0 && ok;
  }
  own_output = false;
  if (!ok) ReportLibraryWarning(TVantorLogErrorCode::eeShowError, "ISAPI: Cannot write the page.");
  return ok;
}

bool SendCGIResponse(const std::string& page) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const bool valid = out != nullptr && out != INVALID_HANDLE_VALUE;
  if (!valid || !WriteAll(out, WebResponseHeader(true, page.size())) || !WriteAll(out, page)) {
    ReportLibraryWarning(TVantorLogErrorCode::eeShowError, "CGI: Cannot write in the ouput file.");
    return false;
  }
  return true;
}

bool SendWinCGIResponse(const std::string& output_file, const std::string& page) {
  HANDLE file = CreateFileA(output_file.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ReportLibraryWarning(TVantorLogErrorCode::eeShowError, "[WinCGI] " + LastErrorText());
    return false;
  }
  // An older, longer answer in the file must not trail the page.
  const bool ok = WriteAll(file, WebResponseHeader(true, page.size())) && WriteAll(file, page) &&
                  SetEndOfFile(file);
  const std::string error = ok ? "" : LastErrorText();
  CloseHandle(file);
  if (!ok) ReportLibraryWarning(TVantorLogErrorCode::eeShowError, "[WinCGI] " + error);
  return ok;
}

bool SendWebErrorResponse(const std::string& page) {
  try {
    if (IsWebExtensionDll()) return SendIsapiResponse(isapi_ecb, page);
    if (IsCGIModule()) return SendCGIResponse(page);
    if (IsWinCGIModule()) return SendWinCGIResponse(wincgi_output_file, page);
    return true;
  } catch (...) {
    ReportLibraryWarning(TVantorLogErrorCode::eeShowError, "[WebResponse] General error.");
    return false;
  }
}

}  // namespace ExceptionLog
