// Quarrion end to end: the program started as a user starts it, worked through its window,
// against the phone simulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "WideText.h"
#include "phone_sim_control.h"
#include "quarrion_window.h"
#include "window_driver.h"

namespace wd = window_driver;
using phone_sim::SimChip;

namespace {

std::wstring DosPath(const std::string& unix_path) {
  std::wstring path = L"Z:" + Utf8ToWide(unix_path);
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

std::vector<std::uint8_t> ReadFile(const std::wstring& path) {
  FILE* f = _wfopen(path.c_str(), L"rb");
  std::vector<std::uint8_t> bytes;
  if (!f) return bytes;
  std::uint8_t chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof(chunk), f)) > 0;)
    bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  return bytes;
}

void WriteFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
  FILE* f = _wfopen(path.c_str(), L"wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>((i * 31 + seed) ^ (i >> 9));
  return bytes;
}

class QuarrionProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    // The port list Quarrion reads names this test's phone.
    value_name_ = L"PhoneSim" + Utf8ToWide(sim.ComName());
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::wstring com = Utf8ToWide(sim.ComName());
    RegSetValueExW(key, value_name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(com.c_str()),
                   static_cast<DWORD>((com.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    // Port numbers and process ids come again in later runs: the start time makes it new.
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    dir_ = std::wstring(temp) + L"quarrion-" + Utf8ToWide(sim.ComName()) + L"-" +
           std::to_wstring(now.QuadPart);
    CreateDirectoryW(dir_.c_str(), nullptr);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    // A copy of the program in the test's folder: its report log lands beside it.
    const std::wstring program = dir_ + L"\\Quarrion.exe";
    ASSERT_TRUE(CopyFileW(DosPath(QUARRION_EXE).c_str(), program.c_str(), FALSE));
    std::wstring command = L"\"" + program + L"\"";
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process_));
    ASSERT_TRUE(q.Attach(60000, process_.dwProcessId))
        << "Quarrion's window did not appear with all its controls";
    SendMessageW(q.port_list, CB_SHOWDROPDOWN, TRUE, 0);
    SendMessageW(q.port_list, CB_SHOWDROPDOWN, FALSE, 0);
    ASSERT_TRUE(wd::SelectComboItem(q.port_list, com));
    ASSERT_TRUE(wd::SelectComboItem(q.speed_list, L"921600"));
  }

  void TearDown() override {
    if (HasFailure()) {
      for (const auto& line : q.LogLines()) std::printf("  log | %s\n", WideToUtf8(line).c_str());
      for (const auto& frame : sim.Frames()) std::printf("  phone | %s\n", frame.c_str());
    }
    if (process_.hProcess) {
      if (IsWindow(q.window)) PostMessageW(q.window, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process_.hProcess, 1);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    // The flasher's own work raises nothing that the exception library reports.
    if (!expect_report_)
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(File(L"Quarrion.vlf"))))
          << WideToUtf8(File(L"Quarrion.vlf"));
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dir_), ignored);
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_SET_VALUE,
                      &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, value_name_.c_str());
      RegCloseKey(key);
    }
  }

  // The phone is switched off and on before each operation, as its user does.
  void FreshPhone() {
    sim.Power(false);
    sim.Power(true);
    sim.ClearFrames();
  }
  std::wstring File(const wchar_t* name) { return dir_ + L"\\" + name; }
  std::size_t FramesNamed(const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& f : sim.Frames()) n += f.rfind(prefix, 0) == 0;
    return n;
  }

  phone_sim::PhoneSimControl sim;
  QuarrionWindow q;
  PROCESS_INFORMATION process_{};
  std::wstring value_name_;
  std::wstring dir_;
  bool expect_report_ = false;
};

TEST_F(QuarrionProgram, WritesDumpsAndErasesTheMasterNor) {
  const auto file = Pattern(3000, 1);
  WriteFile(File(L"source.bin"), file);
  wd::Click(q.master_radio);
  wd::SetText(q.file_edit, File(L"source.bin"));
  wd::SetText(q.offset_edit, L"00060000");
  wd::SetText(q.length_edit, L"00000BB8");

  FreshPhone();
  auto lines = q.Press(q.write_button);
  EXPECT_TRUE(HasLine(lines, "Флеширование выполнено успешно")) << WideToUtf8(lines.back());
  EXPECT_EQ(FramesNamed("BL_WRITE_128K"), 1u);
  const auto nor = sim.NorRead(SimChip::kMaster, 0x60000, 4096);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), nor.begin()));

  FreshPhone();
  lines = q.PressDump(File(L"dump.bin"));
  EXPECT_TRUE(HasLine(lines, "Дамп выполнен успешно"));
  const auto dump = ReadFile(File(L"dump.bin"));
  ASSERT_EQ(dump.size(), 8192u);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), dump.begin()));

  FreshPhone();
  lines = q.Press(q.erase_button);
  EXPECT_FALSE(HasLine(lines, "Ошибка операции"));
  EXPECT_EQ(FramesNamed("BL_ERASE_SECTOR"), 1u);
  EXPECT_EQ(sim.NorRead(SimChip::kMaster, 0x60000, 16), std::vector<std::uint8_t>(16, 0xFF));
}

