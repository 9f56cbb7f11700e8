// A library that carries its own copy of the exception library: its handler objects and
// global handlers report to the test program's trail, and it can act as a secondary module
// whose hooks forward to the program's exports.
#include <windows.h>

#include <cstring>
#include <string>

#include "Classes.h"
#include "EventsLibraryApi.h"
#include "core/ExceptionLog.h"
#include "core/VClassModel.h"
#include "core/VThreads.h"

namespace {

TEventsTrail g_trail = nullptr;
TVantorLogHandler g_first, g_second;
unsigned char g_raw[36];
char g_object_class[64];
char g_report_text[64];

void Note(const std::string& text) {
  if (g_trail) g_trail(text.c_str());
}

// Every receiver notes "dll:<receiver>:<event>:<value it saw>" and leaves its mark.
void Fill(TVantorLogHandler& h, const std::string& who) {
  h.ExceptionNotify = [who](const TVantorExceptionRecord& c, bool& handle) {
    std::memcpy(g_raw, &c, sizeof g_raw);
    const std::string name = VCore::ClassNameOf(VCore::ClassOfObject(c.ExceptionObject));
    lstrcpynA(g_object_class, name.c_str(), sizeof g_object_class);
    lstrcpynA(g_report_text, c.ReportText.Chars(), sizeof g_report_text);
    Note("dll:" + who + ":notify:" + std::to_string(handle));
    handle = false;
  };
  h.HandledExceptionNotify = [who](const TVantorExceptionRecord&, bool& handle) {
    Note("dll:" + who + ":handled:" + std::to_string(handle));
    handle = false;
  };
  h.ExceptionActionNotify = [who](const TVantorExceptionRecord&, int action, bool& argument) {
    Note("dll:" + who + ":action" + std::to_string(action) + ":" + std::to_string(argument));
    argument = false;
  };
  h.ExceptionErrorNotify = [who](const TVantorExceptionRecord&, TVantorLogErrorCode error,
                                 bool& retry) {
    Note("dll:" + who + ":error" + std::to_string(static_cast<int>(error)) + ":" +
         std::to_string(retry));
    retry = true;
  };
  h.PasswordRequest = [who](const TVantorExceptionRecord&, std::string& password) {
    Note("dll:" + who + ":password:" + password);
    password += "d";
  };
  h.CustomDataRequest = [who](const TVantorExceptionRecord&, TStrings& list) {
    Note("dll:" + who + ":custom:" + std::to_string(list.Count()));
    list.Add("dll" + who + "=1");
  };
  h.AttachedFilesRequest = [who](const TVantorExceptionRecord&, TStrings& list) {
    Note("dll:" + who + ":files:" + std::to_string(list.Count()));
    list.Add("dll" + who + ".txt");
  };
  h.CustomWebFieldsRequest = [who](const TVantorExceptionRecord&, TStrings& list) {
    Note("dll:" + who + ":web:" + std::to_string(list.Count()));
    list.Add("dll" + who + "=web");
  };
  h.CustomButtonClick = [who](const TVantorExceptionRecord&, bool& close) {
    Note("dll:" + who + ":button:" + std::to_string(close));
    close = false;
  };
}

void GlobalNotify(const TVantorExceptionRecord&, bool& handle) {
  Note("dll:global:notify:" + std::to_string(handle));
}

void SetTrail(TEventsTrail trail) { g_trail = trail; }

void Install() {
  Fill(g_first, "first");
  Fill(g_second, "second");
  ExceptionLog::RegisterHandler(&g_first);
  ExceptionLog::RegisterHandler(&g_second);
  ExceptionLog::GlobalHandlers().ExceptionNotify = GlobalNotify;
}

const unsigned char* RawContext() { return g_raw; }
const char* ObjectClass() { return g_object_class; }
const char* ReportText() { return g_report_text; }
bool LastKnownObjectCleared() { return ExceptionLog::LastException().KnownObject == nullptr; }

void StartSecondary() {
  ExceptionLog::SetSecondaryModule(true);
  ExceptionLog::CreateProcessThreadsList();
  ExceptionLog::SetHooksActive(true);
}

void StopSecondary() {
  ExceptionLog::SetHooksActive(false);
  ExceptionLog::FreeProcessThreadsList();
  ExceptionLog::SetSecondaryModule(false);
}

void Raise(DWORD code, DWORD flags, DWORD count, const void* stack_position,
           const ULONG_PTR* arguments) {
  if (ThreadExceptionState* state = ExceptionLog::CurrentThreadState())
    state->HookStackPosition = stack_position;
  ExceptionLog::CaptureRuntimeRaise(code, flags, count, true, arguments);
}

void Convert(const EXCEPTION_RECORD* record, const CONTEXT* context) {
  ExceptionLog::CallExceptObject(record, context, true);
}

HANDLE CreateThreadHooked(LPTHREAD_START_ROUTINE start, void* parameter, DWORD* id) {
  return ExceptionLog::HookedCreateThread(nullptr, 0, start, parameter, 0, id);
}

void ExitThreadHooked(DWORD code) { ExceptionLog::HookedExitThread(code); }

const TEventsLibraryApi kApi = {SetTrail,
                                Install,
                                RawContext,
                                ObjectClass,
                                ReportText,
                                LastKnownObjectCleared,
                                StartSecondary,
                                StopSecondary,
                                Raise,
                                Convert,
                                CreateThreadHooked,
                                ExitThreadHooked};

}  // namespace

extern "C" __declspec(dllexport) const TEventsLibraryApi* EventsLibraryApi() { return &kApi; }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
