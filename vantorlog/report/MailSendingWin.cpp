// The senders through the user's mail program: Simple MAPI, loaded by name at run time, and
// the registered "mailto:" handler started as a process.
#include <windows.h>

#include <memory>

#include "MailSending.h"
#include "SendData.h"
#include "SendTransports.h"
#include "VCore.h"
#include "VThreads.h"
#include "core/ExceptionLog.h"

namespace ExceptionLog {

namespace {

// The Simple MAPI records as the interface publishes them (32-bit fields and pointers).
struct TMapiRecipDesc {
  ULONG ulReserved;
  ULONG ulRecipClass;
  LPSTR lpszName;
  LPSTR lpszAddress;
  ULONG ulEIDSize;
  LPVOID lpEntryID;
};

struct TMapiFileDesc {
  ULONG ulReserved;
  ULONG flFlags;
  ULONG nPosition;
  LPSTR lpszPathName;
  LPSTR lpszFileName;
  LPVOID lpFileType;
};

struct TMapiMessage {
  ULONG ulReserved;
  LPSTR lpszSubject;
  LPSTR lpszNoteText;
  LPSTR lpszMessageType;
  LPSTR lpszDateReceived;
  LPSTR lpszConversationID;
  ULONG flFlags;
  TMapiRecipDesc* lpOriginator;
  ULONG nRecipCount;
  TMapiRecipDesc* lpRecips;
  ULONG nFileCount;
  TMapiFileDesc* lpFiles;
};

using TMapiLogon = ULONG(WINAPI*)(ULONG_PTR ui_param, LPSTR profile, LPSTR password, ULONG flags,
                                  ULONG reserved, ULONG_PTR* session);
using TMapiLogoff = ULONG(WINAPI*)(ULONG_PTR session, ULONG_PTR ui_param, ULONG flags,
                                   ULONG reserved);
using TMapiSendMail = ULONG(WINAPI*)(ULONG_PTR session, ULONG_PTR ui_param, TMapiMessage* message,
                                     ULONG flags, ULONG reserved);

constexpr ULONG kMapiTo = 1;
constexpr ULONG kMapiLogonUi = 0x1;
constexpr ULONG kMapiDialog = 0x8;
constexpr ULONG kMapiSuccess = 0;
constexpr ULONG kMapiUserAbort = 1;

void Warn(const TMailClientSettings& settings, int code, const std::string& message) {
  if (settings.warning)
    settings.warning(code, message);
  else
    ReportLibraryWarning(static_cast<TVantorLogErrorCode>(code), message);
}

std::string FullPathOf(const std::string& path) {
  char buffer[MAX_PATH * 2];
  char* name = nullptr;
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, &name);
  if (n == 0 || n >= sizeof buffer) return path;
  return std::string(buffer, n);
}

bool IsExistingFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

HWND OwnerWindow() {
  const DWORD main_thread = ExceptionLog::MainThreadID();
  if (main_thread == 0 || GetCurrentThreadId() != main_thread) return nullptr;
  return FindMainWindowOfProcess(GetCurrentProcessId());
}

std::string MailClientDllPath(HKEY root) {
  const std::string client = VCore::RegReadValue(root, "SOFTWARE\\Clients\\Mail", "");
  if (client.empty()) return {};
  return VCore::RegReadValue(root, "SOFTWARE\\Clients\\Mail\\" + client, "DLLPath");
}

struct TLibraryCloser {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using TLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, TLibraryCloser>;

std::string SystemMessage(DWORD error) {
  char* buffer = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = n && buffer ? VCore::Trim(std::string(buffer, n)) : std::string();
  if (buffer) LocalFree(buffer);
  if (text.empty()) text = "System error " + std::to_string(error) + ".";
  return text;
}

bool SendViaMapi(const std::string& recipients, const std::string& subject, const std::string& text,
                 const std::vector<std::string>& files, const std::vector<std::string>& extra_files,
                 const TMailClientSettings& settings) {
  const std::string expanded_subject = FlattenControlChars(VCore::ExpandEnvRefs(subject));
  std::string note_text = VCore::ExpandEnvRefs(text);
  const std::vector<std::string> addresses = SplitRecipients(recipients);
  for (const std::string& address : addresses)
    if (!MapiRecipientFits(address)) {
      Warn(settings, kMailMapiWarning, "Cannot send the MAPI message.");
      return false;
    }

  TLibrary library;
  const std::string dll_path = MapiLibraryPath();
  if (!dll_path.empty()) library.reset(LoadLibraryA(dll_path.c_str()));
  if (!library) library.reset(LoadLibraryA("mapi32.dll"));
  if (!library) {
    Warn(settings, kMailMapiWarning, "Cannot open the MAPI dll.");
    return false;
  }
  const auto logon = reinterpret_cast<TMapiLogon>(
      reinterpret_cast<void*>(GetProcAddress(library.get(), "MAPILogon")));
  const auto logoff = reinterpret_cast<TMapiLogoff>(
      reinterpret_cast<void*>(GetProcAddress(library.get(), "MAPILogoff")));
  const auto send_mail = reinterpret_cast<TMapiSendMail>(
      reinterpret_cast<void*>(GetProcAddress(library.get(), "MAPISendMail")));
  if (!logon || !logoff || !send_mail) {
    Warn(settings, kMailMapiWarning, "Cannot found the MAPI functions.");
    return false;
  }

  const auto owner = reinterpret_cast<ULONG_PTR>(OwnerWindow());
  ULONG_PTR session = 0;
  if (logon(owner, nullptr, nullptr, kMapiLogonUi, 0, &session) != kMapiSuccess) {
    Warn(settings, kMailMapiWarning, "Cannot LogOn into the MAPI service.");
    return false;
  }
  // Logged on: log off again whatever happens below (the library is freed by its holder).
  struct TLogoff {
    TMapiLogoff logoff;
    ULONG_PTR session, owner;
    ~TLogoff() { logoff(session, owner, 0, 0); }
  } logoff_guard{logoff, session, owner};

  std::vector<std::string> paths, names;
  for (const auto* list : {&extra_files, &files})
    for (const std::string& file : *list) {
      if (file.empty() || !IsExistingFile(file)) continue;
      paths.push_back(FullPathOf(file));
      names.push_back(settings.report_file_name ? settings.report_file_name(file)
                                                : VCore::ExtractFileName(file));
    }
  std::vector<TMapiFileDesc> file_descs(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i)
    file_descs[i] = {0, 0, 0xFFFFFFFFu, paths[i].data(), names[i].data(), nullptr};

  std::vector<std::string> recipient_names(addresses), recipient_addresses;
  for (const std::string& address : addresses)
    recipient_addresses.push_back(MapiAddressOf(address));
  std::vector<TMapiRecipDesc> recipient_descs(addresses.size());
  for (std::size_t i = 0; i < addresses.size(); ++i)
    recipient_descs[i] = {0, kMapiTo, recipient_names[i].data(), recipient_addresses[i].data(),
                          0, nullptr};

  std::string message_subject = expanded_subject;
  TMapiMessage message{};
  message.lpszSubject = message_subject.data();
  message.lpszNoteText = note_text.data();
  message.nRecipCount = static_cast<ULONG>(recipient_descs.size());
  message.lpRecips = recipient_descs.empty() ? nullptr : recipient_descs.data();
  message.nFileCount = static_cast<ULONG>(file_descs.size());
  message.lpFiles = file_descs.empty() ? nullptr : file_descs.data();

  const ULONG flags = kMapiLogonUi | ((settings.send_flags & 1) ? kMapiDialog : 0);
  const ULONG result = send_mail(session, owner, &message, flags, 0);
  if (result == kMapiSuccess) return true;
  // A cancelled compose window sends nothing: not sent, and no reason to try the mail program.
  if (result == kMapiUserAbort) {
    if (settings.cancelled) *settings.cancelled = true;
    return false;
  }
  Warn(settings, kMailMapiWarning, "Cannot send the MAPI message.");
  return false;
}

bool SendViaShell(const std::string& recipients, const std::string& subject,
                  const std::string& text, const std::string& report_text,
                  const TMailClientSettings& settings) {
  const std::string expanded_subject = VCore::ExpandEnvRefs(subject);
  const std::string expanded_text = VCore::ExpandEnvRefs(text);
  const std::string command = VCore::ExpandEnvRefs(
      VCore::RegReadValue(HKEY_CLASSES_ROOT, "\\mailto\\shell\\open\\command", ""));
  std::string line = MailtoCommandLine(command, recipients, expanded_subject,
                                       MailtoFullText(expanded_text, report_text));
  line.push_back('\0');

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWMAXIMIZED;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE,
                      CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                      &process)) {
    Warn(settings, kMailShellWarning, SystemMessage(GetLastError()));
    return false;
  }
  WaitForInputIdle(process.hProcess, 10000);
  Sleep(2000);
  if (const HWND window = FindMainWindowOfProcess(process.dwProcessId))
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  // The wait is bounded (the processing lock is held meanwhile); a mail program that is still
  // open then has the message and counts as started well.
  const DWORD waited = WaitForSingleObject(process.hProcess, settings.shell_wait_ms);
  DWORD exit_code = 0;
  const bool sent = waited == WAIT_TIMEOUT ||
                    (waited == WAIT_OBJECT_0 && GetExitCodeProcess(process.hProcess, &exit_code));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return sent;
}

}  // namespace

