// Shows a window of known colours with a focused edit, takes the library's screenshot and saves
// it as a PNG; png_peer.py checks the file.
// Usage: screenshot_child window|desktop <png> <facts file>
//  window:  send flag 0x20, the foreground window alone (read through its own DC);
//  desktop: the monitors under the process's windows (the test prefix's null graphics driver
//           shows a black screen there; the frame and the cursor are still painted).
// The facts file: "capture l t r b", "edit l t r b", "cursor x y", and in window mode
// "face_rect l t r b", "face r g b" (screen coordinates).
#include <windows.h>

#include <cstdio>
#include <string>

#include "ExceptionLog.h"

namespace {

constexpr COLORREF kFace = RGB(0, 128, 255);

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  return DefWindowProcW(window, message, w, l);
}

void Pump(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  while (GetTickCount() < end) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(10);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string mode = argv[1];
  const char* png = argv[2];
  const char* facts_file = argv[3];
  auto options = TVantorModuleOptions::Create("screenshot_child.exe");
  if (mode == "window") options->FSendFlags = 0x20;
  ExceptionLog::SetCurrentOptions(options.get());
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = CreateSolidBrush(kFace);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = L"ScreenshotFace";
  if (!RegisterClassW(&wc)) return 3;
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"Screenshot", WS_POPUP | WS_VISIBLE, 120, 90,
                                480, 320, nullptr, nullptr, wc.hInstance, nullptr);
  HWND edit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 60, 70, 220, 32,
                              window, nullptr, wc.hInstance, nullptr);
  if (!window || !edit) return 4;
  // The pointer over the face, away from the edit.
  SetCursorPos(120 + 400, 90 + 250);
  Pump(300);
  // The desktop is shared with other test programs, whose windows may take the foreground:
  // stay on top and ask again until this window is in front with the edit focused.
  SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  const auto in_front = [&] { return GetForegroundWindow() == window && GetFocus() == edit; };
  for (int i = 0; i < 100 && !in_front(); ++i) {
    SetForegroundWindow(window);
    SetFocus(edit);
    Pump(100);
  }
  if (!in_front()) {
    std::printf("the edit has no focus\n");
    return 5;
  }

  ExceptionLog::SetScreenshotFocus(GetFocus(), LoadCursorW(nullptr, IDC_ARROW));
  ExceptionLog::CaptureScreenshot();
  const RECT capture = ExceptionLog::ScreenshotRect();
  ExceptionLog::SaveScreenshotPNG(png);
  ExceptionLog::ReleaseScreenshot();

  RECT e{}, w{};
  GetWindowRect(edit, &e);
  GetWindowRect(window, &w);
  POINT cursor{};
  GetCursorPos(&cursor);
  FILE* facts = std::fopen(facts_file, "w");
  if (!facts) return 6;
  std::fprintf(facts, "capture %ld %ld %ld %ld\n", capture.left, capture.top, capture.right,
               capture.bottom);
  std::fprintf(facts, "edit %ld %ld %ld %ld\n", e.left, e.top, e.right, e.bottom);
  if (mode == "window") {
    // A band of the face below the edit.
    std::fprintf(facts, "face_rect %ld %ld %ld %ld\n", w.left + 10, e.bottom + 20, w.right - 10,
                 w.bottom - 10);
    std::fprintf(facts, "face %d %d %d\n", GetRValue(kFace), GetGValue(kFace), GetBValue(kFace));
  }
  std::fprintf(facts, "cursor %ld %ld\n", cursor.x, cursor.y);
  std::fclose(facts);
  DestroyWindow(window);
  ExceptionLog::SetCurrentOptions(nullptr);
  std::printf("captured\n");
  return 0;
}
