#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "VThreads.h"
#include "core/ExceptionLog.h"

namespace {

constexpr DWORD kWaitMs = 60000;  // a bound against hangs, not a timing check

struct Worker {
  HANDLE handle = nullptr;
  DWORD id = 0;
  HANDLE go = nullptr;  // the thread waits for it before it ends
  bool remove_itself = false;
  DWORD exit_code = 0;
};

DWORD WINAPI WorkerProc(void* parameter) {
  auto* w = static_cast<Worker*>(parameter);
  WaitForSingleObject(w->go, kWaitMs);
  if (w->remove_itself) ExceptionLog::CallExitThread();  // what the ExitThread hook does
  return w->exit_code;
}

// Starts a suspended thread and reports it as the CreateThread hook does.
void StartTracked(Worker* w) {
  w->go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  w->handle = CreateThread(nullptr, 0, WorkerProc, w, CREATE_SUSPENDED, &w->id);
  ASSERT_NE(w->handle, nullptr);
  TTrackedThreadInfo record{};
  record.ThreadID = w->id;
  record.ThreadHandle = w->handle;
  record.Priority = kPriorityNotRecorded;
  record.Parameter = w;
  ExceptionLog::CallCreateThread(&record);
  ResumeThread(w->handle);
}

void EndAndWait(std::vector<Worker>& workers) {
  for (Worker& w : workers) SetEvent(w.go);
  std::vector<HANDLE> handles;
  for (Worker& w : workers) handles.push_back(w.handle);
  ASSERT_EQ(
      WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, kWaitMs),
      WAIT_OBJECT_0);
}

void CloseAll(std::vector<Worker>& workers) {
  for (Worker& w : workers) {
    CloseHandle(w.handle);
    CloseHandle(w.go);
  }
}

class ProcessListTest : public ::testing::Test {
 protected:
  void SetUp() override { list = ExceptionLog::CreateProcessThreadsList(); }
  void TearDown() override { ExceptionLog::FreeProcessThreadsList(); }
  TVantorThreadsList* list = nullptr;
};

TEST(TrackedThreadInfoTest, LayoutCrossesModulesAsFiftyBytes) {
  EXPECT_EQ(sizeof(TTrackedThreadInfo), 50u);
  EXPECT_EQ(kTrackedThreadSharedSize, 49u);
  EXPECT_EQ(offsetof(TTrackedThreadInfo, Priority), 12u);
  EXPECT_EQ(offsetof(TTrackedThreadInfo, CreatorStackCopy), 44u);
  EXPECT_EQ(offsetof(TTrackedThreadInfo, ForeignStackCopy), 48u);
}

