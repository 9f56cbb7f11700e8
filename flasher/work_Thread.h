// The worker thread: one flasher operation (write, dump or erase) per button press.
#pragma once

#include "Thread.h"

class _work_Thread : public TThread {
 public:
  _work_Thread() : TThread(false) {}

 protected:
  void Execute() override;
};

// The last worker started; kept, never waited for.
extern _work_Thread* WorkThread;

// Creates a worker that runs at once and stores it in WorkThread.
void StartWorkThread();
