// Figures of the call stacks: a full and a light capture of this thread's stack (a chain of 20
// calls plus whatever lies above), a capture bounded to 102400 bytes over a deep stack, and the
// allocation-stack capture against the leak tracker's own walk. Prints one line per figure.
#include <windows.h>

#include <cstdio>

#include "VCallStack.h"
#include "VCore.h"
#include "VLeaks.h"

namespace {

double Seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int g_entries = 0;

void Figures() {
  const void* top = VCore::StackTopOfThread();
  const void* here = __builtin_frame_address(0);
  for (bool light : {false, true}) {
    const int rounds = 200;
    const double start = Seconds();
    for (int i = 0; i < rounds; ++i) {
      TVantorStackList list;
      ExceptionLog::ScanStackReturnAddresses(list, nullptr, here, top, 0x1F, 0, -1, false, light, 0,
                                             GetCurrentThreadId());
      g_entries = list.Count();
    }
    std::printf("%s capture: %d entries over %u bytes, %.1f us each\n", light ? "light" : "full",
                g_entries,
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(top) -
                                      reinterpret_cast<std::uintptr_t>(here)),
                (Seconds() - start) / rounds * 1e6);
  }
  const int calls = 200000;
  std::uint32_t stack[VLeaks::kStackDepth], frames[VLeaks::kStackDepth];
  const VLeaks::TStackCapture captures[] = {VLeaks::DefaultStackCapture(),
                                            &ExceptionLog::CaptureAllocationStack};
  const char* names[] = {"tracker's own walk", "CaptureAllocationStack"};
  for (int k = 0; k < 2; ++k) {
    const double start = Seconds();
    for (int i = 0; i < calls; ++i) captures[k](here, stack, frames);
    std::printf("allocation stack, %s: %.0f ns each\n", names[k],
                (Seconds() - start) / calls * 1e9);
  }
}

__attribute__((noinline)) int Deep(int n) {
  volatile char pad[64];
  pad[0] = static_cast<char>(n);
  if (n > 0) return Deep(n - 1) + pad[0];
  Figures();
  return 0;
}

// A stack deeper than the scan's limit: 3000 frames of about 100 bytes.
__attribute__((noinline)) int VeryDeep(int n) {
  volatile char pad[64];
  pad[0] = static_cast<char>(n);
  if (n > 0) return VeryDeep(n - 1) + pad[0];
  const void* here = __builtin_frame_address(0);
  const int rounds = 50;
  const double start = Seconds();
  int count = 0;
  for (int i = 0; i < rounds; ++i) {
    auto list = ExceptionLog::BuildCallStack(nullptr, here, VCore::StackTopOfThread(), 0x1F, 0, -1,
                                             false, 0, GetCurrentThreadId());
    count = list->Count();
  }
  std::printf("deep stack (%u bytes), scan bounded to 102400: %d entries, %.1f us each\n",
              static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(VCore::StackTopOfThread()) -
                                    reinterpret_cast<std::uintptr_t>(here)),
              count, (Seconds() - start) / rounds * 1e6);
  return 0;
}

DWORD WINAPI DeepThread(void*) { return static_cast<DWORD>(VeryDeep(3000)); }

}  // namespace

int main() {
  VCore::StartModulesList();
  ExceptionLog::StartCallStacks();
  Deep(20);
  HANDLE thread = CreateThread(nullptr, 4 << 20, &DeepThread, nullptr, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  VCore::StopModulesList();
  return 0;
}
