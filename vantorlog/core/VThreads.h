// The threads the library has seen start: one record per thread, kept in a list that the
// thread hooks change under its write lock and that processing copies into a snapshot; the
// per-thread exception state in a TLS slot; the entry points through which the thread hooks
// (and a secondary module's copies of them) keep the list current.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Thread.h"

#pragma pack(push, 1)
struct TTrackedThreadInfo {
  DWORD ThreadID;
  HANDLE ThreadHandle;    // the handle CreateThread returned (main thread: a duplicate)
  DWORD CreatorThreadID;  // the thread that last resumed it
  DWORD Priority;         // kPriorityNotRecorded when not recorded
  TThread* ThreadObject;  // when the thread runs a TThread
  const void* StackTop;   // written by the thread itself when its start routine begins
  void* SavedExecute;     // the Execute slot value replaced in the thread object's class
  void* RuntimeFunction;  // what the runtime's thread wrapper would have called
  void* RawStart;         // start address of a thread created directly
  void* Parameter;
  DWORD CreatorStackSize;
  void* CreatorStackCopy;  // the creator's stack from its position at the resume to its top
  BYTE ForeignStackCopy;   // 1: the stack copy belongs to another module and is never freed here
  BYTE InException;        // 1 while an exception of this thread is processed
};
#pragma pack(pop)

static_assert(sizeof(void*) != 4 || sizeof(TTrackedThreadInfo) == 50, "record layout");
// What crosses between modules: every field up to and including ForeignStackCopy.
inline constexpr std::size_t kTrackedThreadSharedSize = offsetof(TTrackedThreadInfo, InException);
inline constexpr DWORD kPriorityNotRecorded = 0x80000000u;

namespace VCore {

// Many readers or one writer. Both kinds nest in the same thread, a writer may read, and a
// reader may become the writer once the other readers are gone (two readers that both ask
// for that wait for each other). A waiting writer holds back new readers but not those
// that already read.
class TMultiReadExclusiveWriteSynchronizer {
 public:
  TMultiReadExclusiveWriteSynchronizer();
  ~TMultiReadExclusiveWriteSynchronizer();
  TMultiReadExclusiveWriteSynchronizer(const TMultiReadExclusiveWriteSynchronizer&) = delete;
  TMultiReadExclusiveWriteSynchronizer& operator=(const TMultiReadExclusiveWriteSynchronizer&) =
      delete;

  void BeginRead();
  void EndRead();
  void BeginWrite();
  void EndWrite();

 private:
  CRITICAL_SECTION lock_;
  CONDITION_VARIABLE changed_;
  DWORD read_depth_slot_;  // TLS: this thread's nesting of read locks
  DWORD writer_ = 0;
  int write_depth_ = 0;
  int readers_ = 0;  // threads that hold a read lock
  int waiting_writers_ = 0;
};

}  // namespace VCore

class TVantorThreadsList {
 public:
  // Without a source: an empty list with its own synchroniser. With one: a snapshot of the
  // source's records taken under its read lock, holding its own copies of the creator stacks;
  // a snapshot has no synchroniser and belongs to one thread.
  explicit TVantorThreadsList(TVantorThreadsList* source = nullptr);
  virtual ~TVantorThreadsList();
  TVantorThreadsList(const TVantorThreadsList&) = delete;
  TVantorThreadsList& operator=(const TVantorThreadsList&) = delete;

  virtual void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  bool IsSnapshot() const { return FSimpleCopy; }
  int Add(TTrackedThreadInfo* record);  // no lock
  // The list owns that thread handle (no lock): Delete of its record closes it.
  void OwnHandle(HANDLE handle);
  // Frees the record (and its stack copy unless foreign) and removes it.
  void Delete(int index);
  TTrackedThreadInfo* GetItem(int index) const;

  // Searches run from the last entry to the first; -1 when nothing matches.
  int IndexOfHandle(HANDLE handle) const;
  int IndexOfThreadObject(const TThread* object) const;
  int IndexOfThreadID(DWORD thread_id) const;

  // No-ops on a snapshot.
  void LockForRead();
  void UnlockRead();
  void LockForWrite();
  void UnlockWrite();

