// The base of every window of the component library.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "Classes.h"

// A component with a window. Children and non-visual components are owned by their owner
// control and freed with it.
//
// Every member function may be called from any thread: the work runs on the window's own
// thread (SendMessage), which serialises it with the user's input. Once the window is gone
// (the form was closed), calls do nothing and getters return empty values.
class TControl : public TObject {
 public:
  ~TControl() override;
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  HWND Handle() const { return handle_.load(); }
  TControl* Parent() const { return parent_; }

  virtual void SetBounds(int left, int top, int width, int height);
  virtual std::string Text() const;
  void SetText(const std::string& text);
  std::string Caption() const { return Text(); }
  void SetCaption(const std::string& text) { SetText(text); }
  bool Enabled() const;
  void SetEnabled(bool enabled);
  bool Visible() const;
  void SetVisible(bool visible);

  // Runs fn on the window's thread and rethrows what it throws in the caller's thread.
  // Returns false (fn not run) when the window no longer exists.
  bool Invoke(const std::function<void()>& fn) const;
  // SendMessage to the window.
  LRESULT Perform(UINT msg, WPARAM wparam, LPARAM lparam) const;

  // The control of a window of this library, or null.
  static TControl* FromHandle(HWND hwnd);

  // Ownership of non-visual components (dialogs): freed with this control.
  void InsertComponent(TObject* component);
  void RemoveComponent(TObject* component);

 protected:
  explicit TControl(TControl* parent);

  // Creates the window: a child of the parent's window, or a top-level window when there is
  // no parent. A class of another window procedure (a common control) is subclassed.
  void CreateHandle(DWORD ex_style, const wchar_t* class_name, DWORD style, const std::string& text,
                    int width = 0, int height = 0);
  virtual LRESULT WndProc(UINT msg, WPARAM wparam, LPARAM lparam);
  LRESULT DefaultHandler(UINT msg, WPARAM wparam, LPARAM lparam);
  // A WM_COMMAND notification of this control (reflected by the parent).
  virtual void CommandNotify(WORD code) {}

 public:
  // The window procedure of the library's own window classes and of subclassed controls.
  static LRESULT CALLBACK LayerWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);

 private:
  void DetachHandle();

  TControl* parent_;
  std::atomic<HWND> handle_{nullptr};
  WNDPROC default_proc_ = DefWindowProcW;
  std::vector<TObject*> components_;
};

// Runs fn on the thread of a window of this library (SendMessage) and rethrows what it throws
// in the caller's thread; fn runs directly when called on that thread. Returns false (fn not
// run) when the window is gone or is not one of this library's.
bool InvokeOnWindowThread(HWND window, const std::function<void()>& fn);

// The font of every control (the system's message font).
HFONT ControlFont();

// Called inside a catch block at a Win32 callback boundary: hands the current exception to
// Application's handler. Nothing escapes it.
void HandleCallbackException(TObject* sender) noexcept;
