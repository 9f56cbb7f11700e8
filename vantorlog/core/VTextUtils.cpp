#include "VTextUtils.h"

#include <cmath>
#include <cstdio>

#include "VSystem.h"

namespace VCore {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

std::string Format(const char* format, auto... args) {
  char buffer[256];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  return std::string(buffer, n < 0                                         ? 0
                             : static_cast<std::size_t>(n) < sizeof buffer ? n
                                                                           : sizeof buffer - 1);
}

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    lines.emplace_back(text.substr(start, stop - start));
    start = end + 1;
  }
  if (!lines.empty() && lines.back().empty() && !text.empty() && text.back() == '\n')
    lines.pop_back();
  return lines;
}

}  // namespace

std::string Trim(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return std::string(text.substr(b, e - b));
}

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::vector<std::string> SplitByChars(std::string_view text, std::string_view chars,
                                      bool keep_empty, bool no_trim) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find_first_of(chars, start);
    const std::string_view piece =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    std::string item = no_trim ? std::string(piece) : Trim(piece);
    if (!item.empty() || keep_empty) items.push_back(std::move(item));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return items;
}

std::vector<std::string> SplitKeepingDelims(std::string_view text, std::string_view delims) {
  std::vector<std::string> items;
  std::string run;
  for (char c : text) {
    if (delims.find(c) != std::string_view::npos) {
      if (!run.empty()) items.push_back(std::move(run));
      run.clear();
      items.emplace_back(1, c);
    } else {
      run += c;
    }
  }
  if (!run.empty()) items.push_back(std::move(run));
  return items;
}

std::size_t PosFrom(std::string_view text, std::string_view sub, std::size_t start) {
  if (start == 0) start = 1;
  if (sub.empty() || start > text.size()) return 0;
  const std::size_t at = text.find(sub, start - 1);
  return at == std::string_view::npos ? 0 : at + 1;
}

std::string ReplaceAll(std::string_view text, std::string_view old_text,
                       std::string_view new_text) {
  if (old_text.empty()) return std::string(text);
  std::string out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(old_text, start);
    if (at == std::string_view::npos) break;
    out.append(text.substr(start, at - start));
    out.append(new_text);
    start = at + old_text.size();
  }
  out.append(text.substr(start));
  return out;
}

std::string ExpandEnvRefs(std::string_view text) { return ExpandEnvRefs(text, GetEnvVar); }

