// Report log: loading, splitting, saving and the numbered items of the stored reports.
#include "VLogFile.h"

#include <algorithm>
#include <cstring>

#include "ReportText.h"
#include "VTextUtils.h"

namespace ExceptionLog {

namespace {

constexpr char kCrLf[] = "\r\n";
constexpr char kRun[] = "\r\n\r\n\r\n\r\n";  // four pairs end a report

bool EndsWith(const std::string& text, const char* tail) {
  const std::size_t n = std::strlen(tail);
  return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

// The line break that ends the value starting at from: one followed by a blank line, by an
// item line (two blanks and a non-blank) or by the end of the text.
std::size_t ValueEnd(const std::string& text, std::size_t from) {
  std::size_t at = from;
  while ((at = text.find(kCrLf, at)) != std::string::npos) {
    const std::size_t next = at + 2;
    if (next >= text.size() || text.compare(next, 2, kCrLf) == 0) return at;
    if (text.size() >= next + 3 && text[next] == ' ' && text[next + 1] == ' ' &&
        text[next + 2] != ' ')
      return at;
    at = next;
  }
  return text.size();
}

struct TItemPlace {
  std::size_t line = 0;          // start of the item line
  std::size_t value = 0;         // first character after ": "
  std::size_t end = 0;           // line break ending the value
  std::size_t colon_column = 0;  // 1-based colon position in its line
};

bool FindItem(const std::string& report, const std::string& item_id, TItemPlace& place) {
  const std::size_t at = report.find("\r\n  " + item_id + " ");
  if (at == std::string::npos) return false;
  const std::size_t colon = report.find(": ", at + 2);
  if (colon == std::string::npos) return false;
  place.line = at + 2;
  place.value = colon + 2;
  place.end = ValueEnd(report, place.value);
  place.colon_column = colon - place.line + 1;
  return true;
}

// The value as TLogItem writes it when its colon stands at column (1-based).
std::string FormattedValue(const std::string& value, std::size_t column) {
  if (column < 7) column = 7;  // "  g.i " and an empty caption at least
  TLogItem item(0);
  item.AddGroup("G");
  item.AddItem(std::string(column - 7, ' '), value, true);
  const std::string text = item.GetText();
  // "G:\r\n" + underline + "\r\n" + item line(s) + "\r\n".
  std::size_t at = text.find(kCrLf);
  at = text.find(kCrLf, at + 2) + 2;
  const std::size_t colon = text.find(": ", at);
  return text.substr(colon + 2, text.size() - 2 - (colon + 2));
}

}  // namespace

std::string NormaliseLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += kCrLf;
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n' && i > 0) {
      out += kCrLf;
    } else {
      out += c;
    }
  }
  return out;
}

TLogFile::~TLogFile() = default;