TMailClientSettings DefaultMailClientSettings() {
  TMailClientSettings settings;
  if (const TVantorModuleOptions* options = CurrentOptions())
    settings.send_flags = options->FSendFlags;
  const TSendHooks& hooks = SendHooks();
  settings.report_file_name = hooks.ReportFileName;
  if (hooks.Warning)
    settings.warning = [warning = hooks.Warning](int code, const std::string& message) {
      warning(static_cast<std::uint8_t>(code), message);
    };
  return settings;
}

std::string MapiLibraryPath() {
  std::string path = MailClientDllPath(HKEY_CURRENT_USER);
  if (path.empty()) path = MailClientDllPath(HKEY_LOCAL_MACHINE);
  return VCore::ExpandEnvRefs(path);
}

bool SendMailViaMAPI(const std::string& recipients, const std::string& subject,
                     const std::string& text, const std::vector<std::string>& files,
                     const std::vector<std::string>& extra_files,
                     const TMailClientSettings& settings) {
  try {
    return SendViaMapi(recipients, subject, text, files, extra_files, settings);
  } catch (...) {
    Warn(settings, kMailMapiWarning, "Cannot send the MAPI message.");
    return false;
  }
}

bool SendMAPIMailWithFileList(const std::string& recipients, const std::string& subject,
                              const std::string& text, const std::string& files_text,
                              const TMailClientSettings& settings) {
  try {
    return SendMailViaMAPI(recipients, subject, text, VCore::SplitByChars(files_text, ",;"), {},
                           settings);
  } catch (...) {
    return false;
  }
}

bool SendMailViaShell(const std::string& recipients, const std::string& subject,
                      const std::string& text, const std::string& report_text,
                      const TMailClientSettings& settings) {
  try {
    return SendViaShell(recipients, subject, text, report_text, settings);
  } catch (...) {
    Warn(settings, kMailShellWarning, SystemMessage(ERROR_NOT_ENOUGH_MEMORY));
    return false;
  }
}

}  // namespace ExceptionLog
