#include "SendData.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "core/VBase64.h"
#include "core/VTextUtils.h"

namespace VWebTools {

namespace {

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.';
}
bool AllNameChars(std::string_view s) {
  for (char c : s)
    if (!IsNameChar(c)) return false;
  return true;
}
bool IsAlnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string FieldPart(std::string_view boundary, const std::string& name,
                      const std::string& value) {
  return "--" + std::string(boundary) + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\";\r\n\r\n" + value + "\r\n";
}
std::string FilePart(std::string_view boundary, const std::string& name,
                     const std::string& file_name, const std::string& bytes) {
  return "--" + std::string(boundary) + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"; filename=\"" + file_name + "\";\r\nContent-Type: application/octet-stream\r\n\r\n" +
         bytes + "\r\n";
}

}  // namespace

bool SplitWebAddress(std::string_view text, TWebAddress* out) {
  *out = TWebAddress{};
  std::string s = VCore::Trim(text);
  if (s.empty() || s.back() != '/') s += '/';
  // Port: ":digits" just before the final "/".
  std::size_t digits = s.size() - 1;
  while (digits > 0 && s[digits - 1] >= '0' && s[digits - 1] <= '9') --digits;
  if (digits < s.size() - 1 && digits > 0 && s[digits - 1] == ':') {
    const std::string number = s.substr(digits, s.size() - 1 - digits);
    if (number.size() > 5 || std::stoul(number) > 0xFFFF) return false;
    out->port = static_cast<std::uint16_t>(std::stoul(number));
    s.erase(digits - 1, number.size() + 1);
  }
  if (const std::size_t p = s.find("://"); p != std::string::npos && AllNameChars(s.substr(0, p))) {
    out->scheme = s.substr(0, p);
    s.erase(0, p + 3);
  }
  // User and password only from before an "@" ahead of the path: without one, a "host:port"
  // would be read as user "host" and host "port", sending the report to a numeric address.
  const std::size_t at = s.find('@');
  if (at != std::string::npos && at < s.find('/')) {
    const std::size_t colon = s.find(':');
    if (colon < at) {
      out->user = s.substr(0, colon);
      s.erase(0, colon + 1);
    }
    const std::size_t p = s.find('@');
    out->password = s.substr(0, p);
    s.erase(0, p + 1);
  }
  // A port between the host and a path.
  if (const std::size_t slash = s.find('/'), colon = s.find(':');
      out->port == 0 && colon < slash && colon + 1 < slash) {
    const std::string number = s.substr(colon + 1, slash - colon - 1);
    if (number.find_first_not_of("0123456789") == std::string::npos) {
      if (number.size() > 5 || std::stoul(number) > 0xFFFF) return false;
      out->port = static_cast<std::uint16_t>(std::stoul(number));
      s.erase(colon, slash - colon);
    }
  }
  if (const std::size_t p = s.find('/'); p != std::string::npos && AllNameChars(s.substr(0, p))) {
    out->host = s.substr(0, p);
    s.erase(0, p + 1);
  }
  if (!s.empty() && s.back() == '/') s.pop_back();
  out->path = s;
  return true;
}

