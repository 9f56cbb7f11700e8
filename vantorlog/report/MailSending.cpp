// Text work of the mail senders.
#include "MailSending.h"

#include "VTextUtils.h"

namespace ExceptionLog {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendEscaped(std::string& out, unsigned char c) {
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

bool KeptByEscape(unsigned char c) {
  return c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         c >= 128;
}

// Occurrences of "%1" counted the way ReplaceAll replaces them (left to right, no overlap).
std::size_t PlaceholderCount(std::string_view command) {
  std::size_t n = 0;
  for (std::size_t at = command.find("%1"); at != std::string_view::npos;
       at = command.find("%1", at + 2))
    ++n;
  return n;
}

}  // namespace

std::string MailtoEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (KeptByEscape(c))
      out += ch;
    else
      AppendEscaped(out, c);
  }
  return out;
}

std::string MailtoRecipients(std::string_view recipients) {
  std::string out;
  out.reserve(recipients.size());
  for (const char ch : recipients) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 32 || c == 127 || c == '"' || c == '#' || c == '&' || c == '?')
      AppendEscaped(out, c);
    else
      out += ch;
  }
  return out;
}

std::string BuildMailtoUrl(std::string_view recipients, std::string_view subject,
                           std::string_view text) {
  return "mailto:" + MailtoRecipients(recipients) + "?Subject=" + MailtoEscape(subject) +
         "&Body=" + MailtoEscape(text);
}

std::string MailtoCommandLine(std::string_view command, std::string_view recipients,
                              std::string_view subject, std::string_view text,
                              std::size_t max_length) {
  const std::string head =
      "mailto:" + MailtoRecipients(recipients) + "?Subject=" + MailtoEscape(subject) + "&Body=";
  std::string body = MailtoEscape(text);
  const std::size_t uses = PlaceholderCount(command);
  const std::size_t fixed = command.size() - 2 * uses;
  const auto length_with = [&](std::size_t body_length) {
    return fixed + uses * (head.size() + body_length);
  };
  if (uses > 0 && length_with(body.size()) > max_length && length_with(0) <= max_length) {
    const std::size_t room = (max_length - fixed) / uses - head.size();
    std::size_t cut = room;
    // Step back over a cut escape: an escape starts at one of the two bytes before the cut.
    for (std::size_t back = 1; back <= 2 && back <= cut; ++back)
      if (body[cut - back] == '%') {
        cut -= back;
        break;
      }
    body.resize(cut);
  }
  return VCore::ReplaceAll(command, "%1", head + body);
}

std::string MailtoFullText(std::string_view text, std::string_view report_text) {
  std::string out(text);
  out += "\r\n\r\n\r\n";
  out += report_text;
  return out;
}

std::string MapiAddressOf(std::string_view address) { return "SMTP:" + std::string(address); }

bool MapiRecipientFits(std::string_view address) {
  return MapiAddressOf(address).size() <= kMaxMapiRecipientText;
}

}  // namespace ExceptionLog
