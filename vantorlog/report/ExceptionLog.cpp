#include "ExceptionLog.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

#include "VCore.h"
#include "VLogFile.h"
#include "VUnitVariable.h"

namespace ExceptionLog {

namespace {

constexpr char kCoordinates[] = "Coordinates";
constexpr char kUser[] = "User";

std::string& SettingsFile() {
  static VCore::TUnitVariable<std::string> file{[] { return std::string(kWindowSettingsFile); }};
  return *file;
}

struct TColumn {
  const char* key;
  int width;
};
// In the order the pages show them.
constexpr TColumn kCallStackColumns[] = {{"Col0", 89},  {"Col1", 92},  {"Col2", 126},
                                         {"Col3", 126}, {"Col4", 200}, {"Col5", 61}};
constexpr TColumn kModulesColumns[] = {{"ColMod0", 80}, {"ColMod1", 96}, {"ColMod2", 175},
                                       {"ColMod3", 50}, {"ColMod4", 54}, {"ColMod6", 80},
                                       {"ColMod5", 712}};
constexpr TColumn kProcessesColumns[] = {{"ColPro0", 48}, {"ColPro1", 134}, {"ColPro2", 232},
                                         {"ColPro3", 56}, {"ColPro4", 57},  {"ColPro5", 47},
                                         {"ColPro6", 52}, {"ColPro7", 330}};

const TColumn* ColumnOf(TListPage page, int column) {
  if (column < 0 || column >= ColumnCount(page)) return nullptr;
  switch (page) {
    case TListPage::CallStack:
      return &kCallStackColumns[column];
    case TListPage::Modules:
      return &kModulesColumns[column];
    case TListPage::Processes:
      return &kProcessesColumns[column];
  }
  return nullptr;
}

// A decimal integer with an optional sign, blanks around it allowed; false for anything else
// or a value out of range.
bool ParseInt(std::string_view text, int& value) {
  const std::string trimmed = VCore::Trim(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < trimmed.size() && (trimmed[i] == '-' || trimmed[i] == '+'))
    negative = trimmed[i++] == '-';
  if (i == trimmed.size()) return false;
  std::int64_t v = 0;
  for (; i < trimmed.size(); ++i) {
    if (trimmed[i] < '0' || trimmed[i] > '9') return false;
    v = v * 10 + (trimmed[i] - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  value = static_cast<int>(v);
  return true;
}

void WriteInt(const char* section, const char* key, int value) {
  VCore::IniWriteValue(SettingsFile(), section, key, std::to_string(value));
}

}  // namespace

const std::string& WindowSettingsFile() { return SettingsFile(); }
void SetWindowSettingsFile(std::string file) { SettingsFile() = std::move(file); }

int ReadSettingsInt(const std::string& section, const std::string& key, int default_value) {
  const std::string text =
      VCore::IniReadValue(SettingsFile(), section, key, std::to_string(default_value));
  int value;
  return ParseInt(text, value) ? value : default_value;
}

TDialogPlacement LoadDialogPlacement(const RECT& work, int extra_height) {
  const int work_width = work.right - work.left;
  const int work_height = work.bottom - work.top;
  TDialogPlacement p;
  p.width = ReadSettingsInt(kCoordinates, "Width", 745);
  p.height = ReadSettingsInt(kCoordinates, "Height", 468);
  p.left = ReadSettingsInt(kCoordinates, "Left", work.left + (work_width - p.width) / 2);
  p.top =
      ReadSettingsInt(kCoordinates, "Top", work.top + (work_height - p.height - extra_height) / 2);
  p.state = ReadSettingsInt(kCoordinates, "WindowsState", 1);
  if (p.top < work.top || work.bottom < p.top + p.height || p.left < work.left ||
      work.right < p.left + p.width) {
    p.left = work.left + (work_width - p.width) / 2;
    p.top = work.top + (work_height - p.height) / 2;
  }
  return p;
}

void SaveDialogPlacement(const TRememberedPlacement& r) {
  if (r.width == 0) return;
  if (r.state == 1) {
    WriteInt(kCoordinates, "Width", r.width);
    WriteInt(kCoordinates, "Height", r.height - r.extra_height);
    WriteInt(kCoordinates, "Left", r.left);
    WriteInt(kCoordinates, "Top", r.top);
  }
  WriteInt(kCoordinates, "WindowsState", r.state);
}

int ColumnCount(TListPage page) {
  switch (page) {
    case TListPage::CallStack:
      return static_cast<int>(std::size(kCallStackColumns));
    case TListPage::Modules:
      return static_cast<int>(std::size(kModulesColumns));
    case TListPage::Processes:
      return static_cast<int>(std::size(kProcessesColumns));
  }
  return 0;
}

std::string ColumnKey(TListPage page, int column) {
  const TColumn* c = ColumnOf(page, column);
  return c ? c->key : "";
}

int ReadColumnWidth(TListPage page, int column) {
  const TColumn* c = ColumnOf(page, column);
  return c ? ReadSettingsInt(kCoordinates, c->key, c->width) : 0;
}

void SaveColumnWidth(TListPage page, int column, int width) {
  if (const TColumn* c = ColumnOf(page, column)) WriteInt(kCoordinates, c->key, width);
}

std::string ReadUserEmail() { return VCore::IniReadValue(SettingsFile(), kUser, "Email", ""); }

void SaveUserEmail(const std::string& email) {
  VCore::IniWriteValue(SettingsFile(), kUser, "Email", email);
}

}  // namespace ExceptionLog

// ---- Screenshot ---------------------------------------------------------------------------

namespace ExceptionLog {

namespace {

constexpr std::uint16_t kSendForegroundWindowOnly = 0x20;

struct TCapture {
  HWND source = nullptr;
  HDC screen_dc = nullptr;
  HDC memory_dc = nullptr;
  HBITMAP bitmap = nullptr;
  HPALETTE palette = nullptr;
  HPALETTE previous_palette = nullptr;
  bool palette_used = false;
  int left = 0, top = 0;
  int width = 0, height = 0;
  int stride = 0;
};

TCapture& Capture() {
  static TCapture capture;
  return capture;
}

struct TFocus {
  HWND window = nullptr;
  HCURSOR cursor = nullptr;
};

TFocus& Focus() {
  static TFocus focus;
  return focus;
}

void SelectSystemPalette(TCapture& c) {
  if (!(GetDeviceCaps(c.screen_dc, RASTERCAPS) & RC_PALETTE)) return;
  std::vector<std::uint8_t> storage(sizeof(LOGPALETTE) + 255 * sizeof(PALETTEENTRY));
  auto* logical = reinterpret_cast<LOGPALETTE*>(storage.data());
  logical->palVersion = 0x300;
  logical->palNumEntries =
      static_cast<WORD>(GetSystemPaletteEntries(c.screen_dc, 0, 256, logical->palPalEntry));
  if (logical->palNumEntries == 0) return;
  c.palette = CreatePalette(logical);
  if (!c.palette) return;
  c.previous_palette = SelectPalette(c.memory_dc, c.palette, FALSE);
  c.palette_used = true;
}

void FrameFocusWindow(const TCapture& c, HWND focus) {
  RECT r;
  if (!focus || !GetWindowRect(focus, &r)) return;
  OffsetRect(&r, -c.left, -c.top);
  HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
  if (!red) return;
  FrameRect(c.memory_dc, &r, red);
  InflateRect(&r, -1, -1);
  FrameRect(c.memory_dc, &r, red);
  DeleteObject(red);
}

void PaintCursor(const TCapture& c, HCURSOR cursor) {
  POINT at;
  if (!cursor || !GetCursorPos(&at)) return;
  ICONINFO info{};
  if (GetIconInfo(cursor, &info)) {
    at.x -= static_cast<LONG>(info.xHotspot);
    at.y -= static_cast<LONG>(info.yHotspot);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    if (info.hbmColor) DeleteObject(info.hbmColor);
  }
  DrawIconEx(c.memory_dc, at.x - c.left, at.y - c.top, cursor, 32, 32, 0, nullptr, DI_NORMAL);
}

template <class F>
F UserEntry(const char* name) {
  HMODULE user32 = GetModuleHandleA("user32.dll");
  if (!user32) user32 = LoadLibraryA("user32.dll");
  return user32 ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(user32, name)))
                : nullptr;
}

// 256-entry colour table header for 8-bit DIBs.
struct TBitmapInfo8 {
  BITMAPINFOHEADER header;
  RGBQUAD colours[256];
};

void InitHeader(BITMAPINFOHEADER& header, int width, int height, int bits) {
  header = {};
  header.biSize = sizeof(BITMAPINFOHEADER);
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = static_cast<WORD>(bits);
  header.biCompression = BI_RGB;
}

}  // namespace

void SetScreenshotFocus(HWND focus, HCURSOR cursor) { Focus() = {focus, cursor}; }

RECT ProcessMonitorsRect(const RECT& rect) {
  RECT desktop{};
  GetWindowRect(GetDesktopWindow(), &desktop);
  if (rect.left == -1 && rect.top == -1 && rect.right == -1 && rect.bottom == -1) return desktop;
  using TGetMonitorInfo = BOOL(WINAPI*)(HMONITOR, LPMONITORINFO);
  using TMonitorFromPoint = HMONITOR(WINAPI*)(POINT, DWORD);
  const auto get_info = UserEntry<TGetMonitorInfo>("GetMonitorInfoA");
  const auto from_point = UserEntry<TMonitorFromPoint>("MonitorFromPoint");
  if (!get_info || !from_point) return desktop;
  MONITORINFO first{}, last{};
  first.cbSize = last.cbSize = sizeof(MONITORINFO);
  HMONITOR top_left = from_point(POINT{rect.left, rect.top}, MONITOR_DEFAULTTONEAREST);
  HMONITOR bottom_right = from_point(POINT{rect.right, rect.bottom}, MONITOR_DEFAULTTONEAREST);
  if (!top_left || !bottom_right || !get_info(top_left, &first) || !get_info(bottom_right, &last))
    return desktop;
  return RECT{first.rcMonitor.left, first.rcMonitor.top, last.rcMonitor.right,
              last.rcMonitor.bottom};
}

void CaptureScreenshot() {
  ReleaseScreenshot();
  TCapture& c = Capture();
  const TVantorModuleOptions* options = CurrentOptions();
  RECT r{};
  POINT start{0, 0};
  if (options && (options->FSendFlags & kSendForegroundWindowOnly)) {
    c.source = GetForegroundWindow();
    if (!c.source) c.source = GetDesktopWindow();
    GetWindowRect(c.source, &r);
  } else {
    c.source = GetDesktopWindow();
    r = ProcessMonitorsRect(VCore::ProcessWindowsBounds(GetCurrentProcessId()));
    start = {r.left, r.top};
  }
  c.left = r.left;
  c.top = r.top;
  c.width = std::max<LONG>(1, r.right - r.left);
  c.height = std::max<LONG>(1, r.bottom - r.top);
  c.stride = ((c.width * 8 + 31) & ~31) / 8;

  c.screen_dc = GetWindowDC(c.source);
  if (c.screen_dc) c.memory_dc = CreateCompatibleDC(c.screen_dc);
  if (c.memory_dc) c.bitmap = CreateCompatibleBitmap(c.screen_dc, c.stride, c.height);
  if (!c.bitmap) {
    ReleaseScreenshot();
    return;
  }
  HGDIOBJ previous = SelectObject(c.memory_dc, c.bitmap);
  SelectSystemPalette(c);
  BitBlt(c.memory_dc, 0, 0, c.width, c.height, c.screen_dc, start.x, start.y, SRCCOPY);
  FrameFocusWindow(c, Focus().window);
  PaintCursor(c, Focus().cursor);
  SelectObject(c.memory_dc, previous);
}

RECT ScreenshotRect() {
  const TCapture& c = Capture();
  if (!c.bitmap) return RECT{0, 0, 0, 0};
  return RECT{c.left, c.top, c.left + c.width, c.top + c.height};
}

HBITMAP QuantiseTo8Bit(HBITMAP bitmap) {
  const TCapture& c = Capture();
  BITMAP object{};
  if (!bitmap || !GetObjectA(bitmap, sizeof(object), &object) || object.bmWidth < 1 ||
      object.bmHeight < 1)
    return nullptr;
  const int width = object.bmWidth, height = object.bmHeight;
  HDC screen = c.screen_dc ? c.screen_dc : GetDC(nullptr);
  HBITMAP result = nullptr;
  TOctreeQuantiser quantiser;
  {
    // Row by row, from the top of the picture (the last scan line of a bottom-up DIB).
    BITMAPINFO info{};
    InitHeader(info.bmiHeader, width, height, 24);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(((width * 24 + 31) & ~31) / 8));
    bool read = true;
    for (int y = 0; y < height && read; ++y) {
      read = GetDIBits(screen, bitmap, height - 1 - y, 1, row.data(), &info, DIB_RGB_COLORS) == 1;
      for (int x = 0; x < width && read; ++x)
        quantiser.AddPixel(row[x * 3 + 2], row[x * 3 + 1], row[x * 3]);
    }
    if (!read) {
      if (screen != c.screen_dc) ReleaseDC(nullptr, screen);
      return nullptr;
    }
  }
  TPngPalette palette;
  quantiser.Palette(palette);
  TBitmapInfo8 info{};
  InitHeader(info.header, width, height, 8);
  RGBQUAD colours[256];
  for (int i = 0; i < 256; ++i)
    colours[i] = RGBQUAD{palette[i].blue, palette[i].green, palette[i].red, 0};
  void* bits = nullptr;
  HBITMAP section = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                     &bits, nullptr, 0);
  HDC target = section ? CreateCompatibleDC(screen) : nullptr;
  HDC source = target ? CreateCompatibleDC(screen) : nullptr;
  if (source) {
    HGDIOBJ old_target = SelectObject(target, section);
    SetDIBColorTable(target, 0, 256, colours);
    HGDIOBJ old_source = SelectObject(source, bitmap);
    // The graphics system maps each pixel to the nearest table colour.
    if (old_target && old_source && BitBlt(target, 0, 0, width, height, source, 0, 0, SRCCOPY))
      result = section;
    SelectObject(source, old_source);
    SelectObject(target, old_target);
  }
  if (source) DeleteDC(source);
  if (target) DeleteDC(target);
  if (section && !result) DeleteObject(section);
  if (screen != c.screen_dc) ReleaseDC(nullptr, screen);
  return result;
}

