#include "control_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace phone_sim {

ControlServer::~ControlServer() {
  for (Client& c : clients_) close(c.fd);
  if (listen_fd_ >= 0) close(listen_fd_);
}

std::string ControlServer::Listen() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return std::string("socket: ") + std::strerror(errno);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 16) != 0) {
    return std::string("bind/listen: ") + std::strerror(errno);
  }
  socklen_t len = sizeof addr;
  if (getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return std::string("getsockname: ") + std::strerror(errno);
  }
  port_ = ntohs(addr.sin_port);
  return "";
}

void ControlServer::AddPollFds(std::vector<pollfd>& fds) const {
  fds.push_back({listen_fd_, POLLIN, 0});
  for (const Client& c : clients_) {
    short events = c.closing ? 0 : POLLIN;
    if (!c.out.empty()) events |= POLLOUT;
    fds.push_back({c.fd, events, 0});
  }
}

void ControlServer::Process(const std::vector<pollfd>& fds, const Handler& handler) {
  std::vector<int> gone;
  for (const pollfd& p : fds) {
    if (p.revents == 0) continue;
    if (p.fd == listen_fd_) {
      Accept();
      continue;
    }
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [&](const Client& c) { return c.fd == p.fd; });
    if (it == clients_.end()) continue;
    bool alive = true;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) alive = ReadFrom(*it, handler);
    if (alive && (p.revents & POLLOUT)) alive = WriteTo(*it);
    if (alive && it->closing && it->out.empty()) alive = false;
    if (!alive) gone.push_back(it->fd);
  }
  for (int fd : gone) {
    close(fd);
    std::erase_if(clients_, [fd](const Client& c) { return c.fd == fd; });
  }
}

void ControlServer::Accept() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    clients_.push_back(Client{fd, {}, {}});
  }
}

bool ControlServer::ReadFrom(Client& client, const Handler& handler) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(client.fd, buffer, sizeof buffer);
    if (n == 0) {
      WriteTo(client);
      return false;
    }
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      if (errno == EINTR) continue;
      return false;
    }
    client.in.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t nl; (nl = client.in.find('\n', start)) != std::string::npos; start = nl + 1) {
      client.out += handler(client.in.substr(start, nl - start));
    }
    client.in.erase(0, start);
    if (client.in.size() > kMaxLine) {
      client.out += "ERR line longer than " + std::to_string(kMaxLine) + " bytes\n";
      client.in.clear();
      client.closing = true;
      break;
    }
  }
  return WriteTo(client);
}

bool ControlServer::WriteTo(Client& client) {
  while (!client.out.empty()) {
    ssize_t n = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EINTR) continue;
      return false;
    }
    client.out.erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace phone_sim
