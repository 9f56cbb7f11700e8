// HTTP, HTTPS and FTP uploads and the HTTP connection of the bug-tracker senders, over the
// system's WinInet library, which is bound by name on each use: a missing library or entry
// makes that use fail and nothing else.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SendData.h"

namespace VWebTools {

// (phase, total bytes, bytes done): 0 connecting, 1 connected, 2 sending.
using TUploadProgress = std::function<void(int phase, std::uint32_t total, std::uint32_t done)>;

// Proxy of the uploads (process-wide; set by the sending thread before each upload). An empty
// address means no proxy.
void SetProxy(const std::string& address, std::uint16_t port);
void SetProxyLogin(const std::string& user, const std::string& password);
void ClearProxy();

// How long a connection, a send or a reply may take (30000 ms unless a test sets another).
void SetTimeout(std::uint32_t ms);

// True when "wininet.dll" loads and has every entry the unit uses (it is freed again).
bool WinInetAvailable();
// Tests point the binding at another library name.
void SetWinInetLibraryName(const std::string& name);

// 0 on success, -1 without WinInet, the HTTP status when it is not 200 (0x7FFFFFFF when the
// status is not a number; error_text then holds the status text), else the system error of
// the failed call with its text.
std::int32_t HTTPUploadFiles(const std::string& host, const std::string& document_path,
                             const std::string& user, std::string& error_text,
                             const TUploadProgress& progress, const TFormFields& fields,
                             const std::vector<std::string>& upload_names,
                             const std::vector<std::string>& files, bool https, std::uint16_t port,
                             const std::string& password);
// 0, -1 or the system error code; nothing to do for an empty list.
std::int32_t FTPUploadFiles(const std::string& host, const std::string& folder,
                            const std::string& user, std::string& error_text,
                            const TUploadProgress& progress,
                            const std::vector<std::string>& upload_names,
                            const std::vector<std::string>& files, std::uint16_t port,
                            const std::string& password);

// The error text of a failed WinInet call: the server's last response, else the table, else
// the system's message.
std::string WinInetCallErrorText(std::uint32_t code);

}  // namespace VWebTools

class THTTPResponse {
 public:
  virtual ~THTTPResponse() = default;
  // Copies every field; a null source is an assertion failure.
  virtual void Assign(const THTTPResponse* other);
  virtual void Reset();

  std::int32_t StatusCode = 0;
  std::string StatusText;
  std::string RawHeaders;  // each line ends in CR LF
  std::string Body;
  std::string DocumentName;
  std::uint32_t ErrorCode = 0;
  std::string ErrorText;
};

class THTTPConnectionBase {
 public:
  enum TRequestMethod : std::uint8_t { rmGet = 0, rmPostUrlEncoded = 1, rmPostMultipart = 2 };

  THTTPConnectionBase(const std::string& address, const std::string& proxy_address);
  virtual ~THTTPConnectionBase();
  THTTPConnectionBase(const THTTPConnectionBase&) = delete;
  THTTPConnectionBase& operator=(const THTTPConnectionBase&) = delete;

  // Opens WinInet and the connection; false without WinInet, Exception without a handle.
  virtual bool Connect();
  virtual void Disconnect();
  virtual void Progress(int phase, int value) = 0;

  // One request with its redirects; true when a final response came (then in Response()).
  bool ExecuteRequest(THTTPResponse& response, bool report_progress);

  THTTPResponse* Response() { return response_; }
  const std::string& BasePath() const { return base_path_; }
  const std::string& Host() const { return host_; }
  std::uint16_t Port() const { return port_; }
  bool UseHTTPS() const { return use_https_; }
  bool UseProxy() const { return use_proxy_; }
  const std::string& ProxyHost() const { return proxy_host_; }
  std::uint16_t ProxyPort() const { return proxy_port_; }

  std::string Path;
  std::string UserName, Password;
  TRequestMethod RequestMethod = rmGet;
  std::vector<std::pair<std::string, std::string>> Files;  // field name, file path
  VWebTools::TFormFields Fields;
  std::string ProxyUser, ProxyPassword;

 private:
  struct TBinding;
  TBinding* binding_ = nullptr;
  void* internet_ = nullptr;
  void* connect_ = nullptr;
  std::string base_path_;
  THTTPResponse* response_ = nullptr;
  std::string host_;
  std::uint16_t port_ = 0;
  bool use_https_ = false;
  bool use_proxy_ = false;
  std::string proxy_host_;
  std::uint16_t proxy_port_ = 8080;
};
