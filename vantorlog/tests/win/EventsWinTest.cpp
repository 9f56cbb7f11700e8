// Notification events and the exports, with a library that carries its own copy of the
// exception library: the dispatch to the raising module's export, the handler objects and the
// global variable; the record as the library's receivers see it; every export called in the
// register convention with the stack pointer checked; a secondary module's hooks forwarded to
// this program's exports.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Classes.h"
#include "EventsLibraryApi.h"
#include "SysUtils.h"
#include "core/ExceptionLog.h"
#include "core/ExceptionLogStartup.h"
#include "core/VModules.h"
#include "core/VThreads.h"

// Calls fn with EAX, EDX and ECX and count stack arguments (the first at the lowest address);
// returns EAX and stores ESP after the call minus ESP before the pushes (0 when the callee
// removed its stack arguments). ESP is restored either way.
extern "C" DWORD __cdecl CallRegisterConvention(const void* fn, DWORD eax, DWORD edx, DWORD ecx,
                                                const DWORD* stack, DWORD count, int* esp_delta);
asm(".text\n"
    ".globl _CallRegisterConvention\n"
    "_CallRegisterConvention:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl %esp, %edi\n"
    "  movl 28(%ebp), %ecx\n"
    "  movl 24(%ebp), %esi\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  pushl -4(%esi,%ecx,4)\n"
    "  decl %ecx\n"
    "  jmp 1b\n"
    "2:\n"
    "  movl 12(%ebp), %eax\n"
    "  movl 16(%ebp), %edx\n"
    "  movl 20(%ebp), %ecx\n"
    "  call *8(%ebp)\n"
    "  movl %esp, %ecx\n"
    "  subl %edi, %ecx\n"
    "  movl 32(%ebp), %edx\n"
    "  movl %ecx, (%edx)\n"
    "  movl %edi, %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");

