// Every fault the phone simulator can put on each reply that the boot and each operation of the
// main dialog wait for (binary and QVS download, format, status, NOR erase and dump, the slave
// chip's download): the run fails in state 63 (with or without the controls of the end of an
// operation, with its message box), stops with its message box, or waits for the reply until
// Stop; a dump file then holds only whole blocks equal to the NOR; after Stop and a power cycle
// the same operation succeeds. The adapter pulled during a QVS download: Stop, and the
// download runs on the port the adapter comes back as. The QVS explorer's replies (opening it,
// a directory listing, a file's status record, reading a file, EXIT) the same way: it fails idle
// with its log line, or waits until EXIT; nothing half-read is listed, printed or kept.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DownloaderDlg.h"
#include "QVSExplorerDlg.h"
#include "SerialComm.h"
#include "answering_app.h"
#include "dialog_driving.h"
#include "phone_sim_control.h"

namespace {

using phone_sim::SimChip;

AnsweringApp g_app(L"FaultSweep", IDOK);

// The operation whose replies get the fault: kBoot is the boot after START (followed by a
// binary download once it works again); the others run after the boot. The explorer's: opening
// it (the root listed), listing /data/, the status of /data/big.bin, reading it, EXIT.
enum class Op {
  kBoot,
  kBinary,
  kQvs,
  kFormat,
  kStatus,
  kErase,
  kDump,
  kSlave,
  kExplorerOpen,
  kExplorerList,
  kExplorerStatus,
  kExplorerRead,
  kExplorerExit,
};

bool InExplorer(Op op) { return op >= Op::kExplorerOpen; }

enum class End {
  kWaits,         // the state still awaits its reply; Stop ends the run
  kFails,         // state 63, controls as they were
  kFailsAndEnds,  // state 63 and the controls of the end of an operation
  kStops,         // its message boxes, then Stop: the line closed
  kSucceeds,
  kPulled,  // the adapter pulled: the state waits on; Stop, and the next run on a new port
  kCloses,  // the explorer closes at once (its EXIT answered by another byte)
};

struct SweepCase {
  std::string name;
  std::string point, kind;
  int times;  // replies that get the fault; 0: every one
  Op op;
  End end;
  int state = 0;                    // kWaits, kPulled: the state that waits
  std::vector<std::wstring> boxes;  // kStops, kFails, kFailsAndEnds
  int skip = 0;                     // replies at the point that pass before the fault
  std::wstring logEnd;              // kFails: how the log ends, when it says something
};

// Test lists name a case by its name, not by its bytes.
void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }

// A failed explorer reply: idle with its line at the end of the log.
SweepCase& Failed(SweepCase& c, std::wstring logEnd) {
  c.logEnd = std::move(logEnd);
  return c;
}

const std::wstring kNandText = L" ONE 1G NAND FLASH  \r\n";

const char* OpName(Op op) {
  switch (op) {
    case Op::kBoot:
    case Op::kBinary:
      return "";
    case Op::kQvs:
      return "InQvs";
    case Op::kFormat:
      return "InFormat";
    case Op::kStatus:
      return "InStatus";
    case Op::kErase:
      return "InErase";
    case Op::kDump:
      return "InDump";
    case Op::kSlave:
      return "InSlave";
    case Op::kExplorerOpen:
      return "InExplorerOpen";
    case Op::kExplorerList:
      return "InExplorerList";
    case Op::kExplorerStatus:
      return "InExplorerStatus";
    case Op::kExplorerRead:
      return "InExplorerRead";
    case Op::kExplorerExit:
      return "InExplorerExit";
  }
  return "";
}

SweepCase& Add(std::vector<SweepCase>& cases, const std::string& point, const std::string& kind,
               Op op, End end, int state = 0, std::vector<std::wstring> boxes = {}, int times = 1) {
  cases.push_back({phone_sim::FaultCaseName(point, kind) + OpName(op), point, kind, times, op, end,
                   state, std::move(boxes)});
  return cases.back();
}

// The same reply a later time: the second sector or block, or the slave's after the master's;
// in the explorer the reply after `skip` others at its point.
SweepCase& AddLater(std::vector<SweepCase>& cases, const std::string& point,
                    const std::string& kind, Op op, End end, int state = 0,
                    std::vector<std::wstring> boxes = {}, int skip = 1) {
  SweepCase& c = Add(cases, point, kind, op, end, state, std::move(boxes));
  c.skip = skip;
  if (op != Op::kSlave) c.name = (skip == 1 ? "Second" : "Later" + std::to_string(skip)) + c.name;
  return c;
}

// A one-byte reply that state compares: a missing or cut reply is waited for, a wrong byte or
// junk in front of it fails the run.
void Compared(std::vector<SweepCase>& cases, const std::string& point, Op op, int state,
              End wrong = End::kFails) {
  Add(cases, point, "drop", op, End::kWaits, state);
  Add(cases, point, "short", op, End::kWaits, state);
  Add(cases, point, "wrong", op, wrong);
  Add(cases, point, "garbage", op, wrong);
}

