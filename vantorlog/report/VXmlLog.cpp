// XML form of the report log: the tree writer and the section parsers of a report text.
#include "VXmlLog.h"

#include <cstdio>
#include <fstream>

#include "VBase64.h"
#include "VEncrypt.h"
#include "VLogFile.h"
#include "VTextUtils.h"

namespace ExceptionLog {

namespace {

constexpr char kCrLf[] = "\r\n";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t at = text.find(kCrLf, from);
    if (at == std::string::npos) {
      lines.push_back(text.substr(from));
      break;
    }
    lines.push_back(text.substr(from, at - from));
    from = at + 2;
  }
  return lines;
}

bool IsBlank(const std::string& line) { return line.find_first_not_of(' ') == std::string::npos; }

std::string RightTrim(std::string text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  return text;
}

// Characters from..to (1-based, inclusive) of a line; what exists of them.
std::string Chars(const std::string& line, std::size_t from, std::size_t to) {
  if (line.size() < from) return {};
  return line.substr(from - 1, to - from + 1);
}

// Stored reports after the first start with the line break left over from the run that ended
// the report before them; the report's own text starts after it.
std::string ReportBody(const std::string& report) {
  std::size_t at = 0;
  while (report.compare(at, 2, kCrLf) == 0) at += 2;
  return report.substr(at);
}

std::size_t LineStartOf(const std::string& text, std::size_t at) {
  const std::size_t lf = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
  return lf == std::string::npos ? 0 : lf + 1;
}

// The anchor: the end of the call-stack table's top border and its header row.
std::size_t Anchor(const std::string& report) { return report.find(kReportMark); }

// Cells between the row's first and last "|", trimmed.
std::vector<std::string> Cells(const std::string& row) {
  std::vector<std::string> cells;
  const std::size_t first = row.find('|'), last = row.rfind('|');
  if (first == std::string::npos || last == first) return cells;
  std::size_t from = first + 1;
  for (;;) {
    const std::size_t at = row.find('|', from);
    if (at == std::string::npos || at > last) break;
    cells.push_back(VCore::Trim(row.substr(from, at - from)));
    from = at + 1;
  }
  return cells;
}

// Table rows of a section text: lines from the fourth to the next-to-last, separator rows out.
std::vector<std::vector<std::string>> Rows(const std::string& section) {
  std::vector<std::vector<std::string>> rows;
  const std::vector<std::string> lines = Lines(section);
  for (std::size_t i = 3; i + 1 < lines.size(); ++i) {
    if (lines[i].rfind("|-", 0) == 0) continue;
    rows.push_back(Cells(lines[i]));
  }
  return rows;
}

std::string Rendered(TXMLItem& root) { return root.Children().Count() ? root.GetText() : ""; }

// The n-th captioned section after the anchor: the position of its dash line.
std::size_t CaptionedSection(const std::string& report, int n) {
  const std::size_t anchor = Anchor(report);
  if (anchor == std::string::npos) return std::string::npos;
  std::size_t at = anchor;
  for (int i = 0; i < n; ++i) {
    at = report.find(":\r\n-", at + 1);
    if (at == std::string::npos) return at;
  }
  return at + 3;
}

// A table section from its dash line to the end of its closing dash line.
std::string TableAt(const std::string& report, std::size_t dash) {
  if (dash == std::string::npos) return {};
  const std::size_t next = report.find(kCrLf, dash);
  if (next == std::string::npos || report.compare(next + 2, 1, "|") != 0) return {};
  const std::size_t end = report.find("-\r\n\r\n", dash);
  if (end == std::string::npos) return {};
  return report.substr(dash, end + 1 - dash);
}

bool AtLeast(const std::string& report, const char* version) {
  return ReportVersionOf(report) >= version;
}

// ---- General ----

std::string TidyValue(std::string value) {
  if (value.rfind(".\r\n", 0) == 0) value.erase(0, 1);
  if (value.size() >= 3 && value.compare(value.size() - 3, 3, "\r\n.") == 0) value.pop_back();
  value = VCore::ReplaceAll(value, ":_", ": ");
  return VCore::ReplaceAll(value, "\n.\r", "\n\r");
}

// An item line: two blanks, then the id, a blank, the caption and ": " (or a final ":").
bool IsItemLine(const std::string& raw, const std::string& trimmed) {
  if (raw.size() < 3 || raw[0] != ' ' || raw[1] != ' ' || raw[2] == ' ') return false;
  if (trimmed.find(' ') == std::string::npos) return false;
  return trimmed.find(": ") != std::string::npos || trimmed.back() == ':';
}

