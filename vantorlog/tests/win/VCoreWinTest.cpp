#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "VCore.h"
#include "VMemory.h"
#include "VSystem.h"
#include "core/ExceptionLog.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

TEST(PrepareLogFileTest, FallsBackIntoTheApplicationDataFolder) {
  const std::string appdata = VCore::GetEnvVar("APPDATA");
  ASSERT_FALSE(appdata.empty());
  const std::string product = appdata + "\\VantorLog";
  const std::string bad =
      "C:\\no-such-folder-" + std::to_string(GetCurrentProcessId()) + "\\x\\app.vlf";

  std::string placed;
  EXPECT_TRUE(VCore::PrepareLogFile(bad, false, false, &placed));
  EXPECT_EQ(placed, product + "\\app.vlf");
  EXPECT_TRUE(VCore::FolderExists(product));

  EXPECT_TRUE(VCore::PrepareLogFile(bad, true, false, &placed));
  EXPECT_EQ(placed, product + "\\vantorlog_win_tests\\app.vlf");
  EXPECT_TRUE(VCore::FolderExists(product + "\\vantorlog_win_tests"));
  // A file that can be created stays where asked, and a probe leaves no file behind.
  const std::string good =
      VCore::TemporaryFolder() + "vl-prepare-" + std::to_string(GetCurrentProcessId()) + ".vlf";
  EXPECT_TRUE(VCore::PrepareLogFile(good, true, false, &placed));
  EXPECT_EQ(placed, good);
  EXPECT_EQ(GetFileAttributesA(good.c_str()), INVALID_FILE_ATTRIBUTES);
  // Read-only use needs an existing file.
  EXPECT_FALSE(VCore::PrepareLogFile(bad, false, true, &placed));
}

TEST(PrepareLogFileTest, ExpandsEnvironmentReferences) {
  SetEnvironmentVariableA("VL_LOG_DIR",
                          VCore::ExcludeTrailingSlash(VCore::TemporaryFolder()).c_str());
  std::string placed;
  EXPECT_TRUE(VCore::PrepareLogFile("%VL_LOG_DIR%\\env.vlf", false, false, &placed));
  EXPECT_EQ(placed, VCore::TemporaryFolder() + "env.vlf");
}

TEST(LogFileNameTest, ComputerNameAndFolderRules) {
  auto o = TVantorModuleOptions::Create("");
  const std::string dir = VCore::TemporaryFolder() + "vl-logs";
  o->SetModuleFileName(dir + "\\prog.vshost.exe");
  o->SetLogFlags(0);
  EXPECT_EQ(o->GetLogFileName(), dir + "\\prog.vlf");
  EXPECT_TRUE(VCore::FolderExists(dir));  // ensured
  o->SetLogFolder(dir + "\\All.VLF");
  EXPECT_EQ(o->GetLogFileName(), dir + "\\All.VLF");
  o->SetLogFolder("");
  o->SetLogFlags(0x08);
  char computer[64];
  DWORD size = sizeof computer;
  ASSERT_TRUE(GetComputerNameA(computer, &size));
  EXPECT_EQ(o->GetLogFileName(), dir + "\\prog_" + VCore::SanitizeComputerName(computer) + ".vlf");
}

