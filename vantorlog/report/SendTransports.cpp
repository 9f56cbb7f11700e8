#include "SendTransports.h"

#include <windows.h>
#include <winsock.h>

#include <fstream>
#include <iterator>

#include "SysUtils.h"
#include "VSockets.h"
#include "core/VBase64.h"
#include "core/VCore.h"
#include "core/VTextUtils.h"
#include "core/VUnitVariable.h"

namespace ExceptionLog {

namespace {

std::string FileNameOnly(const std::string& path) { return VCore::ExtractFileName(path); }

std::string DefaultDisplayName() {
  std::string name = VCore::RegisteredOwnerText();
  return name.empty() ? VCore::UserNameText() : name;
}

void Status(int id, const char* text, bool counted) {
  if (SendHooks().Status) SendHooks().Status(id, text, counted);
}

// A command whose reply is not accepted raises; an empty line goes out as an empty line.
void Command(TVantorClientSMTP& smtp, const std::string& line, const std::vector<int>& codes) {
  if (!smtp.SendCommand(line.empty() ? std::string("\r\n") : line, codes))
    throw EVantorSocketError("Unexpected SMTP reply.");
}

void SmtpWarning(const std::string& message) {
  const std::string text = "[SMTP] " + message;
  if (SendHooks().Warning)
    SendHooks().Warning(kEmailSMTPWarning, text);
  else
    OutputDebugStringA(text.c_str());
}

std::string ThisHostName() {
  VSockets::StartWinSock();
  char name[251] = {};
  if (gethostname(name, 250) != 0) return "";
  return name;
}

bool ReadFileBytes(const std::string& path, std::string* bytes) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void AddAttachments(const std::vector<std::string>& files, std::vector<TMailAttachment>* out) {
  for (const auto& path : files) {
    if (VCore::Trim(path).empty()) continue;
    TMailAttachment a;
    if (!ReadFileBytes(path, &a.bytes)) continue;
    a.path = path;
    a.name = SendHooks().ReportFileName(path);
    out->push_back(std::move(a));
  }
}

}  // namespace

TSendHooks& SendHooks() {
  // Never destroyed: a leak report may be sent after static destruction.
  static VCore::TUnitVariable<TSendHooks> hooks{[] {
    TSendHooks h;
    h.ReportFileName = FileNameOnly;
    h.LookupMX = [](const std::string& address, int timeout_ms) {
      return VSockets::LookupMX(address, timeout_ms);
    };
    h.SenderDisplayName = DefaultDisplayName;
    return h;
  }};
  return *hooks;
}

bool SendSMTPMail(bool server_mode, const std::string& sender, const std::string& host,
                  const std::vector<std::string>& files,
                  const std::vector<std::string>& extra_files, const std::string& text,
                  const std::string& subject, const std::string& recipient,
                  const std::string& password, const std::string& user, std::uint16_t port) {
  (void)server_mode;
  TSendHooks& hooks = SendHooks();
  try {
    Status(114, "Connecting with server...", true);
    TVantorClientSMTP smtp(host, kSmtpTimeout, true, port);
    smtp.Connect();
    const std::string display = hooks.SenderDisplayName ? hooks.SenderDisplayName() : "";
    const TMailSender from = MailSender(sender, display);
    // A recipient cannot carry line breaks into the commands or the header.
    const std::string to = FlattenControlChars(recipient);
    const std::string me = ThisHostName();
    Status(115, "Connected with server.", true);
    if (!user.empty() || !password.empty()) {
      Command(smtp, "EHLO " + me, {250});
      Command(smtp, "RSET", {250});
      Command(smtp, "AUTH LOGIN", {334});
      Command(smtp, VBase64::EncodeText(user), {334});
      Command(smtp, VBase64::EncodeText(password), {235});
    } else {
      Command(smtp, "HELO " + me, {250});
      Command(smtp, "RSET", {250});
    }
    Command(smtp, "MAIL FROM:<" + from.envelope + ">", {250});
    Status(116, "Sending message...", true);
    TMailMessage m;
    SYSTEMTIME now;
    GetLocalTime(&now);
    m.date = Rfc822DateText(now);
    m.from = from.from;
    m.subject = subject;
    m.recipient = to;
    m.message_id = GetTickCount();
    m.text = text;
    m.charset = CodePageCharset(GetACP());
    AddAttachments(files, &m.attachments);
    AddAttachments(extra_files, &m.attachments);
    const std::string message = ComposeMailMessage(m);
    Command(smtp, "RCPT TO:<" + to + ">", {250, 251});
    Command(smtp, "DATA", {354});
    const bool dialog = hooks.DialogUp && hooks.DialogUp();
    if (dialog && hooks.SocketSent)
      smtp.OnSent = [&](TVantorClientSocket&, int sent, int total) {
        hooks.SocketSent(sent, total);
      };
    Command(smtp, message, {250});
    smtp.OnSent = nullptr;
    if (dialog && hooks.DestroyModelessDialog) hooks.DestroyModelessDialog();
    return true;
  } catch (const Exception& e) {
    SmtpWarning(e.Message());
  } catch (const std::exception& e) {
    SmtpWarning(e.what());
  } catch (...) {
    SmtpWarning("Unknown error.");
  }
  return false;
}

bool SendSMTPReport(bool server_mode, const std::string& sender, const std::string& host,
                    const std::vector<std::string>& files,
                    const std::vector<std::string>& extra_files, const std::string& text,
                    const std::string& subject, const std::string& recipients,
                    const std::string& password, const std::string& user, std::uint16_t port) {
  TSendHooks& hooks = SendHooks();
  const std::string expanded_subject = VCore::ExpandEnvRefs(subject);
  const std::string expanded_text = VCore::ExpandEnvRefs(text);
  const std::vector<std::string> list = SplitRecipients(recipients);
  if (hooks.SetRecipientCount) hooks.SetRecipientCount(static_cast<int>(list.size()));
  bool ok = false;
  std::string server = host, login = user, pass = password;
  try {
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (hooks.SetProgress) hooks.SetProgress(0);
      if (hooks.SetRecipientNumber) hooks.SetRecipientNumber(static_cast<int>(i + 1));
      if (server_mode) {
        Status(112, "Resolving DNS...", true);
        server = hooks.LookupMX(list[i], kSmtpTimeout);
        login.clear();
        pass.clear();
      }
      ok = SendSMTPMail(server_mode, sender, server, files, extra_files, expanded_text,
                        expanded_subject, list[i], pass, login, port) ||
           ok;
    }
  } catch (const Exception& e) {
    ok = false;
    SmtpWarning(e.Message());
  } catch (const std::exception& e) {
    ok = false;
    SmtpWarning(e.what());
  } catch (...) {
    ok = false;
    SmtpWarning("Unknown error.");
  }
  if (hooks.CloseDialog) hooks.CloseDialog();
  return ok;
}