// ---- Protected names ----

bool IsNameText(const std::string& text) {
  for (const unsigned char c : text)
    if (!(c == '.' || (c >= '0' && c <= '9') || (c >= '@' && c <= 'Z') || c == '_' ||
          (c >= 'a' && c <= 'z')))
      return false;
  return true;
}

std::string Decipher(const std::string& text) {
  std::string data = VBase64::DecodeText(text);
  if (data.empty()) return {};
  VEncrypt::DecryptBuffer(data.data(), data.data(), data.size());
  const std::size_t zero = data.find('\0');
  if (zero != std::string::npos) data.resize(zero);
  return data;
}

void DecipherNames(const std::string& password, std::string& unit, std::string& cls,
                   std::string& procedure) {
  if (password.empty() || unit.size() < 3 || unit[0] != '?') return;
  VEncrypt::SetCipherKey(password);
  std::string u = Decipher(unit.substr(2));
  const std::string p_full = procedure.size() > 1 ? Decipher(procedure.substr(1)) : "";
  std::string c, p = p_full;
  if (p_full.find('.') == std::string::npos) {
    c = cls.size() > 1 ? Decipher(cls.substr(1)) : "";
  } else {
    c = p_full.substr(0, p_full.find('.'));
    p = p_full.substr(p_full.find('.') + 1);
  }
  if (!IsNameText(u) || !IsNameText(c) || !IsNameText(p)) return;
  if (VCore::ExtractFileName(u).find('.') == std::string::npos)
    u += unit[1] == 'p' ? ".cpp" : ".pas";
  if (!p.empty() && p[0] == '@') p[0] = '_';
  unit = u;
  cls = c;
  procedure = p;
}

// "|" rows of a thread header: the text after the first ":" and a blank, split at ";".
void AddThreadAttributes(TXMLItem& item, const std::string& header) {
  const std::size_t colon = header.find(':');
  std::string rest = colon == std::string::npos ? "" : header.substr(colon + 1);
  if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  const std::vector<std::string> parts = VCore::SplitByChars(rest, ";", true, true);
  const auto part = [&parts](std::size_t i) {
    if (i >= parts.size()) return std::string();
    const std::size_t eq = parts[i].find('=');
    return eq == std::string::npos ? std::string() : VCore::Trim(parts[i].substr(eq + 1));
  };
  item.AddAttribute("ID", part(0));
  item.AddAttribute("Priority", part(1));
  item.AddAttribute("Class", part(2));
  item.AddAttribute("MainThread", parts.size() >= 4 ? "True" : "False");
}

}  // namespace

// ---- TXMLItems / TXMLItem ----

TXMLItems::~TXMLItems() {
  while (!items_.empty()) items_.pop_back();  // last first
}

TXMLItem* TXMLItems::Add(const std::string& name) {
  items_.push_back(std::make_unique<TXMLItem>(name));
  return items_.back().get();
}

void TXMLItem::AddAttribute(const std::string& name, const std::string& value) {
  attributes_ += " " + name + "=\"" + Escape(value) + "\"";
}

TXMLItem* TXMLItem::AddChild(const std::string& name) {
  TXMLItem* child = children_.Add(name);
  child->parent_ = this;
  return child;
}

std::string TXMLItem::Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 32 && c != 9 && c != 10 && c != 13) {
      out += ' ';  // no character reference may name it
    } else if (c < 32 || c >= 127 || c == '"' || c == '&' || c == '\'' || c == '<' || c == '>') {
      char ref[8];
      std::snprintf(ref, sizeof ref, "&#%03u;", static_cast<unsigned>(c));
      out += ref;
    } else {
      out += ch;
    }
  }
  return out;
}

void TXMLItem::Render(std::string& text) {
  text += indent_ + "<" + name_ + attributes_;
  if (Value.empty() && children_.Count() == 0) {
    text += "/>\r\n";
    return;
  }
  text += ">" + Value;
  if (children_.Count() > 0) {
    text += kCrLf;
    for (int i = 0; i < children_.Count(); ++i) {
      TXMLItem* child = children_.Items(i);
      child->indent_ = indent_ + "  ";
      child->Render(text);
    }
    text += indent_;
  }
  text += "</" + name_ + ">\r\n";
}