TEST(MemoryProbeWinTest, GuardAndNoAccessPagesAreUnreadable) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const std::size_t page = si.dwPageSize;
  auto* base = static_cast<char*>(VirtualAlloc(nullptr, 4 * page, MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(base, nullptr);
  ASSERT_TRUE(VirtualAlloc(base, 3 * page, MEM_COMMIT, PAGE_READWRITE));
  DWORD old;
  ASSERT_TRUE(VirtualProtect(base + page, page, PAGE_READWRITE | PAGE_GUARD, &old));
  ASSERT_TRUE(VirtualProtect(base + 2 * page, page, PAGE_NOACCESS, &old));
  EXPECT_TRUE(VCore::IsMemoryReadable(base, page));
  EXPECT_EQ(VCore::ReadableBytes(base, 4 * page), page);
  EXPECT_FALSE(VCore::IsMemoryReadable(base + page, 1));      // guard page
  EXPECT_FALSE(VCore::IsMemoryReadable(base + 2 * page, 1));  // no access
  EXPECT_FALSE(VCore::IsMemoryReadable(base + 3 * page, 1));  // reserved only
  EXPECT_FALSE(VCore::IsMemoryReadable(base + page - 2, 4));  // crosses into the guard page
  // The guard page is still armed: the probe did not touch it.
  MEMORY_BASIC_INFORMATION info;
  VirtualQuery(base + page, &info, sizeof info);
  EXPECT_TRUE(info.Protect & PAGE_GUARD);
  VirtualFree(base, 0, MEM_RELEASE);
}

TEST(MemoryProbeWinTest, GuardedCopyStopsAtTheFirstUnreadableByte) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const std::size_t page = si.dwPageSize;
  auto* base = static_cast<char*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(base, nullptr);
  ASSERT_TRUE(VirtualAlloc(base, page, MEM_COMMIT, PAGE_READWRITE));
  std::memset(base, 0x5A, page);
  char buffer[512] = {};
  EXPECT_EQ(VCore::GuardedCopy(buffer, base + page - 100, 300), 100u);
  EXPECT_EQ(buffer[0], 0x5A);
  EXPECT_EQ(buffer[99], 0x5A);
  EXPECT_EQ(buffer[100], 0);
  EXPECT_EQ(VCore::GuardedCopy(buffer, base + page, 8), 0u);
  EXPECT_FALSE(VCore::SafeRead(base + page - 100, buffer, 300));
  EXPECT_TRUE(VCore::SafeRead(base + page - 100, buffer, 100));
  VirtualFree(base, 0, MEM_RELEASE);
}

struct TReleasing {
  char* at;
  std::size_t size;
  volatile LONG stop;
};

DWORD WINAPI AllocateAndRelease(void* p) {
  auto* r = static_cast<TReleasing*>(p);
  while (!r->stop) {
    if (VirtualAlloc(r->at, r->size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
      VirtualFree(r->at, 0, MEM_RELEASE);
  }
  return 0;
}

// Pages released by another thread between the probe and the copy end the copy, never the
// program.
TEST(MemoryProbeWinTest, SafeReadSurvivesPagesReleasedMeanwhile) {
  const std::size_t size = 0x10000;
  auto* at = static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(at, nullptr);
  VirtualFree(at, 0, MEM_RELEASE);
  TReleasing releasing{at, size, 0};
  HANDLE thread = CreateThread(nullptr, 0, AllocateAndRelease, &releasing, 0, nullptr);
  static char buffer[0x10000];
  int read = 0, refused = 0;
  for (int i = 0; i < 5000; ++i) (VCore::SafeRead(at, buffer, size) ? read : refused)++;
  InterlockedExchange(&releasing.stop, 1);
  WaitForSingleObject(thread, 10000);
  CloseHandle(thread);
  EXPECT_EQ(read + refused, 5000);
}

TEST(MemoryProbeWinTest, FollowsImportJumps) {
  // An import thunk of this program: FF 25 <address of the import slot>.
  static const void* slot = reinterpret_cast<const void*>(&GetTickCount);
  unsigned char thunk[8] = {0xFF, 0x25};
  const auto slot_address = reinterpret_cast<std::uintptr_t>(&slot);
  std::memcpy(thunk + 2, &slot_address, 4);
  EXPECT_EQ(VCore::FollowImportJump(thunk), slot);
  unsigned char not_a_thunk[8] = {0x90, 0x25};
  EXPECT_EQ(VCore::FollowImportJump(not_a_thunk), not_a_thunk);
  const std::uintptr_t bad_slot = 0x10;
  std::memcpy(thunk + 2, &bad_slot, 4);
  EXPECT_EQ(VCore::FollowImportJump(thunk), thunk);
}

TEST(HandleTest, ValidHandlesAndRunningThreads) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(VCore::IsValidHandle(event));
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* e) __attribute__((stdcall))->DWORD { return WaitForSingleObject(e, INFINITE); },
      event, 0, nullptr);
  EXPECT_TRUE(VCore::IsThreadRunning(thread));
  SetEvent(event);
  WaitForSingleObject(thread, 5000);
  EXPECT_FALSE(VCore::IsThreadRunning(thread));
  CloseHandle(thread);
  CloseHandle(event);
  EXPECT_FALSE(VCore::IsValidHandle(event));
  EXPECT_FALSE(VCore::IsValidHandle(nullptr));
}

