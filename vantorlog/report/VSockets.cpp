#include "VSockets.h"

#include <iptypes.h>

#include <cstring>

namespace {

bool g_started = false;
bool g_start_ok = false;

// The system's text for an error code, without its final blanks and dots.
std::string SystemMessage(int code) {
  char* buffer = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = n && buffer ? std::string(buffer, n) : std::string();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.'))
    text.pop_back();
  return text;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

TVantorClientSocket::TVantorClientSocket(std::string host, int timeout_ms, bool stream,
                                         std::uint16_t port)
    : host_(std::move(host)),
      port_(port),
      type_(stream ? SOCK_STREAM : SOCK_DGRAM),
      timeout_(timeout_ms) {
  address_.sin_family = AF_INET;
}

TVantorClientSocket::~TVantorClientSocket() {
  // A socket left by a failed connect is closed too; no error can leave a destructor.
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
}

void TVantorClientSocket::RaiseError(const std::string& text) { RaiseError(text, log_); }

void TVantorClientSocket::RaiseError(const std::string& text, const std::string& log) {
  const std::string message = VSockets::ErrorText(text, log);
  if (OnError) OnError(*this, -1, message);
  if (QuietErrors) throw EAbort(message);
  throw EVantorSocketError(message);
}

void TVantorClientSocket::Connect() {
  if (connected_) return;
  VSockets::StartWinSock();
  if (socket_ != INVALID_SOCKET) closesocket(socket_);  // left by a failed connect
  socket_ = socket(AF_INET, type_, 0);
  if (socket_ == INVALID_SOCKET)
    RaiseError("Invalid socket: " + Quoted(SystemMessage(WSAGetLastError())) + ".");
  address_ = sockaddr_in{};
  address_.sin_family = AF_INET;
  if (const hostent* entry = gethostbyname(host_.c_str());
      entry && entry->h_addrtype == AF_INET && entry->h_length == 4 && entry->h_addr_list &&
      entry->h_addr_list[0])
    std::memcpy(&address_.sin_addr, entry->h_addr_list[0], 4);
  address_.sin_port = htons(port_);
  WSAAsyncSelect(socket_, nullptr, 0, 0);
  u_long blocking = 0;
  ioctlsocket(socket_, FIONBIO, &blocking);
  // A send that cannot go on (the peer reads nothing) fails after the timeout instead of
  // blocking for ever.
  const int send_timeout = timeout_ > 0 ? timeout_ : 0;
  setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_timeout),
             sizeof send_timeout);
  if (connect(socket_, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) != 0)
    RaiseError("Connection error: " + Quoted(SystemMessage(WSAGetLastError())));
  connected_ = socket_ != INVALID_SOCKET;
  const auto* a = reinterpret_cast<const unsigned char*>(&address_.sin_addr);
  log_ = "Connected to " + std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
         std::to_string(a[2]) + "." + std::to_string(a[3]) + " port " + std::to_string(port_) +
         "\r\n";
}

void TVantorClientSocket::Close() {
  const int result = closesocket(socket_);
  const int error = result != 0 ? WSAGetLastError() : 0;
  socket_ = INVALID_SOCKET;
  address_ = sockaddr_in{};
  address_.sin_family = AF_INET;
  connected_ = false;
  const std::string log = std::move(log_);
  log_.clear();
  if (result != 0) RaiseError("Cannot close the socket: " + Quoted(SystemMessage(error)), log);
}

int TVantorClientSocket::SendBuffer(const void* data, int length) {
  if (!connected_) return 0;
  const int sent = send(socket_, static_cast<const char*>(data), length, 0);
  if (sent == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      const std::string log = log_;  // the error still shows the conversation
      Close();
      if (error != 0) RaiseError("Error into \"send\": " + Quoted(SystemMessage(error)), log);
    }
  }
  return sent;
}

int TVantorClientSocket::SendText(const std::string& text) {
  const int total = static_cast<int>(text.size());
  int done = 0;
  while (done < total) {
    const int chunk = total - done < 1024 ? total - done : 1024;
    const int sent = SendBuffer(text.data() + done, chunk);
    if (sent <= 0) break;
    done += sent;
    if (OnSent) OnSent(*this, done, total);
  }
  return done;
}

int TVantorClientSocket::ReceiveBuffer(int size, std::string* buffer) {
  if (!connected_) return 0;
  int result;
  if (size == -1) {
    u_long waiting = 0;
    result = ioctlsocket(socket_, FIONREAD, &waiting);
    if (result == 0) result = static_cast<int>(waiting);
  } else {
    buffer->resize(static_cast<std::size_t>(size));
    result = size > 0 ? recv(socket_, buffer->data(), size, 0) : 0;
    buffer->resize(result > 0 ? static_cast<std::size_t>(result) : 0);
  }
  if (result == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      const std::string log = log_;
      Close();
      if (error != 0) RaiseError("Error into \"recv\": " + Quoted(SystemMessage(error)), log);
    }
  }
  return result;
}

