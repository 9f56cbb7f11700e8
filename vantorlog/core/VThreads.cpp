#include "VThreads.h"

#include <algorithm>
#include <cstring>

#include "ExceptionLog.h"
#include "VCore.h"
#include "VMemory.h"

namespace {

// Records, stack copies and thread states come from the process heap: the program's
// operator new may be the leak tracker's, and the hooks run where it must not be entered.
void* HeapZeroed(std::size_t size) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size); }
void HeapRelease(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

// A copy of size bytes at source, or null when they cannot all be read.
void* CopyOfMemory(const void* source, std::size_t size) {
  if (!source || size == 0) return nullptr;
  void* copy = HeapAlloc(GetProcessHeap(), 0, size);
  if (copy && !VCore::SafeRead(source, copy, size)) {
    HeapRelease(copy);
    copy = nullptr;
  }
  return copy;
}

std::uintptr_t ReadDepth(DWORD slot) { return reinterpret_cast<std::uintptr_t>(TlsGetValue(slot)); }
void SetReadDepth(DWORD slot, std::uintptr_t depth) {
  TlsSetValue(slot, reinterpret_cast<void*>(depth));
}

}  // namespace

namespace VCore {

TMultiReadExclusiveWriteSynchronizer::TMultiReadExclusiveWriteSynchronizer()
    : read_depth_slot_(TlsAlloc()) {
  InitializeCriticalSection(&lock_);
  InitializeConditionVariable(&changed_);
}

TMultiReadExclusiveWriteSynchronizer::~TMultiReadExclusiveWriteSynchronizer() {
  if (read_depth_slot_ != TLS_OUT_OF_INDEXES) TlsFree(read_depth_slot_);
  DeleteCriticalSection(&lock_);
}

void TMultiReadExclusiveWriteSynchronizer::BeginRead() {
  const DWORD me = GetCurrentThreadId();
  EnterCriticalSection(&lock_);
  if (writer_ == me) {
    ++write_depth_;  // a writer's read nests in its write lock
  } else {
    const std::uintptr_t depth = ReadDepth(read_depth_slot_);
    if (depth == 0) {
      while (writer_ != 0 || waiting_writers_ > 0)
        SleepConditionVariableCS(&changed_, &lock_, INFINITE);
      ++readers_;
    }
    SetReadDepth(read_depth_slot_, depth + 1);
  }
  LeaveCriticalSection(&lock_);
}

void TMultiReadExclusiveWriteSynchronizer::EndRead() {
  const DWORD me = GetCurrentThreadId();
  EnterCriticalSection(&lock_);
  if (writer_ == me) {
    if (write_depth_ > 1) --write_depth_;
  } else {
    const std::uintptr_t depth = ReadDepth(read_depth_slot_);
    if (depth > 0) {
      SetReadDepth(read_depth_slot_, depth - 1);
      // Every last read of a thread wakes the waiters: a reader that waits to write needs
      // the count to fall to its own read, not to zero.
      if (depth == 1) {
        --readers_;
        WakeAllConditionVariable(&changed_);
      }
    }
  }
  LeaveCriticalSection(&lock_);
}

void TMultiReadExclusiveWriteSynchronizer::BeginWrite() {
  const DWORD me = GetCurrentThreadId();
  EnterCriticalSection(&lock_);
  if (writer_ == me) {
    ++write_depth_;
  } else {
    const int own_read = ReadDepth(read_depth_slot_) > 0 ? 1 : 0;
    ++waiting_writers_;
    while (writer_ != 0 || readers_ > own_read)
      SleepConditionVariableCS(&changed_, &lock_, INFINITE);
    --waiting_writers_;
    writer_ = me;
    write_depth_ = 1;
  }
  LeaveCriticalSection(&lock_);
}

void TMultiReadExclusiveWriteSynchronizer::EndWrite() {
  const DWORD me = GetCurrentThreadId();
  EnterCriticalSection(&lock_);
  if (writer_ == me && --write_depth_ == 0) {
    writer_ = 0;
    WakeAllConditionVariable(&changed_);
  }
  LeaveCriticalSection(&lock_);
}

}  // namespace VCore

