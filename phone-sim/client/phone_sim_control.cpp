#include "phone_sim_control.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace phone_sim {

namespace {

const char* ChipName(SimChip chip) { return chip == SimChip::kMaster ? "master" : "slave"; }

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 0xF];
  }
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string Address(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(address));
  return text;
}

constexpr std::size_t kNorChunk = 65536;

}  // namespace

PhoneSimControl::PhoneSimControl()
    : PhoneSimControl(Env("PHONE_SIM_COM"), Env("PHONE_SIM_CONTROL")) {}

PhoneSimControl::PhoneSimControl(std::string com, const std::string& control)
    : com_(std::move(com)), socket_(static_cast<std::uintptr_t>(INVALID_SOCKET)) {
  if (com_.empty() || control.empty()) {
    throw PhoneSimError("PHONE_SIM_COM / PHONE_SIM_CONTROL not set: no phone simulator");
  }
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw PhoneSimError("WSAStartup failed");
  try {
    Connect(control);
  } catch (...) {
    WSACleanup();
    throw;
  }
}

PhoneSimControl::~PhoneSimControl() {
  if (static_cast<SOCKET>(socket_) != INVALID_SOCKET) closesocket(static_cast<SOCKET>(socket_));
  WSACleanup();
}

bool PhoneSimControl::Available() {
  return !Env("PHONE_SIM_COM").empty() && !Env("PHONE_SIM_CONTROL").empty();
}

std::string FaultCaseName(const std::string& point, const std::string& kind) {
  std::string name;
  bool upper = true;
  for (char c : point + "-" + kind) {
    if (c == '-') {
      upper = true;
      continue;
    }
    name += upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    upper = false;
  }
  return name;
}

std::wstring PhoneSimControl::DevicePath() const {
  return L"\\\\.\\" + std::wstring(com_.begin(), com_.end());
}

void PhoneSimControl::Connect(const std::string& control) {
  std::size_t colon = control.rfind(':');
  if (colon == std::string::npos) throw PhoneSimError("bad PHONE_SIM_CONTROL: " + control);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<u_short>(std::atoi(control.c_str() + colon + 1)));
  addr.sin_addr.s_addr = inet_addr(control.substr(0, colon).c_str());
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw PhoneSimError("socket failed");
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    closesocket(s);
    throw PhoneSimError("cannot connect to the phone simulator at " + control);
  }
  socket_ = static_cast<std::uintptr_t>(s);
}

