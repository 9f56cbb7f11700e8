// Core half of the library's own unit: the module options with shared-block publication, the
// current options, exception filter matching and the guarded start-up steps.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "SysUtils.h"
#include "VOptions.h"

// An exception that carries the class names of a foreign object model; filters match it by
// those names (exact, case-sensitive).
class TActiveXException : public Exception {
 public:
  TActiveXException(std::string message, std::vector<std::string> class_names)
      : Exception(std::move(message)), ClassNames(std::move(class_names)) {}
  std::vector<std::string> ClassNames;
};

// Options of a module inside the library: every announced change is published to the
// module's shared block, and SyncShared reloads from it.
class TVantorModuleOptionsEx : public TVantorModuleOptions {
 public:
  void SetLibraryActive(bool value) override;
  void SetHangCheck(bool value) override;
  void NotifyChanged() override;
  void SyncShared() override;

  // Called after the two virtual setters (the freeze watchdog and start-up react to them).
  std::function<void(TVantorModuleOptionsEx&)> OnLibraryActiveChanged;
  std::function<void(TVantorModuleOptionsEx&)> OnHangCheckChanged;
  int PublishCount() const { return publish_count_; }

 protected:
  using TVantorModuleOptions::TVantorModuleOptions;
  friend class TVantorModuleOptions;

 private:
  int publish_count_ = 0;
};

namespace ExceptionLog {

// The options of the module the library runs in (nullptr before start-up).
TVantorModuleOptions* CurrentOptions();
void SetCurrentOptions(TVantorModuleOptions* options);

// Index of the first active filter of the options that matches the exception object (a pointer
// to the thrown object) for a notification kind; -1 when none does.
int MatchExceptionFilter(const TVantorModuleOptions& options, const void* exception_object,
                         int notify_kind);
int MatchExceptionFilter(const void* exception_object, int notify_kind);

// Runs a step; an exception inside is caught, reported with the label ("VCore.Init") to the
// debugger output, and gives false.
bool GuardedCall(const std::string& label, const std::function<void()>& step);
// Where GuardedCall reports (the debugger output by default); tests replace it.
void SetGuardedCallReporter(std::function<void(const std::string& label, const std::string& what)>);

// One unit's start-up and shut-down.
struct TUnitEntry {
  std::string name;
  std::function<void()> init;
  std::function<void()> done;
};
// Initialises the units in order under "<name>.Init". A failing step is reported, the rest is
// skipped and the library stays inactive: the host program goes on. Returns true when all ran.
bool StartLibrary(const std::vector<TUnitEntry>& units);
// Finalises the initialised units in reverse order under "<name>.Done".
void StopLibrary();
bool IsLibraryActive();

}  // namespace ExceptionLog