std::vector<SweepCase> Cases() {
  std::vector<SweepCase> cases;
  const Op boot = Op::kBoot, download = Op::kBinary;
  // Bytes other than 0x81 are waited past.
  Add(cases, "connect-req", "drop", boot, End::kWaits, 1, {}, 0);
  Add(cases, "connect-req", "short", boot, End::kWaits, 1, {}, 0);
  Add(cases, "connect-req", "wrong", boot, End::kWaits, 1, {}, 0);
  Add(cases, "connect-req", "garbage", boot, End::kSucceeds);
  // A byte other than 0x44 sends the machine back to the connect request, which the boot ROM,
  // now past it, no longer sends.
  Add(cases, "connect", "drop", boot, End::kWaits, 2);
  Add(cases, "connect", "short", boot, End::kWaits, 2);
  Add(cases, "connect", "wrong", boot, End::kWaits, 1);
  Add(cases, "connect", "garbage", boot, End::kWaits, 1);
  Add(cases, "query", "drop", boot, End::kWaits, 3);
  Add(cases, "query", "short", boot, End::kWaits, 3);
  // The boot ROM refuses a customer ID with other query bytes and starts again 1.6 s later:
  // its connect request comes in place of the reply.
  Add(cases, "query", "wrong", boot, End::kFails);
  // Three query bytes are left over; the first is taken for the customer ID's reply.
  Add(cases, "query", "garbage", boot, End::kFails);
  Compared(cases, "customer-id", boot, 4);
  Compared(cases, "set-timeout", boot, 53);
  Compared(cases, "set-address", boot, 11);
  Compared(cases, "load", boot, 5);
  Compared(cases, "jump", boot, 8);
  const std::vector<std::wstring> baudrate = {L"Fail to change the baudrate of target!"};
  Add(cases, "sync", "drop", boot, End::kWaits, 19);
  Add(cases, "sync", "short", boot, End::kWaits, 19);
  Add(cases, "sync", "wrong", boot, End::kStops, 0, baudrate);
  Add(cases, "sync", "garbage", boot, End::kStops, 0, baudrate);
  Add(cases, "chip-version", "drop", boot, End::kWaits, 60);
  Add(cases, "chip-version", "short", boot, End::kWaits, 60);
  Add(cases, "chip-version", "wrong", boot, End::kSucceeds);  // read and not used
  // The version's last three bytes come in place of the length's sum.
  Add(cases, "chip-version", "garbage", boot, End::kFails);
  Compared(cases, "length", boot, 20);
  Compared(cases, "dma-echo", boot, 48);
  Compared(cases, "dma-sum", boot, 12);
  Compared(cases, "pre-jump", boot, 16);
  Compared(cases, "cs0-base", boot, 17);
  Add(cases, "flash-id", "drop", boot, End::kWaits, 18);
  Add(cases, "flash-id", "short", boot, End::kWaits, 18);
  // Manufacturer 0xFFEC; the NAND is still known.
  Add(cases, "flash-id", "wrong", boot, End::kStops, 0, {kNandText, L"Unknown Flash"});
  // The junk is the manufacturer and the device; the second ID is 0000.
  Add(cases, "flash-id", "garbage", boot, End::kStops, 0,
      {L"not supported NAND FLASH(DevID:0)\r\n", L"Unknown Flash"});

  // The download's replies. LINK_SYNC's answer may be any byte: junk in front of it leaves
  // 5A for the checksum's sum.
  Add(cases, "bl-sync", "drop", download, End::kWaits, 19);
  Add(cases, "bl-sync", "short", download, End::kWaits, 19);
  Add(cases, "bl-sync", "wrong", download, End::kSucceeds);
  Add(cases, "bl-sync", "garbage", download, End::kFails);
  Compared(cases, "checksum", download, 51);
  Compared(cases, "offset", download, 21, End::kFailsAndEnds);
  Compared(cases, "bl-length", download, 20, End::kFailsAndEnds);
  // Piece replies are not checked: junk in front of one sends the next pieces early, and the
  // sector's sum then meets a piece reply.
  Add(cases, "write-ack", "drop", download, End::kWaits, 49);
  Add(cases, "write-ack", "short", download, End::kWaits, 49);
  Add(cases, "write-ack", "wrong", download, End::kSucceeds);
  Add(cases, "write-ack", "garbage", download, End::kFailsAndEnds);
  Compared(cases, "write-done", download, 50, End::kFailsAndEnds);
  Compared(cases, "download-end", download, 59);

  // The QVS download (no automatic format): one directory and one file of 3000 bytes, whose
  // only block is the last one (answered by 0xDF).
  const Op qvs = Op::kQvs;
  Compared(cases, "qvs-mount", qvs, 25);
  Compared(cases, "qvs-checksum", qvs, 52);
  Compared(cases, "qvs-time", qvs, 54);
  // A missing or cut sum leaves 0xDC, which follows it, for the sum.
  for (const char* kind : {"drop", "short", "wrong", "garbage"})
    Add(cases, "qvs-dir", kind, qvs, End::kFails);
  Compared(cases, "qvs-dir-done", qvs, 27);
  Compared(cases, "qvs-version", qvs, 44);
  Add(cases, "qvs-release", "drop", qvs, End::kWaits, 28);
  Add(cases, "qvs-release", "short", qvs, End::kWaits, 28);
  Add(cases, "qvs-release", "wrong", qvs, End::kFails).logEnd = L"INIT ERROR ! \n";
  Add(cases, "qvs-release", "garbage", qvs, End::kFails).logEnd = L"INIT ERROR ! \n";
  Compared(cases, "qvs-add", qvs, 29);
  Compared(cases, "qvs-block", qvs, 32);
  // Bytes other than 0xC5 are waited past.
  Add(cases, "qvs-end", "drop", qvs, End::kWaits, 58);
  Add(cases, "qvs-end", "short", qvs, End::kWaits, 58);
  Add(cases, "qvs-end", "wrong", qvs, End::kWaits, 58);
  Add(cases, "qvs-end", "garbage", qvs, End::kSucceeds);
  Compared(cases, "qvs-unmount", qvs, 36);
  // The adapter pulled while the block's reply is due.
  Add(cases, "qvs-block", "unplug", qvs, End::kPulled, 32);

  // The format (Format button): bytes other than 0xE1 and 0xF2 are waited past, the count's
  // sum among them.
  const Op format = Op::kFormat;
  for (const char* kind : {"drop", "short", "wrong", "garbage"})
    Add(cases, "qvs-format-sum", kind, format, End::kSucceeds);
  Add(cases, "qvs-format", "drop", format, End::kWaits, 33);
  Add(cases, "qvs-format", "short", format, End::kWaits, 33);
  Add(cases, "qvs-format", "wrong", format, End::kWaits, 33);
  Add(cases, "qvs-format", "garbage", format, End::kSucceeds);
  // The status: a record cut short is waited for, bytes before 0xED are waited past.
  Add(cases, "qvs-status", "drop", Op::kStatus, End::kWaits, 34);
  Add(cases, "qvs-status", "short", Op::kStatus, End::kWaits, 35);
  Add(cases, "qvs-status", "garbage", Op::kStatus, End::kSucceeds);

  // The NOR erase of sectors 3 and 5.
  const std::vector<std::wstring> eraseFailed = {L"Fail to erase sector!"};
  Add(cases, "erase", "drop", Op::kErase, End::kWaits, 22);
  Add(cases, "erase", "short", Op::kErase, End::kWaits, 22);
  Add(cases, "erase", "wrong", Op::kErase, End::kFailsAndEnds, 0, eraseFailed);
  Add(cases, "erase", "garbage", Op::kErase, End::kFailsAndEnds, 0, eraseFailed);
  AddLater(cases, "erase", "wrong", Op::kErase, End::kFailsAndEnds, 0, eraseFailed);
  // The NOR dump of sector 4 (16 blocks): a reply of another length than 8193 bytes is waited
  // for; a wrong sum stops with the controls left until Stop.
  const std::vector<std::wstring> sumFailed = {L"Checksum mismatched!"};
  const Op dump = Op::kDump;
  Add(cases, "dump-data", "drop", dump, End::kWaits, 24);
  Add(cases, "dump-data", "short", dump, End::kWaits, 24);
  Add(cases, "dump-data", "wrong", dump, End::kFails, 0, sumFailed);
  Add(cases, "dump-data", "garbage", dump, End::kWaits, 24);
  Add(cases, "dump-sum", "drop", dump, End::kWaits, 24);
  Add(cases, "dump-sum", "short", dump, End::kWaits, 24);
  Add(cases, "dump-sum", "wrong", dump, End::kFails, 0, sumFailed);
  Add(cases, "dump-sum", "garbage", dump, End::kWaits, 24);
  AddLater(cases, "dump-data", "wrong", dump, End::kFails, 0, sumFailed);
  AddLater(cases, "dump-sum", "wrong", dump, End::kFails, 0, sumFailed);

  // The slave chip's download after the master's (the first reply at each point is the
  // master's).
  const Op slave = Op::kSlave;
  AddLater(cases, "checksum", "drop", slave, End::kWaits, 51);
  AddLater(cases, "checksum", "wrong", slave, End::kFails);
  AddLater(cases, "offset", "garbage", slave, End::kFailsAndEnds);
  AddLater(cases, "write-done", "wrong", slave, End::kFailsAndEnds);
  AddLater(cases, "download-end", "short", slave, End::kWaits, 59);
  AddLater(cases, "download-end", "wrong", slave, End::kFails);

  // The QVS explorer on the tree a/ = {data/ = {big.bin (20000 bytes: chunks of 8192, 8192 and
  // 3616), full.bin, sub/}, empty.txt}. A failed reply ends idle (71, the browsing controls
  // enabled) with its line; a reply missing or cut short, a record whose length is wrong, is
  // waited for with the controls disabled, until EXIT.
  const Op open = Op::kExplorerOpen, list = Op::kExplorerList, xstatus = Op::kExplorerStatus,
           xread = Op::kExplorerRead;
  // LINK_SYNC's answer may be any byte; junk in front of it meets the mount.
  Add(cases, "bl-sync", "drop", open, End::kWaits, 19);
  Add(cases, "bl-sync", "short", open, End::kWaits, 19);
  Add(cases, "bl-sync", "wrong", open, End::kSucceeds);
  Failed(Add(cases, "bl-sync", "garbage", open, End::kFails), L"Fail! (0x5A)\r\n");
  Add(cases, "qvs-mount", "drop", open, End::kWaits, 25);
  Add(cases, "qvs-mount", "short", open, End::kWaits, 25);
  Failed(Add(cases, "qvs-mount", "wrong", open, End::kFails), L"Fail! (0x25)\r\n");
  Failed(Add(cases, "qvs-mount", "garbage", open, End::kFails), L"Fail! (0xA5)\r\n");
  // The record "." (length byte 2): cut, it is waited for; a wrong or junk length asks for
  // more bytes than come.
  Add(cases, "qvs-list", "drop", open, End::kWaits, 63);
  Add(cases, "qvs-list", "short", open, End::kWaits, 64);
  Add(cases, "qvs-list", "wrong", open, End::kWaits, 64);
  Add(cases, "qvs-list", "garbage", open, End::kWaits, 64);
  // In place of 0xCB after ".": the length byte 3 of "..", or the wrong byte.
  const std::wstring unknown = L"Unknown FILE name receive error!";
  Failed(Add(cases, "qvs-list-next", "drop", open, End::kFails), unknown + L"(3)\r\n");
  Failed(Add(cases, "qvs-list-next", "short", open, End::kFails), unknown + L"(3)\r\n");
  Failed(Add(cases, "qvs-list-next", "wrong", open, End::kFails), unknown + L"(34)\r\n");
  Failed(Add(cases, "qvs-list-next", "garbage", open, End::kFails), unknown + L"(a5)\r\n");
  // The end of the root's listing (0xE7 after its fourth record).
  AddLater(cases, "qvs-list-next", "drop", open, End::kWaits, 65, {}, 3);
  Failed(AddLater(cases, "qvs-list-next", "wrong", open, End::kFails, 0, {}, 3),
         unknown + L"(18)\r\n");
  // /data/: the record of big.bin (the third), the byte after it.
  AddLater(cases, "qvs-list", "drop", list, End::kWaits, 63, {}, 2);
  AddLater(cases, "qvs-list", "wrong", list, End::kWaits, 64, {}, 2);
  Failed(AddLater(cases, "qvs-list-next", "garbage", list, End::kFails, 0, {}, 2),
         unknown + L"(a5)\r\n");
  // The status record: cut, it is waited for; a wrong first byte fails, the rest is ignored.
  Add(cases, "qvs-file-status", "drop", xstatus, End::kWaits, 47);
  Add(cases, "qvs-file-status", "short", xstatus, End::kWaits, 48);
  Failed(Add(cases, "qvs-file-status", "wrong", xstatus, End::kFails), L"Fail! (0xE)\r\n");
  Failed(Add(cases, "qvs-file-status", "garbage", xstatus, End::kFails), L"Fail! (0xA5)\r\n");
  // Reading big.bin: the size, then each chunk and its sum.
  const std::wstring sizeFailed = L"File size read Fail! ";
  Add(cases, "qvs-read", "drop", xread, End::kWaits, 37);
  Add(cases, "qvs-read", "short", xread, End::kWaits, 38);
  Failed(Add(cases, "qvs-read", "wrong", xread, End::kFails), sizeFailed + L"(0x16)\r\n");
  Failed(Add(cases, "qvs-read", "garbage", xread, End::kFails), sizeFailed + L"(0xA5)\r\n");
  const std::vector<std::wstring> mismatched = {L"Checksum Mismatched!"};
  const std::wstring mismatchedLine = L"Checksum mismatched!\r\n";
  for (const char* point : {"qvs-chunk", "qvs-chunk-sum"}) {
    Add(cases, point, "drop", xread, End::kWaits, 41);
    Add(cases, point, "short", xread, End::kWaits, 41);
    Failed(Add(cases, point, "wrong", xread, End::kFails, 0, mismatched), mismatchedLine);
    // Junk in front: the chunk's last bytes come in place of its sum.
    Failed(Add(cases, point, "garbage", xread, End::kFails, 0, mismatched), mismatchedLine);
  }
  Failed(AddLater(cases, "qvs-chunk", "wrong", xread, End::kFails, 0, mismatched), mismatchedLine);
  AddLater(cases, "qvs-chunk-sum", "drop", xread, End::kWaits, 41);
  Failed(AddLater(cases, "qvs-chunk-sum", "wrong", xread, End::kFails, 0, mismatched, 2),
         mismatchedLine);
  // EXIT: any answer but none closes; without one a second EXIT does.
  Add(cases, "qvs-unmount", "drop", Op::kExplorerExit, End::kWaits, 34);
  Add(cases, "qvs-unmount", "short", Op::kExplorerExit, End::kWaits, 34);
  Add(cases, "qvs-unmount", "wrong", Op::kExplorerExit, End::kCloses);
  Add(cases, "qvs-unmount", "garbage", Op::kExplorerExit, End::kCloses);
  return cases;
}

