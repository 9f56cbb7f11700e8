// The raise wrap, the handler search and the vectored converter with real throws and faults in
// a program linked with --wrap=__cxa_throw, __cxa_rethrow and __cxa_end_catch. What reaches the
// core handler hook is what the decision answered. Uncaught throws are in RaiseChild.cpp.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Thread.h"
#include "VClassModel.h"
#include "VExceptionCache.h"
#include "VThreads.h"
#include "core/ExceptionLog.h"

// A thread of the library's own kind (by class name): never kept in the threads list.
class TExceptionThread : public TThread {
 public:
  TExceptionThread() : TThread(true) {}
  std::atomic<DWORD> id{0};
  HANDLE go = nullptr;

 protected:
  void Execute() override {
    id = GetCurrentThreadId();
    WaitForSingleObject(go, 60000);
  }
};

namespace {

struct Reached {
  void* object;
  const void* address;
  bool language;
  BYTE kind;
  DWORD thread;
  std::string class_name;
  CONTEXT context;
  EXCEPTION_RECORD record;
};

std::vector<Reached>* g_reached = nullptr;
CRITICAL_SECTION g_reached_lock;
std::atomic<int> g_end_catches{0};

bool RecordReached(void* object, const void* address, bool language, BYTE kind, HMODULE) {
  Reached r{};
  r.object = object;
  r.address = address;
  r.language = language;
  r.kind = kind;
  r.thread = GetCurrentThreadId();
  r.class_name = VCore::ClassNameOf(VCore::ClassOfObject(object));
  if (const ThreadExceptionState* state = ExceptionLog::CurrentThreadState()) {
    r.context = state->Context;
    r.record = state->ExceptionRecord;
  }
  EnterCriticalSection(&g_reached_lock);
  g_reached->push_back(r);
  LeaveCriticalSection(&g_reached_lock);
  return true;
}

void CountEndCatch() { ++g_end_catches; }

extern "C" void VlFaultRead();
extern "C" void VlFaultReadAt();
extern "C" void VlDivide();
extern "C" void VlDivideAt();
// Known registers at the fault: EAX 0x1234ABCD, ECX 0x5678 (read); EAX 100, EDX 0, ECX 0
// (divide). A read of address 0x10 is 5 bytes (A1 imm32), the divide 2 bytes (F7 F1).
asm(".text\n"
    ".globl _VlFaultRead\n"
    "_VlFaultRead:\n"
    "  movl $0x1234ABCD, %eax\n"
    "  movl $0x5678, %ecx\n"
    ".globl _VlFaultReadAt\n"
    "_VlFaultReadAt:\n"
    "  movl 0x10, %eax\n"
    "  ret\n"
    ".globl _VlDivide\n"
    "_VlDivide:\n"
    "  movl $100, %eax\n"
    "  xorl %edx, %edx\n"
    "  xorl %ecx, %ecx\n"
    ".globl _VlDivideAt\n"
    "_VlDivideAt:\n"
    "  divl %ecx\n"
    "  ret\n");

class RaiseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitializeCriticalSection(&g_reached_lock);
    g_reached = new std::vector<Reached>;
    ExceptionLog::CreateProcessThreadsList();
    ExceptionLog::LocateRuntimeThreadCode();
  }
  void SetUp() override {
    g_reached->clear();
    g_end_catches = 0;
    VCore::CacheClear();
    ASSERT_TRUE(ExceptionLog::StartLibrary({}));
    ExceptionLog::SetCoreExceptionHandler(RecordReached);
    ExceptionLog::SetEndCatchHook(CountEndCatch);
    ExceptionLog::SetHooksActive(true);
  }
  void TearDown() override {
    ExceptionLog::SetHooksActive(false);
    ExceptionLog::SetCoreExceptionHandler(nullptr);
    ExceptionLog::SetEndCatchHook(nullptr);
    ExceptionLog::StopLibrary();
    ExceptionLog::ResetThreadExceptionState();
  }
  static std::vector<Reached> Taken() {
    EnterCriticalSection(&g_reached_lock);
    std::vector<Reached> copy = *g_reached;
    LeaveCriticalSection(&g_reached_lock);
    return copy;
  }
};

