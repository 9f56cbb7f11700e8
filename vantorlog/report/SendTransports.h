// The library's senders over SMTP, HTTP(S) and FTP. What the send sequence supplies (the
// report file names, the send dialog, the library warning, the custom web fields) comes in
// through SendHooks(), whose defaults work without any of it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SendData.h"
#include "VWebTools.h"

namespace ExceptionLog {

// Warning codes of the senders (the values of TVantorLogErrorCode).
inline constexpr std::uint8_t kEmailSMTPWarning = 5;
inline constexpr std::uint8_t kWebHTTPWarning = 6;
inline constexpr std::uint8_t kWebHTTPSWarning = 7;
inline constexpr std::uint8_t kWebFTPWarning = 8;

struct TSendHooks {
  // The name a file is sent under; default: its name without folder.
  std::function<std::string(const std::string& path)> ReportFileName;
  // The library warning; default: the debugger output.
  std::function<void(std::uint8_t code, const std::string& text)> Warning;
  // Status text of the send dialog by custom text id (default text given); counted: with the
  // "Message i/n: " prefix.
  std::function<void(int text_id, const std::string& text, bool counted)> Status;
  // The bar only moves forward within a send; ResetProgress starts it again at 0.
  std::function<void(int percent)> SetProgress;
  std::function<void(int delta)> AddProgress;
  std::function<void()> ResetProgress;
  std::function<void(int count)> SetRecipientCount;
  std::function<void(int number)> SetRecipientNumber;
  std::function<bool()> DialogUp;
  std::function<void()> CloseDialog;
  // Destroys the modeless dialog's window (processing in the raising thread only).
  std::function<void()> DestroyModelessDialog;
  std::function<void(int sent, int total)> SocketSent;
  std::function<void(int phase, std::uint32_t total, std::uint32_t done)> WebProgress;
  // Fills the custom web fields (the CustomWebFieldsRequest event).
  std::function<void(VWebTools::TFormFields& fields)> CustomWebFieldsRequest;
  // Default: VSockets::LookupMX over the system's DNS servers.
  std::function<std::string(const std::string& address, int timeout_ms)> LookupMX;
  // Default: the registered owner, else the user name.
  std::function<std::string()> SenderDisplayName;
};
TSendHooks& SendHooks();

// ---- SMTP ----

// The timeout of each reply and of the MX lookup.
inline constexpr int kSmtpTimeout = 30000;

// True when at least one recipient was sent to. server_mode: each recipient's mail exchanger,
// without authentication.
bool SendSMTPReport(bool server_mode, const std::string& sender, const std::string& host,
                    const std::vector<std::string>& files,
                    const std::vector<std::string>& extra_files, const std::string& text,
                    const std::string& subject, const std::string& recipients,
                    const std::string& password, const std::string& user, std::uint16_t port);
// True when the server accepted the message; a failure leaves the SMTP warning.
bool SendSMTPMail(bool server_mode, const std::string& sender, const std::string& host,
                  const std::vector<std::string>& files,
                  const std::vector<std::string>& extra_files, const std::string& text,
                  const std::string& subject, const std::string& recipient,
                  const std::string& password, const std::string& user, std::uint16_t port);

// ---- Web ----

// Progress of the uploads on the send dialog: phase 0 connecting (bar 0), 1 connected,
// 2 sending (bar done / total).
void OnWebProgress(int phase, std::uint32_t total, std::uint32_t done);

// The connection of the bug-tracker senders, showing its phases on the send dialog.
class THTTPConnection : public THTTPConnectionBase {
 public:
  using THTTPConnectionBase::THTTPConnectionBase;
  void Progress(int phase, int value) override;
};

struct TWebSendInputs {
  std::uint8_t web_mode = 1;  // 1 HTTP, 2 HTTPS, 3 FTP
  std::string address;        // FWebAddress
  std::uint16_t port = 0;     // FWebPortNo
  std::string login, password;
  std::string proxy_address;
  std::uint16_t proxy_port = 0;
  std::string proxy_login, proxy_password;
  std::vector<std::string> files;  // the send-files list
};
bool SendHTTP(const TWebSendInputs& in);
bool SendFTP(const TWebSendInputs& in);
// True for result 0; otherwise stores the warning text with the code.
bool ReportWebSendResult(const std::string& name, std::uint8_t code, std::int32_t result,
                         const std::string& error_text);

}  // namespace ExceptionLog
