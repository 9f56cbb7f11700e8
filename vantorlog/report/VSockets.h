// Blocking client sockets over WinSock 1.1 with a log of the whole conversation, the SMTP
// flavour that checks reply codes, and the MX lookup done by hand over UDP.
#pragma once

#include <windows.h>
#include <winsock.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "SysUtils.h"
#include "VSocketData.h"
#include "core/ExceptionLog.h"

// The error of the socket layer; its message is the error text with the socket log.
class EVantorSocketError : public Exception {
 public:
  using Exception::Exception;
};

class TVantorClientSocket {
 public:
  using TErrorEvent =
      std::function<void(TVantorClientSocket& sender, int code, const std::string& text)>;
  using TSentEvent = std::function<void(TVantorClientSocket& sender, int sent, int total)>;

  // stream: TCP, else UDP.
  TVantorClientSocket(std::string host, int timeout_ms, bool stream, std::uint16_t port);
  virtual ~TVantorClientSocket();
  TVantorClientSocket(const TVantorClientSocket&) = delete;
  TVantorClientSocket& operator=(const TVantorClientSocket&) = delete;

  virtual void Connect();
  virtual void Close();

  // Chunks of at most 1024 bytes, OnSent after each; the bytes that went out.
  int SendText(const std::string& text);
  // The bytes sent; 0 when not connected, -1 when the socket failed (then closed).
  int SendBuffer(const void* data, int length);
  // At most this much is read at once.
  static constexpr std::size_t kMaxReceive = 1 << 20;

  // What is waiting now, read until no more comes within a second (and for the timeout and
  // kMaxReceive bytes at most).
  std::string ReceiveAvailable();
  // The first text within the timeout; empty when none came.
  std::string ReceiveWithin();
  // The first text within the timeout; "Socket timeout." raised when none came.
  std::string ReceiveOrFail();

  const std::string& Host() const { return host_; }
  std::uint16_t Port() const { return port_; }
  int Timeout() const { return timeout_; }
  bool Connected() const { return connected_; }
  SOCKET Handle() const { return socket_; }
  const sockaddr_in& Address() const { return address_; }
  const std::string& Log() const { return log_; }

  TErrorEvent OnError;  // sees every error first; code is always -1
  TSentEvent OnSent;
  bool QuietErrors = false;  // errors end in a silent EAbort instead of EVantorSocketError

 protected:
  // OnError, then EAbort or EVantorSocketError with the text and the log (unless it holds it).
  [[noreturn]] void RaiseError(const std::string& text);
  [[noreturn]] void RaiseError(const std::string& text, const std::string& log);
  // -1: the number of waiting bytes; else reads up to size bytes into buffer.
  int ReceiveBuffer(int size, std::string* buffer);
  std::string& MutableLog() { return log_; }

 private:
  sockaddr_in address_{};
  std::string host_;
  std::uint16_t port_;
  int type_;
  int timeout_;
  bool connected_ = false;
  SOCKET socket_ = INVALID_SOCKET;
  std::string log_;
};

class TVantorClientSMTP : public TVantorClientSocket {
 public:
  using TVantorClientSocket::TVantorClientSocket;
  // Connects and reads the greeting, which must be 220.
  void Connect() override;
  // Sends the line (CR LF added) and reads the reply: true, or an error with the log. An empty
  // line sends nothing and gives false.
  bool SendCommand(const std::string& line, const std::vector<int>& codes);
  // Reads a reply (an error when none comes in time); whether its code is one of codes.
  bool ReadReply(const std::vector<int>& codes);
};

namespace VSockets {

// WSAStartup(1.1) once per process; the result says whether it succeeded.
bool StartWinSock();
// The unit's start-up and shut-down steps (WinSock start, WSACleanup).
ExceptionLog::TUnitEntry UnitEntry();

// The system's DNS servers (IPHLPAPI's GetNetworkParams, loaded at run time) and the fallback.
std::vector<std::string> DnsServers();

// The mail exchanger of the address's domain; EVantorSocketError when no server names one.
std::string LookupMX(const std::string& address, int timeout_ms);
// The same over the given servers (host, port), in order.
std::string LookupMX(const std::string& address, int timeout_ms,
                     const std::vector<std::pair<std::string, std::uint16_t>>& servers);

}  // namespace VSockets