class EUnrelated : public Exception {
 public:
  using Exception::Exception;
};

[[gnu::noinline]] void ThrowConvert() { throw EConvertError("bad number"); }

// Each case throws EConvertError (a descendant of Exception) through a handler of one kind.
struct CaughtCase {
  const char* what;
  void (*run)();
};

const CaughtCase kCaught[] = {
    {"typed handler of the class",
     [] {
       try {
         ThrowConvert();
       } catch (const EConvertError&) {
       }
     }},
    {"catch (...)",
     [] {
       try {
         ThrowConvert();
       } catch (...) {
       }
     }},
    {"base-class handler",
     [] {
       try {
         ThrowConvert();
       } catch (const Exception&) {
       }
     }},
    {"unrelated handler inside, catch-all outside",
     [] {
       try {
         try {
           ThrowConvert();
         } catch (const EUnrelated&) {
           ADD_FAILURE() << "wrong handler";
         }
       } catch (...) {
       }
     }},
    {"handler two frames up, cleanups between",
     [] {
       struct Guard {
         ~Guard() { (void)0; }
       };
       auto inner = [] {
         Guard g;
         ThrowConvert();
       };
       try {
         inner();
       } catch (const Exception& e) {
         EXPECT_EQ(e.Message(), "bad number");
       }
     }},
};

TEST_F(RaiseTest, CaughtThrowsAreLeftToTheirHandlers) {
  for (const CaughtCase& c : kCaught) {
    g_reached->clear();
    c.run();
    EXPECT_TRUE(Taken().empty()) << c.what;
    // The raise itself was seen: the last-exception record holds its object.
    EXPECT_NE(ExceptionLog::LastException().KnownObject, nullptr) << c.what;
    EXPECT_EQ(ExceptionLog::LastException().Language, 1) << c.what;
  }
}

TEST_F(RaiseTest, RecordAndContextOfALanguageRaise) {
  void* thrown = nullptr;
  try {
    ThrowConvert();
  } catch (EConvertError& e) {
    thrown = &e;
  }
  const ThreadExceptionState* state = ExceptionLog::CurrentThreadState();
  ASSERT_NE(state, nullptr);
  const EXCEPTION_RECORD& r = state->ExceptionRecord;
  EXPECT_EQ(r.ExceptionCode, 0x0EEDFADEu);
  EXPECT_EQ(r.ExceptionFlags, 1u);
  EXPECT_EQ(r.NumberParameters, 7u);
  EXPECT_EQ(r.ExceptionRecord, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(r.ExceptionInformation[1]), thrown);
  EXPECT_EQ(r.ExceptionAddress, reinterpret_cast<void*>(r.ExceptionInformation[0]));
  for (int i = 7; i < EXCEPTION_MAXIMUM_PARAMETERS; ++i) EXPECT_EQ(r.ExceptionInformation[i], 0u);
  const CONTEXT& c = state->Context;
  EXPECT_EQ(c.ContextFlags, 0x10003u);
  EXPECT_EQ(c.Eip, r.ExceptionInformation[0] - 5);
  // The call at Eip is a direct call (E8) inside ThrowConvert.
  const auto* call = reinterpret_cast<const std::uint8_t*>(c.Eip);
  EXPECT_EQ(call[0], 0xE8);
  const auto from = reinterpret_cast<std::uintptr_t>(&ThrowConvert);
  EXPECT_GT(c.Eip, from);
  EXPECT_LT(c.Eip, from + 256);
  EXPECT_EQ(c.Eax, r.ExceptionInformation[1]);
  EXPECT_EQ(c.Ebx, r.ExceptionInformation[2]);
  EXPECT_EQ(c.Esi, r.ExceptionInformation[3]);
  EXPECT_EQ(c.Edi, r.ExceptionInformation[4]);
  EXPECT_EQ(c.Ebp, r.ExceptionInformation[5]);
  EXPECT_EQ(c.Esp, r.ExceptionInformation[6]);
  EXPECT_EQ(c.Edx, r.ExceptionInformation[0]);
  // The stack copy starts at the raising code's stack pointer and reaches the stack's top.
  std::vector<std::uint8_t> copy(ExceptionLog::kStackCopyCapacity);
  const ExceptionLog::TRaiseStackCopy facts =
      ExceptionLog::RaiseStackCopy(copy.data(), copy.size());
  EXPECT_EQ(facts.ThreadID, GetCurrentThreadId());
  EXPECT_EQ(facts.Address, reinterpret_cast<const void*>(c.Eip));
  EXPECT_EQ(facts.Start, reinterpret_cast<const void*>(c.Esp));
  const auto top =
      reinterpret_cast<std::uintptr_t>(reinterpret_cast<const NT_TIB*>(NtCurrentTeb())->StackBase);
  EXPECT_EQ(facts.Size, std::min<std::size_t>(top - c.Esp, ExceptionLog::kStackCopyCapacity));
  ExceptionLog::ResetThreadExceptionState();
  EXPECT_EQ(state->ExceptionRecord.ExceptionCode, 0u);
  EXPECT_EQ(state->Context.ContextFlags, 0u);
  EXPECT_EQ(state->RaiseStackPointer, nullptr);
  EXPECT_EQ(ExceptionLog::LastException().Object, nullptr);
  EXPECT_NE(ExceptionLog::LastException().KnownObject, nullptr);  // sticky
}