TEST_F(ProcessListTest, MainThreadIsTheFirstRecord) {
  ASSERT_EQ(list->Count(), 1);
  const TTrackedThreadInfo* main = list->GetItem(0);
  EXPECT_EQ(main->ThreadID, GetCurrentThreadId());
  EXPECT_EQ(ExceptionLog::MainThreadID(), GetCurrentThreadId());
  EXPECT_EQ(main->Priority, kPriorityNotRecorded);
  const auto* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
  EXPECT_EQ(main->StackTop, tib->StackBase);
  // A real handle of this thread, not the pseudo handle.
  ASSERT_NE(main->ThreadHandle, nullptr);
  EXPECT_NE(main->ThreadHandle, GetCurrentThread());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(main->ThreadHandle, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_TRUE(ExceptionLog::IsMainThreadRecord(*main));
  EXPECT_TRUE(ExceptionLog::IsRuntimeThreadRecord(*main));
  TTrackedThreadInfo other{};
  other.ThreadID = GetCurrentThreadId() + 4;
  EXPECT_FALSE(ExceptionLog::IsRuntimeThreadRecord(other));
  other.ThreadObject = reinterpret_cast<TThread*>(&other);
  EXPECT_TRUE(ExceptionLog::IsRuntimeThreadRecord(other));
}

TEST_F(ProcessListTest, ThreadsShowUpAndLeaveTheList) {
  std::vector<Worker> workers(4);
  workers[0].remove_itself = true;
  workers[1].remove_itself = true;
  workers[3].exit_code = STILL_ACTIVE;  // ends with the code that also means "running"
  for (Worker& w : workers) StartTracked(&w);
  ASSERT_EQ(list->Count(), 5);
  for (const Worker& w : workers) {
    const int i = list->IndexOfThreadID(w.id);
    ASSERT_GE(i, 0);
    EXPECT_EQ(list->GetItem(i)->ThreadHandle, w.handle);
    EXPECT_EQ(list->GetItem(i)->Parameter, &w);
    EXPECT_EQ(list->IndexOfHandle(w.handle), i);
  }
  EXPECT_EQ(list->IndexOfThreadID(0), -1);

  EndAndWait(workers);
  // The two that removed themselves are gone; the two that just ended stay until a purge,
  // which takes both in one pass.
  EXPECT_EQ(list->IndexOfThreadID(workers[0].id), -1);
  EXPECT_EQ(list->IndexOfThreadID(workers[1].id), -1);
  EXPECT_GE(list->IndexOfThreadID(workers[2].id), 0);
  EXPECT_GE(list->IndexOfThreadID(workers[3].id), 0);
  list->PurgeDeadThreads();
  EXPECT_EQ(list->Count(), 1);
  EXPECT_EQ(list->GetItem(0)->ThreadID, GetCurrentThreadId());
  CloseAll(workers);
}

TEST_F(ProcessListTest, CreatingAThreadPurgesTheEndedOnes) {
  std::vector<Worker> first(1);
  StartTracked(&first[0]);
  EndAndWait(first);
  std::vector<Worker> second(1);
  StartTracked(&second[0]);
  EXPECT_EQ(list->IndexOfThreadID(first[0].id), -1);
  EXPECT_GE(list->IndexOfThreadID(second[0].id), 0);
  EndAndWait(second);
  CloseAll(first);
  CloseAll(second);
}

TEST_F(ProcessListTest, SnapshotKeepsTheRecordsAsTheyWere) {
  std::vector<Worker> workers(1);
  StartTracked(&workers[0]);
  // A resume by this thread with a stack copy that the record owns.
  const char stack_bytes[] = "creator stack bytes";
  TTrackedThreadInfo* record = list->GetItem(list->IndexOfThreadID(workers[0].id));
  record->CreatorThreadID = GetCurrentThreadId();
  record->CreatorStackSize = sizeof stack_bytes;
  record->CreatorStackCopy = HeapAlloc(GetProcessHeap(), 0, sizeof stack_bytes);
  std::memcpy(record->CreatorStackCopy, stack_bytes, sizeof stack_bytes);
  record->InException = 1;

  auto snapshot = std::make_unique<TVantorThreadsList>(list);
  EXPECT_TRUE(snapshot->IsSnapshot());
  ASSERT_EQ(snapshot->Count(), 2);
  const TTrackedThreadInfo* copy = snapshot->GetItem(snapshot->IndexOfThreadID(workers[0].id));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->ThreadHandle, workers[0].handle);
  EXPECT_EQ(copy->CreatorThreadID, GetCurrentThreadId());
  EXPECT_EQ(copy->InException, 0);  // only the shared part is copied

  // The thread ends and leaves the list; the snapshot still has it and its stack copy.
  EndAndWait(workers);
  list->PurgeDeadThreads();
  EXPECT_EQ(list->IndexOfThreadID(workers[0].id), -1);
  ASSERT_EQ(copy->CreatorStackSize, sizeof stack_bytes);
  ASSERT_NE(copy->CreatorStackCopy, nullptr);
  EXPECT_EQ(std::memcmp(copy->CreatorStackCopy, stack_bytes, sizeof stack_bytes), 0);
  // Locks on a snapshot are no-ops, so one thread can nest them freely.
  snapshot->LockForWrite();
  snapshot->LockForRead();
  snapshot->UnlockRead();
  snapshot->UnlockWrite();
  snapshot.reset();
  EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
  CloseAll(workers);
}

