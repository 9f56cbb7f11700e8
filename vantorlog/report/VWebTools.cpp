#include "VWebTools.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "SysUtils.h"
#include "core/VTextUtils.h"
#include "core/VUnitVariable.h"

namespace VWebTools {

namespace internal {

VCore::TUnitVariable<std::string> g_library_unit{[] { return std::string("wininet.dll"); }};
std::string& g_library = *g_library_unit;
VCore::TUnitVariable<std::string> g_proxy_unit;
std::string& g_proxy = *g_proxy_unit;
VCore::TUnitVariable<std::string> g_proxy_user_unit;
std::string& g_proxy_user = *g_proxy_user_unit;
VCore::TUnitVariable<std::string> g_proxy_password_unit;
std::string& g_proxy_password = *g_proxy_password_unit;
DWORD g_timeout = 30000;

// The entries of WinInet, taken by name from a library loaded for one use.
struct TWinInet {
  HMODULE module = nullptr;
  decltype(&InternetOpenA) InternetOpenA = nullptr;
  decltype(&InternetConnectA) InternetConnectA = nullptr;
  decltype(&HttpOpenRequestA) HttpOpenRequestA = nullptr;
  decltype(&HttpAddRequestHeadersA) HttpAddRequestHeadersA = nullptr;
  decltype(&HttpSendRequestA) HttpSendRequestA = nullptr;
  decltype(&HttpSendRequestExA) HttpSendRequestExA = nullptr;
  decltype(&InternetWriteFile) InternetWriteFile = nullptr;
  decltype(&HttpEndRequestA) HttpEndRequestA = nullptr;
  decltype(&HttpQueryInfoA) HttpQueryInfoA = nullptr;
  decltype(&InternetCloseHandle) InternetCloseHandle = nullptr;
  decltype(&InternetQueryOptionA) InternetQueryOptionA = nullptr;
  decltype(&InternetSetOptionA) InternetSetOptionA = nullptr;
  decltype(&FtpOpenFileA) FtpOpenFileA = nullptr;
  decltype(&InternetGetLastResponseInfoA) InternetGetLastResponseInfoA = nullptr;
  decltype(&InternetOpenUrlA) InternetOpenUrlA = nullptr;
  decltype(&InternetReadFile) InternetReadFile = nullptr;
  decltype(&InternetGetConnectedState) InternetGetConnectedState = nullptr;

  TWinInet() {
    module = LoadLibraryA(g_library.c_str());
    if (!module) return;
    bool all = true;
    auto take = [&](auto& entry, const char* name) {
      entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(
          reinterpret_cast<void*>(GetProcAddress(module, name)));
      all = all && entry != nullptr;
    };
    take(InternetOpenA, "InternetOpenA");
    take(InternetConnectA, "InternetConnectA");
    take(HttpOpenRequestA, "HttpOpenRequestA");
    take(HttpAddRequestHeadersA, "HttpAddRequestHeadersA");
    take(HttpSendRequestA, "HttpSendRequestA");
    take(HttpSendRequestExA, "HttpSendRequestExA");
    take(InternetWriteFile, "InternetWriteFile");
    take(HttpEndRequestA, "HttpEndRequestA");
    take(HttpQueryInfoA, "HttpQueryInfoA");
    take(InternetCloseHandle, "InternetCloseHandle");
    take(InternetQueryOptionA, "InternetQueryOptionA");
    take(InternetSetOptionA, "InternetSetOptionA");
    take(FtpOpenFileA, "FtpOpenFileA");
    take(InternetGetLastResponseInfoA, "InternetGetLastResponseInfoA");
    take(InternetOpenUrlA, "InternetOpenUrlA");
    take(InternetReadFile, "InternetReadFile");
    take(InternetGetConnectedState, "InternetGetConnectedState");
    if (!all) {
      FreeLibrary(module);
      module = nullptr;
    }
  }
  ~TWinInet() {
    if (module) FreeLibrary(module);
  }
  TWinInet(const TWinInet&) = delete;
  TWinInet& operator=(const TWinInet&) = delete;
  bool Bound() const { return module != nullptr; }