void TLogFile::LoadFromStream(TStream& stream) {
  reports_.clear();
  std::string text;
  char buffer[65536];
  for (;;) {
    const std::int32_t n = stream.Read(buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  const std::size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  if (text.size() < 6) return;
  // A file cut short after a report's last line (or inside it) still ends that report.
  if (!EndsWith(text, "\r\n") && !EndsWith(text, "\r") && !EndsWith(text, "\n")) text += kCrLf;
  if (!EndsWith(text, kReportEnd)) text += kReportEnd;
  SplitReports(text);
}

void TLogFile::SplitReports(const std::string& text) {
  const std::string normal = NormaliseLineBreaks(text);
  std::size_t from = 0;
  for (;;) {
    const std::size_t run = normal.find(kRun, from);
    if (run == std::string::npos) break;
    std::string piece = normal.substr(from, run + 6 - from);
    if (piece.find(kReportMark) != std::string::npos) reports_.push_back(std::move(piece));
    from = run + 8;
  }
}

std::string TLogFile::GetText() const {
  std::string text;
  for (const std::string& report : reports_) text += report + kCrLf;
  return text;
}

void TLogFile::SaveToStream(TStream& stream) const {
  std::string text = GetText();
  if (text.empty()) return;
  if (text.size() >= 10 && text.compare(text.size() - 10, 2, kCrLf) == 0)
    text.resize(text.size() - 2);
  stream.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
}

void TLogFile::AddReport(const std::string& report, int max_count) {
  if (max_count != -1 && ReportCount() >= max_count) {
    const std::size_t drop = std::min<std::size_t>(
        reports_.size(), static_cast<std::size_t>(static_cast<std::int64_t>(reports_.size()) -
                                                  std::max(max_count, 0) + 1));
    reports_.erase(reports_.begin(), reports_.begin() + static_cast<std::ptrdiff_t>(drop));
  }
  reports_.push_back(report + kReportEnd);
}

int TLogFile::FindReport(const std::vector<std::string>& ids,
                         const std::vector<std::string>& values, int pair_count) const {
  const std::size_t pairs =
      std::min({ids.size(), values.size(), static_cast<std::size_t>(std::max(pair_count, 0))});
  int found = -1;
  for (std::size_t r = 0; r < reports_.size(); ++r) {
    const std::string& report = reports_[r];
    for (std::size_t p = 0; p < pairs; ++p) {
      TItemPlace place;
      if (!FindItem(report, ids[p], place)) continue;
      const std::string wanted = FormattedValue(values[p], place.colon_column) + kCrLf;
      if (report.compare(place.value, wanted.size(), wanted) == 0) found = static_cast<int>(r);
    }
  }
  return found;
}

std::string TLogFile::GetItemValue(const std::string& item_id, int index) const {
  if (index < 0 || index >= ReportCount()) return {};
  const std::string& report = reports_[static_cast<std::size_t>(index)];
  TItemPlace place;
  if (!FindItem(report, item_id, place)) return {};
  const std::string raw = report.substr(place.value, place.end - place.value);
  std::string out;
  std::size_t from = 0;
  for (bool first = true;; first = false) {
    const std::size_t at = raw.find(kCrLf, from);
    std::string line = raw.substr(from, at == std::string::npos ? std::string::npos : at - from);
    line.erase(0, line.find_first_not_of(' ') == std::string::npos ? line.size()
                                                                   : line.find_first_not_of(' '));
    line = VCore::ReplaceAll(line, ":_", ": ");
    if (line == ".") line.clear();
    if (!first) out += kCrLf;
    out += line;
    if (at == std::string::npos) break;
    from = at + 2;
  }
  return VCore::Trim(out);
}

void TLogFile::SetItemValue(const std::string& item_id, const std::string& value, int index,
                            const std::string& caption) {
  if (index < 0 || index >= ReportCount()) return;
  std::string& report = reports_[static_cast<std::size_t>(index)];
  TItemPlace place;
  if (FindItem(report, item_id, place)) {
    report.replace(place.value, place.end - place.value, value);
    if (!EndsWith(report, kReportEnd)) report += kCrLf;
    return;
  }
  const std::size_t dot = item_id.find('.');
  if (dot == std::string::npos) return;
  const std::string group = item_id.substr(0, dot + 1);
  TItemPlace last;
  bool any = false;
  for (int n = 1; n <= 19; ++n) {
    TItemPlace p;
    if (FindItem(report, group + std::to_string(n), p) && (!any || p.line > last.line)) {
      last = p;
      any = true;
    }
  }
  if (!any) return;
  std::string line = "  " + item_id + " " + caption;
  if (line.size() + 1 < last.colon_column) line.append(last.colon_column - 1 - line.size(), ' ');
  line += ": " + value + kCrLf;
  // After the last item's value (its line break included), before the group's blank line.
  const std::size_t at = std::min(last.end + 2, report.size());
  report.insert(at, line);
}

int TLogFile::RaiseReportCount(int index) {
  const std::string text = GetItemValue("2.8", index);
  int count = 1;
  if (!text.empty() && text.size() <= 9 &&
      text.find_first_not_of("0123456789") == std::string::npos)
    count = std::stoi(text);
  SetItemValue("2.8", std::to_string(count + 1), index, "Count");
  return count + 1;
}

std::string ReportFileName(const std::string& file_name, std::uint16_t send_flags,
                           const std::string& computer_name, const std::string& exception_time) {
  std::string name = VCore::ExtractFileName(file_name);
  const auto insert = [&name](const std::string& part) {
    const std::size_t dot = name.rfind('.');
    name.insert(dot == std::string::npos ? name.size() : dot, "__" + part);
  };
  if (send_flags & 0x200) insert(computer_name);
  if (send_flags & 0x100) insert(exception_time);
  return name;
}

}  // namespace ExceptionLog