TEST_F(ProcessListTest, ResumeFromAnotherModuleKeepsItsStackCopy) {
  std::vector<Worker> workers(2);
  StartTracked(&workers[0]);
  StartTracked(&workers[1]);
  // The other module's record and stack copy (its memory, not this list's).
  static char foreign_stack[64] = "the other module's copy";
  TTrackedThreadInfo theirs{};
  theirs.ThreadID = workers[0].id;
  theirs.ThreadHandle = workers[0].handle;
  theirs.CreatorThreadID = 77;
  theirs.CreatorStackSize = sizeof foreign_stack;
  theirs.CreatorStackCopy = foreign_stack;
  ExceptionLog::CallResumeThread(workers[0].handle, &theirs);
  const int i = list->IndexOfHandle(workers[0].handle);
  ASSERT_GE(i, 0);
  EXPECT_EQ(list->GetItem(i)->CreatorThreadID, 77u);
  EXPECT_EQ(list->GetItem(i)->CreatorStackCopy, foreign_stack);
  EXPECT_EQ(list->GetItem(i)->ForeignStackCopy, 1);
  list->Delete(i);  // must not free the other module's memory
  EXPECT_STREQ(foreign_stack, "the other module's copy");
  EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));

  // While this thread processes an exception the resume is not recorded.
  theirs.ThreadID = workers[1].id;
  theirs.ThreadHandle = workers[1].handle;
  ExceptionLog::CurrentThreadState()->InProcessing = 1;
  ExceptionLog::CallResumeThread(workers[1].handle, &theirs);
  ExceptionLog::CurrentThreadState()->InProcessing = 0;
  EXPECT_EQ(list->GetItem(list->IndexOfHandle(workers[1].handle))->CreatorThreadID, 0u);
  EndAndWait(workers);
  CloseAll(workers);
}

TEST(ThreadsListTest, SearchesFromTheLastEntryAndDeletesSafely) {
  TVantorThreadsList list;
  EXPECT_EQ(list.IndexOfThreadID(GetCurrentThreadId()), -1);
  EXPECT_EQ(list.IndexOfHandle(nullptr), -1);
  TTrackedThreadInfo* a = list.NewRecord(true);
  TTrackedThreadInfo* b = list.NewRecord(true);
  TTrackedThreadInfo* loose = list.NewRecord(false);
  EXPECT_EQ(loose->Priority, kPriorityNotRecorded);
  HeapFree(GetProcessHeap(), 0, loose);
  a->ThreadID = b->ThreadID = 5;
  a->ThreadObject = b->ThreadObject = reinterpret_cast<TThread*>(a);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.IndexOfThreadID(5), 1);
  EXPECT_EQ(list.IndexOfThreadObject(reinterpret_cast<TThread*>(a)), 1);
  EXPECT_EQ(list.GetItem(2), nullptr);
  list.Delete(7);
  list.Delete(-1);
  EXPECT_EQ(list.Count(), 2);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(ThreadsListTest, MarksFollowOptionsLibraryStateAndThreadEnabling) {
  auto options = TVantorModuleOptions::Create("");
  ExceptionLog::SetCurrentOptions(options.get());
  ExceptionLog::StartLibrary({});
  TVantorThreadsList list;
  TTrackedThreadInfo* own = list.NewRecord(true);
  own->ThreadID = GetCurrentThreadId();

  struct Case {
    std::uint16_t behaviour;
    bool active;
    bool enabled;
    bool result;
  };
  const Case cases[] = {
      {0x100, true, true, true},   {0x0FF, true, true, false}, {0x100, false, true, false},
      {0x100, true, false, false}, {0xFFFF, true, true, true},
  };
  for (const Case& c : cases) {
    options->FBehaviourFlags = c.behaviour;
    if (c.active)
      ExceptionLog::StartLibrary({});
    else
      ExceptionLog::StopLibrary();
    own->InException = 0;
    EXPECT_TRUE(list.IsCurrentThreadUnmarked());
    EXPECT_EQ(list.MarkCurrentThread(c.enabled), c.result) << c.behaviour << c.active << c.enabled;
    EXPECT_EQ(own->InException, c.result ? 1 : 0);
    // Marked once per thread: a second try fails.
    EXPECT_FALSE(list.MarkCurrentThread(c.enabled));
  }
  list.SetExceptionMark(GetCurrentThreadId(), 0);
  EXPECT_TRUE(list.IsCurrentThreadUnmarked());
  list.SetExceptionMark(12345, 1);  // no such record: nothing
  EXPECT_TRUE(list.IsCurrentThreadUnmarked());
  own->ThreadID = GetCurrentThreadId() + 4;  // a thread without a record is not "unmarked"
  EXPECT_FALSE(list.IsCurrentThreadUnmarked());
  ExceptionLog::StopLibrary();
  ExceptionLog::SetCurrentOptions(nullptr);
}