std::wstring TempDir() {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return dir;
}

std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed = 0) {
  std::vector<std::uint8_t> data(n);
  for (std::size_t i = 0; i < n; ++i)
    data[i] = static_cast<std::uint8_t>((i * 29 + (i >> 8)) ^ (seed * 77));
  return data;
}

// A Linux path of the build as Wine sees it.
std::wstring Win(const std::string& linux) {
  std::wstring w = L"Z:";
  for (char c : linux) w += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
  return w;
}

constexpr std::size_t kBinarySize = 5000;  // three pieces of one 128 KiB sector at offset 0
// Longer than any reply of the simulator takes: a state that still waits after it waits on.
constexpr DWORD kQuiet = 3000;
// The flash ID of the NOR table of 128 KiB sectors and a 1 Gbit NAND.
const std::vector<std::uint8_t> kFlashId = {0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x34};
constexpr std::uint32_t kSector = 0x20000;
constexpr int kDumpSector = 4;
const std::vector<int> kEraseSectors = {3, 5};

// The main dialog with its sector and save-file dialogs answered by the test.
class SweepDlg : public CDownloaderDlg {
 public:
  std::vector<int> tick;
  std::wstring savePath;

 protected:
  bool RunSectorDialog() override {
    for (int i : tick) g_SectorFlags[i] = 1;
    return true;
  }
  bool ChooseSaveFile(const wchar_t*, const wchar_t*, CString& chosen) override {
    chosen = savePath.c_str();
    return true;
  }
};