namespace {

std::vector<std::string> g_trail;
void TrailNote(const char* text) { g_trail.push_back(text); }
void Note(const std::string& text) { g_trail.push_back(text); }

struct TCoreCall {
  void* object;
  const void* address;
  bool language;
  HMODULE module;
  int count;
} g_core{};

bool TestCoreHandler(void* object, const void* address, bool language, BYTE, HMODULE module) {
  g_core = {object, address, language, module, g_core.count + 1};
  return false;
}

// This program's receivers, as the library's own are: "main:<receiver>:<event>:<value>".
void Fill(TVantorLogHandler& h, const std::string& who) {
  h.ExceptionNotify = [who](const TVantorExceptionRecord&, bool& v) {
    Note("main:" + who + ":notify:" + std::to_string(v));
  };
  h.HandledExceptionNotify = [who](const TVantorExceptionRecord&, bool& v) {
    Note("main:" + who + ":handled:" + std::to_string(v));
  };
  h.ExceptionActionNotify = [who](const TVantorExceptionRecord&, int action, bool& v) {
    Note("main:" + who + ":action" + std::to_string(action) + ":" + std::to_string(v));
  };
  h.ExceptionErrorNotify = [who](const TVantorExceptionRecord&, TVantorLogErrorCode e, bool& v) {
    Note("main:" + who + ":error" + std::to_string(static_cast<int>(e)) + ":" + std::to_string(v));
  };
  h.PasswordRequest = [who](const TVantorExceptionRecord&, std::string& p) {
    Note("main:" + who + ":password:" + p);
    p += "m";
  };
  h.CustomDataRequest = [who](const TVantorExceptionRecord&, TStrings& l) {
    Note("main:" + who + ":custom:" + std::to_string(l.Count()));
    l.Add("main" + who + "=1");
  };
  h.AttachedFilesRequest = [who](const TVantorExceptionRecord&, TStrings& l) {
    Note("main:" + who + ":files:" + std::to_string(l.Count()));
  };
  h.CustomWebFieldsRequest = [who](const TVantorExceptionRecord&, TStrings& l) {
    Note("main:" + who + ":web:" + std::to_string(l.Count()));
  };
  h.CustomButtonClick = [who](const TVantorExceptionRecord&, bool& v) {
    Note("main:" + who + ":button:" + std::to_string(v));
  };
}

void MainGlobalNotify(const TVantorExceptionRecord&, bool& v) {
  Note("main:global:notify:" + std::to_string(v));
}

struct TLibrary {
  HMODULE module = nullptr;
  const TEventsLibraryApi* api = nullptr;
};

TLibrary LoadEventsLibrary(const char* name) {
  TLibrary library;
  library.module = LoadLibraryA((std::string(VL_OUTPUT) + "/" + name).c_str());
  if (!library.module) return library;
  auto entry = reinterpret_cast<TEventsLibraryApiEntry>(
      reinterpret_cast<void*>(GetProcAddress(library.module, "EventsLibraryApi")));
  if (entry) library.api = entry();
  if (library.api) {
    library.api->SetTrail(TrailNote);
    library.api->Install();
  }
  return library;
}

class EventsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ExceptionLog::CreateProcessThreadsList();
    ExceptionLog::SetHooksActive(true);
    ExceptionLog::StartLibrary({});
    ExceptionLog::SetCoreExceptionHandler(TestCoreHandler);
    near_ = LoadEventsLibrary("vantorlog_events_library.dll");
    far_ = LoadEventsLibrary("vantorlog_events_library_far.dll");
    Fill(first_, "first");
    Fill(second_, "second");
    ExceptionLog::RegisterHandler(&first_);
    ExceptionLog::RegisterHandler(&second_);
    ExceptionLog::GlobalHandlers().ExceptionNotify = MainGlobalNotify;
  }
  static void TearDownTestSuite() {
    ExceptionLog::UnregisterHandler(&first_);
    ExceptionLog::UnregisterHandler(&second_);
    ExceptionLog::GlobalHandlers() = TVantorGlobalHandlers();
    ExceptionLog::SetCoreExceptionHandler(nullptr);
    ExceptionLog::StopLibrary();
    ExceptionLog::SetHooksActive(false);
    ExceptionLog::FreeProcessThreadsList();
  }
  void SetUp() override {
    ASSERT_NE(near_.api, nullptr) << "vantorlog_events_library.dll";
    ASSERT_NE(far_.api, nullptr) << "vantorlog_events_library_far.dll";
    g_trail.clear();
    g_core = {};
    std::memset(&record_, 0, sizeof record_);
    record_.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record_.NumberParameters = 2;
    record_.ExceptionInformation[1] = 0x10;
    std::memset(&context_, 0, sizeof context_);
  }
  void TearDown() override { ExceptionLog::CurrentExceptionContext() = TVantorExceptionRecord(); }

  // Makes an exception raised inside the library current.
  void RaisedIn(const TLibrary& library) {
    TVantorExceptionRecord& c = ExceptionLog::CurrentExceptionContext();
    c.ExceptionObject = &object_;
    c.ExceptionAddress = reinterpret_cast<const void*>(library.api->Install);
    c.ThreadID = GetCurrentThreadId();
    c.ExceptionRecord = &record_;
    c.Context = &context_;
    c.ReportText = TVantorText("report text");
    c.ModulesList = reinterpret_cast<TVantorModulesList*>(0x11110000);
    c.CallStack = reinterpret_cast<TVantorStackList*>(0x22220000);
    c.ModuleOptions = nullptr;
  }

  static inline TLibrary near_, far_;
  static inline TVantorLogHandler first_, second_;
  Exception object_{"raised in the library"};
  EXCEPTION_RECORD record_;
  CONTEXT context_;
};

struct TDispatchCase {
  const char* event;
  std::function<std::string()> fire;  // the in/out value afterwards
  std::string after;
  std::vector<std::string> trail;
};

