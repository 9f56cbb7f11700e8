// The modules list (the program with its debug data, a library loaded at run time with its
// exports, refresh and rebuild) and the processes list (a child process we start).
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>

#include "Fixtures.h"
#include "VLData.h"
#include "VLDataWin.h"
#include "VModules.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Here(const char* name) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  return folder.substr(0, folder.find_last_of("\\/") + 1) + name;
}

int SnapshotBasePriority(DWORD id) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int base = -1;
  for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == id) base = entry.pcPriClassBase;
  }
  CloseHandle(snapshot);
  return base;
}

class ModulesWinTest : public ::testing::Test {
 protected:
  void SetUp() override { VCore::StartModulesList(); }
  void TearDown() override { VCore::StopModulesList(); }
};

TEST_F(ModulesWinTest, ProgramEntryHasItsDebugDataAndNoExports) {
  HMODULE self = GetModuleHandleA(nullptr);
  TVantorModuleInfo* info = VCore::ModuleInfoOfHandle(reinterpret_cast<VCore::TModuleHandle>(self));
  ASSERT_NE(info, nullptr);
  char path[MAX_PATH];
  GetModuleFileNameA(self, path, MAX_PATH);
  EXPECT_EQ(Lower(info->FileName), Lower(path));
  EXPECT_EQ(info->Kind, kModuleProgram);
  EXPECT_EQ(info->Exports.Count(), 0);
  EXPECT_EQ(info->DebugDataVersion, 6015);
  ASSERT_NE(info->DebugInfo, nullptr);
  EXPECT_GT(info->DebugInfo->Size(), 1000);
  EXPECT_EQ(info->PasswordKnown, 1);
  // The build date is the first link's time: a day after 2020 and not in the future.
  SYSTEMTIME now;
  GetSystemTime(&now);
  EXPECT_GT(info->BuildDate, 43831.0);
  EXPECT_LT(info->BuildDate, 43831.0 + 366.0 * (now.wYear - 2019));
  ASSERT_NE(info->Options, nullptr);
  EXPECT_EQ(info->Options->FModuleFileName, info->FileName);
  EXPECT_GT(info->FileSize, 100000u);
  EXPECT_NE(info->FileDate, 0u);
  // The same record for an address inside the program, and for the handle again.
  EXPECT_EQ(VCore::ModuleInfoOfAddress(reinterpret_cast<const void*>(&Lower)), info);
  EXPECT_EQ(VCore::ModuleInfoOfHandle(reinterpret_cast<VCore::TModuleHandle>(self)), info);
  EXPECT_EQ(VCore::ModuleKind(reinterpret_cast<VCore::TModuleHandle>(self)), kModuleProgram);
  EXPECT_FALSE(VCore::IsLibraryModule(reinterpret_cast<VCore::TModuleHandle>(self)));
}

TEST_F(ModulesWinTest, LibraryLoadedLaterAppearsWithItsExports) {
  HMODULE library = LoadLibraryA(Here("vantorlog_probe_library.dll").c_str());
  ASSERT_NE(library, nullptr);
  const void* add = reinterpret_cast<const void*>(GetProcAddress(library, "VLProbeAdd"));
  ASSERT_NE(add, nullptr);
  TVantorModuleInfo* info = VCore::ModuleInfoOfAddress(add);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->Handle, reinterpret_cast<VCore::TModuleHandle>(library));
  EXPECT_EQ(info->Kind, kModuleLibrary);
  EXPECT_TRUE(VCore::IsLibraryModule(info->Handle));
  EXPECT_EQ(info->DebugInfo, nullptr);
  EXPECT_EQ(info->DebugDataVersion, 6015);
  std::vector<std::string> names;
  std::uintptr_t previous = 0;
  for (int i = 0; i < info->Exports.Count(); ++i) {
    const TVantorFunctionInfo* f = info->Exports.Items(i);
    EXPECT_GE(f->Address, previous) << "sorted by address";
    previous = f->Address;
    EXPECT_EQ(f->Address,
              reinterpret_cast<std::uintptr_t>(GetProcAddress(library, f->Name.c_str())))
        << f->Name;
    names.push_back(f->Name);
    if (f->Name == "VLProbeValue") {
      EXPECT_EQ(f->CodeLength, 0u);  // data lies above the code section
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"VLProbeAdd", "VLProbeName", "VLProbeTwice",
                                             "VLProbeValue"}));
  FreeLibrary(library);
}

