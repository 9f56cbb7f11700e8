// Throws that nothing catches, for the peer that checks how the process ends and what the
// core handler hook was given. Usage: vantorlog_raise_child <mode>. The hook prints
// "core <kind> <language> <class> <eip>" and returns; the throw then goes on as it would.
#include <process.h>
#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "VClassModel.h"
#include "VThreads.h"
#include "core/ExceptionLog.h"

namespace {

class EUnrelated : public Exception {
 public:
  using Exception::Exception;
};

bool PrintReached(void* object, const void*, bool language, BYTE kind, HMODULE) {
  const ThreadExceptionState* state = ExceptionLog::CurrentThreadState();
  std::printf("core %u %d %s %08lX\n", kind, language ? 1 : 0,
              VCore::ClassNameOf(VCore::ClassOfObject(object)).c_str(),
              state ? static_cast<unsigned long>(state->Context.Eip) : 0ul);
  std::fflush(stdout);
  return true;
}

[[gnu::noinline]] void Throw() {
  throw EConvertError("nobody takes it");  // throw-site
}

[[gnu::noinline]] void ThroughNoexcept() noexcept { Throw(); }

unsigned __stdcall ThreadThrow(void*) {
  Throw();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  ExceptionLog::CreateProcessThreadsList();
  ExceptionLog::StartLibrary({});
  ExceptionLog::SetCoreExceptionHandler(PrintReached);
  ExceptionLog::SetHooksActive(true);
  std::printf("start\n");
  std::fflush(stdout);
  if (mode == "caught") {
    try {
      Throw();
    } catch (const Exception&) {
    }
  } else if (mode == "uncaught") {
    Throw();
  } else if (mode == "unrelated") {
    try {
      Throw();
    } catch (const EUnrelated&) {
      std::printf("wrong handler\n");
    }
  } else if (mode == "noexcept") {
    try {
      ThroughNoexcept();
    } catch (...) {
      std::printf("caught past noexcept\n");
    }
  } else if (mode == "rethrow") {
    try {
      Throw();
    } catch (...) {
      std::printf("caught once\n");
      std::fflush(stdout);
      throw;  // rethrow-site
    }
  } else if (mode == "beginthreadex") {
    HANDLE h =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ThreadThrow, nullptr, 0, nullptr));
    WaitForSingleObject(h, 60000);
  } else {
    return 2;
  }
  std::printf("end\n");
  return 0;
}