TEST_F(QuarrionProgram, SlaveIsTheDefaultAndBootsTwice) {
  const auto file = Pattern(70000, 2);
  WriteFile(File(L"slave.bin"), file);
  wd::SetText(q.file_edit, File(L"slave.bin"));
  FreshPhone();
  const auto lines = q.Press(q.write_button);
  EXPECT_TRUE(HasLine(lines, "Флеширование выполнено успешно"));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), Utf8ToWide("Флеш лоадер загружен")), 2);
  EXPECT_EQ(FramesNamed("BL_WRITE_64K"), 2u);
  EXPECT_EQ(sim.NorRead(SimChip::kSlave, 65536, 4464),
            std::vector<std::uint8_t>(file.begin() + 65536, file.end()));
}

struct BadInput {
  const char* name;
  const wchar_t* file;    // Edit1, or null to keep its prompt
  const wchar_t* offset;  // Edit2
  bool dump;              // dump (to an uncreatable file) instead of write
  const char* first_line;  // the first log line, or null when "Ошибка операции" is the only one
};

class QuarrionBadInput : public QuarrionProgram, public ::testing::WithParamInterface<BadInput> {};

TEST_P(QuarrionBadInput, EndsThroughTheErrorExitWithNothingOnTheLine) {
  const BadInput& c = GetParam();
  if (c.file) wd::SetText(q.file_edit, c.file);
  wd::SetText(q.offset_edit, c.offset);
  FreshPhone();
  const auto lines =
      c.dump ? q.PressDump(L"Z:\\no\\such\\folder\\dump.bin") : q.Press(q.write_button);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), Utf8ToWide("Ошибка операции"));
  if (c.first_line) EXPECT_EQ(lines.front(), Utf8ToWide(c.first_line));
  if (!c.first_line) EXPECT_EQ(lines.size(), 1u);
  EXPECT_EQ(FramesNamed("BOOT_"), 0u) << "nothing may reach the phone";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuarrionBadInput,
    ::testing::Values(BadInput{"PromptStillInTheFileField", nullptr, L"00000000", false,
                               "Файл не выбран - выберите файл для прошивки"},
                      BadInput{"OffsetNotHexadecimal", nullptr, L"12XZ", false, nullptr},
                      BadInput{"DumpFileCannotBeCreated", nullptr, L"00000000", true, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(QuarrionProgram, FailedBootInDumpModeLeavesTheDumpFileEmpty) {
  wd::Click(q.master_radio);
  sim.Fault("connect", "wrong", 0);
  FreshPhone();
  const auto lines = q.PressDump(File(L"empty.bin"));
  EXPECT_TRUE(HasLine(lines, "Неверный ответ"));
  EXPECT_EQ(lines.back(), Utf8ToWide("Ошибка операции"));
  EXPECT_EQ(GetFileAttributesW(File(L"empty.bin").c_str()) != INVALID_FILE_ATTRIBUTES, true);
  EXPECT_TRUE(ReadFile(File(L"empty.bin")).empty());
}

TEST_F(QuarrionProgram, CancellingTheSaveDialogStartsNothingAndKeepsTheOldDump) {
  wd::Click(q.master_radio);
  wd::SetText(q.length_edit, L"00002000");
  FreshPhone();
  ASSERT_TRUE(HasLine(q.PressDump(File(L"keep.bin")), "Дамп выполнен успешно"));
  FreshPhone();
  const auto lines = q.PressDump(L"");
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(FramesNamed("BOOT_"), 0u);
  EXPECT_EQ(ReadFile(File(L"keep.bin")).size(), 8192u);
}

TEST_F(QuarrionProgram, AQuickDoubleClickStartsOneWorker) {
  wd::Click(q.master_radio);
  wd::SetText(q.length_edit, L"00000000");
  FreshPhone();
  const std::size_t before = q.LogLines().size();
  ASSERT_TRUE(wd::MouseClick(q.erase_button, 2));
  const auto lines = q.Finish(before);
  Sleep(1000);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), Utf8ToWide("Флеш лоадер загружен")), 1);
  EXPECT_EQ(FramesNamed("BOOT_QUERY"), 1u);
}