// ---- TVantorThreadsList ----

TVantorThreadsList::TVantorThreadsList(TVantorThreadsList* source) {
  if (!source) {
    FLock = new VCore::TMultiReadExclusiveWriteSynchronizer;
    return;
  }
  FSimpleCopy = true;
  source->LockForRead();
  items_.reserve(source->items_.size());
  for (const TTrackedThreadInfo* from : source->items_) {
    TTrackedThreadInfo* copy = NewRecord(false);
    if (!copy) break;
    std::memcpy(copy, from, kTrackedThreadSharedSize);
    // The source frees or replaces its stack copies while the snapshot is in use: the
    // snapshot reads its own.
    copy->CreatorStackCopy = CopyOfMemory(from->CreatorStackCopy, from->CreatorStackSize);
    copy->ForeignStackCopy = 0;
    items_.push_back(copy);
  }
  source->UnlockRead();
}

TVantorThreadsList::~TVantorThreadsList() {
  Clear();
  delete FLock;
}

void TVantorThreadsList::Clear() {
  while (!items_.empty()) Delete(Count() - 1);
}

int TVantorThreadsList::Add(TTrackedThreadInfo* record) {
  if (!record) return -1;
  items_.push_back(record);
  return Count() - 1;
}

void TVantorThreadsList::OwnHandle(HANDLE handle) {
  if (handle && !FSimpleCopy) owned_handles_.push_back(handle);
}

void TVantorThreadsList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  TTrackedThreadInfo* record = items_[index];
  for (auto it = owned_handles_.begin(); it != owned_handles_.end(); ++it) {
    if (*it != record->ThreadHandle) continue;
    CloseHandle(*it);
    owned_handles_.erase(it);
    break;
  }
  // A snapshot owns its copies (taken in the constructor).
  if (!record->ForeignStackCopy) HeapRelease(record->CreatorStackCopy);
  HeapRelease(record);
  items_.erase(items_.begin() + index);
}

TTrackedThreadInfo* TVantorThreadsList::GetItem(int index) const {
  return index >= 0 && index < Count() ? items_[index] : nullptr;
}

int TVantorThreadsList::IndexOfHandle(HANDLE handle) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (items_[i]->ThreadHandle == handle) return i;
  return -1;
}

int TVantorThreadsList::IndexOfThreadObject(const TThread* object) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (items_[i]->ThreadObject == object) return i;
  return -1;
}

int TVantorThreadsList::IndexOfThreadID(DWORD thread_id) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (items_[i]->ThreadID == thread_id) return i;
  return -1;
}

void TVantorThreadsList::LockForRead() {
  if (FLock) FLock->BeginRead();
}
void TVantorThreadsList::UnlockRead() {
  if (FLock) FLock->EndRead();
}
void TVantorThreadsList::LockForWrite() {
  if (FLock) FLock->BeginWrite();
}
void TVantorThreadsList::UnlockWrite() {
  if (FLock) FLock->EndWrite();
}

TTrackedThreadInfo* TVantorThreadsList::NewRecord(bool add) {
  auto* record = static_cast<TTrackedThreadInfo*>(HeapZeroed(sizeof(TTrackedThreadInfo)));
  if (!record) return nullptr;
  record->Priority = kPriorityNotRecorded;
  if (add) Add(record);
  return record;
}

void TVantorThreadsList::RemoveCurrentThread() {
  LockForWrite();
  Delete(IndexOfThreadID(GetCurrentThreadId()));
  UnlockWrite();
}

void TVantorThreadsList::PurgeDeadThreads() {
  LockForWrite();
  for (int i = Count() - 1; i >= 0; --i)
    if (ExceptionLog::HasThreadEnded(items_[i]->ThreadHandle)) Delete(i);
  UnlockWrite();
}

bool TVantorThreadsList::IsCurrentThreadUnmarked() {
  LockForRead();
  const TTrackedThreadInfo* record = GetItem(IndexOfThreadID(GetCurrentThreadId()));
  const bool unmarked = record && record->InException == 0;
  UnlockRead();
  return unmarked;
}

