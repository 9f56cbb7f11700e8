#include "Forms.h"

#include <commctrl.h>

#include "Thread.h"
#include "WideText.h"

namespace {

TApplication application_instance;

void RegisterFormClass(const wchar_t* class_name) {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof existing;
  if (GetClassInfoExW(GetModuleHandleW(nullptr), class_name, &existing)) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = TControl::LayerWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = class_name;
  if (!RegisterClassExW(&wc)) {
    throw Exception("Error registering window class: " + std::to_string(GetLastError()));
  }
}

}  // namespace

TApplication* Application = &application_instance;

void HandleCallbackException(TObject* sender) noexcept {
  try {
    Application->HandleException(sender);
  } catch (...) {
  }
}

// TForm

TForm::TForm(const wchar_t* class_name) : TControl(nullptr) {
  RegisterFormClass(class_name);
  CreateHandle(WS_EX_CONTROLPARENT, class_name, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, "", 400,
               300);
}

void TForm::SetClientSize(int width, int height) {
  Invoke([&] {
    HWND h = Handle();
    RECT r{0, 0, width, height};
    AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(h, GWL_EXSTYLE)));
    SetWindowPos(h, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  });
}

int TForm::ClientWidth() const {
  RECT r{};
  Invoke([&] { GetClientRect(Handle(), &r); });
  return r.right - r.left;
}

int TForm::ClientHeight() const {
  RECT r{};
  Invoke([&] { GetClientRect(Handle(), &r); });
  return r.bottom - r.top;
}

void TForm::SetBorderStyle(TFormBorderStyle style) {
  Invoke([&] {
    HWND h = Handle();
    // Keep the client area: the frame changes around it.
    RECT client{};
    GetClientRect(h, &client);
    LONG s = GetWindowLongW(h, GWL_STYLE);
    if (style == TFormBorderStyle::bsSingle) {
      s = (s & ~(WS_THICKFRAME | WS_MAXIMIZEBOX)) | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    } else {
      s |= WS_THICKFRAME | WS_MAXIMIZEBOX;
    }
    SetWindowLongW(h, GWL_STYLE, s);
    SetWindowPos(h, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  });
}

void TForm::Show() {
  Invoke([&] {
    ShowWindow(Handle(), SW_SHOW);
    UpdateWindow(Handle());
  });
}

void TForm::Close() {
  HWND h = Handle();
  if (h) SendMessageW(h, WM_CLOSE, 0, 0);
}

void TForm::DoCreate() {
  if (OnCreate) OnCreate(this);
}

LRESULT TForm::WndProc(UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_CLOSE:
      DestroyWindow(Handle());
      return 0;
    case WM_DESTROY:
      if (Application->MainForm() == this) PostQuitMessage(0);
      break;
  }
  return TControl::WndProc(msg, wparam, lparam);
}

// TApplication

void TApplication::Initialize() {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
}

bool TApplication::DispatchOne(MSG& msg) {
  HWND top = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  if (top && TControl::FromHandle(top) && IsDialogMessageW(top, &msg)) return true;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

void TApplication::Run() {
  if (main_form_) {
    if (MainFormOnTaskBar) {
      HWND h = main_form_->Handle();
      SetWindowLongW(h, GWL_EXSTYLE, GetWindowLongW(h, GWL_EXSTYLE) | WS_EX_APPWINDOW);
    }
    main_form_->Show();
  }
  MSG msg;
  for (;;) {
    TThread::StartPendingThreads();
    const BOOL r = GetMessageW(&msg, nullptr, 0, 0);
    if (r == 0 || r == -1) break;
    DispatchOne(msg);
  }
}

void TApplication::ProcessMessages() {
  TThread::StartPendingThreads();
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    DispatchOne(msg);
  }
}

std::string TApplication::ExceptionMessage(std::exception_ptr E) {
  if (!E) return {};
  try {
    std::rethrow_exception(E);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

void TApplication::HandleException(TObject* Sender) {
  std::exception_ptr e = std::current_exception();
  try {
    if (OnException) {
      OnException(Sender, e);
    } else {
      ShowException(e);
    }
  } catch (...) {
    // A failing handler must not cross the callback frame that called us.
  }
}

void TApplication::ShowException(std::exception_ptr E) {
  std::string message = ExceptionMessage(E);
  if (!message.empty() && message.back() != '.') message += '.';
  HWND owner = main_form_ ? main_form_->Handle() : nullptr;
  const std::wstring title = Utf8ToWide(Title.empty() ? "Error" : Title);
  MessageBoxW(owner, Utf8ToWide(message).c_str(), title.c_str(), MB_OK | MB_ICONSTOP);
}