TEST(SystemTest, VersionAndNames) {
  EXPECT_EQ(ExceptionLog::WindowsVersionName().rfind("Microsoft Windows ", 0), 0u);
  EXPECT_NE(ExceptionLog::WindowsVersionName(), "Microsoft Windows ");
  EXPECT_FALSE(ExceptionLog::WindowsBuildText().empty());
  EXPECT_FALSE(VCore::UserNameText().empty());
  EXPECT_EQ(VCore::ModuleFileNameOf(nullptr), VCore::ProgramFileName());
  EXPECT_GT(VCore::StackTopOfThread(), VCore::CurrentStackPointer());
  EXPECT_EQ(VCore::EncodeUtf8("abc"), "abc");
  SYSTEMTIME t{2009, 3, 2, 3, 14, 5, 9, 0};
  const std::string date = ExceptionLog::Rfc822DateText(t);
  EXPECT_EQ(date.substr(0, 25), "Tue, 3 Mar 2009 14:05:09 ");
  EXPECT_EQ(date.size(), 30u);
}

TEST(IniTest, WritesAndReadsBack) {
  const std::string file = VCore::TemporaryFolder() + "vl-test.ini";
  DeleteFileA(file.c_str());
  EXPECT_EQ(VCore::IniReadValue(file, "Window", "Left", "default"), "default");
  EXPECT_TRUE(VCore::IniWriteValue(file, "Window", "Left", "120"));
  EXPECT_EQ(VCore::IniReadValue(file, "Window", "Left", "default"), "120");
}

TEST(ClipboardTest, TextArrivesAndTheClipboardIsClosed) {
  ASSERT_TRUE(ExceptionLog::CopyTextToClipboard("report text"));
  // Another thread can open it: nobody kept it open.
  HANDLE t = CreateThread(
      nullptr, 0, [](void*) __attribute__((stdcall))->DWORD {
        if (!OpenClipboard(nullptr)) return 1;
        HANDLE data = GetClipboardData(CF_TEXT);
        const char* text = data ? static_cast<const char*>(GlobalLock(data)) : nullptr;
        const bool same = text && std::string(text) == "report text";
        if (data) GlobalUnlock(data);
        CloseClipboard();
        return same ? 0 : 2;
      },
      nullptr, 0, nullptr);
  WaitForSingleObject(t, 10000);
  DWORD code = 99;
  GetExitCodeThread(t, &code);
  CloseHandle(t);
  EXPECT_EQ(code, 0u);
  // Held open elsewhere: the copy fails cleanly.
  HANDLE holder_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  struct Events {
    HANDLE ready, release;
  } events{holder_ready, release};
  HANDLE holder = CreateThread(
      nullptr, 0, [](void* p) __attribute__((stdcall))->DWORD {
        auto* e = static_cast<Events*>(p);
        HWND owner = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                     nullptr);
        const BOOL opened = OpenClipboard(owner);
        SetEvent(e->ready);
        WaitForSingleObject(e->release, 10000);
        if (opened) CloseClipboard();
        DestroyWindow(owner);
        return opened ? 0 : 1;
      },
      &events, 0, nullptr);
  WaitForSingleObject(holder_ready, 10000);
  EXPECT_FALSE(ExceptionLog::CopyTextToClipboard("other"));
  SetEvent(release);
  WaitForSingleObject(holder, 10000);
  CloseHandle(holder);
  CloseHandle(holder_ready);
  CloseHandle(release);
}

int RunChild(const std::string& mode, const std::string& marker) {
  DeleteFileA(marker.c_str());
  std::string command = std::string("\"") + VL_RESTART_CHILD + "\" " + mode + " \"" + marker + "\"";
  STARTUPINFOA si{sizeof si};
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi))
    return -1;
  WaitForSingleObject(pi.hProcess, 30000);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

TEST(RestartTest, RestartStartsANewInstanceAndEndsWithCodeOne) {
  const std::string marker = std::string(VL_OUTPUT) + "/restart.marker";
  EXPECT_EQ(RunChild("restart", marker), 1);
  std::string seen;
  for (int i = 0; i < 200 && seen != "12"; ++i) {
    Sleep(50);
    seen = ReadAll(marker);
  }
  EXPECT_EQ(seen, "12");
}

TEST(RestartTest, TerminateEndsWithoutANewInstance) {
  const std::string marker = std::string(VL_OUTPUT) + "/terminate.marker";
  EXPECT_EQ(RunChild("terminate", marker), 1);
  Sleep(500);
  EXPECT_EQ(ReadAll(marker), "1");
}

}  // namespace
