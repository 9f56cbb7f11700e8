// Every fault the phone simulator can put on each reply an operation waits for, through the
// flasher's own window and worker in this process (short deadlines): each run ends with its
// step's message and "Ошибка операции" (or succeeds where the fault is harmless), the buttons
// come back, the port is closed, a dump file holds only whole blocks equal to the NOR, and the
// same operation after a power cycle succeeds.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Com_port.h"
#include "Forms.h"
#include "Special_unit.h"
#include "Unit1.h"
#include "WideText.h"
#include "dialog_answer.h"
#include "phone_sim_control.h"
#include "window_driver.h"
#include "work_Thread.h"

namespace wd = window_driver;
using phone_sim::SimChip;

namespace {

enum class Op { kWrite, kDump, kErase };

constexpr const char* kNoAnswer = "Нет ответа от телефона";
constexpr const char* kWrong = "Неверный ответ";
constexpr const char* kChecksum = "Ошибка чек суммы";
constexpr const char* kSucceeds = nullptr;

struct FaultCase {
  std::string name;
  std::string point, kind;
  int times;  // replies that get the fault; 0: every one
  Op op;
  const char* message;  // the step's failure text; kSucceeds when the run succeeds
  int skip = 0;         // replies at the point that pass before the fault
  bool slave = false;   // the slave chip, booted after the master
};

// Test lists name a case by its name, not by its bytes.
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

// Shorter deadlines than the program's 3 to 30 s, still long enough for a loaded machine.
Special_unit::Timings ShortTimings() {
  Special_unit::Timings t;
  t.connect_wait = 4000;
  t.connect_echo = 2000;
  t.reply = 3000;
  t.speed_settle = 100;
  t.boot_done_pause = 50;
  t.ack = 2000;
  return t;
}
// A run that waits longer than this hangs: the longest single wait above is 4 s (an emulated
// machine takes longer for the rest of the run).
const DWORD kRunLimit = wd::WaitMs(25000);

const char* OpName(Op op) {
  return op == Op::kWrite ? "Write" : op == Op::kDump ? "Dump" : "Erase";
}

std::string CaseName(const std::string& point, const std::string& kind, Op op) {
  return phone_sim::FaultCaseName(point, kind) + "In" + OpName(op);
}

void Add(std::vector<FaultCase>& cases, const std::string& point, const std::string& kind,
         int times, Op op, const char* message) {
  cases.push_back({CaseName(point, kind, op), point, kind, times, op, message});
}

// The same reply a second time: the dump's second block, or the slave's boot after the
// master's.
void AddLater(std::vector<FaultCase>& cases, const std::string& point, const std::string& kind,
              Op op, const char* message, bool slave) {
  FaultCase c{CaseName(point, kind, op), point, kind, 1, op, message, 1, slave};
  c.name = (slave ? "Slave" : "Second") + c.name;
  cases.push_back(c);
}

// A one-byte reply the host compares: a missing or cut reply times out, a wrong byte and junk
// in front of the reply are wrong.
void ComparedByte(std::vector<FaultCase>& cases, const std::string& point, Op op,
                  const char* timeout_text, const char* wrong_text) {
  Add(cases, point, "drop", 1, op, timeout_text);
  Add(cases, point, "short", 1, op, timeout_text);
  Add(cases, point, "wrong", 1, op, wrong_text);
  Add(cases, point, "garbage", 1, op, wrong_text);
}

// A one-byte acknowledgement that any byte passes: junk in front of it shifts every later
// reply by three, which the sector sum after the last piece catches.
void AnyByteAck(std::vector<FaultCase>& cases, const std::string& point) {
  Add(cases, point, "drop", 1, Op::kWrite, kNoAnswer);
  Add(cases, point, "short", 1, Op::kWrite, kNoAnswer);
  Add(cases, point, "wrong", 1, Op::kWrite, kSucceeds);
  Add(cases, point, "garbage", 1, Op::kWrite, kChecksum);
}

std::vector<FaultCase> Cases() {
  std::vector<FaultCase> cases;
  // The boot, passed by every operation: shown with a dump, whose file stays empty.
  const Op boot = Op::kDump;
  const char* kTimeout30 = "Прошло 30 секунд а вы не подключили телефон - таймаут";
  Add(cases, "connect-req", "drop", 0, boot, kTimeout30);
  Add(cases, "connect-req", "short", 0, boot, kTimeout30);
  Add(cases, "connect-req", "wrong", 0, boot, kTimeout30);
  // Bytes other than 0x81 are waited past (junk before the first request only: a request sent
  // while the host answers the first is skipped only when it is a bare 0x81).
  Add(cases, "connect-req", "garbage", 1, boot, kSucceeds);
  ComparedByte(cases, "connect", boot, kNoAnswer, kWrong);
  Add(cases, "query", "drop", 1, boot, kNoAnswer);
  Add(cases, "query", "short", 1, boot, kNoAnswer);
  // The boot ROM refuses a customer ID with other query bytes and starts again 1.6 s later:
  // its connect request comes in place of the reply.
  Add(cases, "query", "wrong", 1, boot, kWrong);
  // Three query bytes are left on the line: the first is taken for the customer ID's reply.
  Add(cases, "query", "garbage", 1, boot, kWrong);
  for (const char* point : {"customer-id", "set-timeout", "set-address", "load", "jump", "dma-echo",
                            "dma-sum", "pre-jump"})
    ComparedByte(cases, point, boot, kNoAnswer, kWrong);
  ComparedByte(cases, "sync", boot, "Таймаут по установке скорости", "Не установилась скорость");
  ComparedByte(cases, "length", boot, kNoAnswer, kChecksum);
  ComparedByte(cases, "cs0-base", boot, kNoAnswer, "Смещение флеши не установились");
  const char* kNoFlashId = "Не данные о типе флеши";
  Add(cases, "flash-id", "drop", 1, boot, kNoFlashId);
  Add(cases, "flash-id", "short", 1, boot, kNoFlashId);
  Add(cases, "flash-id", "wrong", 1, boot, kSucceeds);  // the ID is not interpreted
  // Three ID bytes stay on the line and open the first dump block: its sum is wrong.
  Add(cases, "flash-id", "garbage", 1, boot, kChecksum);

  // The write's own replies.
  for (const char* point : {"bl-sync", "offset", "bl-length", "write-ack"})
    AnyByteAck(cases, point);
  ComparedByte(cases, "write-done", Op::kWrite, kNoAnswer, kChecksum);
  // The dump's block and its sum.
  Add(cases, "dump-data", "drop", 1, Op::kDump, kNoAnswer);
  Add(cases, "dump-data", "short", 1, Op::kDump, kNoAnswer);
  Add(cases, "dump-data", "wrong", 1, Op::kDump, kChecksum);
  Add(cases, "dump-data", "garbage", 1, Op::kDump, kChecksum);
  ComparedByte(cases, "dump-sum", Op::kDump, kNoAnswer, kChecksum);
  // The second block: the file keeps the first.
  AddLater(cases, "dump-data", "drop", Op::kDump, kNoAnswer, false);
  AddLater(cases, "dump-data", "wrong", Op::kDump, kChecksum, false);
  AddLater(cases, "dump-data", "garbage", Op::kDump, kChecksum, false);
  AddLater(cases, "dump-sum", "garbage", Op::kDump, kChecksum, false);
  // The erase acknowledgement: any byte passes, and the phone erases what it was asked.
  Add(cases, "erase", "drop", 1, Op::kErase, kNoAnswer);
  Add(cases, "erase", "short", 1, Op::kErase, kNoAnswer);
  Add(cases, "erase", "wrong", 1, Op::kErase, kSucceeds);
  Add(cases, "erase", "garbage", 1, Op::kErase, kSucceeds);

  // The slave's boot, after the master's passed the same replies, and its write.
  AddLater(cases, "connect", "drop", Op::kWrite, kNoAnswer, true);
  AddLater(cases, "cs0-base", "wrong", Op::kWrite, "Смещение флеши не установились", true);
  // Three ID bytes are left for the write's first replies: the sector sum meets SET_LENGTH's.
  AddLater(cases, "flash-id", "garbage", Op::kWrite, kChecksum, true);
  FaultCase slave_ack{
      "SlaveWriteAckWrongInWrite", "write-ack", "wrong", 1, Op::kWrite, kSucceeds, 0, true};
  cases.push_back(slave_ack);
  return cases;
}

void Pump(DWORD ms) {
  const DWORD start = GetTickCount();
  do {
    Application->ProcessMessages();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  } while (GetTickCount() - start < ms);
}

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>((i * 37 + seed) ^ (i >> 7));
  return bytes;
}