bool ReportWebSendResult(const std::string& name, std::uint8_t code, std::int32_t result,
                         const std::string& error_text) {
  if (result == 0) return true;
  const std::string text = WebSendWarning(name, result, error_text);
  if (SendHooks().Warning)
    SendHooks().Warning(code, text);
  else
    OutputDebugStringA(text.c_str());
  return false;
}

namespace {

std::vector<std::string> UploadNames(const std::vector<std::string>& files) {
  std::vector<std::string> names;
  for (const auto& f : files) names.push_back(SendHooks().ReportFileName(f));
  return names;
}

VWebTools::TUploadProgress WebProgressOf(const TSendHooks& hooks) {
  if (hooks.WebProgress) return hooks.WebProgress;
  return OnWebProgress;
}

}  // namespace

void OnWebProgress(int phase, std::uint32_t total, std::uint32_t done) {
  TSendHooks& hooks = SendHooks();
  switch (phase) {
    case 0:
      if (hooks.SetProgress) hooks.SetProgress(0);
      Status(114, "Connecting with server...", false);
      break;
    case 1:
      Status(115, "Connected with server.", false);
      break;
    case 2:
      Status(116, "Sending message...", false);
      // An empty upload has nothing to divide by: it is all sent.
      if (hooks.SetProgress)
        hooks.SetProgress(total == 0 ? 100 : static_cast<int>((200ull * done / total + 1) / 2));
      break;
    default:
      break;
  }
}