  void Close(HINTERNET& h) const {
    if (h) InternetCloseHandle(h);
    h = nullptr;
  }
  // A header's text; empty when absent.
  std::string Query(HINTERNET request, DWORD info) const {
    std::string buffer(256, '\0');
    for (int tries = 0; tries < 2; ++tries) {
      DWORD length = static_cast<DWORD>(buffer.size());
      DWORD index = 0;
      if (HttpQueryInfoA(request, info, buffer.data(), &length, &index)) {
        buffer.resize(length);
        return buffer;
      }
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return "";
      buffer.assign(length + 1, '\0');
    }
    return "";
  }
  std::string LastResponseText() const {
    DWORD error = 0;
    std::string buffer(3000, '\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!InternetGetLastResponseInfoA(&error, buffer.data(), &length)) return "";
    buffer.resize(std::min<DWORD>(length, 3000));
    return VCore::Trim(buffer);
  }
};

std::string SystemMessage(DWORD code) {
  char buffer[1024] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buffer, sizeof buffer, nullptr);
  if (n == 0) {
    const HMODULE wininet = GetModuleHandleA("wininet.dll");
    if (wininet)
      n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, wininet, code,
                         0, buffer, sizeof buffer, nullptr);
  }
  return VCore::Trim(std::string(buffer, n));
}

std::string ErrorTextOf(const TWinInet& w, DWORD code) {
  std::string text = w.LastResponseText();
  if (text.empty()) text = WinInetErrorText(code);
  if (text.empty()) text = SystemMessage(code);
  return text;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A server that accepts and then stays silent must not hold the sender: the session, the
// connection and each request wait at most the timeout for a connection, a send or a reply.
void SetTimeouts(const TWinInet& w, HINTERNET handle) {
  if (!handle) return;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    DWORD value = g_timeout;
    w.InternetSetOptionA(handle, option, &value, sizeof value);
  }
}

HINTERNET OpenInternet(const TWinInet& w, bool use_proxy, const std::string& proxy) {
  HINTERNET internet =
      use_proxy
          ? w.InternetOpenA("VantorLog", INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), "<local>", 0)
          : w.InternetOpenA("VantorLog", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  SetTimeouts(w, internet);
  return internet;
}

// When no answer came (a server that closed or stayed silent past the timeout) WinInet still
// ends the request and reports the status code 0; that is no answer, not a success.
bool HasStatusLine(const TWinInet& w, HINTERNET request) {
  const std::string code = VCore::Trim(w.Query(request, HTTP_QUERY_STATUS_CODE));
  if (code.empty() || code.find_first_not_of("0123456789") != std::string::npos) return true;
  return code.size() > 2 && code[0] != '0';
}

// The error of a failed call; a call that fails without telling why still fails.
DWORD LastErrorOfFailure() {
  const DWORD code = GetLastError();
  return code ? code : ERROR_INTERNET_CONNECTION_ABORTED;
}

void IgnoreUnknownCa(const TWinInet& w, HINTERNET request) {
  DWORD flags = 0;
  DWORD length = sizeof flags;
  w.InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &length);
  flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  w.InternetSetOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
}

void SetProxyCredentials(const TWinInet& w, HINTERNET request, const std::string& user,
                         const std::string& password) {
  w.InternetSetOptionA(request, INTERNET_OPTION_PROXY_USERNAME, const_cast<char*>(user.c_str()),
                       static_cast<DWORD>(user.size() + 1));
  w.InternetSetOptionA(request, INTERNET_OPTION_PROXY_PASSWORD, const_cast<char*>(password.c_str()),
                       static_cast<DWORD>(password.size() + 1));
}

