// The application object and forms.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "Controls.h"
#include "SysUtils.h"

class TForm;

enum class TFormBorderStyle { bsSizeable, bsSingle };

class TForm : public TControl {
 public:
  // class_name: the window class of this form (one per form class).
  explicit TForm(const wchar_t* class_name = L"TForm");

  // The caption is the window text.
  void SetClientSize(int width, int height);
  int ClientWidth() const;
  int ClientHeight() const;
  // bsSingle: no sizing border and no maximise box; system menu and minimise box stay.
  void SetBorderStyle(TFormBorderStyle style);
  void Show();
  void Close();

  TNotifyEvent OnCreate;

 protected:
  // Runs OnCreate; the constructor of the most derived form calls it once its controls exist.
  void DoCreate();
  LRESULT WndProc(UINT msg, WPARAM wparam, LPARAM lparam) override;
};

class TApplication : public TObject {
 public:
  using TExceptionEvent = std::function<void(TObject* Sender, std::exception_ptr E)>;

  // Registers the common control classes the library uses.
  void Initialize();
  bool MainFormOnTaskBar = false;
  std::string Title;

  // Creates a form of class F: reference is set before F's constructor runs (its OnCreate may
  // use it). The first form created is the main form.
  template <class F>
  void CreateForm(F*& reference) {
    void* memory = ::operator new(sizeof(F));
    reference = static_cast<F*>(memory);
    try {
      reference = new (memory) F();
    } catch (...) {
      reference = nullptr;
      ::operator delete(memory);
      throw;
    }
    if (!main_form_) main_form_ = reference;
  }
  TForm* MainForm() const { return main_form_; }

  // Shows the main form and runs the message loop until it closes. Forms and their controls
  // stay allocated afterwards: a worker thread may still hold them.
  void Run();
  // Dispatches the messages waiting in this thread's queue.
  void ProcessMessages();
  void Terminate() { PostQuitMessage(0); }

  // Called inside a catch block: OnException when set, else ShowException. Nothing escapes.
  // Both stay real calls of their own (an exception library hooks them at run time).
  __attribute__((noinline, noipa)) void HandleException(TObject* Sender);
  // Shows the exception's message in a message box.
  __attribute__((noinline, noipa)) void ShowException(std::exception_ptr E);
  TExceptionEvent OnException;

  // The message of an exception object of any kind.
  static std::string ExceptionMessage(std::exception_ptr E);

 private:
  bool DispatchOne(MSG& msg);

  TForm* main_form_ = nullptr;
};

extern TApplication* Application;