TEST_F(EventsTest, EachEventReachesTheRaisingModuleThenHandlersLastFirstThenTheGlobal) {
  const std::vector<TDispatchCase> cases = {
      {"ExceptionNotify",
       [] {
         ExceptionLog::HandleFlag() = true;
         ExceptionLog::FireExceptionNotify(false);
         return std::to_string(ExceptionLog::HandleFlag());
       },
       "0",
       {"dll:second:notify:1", "dll:first:notify:0", "dll:global:notify:0", "main:second:notify:0",
        "main:first:notify:0", "main:global:notify:0"}},
      {"HandledExceptionNotify",
       [] {
         ExceptionLog::HandleFlag() = true;
         ExceptionLog::FireExceptionNotify(true);
         return std::to_string(ExceptionLog::HandleFlag());
       },
       "0",
       {"dll:second:handled:1", "dll:first:handled:0", "main:second:handled:0",
        "main:first:handled:0"}},
      {"ExceptionActionNotify",
       [] {
         bool show = true;
         ExceptionLog::FireActionNotify(1, show);
         return std::to_string(show);
       },
       "0",
       {"dll:second:action1:1", "dll:first:action1:0", "main:second:action1:0",
        "main:first:action1:0"}},
      {"ExceptionErrorNotify",
       [] {
         bool retry = false;
         ExceptionLog::FireErrorNotify(TVantorLogErrorCode::eeEmailSMTPError, retry);
         return std::to_string(retry);
       },
       "1",
       {"dll:second:error5:0", "dll:first:error5:1", "main:second:error5:1",
        "main:first:error5:1"}},
      {"PasswordRequest",
       [] {
         std::string password = "p";
         ExceptionLog::FirePasswordRequest(nullptr, password);
         return password;
       },
       "pddmm",
       {"dll:second:password:p", "dll:first:password:pd", "main:second:password:pdd",
        "main:first:password:pddm"}},
      {"CustomDataRequest",
       [] {
         TStrings& list = ExceptionLog::CustomDataList();
         list.Clear();
         list.Add("x=1");
         ExceptionLog::FireCustomDataRequest();
         return list.Text();
       },
       "x=1\r\ndllsecond=1\r\ndllfirst=1\r\nmainsecond=1\r\nmainfirst=1\r\n",
       {"dll:second:custom:1", "dll:first:custom:2", "main:second:custom:3",
        "main:first:custom:4"}},
      {"AttachedFilesRequest",
       [] {
         ExceptionLog::AttachedFilesList().Clear();
         ExceptionLog::FireAttachedFilesRequest();
         return ExceptionLog::AttachedFilesList().Text();
       },
       "dllsecond.txt\r\ndllfirst.txt\r\n",
       {"dll:second:files:0", "dll:first:files:1", "main:second:files:2", "main:first:files:2"}},
      {"CustomWebFieldsRequest",
       [] {
         ExceptionLog::WebFieldsList().Clear();
         ExceptionLog::FireCustomWebFieldsRequest();
         return ExceptionLog::WebFieldsList().Text();
       },
       "dllsecond=web\r\ndllfirst=web\r\n",
       {"dll:second:web:0", "dll:first:web:1", "main:second:web:2", "main:first:web:2"}},
      {"CustomButtonClick",
       [] {
         bool close = true;
         ExceptionLog::FireCustomButtonClick(close);
         return std::to_string(close);
       },
       "0",
       {"dll:second:button:1", "dll:first:button:0", "main:second:button:0",
        "main:first:button:0"}},
  };
  for (const TDispatchCase& c : cases) {
    SCOPED_TRACE(c.event);
    RaisedIn(near_);
    g_trail.clear();
    EXPECT_EQ(c.fire(), c.after);
    EXPECT_EQ(g_trail, c.trail);
    // The context the events saw is current again.
    EXPECT_EQ(ExceptionLog::CurrentExceptionContext().ExceptionObject, &object_);
  }
}

TEST_F(EventsTest, AModuleTwoHundredsApartIsNeverCalled) {
  RaisedIn(far_);
  ExceptionLog::HandleFlag() = true;
  ExceptionLog::FireExceptionNotify(false);
  EXPECT_EQ(g_trail, (std::vector<std::string>{"main:second:notify:1", "main:first:notify:1",
                                               "main:global:notify:1"}));
  EXPECT_EQ(ExceptionLog::FindModuleEventExport(far_.module, "VantorLog_ExceptionNotifyEvent"),
            nullptr);
  EXPECT_NE(ExceptionLog::FindModuleEventExport(near_.module, "VantorLog_ExceptionNotifyEvent"),
            nullptr);
  // This module itself is never asked through its exports.
  EXPECT_EQ(ExceptionLog::FindModuleEventExport(GetModuleHandleA(nullptr),
                                                "VantorLog_ExceptionNotifyEvent"),
            nullptr);
}