// Readers (nesting their read locks), writers (nesting writes and reads inside them) and one
// reader that becomes a writer all finish.
struct Contention {
  TVantorThreadsList list;
  std::atomic<bool> stop{false};
  std::atomic<int> added{0};
  std::atomic<bool> inconsistent{false};
  std::atomic<int> writing{0};
};

DWORD WINAPI ReaderProc(void* p) {
  auto* c = static_cast<Contention*>(p);
  for (int i = 0; i < 3000; ++i) {
    c->list.LockForRead();
    c->list.LockForRead();
    if (c->writing.load() != 0) c->inconsistent = true;
    c->list.IndexOfThreadID(GetCurrentThreadId());
    c->list.UnlockRead();
    c->list.UnlockRead();
  }
  return 0;
}

DWORD WINAPI WriterProc(void* p) {
  auto* c = static_cast<Contention*>(p);
  for (int i = 0; i < 1000; ++i) {
    c->list.LockForWrite();
    if (c->writing.fetch_add(1) != 0) c->inconsistent = true;
    c->list.LockForWrite();
    c->list.LockForRead();
    TTrackedThreadInfo* r = c->list.NewRecord(true);
    r->ThreadID = GetCurrentThreadId();
    c->list.UnlockRead();
    c->list.UnlockWrite();
    if (i % 2) c->list.Delete(c->list.IndexOfThreadID(GetCurrentThreadId()));
    c->writing.fetch_sub(1);
    c->list.UnlockWrite();
  }
  return 0;
}

DWORD WINAPI UpgraderProc(void* p) {
  auto* c = static_cast<Contention*>(p);
  for (int i = 0; i < 500; ++i) {
    c->list.LockForRead();
    c->list.LockForWrite();
    if (c->writing.fetch_add(1) != 0) c->inconsistent = true;
    c->writing.fetch_sub(1);
    c->list.UnlockWrite();
    c->list.UnlockRead();
  }
  return 0;
}

TEST(ThreadsListTest, ConcurrentReadersAndWritersFinish) {
  Contention c;
  std::vector<HANDLE> threads;
  for (int i = 0; i < 4; ++i)
    threads.push_back(CreateThread(nullptr, 0, ReaderProc, &c, 0, nullptr));
  for (int i = 0; i < 2; ++i)
    threads.push_back(CreateThread(nullptr, 0, WriterProc, &c, 0, nullptr));
  threads.push_back(CreateThread(nullptr, 0, UpgraderProc, &c, 0, nullptr));
  ASSERT_EQ(
      WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, kWaitMs),
      WAIT_OBJECT_0);
  for (HANDLE h : threads) CloseHandle(h);
  EXPECT_FALSE(c.inconsistent);  // never a reader or a second writer beside a writer
  EXPECT_EQ(c.list.Count(), 2 * 500);
}

struct StateResult {
  ThreadExceptionState* state;
  DWORD ecx;
};

DWORD WINAPI StateProc(void* p) {
  auto* r = static_cast<StateResult*>(p);
  r->state = ExceptionLog::CurrentThreadState();
  r->ecx = r->state ? r->state->HookEcx : 1;
  ExceptionLog::ReleaseCurrentThreadState();
  return 0;
}

TEST(ThreadStateTest, EachThreadHasItsOwnZeroedState) {
  ThreadExceptionState* mine = ExceptionLog::CurrentThreadState();
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(ExceptionLog::CurrentThreadState(), mine);
  mine->HookEcx = 0xABCD;
  StateResult result{};
  HANDLE t = CreateThread(nullptr, 0, StateProc, &result, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(t, kWaitMs), WAIT_OBJECT_0);
  CloseHandle(t);
  EXPECT_NE(result.state, nullptr);
  EXPECT_NE(result.state, mine);
  EXPECT_EQ(result.ecx, 0u);
  EXPECT_EQ(mine->HookEcx, 0xABCDu);
}

}  // namespace