bool AddHeader(const TWinInet& w, HINTERNET request, const std::string& header) {
  return w.HttpAddRequestHeadersA(request, header.c_str(), static_cast<DWORD>(header.size()),
                                  HTTP_ADDREQ_FLAG_ADD);
}

}  // namespace internal

using namespace internal;

void SetProxy(const std::string& address, std::uint16_t port) {
  g_proxy = address.empty() ? std::string() : address + ":" + std::to_string(port);
}
void SetProxyLogin(const std::string& user, const std::string& password) {
  g_proxy_user = user;
  g_proxy_password = password;
}
void SetTimeout(std::uint32_t ms) { g_timeout = ms; }

void ClearProxy() {
  g_proxy.clear();
  g_proxy_user.clear();
  g_proxy_password.clear();
}

bool WinInetAvailable() { return TWinInet().Bound(); }
void SetWinInetLibraryName(const std::string& name) { g_library = name; }

std::string WinInetCallErrorText(std::uint32_t code) {
  TWinInet w;
  if (!w.Bound()) {
    const std::string text = WinInetErrorText(code);
    return text.empty() ? SystemMessage(code) : text;
  }
  return ErrorTextOf(w, code);
}

std::int32_t HTTPUploadFiles(const std::string& host, const std::string& document_path,
                             const std::string& user, std::string& error_text,
                             const TUploadProgress& progress, const TFormFields& fields,
                             const std::vector<std::string>& upload_names,
                             const std::vector<std::string>& files, bool https, std::uint16_t port,
                             const std::string& password) {
  error_text.clear();
  const TWinInet w;
  if (!w.Bound()) return -1;
  auto report = [&](int phase, std::uint32_t total, std::uint32_t done) {
    if (progress) progress(phase, total, done);
  };

  const std::string boundary = NewBoundary();
  std::vector<TFormFile> parts;
  for (std::size_t i = 0; i < files.size(); ++i) {
    TFormFile f;
    f.name = i < upload_names.size() ? upload_names[i] : VCore::ExtractFileName(files[i]);
    f.exists = IsFile(files[i]) && ReadWholeFile(files[i], &f.bytes);
    parts.push_back(std::move(f));
  }
  const std::string body = UploadFilesBody(boundary, fields, parts);
  const auto length = static_cast<std::uint32_t>(body.size());
  report(0, length, 0);

  HINTERNET internet = nullptr, connection = nullptr, request = nullptr;
  std::int32_t result = 0;
  bool sending = false;
  auto fail = [&]() {
    const DWORD code = LastErrorOfFailure();
    result = static_cast<std::int32_t>(code);
    error_text = ErrorTextOf(w, code);
  };
  do {
    internet = OpenInternet(w, !g_proxy.empty(), g_proxy);
    if (!internet) {
      fail();
      break;
    }
    connection = w.InternetConnectA(internet, host.c_str(), port, nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, 0);
    if (!connection) {
      fail();
      break;
    }
    report(1, length, 0);
    const DWORD flags = https ? 0x84E8F200u : 0x8468C200u;
    request = w.HttpOpenRequestA(connection, "POST", document_path.c_str(), nullptr, nullptr,
                                 nullptr, flags, 0);
    if (!request) {
      fail();
      break;
    }
    SetTimeouts(w, connection);
    SetTimeouts(w, request);
    if (https) IgnoreUnknownCa(w, request);
    if (!AddHeader(w, request, MultipartContentType(boundary))) {
      fail();
      break;
    }
    if ((!user.empty() || !password.empty()) &&
        !AddHeader(w, request, BasicAuthorizationHeader(user, password))) {
      fail();
      break;
    }
    if (!g_proxy_user.empty() || !g_proxy_password.empty())
      SetProxyCredentials(w, request, g_proxy_user, g_proxy_password);
    INTERNET_BUFFERSA buffers{};
    buffers.dwStructSize = sizeof buffers;
    buffers.dwBufferTotal = length;
    if (!w.HttpSendRequestExA(request, &buffers, nullptr, 0, 0)) {
      fail();
      break;
    }
    sending = true;
    std::uint32_t written = 0;
    bool ok = true;
    while (written < length) {
      const DWORD piece = std::min<DWORD>(1024, length - written);
      DWORD done = 0;
      if (!w.InternetWriteFile(request, body.data() + written, piece, &done) || done == 0) {
        fail();
        ok = false;
        break;
      }
      written += done;
      report(2, length, std::min(length, written));
    }
    if (!ok) break;
    sending = false;
    if (!w.HttpEndRequestA(request, nullptr, 0, 0)) {
      fail();
      break;
    }
    if (!HasStatusLine(w, request)) {
      result = ERROR_HTTP_INVALID_SERVER_RESPONSE;
      error_text = WinInetErrorText(ERROR_HTTP_INVALID_SERVER_RESPONSE);
      break;
    }
    result = UploadStatusResult(w.Query(request, HTTP_QUERY_STATUS_CODE));
    if (result != 0) error_text = w.Query(request, HTTP_QUERY_STATUS_TEXT);
  } while (false);
  if (sending) w.HttpEndRequestA(request, nullptr, 0, 0);
  w.Close(request);
  w.Close(connection);
  w.Close(internet);
  return result;
}