void PNGWrite(TStream& stream) {
  TCapture& c = Capture();
  if (!c.bitmap) throw Exception("No screenshot to write.");
  if (HBITMAP converted = QuantiseTo8Bit(c.bitmap)) {
    DeleteObject(c.bitmap);
    c.bitmap = converted;
  }
  TBitmapInfo8 info{};
  InitHeader(info.header, c.stride, c.height, 8);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(c.stride) * c.height);
  if (GetDIBits(c.screen_dc, c.bitmap, 0, c.height, pixels.data(),
                reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS) != c.height)
    throw Exception("The screenshot cannot be read.");
  TPngPalette palette;
  for (int i = 0; i < 256; ++i)
    palette[i] = {info.colours[i].rgbRed, info.colours[i].rgbGreen, info.colours[i].rgbBlue};
  // Bottom-up rows: the picture's top row is the last one.
  WritePalettePng(stream, c.width, c.height,
                  pixels.data() + static_cast<std::size_t>(c.stride) * (c.height - 1), -c.stride,
                  palette);
}

void SaveScreenshotPNG(const std::string& file_name) {
  SetScreenshotTaken(false);
  if (file_name.empty()) return;
  bool created = false;
  try {
    // The whole file is built first, so a failure leaves nothing behind.
    TMemoryStream png;
    PNGWrite(png);
    // The name is ANSI, as every path of the library; the stream takes UTF-8.
    TFileStream file(VCore::EncodeUtf8(file_name), fmCreate);
    created = true;
    file.WriteBuffer(png.Memory(), static_cast<std::int32_t>(png.Size()));
    SetScreenshotTaken(true);
    return;
  } catch (...) {
  }
  if (created) ForceDeleteFile(file_name);
}

void ReleaseScreenshot() {
  TCapture& c = Capture();
  if (c.palette) {
    if (c.memory_dc) SelectPalette(c.memory_dc, c.previous_palette, FALSE);
    DeleteObject(c.palette);
  }
  if (c.bitmap) DeleteObject(c.bitmap);
  if (c.memory_dc) DeleteDC(c.memory_dc);
  if (c.screen_dc) ReleaseDC(c.source, c.screen_dc);
  c = TCapture{};
}

}  // namespace ExceptionLog