std::string TVantorClientSocket::ReceiveAvailable() {
  // A peer that never stops sending ends the read after the timeout or kMaxReceive bytes.
  const DWORD start = GetTickCount();
  std::string result, chunk;
  while (result.size() < kMaxReceive) {
    int waiting = ReceiveBuffer(-1, nullptr);
    if (waiting <= 0) break;
    if (static_cast<std::size_t>(waiting) > kMaxReceive - result.size())
      waiting = static_cast<int>(kMaxReceive - result.size());
    if (ReceiveBuffer(waiting, &chunk) <= 0) break;
    result += chunk;
    log_ += chunk;
    // A reply that comes in pieces less than a second apart is read whole.
    const DWORD read_at = GetTickCount();
    while (connected_ && ReceiveBuffer(-1, nullptr) <= 0 && GetTickCount() - read_at < 1000)
      Sleep(1);
    if (GetTickCount() - start > static_cast<DWORD>(timeout_)) break;
  }
  return result;
}

std::string TVantorClientSocket::ReceiveWithin() {
  const DWORD start = GetTickCount();
  for (;;) {
    std::string text = ReceiveAvailable();
    if (!text.empty()) return text;
    if (!connected_ || GetTickCount() - start >= static_cast<DWORD>(timeout_)) return {};
    Sleep(1);
  }
}

std::string TVantorClientSocket::ReceiveOrFail() {
  std::string text = ReceiveWithin();
  if (text.empty()) RaiseError("Socket timeout.");
  return text;
}

void TVantorClientSMTP::Connect() {
  TVantorClientSocket::Connect();
  if (!ReadReply({220})) RaiseError(Log());
}

bool TVantorClientSMTP::ReadReply(const std::vector<int>& codes) {
  return VSockets::ReplyAccepted(ReceiveOrFail(), codes);
}

bool TVantorClientSMTP::SendCommand(const std::string& line, const std::vector<int>& codes) {
  if (line.empty()) return false;
  std::string text = line;
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) text += "\r\n";
  if (SendText(text) == static_cast<int>(text.size())) {
    MutableLog() += text;
    if (ReadReply(codes)) return true;
  }
  RaiseError(Log());
}

namespace VSockets {

bool StartWinSock() {
  if (!g_started) {
    g_started = true;
    WSADATA data;
    g_start_ok = WSAStartup(0x0101, &data) == 0;
  }
  return g_start_ok;
}

ExceptionLog::TUnitEntry UnitEntry() {
  return {"VSockets", [] { StartWinSock(); },
          [] {
            if (g_started && g_start_ok) WSACleanup();
            g_started = g_start_ok = false;
          }};
}

std::vector<std::string> DnsServers() {
  std::vector<std::string> found;
  if (HMODULE library = LoadLibraryA("IPHLPAPI.DLL")) {
    using GetParams = DWORD(WINAPI*)(PFIXED_INFO, PULONG);
    auto get = reinterpret_cast<GetParams>(
        reinterpret_cast<void*>(GetProcAddress(library, "GetNetworkParams")));
    ULONG size = 0;
    if (get && get(nullptr, &size) == ERROR_BUFFER_OVERFLOW && size >= sizeof(FIXED_INFO)) {
      std::vector<unsigned char> buffer(size);
      auto* info = reinterpret_cast<PFIXED_INFO>(buffer.data());
      if (get(info, &size) == ERROR_SUCCESS) {
        int guard = 0;
        for (const IP_ADDR_STRING* entry = &info->DnsServerList; entry && guard < 64;
             entry = entry->Next, ++guard)
          found.emplace_back(entry->IpAddress.String,
                             strnlen(entry->IpAddress.String, sizeof entry->IpAddress.String));
      }
    }
    FreeLibrary(library);
  }
  return DnsServerList(found);
}

std::string LookupMX(const std::string& address, int timeout_ms) {
  std::vector<std::pair<std::string, std::uint16_t>> servers;
  for (std::string& s : DnsServers()) servers.emplace_back(std::move(s), kDnsPort);
  return LookupMX(address, timeout_ms, servers);
}

std::string LookupMX(const std::string& address, int timeout_ms,
                     const std::vector<std::pair<std::string, std::uint16_t>>& servers) {
  const std::string domain = DomainOfAddress(address);
  const std::string query = BuildMxQuery(domain);
  std::string host;
  if (!query.empty()) {
    for (const auto& [server, port] : servers) {
      for (int attempt = 0; attempt < 3 && host.empty(); ++attempt) {
        TVantorClientSocket socket(server, LookupTryTimeout(timeout_ms, attempt), false, port);
        socket.Connect();
        if (socket.SendText(query) != static_cast<int>(query.size())) continue;
        const std::string reply = socket.ReceiveWithin();
        if (!reply.empty()) host = ParseMxReply(reply);
      }
      if (!host.empty()) break;
    }
  }
  if (host.empty()) throw EVantorSocketError("Cannot resolve the \"" + domain + "\" MX record.");
  return host;
}

}  // namespace VSockets