namespace internal {

// One FTP upload, run in a thread of its own: WinInet's FTP side waits on a silent server
// without any timeout, so the caller watches the progress and gives up after the timeout
// without any. The job owns everything the thread touches (its own binding of WinInet too).
struct TFtpJob {
  TWinInet w;
  std::string host, folder, user, password, proxy;
  std::uint16_t port = 0;
  std::vector<std::string> upload_names, files;
  std::uint32_t total = 0;

  std::mutex lock;
  std::vector<std::array<std::uint32_t, 3>> events;  // phase, total, done
  bool done = false;
  std::int32_t result = 0;
  std::string error_text;

  void Report(int phase, std::uint32_t done_bytes) {
    std::lock_guard<std::mutex> hold(lock);
    events.push_back({static_cast<std::uint32_t>(phase), total, done_bytes});
  }
  void Run();
};

void TFtpJob::Run() {
  HINTERNET internet = nullptr, connection = nullptr;
  std::int32_t code_result = 0;
  std::string text;
  auto fail = [&]() {
    const DWORD code = LastErrorOfFailure();
    code_result = static_cast<std::int32_t>(code);
    text = ErrorTextOf(w, code);  // the last response is kept per thread
  };
  do {
    internet = OpenInternet(w, !proxy.empty(), proxy);
    if (!internet) {
      fail();
      break;
    }
    connection = w.InternetConnectA(internet, host.c_str(), port, user.c_str(), password.c_str(),
                                    INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0);
    if (!connection) {
      fail();
      break;
    }
    Report(1, 0);
    for (std::size_t i = 0; i < files.size() && code_result == 0; ++i) {
      if (!IsFile(files[i])) continue;
      const std::string name = i < upload_names.size() ? upload_names[i] : files[i];
      const std::string remote = FtpRemoteName(folder, name);
      HINTERNET file =
          w.FtpOpenFileA(connection, remote.c_str(), GENERIC_WRITE, FTP_TRANSFER_TYPE_BINARY, 0);
      if (!file) {
        fail();
        break;
      }
      std::string bytes;
      ReadWholeFile(files[i], &bytes);
      std::uint32_t written = 0;
      const auto size = static_cast<std::uint32_t>(bytes.size());
      while (written < size) {
        const DWORD piece = std::min<DWORD>(1024, size - written);
        DWORD done_now = 0;
        if (!w.InternetWriteFile(file, bytes.data() + written, piece, &done_now) || done_now == 0) {
          fail();
          break;
        }
        written += done_now;
        Report(2, written);
      }
      // The server confirms the transfer when the file handle closes.
      if (!w.InternetCloseHandle(file) && code_result == 0) fail();
    }
  } while (false);
  w.Close(connection);
  w.Close(internet);
  std::lock_guard<std::mutex> hold(lock);
  result = code_result;
  error_text = text;
  done = true;
}

}  // namespace internal

