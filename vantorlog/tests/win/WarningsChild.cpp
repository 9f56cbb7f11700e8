// Library warnings, internal errors and guarded calls of a program, for a test that runs it
// under its own debugger loop. Message boxes are answered Yes and reported as debugger output
// "BOX|caption|flags|text"; facts the test needs come the same way.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "SysUtils.h"
#include "core/ExceptionLog.h"
#include "core/VCallStack.h"
#include "core/VModules.h"

namespace {

void Say(const std::string& text) { OutputDebugStringA(text.c_str()); }

std::string Hex8(const void* p) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p)));
  return text;
}

int AnswerYes(HWND, const char* text, const char* caption, UINT flags) {
  char head[32];
  std::snprintf(head, sizeof head, "|%08X|", flags);
  Say(std::string("BOX|") + caption + head + text);
  return IDYES;
}

// The mail client fails, so the manual way is shown.
bool FailingMailer(const std::string& file, const std::string& address,
                   const std::string& subject) {
  Say("MAIL|" + file + "|" + address + "|" + subject);
  return false;
}

unsigned char g_bytes[40];

void FailingInit() { throw Exception("init failed"); }

void Warnings() {
  ExceptionLog::CurrentExceptionContext().ExceptionAddress = reinterpret_cast<void*>(0x00401234);
  ReportLibraryWarning(TVantorLogErrorCode::eeEmailMAPIError, "mapi down");
  ReportLibraryWarning(TVantorLogErrorCode::eeEmailSMTPError, "smtp down");
  ExceptionLog::SetSendProgressOpen(true);
  ReportLibraryWarning(TVantorLogErrorCode::eeEmailShellError, "shell down");
  ReportLibraryWarning(TVantorLogErrorCode::eeWebTrakerError, "tracker down");
  ExceptionLog::SetSendProgressOpen(false);
  Say("LAST|" + ErrorCodeName(LastWarningCode()) + "|" + LastWarningMessage());
  ClearLibraryWarning();
  Say("LAST|" + ErrorCodeName(LastWarningCode()) + "|" + LastWarningMessage());
  Exception full("disk full");
  ExceptionLog::CurrentExceptionContext().ExceptionObject = &full;
  ExceptionLog::ReportSectionWarning(TVantorLogErrorCode::eeLogError, "Log");
  ExceptionLog::CurrentExceptionContext().ExceptionObject = nullptr;
  ExceptionLog::ReportSectionWarning(TVantorLogErrorCode::eeLogError, "Log");
}

}  // namespace

int main(int argc, char** argv) {
  ExceptionLog::SetMessageBoxHook(AnswerYes);
  ExceptionLog::SetBugMailer(FailingMailer);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "warnings") {
    Warnings();
  } else if (mode == "internal-dump") {
    // A language raise's address is 5 bytes past its call: the dump starts at the call.
    for (int i = 0; i < 40; ++i) g_bytes[i] = static_cast<unsigned char>(i);
    Say("BYTES|" + Hex8(g_bytes));
    Say("BASE|" + Hex8(GetModuleHandleA(nullptr)));
    // As the library's start-up does: call stacks and the modules list.
    ExceptionLog::StartCallStacks();
    VCore::StartModulesList();
    Exception boom("boom");
    ExceptionLog::ReportInternalErrorOf("Section2", &boom, g_bytes + 5);
  } else if (mode == "internal-unreadable") {
    auto* page = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    VirtualFree(page + 4096, 4096, MEM_DECOMMIT);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    EAccessViolation fault("Access violation", &record);
    // 16 readable bytes, then a page that is not.
    ExceptionLog::ReportInternalErrorOf("Section3", &fault, page + 4096 - 16);
  } else if (mode == "handled") {
    try {
      throw Exception("inside a catch");
    } catch (...) {
      ExceptionLog::ReportInternalError("Section4");
    }
  } else if (mode == "guarded") {
    Say("STEP|" + Hex8(reinterpret_cast<void*>(&FailingInit)));
    VCore::SetErrorHook(ExceptionLog::ReportInternalError);
    const bool ran = VCore::GuardedCall(FailingInit, "Unit.Init");
    VCore::SetErrorHook(nullptr);
    const bool done = VCore::GuardedCall([] { throw Exception("done failed"); }, "Unit.Done");
    Say("ALIVE|" + std::to_string(ran) + std::to_string(done));
  } else {
    return 2;
  }
  return 0;
}
