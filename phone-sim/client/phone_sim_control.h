// Control client of the phone simulator, for Windows tests run under Wine.
//
// The test launcher starts one simulator per test process and exports
//   PHONE_SIM_COM=COMn                  the COM port the simulator's line is linked to
//   PHONE_SIM_CONTROL=127.0.0.1:<port>  its control server
// The control server takes one command a line and answers one line "OK ..." or "ERR <reason>"
// ("frames" answers "OK <n>" and n more lines):
//   power on|off                       power off silences the phone; power on restarts both
//                                      chips in their boot ROMs (master on the line); NOR kept
//   fault <point> <kind> [times]       arm a fault for the next `times` replies at `point`
//                                      (default 1; 0 or "always": until cleared)
//   fault clear
//   extra-connect-req N                N more 0x81 before each 0x44 answering BOOT_CONNECT
//   flash-id master|slave <20 hex>     the 10 bytes BL_FLASH_ID answers with
//   nor-read master|slave <addr hex> <len>   -> OK <hex bytes> (len up to 65536)
//   nor-write master|slave <addr hex> <hex bytes>
//   nor-save|nor-load master|slave <linux path>
//   nor-erase master|slave             the whole NOR to 0xFF
//   frames / frames-clear              the frame log since the last frames-clear
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
// Fault kinds:
//   drop     the reply is not sent
//   wrong    the reply's first byte is inverted (0x4F -> 0xB0)
//   short    only the first half of the reply is sent (nothing of a one-byte reply)
//   garbage  the junk bytes A5 5A 3C go out before the reply
// A fault changes only what goes on the wire: the chip works on as if the reply had been sent.
//
// Frame log lines: the frame name and its values in hex, e.g. "BOOT_LOAD count=FF bytes=1024",
// "SET_LENGTH 0003B130", "BL_WRITE_128K 00020000 pieces=2", "BL_DUMP_BLOCK 00000000",
// "BL_SWITCH_SLAVE"; a frame a chip refused ends in " refused: <reason>"; "FAULT <point>
// <kind>" for each fault used; "IGNORED <n> bytes (<reason>): <hex>" for bytes that made no
// frame (unknown command, host at another speed, power off).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace phone_sim {

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
  void Fault(const std::string& point, const std::string& kind, int times = 1);
  void ClearFaults();
  void ExtraConnectRequests(int count);
  void SetFlashId(SimChip chip, const std::vector<std::uint8_t>& ten_bytes);
  std::vector<std::uint8_t> NorRead(SimChip chip, std::uint32_t address, std::size_t length);
  void NorWrite(SimChip chip, std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  void NorErase(SimChip chip);
  void NorSave(SimChip chip, const std::string& linux_path);
  void NorLoad(SimChip chip, const std::string& linux_path);
  std::vector<std::string> Frames();
  void ClearFrames();
  std::string State();

  // Any command: the reply after "OK" (without it); throws PhoneSimError on "ERR ...".
  std::string Command(const std::string& line);

 private:
  void Connect(const std::string& control);
  std::string ReadLine();

  std::string com_;
  std::uintptr_t socket_;
  std::string buffer_;
};

}  // namespace phone_sim