// Every named export at the address its table gives (a forwarder: where the loader takes it).
TEST_F(ModulesWinTest, SystemLibraryExportsAreThoseOfTheirTables) {
  for (const char* name : {"kernel32.dll", "ntdll.dll", "user32.dll"}) {
    SCOPED_TRACE(name);
    HMODULE library = GetModuleHandleA(name);
    if (!library) library = LoadLibraryA(name);
    ASSERT_NE(library, nullptr);
    const auto* base = reinterpret_cast<const std::uint8_t*>(library);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY range =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* directory =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + range.VirtualAddress);
    const auto* names = reinterpret_cast<const std::uint32_t*>(base + directory->AddressOfNames);
    const auto* ordinals =
        reinterpret_cast<const std::uint16_t*>(base + directory->AddressOfNameOrdinals);
    const auto* functions =
        reinterpret_cast<const std::uint32_t*>(base + directory->AddressOfFunctions);
    std::map<std::string, std::uintptr_t> expected;
    for (DWORD i = 0; i < directory->NumberOfNames; ++i) {
      const char* export_name = reinterpret_cast<const char*>(base + names[i]);
      const std::uint32_t rva = functions[ordinals[i]];
      expected[export_name] =
          rva - range.VirtualAddress < range.Size
              ? reinterpret_cast<std::uintptr_t>(GetProcAddress(library, export_name))
              : reinterpret_cast<std::uintptr_t>(base + rva);
    }
    EXPECT_GT(expected.size(), 100u);

    TVantorFunctionsList exports;
    ASSERT_TRUE(VCore::BuildExportList(reinterpret_cast<VCore::TModuleHandle>(library), exports));
    std::map<std::string, std::uintptr_t> found;
    for (int i = 0; i < exports.Count(); ++i)
      found[exports.Items(i)->Name] = exports.Items(i)->Address;
    EXPECT_EQ(found, expected);
  }
}

TEST_F(ModulesWinTest, RefreshEntersLightlyAndTheFirstLookupRebuilds) {
  HMODULE library = LoadLibraryA(Here("vantorlog_probe_library.dll").c_str());
  ASSERT_NE(library, nullptr);
  const auto handle = reinterpret_cast<VCore::TModuleHandle>(library);
  VCore::RefreshModulesList();
  TVantorModulesList* list = VCore::ModulesList();
  const TVantorModuleInfo* light = nullptr;
  bool has_kernel = false;
  for (int i = 0; i < list->Count(); ++i) {
    if (i > 0) {
      EXPECT_LT(list->Items(i - 1)->Handle, list->Items(i)->Handle);
    }
    if (list->Items(i)->Handle == handle) light = list->Items(i);
    if (Lower(list->Items(i)->FileName).find("kernel32.dll") != std::string::npos)
      has_kernel = true;
  }
  EXPECT_TRUE(has_kernel);
  ASSERT_NE(light, nullptr);
  EXPECT_EQ(light->Kind, kModuleNotAnalysed);
  EXPECT_EQ(light->Exports.Count(), 0);
  TVantorModuleInfo* rebuilt = VCore::ModuleInfoOfHandle(handle);
  ASSERT_NE(rebuilt, nullptr);
  EXPECT_EQ(rebuilt->Kind, kModuleLibrary);
  EXPECT_EQ(rebuilt->Exports.Count(), 4);
  // Unloaded: the next refresh drops it.
  FreeLibrary(library);
  VCore::RefreshModulesList();
  for (int i = 0; i < list->Count(); ++i) EXPECT_NE(list->Items(i)->Handle, handle);
}