// The explorer with its save dialog answered by the test.
class SweepExplorer : public CQVSExplorerDlg {
 public:
  using CQVSExplorerDlg::CQVSExplorerDlg;
  std::wstring target;

 protected:
  bool ChooseSaveFile(const wchar_t*, const wchar_t*, const wchar_t*, CString& chosen) override {
    chosen = target.c_str();
    return true;
  }
};

// The explorer's tree (drive a/ of the QVS download fixture "main").
const std::string kExplorerTree = std::string(QVS_FIXTURE_DIR) + "/main/tree";
const std::vector<std::wstring> kRootFiles = {L"empty.txt"};
const std::vector<std::wstring> kDataFiles = {L"big.bin", L"full.bin"};
constexpr std::size_t kBigSize = 20000, kChunk = 8192;

std::vector<std::wstring> ListItems(HWND list) {
  std::vector<std::wstring> out;
  const int n = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    std::wstring s(static_cast<std::size_t>(SendMessageW(list, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
    s.resize(static_cast<std::size_t>(
        SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(s.data()))));
    out.push_back(s);
  }
  return out;
}

std::vector<std::pair<HTREEITEM, std::wstring>> TreeChildren(HWND tree, HTREEITEM item) {
  std::vector<std::pair<HTREEITEM, std::wstring>> out;
  for (auto c = reinterpret_cast<HTREEITEM>(
           SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item)));
       c; c = reinterpret_cast<HTREEITEM>(
              SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(c)))) {
    wchar_t text[256] = {};
    TVITEMW tv{};
    tv.mask = TVIF_TEXT;
    tv.hItem = c;
    tv.pszText = text;
    tv.cchTextMax = 255;
    SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
    out.push_back({c, text});
  }
  return out;
}