TEST_F(RaiseTest, NothingIsProcessedWhileInactiveOrForExcludedThreadsOrEAbort) {
  auto uncaught_by_user = [] {
    // A throw that only the thread procedure's handler would take: processed when seen.
    class T : public TThread {
     public:
      T() : TThread(true) {}
      void Execute() override { throw EConvertError("x"); }
    } t;
    t.Start();
    t.WaitFor();
  };
  ExceptionLog::SetHooksActive(false);
  uncaught_by_user();
  EXPECT_TRUE(Taken().empty());
  ExceptionLog::SetHooksActive(true);
  // EAbort is never processed.
  class A : public TThread {
   public:
    A() : TThread(true) {}
    void Execute() override { throw EAbort("quiet"); }
  } a;
  a.Start();
  a.WaitFor();
  EXPECT_TRUE(Taken().empty());
  // An excluded thread.
  class Excluded : public TThread {
   public:
    Excluded() : TThread(true) {}
    void Execute() override { throw EConvertError("excluded"); }
  } excluded;
  ExceptionLog::SetThreadEnabled(excluded.ThreadID(), false);
  EXPECT_FALSE(ExceptionLog::IsThreadEnabled(excluded.ThreadID()));
  excluded.Start();
  excluded.WaitFor();
  EXPECT_TRUE(Taken().empty());
  ExceptionLog::SetThreadEnabled(excluded.ThreadID(), true);
  EXPECT_TRUE(ExceptionLog::IsThreadEnabled(excluded.ThreadID()));
  uncaught_by_user();
  EXPECT_EQ(Taken().size(), 1u);
}