TEST_F(ModulesWinTest, ChildProcessAppearsInTheProcessesList) {
  const std::string child = Here("vantorlog_process_child.exe");
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string command = "\"" + child + "\"";
  ASSERT_TRUE(CreateProcessA(child.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &si, &pi));
  WaitForInputIdle(pi.hProcess, 2000);
  VCore::BuildProcessesList();
  TVantorProcessesList* list = VCore::ProcessesList();
  const TVantorProcessInfo* found = nullptr;
  const TVantorProcessInfo* self = nullptr;
  for (int i = 0; i < list->Count(); ++i) {
    if (i > 0) {
      EXPECT_LT(list->Items(i - 1)->ProcessID, list->Items(i)->ProcessID);
    }
    if (list->Items(i)->ProcessID == pi.dwProcessId) found = list->Items(i);
    if (list->Items(i)->ProcessID == GetCurrentProcessId()) self = list->Items(i);
  }
  ASSERT_NE(found, nullptr);
  EXPECT_NE(Lower(found->FileName).find("vantorlog_process_child.exe"), std::string::npos)
      << found->FileName;
  // The class follows the snapshot's base priority (8 on Windows; Wine reports its own).
  const int base = SnapshotBasePriority(pi.dwProcessId);
  std::printf("child's base priority in the snapshot: %d\n", base);
  if (base == 8) {
    EXPECT_EQ(found->PriorityClass, static_cast<std::uint32_t>(NORMAL_PRIORITY_CLASS));
  }
  EXPECT_EQ(found->PriorityClass, VCore::PriorityClassOfBasePriority(base));
  EXPECT_EQ(found->ThreadCount, 1u);
  ASSERT_NE(self, nullptr);
  EXPECT_GE(self->ThreadCount, 1u);
  EXPECT_NE(VCore::ParentProcessID(), GetCurrentProcessId());
  TerminateProcess(pi.hProcess, 0);
  WaitForSingleObject(pi.hProcess, 5000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

// Every probe of a writer's case, looked up in a module's record (names and lines; the line
// offsets depend on the code bytes, which this module does not have).
void ExpectProbes(TVantorModuleInfo& info, const std::string& stem) {
  int checked = 0;
  for (const auto& p : fixtures::ReadTable(stem + ".expect")) {
    if (p[0] != "PROBE") continue;
    const std::uintptr_t address = info.Handle + VLData::kCodeStart + std::stoul(p[1], nullptr, 16);
    TAddressLocation loc;
    const bool found = VLData::LookupInDebugInfo(info, address, loc, nullptr);
    ASSERT_EQ(found, p[2] == "1") << p[1];
    if (!found) continue;
    EXPECT_EQ(loc.UnitName, fixtures::FromHex(p[3])) << p[1];
    EXPECT_EQ(loc.ClassName, fixtures::FromHex(p[4])) << p[1];
    EXPECT_EQ(loc.ProcedureName, fixtures::FromHex(p[5])) << p[1];
    EXPECT_EQ(loc.Line, std::stoul(p[6])) << p[1];
    ++checked;
  }
  EXPECT_GT(checked, 20);
}

TEST_F(ModulesWinTest, ProtectedNamesOfALibraryOpenWithThePasswordItsExportGives) {
  HMODULE library = LoadLibraryA(Here("vantorlog_protected_library.dll").c_str());
  ASSERT_NE(library, nullptr);
  ASSERT_NE(GetProcAddress(library, "VantorLog_PasswordRequestEventEx"), nullptr);
  TVantorModuleInfo* info =
      VCore::ModuleInfoOfHandle(reinterpret_cast<VCore::TModuleHandle>(library));
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(VLData::HasVLDataResource(info->Handle));
  EXPECT_EQ(info->DebugDataVersion, 6015);
  EXPECT_EQ(info->Password, "secret");
  EXPECT_EQ(info->PasswordKnown, 1);
  ASSERT_NE(info->DebugInfo, nullptr);
  ExpectProbes(*info, "vldata_pw_owner");
  FreeLibrary(library);
}

TEST_F(ModulesWinTest, BlockAppendedToALibraryFileIsRead) {
  const std::string copy = std::string(VL_OUTPUT) + "/appended_probe_library.dll";
  {
    std::ifstream in(Here("vantorlog_probe_library.dll"), std::ios::binary);
    std::ofstream out(copy, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    // The writer's file: "MZ", 200 zero bytes, then the block and its trailer.
    const std::string appended = fixtures::ReadFile("vldata_a6015.bin").substr(202);
    out.write(appended.data(), static_cast<std::streamsize>(appended.size()));
  }
  HMODULE library = LoadLibraryA(copy.c_str());
  ASSERT_NE(library, nullptr);
  const auto handle = reinterpret_cast<VCore::TModuleHandle>(library);
  EXPECT_FALSE(VLData::HasVLDataResource(handle));
  EXPECT_TRUE(VLData::HasAppendedDebugData(handle));
  EXPECT_EQ(VLData::DebugDataVersion(handle), 6015);
  TVantorModuleInfo* info = VCore::ModuleInfoOfHandle(handle);
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->DebugInfo, nullptr);
  for (const auto& e : fixtures::ReadTable("vldata_a6015.expect")) {
    if (e[0] == "OPT" && e[2] == "FSmtpServer") {
      EXPECT_EQ(info->Options->FSmtpServer, fixtures::FromHex(e[3]));
    }
  }
  ExpectProbes(*info, "vldata_a6015");
  FreeLibrary(library);
  DeleteFileA(copy.c_str());
}

TEST(PriorityClassTest, BasePrioritiesMapToClasses) {
  const std::pair<int, std::uint32_t> table[] = {
      {0, 0},  {1, 64},      {4, 64},      {5, 64},   {6, 0x4000}, {7, 0x4000}, {8, 32},
      {9, 32}, {10, 0x8000}, {12, 0x8000}, {13, 128}, {23, 128},   {24, 256},   {31, 256}};
  for (const auto& [base, cls] : table)
    EXPECT_EQ(VCore::PriorityClassOfBasePriority(base), cls) << base;
}

}  // namespace
