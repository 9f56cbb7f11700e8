// The library's state as its start makes it, for the test programs that drive its pieces by
// hand: the threads list with the calling thread as the main thread, the units, call stacks,
// the modules list, current options that show every item of a report, and the processing
// connected to the hooks.
#pragma once

#include <memory>

#include "VCallStack.h"
#include "VModules.h"
#include "VThreads.h"
#include "core/ExceptionLog.h"

inline std::unique_ptr<TVantorModuleOptionsEx> StartLibraryByHand() {
  ExceptionLog::CreateProcessThreadsList();
  ExceptionLog::StartLibrary({});
  ExceptionLog::StartCallStacks();
  VCore::StartModulesList();
  auto options = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
  options->FDialogShowFlags.fill(0xFF);
  ExceptionLog::SetCurrentOptions(options.get());
  ExceptionLog::StartExceptionProcessing();
  ExceptionLog::SetHooksActive(true);
  return options;
}