TEST_F(RaiseTest, RaiseExceptionHookFiltersNotificationsAndBuildsLanguageRecords) {
  ThreadExceptionState* state = ExceptionLog::CurrentThreadState();
  ASSERT_NE(state, nullptr);
  ExceptionLog::ResetThreadExceptionState();
  // The debugger-only notification returns without raising when no debugger is attached.
  DWORD block[20] = {0x1003F};
  const ULONG_PTR notification[2] = {reinterpret_cast<ULONG_PTR>(block), 0};
  ExceptionLog::HookedRaiseException(0x0EEDFAE4, 0, 2, notification);
  // Thread naming goes to the real function only.
  struct {
    DWORD type, name, thread, flags;
  } naming{0x1000, 0, 0xFFFFFFFF, 0};
  ExceptionLog::HookedRaiseException(0x406D1388, 0, 4, reinterpret_cast<const ULONG_PTR*>(&naming));
  EXPECT_EQ(state->ExceptionRecord.ExceptionCode, 0u);
  // A language raise of 7 arguments fills the record and the context; one of 6 does not.
  const ULONG_PTR arguments[7] = {0x401234, 0x1000, 0xB, 0x51, 0xD1, 0xBB, 0x12FF00};
  state->HookStackPosition = reinterpret_cast<const void*>(0x12FF10);
  state->HookEcx = 0xC;
  ExceptionLog::CaptureRuntimeRaise(0x0EEDFADE, 1, 6, false, arguments);
  EXPECT_EQ(state->ExceptionRecord.ExceptionCode, 0u);
  ExceptionLog::CaptureRuntimeRaise(0x0EEDFADE, 1, 7, false, arguments);
  const EXCEPTION_RECORD& r = state->ExceptionRecord;
  EXPECT_EQ(r.ExceptionCode, 0x0EEDFADEu);
  EXPECT_EQ(r.ExceptionFlags, 1u);
  EXPECT_EQ(r.ExceptionAddress, reinterpret_cast<void*>(0x401234));
  EXPECT_EQ(r.NumberParameters, 7u);
  EXPECT_EQ(std::memcmp(r.ExceptionInformation, arguments, sizeof arguments), 0);
  const CONTEXT& c = state->Context;
  const DWORD want[] = {0x1000, 0xB, 0xC, 0x401234, 0x51, 0xD1, 0xBB, 0x12FF10, 0x40122F};
  const DWORD got[] = {c.Eax, c.Ebx, c.Ecx, c.Edx, c.Esi, c.Edi, c.Ebp, c.Esp, c.Eip};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(got[i], want[i]) << i;
  EXPECT_EQ(c.ContextFlags, 0x10003u);
  EXPECT_EQ(state->RaiseStackPointer, reinterpret_cast<const void*>(0x12FF10));
  EXPECT_TRUE(Taken().empty());
  ExceptionLog::ResetThreadExceptionState();
}

TEST_F(RaiseTest, UnwoundOsExceptionOfTheMainThreadIsProcessedOnlyWithBehaviourBit6) {
  auto owned = TVantorModuleOptions::Create("raise-test.exe");
  ExceptionLog::SetCurrentOptions(owned.get());
  EXCEPTION_RECORD record{};
  record.ExceptionCode = 0xC0000005;
  record.ExceptionAddress = reinterpret_cast<void*>(&VlFaultReadAt);
  record.NumberParameters = 2;
  record.ExceptionInformation[1] = 0x10;
  struct Case {
    DWORD flags;
    std::uint16_t behaviour;
    std::size_t processed;
  };
  for (const Case& c : {Case{EXCEPTION_UNWINDING, 0x40, 1}, Case{EXCEPTION_UNWINDING, 0, 0},
                        Case{EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND, 0x40, 0}}) {
    g_reached->clear();
    VCore::CacheClear();
    owned->FBehaviourFlags = c.behaviour;
    record.ExceptionFlags = c.flags;
    ExceptionLog::CaptureUnwindException(nullptr, nullptr, &record);
    const std::vector<Reached> reached = Taken();
    ASSERT_EQ(reached.size(), c.processed) << c.flags << " " << c.behaviour;
    if (c.processed) {
      EXPECT_EQ(reached[0].class_name, "EAccessViolation");
      EXPECT_FALSE(reached[0].language);
    }
  }
  ExceptionLog::SetCurrentOptions(nullptr);
}

TEST_F(RaiseTest, EscapingATThreadsExecuteIsProcessedWithTheThreadProcedureKind) {
  class Worker : public TThread {
   public:
    Worker() : TThread(true) {}
    DWORD id = 0;
    void Execute() override {
      id = GetCurrentThreadId();
      try {
        ThrowConvert();  // caught here: not processed
      } catch (const EConvertError&) {
      }
      throw std::runtime_error("escapes Execute");
    }
  } worker;
  worker.Start();
  worker.WaitFor();
  EXPECT_TRUE(worker.FatalException() != nullptr);
  const std::vector<Reached> reached = Taken();
  ASSERT_EQ(reached.size(), 1u);
  EXPECT_EQ(reached[0].kind, ExceptionLog::kOutThreadProc);
  EXPECT_EQ(reached[0].class_name, "std::runtime_error");
  EXPECT_TRUE(reached[0].language);
  EXPECT_EQ(reached[0].thread, worker.id);
}

