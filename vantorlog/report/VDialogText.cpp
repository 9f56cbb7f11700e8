#include "VDialogText.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "VTextUtils.h"

namespace ExceptionLog {

namespace {

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string_view::npos) {
      if (start < text.size()) lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string Escape(const std::string& line) {
  std::string out;
  for (char c : line) {
    if (c == '\\' || c == '{' || c == '}') out += '\\';
    out += c;
  }
  return out;
}

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

void PutLE(TSourceMessage& m, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) m[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutName(TSourceMessage& m, std::size_t at, const std::string& name) {
  const std::size_t n = std::min(name.size(), kSourceNameField - 1);
  std::memcpy(m.data() + at, name.data(), n);
}

}  // namespace

bool IsValidEmail(const std::string& text) {
  return text.find('@') != std::string::npos && text.find('.') != std::string::npos;
}

std::string ReplaceEmailItem(const std::string& report, const std::string& email) {
  static constexpr char kMarker[] = "\r\n  3.3 ";
  const std::size_t marker = report.find(kMarker);
  if (marker == std::string::npos) return report;
  const std::size_t colon = report.find(": ", marker + std::strlen(kMarker));
  if (colon == std::string::npos) return report;
  const std::size_t value = colon + 2;
  std::size_t end = report.find("\r\n", value);
  if (end == std::string::npos) end = report.size();
  return report.substr(0, value) + email + report.substr(end);
}

TLineAndOffset SplitLineText(const std::string& text) {
  TLineAndOffset out;
  std::size_t i = 0;
  std::int64_t line = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
    line = line * 10 + (text[i++] - '0');
  out.line = static_cast<std::int32_t>(line);
  const std::size_t bracket = text.find('[');
  if (bracket != std::string::npos) {
    std::int64_t offset = 0;
    for (std::size_t j = bracket + 1;
         j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])); ++j)
      offset = offset * 10 + (text[j] - '0');
    out.offset = static_cast<std::int32_t>(offset);
  }
  return out;
}

TSourceMessage SourceLocationMessage(const std::string& unit_name, const std::string& class_name,
                                     const std::string& procedure_name,
                                     const std::string& line_text, std::uint32_t debug_value1,
                                     std::uint32_t debug_value2) {
  TSourceMessage m{};
  PutName(m, 90, unit_name);
  PutName(m, 180, class_name);
  PutName(m, 270, procedure_name);
  const TLineAndOffset lo = SplitLineText(line_text);
  PutLE(m, 360, static_cast<std::uint32_t>(lo.line));
  PutLE(m, 364, static_cast<std::uint32_t>(lo.offset));
  PutLE(m, 368, debug_value1);
  PutLE(m, 372, debug_value2);
  return m;
}

std::string SourceMailslotName(std::uint32_t process_id) {
  return "\\\\.\\mailslot\\VantorLog" + std::to_string(process_id);
}

int DialogExtraHeight(bool send_offered, bool screenshot_offered, bool copy_offered,
                      bool link_present) {
  if ((send_offered && screenshot_offered) || (copy_offered && link_present)) return 34;
  if (send_offered || screenshot_offered || copy_offered || link_present) return 20;
  return 0;
}

int TabPageIndex(int tab_index, bool modules_tabs, bool assembler_tabs) {
  int index = tab_index < 0 ? -tab_index : tab_index;
  if (index > 1) {
    if (!modules_tabs && (index == 2 || index == 3)) index += 2;
    if (!assembler_tabs && (index == 4 || index == 5)) index += 2;
  }
  return index;
}

int FirstTabIndex(int first_tab, bool modules_tabs, bool assembler_tabs) {
  if ((first_tab == 2 || first_tab == 3) && !modules_tabs) return 0;
  if ((first_tab == 4 || first_tab == 5) && !assembler_tabs) return 0;
  if (first_tab < 0 || first_tab > 5) return 0;
  return first_tab;
}

int ModuleImageIndex(const std::string& file_name) {
  const std::size_t dot = file_name.find_last_of('.');
  if (dot == std::string::npos) return 0;
  std::string ext = file_name.substr(dot);
  for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (ext == ".BPL" || ext == ".DPL") return 1;
  if (ext == ".EXE") return 2;
  return 0;
}

std::string DetailsButtonText(const std::string& text, bool detailed) {
  return detailed ? "<< " + text : text + " >>";
}

TPlacementToApply PlacementToApply(int left, int top, int width, int height, int state,
                                   int extra_height) {
  TPlacementToApply p;
  p.left = left;
  p.top = top;
  p.width = width;
  p.height = height + extra_height;
  p.maximised = state == 3;
  return p;
}

bool EmailKeepsDialogOpen(const std::string& email, bool cancelled) {
  return !cancelled && !email.empty() && !IsValidEmail(email);
}

