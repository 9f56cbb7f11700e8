// Threads of the component library.
#pragma once

#include <windows.h>

#include <atomic>
#include <exception>

#include "Classes.h"
#include "SysUtils.h"

class EThread : public Exception {
 public:
  using Exception::Exception;
};

// A thread object: derive, override Execute. The OS thread is created suspended in the
// constructor. A thread created with create_suspended == false starts once its most derived
// constructor has finished: when the creating thread returns to the library (the window
// procedure or message loop it was called from), calls Start, Resume or WaitFor, or
// Application->ProcessMessages(). An exception escaping Execute is caught by ThreadProc and
// kept in FatalException().
class TThread : public TObject {
 public:
  explicit TThread(bool create_suspended);
  ~TThread() override;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  void Resume() { Start(); }
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  bool Finished() const { return finished_; }
  // Waits for the end of the thread (dispatching messages sent to this thread's windows
  // meanwhile, so a worker's SendMessage can't deadlock the wait); returns ReturnValue.
  // Raises EThread for a thread that frees itself or waits for itself.
  DWORD WaitFor();

  HANDLE Handle() const { return handle_; }
  DWORD ThreadID() const { return thread_id_; }
  std::exception_ptr FatalException() const { return fatal_exception_; }

  bool FreeOnTerminate = false;

  // Starts the threads this thread created running whose start is still due.
  static void StartPendingThreads();

 protected:
  virtual void Execute() = 0;
  DWORD ReturnValue = 0;

 private:
  friend DWORD WINAPI ThreadProc(void* parameter);
  static void RunExecute(TThread* thread) { thread->Execute(); }

  HANDLE handle_ = nullptr;
  DWORD thread_id_ = 0;
  DWORD creator_thread_id_ = 0;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  std::exception_ptr fatal_exception_;
};

// The start procedure of every TThread: runs Execute and catches what it throws.
DWORD WINAPI ThreadProc(void* parameter);

// A watcher of threads (the exception library) may run every Execute through a wrapper of its
// own: ThreadProc then calls wrapper(thread, execute), and the wrapper calls execute(thread).
// What the wrapper throws ThreadProc keeps as the thread's fatal exception. nullptr: none.
using TThreadExecuteWrapper = void (*)(TThread* thread, void (*execute)(TThread* thread));
void SetThreadExecuteWrapper(TThreadExecuteWrapper wrapper);
