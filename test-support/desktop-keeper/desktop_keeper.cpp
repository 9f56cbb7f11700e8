// Keeps Wine's desktop open for a whole test run. The server closes a desktop a moment after
// its last program has gone; between two Wine tests that can happen, and the next tests then
// race to start a new one. This program holds a hidden window until the server stops.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  HWND window = CreateWindowExW(0, L"STATIC", L"desktop keeper", WS_POPUP, 0, 0, 1, 1, nullptr,
                                nullptr, instance, nullptr);
  if (!window) return 1;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