void TVantorThreadsList::SetExceptionMark(DWORD thread_id, BYTE value) {
  if (value) InterlockedExchange(&any_marked_, 1);
  LockForWrite();
  if (TTrackedThreadInfo* record = GetItem(IndexOfThreadID(thread_id))) record->InException = value;
  UnlockWrite();
}

void TVantorThreadsList::ClearExceptionMark(DWORD thread_id) {
  if (any_marked_) SetExceptionMark(thread_id, 0);
}

bool TVantorThreadsList::MarkCurrentThread(bool thread_enabled) {
  if (!ExceptionLog::HandledExceptionsWanted() || !ExceptionLog::IsLibraryActive() ||
      !thread_enabled || !IsCurrentThreadUnmarked())
    return false;
  SetExceptionMark(GetCurrentThreadId(), 1);
  return true;
}

// ---- Per-thread state and the process's list ----

namespace ExceptionLog {
namespace {

// TLS_OUT_OF_INDEXES until the first thread asks.
volatile LONG g_state_slot = static_cast<LONG>(TLS_OUT_OF_INDEXES);
TVantorThreadsList* g_threads_list = nullptr;
DWORD g_main_thread_id = 0;
volatile LONG g_live_states = 0;

DWORD StateSlot() {
  LONG slot = g_state_slot;
  if (slot != static_cast<LONG>(TLS_OUT_OF_INDEXES)) return static_cast<DWORD>(slot);
  const DWORD fresh = TlsAlloc();
  if (fresh == TLS_OUT_OF_INDEXES) return fresh;
  slot = InterlockedCompareExchange(&g_state_slot, static_cast<LONG>(fresh),
                                    static_cast<LONG>(TLS_OUT_OF_INDEXES));
  if (slot == static_cast<LONG>(TLS_OUT_OF_INDEXES)) return fresh;
  TlsFree(fresh);  // another thread was first
  return static_cast<DWORD>(slot);
}

}  // namespace

bool HandledExceptionsWanted() {
  const TVantorModuleOptions* options = CurrentOptions();
  return options && (options->FBehaviourFlags & 0x100) != 0;
}

ThreadExceptionState* CurrentThreadState() {
  const DWORD slot = StateSlot();
  if (slot == TLS_OUT_OF_INDEXES) return nullptr;
  auto* state = static_cast<ThreadExceptionState*>(TlsGetValue(slot));
  if (!state) {
    state = static_cast<ThreadExceptionState*>(HeapZeroed(sizeof(ThreadExceptionState)));
    if (state) {
      TlsSetValue(slot, state);
      InterlockedIncrement(&g_live_states);
    }
  }
  return state;
}

void ReleaseCurrentThreadState() {
  const DWORD slot = g_state_slot;
  if (slot == TLS_OUT_OF_INDEXES) return;
  if (void* state = TlsGetValue(slot)) {
    HeapRelease(state);
    InterlockedDecrement(&g_live_states);
  }
  TlsSetValue(slot, nullptr);
}

long LiveThreadStates() { return g_live_states; }

bool HasThreadEnded(HANDLE thread) {
  if (!VCore::IsValidHandle(thread)) return true;
  DWORD code = 0;
  if (!GetExitCodeThread(thread, &code)) return false;
  // A thread may end with the code STILL_ACTIVE itself; its handle is signalled then.
  return code != STILL_ACTIVE || WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}

TVantorThreadsList* ThreadsList() { return g_threads_list; }

TVantorThreadsList* CreateProcessThreadsList() {
  if (g_threads_list) return g_threads_list;
  auto* list = new TVantorThreadsList;
  g_main_thread_id = GetCurrentThreadId();
  if (TTrackedThreadInfo* main = list->NewRecord(true)) {
    main->ThreadID = g_main_thread_id;
    HANDLE handle = nullptr;
    constexpr DWORD kAccess = THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle,
                        kAccess, FALSE, 0))
      main->ThreadHandle = handle;
    main->StackTop = VCore::StackTopOfThread();
  }
  g_threads_list = list;
  return list;
}