std::int32_t FTPUploadFiles(const std::string& host, const std::string& folder,
                            const std::string& user, std::string& error_text,
                            const TUploadProgress& progress,
                            const std::vector<std::string>& upload_names,
                            const std::vector<std::string>& files, std::uint16_t port,
                            const std::string& password) {
  error_text.clear();
  if (files.empty()) return 0;
  std::shared_ptr<TFtpJob> job;
  try {
    job = std::make_shared<TFtpJob>();
    if (!job->w.Bound()) return -1;
    job->host = host;
    job->folder = folder;
    job->user = user;
    job->password = password;
    job->proxy = g_proxy;
    job->port = port;
    job->upload_names = upload_names;
    job->files = files;
    for (const auto& f : files) {
      WIN32_FILE_ATTRIBUTE_DATA data{};
      if (IsFile(f) && GetFileAttributesExA(f.c_str(), GetFileExInfoStandard, &data))
        job->total += data.nFileSizeLow;
    }
    if (progress) progress(0, job->total, 0);
    std::thread([job] { job->Run(); }).detach();
  } catch (const std::exception&) {
    error_text = WinInetErrorText(ERROR_INTERNET_INTERNAL_ERROR);
    return ERROR_INTERNET_INTERNAL_ERROR;
  }
  // Progress is passed on from this thread, in order; the job is given up when nothing has
  // moved for the timeout.
  DWORD last_move = GetTickCount();
  for (;;) {
    std::vector<std::array<std::uint32_t, 3>> events;
    bool done;
    {
      std::lock_guard<std::mutex> hold(job->lock);
      events.swap(job->events);
      done = job->done;
    }
    if (!events.empty()) last_move = GetTickCount();
    if (progress)
      for (const auto& e : events) progress(static_cast<int>(e[0]), e[1], e[2]);
    if (done) break;
    if (GetTickCount() - last_move > g_timeout) {
      error_text = WinInetErrorText(ERROR_INTERNET_TIMEOUT);
      return ERROR_INTERNET_TIMEOUT;
    }
    Sleep(10);
  }
  std::lock_guard<std::mutex> hold(job->lock);
  error_text = job->error_text;
  return job->result;
}

}  // namespace VWebTools

// ---- THTTPResponse and THTTPConnectionBase ----

void THTTPResponse::Assign(const THTTPResponse* other) {
  if (!other) throw Exception("Cannot assign a THTTPResponse class to a NIL value.");
  StatusCode = other->StatusCode;
  StatusText = other->StatusText;
  RawHeaders = other->RawHeaders;
  Body = other->Body;
  DocumentName = other->DocumentName;
  ErrorCode = other->ErrorCode;
  ErrorText = other->ErrorText;
}

void THTTPResponse::Reset() {
  StatusCode = 0;
  StatusText.clear();
  RawHeaders.clear();
  Body.clear();
  DocumentName.clear();
  ErrorCode = 0;
  ErrorText.clear();
}

struct THTTPConnectionBase::TBinding : VWebTools::internal::TWinInet {};

using namespace VWebTools::internal;