TEST_F(EventsTest, TheLibrarysReceiverSeesThe36ByteRecordWithAnObjectOfItsOwn) {
  RaisedIn(near_);
  const char* text = ExceptionLog::CurrentExceptionContext().ReportText.Chars();
  ExceptionLog::FireExceptionNotify(false);
  const unsigned char* raw = near_.api->RawContext();
  auto dword = [raw](int offset) {
    DWORD v;
    std::memcpy(&v, raw + offset, 4);
    return v;
  };
  // Offsets 0-32 of the record: object, address, thread, OS record, context, report text,
  // modules, call stack, options.
  EXPECT_NE(dword(0), reinterpret_cast<DWORD>(&object_));  // converted in the library
  EXPECT_NE(dword(0), 0u);
  EXPECT_EQ(dword(4), reinterpret_cast<DWORD>(near_.api->Install));
  EXPECT_EQ(dword(8), GetCurrentThreadId());
  EXPECT_EQ(dword(12), reinterpret_cast<DWORD>(&record_));
  EXPECT_EQ(dword(16), reinterpret_cast<DWORD>(&context_));
  EXPECT_EQ(dword(20), reinterpret_cast<DWORD>(text));  // one text, shared
  EXPECT_STREQ(near_.api->ReportText(), "report text");
  EXPECT_EQ(dword(24), 0x11110000u);
  EXPECT_EQ(dword(28), 0x22220000u);
  EXPECT_EQ(dword(32), 0u);
  // The object came from the OS record, and was freed after the event.
  EXPECT_STREQ(near_.api->ObjectClass(), "EAccessViolation");
  EXPECT_TRUE(near_.api->LastKnownObjectCleared());
}

TEST_F(EventsTest, ReceiversThatRaiseDoNotStopTheOthers) {
  TVantorLogHandler raising;
  raising.ExceptionNotify = [](const TVantorExceptionRecord&, bool&) {
    throw Exception("receiver");
  };
  ExceptionLog::RegisterHandler(&raising);
  ExceptionLog::CurrentExceptionContext().ThreadID = GetCurrentThreadId();
  ExceptionLog::HandleFlag() = true;
  ExceptionLog::FireExceptionNotify(false);
  ExceptionLog::UnregisterHandler(&raising);
  EXPECT_EQ(g_trail, (std::vector<std::string>{"main:second:notify:1", "main:first:notify:1",
                                               "main:global:notify:1"}));
}

TEST_F(EventsTest, AnEventOfAnotherThreadRunsInTheFaultingThread) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD faulting_id = 0;
  std::thread faulting([&] {
    faulting_id = GetCurrentThreadId();
    SetEvent(go);
    for (int i = 0; i < 500 && !ExceptionLog::EventProcedureRunning(); ++i) Sleep(5);
    ExceptionLog::RunPostedProcedure();
  });
  WaitForSingleObject(go, 5000);
  ExceptionLog::CurrentExceptionContext().ExceptionAddress = &g_trail;
  ExceptionLog::CurrentExceptionContext().ThreadID = faulting_id;
  DWORD ran_in = 0;
  ExceptionLog::RunInFaultingThread([&] { ran_in = GetCurrentThreadId(); });
  faulting.join();
  EXPECT_EQ(ran_in, faulting_id);
  // A faulting thread that has ended no longer holds the caller.
  ran_in = 0;
  ExceptionLog::RunInFaultingThread([&] { ran_in = GetCurrentThreadId(); });
  EXPECT_EQ(ran_in, 0u);
  CloseHandle(go);
}

// ---- The exports in the register convention ----

struct TExportCall {
  const char* name;
  DWORD eax, edx, ecx;
  std::vector<DWORD> stack;
};