std::vector<std::uint8_t> ReadWholeFile(const std::wstring& path) {
  std::vector<std::uint8_t> bytes;
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return bytes;
  std::uint8_t chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
    bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  return bytes;
}

constexpr std::uint32_t kAddress = 0x60000;
constexpr std::uint32_t kDumpLength = 0x4000;  // two blocks
constexpr std::size_t kFileSize = 3000;        // two write pieces of one sector

// The form on this process's own phone, the master chip chosen, a source file and a NOR range.
class FlasherLine : public ::testing::Test {
 protected:
  void SetUp() override {
    Special_unit::timings = ShortTimings();
    Application->Initialize();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    dir_ = std::wstring(temp) + L"sweep-" + Utf8ToWide(sim.ComName()) + L"-" +
           std::to_wstring(now.QuadPart);
    CreateDirectoryW(dir_.c_str(), nullptr);
    source_ = dir_ + L"\\source.bin";
    dump_ = dir_ + L"\\dump.bin";
    const auto file = Pattern(kFileSize, 5);
    FILE* f = _wfopen(source_.c_str(), L"wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);

    Form1 = new TForm1;
    Form1->Show();
    // This process's own phone, whatever the port list of the prefix holds.
    const std::wstring com = Utf8ToWide(sim.ComName());
    HWND ports = Form1->ComboBox1->Handle();
    SendMessageW(ports, CB_SETCURSEL,
                 SendMessageW(ports, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(com.c_str())), 0);
    ASSERT_EQ(wd::Text(ports), com);
    ASSERT_TRUE(wd::SelectComboItem(Form1->ComboBox2->Handle(), L"921600"));
    SendMessageW(Form1->RadioButton1->Handle(), BM_CLICK, 0, 0);  // the master chip by default
    SetWindowTextW(Form1->Edit1->Handle(), source_.c_str());
    SetWindowTextW(Form1->Edit2->Handle(), L"00060000");
    SetWindowTextW(Form1->Edit3->Handle(), L"00004000");
    FillNor();
  }

  // The slave chip: its radio button, and its NOR for what the operation left.
  void ChooseSlave() {
    SendMessageW(Form1->RadioButton2->Handle(), BM_CLICK, 0, 0);
    chip_ = SimChip::kSlave;
  }
  void FillNor() { sim.NorWrite(chip_, kAddress, Pattern(kDumpLength, 9)); }

  void TearDown() override {
    if (HasFailure()) {
      for (const auto& line : Log()) std::printf("  log | %s\n", WideToUtf8(line).c_str());
      for (const auto& frame : sim.Frames()) std::printf("  phone | %s\n", frame.c_str());
    }
    if (Form1) {
      WaitForWorker(20000);
      delete Form1;
      Form1 = nullptr;
    }
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dir_), ignored);
  }

  std::vector<std::wstring> Log() { return wd::Lines(Form1->Memo1->Handle()); }
  bool ButtonsEnabled() {
    for (TButton* b : {Form1->Button1, Form1->Button2, Form1->Button3})
      if (!IsWindowEnabled(b->Handle())) return false;
    return true;
  }
  bool WaitForWorker(DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeout_ms) {
      if (WorkThread && WorkThread->Finished() && ButtonsEnabled()) {
        Pump(20);
        return true;
      }
      Pump(10);
    }
    return false;
  }

  struct Run {
    std::vector<std::wstring> lines;  // the lines this run added
    DWORD ms = 0;
    bool ended = false;
  };
  // Presses the operation's button on a phone just switched on, and waits for the worker.
  Run Press(Op op) {
    sim.Power(false);
    sim.Power(true);
    const std::size_t before = Log().size();
    WorkThread = nullptr;
    const DWORD start = GetTickCount();
    if (op == Op::kDump) {
      DialogAnswer answer(dump_);
      SendMessageW(Form1->Button2->Handle(), BM_CLICK, 0, 0);
    } else {
      SendMessageW((op == Op::kWrite ? Form1->Button1 : Form1->Button3)->Handle(), BM_CLICK, 0, 0);
    }
    Run run;
    run.ended = WaitForWorker(2 * kRunLimit);
    run.ms = GetTickCount() - start;
    auto lines = Log();
    run.lines.assign(lines.begin() + static_cast<std::ptrdiff_t>(std::min(before, lines.size())),
                     lines.end());
    return run;
  }

  // The port is closed when this process can open it (the flasher opens it exclusively).
  bool PortClosed() {
    HANDLE h = CreateFileW(sim.DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return Com_port::PortHandle < 0;
  }

  // What the operation left: the written range, the erased range, the dump's blocks.
  void ExpectOutcome(Op op, bool succeeded) {
    if (op == Op::kWrite && succeeded) {
      const auto file = Pattern(kFileSize, 5);
      EXPECT_EQ(sim.NorRead(chip_, kAddress, kFileSize), file);
    }
    if (op == Op::kErase && succeeded) {
      EXPECT_EQ(sim.NorRead(chip_, kAddress, kDumpLength),
                std::vector<std::uint8_t>(kDumpLength, 0xFF));
    }
    if (op == Op::kDump) {
      const auto dump = ReadWholeFile(dump_);
      EXPECT_EQ(dump.size() % 8192, 0u) << "a part of a block in the dump";
      ASSERT_LE(dump.size(), kDumpLength);
      const auto nor = sim.NorRead(chip_, kAddress, kDumpLength);
      EXPECT_TRUE(std::equal(dump.begin(), dump.end(), nor.begin()))
          << "the dump holds bytes the NOR does not";
      if (succeeded) {
        EXPECT_EQ(dump.size(), kDumpLength);
      }
    }
  }

  phone_sim::PhoneSimControl sim;
  SimChip chip_ = SimChip::kMaster;
  std::wstring dir_, source_, dump_;
};

