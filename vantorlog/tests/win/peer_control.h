// The control connection of a Wine test to its peer script (plain WinSock, apart from the code
// under test): one JSON line out, one answer line back, on 127.0.0.1 at the port that an
// environment variable names.
#pragma once

#include <windows.h>
#include <winsock.h>

#include <cstdlib>
#include <string>

class PeerControl {
 public:
  explicit PeerControl(const char* port_variable) {
    WSADATA data;
    WSAStartup(0x0101, &data);
    const char* port = std::getenv(port_variable);
    if (!port) return;
    control_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(control_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      closesocket(control_);
      control_ = INVALID_SOCKET;
    }
  }
  ~PeerControl() {
    if (control_ != INVALID_SOCKET) closesocket(control_);
  }
  PeerControl(const PeerControl&) = delete;
  PeerControl& operator=(const PeerControl&) = delete;

  bool Ready() const { return control_ != INVALID_SOCKET; }
  std::string Request(const std::string& json) {
    const std::string line = json + "\n";
    send(control_, line.data(), static_cast<int>(line.size()), 0);
    std::string answer;
    char c;
    while (recv(control_, &c, 1, 0) == 1 && c != '\n') answer += c;
    return answer;
  }

 private:
  SOCKET control_ = INVALID_SOCKET;
};