std::string TXMLItem::GetText() {
  std::string text;
  Render(text);
  return text;
}

// ---- Sections ----

std::string ReportVersionOf(const std::string& report) {
  const std::string body = ReportBody(report);
  const std::string first = body.substr(0, body.find(kCrLf));
  return first.size() > 10 ? first.substr(10) : std::string();
}

std::string GeneralToXML(const std::string& report_text) {
  const std::string report = ReportBody(report_text);
  const std::size_t anchor = Anchor(report);
  std::string general = report;
  if (anchor != std::string::npos) {
    const std::size_t dash_line = LineStartOf(report, anchor);
    general = report.substr(0, dash_line == 0 ? 0 : LineStartOf(report, dash_line - 1));
  }
  const std::vector<std::string> lines = Lines(RightTrim(general));
  TXMLItem root("General");
  TXMLItem* group = nullptr;
  TXMLItem* line = nullptr;
  std::string group_label, value;
  bool group_named = false;
  const auto end_item = [&] {
    if (line) line->AddAttribute("Value", TidyValue(value));
    line = nullptr;
    value.clear();
  };
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::string& raw = lines[i];
    if (!group) {
      if (IsBlank(raw)) continue;
      group = root.AddChild("Group");
      group_label = raw.substr(0, raw.size() - 1);
      group_named = false;
      ++i;  // the underline
      continue;
    }
    const std::string trimmed = VCore::Trim(raw);
    if (trimmed.empty()) {
      end_item();
      group = nullptr;
      continue;
    }
    if (IsItemLine(raw, trimmed)) {
      end_item();
      const std::size_t blank = trimmed.find(' ');
      const std::string id = trimmed.substr(0, blank);
      std::size_t colon = trimmed.find(": ");
      if (colon == std::string::npos) colon = trimmed.size() - 1;
      const std::string label = VCore::Trim(trimmed.substr(blank + 1, colon - blank - 1));
      if (!group_named) {
        group->AddAttribute("ID", id.substr(0, id.find('.')));
        group->AddAttribute("Label", group_label);
        group_named = true;
      }
      line = group->AddChild("Line");
      line->AddAttribute("ID", id);
      line->AddAttribute("Label", label);
      value = colon + 2 <= trimmed.size() ? trimmed.substr(colon + 2) : std::string();
    } else if (line) {
      value += kCrLf + trimmed;
    }
  }
  end_item();
  return Rendered(root);
}

std::string CallStackToXML(const std::string& report_text, const std::string& password) {
  const std::string report = ReportBody(report_text);
  const std::size_t anchor = Anchor(report);
  if (anchor == std::string::npos) return {};
  const std::size_t start = LineStartOf(report, anchor);
  const std::size_t end = report.find("-\r\n\r\n", anchor);
  const std::string table =
      report.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
  TXMLItem root("CallStack");
  TXMLItem* thread = nullptr;   // the thread element of the block
  TXMLItem* current = nullptr;  // where rows go
  bool first_header = true, new_thread = false;
  if (!AtLeast(report, "5.0")) {
    thread = current = root.AddChild("ExceptionThread");
    first_header = false;
  }
  for (std::vector<std::string>& cells : Rows(table)) {
    if (cells.size() < 6) {
      const std::string text = cells.empty() ? std::string() : cells[0];
      if (text.empty()) {
        new_thread = true;
        continue;
      }
      if (first_header || new_thread || !thread) {
        thread = current = root.AddChild(first_header ? "ExceptionThread" : "RunningThread");
        first_header = new_thread = false;
      } else {
        current = thread->AddChild("CallingThread");
      }
      AddThreadAttributes(*current, text);
      continue;
    }
    if (!current) {
      thread = current = root.AddChild("ExceptionThread");
      first_header = false;
    }
    DecipherNames(password, cells[2], cells[3], cells[4]);
    TXMLItem* line = current->AddChild("Line");
    line->AddAttribute("Address", cells[0]);
    line->AddAttribute("Module", cells[1]);
    line->AddAttribute("Unit", cells[2]);
    line->AddAttribute("Class", cells[3]);
    line->AddAttribute("Procedure", cells[4]);
    const std::string& number = cells[5];
    const std::size_t open = number.find('['), close = number.rfind(']');
    line->AddAttribute("Number", number.substr(0, open));
    line->AddAttribute("Offset",
                       open != std::string::npos && close != std::string::npos && close > open
                           ? number.substr(open + 1, close - open - 1)
                           : std::string());
  }
  return Rendered(root);
}