std::string EscapeFormValue(std::string_view value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : value) {
    if (IsAlnum(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string BoundaryText(unsigned a, unsigned b, unsigned c) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "---------------------------%04X%04X%04X", a & 0xFFFF,
                b & 0xFFFF, c & 0xFFFF);
  return buffer;
}

std::string NewBoundary() {
  static std::minstd_rand generator(std::random_device{}());
  std::uniform_int_distribution<unsigned> random(0, 0xFFFE);
  const unsigned a = random(generator), b = random(generator), c = random(generator);
  return BoundaryText(a, b, c);
}

std::string MultipartContentType(std::string_view boundary) {
  return "Content-Type: multipart/form-data; boundary=" + std::string(boundary);
}

std::string UploadFilesBody(std::string_view boundary, const TFormFields& fields,
                            const std::vector<TFormFile>& files) {
  std::string body;
  for (const auto& [name, value] : fields) body += FieldPart(boundary, name, value);
  for (std::size_t i = 0; i < files.size(); ++i)
    if (files[i].exists)
      body +=
          FilePart(boundary, "vl_upload_file_" + std::to_string(i), files[i].name, files[i].bytes);
  return body + "--" + std::string(boundary) + "--\r\n";
}

std::string ConnectionMultipartBody(std::string_view boundary, const TFormFields& fields,
                                    const std::vector<TFormFile>& files) {
  std::string body;
  for (const auto& [name, value] : fields) body += FieldPart(boundary, name, value);
  for (const auto& f : files)
    body += f.exists ? FilePart(boundary, f.name, VCore::ExtractFileName(f.file_name), f.bytes)
                     : FilePart(boundary, f.name, "", "");
  return body + "--" + std::string(boundary) + "--\r\n";
}

std::string UrlEncodedBody(const TFormFields& fields) {
  std::string body;
  for (const auto& [name, value] : fields)
    body += (body.empty() ? "" : "&") + name + "=" + EscapeFormValue(value);
  return body;
}

std::string QueryWithFields(std::string_view query, const TFormFields& fields) {
  std::string out(query);
  for (const auto& [name, value] : fields) {
    out += out.empty() ? "?" : "&";
    out += EscapeFormValue(name) + "=" + EscapeFormValue(value);
  }
  return out;
}

std::string BasicAuthorizationHeader(std::string_view user, std::string_view password) {
  return "Authorization: Basic " +
         VBase64::EncodeText(std::string(user) + ":" + std::string(password));
}

TRequestPath SplitRequestPath(std::string_view path) {
  TRequestPath r;
  std::string_view rest = path;
  if (const std::size_t q = rest.find('?'); q != std::string_view::npos) {
    r.query = std::string(rest.substr(q));
    rest = rest.substr(0, q);
  }
  const std::size_t slash = rest.rfind('/');
  if (slash != std::string_view::npos) {
    r.folder = std::string(rest.substr(0, slash + 1));
    rest = rest.substr(slash + 1);
  }
  r.document = std::string(rest);
  return r;
}

std::string RedirectPath(std::string_view old_folder, std::string_view location) {
  const TRequestPath split = SplitRequestPath(location);
  if (!split.folder.empty()) return std::string(location);
  return std::string(old_folder) + std::string(location);
}

std::string RefreshUrl(std::string_view refresh) {
  const std::string lower = VCore::LowerCase(refresh);
  const std::size_t p = lower.find("url=");
  if (p == std::string::npos) return "";
  return VCore::Trim(refresh.substr(p + 4));
}

std::string FtpRemoteName(std::string_view folder, std::string_view upload_name) {
  std::string out(folder);
  if (!out.empty() && out.back() != '/') out += '/';
  return out + VCore::ExtractFileName(upload_name);
}

std::string WinInetErrorText(std::uint32_t code) {
  static const struct {
    std::uint32_t code;
    const char* text;
  } kTexts[] = {
      {12002, "The request has timed out."},
      {12003, "An extended error was returned from the server."},
      {12004, "An internal error has occurred."},
      {12005, "The URL is invalid."},
      {12006, "The URL scheme could not be recognized, or is not supported."},
      {12007, "The server name could not be resolved."},
      {12013,
       "The request to connect and log on to an FTP server could not be completed "
       "because the supplied user name is incorrect."},
      {12014,
       "The request to connect and log on to an FTP server could not be completed "
       "because the supplied password is incorrect."},
      {12015, "The request to connect to and log on to an FTP server failed."},
      {12016, "The requested operation is invalid."},
      {12020, "The request cannot be made via a proxy."},
      {12028, "The requested item could not be located."},
      {12029, "The attempt to connect to the server failed."},
      {12030, "The connection with the server has been terminated."},
      {12031, "The connection with the server has been reset."},
      {12033, "The request to the proxy was invalid."},
      {12037,
       "SSL certificate date that was received from the server is bad. The certificate "
       "is expired."},
      {12038, "SSL certificate common name (host name field) is incorrect."},
      {12039,
       "The application is moving from a non-SSL to an SSL connection because of a "
       "redirect."},
      {12040,
       "The application is moving from an SSL to an non-SSL connection because of a "
       "redirect."},
      {12041,
       "The content is not entirely secure. Some of the content being viewed may have "
       "come from unsecured servers."},
      {12042,
       "The application is posting and attempting to change multiple lines of text on "
       "a server that is not secure."},
      {12043, "The application is posting data to a server that is not secure."},
      {12044, "The server is requesting client authentication."},
      {12045,
       "The function is unfamiliar with the Certificate Authority that generated the "
       "server's certificate."},
      {12052,
       "The data being submitted to an SSL connection is being redirected to a non-SSL "
       "connection."},
      {12055, "The SSL certificate contains errors."},
      {12111, "The FTP operation was not completed because the session was aborted."},
      {12112, "Passive mode is not available on the server."},
      {12133, "The end of the data has been reached."},
      {12150, "The requested header could not be located."},
      {12151, "The server did not return any headers."},
      {12152, "The server response could not be parsed."},
      {12153, "The supplied header is invalid."},
      {12160, "The HTTP request was not redirected."},
      {12161, "The HTTP cookie requires confirmation."},
      {12162, "The HTTP cookie was declined by the server."},
      {12163, "The Internet connection has been lost."},
      {12164, "The Web site or server indicated is unreachable."},
      {12165, "The designated proxy server cannot be reached."},
      {12166, "There was an error in the automated proxy configuration script."},
      {12167, "The automated proxy configuration script could not be downloaded."},
      {12168, "The redirection requires user confirmation."},
      {12169, "SSL certificate is invalid."},
      {12170, "SSL certificate was revoked."},
      {12171, "The function failed due to a security check."},
  };
  for (const auto& t : kTexts)
    if (t.code == code) return t.text;
  return "";
}

std::int32_t UploadStatusResult(std::string_view status_text) {
  const std::string s = VCore::Trim(status_text);
  if (s.empty() || s.size() > 9) return 0x7FFFFFFF;
  for (char c : s)
    if (c < '0' || c > '9') return 0x7FFFFFFF;
  const std::int32_t code = std::stoi(s);
  return code == 200 ? 0 : code;
}

}  // namespace VWebTools