class FlasherFaultSweep : public FlasherLine, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FlasherFaultSweep, EndsWithItsMessageThenWorksAfterAPowerCycle) {
  const FaultCase& c = GetParam();
  if (c.slave) {
    ChooseSlave();
    FillNor();
  }
  sim.Fault(c.point, c.kind, c.times, c.skip);
  const Run faulted = Press(c.op);
  sim.ClearFaults();
  ASSERT_TRUE(faulted.ended) << "the worker did not end";
  ASSERT_FALSE(faulted.lines.empty());
  const std::wstring failed = Utf8ToWide("Ошибка операции");
  if (c.message) {
    ASSERT_GE(faulted.lines.size(), 2u);
    EXPECT_EQ(faulted.lines.back(), failed);
    EXPECT_EQ(WideToUtf8(faulted.lines[faulted.lines.size() - 2]), c.message);
  } else {
    EXPECT_NE(faulted.lines.back(), failed);
  }
  bool fault_used = false;
  for (const auto& frame : sim.Frames())
    fault_used |= frame.rfind("FAULT " + c.point + " ", 0) == 0;
  EXPECT_TRUE(fault_used) << "the run never reached " << c.point;
  EXPECT_TRUE(ButtonsEnabled());
  EXPECT_TRUE(PortClosed());
  EXPECT_LT(faulted.ms, kRunLimit);
  ExpectOutcome(c.op, c.message == kSucceeds);
  if (c.skip > 0 && c.op == Op::kDump) {
    EXPECT_EQ(ReadWholeFile(dump_).size(), 8192u) << "the first block is kept";
  }

