#include "VLeakCallbacks.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ExceptionLog.h"
#include "VCallStack.h"
#include "VCore.h"
#include "VLeakReport.h"
#include "VLeaks.h"
#include "VMemory.h"
#include "VModules.h"
#include "VSystem.h"
#include "VThreads.h"
#include "report/VLogFile.h"

namespace ExceptionLog {
namespace {

// The leak processing runs after the program's static objects are gone: the unit's state is
// held by pointers and plain values only.
bool g_installed = false;
TLeakCollector* g_leaks = nullptr;
void RebuildMissingState();
void FreeRebuiltState();
TLeakStateSteps g_state_steps{&RebuildMissingState, &FreeRebuiltState};

// What the default rebuild made (and the default free takes down again).
bool g_made_modules = false;
bool g_made_threads = false;
TVantorModuleOptionsEx* g_made_options = nullptr;

HMODULE OwnModule() { return reinterpret_cast<HMODULE>(VCore::ThisModuleHandle()); }

TVantorModuleOptionsEx* OwnModuleOptions() {
  TVantorModuleInfo* info = VCore::ModuleInfoOfHandle(VCore::ThisModuleHandle());
  return info ? info->Options.get() : nullptr;
}

void RebuildMissingState() {
  // The library's variables were emptied for the leak check: connect the call stacks again.
  StartCallStacks();
  if (!VCore::ModulesList()) {
    VCore::StartModulesList();
    g_made_modules = true;
  }
  TVantorModuleOptionsEx* module_options = OwnModuleOptions();
  const char* saved = VLeaks::TemporaryOptionsFile();
  if (module_options && saved && *saved && VCore::CanOpenFile(saved))
    module_options->ReadFromFile(saved);
  if (!ThreadsList()) {
    CreateProcessThreadsList();
    g_made_threads = true;
  }
  if (!CurrentOptions()) {
    auto options =
        TVantorModuleOptions::Create<TVantorModuleOptionsEx>(VCore::ModuleFileNameOf(OwnModule()));
    if (module_options) options->CopySettings(module_options);
    g_made_options = options.release();
    SetCurrentOptions(g_made_options);
  }
}

void FreeRebuiltState() {
  if (g_made_options) {
    if (CurrentOptions() == g_made_options) SetCurrentOptions(nullptr);
    delete g_made_options;
    g_made_options = nullptr;
  }
  if (g_made_threads) FreeProcessThreadsList();
  if (g_made_modules) VCore::StopModulesList();
  g_made_threads = g_made_modules = false;
  // The library's stop left it for this report only.
  const char* saved = VLeaks::TemporaryOptionsFile();
  if (saved && *saved) DeleteFileA(saved);
}

void FreeLeaks() {
  delete g_leaks;
  g_leaks = nullptr;
}

std::string Text(int index) {
  const TVantorModuleOptions* options = CurrentOptions();
  return options ? options->GetCustomText(index) : VCore::DefaultText(index);
}

// The registers of a report made at a free: the freeing code's return address, stack and frame
// pointers, the others as they are here.
CONTEXT ContextAtFree(const VLeaks::TErrorSite& site) {
  CONTEXT context{};
  RtlCaptureContext(&context);
  context.ContextFlags = kContextFlagsCaptured;
  context.Eip = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(site.ReturnAddress));
  context.Esp = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(site.StackPointer));
  // The freeing code's frame pointer was saved at the bottom of the operator's frame, just
  // below its return address.
  if (site.StackPointer)
    VCore::SafeRead(static_cast<const std::uint8_t*>(site.StackPointer) - 2 * sizeof(void*),
                    &context.Ebp, sizeof context.Ebp);
  return context;
}