unsigned __stdcall CatchingThread(void*) {
  try {
    ThrowConvert();
  } catch (...) {
  }
  return 0;
}

TEST_F(RaiseTest, OneThrowSiteAtOneDepthIsDecidedByItsOwnHandlers) {
  // Both raises come from the same call in ThrowConvert with the same stack pointer: the
  // first is caught, the second escapes Execute.
  class Worker : public TThread {
   public:
    Worker() : TThread(true) {}
    void Execute() override {
      try {
        ThrowConvert();
      } catch (...) {
      }
      ThrowConvert();
    }
  } worker;
  worker.Start();
  worker.WaitFor();
  const std::vector<Reached> reached = Taken();
  ASSERT_EQ(reached.size(), 1u);
  EXPECT_EQ(reached[0].kind, ExceptionLog::kOutThreadProc);
}

TEST_F(RaiseTest, ThrowsCaughtInsideStdThreadAndBeginThreadexThreads) {
  std::thread t([] {
    try {
      ThrowConvert();
    } catch (const Exception&) {
    }
  });
  t.join();
  HANDLE h =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, CatchingThread, nullptr, 0, nullptr));
  ASSERT_NE(h, nullptr);
  WaitForSingleObject(h, 60000);
  CloseHandle(h);
  EXPECT_TRUE(Taken().empty());
}

TEST_F(RaiseTest, RethrowIsSearchedAgainAndItsCatchEndIsNotReported) {
  void* first = nullptr;
  void* second = nullptr;
  try {
    try {
      ThrowConvert();
    } catch (EConvertError& e) {
      first = &e;
      throw;
    }
  } catch (EConvertError& e) {
    second = &e;
  }
  EXPECT_EQ(first, second);
  EXPECT_TRUE(Taken().empty());
  // The rethrow was seen as a raise of the same object.
  EXPECT_EQ(ExceptionLog::LastException().Object, first);
  // Only the outer catch block's end counts.
  EXPECT_EQ(g_end_catches.load(), 1);
  try {
    ThrowConvert();
  } catch (...) {
  }
  EXPECT_EQ(g_end_catches.load(), 2);
}

TEST_F(RaiseTest, SafeCallFrameIsProcessedOnlyWithBehaviourBit6) {
  auto owned = TVantorModuleOptions::Create("raise-test.exe");
  TVantorModuleOptions& options = *owned;
  ExceptionLog::SetCurrentOptions(&options);
  auto method = [](void*) -> HRESULT {
    ThrowConvert();
    return S_OK;
  };
  for (bool bit6 : {false, true}) {
    g_reached->clear();
    VCore::CacheClear();
    options.FBehaviourFlags = bit6 ? 0x40 : 0;
    EXPECT_EQ(ExceptionLog::SafeCallInvoke(method, nullptr), E_UNEXPECTED);
    const std::vector<Reached> reached = Taken();
    if (bit6) {
      ASSERT_EQ(reached.size(), 1u);
      EXPECT_EQ(reached[0].kind, ExceptionLog::kOutSafeCall);
    } else {
      EXPECT_TRUE(reached.empty());
    }
  }
  ExceptionLog::SetCurrentOptions(nullptr);
}

TEST_F(RaiseTest, AThrowInsideTheDecisionIsNotLookedAtAgain) {
  // The core handler throws and catches on its own: that inner raise is not processed (the
  // thread's guard is set), and the outer one is processed once.
  static std::atomic<int> calls{0};
  calls = 0;
  ExceptionLog::SetCoreExceptionHandler([](void*, const void*, bool, BYTE, HMODULE) {
    ++calls;
    try {
      throw std::runtime_error("inside");
    } catch (...) {
    }
    return true;
  });
  class Worker : public TThread {
   public:
    Worker() : TThread(true) {}
    void Execute() override { ThrowConvert(); }
  } worker;
  worker.Start();
  worker.WaitFor();
  EXPECT_EQ(calls.load(), 1);
}