std::string ModulesToXML(const std::string& report_text) {
  const std::string report = ReportBody(report_text);
  const std::string table = TableAt(report, CaptionedSection(report, 1));
  TXMLItem root("Modules");
  for (const std::vector<std::string>& c : Rows(table)) {
    if (c.size() < 6) continue;
    TXMLItem* m = root.AddChild("Module");
    m->AddAttribute("Handle", c[0]);
    m->AddAttribute("Name", c[1]);
    m->AddAttribute("Description", c[2]);
    m->AddAttribute("Version", c[3]);
    m->AddAttribute("Size", c[4]);
    if (c.size() >= 7) {
      m->AddAttribute("Modified", c[5]);
      m->AddAttribute("Path", c[6]);
    } else {
      m->AddAttribute("Path", c[5]);
    }
  }
  return Rendered(root);
}

std::string ProcessesToXML(const std::string& report_text) {
  const std::string report = ReportBody(report_text);
  if (!AtLeast(report, "6.0")) return {};
  const std::string table = TableAt(report, CaptionedSection(report, 2));
  TXMLItem root("Processes");
  static const char* const kNames[] = {"ID",     "Name",     "Description", "Version",
                                       "Memory", "Priority", "Threads",     "Path"};
  for (const std::vector<std::string>& c : Rows(table)) {
    if (c.size() < 8) continue;
    TXMLItem* p = root.AddChild("Process");
    for (std::size_t i = 0; i < 8; ++i) p->AddAttribute(kNames[i], c[i]);
  }
  return Rendered(root);
}

std::string AssemblerToXML(const std::string& report_text) {
  const std::string report = ReportBody(report_text);
  if (!AtLeast(report, "6.0")) return {};
  // A report whose exception address could not be read has no assembler header: its third
  // caption is the CPU block's, which then is the last but one (registers, stack and dump).
  if (CaptionedSection(report, 5) == std::string::npos) return {};
  const std::size_t dash = CaptionedSection(report, 3);
  if (dash == std::string::npos) return {};
  const std::size_t from = report.find(kCrLf, dash);
  if (from == std::string::npos) return {};
  TXMLItem root("Assembler");
  std::size_t at = from + 2;
  while (at < report.size()) {
    std::size_t next = report.find(kCrLf, at);
    if (next == std::string::npos) next = report.size();
    const std::string line = VCore::Trim(report.substr(at, next - at));
    if (line.empty()) break;
    TXMLItem* item = root.AddChild("Line");
    if (line[0] == ';') {
      item->AddAttribute("Address", "");
      item->AddAttribute("Command", "");
      item->AddAttribute("Comment", line.substr(1));
    } else {
      const std::size_t semi = line.find(';');
      item->AddAttribute("Address", line.substr(0, 8));
      item->AddAttribute("Command", line.size() > 10 ? line.substr(10, semi == std::string::npos
                                                                           ? std::string::npos
                                                                           : semi - 10)
                                                     : std::string());
      item->AddAttribute("Comment",
                         semi == std::string::npos ? std::string() : line.substr(semi + 1));
    }
    at = next + 2;
  }
  return Rendered(root);
}