namespace {

std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line.empty() ? " " : line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

bool IsWordSeparator(char c) {
  return c == ' ' || c == '\t' || c == '-' || c == ',' || c == ';' || c == '/' || c == '\\';
}

}  // namespace

int WrappedTextHeight(const std::string& text, int width, int line_height,
                      const std::function<int(const std::string&)>& measure) {
  const int limit = width - 6;
  int height = 0;
  for (const std::string& line : TextLines(text)) {
    height += line_height;
    int used = 0;
    std::size_t i = 0;
    while (i < line.size()) {
      std::size_t j = i;
      while (j < line.size() && !IsWordSeparator(line[j])) ++j;
      while (j < line.size() && IsWordSeparator(line[j])) ++j;
      const int w = measure(line.substr(i, j - i));
      if (used + w <= limit) {
        used += w;
      } else {
        height += ((w - 1) / std::max(1, width) + 1) * line_height;
        used = w;
      }
      i = j;
    }
  }
  return height;
}

TCompactSize CompactDialogSize(const std::string& message, const std::string& check_box_line,
                               int line_height, int frame_x, int frame_y, int caption_height,
                               int extra_height,
                               const std::function<int(const std::string&)>& measure) {
  const int limit = 640 - (2 * frame_x + 58);
  std::vector<std::string> lines = TextLines(message);
  lines.push_back(check_box_line);
  int width = 0, height = 0;
  for (const std::string& line : lines) {
    int w = measure(line) + 16;
    height += line_height;
    if (w > limit) {
      height += line_height * ((w - limit) / limit + 1);
      w = limit;
    }
    width = std::max(width, w);
  }
  TCompactSize size;
  size.width = std::max(width + 2 * frame_x + 58, 340);
  // The check-box rows lie below the buttons: without them the buttons would cover the icon.
  size.height = std::max(height - 39, 0) + 2 * frame_y + caption_height + 86 + extra_height;
  return size;
}

std::string AssemblerPageRtf(std::string_view section, int charset, std::string_view font_face,
                             int point_size) {
  std::string out = VCore::RtfPageHeader(charset, font_face) + "\\f0\\fs" +
                    std::to_string(point_size * 2) + "\r\n";
  for (const std::string& raw : SplitLines(section)) {
    std::string line = Escape(raw);
    const bool address_line = line.size() >= 8 &&
                              std::all_of(line.begin(), line.begin() + 8, IsHex) &&
                              (line.size() == 8 || line[8] == ' ');
    if (line.find("<-- EXCEPTION") != std::string::npos) {
      line = "\\cf4\\b " + line + "\\b0";
    } else if (address_line) {
      std::string code = line.substr(8);
      const std::size_t semi = code.find(';');
      if (semi != std::string::npos) code = code.substr(0, semi) + "\\b0\\cf7 " + code.substr(semi);
      line = "\\cf5 " + line.substr(0, 8) + "\\cf2 " + code;
    } else if (!line.empty() && line.front() != ' ' && line.find('(') != std::string::npos) {
      line = "\\cf6 " + line;
    } else if (!line.empty() && line.back() == ':') {
      line = "\\cf3\\b " + line + "\\b0";
    } else {
      line = "\\cf2 " + line;
    }
    out += line + "\\par\r\n";
  }
  return out + "}";
}

std::string CpuPageRtf(std::string_view section, int charset, std::string_view font_face,
                       int point_size, int column_twips) {
  std::string out = VCore::RtfPageHeader(charset, font_face) + "\\f0\\fs" +
                    std::to_string(point_size * 2) + "\r\n";
  if (column_twips > 0) {
    out += "\\pard";
    for (int i = 1; i <= 4; ++i) out += "\\tx" + std::to_string(column_twips * i);
    out += "\r\n";
  }
  for (const std::string& raw : SplitLines(section)) {
    std::string line = Escape(raw);
    if (!line.empty() && line.front() == '-') {
      line = "\\cf3 " + line;
    } else if (!line.empty() && line.back() == ':') {
      line = "\\cf3\\b " + line + "\\b0";
    } else if (column_twips > 0) {
      // Columns separated by three or more blanks go to the tab stops.
      std::string cols;
      std::size_t i = 0;
      while (i < line.size()) {
        const std::size_t gap = line.find("   ", i);
        if (gap == std::string::npos) {
          cols += line.substr(i);
          break;
        }
        cols += line.substr(i, gap - i) + "\\tab ";
        i = line.find_first_not_of(' ', gap);
        if (i == std::string::npos) break;
      }
      line = "\\cf2 " + cols;
    } else {
      line = "\\cf2 " + line;
    }
    out += line + "\\par\r\n";
  }
  return out + "}";
}

}  // namespace ExceptionLog