bool EndsWith(const std::wstring& s, const std::wstring& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

bool Contains(const std::wstring& s, const std::wstring& part) {
  return s.find(part) != std::wstring::npos;
}

class TeskelFaultSweep : public ::testing::TestWithParam<SweepCase> {
 protected:
  void SetUp() override {
    if (!phone_sim::PhoneSimControl::Available()) GTEST_SKIP() << "no phone simulator";
    const SweepCase& c = GetParam();
    AfxInitRichEdit2();
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
    g_app.yesNo = IDYES;  // "Sure to FORMAT?"
    temp_ = TempDir() + L"sweep_" + std::to_wstring(GetCurrentProcessId()) + L"_";
    g_strHistoryPath = temp_ + L"history.txt";
    DeleteFileW(g_strHistoryPath.c_str());
    ASSERT_TRUE(OpenHistoryFile());
    sim = std::make_unique<phone_sim::PhoneSimControl>();
    if (c.op != Op::kBoot && c.op != Op::kBinary) sim->SetFlashId(SimChip::kMaster, kFlashId);
    Write(L"COM", std::stoi(sim->ComName().substr(3)) - 1);
    Write(L"ARM9", 1);
    binary_ = temp_ + L"master.cla";
    WriteBytes(binary_, Pattern(kBinarySize));
    g_app.WriteProfileString(L"Setting", L"binary1", binary_.c_str());
    if (c.op == Op::kSlave) {
      slaveBinary_ = temp_ + L"slave.cla";
      WriteBytes(slaveBinary_, Pattern(kBinarySize, 3));
      g_app.WriteProfileString(L"Setting", L"4", slaveBinary_.c_str());
      Write(L"ARM7", 1);
    }
    dump_ = temp_ + L"dump.hex";
    DeleteFileW(dump_.c_str());
    if (InExplorer(c.op)) {
      sim->QvsLoad(SimChip::kMaster, kExplorerTree);
      big_ = ReadBytes(Win(kExplorerTree + "/a/data/big.bin"));
      ASSERT_EQ(big_.size(), kBigSize);
      readTarget_ = temp_ + L"big.hex";
      DeleteFileW(readTarget_.c_str());
    }
    Create();
  }
  void TearDown() override {
    if (HasFailure()) {
      std::printf("  state %d, log:\n%ls\n", dlg->m_hWnd ? dlg->m_OperationState : -1,
                  dlg->m_hWnd ? LogText(h).c_str() : L"");
      for (const auto& box : g_app.boxes) std::printf("  box | %ls\n", box.c_str());
      if (ex && ex->m_hWnd) {
        std::printf("  explorer state %d, log:\n%ls\n", ex->m_nState, ExplorerLog().c_str());
      }
      if (sim) {
        for (const auto& frame : sim->Frames()) std::printf("  phone | %s\n", frame.c_str());
      }
    }
    if (ex && ex->m_hWnd) ex->DestroyWindow();
    ex.reset();
    if (dlg && dlg->m_hWnd) {
      if (g_MasterComm.IsConnected()) Click(h, IDC_STOP);
      dlg->DestroyWindow();
    }
    g_MasterComm.Close();
    CloseHistoryFile();
    for (const auto& f : {g_strHistoryPath, binary_, slaveBinary_, dump_, readTarget_})
      DeleteFileW(f.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, g_app.RegRoot().c_str());
  }
  void Write(const wchar_t* name, int v) { g_app.WriteProfileInt(L"Setting", name, v); }
  void WriteBytes(const std::wstring& path, const std::vector<std::uint8_t>& data) {
    CFile f;
    ASSERT_TRUE(f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite));
    f.Write(data.data(), static_cast<UINT>(data.size()));
  }
  void Create() {
    dlg = std::make_unique<SweepDlg>();
    ASSERT_TRUE(dlg->Create(IDD_DOWNLOADER_DIALOG));
    h = dlg->m_hWnd;
  }

  bool Idle() const { return dlg->m_OperationState == kStateIdle; }
  // START on a phone just switched on.
  void Start() {
    sim->Power(false);
    sim->Power(true);
    g_app.boxes.clear();
    Click(h, IDC_START);
  }
  bool Booted() {
    return PumpUntil([&] { return dlg->m_BootDone && Idle(); }, 60000);
  }

  // What the operation works on: the NOR's sectors, the dialog's choices.
  void Prepare(Op op, bool autoFormat) {
    if (op == Op::kErase) {
      for (int s : kEraseSectors) sim->NorWrite(SimChip::kMaster, s * kSector, Pattern(kSector, s));
      dlg->tick = kEraseSectors;
    }
    if (op == Op::kDump) {
      sim->NorWrite(SimChip::kMaster, kDumpSector * kSector, Pattern(kSector, kDumpSector));
      dlg->tick = {kDumpSector};
      dlg->savePath = dump_;
    }
    if (op == Op::kQvs || op == Op::kFormat) {
      if (op == Op::kQvs) {
        CheckRadioButton(h, IDC_MASTER_BIN, IDC_MASTER_BINQVS, IDC_MASTER_QVS);
        Click(h, IDC_MASTER_QVS);
      }
      if ((dlg->m_bNoAutoFormat != 0) == autoFormat) {
        CheckDlgButton(h, IDC_NO_AUTO_FORMAT, autoFormat ? BST_UNCHECKED : BST_CHECKED);
        Click(h, IDC_NO_AUTO_FORMAT);
      }
      const std::wstring qvs = Win(std::string(QVS_FIXTURE_DIR) + "/norel.qvs");
      SetDlgItemTextW(h, IDC_QVS_PATH, qvs.c_str());
      dlg->m_strQvsPath = qvs.c_str();
      dlg->m_strCfgPath = CfgNameFor(qvs).c_str();
    }
  }
  // Presses the operation's button.
  void Press(Op op) {
    g_app.boxes.clear();
    sim->ClearFrames();
    const int button = op == Op::kFormat   ? IDC_FORMAT
                       : op == Op::kStatus ? IDC_STATUS
                       : op == Op::kErase  ? IDC_ERASE
                       : op == Op::kDump   ? IDC_DUMP
                                           : IDC_DOWNLOAD;
    Click(h, button);
  }
  // The boxes of the operation's success.
  static std::vector<std::wstring> SuccessBoxes(Op op) {
    switch (op) {
      case Op::kFormat:
        return {L"Sure to FORMAT?", L"NAND-Formatting Completed!"};
      case Op::kStatus:
        return {};
      case Op::kErase:
        return {L"Erasing Completed!"};
      case Op::kDump:
        return {L"Dump Completed!"};
      default:
        return {L"Download completed!"};
    }
  }
  bool Ended(Op op) {
    const std::size_t boxes = SuccessBoxes(op).size();
    return PumpUntil(
        [&] {
          return Idle() && g_app.boxes.size() >= boxes && (op != Op::kSlave || dlg->m_SlaveTarget);
        },
        120000);
  }
  // What the operation leaves when it succeeded.
  void ExpectDone(Op op) {
    EXPECT_EQ(g_app.boxes, SuccessBoxes(op));
    EXPECT_TRUE(Enabled(h, IDC_ABOUT));
    if (op == Op::kBoot || op == Op::kBinary || op == Op::kSlave) {
      EXPECT_EQ(sim->NorRead(SimChip::kMaster, 0, kBinarySize), Pattern(kBinarySize));
    }
    if (op == Op::kSlave) {
      EXPECT_EQ(sim->NorRead(SimChip::kSlave, 0, kBinarySize), Pattern(kBinarySize, 3));
    }
    if (op == Op::kErase) {
      for (int s : kEraseSectors)
        EXPECT_EQ(sim->NorRead(SimChip::kMaster, s * kSector, 4096),
                  std::vector<std::uint8_t>(4096, 0xFF))
            << s;
    }
    if (op == Op::kDump) {
      EXPECT_EQ(ReadBytes(dump_), Pattern(kSector, kDumpSector));
    }
    if (op == Op::kQvs) {
      const std::string frames = Joined();
      EXPECT_NE(frames.find("QVS_FILE_DONE /a/x.bin bytes=3000"), std::string::npos) << frames;
      EXPECT_NE(frames.find("QVS_UNMOUNT"), std::string::npos);
    }
  }
  std::string Joined() {
    std::string out;
    for (const auto& f : sim->Frames()) out += f + "\n";
    return out;
  }
  bool FaultUsed(const std::string& point) {
    for (const auto& frame : sim->Frames())
      if (frame.rfind("FAULT " + point + " ", 0) == 0) return true;
    return false;
  }

  // The explorer, opened over the booted link (as the main dialog's Explorer... opens it).
  void OpenExplorer() {
    ex = std::make_unique<SweepExplorer>(dlg.get(), kFlashId[9]);
    ex->target = readTarget_;
    ASSERT_TRUE(ex->Create(IDD_QVS_EXPLORER, dlg.get()));
    xh = ex->m_hWnd;
  }
  bool ExplorerIdle() const { return ex->m_nState == kExplorerIdle; }
  HWND Tree() const { return GetDlgItem(xh, IDC_QVSX_TREE); }
  HWND Files() const { return GetDlgItem(xh, IDC_QVSX_FILES); }
  std::wstring ExplorerLog() const { return ItemText(xh, IDC_QVSX_LOG); }
  HTREEITEM Root() const {
    return reinterpret_cast<HTREEITEM>(SendMessageW(Tree(), TVM_GETNEXTITEM, TVGN_ROOT, 0));
  }
  std::vector<std::wstring> ChildNames(HTREEITEM item) const {
    std::vector<std::wstring> names;
    for (const auto& [c, name] : TreeChildren(Tree(), item)) names.push_back(name);
    return names;
  }
  HTREEITEM DataItem() const {
    for (const auto& [c, name] : TreeChildren(Tree(), Root()))
      if (name == L"data") return c;
    return nullptr;
  }
  // Tree, file list and NAND FULL Dump: all enabled (idle) or all disabled (an exchange runs).
  int BrowsingEnabled() const {
    return Enabled(xh, IDC_QVSX_TREE) + Enabled(xh, IDC_QVSX_FILES) +
           Enabled(xh, IDC_QVSX_NAND_DUMP);
  }
  // Starts the explorer operation on the idle explorer (/data/ listed for the status and the
  // read).
  void BeginExplorer(Op op, bool arm) {
    const SweepCase& c = GetParam();
    if (op != Op::kExplorerOpen) {
      ASSERT_TRUE(PumpUntil([&] { return ExplorerIdle(); }, 30000)) << ex->m_nState;
      if (op == Op::kExplorerStatus || op == Op::kExplorerRead) {
        ASSERT_NE(DataItem(), nullptr);
        SendMessageW(Tree(), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(DataItem()));
        ASSERT_TRUE(PumpUntil([&] { return ExplorerIdle(); }, 30000)) << ex->m_nState;
        ASSERT_EQ(ListItems(Files()), kDataFiles);
        SendMessageW(Files(), LB_SETCURSEL, 0, 0);  // big.bin
      }
    }
    g_app.boxes.clear();
    sim->ClearFrames();
    if (arm) sim->Fault(c.point, c.kind, c.times, c.skip);
    switch (op) {
      case Op::kExplorerOpen:
        OpenExplorer();
        break;
      case Op::kExplorerList:
        SendMessageW(Tree(), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(DataItem()));
        break;
      case Op::kExplorerStatus:
        Click(xh, ID_QVSX_STATUS);
        break;
      case Op::kExplorerRead:
        Click(xh, ID_QVSX_DUMP);
        break;
      default:
        Click(xh, IDOK);
        break;
    }
  }
  // What the explorer operation leaves when it succeeded.
  void ExpectExplorerDone(Op op) {
    if (op == Op::kExplorerExit) {
      ASSERT_TRUE(PumpUntil([&] { return !IsWindow(xh); }, 10000));
      EXPECT_EQ(CountPrefix(sim->Frames(), "QVS_UNMOUNT"), 1);
      EXPECT_EQ(g_hReplyWnd.load(), h);
      return;
    }
    ASSERT_TRUE(PumpUntil(
        [&] {
          return ExplorerIdle() && g_app.boxes.size() >= std::size_t{op == Op::kExplorerRead};
        },
        60000))
        << ex->m_nState;
    Pump(300);
    EXPECT_EQ(ex->m_nState, kExplorerIdle);
    EXPECT_EQ(BrowsingEnabled(), 3);
    const std::wstring log = ExplorerLog();
    switch (op) {
      case Op::kExplorerOpen:
        EXPECT_EQ(ListItems(Files()), kRootFiles);
        EXPECT_EQ(ChildNames(Root()), std::vector<std::wstring>{L"data"});
        EXPECT_TRUE(EndsWith(log, L"empty.txt\r\n\r\n Read directory OK!\r\n")) << log;
        break;
      case Op::kExplorerList:
        EXPECT_EQ(ListItems(Files()), kDataFiles);
        EXPECT_EQ(ChildNames(DataItem()), std::vector<std::wstring>{L"sub"});
        EXPECT_TRUE(EndsWith(log, L"full.bin\r\n\r\n Read directory OK!\r\n")) << log;
        break;
      case Op::kExplorerStatus:
        EXPECT_TRUE(Contains(log, L"*File size : 20000 byte\r\n")) << log;
        break;
      default:
        EXPECT_EQ(g_app.boxes, std::vector<std::wstring>{L"Dump Completed!"});
        EXPECT_TRUE(EndsWith(log, L"** Dump Completed! **\r\n")) << log;
        EXPECT_EQ(ReadBytes(readTarget_), big_);
        break;
    }
  }
  void RunExplorerCase();

  std::unique_ptr<phone_sim::PhoneSimControl> sim;
  std::unique_ptr<SweepDlg> dlg;
  HWND h = nullptr;
  std::unique_ptr<SweepExplorer> ex;
  HWND xh = nullptr;
  std::wstring temp_, binary_, slaveBinary_, dump_, readTarget_;
  std::vector<std::uint8_t> big_;
};