TEST_F(QuarrionProgram, ClosingTheWindowWhileAWorkerWaitsEndsTheProgramCleanly) {
  sim.Power(false);  // the worker waits for the phone
  wd::Click(q.master_radio);
  wd::Click(q.erase_button);
  ASSERT_TRUE(wd::WaitUntil([&] { return !q.ButtonsEnabled(); }, 5000));
  PostMessageW(q.window, WM_CLOSE, 0, 0);
  ASSERT_EQ(WaitForSingleObject(process_.hProcess, 20000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(process_.hProcess, &code);
  EXPECT_EQ(code, 0u) << "a crash ends a Wine process with 3 or 5";
}

struct TOtherWindows {
  DWORD process_id;
  HWND main_window;
  bool short_dialog_seen;
};

BOOL CALLBACK CloseOtherWindow(HWND window, LPARAM parameter) {
  auto* c = reinterpret_cast<TOtherWindows*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == c->process_id && window != c->main_window && IsWindowVisible(window)) {
    // The short exception dialog: its caption and the apology in its white band.
    if (wd::Text(window) == L"Error occurred" &&
        wd::Text(GetDlgItem(window, 102)) ==
            L"The application has encountered a problem. We are sorry for the inconvenience.")
      c->short_dialog_seen = true;
    PostMessageW(window, WM_CLOSE, 0, 0);
  }
  return TRUE;
}

// Closes what the program shows besides its main window (an exception dialog); true when the
// short exception dialog was among them.
bool CloseOtherWindows(DWORD process_id, HWND main_window) {
  TOtherWindows context{process_id, main_window, false};
  EnumWindows(CloseOtherWindow, reinterpret_cast<LPARAM>(&context));
  return context.short_dialog_seen;
}

TEST_F(QuarrionProgram, AThreadFaultingFromOutsideIsReportedInTheLogAndTheProgramGoesOn) {
  expect_report_ = true;
  // A thread of Quarrion's started by another process at an address where no code is.
  DWORD remote_id = 0;
  HANDLE remote =
      CreateRemoteThread(process_.hProcess, nullptr, 0,
                         reinterpret_cast<LPTHREAD_START_ROUTINE>(0x10), nullptr, 0, &remote_id);
  ASSERT_NE(remote, nullptr);
  // The default options show the short dialog.
  bool short_dialog = false;
  ASSERT_TRUE(wd::WaitUntil(
      [&] {
        short_dialog |= CloseOtherWindows(process_.dwProcessId, q.window);
        return WaitForSingleObject(remote, 0) == WAIT_OBJECT_0;
      },
      60000));
  EXPECT_TRUE(short_dialog) << "no short exception dialog";
  DWORD code = 0;
  GetExitCodeThread(remote, &code);
  CloseHandle(remote);
  EXPECT_EQ(code, 1u) << "the thread ends, the program goes on";

  const auto bytes = ReadFile(File(L"Quarrion.vlf"));
  const std::string log(bytes.begin(), bytes.end());
  ASSERT_EQ(log.rfind("VantorLog ", 0), 0u) << "no report log beside the program";
  std::size_t reports = 0;
  for (std::size_t at = 0; (at = log.find("\r\nVantorLog ", at)) != std::string::npos; ++at)
    ++reports;
  EXPECT_EQ(reports + 1, 1u) << "one report";
  EXPECT_NE(log.find("2.5 Type          : EAccessViolation\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Access violation at address 00000010"), std::string::npos);
  // The exception thread's block of the call stack, with at least one row of its stack.
  const std::string header = "|*Exception Thread: ID=" + std::to_string(remote_id) + ";";
  const std::size_t block = log.find(header);
  ASSERT_NE(block, std::string::npos) << log;
  const std::size_t dashes = log.find("\r\n", block) + 2;
  const std::size_t first_row = log.find("\r\n", dashes) + 2;
  EXPECT_EQ(log.compare(dashes, 2, "|-"), 0) << log.substr(block, 400);
  EXPECT_EQ(log.compare(first_row, 1, "|"), 0) << log.substr(block, 400);
  EXPECT_NE(log.compare(first_row, 2, "|-"), 0) << log.substr(block, 400);
  EXPECT_NE(log.compare(first_row, 2, "| "), 0) << "an empty row: " << log.substr(block, 400);

  // The program still answers and ends normally.
  DWORD_PTR answer = 0;
  EXPECT_NE(SendMessageTimeoutW(q.window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer), 0);
  PostMessageW(q.window, WM_CLOSE, 0, 0);
  ASSERT_EQ(WaitForSingleObject(process_.hProcess, 20000), WAIT_OBJECT_0);
  GetExitCodeProcess(process_.hProcess, &code);
  EXPECT_EQ(code, 0u);
}

}  // namespace