// ---- OS exceptions ----

// The last vectored handler: steps over the two faults the tests make.
LONG CALLBACK StepOver(EXCEPTION_POINTERS* p) {
  const auto at = static_cast<DWORD>(p->ContextRecord->Eip);
  if (at == reinterpret_cast<DWORD>(&VlFaultReadAt)) {
    p->ContextRecord->Eip += 5;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (at == reinterpret_cast<DWORD>(&VlDivideAt)) {
    p->ContextRecord->Eip += 2;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

struct FaultCase {
  const char* what;
  void (*fault)();
  void (*at)();
  DWORD code;
  DWORD parameters;
  DWORD eax, ecx;
  const char* class_name;
};

const FaultCase kFaults[] = {
    {"read of 0x10", VlFaultRead, VlFaultReadAt, 0xC0000005, 2, 0x1234ABCD, 0x5678,
     "EAccessViolation"},
    {"division by zero", VlDivide, VlDivideAt, 0xC0000094, 0, 100, 0, "EExternal"},
};

DWORD WINAPI RunFault(void* parameter) {
  static_cast<const FaultCase*>(parameter)->fault();
  return 0;
}

TEST_F(RaiseTest, FaultsReachTheVectoredConverterWithTheExactRecord) {
  ASSERT_TRUE(ExceptionLog::InstallOsExceptionHandler());
  PVOID step_over = AddVectoredExceptionHandler(0, StepOver);
  for (const FaultCase& c : kFaults) {
    g_reached->clear();
    VCore::CacheClear();
    // In a worker thread: processed at once (no handler of the program catches it).
    HANDLE h = CreateThread(nullptr, 0, RunFault, const_cast<FaultCase*>(&c), 0, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(WaitForSingleObject(h, 60000), WAIT_OBJECT_0);
    CloseHandle(h);
    const std::vector<Reached> reached = Taken();
    ASSERT_EQ(reached.size(), 1u) << c.what;
    const Reached& r = reached[0];
    EXPECT_FALSE(r.language) << c.what;
    EXPECT_EQ(r.address, reinterpret_cast<const void*>(c.at)) << c.what;
    EXPECT_EQ(r.class_name, c.class_name) << c.what;
    EXPECT_EQ(r.record.ExceptionCode, c.code) << c.what;
    EXPECT_EQ(r.record.ExceptionFlags, 0u) << c.what;
    EXPECT_EQ(r.record.ExceptionAddress, reinterpret_cast<void*>(c.at)) << c.what;
    EXPECT_EQ(r.record.NumberParameters, c.parameters) << c.what;
    if (c.parameters == 2) {
      EXPECT_EQ(r.record.ExceptionInformation[0], 0u) << "a read";
      EXPECT_EQ(r.record.ExceptionInformation[1], 0x10u);
    }
    EXPECT_EQ(r.context.ContextFlags, 0x10003u) << c.what;
    EXPECT_EQ(r.context.Eip, reinterpret_cast<DWORD>(c.at)) << c.what;
    EXPECT_EQ(r.context.Eax, c.eax) << c.what;
    EXPECT_EQ(r.context.Ecx, c.ecx) << c.what;
    EXPECT_NE(r.context.SegCs, 0u) << c.what;
    EXPECT_NE(r.context.Esp, 0u) << c.what;
  }
  // In the main thread the fault is only recorded (left to the unhandled-exception filter).
  g_reached->clear();
  VlFaultRead();
  EXPECT_TRUE(Taken().empty());
  EXPECT_EQ(ExceptionLog::LastException().Address, reinterpret_cast<const void*>(&VlFaultReadAt));
  EXPECT_TRUE(
      VCore::InheritsFromClassName(ExceptionLog::LastException().Object, "EAccessViolation"));
  const ThreadExceptionState* state = ExceptionLog::CurrentThreadState();
  EXPECT_EQ(state->ExceptionRecord.ExceptionCode, 0xC0000005u);
  // Thread naming and debugger output are not captured.
  ExceptionLog::ResetThreadExceptionState();
  OutputDebugStringA("debug output");
  struct {
    DWORD type, name, thread, flags;
  } naming{0x1000, 0, 0xFFFFFFFF, 0};
  RaiseException(0x406D1388, 0, 4, reinterpret_cast<const ULONG_PTR*>(&naming));
  EXPECT_EQ(state->ExceptionRecord.ExceptionCode, 0u);
  RemoveVectoredExceptionHandler(step_over);
  ExceptionLog::UninstallOsExceptionHandler();
}

// ---- Threads through the patched CreateThread ----

// The compiler treats an import slot as constant within a function: each call reads the
// slot afresh here, as code elsewhere in the program would.
[[gnu::noinline]] HANDLE NewThread(LPTHREAD_START_ROUTINE start, void* parameter, DWORD flags,
                                   DWORD* id) {
  return CreateThread(nullptr, 0, start, parameter, flags, id);
}
[[gnu::noinline]] DWORD Resume(HANDLE thread) { return ResumeThread(thread); }
struct Seen {
  HANDLE go;
  std::atomic<DWORD> id{0};
};

DWORD WINAPI EndThroughExitThread(void*) { ExitThread(9); }

DWORD WINAPI WaitForGo(void* p) {
  auto* s = static_cast<Seen*>(p);
  s->id = GetCurrentThreadId();
  WaitForSingleObject(s->go, 60000);
  return 7;
}

TEST_F(RaiseTest, ThreadsOfThePatchedCreateThreadAppearInTheThreadsList) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string exe = path;
  exe = exe.substr(exe.find_last_of("\\/") + 1);
  ASSERT_TRUE(ExceptionLog::InstallImportHooks({exe, "msvcrt.dll"}));
  TVantorThreadsList* list = ExceptionLog::ThreadsList();
  ASSERT_NE(list, nullptr);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto in_list = [list](DWORD id) {
    list->LockForRead();
    const int at = list->IndexOfThreadID(id);
    const TTrackedThreadInfo* r = list->GetItem(at);
    const bool found = r && r->StackTop != nullptr && r->CreatorThreadID == GetCurrentThreadId();
    list->UnlockRead();
    return found;
  };
  // A raw thread, suspended by its creator and resumed later.
  Seen raw{go};
  DWORD raw_id = 0;
  HANDLE h = NewThread(WaitForGo, &raw, CREATE_SUSPENDED, &raw_id);
  ASSERT_NE(h, nullptr);
  Sleep(50);
  EXPECT_EQ(raw.id.load(), 0u) << "stays suspended for the caller";
  list->LockForRead();
  EXPECT_GE(list->IndexOfThreadID(raw_id), 0);
  list->UnlockRead();
  Resume(h);
  // A thread of std::thread (msvcrt's _beginthreadex) and a TThread.
  Seen std_seen{go};
  std::thread st([&] { WaitForGo(&std_seen); });
  class Worker : public TThread {
   public:
    explicit Worker(Seen* s) : TThread(true), s_(s) {}
    void Execute() override {
      s_->id = GetCurrentThreadId();
      WaitForSingleObject(s_->go, 60000);
    }
    Seen* s_;
  };
  Seen tthread_seen{go};
  Worker worker(&tthread_seen);
  worker.Start();
  TExceptionThread library_thread;
  library_thread.go = go;
  library_thread.Start();
  for (int i = 0; i < 600 && !library_thread.id; ++i) Sleep(10);
  for (int i = 0; i < 600 && (!raw.id || !std_seen.id || !tthread_seen.id); ++i) Sleep(10);
  EXPECT_EQ(raw.id.load(), raw_id);
  EXPECT_TRUE(in_list(raw_id));
  EXPECT_TRUE(in_list(std_seen.id));
  EXPECT_TRUE(in_list(tthread_seen.id));
  list->LockForRead();
  const TTrackedThreadInfo* w = list->GetItem(list->IndexOfThreadID(tthread_seen.id));
  EXPECT_TRUE(w && w->ThreadObject == &worker);
  const TTrackedThreadInfo* r = list->GetItem(list->IndexOfThreadID(raw_id));
  EXPECT_TRUE(r && r->ThreadObject == nullptr && r->CreatorStackSize > 0 && r->CreatorStackCopy);
  EXPECT_LT(list->IndexOfThreadID(library_thread.id), 0);
  list->UnlockRead();
  SetEvent(go);
  ASSERT_EQ(WaitForSingleObject(h, 60000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(h, &code);
  EXPECT_EQ(code, 7u);
  st.join();
  worker.WaitFor();
  library_thread.WaitFor();
  // Ended threads are purged at the next creation (while the handle is still the caller's:
  // a closed handle's value may already name another object).
  std::thread([] {}).join();
  list->LockForRead();
  EXPECT_LT(list->IndexOfThreadID(raw_id), 0);
  list->UnlockRead();
  CloseHandle(h);
  // A thread that ends through ExitThread takes its record away itself.
  DWORD exiting_id = 0;
  HANDLE exiting = NewThread(EndThroughExitThread, nullptr, 0, &exiting_id);
  ASSERT_NE(exiting, nullptr);
  ASSERT_EQ(WaitForSingleObject(exiting, 60000), WAIT_OBJECT_0);
  GetExitCodeThread(exiting, &code);
  EXPECT_EQ(code, 9u);
  list->LockForRead();
  EXPECT_LT(list->IndexOfThreadID(exiting_id), 0);
  list->UnlockRead();
  CloseHandle(exiting);
  ExceptionLog::UninstallImportHooks();
  // Unpatched: a new thread is no longer recorded (counted: Wine reuses thread ids at once).
  list->LockForRead();
  const int before = list->Count();
  list->UnlockRead();
  Seen plain{go};
  HANDLE plain_handle = NewThread(WaitForGo, &plain, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(plain_handle, 60000), WAIT_OBJECT_0);
  list->LockForRead();
  EXPECT_EQ(list->Count(), before);
  list->UnlockRead();
  CloseHandle(plain_handle);
  CloseHandle(go);
}

TEST_F(RaiseTest, AThreadWhoseCreatorClosesItsHandleAtOnceRunsAndStaysListed) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string exe = path;
  exe = exe.substr(exe.find_last_of("\\/") + 1);
  ASSERT_TRUE(ExceptionLog::InstallImportHooks({exe, "msvcrt.dll"}));
  TVantorThreadsList* list = ExceptionLog::ThreadsList();
  ASSERT_NE(list, nullptr);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto listed_with_own_handle = [list](DWORD id) {
    list->LockForRead();
    const TTrackedThreadInfo* r = list->GetItem(list->IndexOfThreadID(id));
    const bool found = r && r->StackTop != nullptr && GetThreadId(r->ThreadHandle) == id;
    list->UnlockRead();
    return found;
  };
  Seen closed{go};
  DWORD closed_id = 0;
  CloseHandle(NewThread(WaitForGo, &closed, 0, &closed_id));
  // Creations purge the records of ended threads; this one has not ended.
  std::thread([] {}).join();
  Seen detached{go};
  std::thread([&detached] { WaitForGo(&detached); }).detach();
  std::thread([] {}).join();
  for (int i = 0; i < 600 && (!closed.id || !detached.id); ++i) Sleep(10);
  EXPECT_EQ(closed.id.load(), closed_id) << "the thread ran its code";
  EXPECT_TRUE(listed_with_own_handle(closed_id));
  EXPECT_TRUE(listed_with_own_handle(detached.id));
  SetEvent(go);
  // Once they have ended, the next creation takes both records away.
  for (int i = 0; i < 600 && (listed_with_own_handle(closed_id) ||
                              listed_with_own_handle(detached.id));
       ++i) {
    Sleep(10);
    std::thread([] {}).join();
  }
  EXPECT_FALSE(listed_with_own_handle(closed_id));
  EXPECT_FALSE(listed_with_own_handle(detached.id));
  ExceptionLog::UninstallImportHooks();
  CloseHandle(go);
}

}  // namespace