std::string PhoneSimControl::ReadLine() {
  for (;;) {
    std::size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    char chunk[65536];
    int n = recv(static_cast<SOCKET>(socket_), chunk, sizeof chunk, 0);
    if (n <= 0) throw PhoneSimError("phone simulator closed the control connection");
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string PhoneSimControl::Command(const std::string& line) {
  std::string out = line + "\n";
  for (std::size_t sent = 0; sent < out.size();) {
    int n = send(static_cast<SOCKET>(socket_), out.data() + sent,
                 static_cast<int>(out.size() - sent), 0);
    if (n <= 0) throw PhoneSimError("cannot send to the phone simulator");
    sent += static_cast<std::size_t>(n);
  }
  std::string reply = ReadLine();
  if (reply == "OK") return "";
  if (reply.rfind("OK ", 0) == 0) return reply.substr(3);
  throw PhoneSimError("phone simulator: " + line.substr(0, 80) + ": " + reply);
}

void PhoneSimControl::Power(bool on) { Command(on ? "power on" : "power off"); }

void PhoneSimControl::Fault(const std::string& point, const std::string& kind, int times,
                            int skip) {
  Command("fault " + point + " " + kind + " " + std::to_string(times) + " " + std::to_string(skip));
}

void PhoneSimControl::ClearFaults() { Command("fault clear"); }

void PhoneSimControl::ExtraConnectRequests(int count) {
  Command("extra-connect-req " + std::to_string(count));
}

std::string PhoneSimControl::Replug() {
  com_ = Command("replug");
  return com_;
}

void PhoneSimControl::SetFlashId(SimChip chip, const std::vector<std::uint8_t>& ten_bytes) {
  Command(std::string("flash-id ") + ChipName(chip) + " " + Hex(ten_bytes));
}

std::vector<std::uint8_t> PhoneSimControl::NorRead(SimChip chip, std::uint32_t address,
                                                   std::size_t length) {
  std::vector<std::uint8_t> out;
  out.reserve(length);
  while (out.size() < length) {
    std::size_t n = std::min(kNorChunk, length - out.size());
    std::string hex = Command(std::string("nor-read ") + ChipName(chip) + " " +
                              Address(address + static_cast<std::uint32_t>(out.size())) + " " +
                              std::to_string(n));
    if (hex.size() != n * 2) throw PhoneSimError("nor-read: reply of the wrong length");
    for (std::size_t i = 0; i < hex.size(); i += 2) {
      int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
      if (hi < 0 || lo < 0) throw PhoneSimError("nor-read: reply is not hex");
      out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
  }
  return out;
}

void PhoneSimControl::NorWrite(SimChip chip, std::uint32_t address,
                               const std::vector<std::uint8_t>& bytes) {
  for (std::size_t pos = 0; pos < bytes.size(); pos += kNorChunk) {
    std::size_t n = std::min(kNorChunk, bytes.size() - pos);
    std::vector<std::uint8_t> part(bytes.begin() + pos, bytes.begin() + pos + n);
    Command(std::string("nor-write ") + ChipName(chip) + " " +
            Address(address + static_cast<std::uint32_t>(pos)) + " " + Hex(part));
  }
}

void PhoneSimControl::NorErase(SimChip chip) {
  Command(std::string("nor-erase ") + ChipName(chip));
}

void PhoneSimControl::NorSave(SimChip chip, const std::string& linux_path) {
  Command(std::string("nor-save ") + ChipName(chip) + " " + linux_path);
}

void PhoneSimControl::NorLoad(SimChip chip, const std::string& linux_path) {
  Command(std::string("nor-load ") + ChipName(chip) + " " + linux_path);
}

std::vector<std::string> PhoneSimControl::QvsList(SimChip chip) {
  return Lines(std::string("qvs-list ") + ChipName(chip));
}

void PhoneSimControl::QvsSave(SimChip chip, const std::string& linux_dir) {
  Command(std::string("qvs-save ") + ChipName(chip) + " " + linux_dir);
}

void PhoneSimControl::QvsLoad(SimChip chip, const std::string& linux_dir) {
  Command(std::string("qvs-load ") + ChipName(chip) + " " + linux_dir);
}

void PhoneSimControl::QvsFormatFail(SimChip chip, bool on, std::uint8_t function,
                                    std::uint32_t error) {
  if (!on) {
    Command(std::string("qvs-format-fail ") + ChipName(chip) + " off");
    return;
  }
  char codes[32];
  std::snprintf(codes, sizeof codes, " %02X %08X", function, static_cast<unsigned>(error));
  Command(std::string("qvs-format-fail ") + ChipName(chip) + " on" + codes);
}

std::uint64_t PhoneSimControl::NandSave(const std::string& linux_path) {
  return std::strtoull(Command("nand-save master " + linux_path).c_str(), nullptr, 10);
}

std::vector<std::string> PhoneSimControl::Frames() { return Lines("frames"); }

std::vector<std::string> PhoneSimControl::Lines(const std::string& command) {
  std::string count = Command(command);
  std::vector<std::string> lines(
      static_cast<std::size_t>(std::strtoul(count.c_str(), nullptr, 10)));
  for (std::string& line : lines) line = ReadLine();
  return lines;
}

void PhoneSimControl::ClearFrames() { Command("frames-clear"); }

std::string PhoneSimControl::State() { return Command("state"); }

}  // namespace phone_sim
