#include "Controls.h"

#include <algorithm>
#include <exception>

#include "Thread.h"
#include "WideText.h"

namespace {

constexpr wchar_t kControlProperty[] = L"ComponentLibrary.Control";
constexpr UINT CM_INVOKE = WM_APP + 0x3C0;

struct InvokePacket {
  const std::function<void()>* fn;
  std::exception_ptr error;
};

std::atomic<int> next_control_id{1000};

}  // namespace

HFONT ControlFont() {
  static HFONT font = [] {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
      if (HFONT f = CreateFontIndirectW(&metrics.lfMessageFont)) return f;
    }
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }();
  return font;
}

TControl::TControl(TControl* parent) : parent_(parent) {
  if (parent_) parent_->InsertComponent(this);
}

TControl::~TControl() {
  if (HWND h = Handle()) {
    if (GetWindowThreadProcessId(h, nullptr) == GetCurrentThreadId()) {
      DestroyWindow(h);
    } else {
      Invoke([h] { DestroyWindow(h); });
    }
    DetachHandle();
  }
  // Children and components, last created first.
  while (!components_.empty()) {
    TObject* c = components_.back();
    components_.pop_back();
    delete c;
  }
  if (parent_) parent_->RemoveComponent(this);
}

void TControl::InsertComponent(TObject* component) { components_.push_back(component); }

void TControl::RemoveComponent(TObject* component) {
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it != components_.end()) components_.erase(it);
}

void TControl::CreateHandle(DWORD ex_style, const wchar_t* class_name, DWORD style,
                            const std::string& text, int width, int height) {
  HWND parent_window = parent_ ? parent_->Handle() : nullptr;
  HMENU id = nullptr;
  if (parent_window) {
    style |= WS_CHILD;
    id = reinterpret_cast<HMENU>(static_cast<INT_PTR>(next_control_id++));
  }
  const int x = parent_window ? 0 : CW_USEDEFAULT;
  HWND h = CreateWindowExW(ex_style, class_name, Utf8ToWide(text).c_str(), style, x, x, width,
                           height, parent_window, id, GetModuleHandleW(nullptr), this);
  if (!h) {
    throw Exception("Error creating window: " + std::to_string(GetLastError()));
  }
  if (!GetPropW(h, kControlProperty)) {
    // Not one of our classes: subclass it.
    SetPropW(h, kControlProperty, this);
    handle_ = h;
    default_proc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LayerWindowProc)));
  }
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(ControlFont()), FALSE);
}

void TControl::DetachHandle() {
  HWND h = handle_.exchange(nullptr);
  if (h) RemovePropW(h, kControlProperty);
}

TControl* TControl::FromHandle(HWND hwnd) {
  return hwnd ? static_cast<TControl*>(GetPropW(hwnd, kControlProperty)) : nullptr;
}

LRESULT CALLBACK TControl::LayerWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  TControl* control = FromHandle(hwnd);
  if (!control && msg == WM_NCCREATE) {
    // A window of our own class: bind it to the control being created.
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lparam);
    control = static_cast<TControl*>(cs->lpCreateParams);
    if (control) {
      SetPropW(hwnd, kControlProperty, control);
      control->handle_ = hwnd;
    }
  }
  if (!control) return DefWindowProcW(hwnd, msg, wparam, lparam);
  LRESULT result = 0;
  if (msg == WM_NCDESTROY) {
    const WNDPROC default_proc = control->default_proc_;
    control->DetachHandle();
    result = CallWindowProcW(default_proc, hwnd, msg, wparam, lparam);
  } else {
    try {
      result = control->WndProc(msg, wparam, lparam);
    } catch (...) {
      HandleCallbackException(control);
    }
  }
  // A handler may have created running threads: their constructors are done now.
  TThread::StartPendingThreads();
  return result;
}

LRESULT TControl::DefaultHandler(UINT msg, WPARAM wparam, LPARAM lparam) {
  HWND h = Handle();
  if (!h) return 0;
  return CallWindowProcW(default_proc_, h, msg, wparam, lparam);
}

LRESULT TControl::WndProc(UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case CM_INVOKE: {
      auto* packet = reinterpret_cast<InvokePacket*>(lparam);
      try {
        (*packet->fn)();
      } catch (...) {
        packet->error = std::current_exception();
      }
      return 1;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      // Labels, radio buttons and group box captions on the face colour of their parent.
      auto dc = reinterpret_cast<HDC>(wparam);
      SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_COMMAND:
      if (lparam) {
        TControl* child = FromHandle(reinterpret_cast<HWND>(lparam));
        if (child && child != this) {
          child->CommandNotify(HIWORD(wparam));
          return 0;
        }
      }
      break;
  }
  return DefaultHandler(msg, wparam, lparam);
}

bool InvokeOnWindowThread(HWND window, const std::function<void()>& fn) {
  if (!window || !TControl::FromHandle(window)) return false;
  if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
    fn();
    return true;
  }
  InvokePacket packet{&fn, nullptr};
  if (SendMessageW(window, CM_INVOKE, 0, reinterpret_cast<LPARAM>(&packet)) == 0) return false;
  if (packet.error) std::rethrow_exception(packet.error);
  return true;
}

bool TControl::Invoke(const std::function<void()>& fn) const {
  return InvokeOnWindowThread(Handle(), fn);
}

LRESULT TControl::Perform(UINT msg, WPARAM wparam, LPARAM lparam) const {
  HWND h = Handle();
  return h ? SendMessageW(h, msg, wparam, lparam) : 0;
}

void TControl::SetBounds(int left, int top, int width, int height) {
  Invoke([&] { MoveWindow(Handle(), left, top, width, height, TRUE); });
}

std::string TControl::Text() const {
  std::wstring text;
  Invoke([&] {
    HWND h = Handle();
    text.resize(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1);
    text.resize(static_cast<std::size_t>(GetWindowTextW(h, text.data(), text.size())));
  });
  return WideToUtf8(text);
}

void TControl::SetText(const std::string& text) {
  const std::wstring wide = Utf8ToWide(text);
  Invoke([&] { SetWindowTextW(Handle(), wide.c_str()); });
}

bool TControl::Enabled() const {
  bool enabled = false;
  Invoke([&] { enabled = IsWindowEnabled(Handle()) != FALSE; });
  return enabled;
}

void TControl::SetEnabled(bool enabled) {
  Invoke([&] { EnableWindow(Handle(), enabled ? TRUE : FALSE); });
}

bool TControl::Visible() const {
  bool visible = false;
  Invoke([&] { visible = (GetWindowLongW(Handle(), GWL_STYLE) & WS_VISIBLE) != 0; });
  return visible;
}

void TControl::SetVisible(bool visible) {
  Invoke([&] { ShowWindow(Handle(), visible ? SW_SHOW : SW_HIDE); });
}
