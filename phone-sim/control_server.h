// A TCP server on 127.0.0.1 (ephemeral port) taking one text command a line.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace phone_sim {

class ControlServer {
 public:
  static constexpr std::size_t kMaxLine = 4u << 20;

  // Runs a command line, returns the reply (lines ending in '\n').
  using Handler = std::function<std::string(const std::string& line)>;

  ControlServer() = default;
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  std::string Listen();  // error text or ""
  std::uint16_t Port() const { return port_; }

  // Descriptors to poll; after poll, Process() with the same array.
  void AddPollFds(std::vector<pollfd>& fds) const;
  void Process(const std::vector<pollfd>& fds, const Handler& handler);

 private:
  struct Client {
    int fd;
    std::string in;
    std::string out;
    bool closing = false;
  };

  void Accept();
  // false when the client is gone
  bool ReadFrom(Client& client, const Handler& handler);
  bool WriteTo(Client& client);

  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::vector<Client> clients_;
};

}  // namespace phone_sim
