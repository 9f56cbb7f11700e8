// Control client of the phone simulator, for Windows tests run under Wine.
//
// The test launcher starts one simulator per test process and exports
//   PHONE_SIM_COM=COMn                  the COM port the simulator's line is linked to
//   PHONE_SIM_CONTROL=127.0.0.1:<port>  its control server
// The control server takes one command a line and answers one line "OK ..." or "ERR <reason>"
// ("frames" answers "OK <n>" and n more lines):
//   power on|off                       power off silences the phone; power on restarts both
//                                      chips in their boot ROMs (master on the line); NOR kept
//   fault <point> <kind> [times [skip]]  arm a fault for the next `times` replies at `point`
//                                      (default 1; 0 or "always": until cleared), after
//                                      `skip` replies there that pass untouched (default 0)
//   fault clear
//   extra-connect-req N                N more 0x81 before each 0x44 answering BOOT_CONNECT
//   flash-id master|slave <20 hex>     the 10 bytes BL_FLASH_ID answers with
//   nor-read master|slave <addr hex> <len>   -> OK <hex bytes> (len up to 65536)
//   nor-write master|slave <addr hex> <hex bytes>
//   nor-save|nor-load master|slave <linux path>
//   nor-erase master|slave             the whole NOR to 0xFF
//   qvs-list master|slave              the chip's QVS file system, "OK <n>" and n lines:
//                                      "V <hex>" / "R <hex>" version / release record,
//                                      "drive a total=<blocks> free=<blocks>" (4 KiB blocks),
//                                      "D /a/dir", "F /a/dir/file <size>"; or "unformatted"
//   qvs-save master|slave <linux dir>  the file system into a missing or empty folder:
//                                      <dir>/a, <dir>/b, <dir>/c the drives (folders and
//                                      files), <dir>/VERSION the 16-byte version record,
//                                      <dir>/RELEASE the 12-byte release record (each file
//                                      absent when there is no record)
//   qvs-load master|slave <linux dir>  the same form back in: replaces the contents, the drive
//                                      sizes stay; on any error nothing changes
//   qvs-format-fail master|slave on [function-hex error-hex] | off
//                                      every QVS_FORMAT fails with F2, the function code
//                                      (default 01) and the error code (default 000000FF)
//   nand-save master <linux path>      the raw NAND (pages of 512 data + 16 spare bytes) as
//                                      NAND_FULL_DUMP sends it -> OK <bytes>
//   replug                             after an unplug fault: the line comes back as another
//                                      COM port -> OK COMn
//   frames / frames-clear              the frame log since the last frames-clear
//   line-turns / line-turns-clear      with --wire-strict: the host's turns since the last
//                                      clear, "OK turns=<n> gap_us=<mean> piece_turns=<n>
//                                      piece_gap_us=<mean> piece_gap_max_us=<max>" (the time from
//                                      the end of the phone's reply on the wire to the first byte
//                                      of the host's next message; pieces: 2048 bytes or more)
//   state                              power, chip on the line, its stage and speed, faults,
//                                      the host's speed
//   quit
//
// Fault points (one per kind of reply):
//   connect-req  each 0x81 of a waiting boot ROM   connect      0x44 answering BOOT_CONNECT
//   query        16 bytes answering BOOT_QUERY     customer-id  0x4F answering BOOT_CUSTOMER_ID
//   set-timeout  0x4F answering BOOT_SET_TIMEOUT   set-address  0x4F answering BOOT_SET_ADDRESS
//   load         0x4F answering each BOOT_LOAD     jump         0xAB answering BOOT_JUMP
//   sync         speed code answering the pre-loader's LINK_SYNC
//   length       sum answering the pre-loader's SET_LENGTH
//   dma-echo     0xF7 answering PRE_DMA_BLOCK      dma-sum      sum answering each block
//   pre-jump     0xAB answering PRE_JUMP           cs0-base     sum answering BL_SET_CS0_BASE
//   flash-id     10 bytes answering BL_FLASH_ID
//   bl-sync      speed code answering the boot-loader's LINK_SYNC
//   offset       sum answering BL_SET_OFFSET       bl-length    sum answering its SET_LENGTH
//   write-ack    byte answering each write piece   write-done   sector sum after the last piece
//   erase        sum answering BL_ERASE_SECTOR
//   dump-data    8192 bytes answering BL_DUMP_BLOCK  dump-sum   the sum after them
//   chip-version 4 bytes answering PRE_CHIP_VERSION  checksum   sum answering BL_SET_CHECKSUM
//   download-end 0xC6 answering BL_DOWNLOAD_END
//   qvs-mount    0xDA answering QVS_MOUNT           qvs-begin   0xCE answering QVS_BEGIN_DOWNLOAD
//   qvs-checksum sum answering QVS_SET_CHECKSUM     qvs-time    sum answering QVS_SET_TIME
//   qvs-dir      sum answering QVS_MAKE_DIR         qvs-dir-done  the 0xDC after it
//   qvs-version  0xE3 answering QVS_WRITE_VERSION   qvs-release 0xE3 answering QVS_WRITE_RELEASE
//                                                               or QVS_NO_RELEASE
//   qvs-add      sum answering QVS_ADD_FILE         qvs-block   sum or 0xDF answering each
//                                                               QVS_DATA_BLOCK
//   qvs-end      0xC5 answering QVS_END_DOWNLOAD    qvs-unmount 0xE4 answering QVS_UNMOUNT
//   qvs-format-sum  sum of the count bytes answering the master's QVS_FORMAT
//   qvs-format   0xE1, or 0xF2 and its 5 bytes      qvs-status  0xED and the 44-byte record,
//                                                               or 0xF3 and its 5 bytes
//   qvs-drive    0xCF answering QVS_SELECT_DRIVE
//   qvs-list     each directory record with its length byte
//   qvs-list-next  the 0xCB, 0xE7 or 0xE6 after an acknowledged record
//   qvs-read     0xE9 and the size answering QVS_READ_FILE
//   qvs-chunk    each chunk of a file read          qvs-chunk-sum  the sum after it
//   qvs-delete   0xEE answering QVS_DELETE          qvs-file-status  0xF1 and the 28 bytes
//   nand-dump    0xC1 answering NAND_FULL_DUMP / NAND_DUMP_CONTINUE
//   nand-unit    each unit of a NAND dump           nand-unit-sum  the sum after it
//   nand-end     0xC3 after the last unit
// Fault kinds:
//   drop     the reply is not sent
//   wrong    the reply's first byte is inverted (0x4F -> 0xB0)
//   short    only the first half of the reply is sent (nothing of a one-byte reply)
//   garbage  the junk bytes A5 5A 3C go out before the reply
//   unplug   the reply is not sent and the simulator closes its side of the line: the host's
//            open port sees a hang-up (writes fail, reads stay empty) until "replug"
// A fault changes only what goes on the wire: the chip works on as if the reply had been sent.
//
// The phone's side of the QVS and NAND commands (details in the simulator's qvs_commands.h):
// paths "/a/..", "/b/..", "/c/.." name a drive, other paths the drive QVS_SELECT_DRIVE chose
// (a after each boot); a refused QVS frame is answered by the complement of its good reply's
// first byte; QVS_DATA_BLOCK carries min(8192, bytes still due), and a shorter block (an empty
// one too) completes the file with 0xDF; QVS_END_DOWNLOAD and BL_DOWNLOAD_END check the
// announced CRC-32; the master's QVS_FORMAT answers the sum of its count bytes, then 0xE1 and
// gives drive a count / 8 blocks of 4 KiB; listings start with "." and ".."; NAND sizes follow
// the second device ID (0x0014: 32 MiB, the smallest: 65536 pages, 2 a unit); BL_POWER_ON
// restarts the phone in the master's boot ROM. The file systems start formatted and empty.
//
// Frame log lines: the frame name and its values in hex, e.g. "BOOT_LOAD count=FF bytes=1024",
// "SET_LENGTH 0003B130", "BL_WRITE_128K 00020000 pieces=2", "BL_DUMP_BLOCK 00000000",
// "BL_SWITCH_SLAVE", "BL_SET_CHECKSUM 1A2B3C4D", "BL_DOWNLOAD_END", "PRE_CHIP_VERSION",
// "QVS_MAKE_DIR /a/test", "QVS_ADD_FILE /a/test/x.bin size=20000", "QVS_DATA_BLOCK bytes=8192",
// "QVS_FILE_DONE /a/test/x.bin bytes=20000", "QVS_LIST_DIR /a records=4", "QVS_FORMAT
// sectors=22688", "QVS_FORMAT_DONE a=2836 b=.. c=.. blocks", "NAND_FULL_DUMP 04",
// "NAND_DUMP_END pages=65536"; a frame a chip refused ends in " refused: <reason>"; "FAULT <point>
// <kind>" for each fault used; "IGNORED <n> bytes (<reason>): <hex>" for bytes that made no
// frame (unknown command, host at another speed, power off).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace phone_sim {

