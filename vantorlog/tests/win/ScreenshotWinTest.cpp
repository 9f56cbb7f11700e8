#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ExceptionLog.h"
#include "VZlib2.h"

namespace {

constexpr COLORREF kFace = RGB(40, 200, 90);

struct TChunk {
  std::string type;
  std::vector<std::uint8_t> data;
};

std::uint32_t BigEndian(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::vector<TChunk> Chunks(const TMemoryStream& png) {
  std::vector<TChunk> chunks;
  const std::uint8_t* p = png.Memory();
  const auto size = static_cast<std::size_t>(const_cast<TMemoryStream&>(png).Size());
  for (std::size_t at = 8; at + 12 <= size;) {
    const std::uint32_t length = BigEndian(p + at);
    if (at + 12 + length > size) break;
    chunks.push_back({std::string(reinterpret_cast<const char*>(p + at + 4), 4),
                      std::vector<std::uint8_t>(p + at + 8, p + at + 8 + length)});
    at += 12 + length;
  }
  return chunks;
}

LRESULT CALLBACK FaceProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  return DefWindowProcW(window, message, w, l);
}

void Pump(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  while (GetTickCount() < end) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(10);
  }
}

// The desktop is shared with other test programs: ask again until the window is in front.
bool BringToFront(HWND window) {
  for (int i = 0; i < 30; ++i) {
    SetForegroundWindow(window);
    Pump(100);
    if (GetForegroundWindow() == window) return true;
  }
  return false;
}

class ScreenshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool registered = [] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = FaceProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.hbrBackground = CreateSolidBrush(kFace);
      wc.lpszClassName = L"ScreenshotTestFace";
      return RegisterClassW(&wc) != 0;
    }();
    ASSERT_TRUE(registered);
  }
  void TearDown() override {
    ExceptionLog::ReleaseScreenshot();
    ExceptionLog::SetCurrentOptions(nullptr);
    ExceptionLog::SetScreenshotFocus(nullptr, nullptr);
    for (HWND w : windows_) DestroyWindow(w);
  }
  HWND Face(int left, int top, int width, int height) {
    HWND w =
        CreateWindowExW(WS_EX_TOPMOST, L"ScreenshotTestFace", L"", WS_POPUP | WS_VISIBLE, left, top,
                        width, height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (w) windows_.push_back(w);
    return w;
  }
  std::vector<HWND> windows_;
};

TEST_F(ScreenshotTest, ForegroundWindowCaptureWritesItsSizeNotTheStride) {
  // Send flag 0x20: the foreground window alone. Width 5 has a stride of 8; an empty window
  // becomes 1 x 1.
  auto options = TVantorModuleOptions::Create("screenshot-test.exe");
  options->FSendFlags = 0x20;
  ExceptionLog::SetCurrentOptions(options.get());
  struct TCase {
    int width, height, png_width, png_height;
  } const cases[] = {{5, 3, 5, 3}, {1, 1, 1, 1}, {0, 0, 1, 1}, {13, 2, 13, 2}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    HWND window = Face(200, 150, c.width, c.height);
    ASSERT_TRUE(window);
    ASSERT_TRUE(BringToFront(window));
    ExceptionLog::CaptureScreenshot();
    const RECT r = ExceptionLog::ScreenshotRect();
    EXPECT_EQ(r.left, 200);
    EXPECT_EQ(r.top, 150);
    EXPECT_EQ(r.right - r.left, c.png_width);
    EXPECT_EQ(r.bottom - r.top, c.png_height);

    TMemoryStream png;
    ExceptionLog::PNGWrite(png);
    const auto chunks = Chunks(png);
    ASSERT_GE(chunks.size(), 4u);
    ASSERT_EQ(chunks[0].type, "IHDR");
    EXPECT_EQ(BigEndian(chunks[0].data.data()), static_cast<std::uint32_t>(c.png_width));
    EXPECT_EQ(BigEndian(chunks[0].data.data() + 4), static_cast<std::uint32_t>(c.png_height));
    ASSERT_EQ(chunks[1].type, "PLTE");
    ASSERT_EQ(chunks[1].data.size(), 768u);
    std::vector<std::uint8_t> packed;
    for (std::size_t i = 2; i + 1 < chunks.size(); ++i) {
      ASSERT_EQ(chunks[i].type, "IDAT");
      packed.insert(packed.end(), chunks[i].data.begin(), chunks[i].data.end());
    }
    EXPECT_EQ(chunks.back().type, "IEND");
    const auto raw = VZlib2::Decompress(packed.data(), static_cast<std::int32_t>(packed.size()));
    ASSERT_EQ(raw.size(), static_cast<std::size_t>(c.png_height) * (1 + c.png_width));
    if (c.width == 0) continue;  // an empty window shows whatever lies under it
    for (int y = 0; y < c.png_height; ++y) {
      EXPECT_EQ(raw[y * (1 + c.png_width)], 0) << "filter of row " << y;
      for (int x = 0; x < c.png_width; ++x) {
        const std::uint8_t* colour = &chunks[1].data[raw[y * (1 + c.png_width) + 1 + x] * 3];
        EXPECT_EQ(RGB(colour[0], colour[1], colour[2]), kFace) << x << "," << y;
      }
    }
    DestroyWindow(window);
    windows_.clear();
  }
}

