#include "Thread.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// Threads created running whose constructor may still be executing on the creator.
struct PendingStarts {
  std::mutex lock;
  std::vector<TThread*> threads;
  std::atomic<int> count{0};
};

PendingStarts& Pending() {
  static PendingStarts* pending = new PendingStarts;  // outlives every thread
  return *pending;
}

bool TakePending(TThread* thread) {
  PendingStarts& p = Pending();
  std::lock_guard<std::mutex> guard(p.lock);
  auto it = std::find(p.threads.begin(), p.threads.end(), thread);
  if (it == p.threads.end()) return false;
  p.threads.erase(it);
  --p.count;
  return true;
}

// Waits for a handle while delivering messages sent to this thread's windows.
bool WaitDeliveringSentMessages(HANDLE handle) {
  for (;;) {
    const DWORD r = MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_SENDMESSAGE);
    if (r == WAIT_OBJECT_0) return true;
    if (r != WAIT_OBJECT_0 + 1) return false;
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  }
}

std::atomic<TThreadExecuteWrapper> g_execute_wrapper{nullptr};

}  // namespace

void SetThreadExecuteWrapper(TThreadExecuteWrapper wrapper) { g_execute_wrapper = wrapper; }

DWORD WINAPI ThreadProc(void* parameter) {
  auto* thread = static_cast<TThread*>(parameter);
  try {
    if (!thread->Terminated()) {
      if (TThreadExecuteWrapper wrapper = g_execute_wrapper)
        wrapper(thread, &TThread::RunExecute);
      else
        thread->Execute();
    }
  } catch (...) {
    thread->fatal_exception_ = std::current_exception();
  }
  const DWORD result = thread->ReturnValue;
  const bool free_on_terminate = thread->FreeOnTerminate;
  thread->finished_ = true;
  if (free_on_terminate) delete thread;
  return result;
}

TThread::TThread(bool create_suspended) : creator_thread_id_(GetCurrentThreadId()) {
  handle_ = CreateThread(nullptr, 0, ThreadProc, this, CREATE_SUSPENDED, &thread_id_);
  if (!handle_) {
    throw EThread("Thread creation error: " + std::to_string(GetLastError()));
  }
  if (!create_suspended) {
    PendingStarts& p = Pending();
    std::lock_guard<std::mutex> guard(p.lock);
    p.threads.push_back(this);
    ++p.count;
  }
}

TThread::~TThread() {
  TakePending(this);
  if (handle_ && GetCurrentThreadId() != thread_id_) {
    if (!started_) {
      // Never started: let the thread run to its end without Execute.
      terminated_ = true;
      started_ = true;
      ResumeThread(handle_);
    } else {
      terminated_ = true;
    }
    if (!FreeOnTerminate) WaitDeliveringSentMessages(handle_);
  }
  if (handle_) CloseHandle(handle_);
}

void TThread::Start() {
  TakePending(this);
  StartPendingThreads();
  if (started_.exchange(true)) return;
  ResumeThread(handle_);
}

void TThread::StartPendingThreads() {
  PendingStarts& p = Pending();
  if (p.count.load() == 0) return;
  std::vector<TThread*> due;
  {
    std::lock_guard<std::mutex> guard(p.lock);
    const DWORD self = GetCurrentThreadId();
    for (auto it = p.threads.begin(); it != p.threads.end();) {
      if ((*it)->creator_thread_id_ == self) {
        due.push_back(*it);
        it = p.threads.erase(it);
        --p.count;
      } else {
        ++it;
      }
    }
  }
  for (TThread* t : due) {
    if (!t->started_.exchange(true)) ResumeThread(t->handle_);
  }
}

DWORD TThread::WaitFor() {
  if (FreeOnTerminate) throw EThread("Cannot wait for a thread that frees itself");
  if (GetCurrentThreadId() == thread_id_) throw EThread("A thread cannot wait for itself");
  if (TakePending(this)) Start();
  StartPendingThreads();
  if (!started_) throw EThread("Cannot wait for a suspended thread");
  if (!WaitDeliveringSentMessages(handle_)) {
    throw EThread("Thread wait failed: " + std::to_string(GetLastError()));
  }
  DWORD code = 0;
  GetExitCodeThread(handle_, &code);
  return code;
}
