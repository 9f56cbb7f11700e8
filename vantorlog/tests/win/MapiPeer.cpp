// A Simple MAPI library for the tests: records every call with what it received in the file
// named by VL_MAPI_LOG and answers with the codes VL_MAPI_LOGON_RESULT and VL_MAPI_SEND_RESULT
// (0 when unset). Built from the toolchain's own MAPI declarations.
#include <windows.h>
// (after windows.h, whose types it uses)
#include <mapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HMODULE g_self = nullptr;

std::string Env(const char* name) {
  char buffer[1024];
  const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return n && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

ULONG ResultOf(const char* name) {
  const std::string value = Env(name);
  return value.empty() ? 0 : std::strtoul(value.c_str(), nullptr, 10);
}

// Bytes below 32 as \xNN; null as "(null)".
std::string Text(const char* s) {
  if (!s) return "(null)";
  std::string out;
  for (; *s; ++s) {
    const auto c = static_cast<unsigned char>(*s);
    if (c < 32) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    } else {
      out += *s;
    }
  }
  return out;
}

std::string Pointer(const void* p) { return p ? "set" : "(null)"; }

void Log(const std::string& line) {
  const std::string path = Env("VL_MAPI_LOG");
  if (path.empty()) return;
  if (FILE* f = std::fopen(path.c_str(), "ab")) {
    std::fputs((line + "\n").c_str(), f);
    std::fclose(f);
  }
}

std::string ModuleName() {
  char buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameA(g_self, buffer, sizeof buffer);
  std::string path(buffer, n);
  return path.substr(path.find_last_of("\\/") + 1);
}

constexpr ULONG_PTR kSession = 0x5E551;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_self = instance;
  return TRUE;
}

extern "C" __declspec(dllexport) ULONG WINAPI
    MAPILogon(ULONG_PTR ui_param, LPSTR profile, LPSTR password, FLAGS flags, ULONG reserved,
              LPLHANDLE session) {
  const ULONG result = ResultOf("VL_MAPI_LOGON_RESULT");
  Log("logon module=" + ModuleName() + " ui=" + std::to_string(ui_param) + " profile=" +
      Text(profile) + " password=" + Text(password) + " flags=" + std::to_string(flags) +
      " reserved=" + std::to_string(reserved) + " result=" + std::to_string(result));
  if (session) *session = result == SUCCESS_SUCCESS ? kSession : 0;
  return result;
}

extern "C" __declspec(dllexport) ULONG WINAPI
    MAPILogoff(LHANDLE session, ULONG_PTR ui_param, FLAGS flags, ULONG reserved) {
  Log("logoff session=" + std::to_string(session == kSession) + " ui=" + std::to_string(ui_param) +
      " flags=" + std::to_string(flags) + " reserved=" + std::to_string(reserved));
  return SUCCESS_SUCCESS;
}

extern "C" __declspec(dllexport) ULONG WINAPI
    MAPISendMail(LHANDLE session, ULONG_PTR ui_param, lpMapiMessage message, FLAGS flags,
                 ULONG reserved) {
  const ULONG result = ResultOf("VL_MAPI_SEND_RESULT");
  Log("send session=" + std::to_string(session == kSession) + " ui=" + std::to_string(ui_param) +
      " flags=" + std::to_string(flags) + " reserved=" + std::to_string(reserved) +
      " result=" + std::to_string(result));
  if (!message) {
    Log("message (null)");
    return MAPI_E_FAILURE;
  }
  Log("message reserved=" + std::to_string(message->ulReserved) +
      " type=" + Text(message->lpszMessageType) + " date=" + Text(message->lpszDateReceived) +
      " conversation=" + Text(message->lpszConversationID) + " flags=" +
      std::to_string(message->flFlags) + " originator=" + Pointer(message->lpOriginator) +
      " recipients=" + std::to_string(message->nRecipCount) + " " + Pointer(message->lpRecips) +
      " files=" + std::to_string(message->nFileCount) + " " + Pointer(message->lpFiles));
  Log("subject=" + Text(message->lpszSubject));
  Log("note=" + Text(message->lpszNoteText));
  for (ULONG i = 0; i < message->nRecipCount && message->lpRecips; ++i) {
    const MapiRecipDesc& r = message->lpRecips[i];
    Log("recipient reserved=" + std::to_string(r.ulReserved) +
        " class=" + std::to_string(r.ulRecipClass) + " eid=" + std::to_string(r.ulEIDSize) + " " +
        Pointer(r.lpEntryID) + " name=" + Text(r.lpszName) + " address=" + Text(r.lpszAddress));
  }
  for (ULONG i = 0; i < message->nFileCount && message->lpFiles; ++i) {
    const MapiFileDesc& f = message->lpFiles[i];
    Log("file reserved=" + std::to_string(f.ulReserved) + " flags=" + std::to_string(f.flFlags) +
        " position=" + std::to_string(f.nPosition) + " type=" + Pointer(f.lpFileType) +
        " path=" + Text(f.lpszPathName) + " name=" + Text(f.lpszFileName));
  }
  return result;
}