TEST_F(ScreenshotTest, FailedOrEmptySavesLeaveNoFileAndRaiseNothing) {
  const std::filesystem::path dir = std::filesystem::path(VL_OUTPUT) / "screenshot-saves";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "Screenshot.png").string();
  // Nothing captured.
  ExceptionLog::ReleaseScreenshot();
  EXPECT_NO_THROW(ExceptionLog::SaveScreenshotPNG(file));
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_THROW(
      {
        TMemoryStream png;
        ExceptionLog::PNGWrite(png);
      },
      Exception);

  ASSERT_TRUE(Face(100, 100, 50, 40));
  Pump(100);
  ExceptionLog::CaptureScreenshot();
  EXPECT_NO_THROW(ExceptionLog::SaveScreenshotPNG(""));
  EXPECT_NO_THROW(ExceptionLog::SaveScreenshotPNG((dir / "no-such-folder" / "x.png").string()));
  EXPECT_FALSE(std::filesystem::exists(dir / "no-such-folder"));
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  // The same capture still saves, twice (the second time from its 8-bit form).
  ExceptionLog::SaveScreenshotPNG(file);
  ASSERT_TRUE(std::filesystem::exists(file));
  const auto first = std::filesystem::file_size(file);
  ExceptionLog::SaveScreenshotPNG(file);
  EXPECT_EQ(std::filesystem::file_size(file), first);
  ExceptionLog::ReleaseScreenshot();
  const RECT released = ExceptionLog::ScreenshotRect();
  EXPECT_TRUE(IsRectEmpty(&released));
}

TEST_F(ScreenshotTest, ProcessWindowsWidenToTheirMonitors) {
  const RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  const RECT cases[] = {
      {-1, -1, -1, -1}, {10, 20, 30, 40}, {2000, 3000, 2100, 3100}, {-500, -500, 5, 5}};
  for (const RECT& r : cases) {
    const RECT got = ExceptionLog::ProcessMonitorsRect(r);
    EXPECT_TRUE(EqualRect(&got, &screen)) << r.left << "," << r.top << " gives " << got.left << ","
                                          << got.top << "," << got.right << "," << got.bottom;
  }
  // Without send flag 0x20 the capture covers the monitor under this process's windows.
  ASSERT_TRUE(Face(300, 200, 64, 48));
  Pump(100);
  ExceptionLog::CaptureScreenshot();
  const RECT captured = ExceptionLog::ScreenshotRect();
  EXPECT_TRUE(EqualRect(&captured, &screen));
}

}  // namespace
