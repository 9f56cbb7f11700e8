// Sending through the user's mail program: Simple MAPI with the files attached, else the
// registered "mailto:" handler. The text work (the mailto URL and its command line) is pure and
// builds in both configurations; the senders are Win32 only. Subject flattening and recipient
// splitting are the senders' common ones (SendData.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ExceptionLog {

// ---- Text work ----------------------------------------------------------------------------

// Keeps "-", "0"-"9", "A"-"Z", "a"-"z" and every byte of 128 or more; every other byte becomes
// "%" and two upper-case hexadecimal digits.
std::string MailtoEscape(std::string_view text);
// The recipients as the URL carries them: bytes that would end the address part or break the
// command line (control characters, blank, '"', '#', '&', '?', DEL) are escaped, the rest stays.
std::string MailtoRecipients(std::string_view recipients);
// "mailto:" + recipients + "?Subject=" + escaped subject + "&Body=" + escaped text.
std::string BuildMailtoUrl(std::string_view recipients, std::string_view subject,
                           std::string_view text);

// Longest command line CreateProcess takes, without its terminating zero.
inline constexpr std::size_t kMaxCommandLine = 32766;
// The handler's command with every "%1" replaced by the URL. When that exceeds max_length the
// escaped body is cut at a whole escape (never inside "%XX") so that the line fits; when even
// an empty body does not fit, the line is returned uncut.
std::string MailtoCommandLine(std::string_view command, std::string_view recipients,
                              std::string_view subject, std::string_view text,
                              std::size_t max_length = kMaxCommandLine);

// The text of the shell path: the message text, three line breaks and the report text.
std::string MailtoFullText(std::string_view text, std::string_view report_text);

// A recipient's name and its "SMTP:" address each fit in 257 bytes with the terminating zero.
inline constexpr std::size_t kMaxMapiRecipientText = 256;
// "SMTP:" + address.
std::string MapiAddressOf(std::string_view address);
bool MapiRecipientFits(std::string_view address);

// ---- Senders (Win32) ----------------------------------------------------------------------

// Warning codes of the senders (the library's eeEmailMAPIError and eeEmailShellError).
inline constexpr int kMailMapiWarning = 3;
inline constexpr int kMailShellWarning = 4;

// The shell path waits this long for the mail program before it counts it as started.
inline constexpr std::uint32_t kMailClientWaitMs = 5 * 60 * 1000;

// What the senders take from the options and from the other units of the report side.
struct TMailClientSettings {
  // FSendFlags of the options in use; bit 0 shows the mail program's compose window.
  std::uint16_t send_flags = 0;
  // The attachment's name in the message (the report-log name rules); empty: the file's name.
  std::function<std::string(const std::string& path)> report_file_name;
  // Takes a warning with one of the codes above; empty: stored as the library warning.
  std::function<void(int code, const std::string& message)> warning;
  // Set when the user cancelled the MAPI compose window (the message is not sent).
  bool* cancelled = nullptr;
  // How long the shell path waits for the mail program to end.
  std::uint32_t shell_wait_ms = kMailClientWaitMs;
};
// Send flags of the current options (0 without options); the report file name and the warning
// of the senders' hooks (SendHooks()).
TMailClientSettings DefaultMailClientSettings();

// The MAPI library the senders load: HKCU, then HKLM "SOFTWARE\Clients\Mail\<default client>"
// value "DLLPath" with environment references expanded; empty when neither names one.
std::string MapiLibraryPath();

// True when the mail program accepted the message; a cancelled compose window is not sent.
bool SendMailViaMAPI(const std::string& recipients, const std::string& subject,
                     const std::string& text, const std::vector<std::string>& files,
                     const std::vector<std::string>& extra_files,
                     const TMailClientSettings& settings = DefaultMailClientSettings());
// The files given as one text ("," and ";" separate them); no extra files.
bool SendMAPIMailWithFileList(const std::string& recipients, const std::string& subject,
                              const std::string& text, const std::string& files_text,
                              const TMailClientSettings& settings = DefaultMailClientSettings());
// Opens the registered "mailto:" handler with subject and text (plus the report text) in the
// URL and waits until it ends, at most settings.shell_wait_ms. True when it started and ended
// with a readable exit code or is still open after the wait.
bool SendMailViaShell(const std::string& recipients, const std::string& subject,
                      const std::string& text, const std::string& report_text,
                      const TMailClientSettings& settings = DefaultMailClientSettings());

}  // namespace ExceptionLog