// A fault point and kind as one test name: "connect-req", "drop" -> "ConnectReqDrop".
std::string FaultCaseName(const std::string& point, const std::string& kind);

class PhoneSimError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SimChip { kMaster, kSlave };

class PhoneSimControl {
 public:
  // From PHONE_SIM_COM and PHONE_SIM_CONTROL; throws PhoneSimError when they are missing or
  // the server cannot be reached.
  PhoneSimControl();
  // com: "COM3"; control: "127.0.0.1:port".
  PhoneSimControl(std::string com, const std::string& control);
  ~PhoneSimControl();
  PhoneSimControl(const PhoneSimControl&) = delete;
  PhoneSimControl& operator=(const PhoneSimControl&) = delete;

  // Whether the environment names a simulator.
  static bool Available();

  const std::string& ComName() const { return com_; }
  std::wstring DevicePath() const;  // L"\\\\.\\COM3"

  void Power(bool on);
  void Fault(const std::string& point, const std::string& kind, int times = 1, int skip = 0);
  void ClearFaults();
  void ExtraConnectRequests(int count);
  // The line back after an unplug fault, as a new port: its name (also ComName() from now on).
  std::string Replug();
  void SetFlashId(SimChip chip, const std::vector<std::uint8_t>& ten_bytes);
  std::vector<std::uint8_t> NorRead(SimChip chip, std::uint32_t address, std::size_t length);
  void NorWrite(SimChip chip, std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  void NorErase(SimChip chip);
  void NorSave(SimChip chip, const std::string& linux_path);
  void NorLoad(SimChip chip, const std::string& linux_path);
  std::vector<std::string> QvsList(SimChip chip);
  void QvsSave(SimChip chip, const std::string& linux_dir);
  void QvsLoad(SimChip chip, const std::string& linux_dir);
  // Arms (on) or clears (off) the failure of QVS_FORMAT.
  void QvsFormatFail(SimChip chip, bool on, std::uint8_t function = 0x01,
                     std::uint32_t error = 0x000000FF);
  // The raw NAND of the master; its size in bytes.
  std::uint64_t NandSave(const std::string& linux_path);
  std::vector<std::string> Frames();
  void ClearFrames();
  std::string State();

  // Any command: the reply after "OK" (without it); throws PhoneSimError on "ERR ...".
  std::string Command(const std::string& line);

 private:
  void Connect(const std::string& control);
  // A command answered "OK <n>" and n more lines.
  std::vector<std::string> Lines(const std::string& command);
  std::string ReadLine();

  std::string com_;
  std::uintptr_t socket_;
  std::string buffer_;
};

}  // namespace phone_sim