namespace ExceptionLog {

std::string FlattenControlChars(std::string_view text) {
  std::string out;
  bool in_run = false;
  for (const unsigned char c : text) {
    if (c < 32) {
      if (!in_run) out += ' ';
      in_run = true;
    } else {
      out += static_cast<char>(c);
      in_run = false;
    }
  }
  return out;
}

TMailSender MailSender(std::string_view sender, std::string_view display_name) {
  TMailSender r;
  const std::string flat = FlattenControlChars(sender);
  if (flat.find('"') != std::string::npos || flat.find('<') != std::string::npos)
    r.from = flat;
  else
    r.from = "\"" + FlattenControlChars(display_name) + "\" <" + flat + ">";
  const std::size_t open = r.from.rfind('<');
  const std::size_t close = open == std::string::npos ? open : r.from.find('>', open);
  r.envelope = close == std::string::npos ? r.from : r.from.substr(open + 1, close - open - 1);
  return r;
}

std::vector<std::string> SplitRecipients(std::string_view recipients) {
  return VCore::SplitByChars(recipients, ",;");
}

std::string Base64Lines(std::string_view bytes) {
  const std::string b64 = VBase64::EncodeBuffer(bytes.data(), bytes.size());
  std::string out;
  for (std::size_t i = 0; i < b64.size(); i += 80) {
    out += b64.substr(i, 80);
    if (i + 80 <= b64.size()) out += "\r\n";  // a full line
  }
  return out;
}

std::string AttachmentType(std::string_view path) {
  const std::string name = VCore::ExtractFileName(path);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && VCore::UpperCase(name.substr(dot)) == ".PNG") return "image/png";
  return "application/octet-stream";
}

namespace {

// A "." at the start of a line of the text is doubled (the server removes it again).
std::string DotStuffed(std::string_view text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && c == '.') out += '.';
    out += c;
    line_start = c == '\n';
  }
  return out;
}

bool IsSevenBit(std::string_view text) {
  for (const unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

bool IsMultiByteCharset(std::string_view charset) {
  for (const char* name : {"shift_jis", "gbk", "ks_c_5601-1987", "big5", "utf-8"})
    if (charset == name) return true;
  return false;
}

}  // namespace

std::string CrLfText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string CodePageCharset(unsigned code_page) {
  switch (code_page) {
    case 932:
      return "shift_jis";
    case 936:
      return "gbk";
    case 949:
      return "ks_c_5601-1987";
    case 950:
      return "big5";
    case 20866:
      return "koi8-r";
    case 21866:
      return "koi8-u";
    case 65001:
      return "utf-8";
    case 437:
    case 850:
    case 852:
    case 855:
    case 857:
    case 860:
    case 861:
    case 862:
    case 863:
    case 864:
    case 865:
    case 866:
    case 869:
      return "ibm" + std::to_string(code_page);
    default:
      break;
  }
  if (code_page >= 28591 && code_page <= 28605)
    return "iso-8859-" + std::to_string(code_page - 28590);
  return "windows-" + std::to_string(code_page);
}

std::string EncodedHeaderText(std::string_view text, std::string_view charset) {
  if (IsSevenBit(text)) return std::string(text);
  // Words of at most 75 characters; a multi-byte charset is not cut inside a character.
  const std::size_t chunk = IsMultiByteCharset(charset) ? text.size() : 42;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += chunk) {
    const std::string_view piece = text.substr(i, chunk);
    if (i) out += "\r\n ";
    out += "=?" + std::string(charset) + "?B?" + VBase64::EncodeBuffer(piece.data(), piece.size()) +
           "?=";
  }
  return out;
}

