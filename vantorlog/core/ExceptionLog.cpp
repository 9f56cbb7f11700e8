#include "ExceptionLog.h"

#include <cstdio>
#include <typeinfo>

#include "VClassModel.h"
#include "VTextUtils.h"
#ifdef _WIN32
#include <windows.h>

#include "VSharedBlock.h"
#endif

void TVantorModuleOptionsEx::SetLibraryActive(bool value) {
  TVantorModuleOptions::SetLibraryActive(value);
  if (OnLibraryActiveChanged) OnLibraryActiveChanged(*this);
}

void TVantorModuleOptionsEx::SetHangCheck(bool value) {
  TVantorModuleOptions::SetHangCheck(value);
  if (OnHangCheckChanged) OnHangCheckChanged(*this);
}

void TVantorModuleOptionsEx::NotifyChanged() {
  ++publish_count_;
#ifdef _WIN32
  VCore::PublishToSharedBlock(*this);
#endif
}

void TVantorModuleOptionsEx::SyncShared() {
#ifdef _WIN32
  VCore::ReloadFromSharedBlock(*this);
#endif
}

namespace ExceptionLog {
namespace {

TVantorModuleOptions* g_current_options = nullptr;
bool g_library_active = false;
std::vector<const TUnitEntry*> g_started;
std::vector<TUnitEntry> g_units;

void DefaultReporter(const std::string& label, const std::string& what) {
  const std::string line = "VantorLog: " + label + ": " + what;
#ifdef _WIN32
  OutputDebugStringA(line.c_str());
#else
  std::fprintf(stderr, "%s\n", line.c_str());
#endif
}

std::function<void(const std::string&, const std::string&)> g_reporter = DefaultReporter;

bool KindAllows(std::uint8_t match_kind, int notify_kind) {
  switch (match_kind) {
    case 0:
      return true;
    case 1:
      return notify_kind != 0;
    case 2:
      return notify_kind == 0;
    default:
      return false;
  }
}

}  // namespace

TVantorModuleOptions* CurrentOptions() { return g_current_options; }
void SetCurrentOptions(TVantorModuleOptions* options) { g_current_options = options; }

int MatchExceptionFilter(const TVantorModuleOptions& options, const void* exception_object,
                         int notify_kind) {
  const TVantorExceptionsFilters& filters = *options.FFilters;
  const auto* activex = VCore::ObjectAs<TActiveXException>(exception_object);
  for (int i = 0; i < filters.Count(); ++i) {
    const TVantorExceptionFilter& f = *filters.GetFilter(i);
    if (!f.Active) continue;
    if (activex) {
      for (const std::string& name : activex->ClassNames)
        if (name == f.ExceptionClassName) return i;
      continue;
    }
    if (KindAllows(f.MatchKind, notify_kind) &&
        VCore::InheritsFromClassName(exception_object, f.ExceptionClassName))
      return i;
  }
  return -1;
}

int MatchExceptionFilter(const void* exception_object, int notify_kind) {
  return g_current_options ? MatchExceptionFilter(*g_current_options, exception_object, notify_kind)
                           : -1;
}

bool GuardedCall(const std::string& label, const std::function<void()>& step) {
  try {
    step();
    return true;
  } catch (const Exception& e) {
    g_reporter(label, e.Message());
  } catch (const std::exception& e) {
    g_reporter(label, e.what());
  } catch (...) {
    g_reporter(label, "unknown exception");
  }
  return false;
}

void SetGuardedCallReporter(
    std::function<void(const std::string& label, const std::string& what)> reporter) {
  g_reporter = reporter ? std::move(reporter) : DefaultReporter;
}

bool StartLibrary(const std::vector<TUnitEntry>& units) {
  StopLibrary();
  g_units = units;
  for (const TUnitEntry& unit : g_units) {
    if (unit.init && !GuardedCall(unit.name + ".Init", unit.init)) {
      g_started.push_back(&unit);  // its Done may free what it made before failing
      g_library_active = false;
      if (g_current_options) g_current_options->SetLibraryActive(false);
      return false;
    }
    g_started.push_back(&unit);
  }
  g_library_active = true;
  return true;
}

void StopLibrary() {
  for (auto it = g_started.rbegin(); it != g_started.rend(); ++it)
    if ((*it)->done) GuardedCall((*it)->name + ".Done", (*it)->done);
  g_started.clear();
  g_units.clear();
  g_library_active = false;
}

bool IsLibraryActive() { return g_library_active; }

}  // namespace ExceptionLog
