// A window as it shows on the screen, kept as a PNG file among a test's artefacts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Streams.h"
#include "VPngWriter.h"

namespace screen_picture {

// The window's rectangle (frame included) read back from the screen; false when it has no
// area or the file could not be written.
inline bool SaveWindowPng(HWND window, const std::string& png) {
  RECT r{};
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  ExceptionLog::TPixelImage image;
  image.top_row = static_cast<const std::uint8_t*>(bits);
  image.row_step = (w * 3 + 3) & ~3;
  image.width = w;
  image.height = h;
  image.bytes_per_pixel = 3;
  bool written = false;
  try {
    TFileStream out(png, fmCreate);
    ExceptionLog::WritePixelPng(out, image);
    written = true;
  } catch (...) {
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return written;
}

}  // namespace screen_picture