void TeskelFaultSweep::RunExplorerCase() {
  const SweepCase& c = GetParam();
  Start();
  ASSERT_TRUE(Booted());
  if (c.op != Op::kExplorerOpen) OpenExplorer();
  BeginExplorer(c.op, true);
  ASSERT_TRUE(PumpUntil([&] { return FaultUsed(c.point); }, 60000)) << "never reached";
  const DWORD start = GetTickCount();
  switch (c.end) {
    case End::kWaits:
      // Only EXIT ends the wait: the state awaits the rest of the reply, nothing is enabled.
      Pump(kQuiet);
      EXPECT_EQ(ex->m_nState, c.state);
      EXPECT_EQ(BrowsingEnabled(), c.op == Op::kExplorerExit ? 3 : 0);
      EXPECT_TRUE(IsWindow(xh));
      EXPECT_TRUE(g_app.boxes.empty());
      break;
    case End::kFails:
      ASSERT_TRUE(
          PumpUntil([&] { return ExplorerIdle() && g_app.boxes.size() >= c.boxes.size(); }, 10000))
          << ex->m_nState;
      EXPECT_LT(GetTickCount() - start, 10000u);
      Pump(500);  // bytes still on their way change nothing
      EXPECT_EQ(ex->m_nState, kExplorerIdle);
      EXPECT_EQ(BrowsingEnabled(), 3);
      EXPECT_EQ(g_app.boxes, c.boxes);
      EXPECT_TRUE(EndsWith(ExplorerLog(), c.logEnd)) << ExplorerLog();
      break;
    case End::kCloses:
      ASSERT_TRUE(PumpUntil([&] { return !IsWindow(xh); }, 10000));
      EXPECT_LT(GetTickCount() - start, 10000u);
      break;
    default:
      ExpectExplorerDone(c.op);
      break;
  }
  EXPECT_TRUE(g_MasterComm.IsConnected());
  // Nothing half-read passes for whole: no listing said complete, no status printed.
  if (IsWindow(xh) && c.end != End::kSucceeds) {
    const std::wstring log = ExplorerLog();
    const auto files = ListItems(Files());
    if (c.op == Op::kExplorerOpen || c.op == Op::kExplorerList) {
      EXPECT_FALSE(Contains(log, L"Read directory OK!")) << log;
      const auto& all = c.op == Op::kExplorerOpen ? kRootFiles : kDataFiles;
      ASSERT_LE(files.size(), all.size());
      EXPECT_TRUE(std::equal(files.begin(), files.end(), all.begin())) << "listed in order";
    }
    if (c.op == Op::kExplorerStatus) {
      EXPECT_FALSE(Contains(log, L"*File")) << log;
    }
    if (c.op == Op::kExplorerRead) {
      EXPECT_FALSE(Contains(log, L"Dump Completed")) << log;
    }
  }
  // EXIT closes on the phone's answer (a second EXIT when the answer is missing); the main
  // dialog has the replies again.
  if (IsWindow(xh)) {
    Click(xh, IDOK);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(xh); }, 10000)) << ex->m_nState;
  }
  EXPECT_EQ(g_hReplyWnd.load(), h);
  if (c.op == Op::kExplorerRead && c.end != End::kSucceeds) {
    // The target holds only the whole chunks that came before the fault, each as read.
    const auto got = ReadBytes(readTarget_);
    EXPECT_EQ(got.size(), c.point == "qvs-read" ? 0u : c.skip * kChunk);
    ASSERT_LE(got.size(), big_.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), big_.begin()));
  }
  ex.reset();
  // Stop, a power cycle, the boot and the same operation in a new explorer.
  Click(h, IDC_STOP);
  EXPECT_FALSE(g_MasterComm.IsConnected());
  dlg->DestroyWindow();
  sim->ClearFaults();
  DeleteFileW(readTarget_.c_str());
  Create();
  Start();
  ASSERT_TRUE(Booted());
  if (c.op != Op::kExplorerOpen) OpenExplorer();
  BeginExplorer(c.op, false);
  ExpectExplorerDone(c.op);
}