DWORD CallExport(const TExportCall& call) {
  const void* fn =
      reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleA(nullptr), call.name));
  EXPECT_NE(fn, nullptr) << call.name;
  if (!fn) return 0;
  int delta = -1;
  const DWORD result = CallRegisterConvention(fn, call.eax, call.edx, call.ecx, call.stack.data(),
                                              static_cast<DWORD>(call.stack.size()), &delta);
  EXPECT_EQ(delta, 0) << call.name;
  return result;
}

template <class T>
DWORD D(T value) {
  return (DWORD)(value);
}

void GlobalPassword(const TVantorExceptionRecord& c, std::string& p) {
  Note("global:password:" + p + ":" + std::to_string(c.ThreadID));
  p = "0123456789abc";
}
void GlobalAction(const TVantorExceptionRecord& c, int action, bool& v) {
  Note("global:action" + std::to_string(action) + ":" + std::to_string(v) + ":" +
       std::to_string(c.ThreadID));
  v = !v;
}
void GlobalError(const TVantorExceptionRecord&, TVantorLogErrorCode e, bool& v) {
  Note("global:error" + std::to_string(static_cast<int>(e)));
  v = true;
}
void GlobalList(const TVantorExceptionRecord& c, TStrings& l) {
  Note("global:list:" + l.Text() + std::to_string(c.ThreadID));
  l.Add("added=1");
}
void GlobalFlag(const TVantorExceptionRecord& c, bool& v) {
  Note("global:flag:" + std::to_string(v) + ":" + std::to_string(c.ThreadID));
  v = !v;
}