void FreeProcessThreadsList() {
  TVantorThreadsList* list = g_threads_list;
  if (!list) return;
  list->LockForWrite();
  g_threads_list = nullptr;
  list->UnlockWrite();
  const int main = list->IndexOfThreadID(g_main_thread_id);
  if (TTrackedThreadInfo* record = list->GetItem(main))
    if (record->ThreadHandle) CloseHandle(record->ThreadHandle);
  delete list;
}

DWORD MainThreadID() { return g_main_thread_id; }

bool IsMainThreadRecord(const TTrackedThreadInfo& record) {
  return g_main_thread_id != 0 && record.ThreadID == g_main_thread_id;
}

bool IsRuntimeThreadRecord(const TTrackedThreadInfo& record) {
  return IsMainThreadRecord(record) || record.ThreadObject != nullptr;
}

std::vector<TThreadStackCopy> CopyThreadStacks(
    const std::vector<const TTrackedThreadInfo*>& records, std::size_t capacity) {
  std::vector<TThreadStackCopy> copies(records.size());
  std::vector<char> suspended(records.size(), 0);
  for (std::size_t i = 0; i < records.size(); ++i) {
    copies[i].Record = records[i];
    copies[i].Bytes.reset(new std::uint8_t[capacity]);
  }
  VCore::GuardedCopy(nullptr, nullptr, 0);  // its fault handler is in place before the stop
  // From here to the resume: system calls and plain copies only.
  for (std::size_t i = 0; i < records.size(); ++i)
    suspended[i] = SuspendThread(records[i]->ThreadHandle) != static_cast<DWORD>(-1);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!suspended[i]) continue;
    TThreadStackCopy& copy = copies[i];
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = kContextFlagsCaptured;
    if (!GetThreadContext(records[i]->ThreadHandle, &context) || !context.Eip || !context.Esp)
      continue;
    copy.Eip = context.Eip;
    copy.Esp = context.Esp;
    const auto top = reinterpret_cast<std::uintptr_t>(records[i]->StackTop);
    // Above Esp up to the top the stack is committed: no guard page is touched.
    if (top <= context.Esp) continue;
    const std::size_t size = std::min<std::size_t>(top - context.Esp, capacity);
    copy.Size =
        VCore::GuardedCopy(copy.Bytes.get(), reinterpret_cast<const void*>(context.Esp), size);
  }
  for (std::size_t i = 0; i < records.size(); ++i)
    if (suspended[i]) ResumeThread(records[i]->ThreadHandle);
  return copies;
}

void CallCreateThread(const TTrackedThreadInfo* record) {
  TVantorThreadsList* list = g_threads_list;
  if (!list || !record) return;
  list->PurgeDeadThreads();
  TTrackedThreadInfo* copy = list->NewRecord(false);
  if (!copy) return;
  std::memcpy(copy, record, kTrackedThreadSharedSize);
  list->LockForWrite();
  list->Add(copy);
  list->UnlockWrite();
}

void CallResumeThread(HANDLE handle, const TTrackedThreadInfo* record) {
  TVantorThreadsList* list = g_threads_list;
  if (!list || !record) return;
  if (const ThreadExceptionState* state = CurrentThreadState(); state && state->InProcessing)
    return;
  list->LockForWrite();
  // Records may hold handles of their own: the thread's id finds them too.
  int index = list->IndexOfHandle(handle);
  if (index < 0) index = list->IndexOfThreadID(GetThreadId(handle));
  if (TTrackedThreadInfo* own = list->GetItem(index)) {
    // The copy it had is replaced: free it unless it was another module's.
    if (!own->ForeignStackCopy && own->CreatorStackCopy != record->CreatorStackCopy)
      HeapRelease(own->CreatorStackCopy);
    const HANDLE kept = own->ThreadHandle;
    std::memcpy(own, record, kTrackedThreadSharedSize);
    own->ThreadHandle = kept;
    own->ForeignStackCopy = 1;
  }
  list->UnlockWrite();
}

void CallExitThread() {
  if (TVantorThreadsList* list = g_threads_list) list->RemoveCurrentThread();
  ReleaseCurrentThreadState();
}

}  // namespace ExceptionLog