THTTPConnectionBase::THTTPConnectionBase(const std::string& address,
                                         const std::string& proxy_address) {
  binding_ = new TBinding;
  if (!binding_->Bound()) return;
  response_ = new THTTPResponse;
  VWebTools::TWebAddress a;
  if (VWebTools::SplitWebAddress(address, &a)) {
    host_ = a.host;
    port_ = a.port;
    UserName = a.user;
    Password = a.password;
    std::string path = a.path;
    if (const std::size_t q = path.find('?'); q != std::string::npos) path.resize(q);
    if (path.empty() || path.back() != '/') path += '/';
    base_path_ = path;
    use_https_ = VCore::LowerCase(a.scheme) == "https";
  }
  if (port_ == 0) port_ = use_https_ ? 443 : 80;
  if (!proxy_address.empty() && proxy_address[0] != ':') {
    VWebTools::TWebAddress p;
    if (VWebTools::SplitWebAddress(proxy_address, &p)) {
      proxy_host_ = p.host;
      proxy_port_ = p.port ? p.port : 8080;
      ProxyUser = p.user;
      ProxyPassword = p.password;
      use_proxy_ = true;
    }
  }
  response_->Reset();
}

THTTPConnectionBase::~THTTPConnectionBase() {
  if (binding_ && binding_->Bound()) {
    auto& w = *binding_;
    HINTERNET c = connect_, i = internet_;
    w.Close(c);
    w.Close(i);
  }
  delete response_;
  delete binding_;
}

bool THTTPConnectionBase::Connect() {
  Progress(0, 0);
  if (!binding_ || !binding_->Bound()) return false;
  auto& w = *binding_;
  internet_ = OpenInternet(w, use_proxy_, proxy_host_ + ":" + std::to_string(proxy_port_));
  if (internet_)
    connect_ = w.InternetConnectA(internet_, host_.c_str(), port_, UserName.c_str(),
                                  Password.c_str(), INTERNET_SERVICE_HTTP, 0x04400000, 0);
  if (!connect_) throw Exception("Cannot create an HTTP connection with the host: " + host_);
  SetTimeouts(w, connect_);
  Progress(1, 0);
  return true;
}

void THTTPConnectionBase::Disconnect() {
  Progress(8, 0);
  if (binding_ && binding_->Bound()) {
    HINTERNET c = connect_, i = internet_;
    const bool ok =
        (!c || binding_->InternetCloseHandle(c)) && (!i || binding_->InternetCloseHandle(i));
    connect_ = internet_ = nullptr;
    if (!ok) throw Exception("Cannot close the HTTP connection with the host: " + host_);
  }
  Progress(9, 0);
}