TEST_F(EventsTest, EveryExportTakesItsArgumentsInRegistersAndRemovesItsStackArguments) {
  TVantorGlobalHandlers& g = ExceptionLog::GlobalHandlers();
  const TVantorGlobalHandlers saved = g;
  g.PasswordRequest = GlobalPassword;
  g.ExceptionActionNotify = GlobalAction;
  g.ExceptionErrorNotify = GlobalError;
  g.CustomDataRequest = g.AttachedFilesRequest = g.CustomWebFieldsRequest = GlobalList;
  g.ExceptionNotify = g.HandledExceptionNotify = g.CustomButtonClick = GlobalFlag;
  ExceptionLog::UnregisterHandler(&first_);
  ExceptionLog::UnregisterHandler(&second_);

  // A context of thread 77 from another module.
  TVantorExceptionRecord context;
  context.ThreadID = 77;

  // 1: the last raise's language flag.
  Exception thrown("x");
  ExceptionLog::RecordLastException(&thrown, &thrown, true);
  EXPECT_EQ(CallExport({"VantorLog_LastTarvicException", 0, 0, 0, {}}) & 0xFF, 1u);
  ExceptionLog::RecordLastException(&thrown, &thrown, false);
  EXPECT_EQ(CallExport({"VantorLog_LastTarvicException", 0, 0, 0, {}}) & 0xFF, 0u);

  // 2 and 3: a record added, then resumed by another thread.
  TVantorThreadsList* list = ExceptionLog::ThreadsList();
  TTrackedThreadInfo info{};
  info.ThreadID = 0x7001;
  info.ThreadHandle = reinterpret_cast<HANDLE>(0x7002);
  info.Priority = 3;
  CallExport({"VantorLog_CallCreateThread", D(&info), 0, 0, {}});
  const int added = list->IndexOfThreadID(0x7001);
  ASSERT_GE(added, 0);
  EXPECT_EQ(list->GetItem(added)->Priority, 3u);
  info.CreatorThreadID = 0x7003;
  CallExport({"VantorLog_CallResumeThread", D(info.ThreadHandle), D(&info), 0, {}});
  EXPECT_EQ(list->GetItem(list->IndexOfThreadID(0x7001))->CreatorThreadID, 0x7003u);
  EXPECT_EQ(list->GetItem(list->IndexOfThreadID(0x7001))->ForeignStackCopy, 1);
  list->Delete(list->IndexOfThreadID(0x7001));

  // 4: the calling thread's record goes.
  std::thread ending([&] {
    TTrackedThreadInfo own{};
    own.ThreadID = GetCurrentThreadId();
    own.ThreadHandle = reinterpret_cast<HANDLE>(0x7004);
    CallExport({"VantorLog_CallCreateThread", D(&own), 0, 0, {}});
    EXPECT_GE(list->IndexOfThreadID(own.ThreadID), 0);
    CallExport({"VantorLog_CallExitThread", 0, 0, 0, {}});
    EXPECT_EQ(list->IndexOfThreadID(own.ThreadID), -1);
  });
  ending.join();

  // 5: an OS exception converted and captured.
  context_.Esp = 0x00ABC000;
  const DWORD object = CallExport({"VantorLog_CallExceptObject", D(&record_), D(&context_), 0, {}});
  EXPECT_STREQ(typeid(*reinterpret_cast<Exception*>(object)).name(),
               typeid(EAccessViolation).name());
  EXPECT_EQ(ExceptionLog::CurrentThreadState()->RaiseStackPointer,
            reinterpret_cast<const void*>(0x00ABC000));
  EXPECT_EQ(ExceptionLog::CurrentThreadState()->ExceptionRecord.ExceptionCode,
            static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));

  // 6: five arguments, two on the stack.
  const ULONG_PTR args[7] = {0x00401005, D(&thrown), 0xB1, 0x51, 0xD1, 0xE1, 0x00C00000};
  CallExport({"VantorLog_CallGeneralRaise",
              ExceptionLog::kLanguageRaiseCode,
              1,
              7,
              {0x00C00010, D(args)}});
  const ThreadExceptionState* state = ExceptionLog::CurrentThreadState();
  EXPECT_EQ(state->HookStackPosition, reinterpret_cast<const void*>(0x00C00010));
  EXPECT_EQ(state->Context.Eip, 0x00401000u);
  EXPECT_EQ(state->Context.Esp, 0x00C00010u);
  EXPECT_EQ(state->Context.Eax, D(&thrown));
  EXPECT_EQ(state->Context.Ebp, 0xE1u);
  EXPECT_EQ(state->ExceptionRecord.NumberParameters, 7u);

  // Again and again: each call leaves the stack pointer where it was.
  for (int i = 0; i < 200; ++i)
    CallExport({"VantorLog_CallGeneralRaise", 0xE0000002, 0, 0, {0x00C00010, D(args)}});

  // 7: four arguments, one on the stack; the core handler decides.
  CallExport({"ExceptionManager", D(&thrown), 0x00401234, 1, {0x00400000}});
  EXPECT_EQ(g_core.count, 1);
  EXPECT_EQ(g_core.object, &thrown);
  EXPECT_EQ(g_core.address, reinterpret_cast<const void*>(0x00401234));
  EXPECT_EQ(g_core.module, reinterpret_cast<HMODULE>(0x00400000));

  // 8 and 9: the answer cut to the maximum length.
  unsigned char buffer[256] = {2, 'p', 'w'};
  g_trail.clear();
  CallExport({"VantorLog_PasswordRequestEvent", D(buffer), 8, 0, {}});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 1), buffer[0]), "01234567");
  buffer[0] = 1;
  buffer[1] = 'q';
  CallExport({"VantorLog_PasswordRequestEventEx", D(&context), D(buffer), 255, {}});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 1), buffer[0]), "0123456789abc");
  EXPECT_EQ(g_trail, (std::vector<std::string>{"global:password:pw:0", "global:password:q:77"}));

  // 10, 11, 17: the flag through the receivers and back; the context made current.
  for (const char* name :
       {"VantorLog_ExceptionNotifyEvent", "VantorLog_HandledExceptionNotifyEvent",
        "VantorLog_CustomButtonClickEvent"}) {
    bool flag = true;
    g_trail.clear();
    CallExport({name, D(&context), D(&flag), 0, {}});
    EXPECT_EQ(g_trail, (std::vector<std::string>{"global:flag:1:77"})) << name;
    EXPECT_FALSE(flag) << name;
    EXPECT_EQ(ExceptionLog::CurrentExceptionContext().ThreadID, 0u) << name;
  }

  // 12 and 13.
  bool argument = true;
  g_trail.clear();
  CallExport({"VantorLog_ExceptionActionNotifyEvent", D(&context), 4, D(&argument), {}});
  EXPECT_EQ(g_trail.front(), "global:action4:1:77");
  CallExport({"VantorLog_ExceptionErrorNotifyEvent", D(&context), 8, D(&argument), {}});
  EXPECT_EQ(g_trail.back(), "global:error8");
  EXPECT_TRUE(argument);

  // 14 to 16: the caller's list read through its slots; what the receivers add comes back.
  for (const char* name :
       {"VantorLog_CustomDataRequestEventEx", "VantorLog_AttachedFilesRequestEvent",
        "VantorLog_CustomWebFieldsRequestEvent"}) {
    TStringList caller;
    caller.Add("a=1");
    g_trail.clear();
    CallExport({name, D(&context), D(&caller), 0, {}});
    EXPECT_EQ(g_trail.front(), "global:list:a=1\r\n77") << name;
    EXPECT_EQ(caller.Text(), "a=1\r\nadded=1\r\n") << name;
  }

  g = saved;
  ExceptionLog::RegisterHandler(&first_);
  ExceptionLog::RegisterHandler(&second_);
}