void THTTPConnection::Progress(int phase, int value) {
  static const struct {
    int id;
    const char* text;
  } kTexts[] = {{114, "Connecting with server..."},
                {115, "Connected with server."},
                {113, "Login..."},
                {118, "Select project..."},
                {119, "Searching..."},
                {120, "Modifying..."},
                {116, "Sending message..."},
                {117, "Message sent."},
                {121, "Disconnecting..."},
                {122, "Disconnected."}};
  if (phase < 0 || phase > 9) return;
  TSendHooks& hooks = SendHooks();
  Status(kTexts[phase].id, kTexts[phase].text, false);
  if (phase == 0 && hooks.ResetProgress) hooks.ResetProgress();
  if (phase == 0) {
    if (hooks.SetProgress) hooks.SetProgress(5);
  } else if (phase <= 5) {
    if (hooks.AddProgress) hooks.AddProgress(5);
  } else if (hooks.SetProgress) {
    // Phase 6: value / 100 * 65 + 35, rounded.
    hooks.SetProgress(phase == 6 ? (value * 130 / 100 + 1) / 2 + 35 : 100);
  }
}

namespace {

// Runs one upload; whatever it raises becomes a failure with its text (nothing raises into
// the watched program).
std::int32_t GuardedUpload(const std::function<std::int32_t()>& upload, std::string& error) {
  try {
    return upload();
  } catch (const Exception& e) {
    error = e.Message();
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "Unknown error.";
  }
  return 0x7FFFFFFF;
}

}  // namespace

bool SendHTTP(const TWebSendInputs& in) {
  TSendHooks& hooks = SendHooks();
  const bool https = in.web_mode == 2;
  std::string error;
  const std::int32_t result = GuardedUpload(
      [&]() -> std::int32_t {
        VWebTools::TFormFields fields;
        if (hooks.CustomWebFieldsRequest) hooks.CustomWebFieldsRequest(fields);
        VWebTools::SetProxy(in.proxy_address, in.proxy_port);
        VWebTools::SetProxyLogin(in.proxy_login, in.proxy_password);
        if (in.files.empty()) return 0;
        VWebTools::TWebAddress a;
        if (!VWebTools::SplitWebAddress(in.address, &a)) {
          error = "Invalid web address.";
          return 0x7FFFFFFF;
        }
        return VWebTools::HTTPUploadFiles(a.host, "/" + a.path, in.login, error,
                                          WebProgressOf(hooks), fields, UploadNames(in.files),
                                          in.files, https, in.port, in.password);
      },
      error);
  if (hooks.CloseDialog) hooks.CloseDialog();
  return ReportWebSendResult(https ? "HTTPS" : "HTTP", https ? kWebHTTPSWarning : kWebHTTPWarning,
                             result, error);
}

bool SendFTP(const TWebSendInputs& in) {
  TSendHooks& hooks = SendHooks();
  std::string error;
  const std::int32_t result = GuardedUpload(
      [&]() -> std::int32_t {
        VWebTools::SetProxy(in.proxy_address, in.proxy_port);
        VWebTools::SetProxyLogin(in.proxy_login, in.proxy_password);
        VWebTools::TWebAddress a;
        if (!VWebTools::SplitWebAddress(in.address, &a)) {
          error = "Invalid web address.";
          return 0x7FFFFFFF;
        }
        return VWebTools::FTPUploadFiles(a.host, a.path, in.login, error, WebProgressOf(hooks),
                                         UploadNames(in.files), in.files, in.port, in.password);
      },
      error);
  if (hooks.CloseDialog) hooks.CloseDialog();
  return ReportWebSendResult("FTP", kWebFTPWarning, result, error);
}

}  // namespace ExceptionLog