std::string ExpandEnvRefs(std::string_view text, const TEnvLookup& lookup) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '%') {
      std::size_t j = i + 1;
      while (j < text.size() && IsNameChar(text[j])) ++j;
      if (j < text.size() && text[j] == '%' && j > i + 1) {
        out += lookup(std::string(text.substr(i + 1, j - i - 1)));
        i = j + 1;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '&') {
      out += "&amp;";
    } else if (c == '"') {
      out += "&quot;";
    } else if (c == '\'') {
      out += "&#039;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == ' ' && i + 1 < text.size() && text[i + 1] == ' ') {
      out += "&nbsp;&nbsp;";
      ++i;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "<br>\r\n";
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

std::string ElapsedTimeText(double days) {
  long long total = std::llround(days * 86400.0);
  if (total < 0) total = 0;
  const long long parts[4] = {total / 86400, total / 3600 % 24, total / 60 % 60, total % 60};
  static const char* const kWords[4] = {"day", "hour", "minute", "second"};
  std::string out;
  for (int k = 0; k < 4; ++k) {
    if (k < 3 && parts[k] == 0) continue;
    out += Format("%lld %s%s", parts[k], kWords[k], parts[k] == 1 ? "" : "s");
    if (k < 3) out += ", ";
  }
  return out;
}

std::string SizeInKbText(std::uint64_t bytes) {
  if (bytes == 0) return {};
  return std::to_string((bytes + 512) / 1024) + " Kb";
}

std::string NumberOrUnknown(std::int64_t n) { return n == 0 ? "??" : std::to_string(n); }

std::string PriorityClassName(std::uint32_t priority_class) {
  switch (priority_class) {
    case 32:
      return "Normal";
    case 64:
      return "Low";
    case 128:
      return "High";
    case 256:
      return "Real-Time";
    case 0x4000:
      return "Below-Normal";
    case 0x8000:
      return "Above-Normal";
    default:
      return {};
  }
}

std::string Rfc822DateText(const TDateTimeParts& t, int utc_offset_minutes) {
  static const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int dow = t.day_of_week >= 0 && t.day_of_week < 7 ? t.day_of_week : 0;
  const int month = t.month >= 1 && t.month <= 12 ? t.month - 1 : 0;
  const int offset = utc_offset_minutes < 0 ? -utc_offset_minutes : utc_offset_minutes;
  const std::string zone =
      Format("%c%02d%02d", utc_offset_minutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return Format("%s, %d %s %d %0.2d:%0.2d:%0.2d %s", kDays[dow], t.day, kMonths[month], t.year,
                t.hour, t.minute, t.second, zone.c_str());
}

std::string IncludeTrailingSlash(std::string_view path) {
  std::string out(path);
  if (out.empty() || out.back() != '\\') out += '\\';
  return out;
}

std::string ExcludeTrailingSlash(std::string_view path) {
  std::string out(path);
  if (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

std::string ExtractFileName(std::string_view path) {
  const std::size_t at = path.find_last_of("\\/:");
  return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

std::string ExtractFileFolder(std::string_view path) {
  const std::size_t at = path.find_last_of("\\/:");
  return at == std::string_view::npos ? std::string() : std::string(path.substr(0, at + 1));
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  const std::size_t dot = path.find_last_of('.');
  const std::size_t slash = path.find_last_of("\\/:");
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
    return std::string(path) + std::string(ext);
  return std::string(path.substr(0, dot)) + std::string(ext);
}

std::string StripVsHost(std::string_view text) { return ReplaceAll(text, ".vshost", ""); }

std::string LogPathFor(std::string_view log_folder, std::string_view file_name) {
  const std::string lower = LowerCase(log_folder);
  if (lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".vlf") == 0)
    return std::string(log_folder);
  std::string folder = log_folder.empty() ? ExtractFileFolder(file_name) : std::string(log_folder);
  return IncludeTrailingSlash(folder) + ExtractFileName(file_name);
}

std::string SanitizeComputerName(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos) c = '_';
  return out;
}

std::string InsertComputerName(std::string_view path, std::string_view computer_name) {
  const std::string ext_less = ChangeFileExt(path, "");
  const std::string ext(path.substr(ext_less.size()));
  return ext_less + "_" + SanitizeComputerName(computer_name) + ext;
}

std::string ShortVersionText(std::string_view version) {
  const auto parts = SplitByChars(version, ".", true);
  if (parts.size() < 2) return std::string(version);
  return parts[0] + "." + parts[1] + ".x";
}

std::string WindowsVersionName(const TWindowsVersion& v) {
  std::string name = "Microsoft Windows ";
  const char letter = v.csd.empty() ? '\0'
                      : v.csd.find_first_not_of(' ') == std::string::npos
                          ? '\0'
                          : v.csd[v.csd.find_first_not_of(' ')];
  if (v.platform_id == 1) {
    if (v.minor < 10)
      name += letter == 'B' ? "95 OSR 2" : "95";
    else if (v.minor < 90)
      name += letter == 'A' ? "98 SE" : "98";
    else
      name += "ME";
  } else if (v.major <= 4) {
    name += "NT " + std::to_string(v.major) + "." + std::to_string(v.minor);
  } else if (v.major == 5 && v.minor == 0) {
    name += "2000";
  } else if (v.major == 5 && (v.minor == 1 || (v.minor == 2 && v.wow64))) {
    name += "XP";
  } else if (v.major == 5 && v.minor == 2) {
    name += "2003";
  } else if (v.major == 6 && v.minor == 0) {
    name += "Vista";
  } else if (v.major == 6 && v.minor == 1) {
    name += "7";
  } else if (v.major == 6 && v.minor == 2) {
    name += "8";
  } else if (v.major == 6 && v.minor == 3) {
    name += "8.1";
  } else if (v.major == 10 && v.minor == 0) {
    name += v.build >= 22000 ? "11" : "10";
  } else {
    name += std::to_string(v.major) + "." + std::to_string(v.minor);
  }
  if (v.wow64) name += " (64 bit)";
  return name;
}

std::string WindowsBuildText(const TWindowsVersion& v) {
  return std::to_string(v.platform_id == 1 ? (v.build & 0xFFFF) : v.build);
}

std::string RtfEscapeLines(std::string_view text) {
  std::string out;
  for (const std::string& line : Lines(text)) {
    for (char c : line) {
      if (c == '\\' || c == '{' || c == '}') out += '\\';
      out += c;
    }
    out += "\\par\r\n";
  }
  return out;
}

std::string RtfPageHeader(int charset, std::string_view font_face) {
  return "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1040{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset" +
         std::to_string(charset) + " " + std::string(font_face) +
         ";}}\r\n{\\colortbl ;\\red0\\green100\\blue100;\\red0\\green0\\blue0;\\red40\\green40"
         "\\blue40;\\red0\\green0\\blue160;\\red160\\green0\\blue0;\\red80\\green80\\blue80;"
         "\\red0\\green100\\blue0;}\r\n";
}

std::string GeneralPageRtf(std::string_view report, int charset, std::string_view font_face,
                           int point_size) {
  std::string out =
      RtfPageHeader(charset, font_face) + "\\f0\\fs" + std::to_string(point_size * 2) + "\r\n";
  bool first = true;
  for (const std::string& raw : Lines(report)) {
    std::string line;
    for (char c : raw) {
      if (c == '\\' || c == '{' || c == '}') line += '\\';
      line += c;
    }
    if (first) {
      line = "\\cf1\\b " + line + "\\b0";
      first = false;
    } else if (!line.empty() && line.back() == ':' && line.front() != ' ') {
      line = "\\cf3\\b " + line + "\\b0";
    } else if (!line.empty() && line.front() == '-') {
      line = "\\cf3 " + line;
    } else if (const std::size_t colon = line.find(": "); colon != std::string::npos) {
      std::string caption = line.substr(0, colon);
      std::size_t at = caption.find_first_not_of(' ');
      if (at != std::string::npos) {
        at = caption.find(' ', at);
        if (at != std::string::npos) caption.insert(at, "\\cf2 ");
      }
      line = "\\cf5 " + caption + "\\cf4 " + line.substr(colon);
    }
    out += line + "\\par\r\n";
  }
  return out + "}";
}

}  // namespace VCore