TVantorModuleOptionsEx* g_seen_options = nullptr;
void NoteOptions(const TVantorExceptionRecord& c, bool&) { g_seen_options = c.ModuleOptions; }

TEST_F(EventsTest, AnExportedEventSeesThisModulesOwnOptionsOfTheCallersModule) {
  VCore::StartModulesList();
  const auto main = reinterpret_cast<VCore::TModuleHandle>(GetModuleHandleA(nullptr));
  VCore::AddModuleByHandle(main);
  TVantorModuleInfo* own = VCore::ModuleInfoOfHandle(main);
  ASSERT_NE(own, nullptr);
  ASSERT_NE(own->Options, nullptr);
  TVantorGlobalHandlers& g = ExceptionLog::GlobalHandlers();
  const TVantorGlobalHandlers saved = g;
  g.ExceptionNotify = NoteOptions;
  using TFlagExport =
      void(__attribute__((regparm(3), stdcall))*)(const TVantorExceptionRecord*, bool*);
  auto notify = reinterpret_cast<TFlagExport>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA(nullptr), "VantorLog_ExceptionNotifyEvent")));
  ASSERT_NE(notify, nullptr);
  // The caller's options object stands for the module it belongs to.
  auto callers = TVantorModuleOptions::Create<TVantorModuleOptionsEx>("");
  callers->SetModuleInstance(own->Handle);
  TVantorExceptionRecord context;
  context.ModuleOptions = callers.get();
  bool handle = true;
  const int published = own->Options->PublishCount();
  notify(&context, &handle);
  EXPECT_EQ(g_seen_options, own->Options.get());
  EXPECT_EQ(own->Options->PublishCount(), published + 1);  // its state published afterwards
  // A module this one has not registered: no options.
  callers->SetModuleInstance(0x12340000);
  notify(&context, &handle);
  EXPECT_EQ(g_seen_options, nullptr);
  g = saved;
  VCore::StopModulesList();
}

// ---- A secondary module's hooks ----

class SecondaryTest : public EventsTest {
 protected:
  void SetUp() override {
    EventsTest::SetUp();
    near_.api->StartSecondary();
  }
  void TearDown() override {
    near_.api->StopSecondary();
    EventsTest::TearDown();
  }
};

