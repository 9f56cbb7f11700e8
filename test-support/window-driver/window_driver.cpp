#include "window_driver.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace window_driver {

namespace {

struct FindTop {
  std::wstring title;
  DWORD process_id;
  HWND found = nullptr;
};

BOOL CALLBACK FindTopProc(HWND window, LPARAM param) {
  auto* find = reinterpret_cast<FindTop*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (find->process_id != 0 && process != find->process_id) return TRUE;
  if (IsWindowVisible(window) && Text(window) == find->title) {
    find->found = window;
    return FALSE;
  }
  return TRUE;
}

struct FindDialog {
  DWORD process;
  HWND owner;
  HWND found = nullptr;
};

BOOL CALLBACK FindDialogProc(HWND window, LPARAM param) {
  auto* find = reinterpret_cast<FindDialog*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (process == find->process && window != find->owner && IsWindowVisible(window) &&
      std::wstring(name) == L"#32770") {
    find->found = window;
    return FALSE;
  }
  return TRUE;
}

struct Collect {
  std::wstring class_name;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectProc(HWND window, LPARAM param) {
  auto* collect = reinterpret_cast<Collect*>(param);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (_wcsicmp(name, collect->class_name.c_str()) == 0) collect->found.push_back(window);
  return TRUE;
}

}  // namespace

DWORD WaitMs(DWORD ms) {
  static const double factor = [] {
    const char* v = std::getenv("TEST_WAIT_FACTOR");
    const double f = v ? std::atof(v) : 1.0;
    return f >= 1.0 ? f : 1.0;
  }();
  return static_cast<DWORD>(ms * factor);
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeout_ms) {
  timeout_ms = WaitMs(timeout_ms);
  const DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= timeout_ms) return false;
    Sleep(50);
  }
}

HWND WaitForTopWindow(const std::wstring& title, DWORD timeout_ms, DWORD process_id) {
  FindTop find{title, process_id};
  WaitUntil(
      [&] {
        EnumWindows(FindTopProc, reinterpret_cast<LPARAM>(&find));
        return find.found != nullptr;
      },
      timeout_ms);
  return find.found;
}

HWND WaitForDialogOf(HWND owner, DWORD timeout_ms) {
  FindDialog find{0, owner};
  GetWindowThreadProcessId(owner, &find.process);
  WaitUntil(
      [&] {
        EnumWindows(FindDialogProc, reinterpret_cast<LPARAM>(&find));
        return find.found != nullptr;
      },
      timeout_ms);
  return find.found;
}

std::vector<HWND> Children(HWND parent, const std::wstring& class_name) {
  Collect collect{class_name};
  EnumChildWindows(parent, CollectProc, reinterpret_cast<LPARAM>(&collect));
  return collect.found;
}

HWND FindChild(HWND parent, const std::wstring& class_name,
               const std::function<bool(const std::wstring&)>& match) {
  for (HWND child : Children(parent, class_name)) {
    if (match(Text(child))) return child;
  }
  return nullptr;
}

HWND FindChildByText(HWND parent, const std::wstring& class_name, const std::wstring& text) {
  return FindChild(parent, class_name, [&](const std::wstring& t) { return t == text; });
}

std::wstring Text(HWND window) {
  const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const LRESULT got =
      SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(got));
  return text;
}

void SetText(HWND window, const std::wstring& text) {
  SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

bool MouseClick(HWND window, int clicks) {
  RECT rect{};
  if (!GetWindowRect(window, &rect)) return false;
  const POINT centre{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  // Other test programs share the desktop: the target's window goes on top, and the click is
  // sent only once the point is really over the control.
  const HWND root = GetAncestor(window, GA_ROOT);
  SetWindowPos(root, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetForegroundWindow(root);
  if (!WaitUntil([&] { return WindowFromPoint(centre) == window; }, 5000)) return false;
  SetCursorPos(centre.x, centre.y);
  for (int i = 0; i < clicks; ++i) {
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    if (SendInput(2, input, sizeof(INPUT)) != 2) return false;
  }
  return true;
}

bool IsEnabled(HWND window) { return IsWindowEnabled(window) != FALSE; }

std::vector<std::wstring> ComboItems(HWND combo) {
  std::vector<std::wstring> items;
  const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
    std::wstring item(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()));
    item.resize(static_cast<std::size_t>(length));
    items.push_back(item);
  }
  return items;
}

bool SelectComboItem(HWND combo, const std::wstring& item) {
  const std::vector<std::wstring> items = ComboItems(combo);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i] != item) continue;
    SendMessageW(combo, CB_SETCURSEL, i, 0);
    SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
    return true;
  }
  return false;
}

std::vector<std::wstring> Lines(HWND edit) {
  std::vector<std::wstring> lines;
  std::wstring text = Text(edit);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) {
      if (start < text.size()) lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

bool SaveScreenshot(HWND window, const std::wstring& bmp_path) {
  RECT rect{};
  if (!GetWindowRect(window, &rect)) return false;
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return false;
  // The window's own DC includes its children and frame; a screen DC is the fall-back.
  HDC source = GetWindowDC(window);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  if (!source || !BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY))
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  if (source) ReleaseDC(window, source);
  SelectObject(memory, old);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof(info);
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const int stride = (width * 3 + 3) & ~3;
  std::vector<char> pixels(static_cast<std::size_t>(stride) * height);
  GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
            DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(info);
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::ofstream out(std::filesystem::path(bmp_path), std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof(file));
  out.write(reinterpret_cast<const char*>(&info), sizeof(info));
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
  return static_cast<bool>(out);
}

}  // namespace window_driver
