// An ISAPI extension DLL of the web error page tests: answers every request with the page of a
// fixed report through the server's control block.
#include <windows.h>

#include "VWebErrorPage.h"

extern "C" __declspec(dllexport) DWORD
    __stdcall HttpExtensionProc(ExceptionLog::TIsapiControlBlock* ecb) {
  ExceptionLog::SetIsapiControlBlock(ecb);
  if (!ExceptionLog::IsWebExtensionDll() || !ExceptionLog::IsWebModule() ||
      ExceptionLog::IsGUIProgram())
    return 4;  // HSE_STATUS_ERROR
  const bool sent = ExceptionLog::SendWebErrorResponse(ExceptionLog::ReportAsHtml("r<1>", false));
  ExceptionLog::SetIsapiControlBlock(nullptr);
  return sent ? 1 : 4;  // HSE_STATUS_SUCCESS
}