std::string CpuToXML(const std::string& report_text) {
  const std::string report = ReportBody(report_text);
  const std::size_t anchor = Anchor(report);
  if (anchor == std::string::npos) return {};
  const std::vector<std::string> lines = Lines(report.substr(LineStartOf(report, anchor)));
  const int wanted = AtLeast(report, "6.0") ? 4 : 2;
  std::size_t i = 1;
  for (int blanks = 0; i < lines.size(); ++i) {
    if (lines[i].empty() && ++blanks == wanted) break;
  }
  // Without an assembler header the blank lines around its empty body come in addition.
  while (i + 1 < lines.size() && lines[i + 1].empty()) ++i;
  if (i >= lines.size()) return {};
  std::vector<std::string> cpu;
  for (std::size_t j = i + 1, blanks = 0; j < lines.size(); ++j) {
    if (lines[j].empty() && ++blanks == 2) break;
    cpu.push_back(lines[j]);
  }
  bool has_eax = false;
  for (const std::string& l : cpu) has_eax = has_eax || l.find("EAX") != std::string::npos;
  if (!has_eax) return {};
  TXMLItem root("CPU");
  TXMLItem* regs = root.AddChild("Registers");
  static const char* const kLeft[] = {"EAX", "EBX", "ECX", "EDX"};
  static const char* const kRight[] = {"EDI", "ESI", "ESP", "EIP"};
  std::vector<std::pair<const char*, std::string>> found;
  for (std::size_t r = 0; r < 4; ++r) {
    const std::string line = r + 2 < cpu.size() ? cpu[r + 2] : std::string();
    found.emplace_back(kLeft[r], Chars(line, 6, 13));
    found.emplace_back(kRight[r], Chars(line, 22, 29));
  }
  for (const char* name : {"EAX", "EBX", "ECX", "EDX", "EDI", "ESI", "ESP", "EIP"})
    for (const auto& [reg, text] : found)
      if (std::string(reg) == name && text != "????    " && !text.empty())
        regs->AddAttribute(name, text);
  TXMLItem* stack = root.AddChild("Stack");
  TXMLItem* dump = root.AddChild("MemoryDump");
  for (std::size_t j = 9; j < cpu.size(); ++j) {
    const std::string& l = cpu[j];
    if (IsBlank(l)) continue;
    TXMLItem* s = stack->AddChild("Line");
    s->AddAttribute("Address", Chars(l, 1, 8));
    s->AddAttribute("Value", Chars(l, 11, 18));
    TXMLItem* m = dump->AddChild("Line");
    m->AddAttribute("Address", Chars(l, 22, 29));
    m->AddAttribute("Bytes", Chars(l, 32, 78));
    m->AddAttribute("Chars", Chars(l, 81, 96));
  }
  return root.GetText();
}

std::string ReproduceToXML(const std::string& report_text) {
  const std::string report = ReportBody(report_text);
  if (AtLeast(report, "5.0")) return {};
  // Older reports: the third captioned section after the third table border.
  std::size_t at = Anchor(report);
  for (int i = 0; i < 3 && at != std::string::npos; ++i) at = report.find("-\r\n\r\n", at + 1);
  for (int i = 0; i < 3 && at != std::string::npos; ++i) at = report.find(":\r\n-", at + 1);
  if (at == std::string::npos) return {};
  std::size_t from = report.find(kCrLf, at + 3);
  if (from == std::string::npos) return {};
  from += 2;
  std::size_t end = report.find("\r\n\r\n", from);
  if (end == std::string::npos) end = report.size();
  const std::string text = report.substr(from, end - from);
  if (VCore::Trim(text).empty()) return {};
  TXMLItem root("HoToReproduce");
  root.AddAttribute("Text", text);
  return root.GetText();
}

namespace {

// Two more blanks before every line but the first and the last; CR LF after every line.
std::string IndentInner(const std::string& text) {
  const std::vector<std::string> lines = Lines(text);
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0 && i + 1 < lines.size()) out += "  ";
    out += lines[i] + kCrLf;
  }
  return out;
}

}  // namespace

std::string ReportTextToXML(const std::string& report, const std::string& password) {
  std::string text = "<Log Version=\"" + TXMLItem::Escape(ReportVersionOf(report)) + "\">\r\n";
  text += GeneralToXML(report) + CallStackToXML(report, password) + ModulesToXML(report) +
          ProcessesToXML(report) + AssemblerToXML(report) + CpuToXML(report) +
          ReproduceToXML(report);
  return IndentInner(text + "</Log>");
}

// ---- TLogFile ----

std::string TLogFile::ReportVersion(int index) const {
  if (index < 0 || index >= ReportCount()) return {};
  return ReportVersionOf(Report(index));
}

std::string TLogFile::ReportToXML(int index) const {
  if (index < 0 || index >= ReportCount()) return {};
  return ReportTextToXML(Report(index), XMLPassword);
}

std::string TLogFile::LogToXML() const {
  std::string text = "<Doc>\r\n";
  for (int i = 0; i < ReportCount(); ++i) text += ReportToXML(i);
  return IndentInner(text + "</Doc>");
}

#ifndef _WIN32
// (The Win32 form writes through the file stream, VLogFileWin.cpp.)
void TLogFile::SaveAsXML(const std::string& file_name) const {
  const std::string text = LogToXML();
  std::ofstream out(file_name, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) throw EFCreateError("Cannot create file \"" + file_name + "\"");
}
#endif

}  // namespace ExceptionLog