std::string ComposeMailMessage(const TMailMessage& m) {
  const std::string boundary = kMimeBoundary;
  std::string s;
  s += "Date: " + m.date + "\r\n";
  s += "From: " + m.from + "\r\n";
  s += "Subject: " + EncodedHeaderText(FlattenControlChars(m.subject), m.charset) + "\r\n";
  s += "To: <" + FlattenControlChars(m.recipient) + ">\r\n";
  s += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\";\r\n";
  s += "MIME-Version: 1.0\r\n";
  s += "Message-ID: <" + std::to_string(m.message_id) + "@" + kMessageIdDomain + ">\r\n";
  s += "\r\n";
  s += "This is a multi-part message in MIME format\r\n\r\n--" + boundary + "\r\n";
  const std::string text = CrLfText(m.text);
  if (IsSevenBit(text)) {
    s += "Content-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\n";
    s += DotStuffed(text) + "\r\n";
  } else {
    s += "Content-Type: text/plain; charset=\"" + m.charset +
         "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    s += Base64Lines(text) + "\r\n";
  }
  for (const auto& a : m.attachments) {
    s += "\r\n--" + boundary + "\r\nContent-Type: " + AttachmentType(a.path) + ";\r\n";
    s += "        name=\"" + a.name + "\"\r\n";
    s += "Content-Transfer-Encoding: base64\r\n";
    s += "Content-Disposition: attachment;\r\n";
    s += "        filename=\"" + a.name + "\"\r\n\r\n";
    s += Base64Lines(a.bytes) + "\r\n";
  }
  s += "--" + boundary + "--\r\n";
  s += ".";
  return s;
}

std::string WebSendWarning(std::string_view name, std::int32_t result,
                           std::string_view error_text) {
  std::string suffix;
  if (result == -1)
    suffix = " - Cannot find the \"wininet.dll\" library.";
  else if (!error_text.empty())
    suffix = " (" + std::string(error_text) + ")";
  return std::string(name) + " error code: " + std::to_string(result) + suffix;
}

}  // namespace ExceptionLog

namespace ExceptionLog {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  return true;
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         StartsWithNoCase(text.substr(text.size() - suffix.size()), suffix);
}

bool LessNoCase(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char x = Lower(a[i]), y = Lower(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool IsKeptZipName(std::string_view name) {
  constexpr std::string_view kStem = "BugReport", kExt = ".zip";
  if (!StartsWithNoCase(name, kStem) || !EndsWithNoCase(name, kExt)) return false;
  if (name.size() < kStem.size() + kExt.size()) return false;
  const std::string_view middle =
      name.substr(kStem.size(), name.size() - kStem.size() - kExt.size());
  if (middle.empty() || middle.substr(0, 2) == "__")
    return middle.find_first_of("\\/") == middle.npos;
  return middle[0] == '_' && AllDigits(middle.substr(1));
}

std::string NumberedFileName(std::string_view name, int number) {
  std::string out(name);
  const std::size_t dot = out.rfind('.');
  out.insert(dot == std::string::npos ? out.size() : dot, "_" + std::to_string(number));
  return out;
}

std::vector<std::string> KeptZipsToPrune(const std::vector<std::string>& names, std::size_t keep) {
  std::vector<std::string> kept;
  for (const std::string& name : names)
    if (IsKeptZipName(name)) kept.push_back(name);
  std::sort(kept.begin(), kept.end(), LessNoCase);
  if (kept.size() <= keep) return {};
  kept.resize(kept.size() - keep);
  return kept;
}

bool ParseCrashTime(std::string_view text, std::int64_t* seconds) {
  // yyyy-mm-dd hh:nn:ss
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':')
    return false;
  const auto number = [&](std::size_t at, std::size_t n, int* out) {
    if (!AllDigits(text.substr(at, n))) return false;
    *out = std::stoi(std::string(text.substr(at, n)));
    return true;
  };
  int y, mo, d, h, mi, s;
  if (!number(0, 4, &y) || !number(5, 2, &mo) || !number(8, 2, &d) || !number(11, 2, &h) ||
      !number(14, 2, &mi) || !number(17, 2, &s))
    return false;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
  // Days from the civil date (proleptic Gregorian).
  const int yy = mo <= 2 ? y - 1 : y;
  const int era = yy / 400;
  const int yoe = yy - era * 400;
  const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t days =
      static_cast<std::int64_t>(era) * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy;
  *seconds = days * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

bool CrashRuleDue(const std::vector<std::string>& times, int count, int minutes) {
  if (count <= 0 || static_cast<int>(times.size()) != count) return false;
  std::int64_t oldest = 0, newest = 0;
  if (!ParseCrashTime(times.front(), &oldest) || !ParseCrashTime(times.back(), &newest))
    return false;
  return newest - oldest <= static_cast<std::int64_t>(minutes) * 60;
}

}  // namespace ExceptionLog
