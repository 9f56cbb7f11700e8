// The control client against a real phone simulator, and the COM port it links into the prefix.
#include "phone_sim_control.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

namespace phone_sim {
namespace {

// The port at 8N1: under Wine a pseudo-terminal drops the parity bit, and SetCommState with
// parity on can then fail with ERROR_INVALID_PARAMETER (seen on a second open in one process).
class Port {
 public:
  explicit Port(const std::wstring& path) {
    handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr);
  }
  ~Port() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool Configure(DWORD baud, BYTE parity) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = baud;
    dcb.fBinary = TRUE;
    dcb.fParity = parity != NOPARITY;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = parity;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 2000;
    t.WriteTotalTimeoutConstant = 2000;
    if (!SetCommState(handle_, &dcb)) return Fail("SetCommState");
    if (!SetCommTimeouts(handle_, &t)) return Fail("SetCommTimeouts");
    if (!PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR)) return Fail("PurgeComm");
    return true;
  }
  static bool Fail(const char* what) {
    ADD_FAILURE() << what << " failed, error " << GetLastError();
    return false;
  }
  bool Purge() { return PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR); }
  // One byte, or -1 when none came within the time-out.
  int ReadByte() {
    BYTE b = 0;
    DWORD n = 0;
    return ReadFile(handle_, &b, 1, &n, nullptr) && n == 1 ? b : -1;
  }
  bool WriteByte(BYTE b) {
    DWORD n = 0;
    return WriteFile(handle_, &b, 1, &n, nullptr) && n == 1;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST(PhoneSimControl, ComPortReceivesConnectRequestsAndFramesAreLogged) {
  ASSERT_TRUE(PhoneSimControl::Available());
  PhoneSimControl sim;
  ASSERT_EQ(sim.ComName().rfind("COM", 0), 0u);
  Port port(sim.DevicePath());
  ASSERT_TRUE(port.Open()) << GetLastError();
  ASSERT_TRUE(port.Configure(115200, NOPARITY));
  EXPECT_EQ(port.ReadByte(), 0x81);
  sim.ClearFrames();
  ASSERT_TRUE(port.WriteByte(0x44));
  int reply = port.ReadByte();
  while (reply == 0x81) reply = port.ReadByte();
  EXPECT_EQ(reply, 0x44);
  std::vector<std::string> frames = sim.Frames();
  EXPECT_NE(std::find(frames.begin(), frames.end(), "BOOT_CONNECT"), frames.end());
  EXPECT_NE(sim.State().find("stage=boot-rom/wait-query"), std::string::npos);
}

TEST(PhoneSimControl, FaultsPowerAndNorThroughTheClient) {
  PhoneSimControl sim;
  Port port(sim.DevicePath());
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(port.Configure(115200, NOPARITY));
  sim.Power(false);
  Sleep(50);
  ASSERT_TRUE(port.Purge());  // drops a request sent before
  EXPECT_EQ(port.ReadByte(), -1);
  sim.Fault("connect-req", "wrong", 1);
  sim.Power(true);
  EXPECT_EQ(port.ReadByte(), 0x7E);
  EXPECT_EQ(port.ReadByte(), 0x81);

  std::vector<std::uint8_t> bytes(70000);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  sim.NorWrite(SimChip::kSlave, 0xFE0000, bytes);
  EXPECT_EQ(sim.NorRead(SimChip::kSlave, 0xFE0000, bytes.size()), bytes);
  EXPECT_EQ(sim.NorRead(SimChip::kMaster, 0xFF0000, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
  EXPECT_THROW(sim.NorRead(SimChip::kSlave, 0xFFFFFF, 2), PhoneSimError);
  EXPECT_THROW(sim.Fault("nowhere", "drop"), PhoneSimError);
  // The connection is still usable after an error.
  EXPECT_NE(sim.State().find("power=on"), std::string::npos);
}

TEST(PhoneSimControl, QvsCallsThroughTheClient) {
  PhoneSimControl sim;
  EXPECT_EQ(sim.QvsList(SimChip::kSlave),
            (std::vector<std::string>{"drive a total=112 free=112", "drive b total=0 free=0",
                                      "drive c total=0 free=0"}));
  sim.QvsFormatFail(SimChip::kMaster, true, 0x07, 0x102);
  sim.QvsFormatFail(SimChip::kMaster, false);
  EXPECT_THROW(sim.QvsSave(SimChip::kMaster, "/"), PhoneSimError);  // not empty
  EXPECT_THROW(sim.QvsLoad(SimChip::kMaster, "/nonexistent/qvs"), PhoneSimError);
  EXPECT_THROW(sim.NandSave("/nonexistent/nand.bin"), PhoneSimError);
  EXPECT_EQ(sim.QvsList(SimChip::kMaster).size(), 3u);
}

}  // namespace
}  // namespace phone_sim