  FillNor();
  sim.ClearFrames();
  const Run again = Press(c.op);
  ASSERT_TRUE(again.ended);
  ASSERT_FALSE(again.lines.empty());
  EXPECT_NE(again.lines.back(), failed) << "the run after a power cycle failed";
  if (c.op != Op::kErase) {
    EXPECT_EQ(WideToUtf8(again.lines.back()),
              c.op == Op::kWrite ? "Флеширование выполнено успешно" : "Дамп выполнен успешно");
  }
  EXPECT_TRUE(ButtonsEnabled());
  EXPECT_TRUE(PortClosed());
  ExpectOutcome(c.op, true);
}

INSTANTIATE_TEST_SUITE_P(Replies, FlasherFaultSweep, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// The adapter pulled while the phone answers: the run ends with no answer, and once the
// adapter is back (as another port) the same operation works.
struct Unplugged {
  const char* name;
  const char* point;
  Op op;
};

class FlasherUnplugged : public FlasherLine, public ::testing::WithParamInterface<Unplugged> {};

TEST_P(FlasherUnplugged, EndsWithNoAnswerAndRunsAgainOnTheNewPort) {
  const Unplugged& c = GetParam();
  sim.Fault(c.point, "unplug", 1);
  const Run pulled = Press(c.op);
  ASSERT_TRUE(pulled.ended) << "the worker did not end";
  ASSERT_GE(pulled.lines.size(), 2u);
  EXPECT_EQ(WideToUtf8(pulled.lines[pulled.lines.size() - 2]), kNoAnswer);
  EXPECT_EQ(WideToUtf8(pulled.lines.back()), "Ошибка операции");
  EXPECT_LT(pulled.ms, kRunLimit);
  EXPECT_TRUE(ButtonsEnabled());
  EXPECT_LT(Com_port::PortHandle, 0);
  ExpectOutcome(c.op, false);

  const std::wstring com = Utf8ToWide(sim.Replug());
  HWND ports = Form1->ComboBox1->Handle();
  SendMessageW(ports, CB_SETCURSEL,
               SendMessageW(ports, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(com.c_str())), 0);
  FillNor();
  const Run again = Press(c.op);
  ASSERT_TRUE(again.ended);
  ASSERT_FALSE(again.lines.empty());
  EXPECT_EQ(WideToUtf8(again.lines.back()),
            c.op == Op::kWrite ? "Флеширование выполнено успешно" : "Дамп выполнен успешно");
  EXPECT_TRUE(PortClosed());
  ExpectOutcome(c.op, true);
}

INSTANTIATE_TEST_SUITE_P(Adapter, FlasherUnplugged,
                         ::testing::Values(Unplugged{"DuringTheBoot", "dma-sum", Op::kDump},
                                           Unplugged{"DuringAWrite", "write-ack", Op::kWrite},
                                           Unplugged{"DuringADump", "dump-data", Op::kDump}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