  // A zeroed record with Priority not recorded; added (without the lock) when asked. Null
  // when no memory is left.
  TTrackedThreadInfo* NewRecord(bool add);
  void RemoveCurrentThread();
  // Deletes the records of threads that have ended.
  void PurgeDeadThreads();
  bool IsCurrentThreadUnmarked();
  void SetExceptionMark(DWORD thread_id, BYTE value);
  // Clears the thread's mark; nothing to do (and no lock taken) while no mark was ever set.
  void ClearExceptionMark(DWORD thread_id);
  // Marks the calling thread when the current options ask for handled exceptions (behaviour
  // bit 8), the library is active, the thread is enabled and not yet marked.
  bool MarkCurrentThread(bool thread_enabled);

 private:
  std::vector<TTrackedThreadInfo*> items_;
  std::vector<HANDLE> owned_handles_;
  VCore::TMultiReadExclusiveWriteSynchronizer* FLock = nullptr;
  bool FSimpleCopy = false;
  volatile LONG any_marked_ = 0;
};

// Per-thread exception state, zero when a thread first asks for it.
struct ThreadExceptionState {
  const void* RaiseStackPointer;
  const void* HookStackPosition;
  DWORD HookEcx;
  CONTEXT Context;
  EXCEPTION_RECORD ExceptionRecord;
  BYTE Processing;
  BYTE InProcessing;
  BYTE CaptureGuard;
  // A throw through the wrap whose handler search has not ended yet.
  void* PendingObject;
  const void* PendingAddress;
  const void* PendingType;  // its std::type_info
  BYTE PendingRethrow;
};

namespace ExceptionLog {

// Whether the current options ask for handled exceptions to be reported (behaviour bit 8).
bool HandledExceptionsWanted();

// The calling thread's state (kept in a TlsAlloc slot; null only when no memory is left).
ThreadExceptionState* CurrentThreadState();
// Frees the calling thread's state; for the end of a thread.
void ReleaseCurrentThreadState();
// States allocated and not yet freed, of all threads.
long LiveThreadStates();

// A thread has ended when its handle is no longer valid or its exit code is known.
bool HasThreadEnded(HANDLE thread);

// The process's list: created at start-up in the main thread with the main thread's record
// (a duplicated handle with suspend, context and query access, and the stack base).
TVantorThreadsList* ThreadsList();
TVantorThreadsList* CreateProcessThreadsList();
void FreeProcessThreadsList();
DWORD MainThreadID();
bool IsMainThreadRecord(const TTrackedThreadInfo& record);
// The main thread or a thread that runs a TThread; the others are Windows threads.
bool IsRuntimeThreadRecord(const TTrackedThreadInfo& record);

// The raw stack of one thread of a snapshot, taken while it was suspended.
struct TThreadStackCopy {
  const TTrackedThreadInfo* Record = nullptr;  // in the snapshot
  DWORD Eip = 0, Esp = 0;
  std::size_t Size = 0;  // bytes copied from Esp on (0: none)
  std::unique_ptr<std::uint8_t[]> Bytes;
};
// Copies the stacks of the given records of a snapshot: every buffer is allocated first, then
// each thread is suspended, its context taken and its stack from Esp up to its stack top (at
// most capacity bytes) copied, and all are resumed. Nothing is allocated, resolved, loaded or
// locked while any of them is suspended, so a thread stopped inside the heap or the loader
// holds up nothing. A thread that cannot be suspended, or whose context has no Eip or Esp,
// gets no copy.
std::vector<TThreadStackCopy> CopyThreadStacks(
    const std::vector<const TTrackedThreadInfo*>& records, std::size_t capacity);

// Bodies of the thread entry points that the hooks and other modules call; the callers check
// the hooks-active state first. Each does nothing before the process's list exists.
// A thread was created: purge the ended ones, add a copy of the shared part of record.
void CallCreateThread(const TTrackedThreadInfo* record);
// A thread was resumed (not while this thread processes an exception): the record with that
// handle takes the shared part of record, whose stack copy stays the caller's.
void CallResumeThread(HANDLE handle, const TTrackedThreadInfo* record);
// The calling thread ends.
void CallExitThread();

}  // namespace ExceptionLog