TEST_F(SecondaryTest, RaisesAndOsExceptionsAreCapturedInTheMainModule) {
  Exception thrown("in the library");
  const ULONG_PTR args[7] = {0x10001005, D(&thrown), 0xB2, 0x52, 0xD2, 0xE2, 0x00D00000};
  near_.api->Raise(ExceptionLog::kLanguageRaiseCode, 1, 7, reinterpret_cast<void*>(0x00D00020),
                   args);
  const ThreadExceptionState* state = ExceptionLog::CurrentThreadState();
  EXPECT_EQ(state->Context.Eip, 0x10001000u);
  EXPECT_EQ(state->Context.Esp, 0x00D00020u);
  EXPECT_EQ(state->Context.Esi, 0x52u);
  EXPECT_EQ(state->RaiseStackPointer, reinterpret_cast<const void*>(0x00D00020));
  // Any other raise is forwarded too; only language raises change the context.
  near_.api->Raise(0xE0000001, 0, 6, reinterpret_cast<void*>(0x00D00040), args);
  EXPECT_EQ(state->HookStackPosition, reinterpret_cast<const void*>(0x00D00040));
  EXPECT_EQ(state->Context.Esp, 0x00D00020u);

  record_.ExceptionCode = EXCEPTION_INT_DIVIDE_BY_ZERO;
  record_.ExceptionAddress = reinterpret_cast<void*>(0x10002000);
  context_.Esp = 0x00D00100;
  near_.api->Convert(&record_, &context_);
  EXPECT_EQ(state->ExceptionRecord.ExceptionCode, static_cast<DWORD>(EXCEPTION_INT_DIVIDE_BY_ZERO));
  EXPECT_EQ(state->RaiseStackPointer, reinterpret_cast<const void*>(0x00D00100));
  EXPECT_EQ(ExceptionLog::LastException().Address, reinterpret_cast<const void*>(0x10002000));
}

struct TThreadCheck {
  const TEventsLibraryApi* api;
  HANDLE listed;
};

DWORD WINAPI ListedThread(void* parameter) {
  auto* check = static_cast<TThreadCheck*>(parameter);
  WaitForSingleObject(check->listed, 5000);
  check->api->ExitThreadHooked(0);
  return 1;
}

TEST_F(SecondaryTest, ThreadsOfTheLibraryAreListedByTheMainModule) {
  TThreadCheck check{near_.api, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  DWORD id = 0;
  HANDLE thread = near_.api->CreateThreadHooked(ListedThread, &check, &id);
  ASSERT_NE(thread, nullptr);
  TVantorThreadsList* list = ExceptionLog::ThreadsList();
  list->LockForRead();
  const TTrackedThreadInfo* record = list->GetItem(list->IndexOfThreadID(id));
  ASSERT_NE(record, nullptr);
  // The record holds a handle of its own to that thread.
  EXPECT_EQ(GetThreadId(record->ThreadHandle), id);
  EXPECT_EQ(record->CreatorThreadID, GetCurrentThreadId());  // the resume, forwarded
  EXPECT_EQ(record->ForeignStackCopy, 1);
  list->UnlockRead();
  SetEvent(check.listed);
  WaitForSingleObject(thread, 5000);
  EXPECT_EQ(list->IndexOfThreadID(id), -1);
  CloseHandle(thread);
  CloseHandle(check.listed);
}

TEST_F(SecondaryTest, ExceptionManagerOfTheLibraryReturnsTheMainModulesAnswer) {
  using TManager = bool(__attribute__((regparm(3), stdcall))*)(void*, const void*, BYTE, HMODULE);
  auto manager = reinterpret_cast<TManager>(
      reinterpret_cast<void*>(GetProcAddress(near_.module, "ExceptionManager")));
  ASSERT_NE(manager, nullptr);
  Exception thrown("managed");
  EXPECT_FALSE(manager(&thrown, reinterpret_cast<const void*>(0x10003000), 1, nullptr));
  EXPECT_EQ(g_core.count, 1);
  EXPECT_EQ(g_core.object, &thrown);
  EXPECT_EQ(g_core.module, near_.module);
}

// A library in a host that does not carry the library's debug data: the first program module
// (not a library) with usable debug data becomes the main program. This test program has none
// and the events libraries are libraries; a program loaded as a module (the scenario child,
// which carries its debug data) is found, and no longer once it is gone.
TEST(MainProgramTest, FirstProgramModuleWithTheDebugDataIsTheMainProgram) {
  const bool had_list = VCore::ModulesList() != nullptr;
  if (!had_list) VCore::StartModulesList();
  EXPECT_EQ(ExceptionLog::FindMainProgram(), nullptr);
  HMODULE program = LoadLibraryExA(VL_SCENARIO_CHILD, nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(program, nullptr) << GetLastError();
  EXPECT_EQ(ExceptionLog::FindMainProgram(), program);
  FreeLibrary(program);
  EXPECT_EQ(ExceptionLog::FindMainProgram(), nullptr);
  if (!had_list) VCore::StopModulesList();
}

}  // namespace