bool THTTPConnectionBase::ExecuteRequest(THTTPResponse& response, bool report_progress) {
  if (!binding_ || !binding_->Bound() || !response_) return false;
  const auto& w = *binding_;
  for (int redirects = 0; redirects < 20; ++redirects) {
    response.Reset();
    const VWebTools::TRequestPath split = VWebTools::SplitRequestPath(Path);
    response.DocumentName = split.document;
    const DWORD flags = use_https_ ? 0x84E0F200u : 0x8460C200u;
    std::string query = split.query, body, content_type;
    const char* verb = "POST";
    switch (RequestMethod) {
      case rmGet:
        verb = "GET";
        query = VWebTools::QueryWithFields(query, Fields);
        break;
      case rmPostUrlEncoded:
        content_type = "Content-Type: application/x-www-form-urlencoded";
        body = VWebTools::UrlEncodedBody(Fields);
        break;
      case rmPostMultipart: {
        const std::string boundary = VWebTools::NewBoundary();
        content_type = VWebTools::MultipartContentType(boundary);
        std::vector<VWebTools::TFormFile> files;
        for (const auto& [name, path] : Files) {
          VWebTools::TFormFile f;
          f.name = name;
          f.file_name = path;
          f.exists = IsFile(path) && ReadWholeFile(path, &f.bytes);
          files.push_back(std::move(f));
        }
        body = VWebTools::ConnectionMultipartBody(boundary, Fields, files);
        break;
      }
    }
    const std::string object = split.folder + split.document + query;
    HINTERNET request = nullptr;
    bool sending = false, ok = false;
    std::int32_t status = 0;
    do {
      request = w.HttpOpenRequestA(static_cast<HINTERNET>(connect_), verb, object.c_str(), nullptr,
                                   nullptr, nullptr, flags, 0);
      if (!request) break;
      SetTimeouts(w, request);
      if (use_https_) IgnoreUnknownCa(w, request);
      if (!content_type.empty() && !AddHeader(w, request, content_type)) break;
      if ((!UserName.empty() || !Password.empty()) &&
          !AddHeader(w, request, VWebTools::BasicAuthorizationHeader(UserName, Password)))
        break;
      if (use_proxy_) SetProxyCredentials(w, request, ProxyUser, ProxyPassword);
      INTERNET_BUFFERSA buffers{};
      buffers.dwStructSize = sizeof buffers;
      buffers.dwBufferTotal = static_cast<DWORD>(body.size());
      if (!w.HttpSendRequestExA(request, &buffers, nullptr, 0, 0)) break;
      sending = true;
      std::size_t written = 0;
      bool write_ok = true;
      while (written < body.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(4096, body.size() - written));
        DWORD done = 0;
        if (!w.InternetWriteFile(request, body.data() + written, piece, &done) || done == 0) {
          write_ok = false;
          break;
        }
        written += done;
        if (report_progress)
          Progress(6, std::min(50, static_cast<int>(std::lround(100.0 * written / body.size()))));
      }
      if (!write_ok) break;
      sending = false;
      if (!w.HttpEndRequestA(request, nullptr, 0, 0)) break;
      if (!HasStatusLine(w, request)) {
        SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
        break;
      }
      const std::string code_text = w.Query(request, HTTP_QUERY_STATUS_CODE);
      status = static_cast<std::int32_t>(std::strtol(code_text.c_str(), nullptr, 10));
      response.StatusCode = status;
      response.StatusText = w.Query(request, HTTP_QUERY_STATUS_TEXT);
      response.RawHeaders = w.Query(request, HTTP_QUERY_RAW_HEADERS_CRLF);
      long expected = std::strtol(w.Query(request, HTTP_QUERY_CONTENT_LENGTH).c_str(), nullptr, 10);
      if (expected <= 0) expected = 1;
      char buffer[4096];
      bool read_ok = true;
      for (;;) {
        DWORD got = 0;
        if (!w.InternetReadFile(request, buffer, sizeof buffer, &got)) {
          read_ok = false;
          break;
        }
        if (got == 0) break;
        response.Body.append(buffer, got);
        if (report_progress)
          Progress(6, static_cast<int>(std::lround(50.0 * response.Body.size() / expected + 50)));
      }
      ok = read_ok;
    } while (false);
    if (!ok) {
      const DWORD raw = GetLastError();
      const DWORD code = raw ? raw : ERROR_INTERNET_CONNECTION_ABORTED;
      if (sending) w.HttpEndRequestA(request, nullptr, 0, 0);
      response.ErrorCode = code;
      response.ErrorText = ErrorTextOf(w, code);
      w.Close(request);
      if (report_progress && raw == 0) Progress(6, 50);
      return false;
    }
    std::string location;
    if (status == 200) {
      const std::string refresh = w.Query(request, HTTP_QUERY_REFRESH);
      if (!refresh.empty()) {
        location = VWebTools::RefreshUrl(refresh);
        status = 302;
      }
    } else if (status >= 301 && status <= 303) {
      location = w.Query(request, HTTP_QUERY_LOCATION);
    }
    w.Close(request);
    if (status >= 301 && status <= 303) {
      if (status != 302) Path = location;
      RequestMethod = rmGet;
      Fields.clear();
      Files.clear();
    }
    if (status == 302) {
      Path = VWebTools::RedirectPath(split.folder, location);
      continue;
    }
    if (report_progress) Progress(7, 0);
    for (char& c : response.Body)
      if (static_cast<unsigned char>(c) < 32) c = ' ';
    response_->Assign(&response);
    return true;
  }
  response.ErrorText = "Too many redirects.";
  return false;
}