TEST_P(TeskelFaultSweep, EndsAsItsStateSaysThenWorksAfterAPowerCycle) {
  const SweepCase& c = GetParam();
  if (InExplorer(c.op)) {
    RunExplorerCase();
    return;
  }
  if (c.op == Op::kBoot) {
    sim->Fault(c.point, c.kind, c.times, c.skip);
    Start();
  } else {
    Start();
    ASSERT_TRUE(Booted());
    Prepare(c.op, false);
    sim->Fault(c.point, c.kind, c.times, c.skip);
    Press(c.op);
  }
  ASSERT_TRUE(PumpUntil([&] { return FaultUsed(c.point); }, 60000)) << "never reached";
  const DWORD start = GetTickCount();
  const std::vector<std::wstring> asked = c.op == Op::kFormat
                                              ? std::vector<std::wstring>{L"Sure to FORMAT?"}
                                              : std::vector<std::wstring>{};
  auto with_asked = [&](const std::vector<std::wstring>& boxes) {
    std::vector<std::wstring> all = asked;
    all.insert(all.end(), boxes.begin(), boxes.end());
    return all;
  };
  switch (c.end) {
    case End::kWaits:
    case End::kPulled:
      // Nothing ends the wait but Stop: the machine stays in the state that awaits the reply.
      Pump(kQuiet);
      EXPECT_EQ(dlg->m_OperationState, c.state);
      if (c.end == End::kWaits) {
        EXPECT_TRUE(g_MasterComm.IsConnected());
      }
      EXPECT_EQ(g_app.boxes, asked);
      break;
    case End::kFails:
    case End::kFailsAndEnds:
      ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 10000)) << dlg->m_OperationState;
      Pump(500);  // replies still on their way change nothing
      EXPECT_EQ(dlg->m_OperationState, kStateIdle);
      EXPECT_TRUE(g_MasterComm.IsConnected());
      EXPECT_EQ(g_app.boxes, with_asked(c.boxes));
      EXPECT_EQ(Enabled(h, IDC_ABOUT), c.end == End::kFailsAndEnds);
      EXPECT_FALSE(dlg->m_BootDone && c.op == Op::kBoot);
      if (!c.logEnd.empty()) {
        const std::wstring log = LogText(h);
        EXPECT_EQ(log.substr(log.size() - std::min(log.size(), c.logEnd.size())), c.logEnd) << log;
      }
      break;
    case End::kStops:
      ASSERT_TRUE(PumpUntil([&] { return !g_MasterComm.IsConnected(); }, 10000));
      Pump(300);
      EXPECT_EQ(g_app.boxes, c.boxes);
      EXPECT_EQ(dlg->m_OperationState, 0);
      EXPECT_TRUE(Enabled(h, IDC_START));
      break;
    case End::kCloses:  // the explorer's only
    case End::kSucceeds:
      if (c.op == Op::kBoot) {
        ASSERT_TRUE(Booted());
      } else {
        ASSERT_TRUE(Ended(c.op));
        Pump(300);
        ExpectDone(c.op);
      }
      break;
  }
  // A failure shows at the faulty reply, not after a wait of its own.
  if (c.end == End::kFails || c.end == End::kFailsAndEnds || c.end == End::kStops) {
    EXPECT_LT(GetTickCount() - start, 10000u);
  }
  // Stop, then a power cycle, the boot and the same operation in a new dialog (a download
  // cleared its item's check box); the QVS download formats first.
  if (g_MasterComm.IsConnected() || c.end == End::kPulled) Click(h, IDC_STOP);
  EXPECT_FALSE(g_MasterComm.IsConnected());
  EXPECT_TRUE(Enabled(h, IDC_START));
  if (c.op == Op::kDump) {
    // Only whole blocks, each equal to the NOR's.
    const auto dump = ReadBytes(dump_);
    const auto nor = Pattern(kSector, kDumpSector);
    EXPECT_EQ(dump.size() % 8192, 0u);
    ASSERT_LE(dump.size(), nor.size());
    EXPECT_TRUE(std::equal(dump.begin(), dump.end(), nor.begin()));
    if (c.skip > 0) {
      EXPECT_EQ(dump.size(), 8192u) << "the first block is kept";
    }
  }
  // The first sector's erase was answered; the later one's reply was lost after the phone
  // erased it, so only the first sector's state is the program's.
  if (c.op == Op::kErase && c.skip > 0 && c.end != End::kSucceeds) {
    EXPECT_EQ(sim->NorRead(SimChip::kMaster, kEraseSectors[0] * kSector, 4096),
              std::vector<std::uint8_t>(4096, 0xFF));
  }
  dlg->DestroyWindow();
  sim->ClearFaults();
  if (c.end == End::kPulled) {
    const std::string com = sim->Replug();
    Write(L"COM", std::stoi(com.substr(3)) - 1);
  }
  sim->NorErase(SimChip::kMaster);
  sim->NorErase(SimChip::kSlave);
  Create();
  Start();
  ASSERT_TRUE(Booted());
  const Op again = c.op == Op::kBoot ? Op::kBinary : c.op;
  Prepare(again, again == Op::kQvs);
  DeleteFileW(dump_.c_str());
  Press(again);
  ASSERT_TRUE(Ended(again)) << "state " << dlg->m_OperationState;
  Pump(300);
  ExpectDone(again);
}

INSTANTIATE_TEST_SUITE_P(Replies, TeskelFaultSweep, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