// The report of an error found inside a free: processed where the free was called, and then
// the free goes on. Raising would unwind through the memory manager's noexcept operators.
template <class TError>
void ReportFreeError(int text) {
  if (!g_installed) return;
  try {
    const VLeaks::TErrorSite site = VLeaks::ErrorSite();
    TError error(Text(text));
    if (!site.ReturnAddress) {
      const void* here = __builtin_return_address(0);
      CoreExceptionHandler(&error, here, false, nullptr, 0, 0, OwnModule(), 0, nullptr, nullptr,
                           VCore::CurrentStackPointer(), nullptr);
      return;
    }
    // The address reported is the call that freed.
    const auto ret = reinterpret_cast<std::uintptr_t>(site.ReturnAddress);
    TCallSite call;
    const bool found = FindCallBefore(
        ret,
        [](std::uintptr_t address, void* buffer, std::size_t size) {
          return VCore::SafeRead(reinterpret_cast<const void*>(address), buffer, size);
        },
        call);
    CONTEXT context = ContextAtFree(site);
    if (found) context.Eip = static_cast<DWORD>(call.Address);
    CoreExceptionHandler(&error, reinterpret_cast<const void*>(context.Eip), false, nullptr, 0, 0,
                         OwnModule(), 0, nullptr, &context, site.StackPointer, nullptr);
  } catch (...) {
    // nothing leaves the memory manager
  }
}

}  // namespace

TLeakStateSteps& LeakStateSteps() { return g_state_steps; }
bool LeakCallbacksInstalled() { return g_installed; }

void InstallLeakCallbacks() {
  VLeaks::TLeakCallbacks callbacks = VLeaks::Callbacks();
  callbacks.Overrun = &RaiseMemoryOverrun;
  callbacks.MultipleFree = &RaiseMultiFree;
  callbacks.BeforeFirstLeak = &Internal_ResetLeaks;
  callbacks.AfterLastLeak = &Internal_ShowLeaks;
  callbacks.OneLeak = &Internal_AddLeak;
  VLeaks::SetCallbacks(callbacks);
  VLeaks::SetTemporaryOptionsFile(
      TempOptionsFileName(GetCurrentProcessId(), VCore::ThisModuleHandle()).c_str());
  g_installed = true;
}

void Internal_ResetLeaks() {
  if (!g_installed) return;
  // The runtime's string and class units of this platform keep no state of their own to set
  // up again: the component library's strings and classes are C++ types.
  SetHooksActive(true);
  try {
    FreeLeaks();
    g_leaks = new TLeakCollector;
    if (g_state_steps.Rebuild) g_state_steps.Rebuild();
  } catch (...) {
    ReportInternalError("Internal_ResetLeaks");
  }
}

void Internal_AddLeak(const char* type_name, std::uint32_t size, std::uint32_t count,
                      const std::uint32_t* addresses) {
  if (!g_installed || !g_leaks || !addresses) return;
  try {
    std::vector<std::unique_ptr<TAddressLocation>> located;
    for (std::size_t i = 0; i < VLeaks::kStackDepth; ++i) {
      if (addresses[i] == 0) continue;
      auto location = std::make_unique<TAddressLocation>();
      GetAddressLocation(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(addresses[i])),
                         0, *location, i == 0, 0);
      located.push_back(std::move(location));
    }
    g_leaks->Add(type_name ? type_name : "", size, count, addresses[0], std::move(located));
  } catch (...) {
    ReportInternalError("Internal_AddLeak");
  }
}

void Internal_ShowLeaks() {
  if (!g_installed) return;
  if (g_leaks && g_leaks->HasLeaks()) {
    try {
      SetEventsSwitchedOff(true);
      // No assembler and CPU sections: the registers are not those of a leak.
      if (TVantorModuleOptions* options = CurrentOptions()) options->FLogFlags &= ~0x20;
      if (TVantorModuleOptionsEx* options = OwnModuleOptions()) options->FLogFlags &= ~0x20;
      auto leak = std::make_unique<EMemoryLeak>(g_leaks->Message(Text(105), Text(108), Text(109)));
      CoreExceptionHandler(leak.get(), g_leaks->Address(), false, &g_leaks->List(), 0, 0,
                           OwnModule(), 0, nullptr, nullptr, nullptr, nullptr);
    } catch (...) {
      ReportInternalError("Internal_ShowLeaks");
    }
  }
  // The library is gone for good from here on.
  SetHooksActive(false);
  try {
    FreeLeaks();
    if (g_state_steps.Free) g_state_steps.Free();
  } catch (...) {
    MessageBoxA(nullptr, "Error in Internal_ShowLeaks Finalization.", "Error", 0x242030);
  }
}

void RaiseMemoryOverrun() { ReportFreeError<EMemoryOverrun>(155); }
void RaiseMultiFree() { ReportFreeError<EMultiFree>(154); }

}  // namespace ExceptionLog
