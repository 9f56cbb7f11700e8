#include "ReportText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "VDisAsm.h"
#include "VHook.h"
#include "VTextUtils.h"
#include "VUnitVariable.h"

namespace ExceptionLog {
namespace {

const char kCrLf[] = "\r\n";

std::string Hex(std::uint64_t value, int digits) {
  std::string out(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0 && value != 0; --i, value >>= 4)
    out[static_cast<std::size_t>(i)] = "0123456789ABCDEF"[value & 15];
  return out;
}
std::string Hex8(std::uint64_t value) { return Hex(value & 0xFFFFFFFFu, 8); }

std::string Text(const TVantorModuleOptions& options, int index) {
  return options.GetCustomText(index);
}

// Lines of a text split at CR LF; a final line break opens no empty line.
std::vector<std::string> SplitLines(const std::string& text) {
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

bool IsBlankLine(const std::string& line) {
  return line.find_first_not_of(' ') == std::string::npos;
}

// A group caption line: "Caption:". Item lines start with two blanks and the continuation
// lines of multi-line values with one, so a value line ending in ":" is never taken for one.
bool IsGroupLine(const std::string& line) {
  return !line.empty() && line[0] != ' ' && line.find(':') == line.size() - 1;
}

std::string PrepareValue(const std::string& value) {
  std::string text;
  text.reserve(value.size());
  bool multi_line = false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\r') {
      text += kCrLf;
      multi_line = true;
      if (i + 1 < value.size() && value[i + 1] == '\n') ++i;
    } else if (c == '\n' && i > 0) {
      text += kCrLf;
      multi_line = true;
    } else {
      text += c;
    }
  }
  if (!multi_line) return text;
  std::vector<std::string> lines = SplitLines(VCore::ReplaceAll(text, ": ", ":_"));
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += kCrLf;
    if (i > 0) out += ' ';
    out += IsBlankLine(lines[i]) ? std::string(".") : lines[i];
  }
  return out;
}

std::string JoinedName(const TReportLocation& location) {
  std::string out;
  for (const std::string& part :
       {VCore::ChangeFileExt(location.UnitName, ""), location.ClassName, location.ProcedureName}) {
    if (part.empty()) continue;
    if (!out.empty()) out += '.';
    out += part;
  }
  return out;
}

bool HasNames(const TReportLocation& location) { return location.Kind >= 2 && location.Kind <= 4; }

}  // namespace

// ---- TLogItem ----

void TLogItem::Clear() {
  text_.clear();
  group_ = first_group_;
  item_ = 0;
}

void TLogItem::AddGroup(const std::string& caption) {
  ++group_;
  item_ = 0;
  if (!text_.empty()) text_ += "\r\n\r\n";
  text_ += caption + ":\r\n-";
}

void TLogItem::AddItem(const std::string& caption, const std::string& value, bool shown) {
  ++item_;
  if (!shown) return;
  text_ += "\r\n  " + std::to_string(group_) + "." + std::to_string(item_) + " " + caption + ": " +
           PrepareValue(value);
}

std::string TLogItem::GetText() const {
  std::vector<std::string> lines = SplitLines(text_);
  // Groups without a shown item go with their underline and the blank line after them.
  for (std::size_t i = 0; i < lines.size();) {
    if (IsGroupLine(lines[i]) && (i + 2 >= lines.size() || lines[i + 2].empty())) {
      const std::size_t count = std::min<std::size_t>(3, lines.size() - i);
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i),
                  lines.begin() + static_cast<std::ptrdiff_t>(i + count));
      continue;
    }
    ++i;
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!IsGroupLine(lines[i])) continue;
    std::size_t last = i + 2;
    while (last < lines.size() && !lines[last].empty()) ++last;
    std::size_t column = 0;  // 1-based colon position of ": "
    for (std::size_t j = i + 2; j < last; ++j) {
      const std::size_t at = lines[j].find(": ");
      if (at != std::string::npos) column = std::max(column, at + 1);
    }
    if (column > 0) {
      for (std::size_t j = i + 2; j < last; ++j) {
        const std::size_t at = lines[j].find(": ");
        if (at != std::string::npos)
          lines[j].insert(at, column - (at + 1), ' ');
        else
          lines[j].insert(0, column, ' ');
      }
    }
    std::size_t width = 0;
    for (std::size_t j = i + 2; j < last; ++j) width = std::max(width, lines[j].size());
    if (i + 1 < lines.size() && last > i + 2) lines[i + 1] = std::string(width, '-');
  }
  std::string out;
  for (const std::string& line : lines) out += line + kCrLf;
  return out;
}

// ---- small texts ----

std::string CaptionBlock(const std::string& caption) {
  return caption + ":\r\n" + std::string(caption.size() + 1, '-') + "\r\n\r\n";
}

std::string PrintableText(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32 && c != '\r' && c != '\n') c = ' ';
  return out;
}

bool TReportMemory::Readable(std::uintptr_t address, std::size_t size) const {
  std::vector<std::uint8_t> buffer(size);
  return size == 0 || Read(address, buffer.data(), size);
}

bool TBufferReportMemory::Read(std::uintptr_t address, void* buffer, std::size_t size) const {
  if (address < base_ || address - base_ > size_ || size > size_ - (address - base_)) return false;
  if (size) std::memcpy(buffer, data_ + (address - base_), size);
  return true;
}

TReportPieces& ReportPieces() {
  // Never destroyed: the leak report builds its text after static destruction.
  static VCore::TUnitVariable<TReportPieces> pieces;
  return *pieces;
}

// ---- general section ----

std::string ApplicationNameText(const TGeneralFacts& facts) {
  std::string out = VCore::ExtractFileName(facts.ProgramFile);
  if (!facts.ProgramDescription.empty()) out += " - (" + facts.ProgramDescription + ")";
  return out;
}

std::string ExceptionModuleText(const TGeneralFacts& facts) {
  std::string out = VCore::ExtractFileName(facts.ModuleFile);
  if (facts.VsHost) out = VCore::StripVsHost(out);
  if (!facts.ModuleDescription.empty()) out += " - (" + facts.ModuleDescription + ")";
  return out;
}

std::string ParametersText(const std::string& command_line, const std::string& program_path) {
  std::string text = VCore::Trim(command_line);
  if (!text.empty() && text[0] == '"') {
    text.erase(0, 1);
    const std::size_t quote = text.find('"');
    if (quote != std::string::npos) text.erase(quote, 1);
  }
  const std::size_t from = program_path.size() + 1;
  return from >= text.size() ? std::string() : VCore::Trim(text.substr(from));
}

std::string MemoryMbText(std::uint64_t bytes) {
  const double mb = std::nearbyint(static_cast<double>(bytes) / 1048576.0);
  return std::to_string(static_cast<std::uint64_t>(mb)) + " Mb";
}

std::string DiskGbText(std::int64_t bytes) {
  if (bytes < 0) return {};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", static_cast<double>(bytes) / 1073741824.0);
  std::string text = buffer;
  while (!text.empty() && text.back() == '0') text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text + " Gb";
}

std::string NormalisedAddress(const std::string& address) {
  if (VCore::Trim(address).empty()) return "000.000.000.000";
  std::string out;
  std::size_t from = 0;
  while (true) {
    const std::size_t dot = address.find('.', from);
    std::string part =
        address.substr(from, dot == std::string::npos ? std::string::npos : dot - from);
    if (part.size() < 3) part.insert(0, 3 - part.size(), '0');
    out += part;
    if (dot == std::string::npos) break;
    out += '.';
    from = dot + 1;
  }
  return out;
}

std::vector<std::string> NetworkValues(const std::vector<TNetworkAdapter>& adapters) {
  std::vector<std::string> values(6);
  for (const TNetworkAdapter& a : adapters) {
    values[0] += NormalisedAddress(a.IpAddress) + " - ";
    values[1] += NormalisedAddress(a.Submask) + " - ";
    values[2] += NormalisedAddress(a.Gateway) + " - ";
    values[3] += NormalisedAddress(a.Dns1) + " - ";
    values[4] += NormalisedAddress(a.Dns2) + " - ";
    values[5] += a.Dhcp ? "ON              - " : "OFF             - ";
  }
  for (std::string& v : values)
    if (v.size() >= 3 && v.compare(v.size() - 3, 3, " - ") == 0) v.erase(v.size() - 3);
  return values;
}

std::string BuildGeneralSection(const TVantorModuleOptions& options, const TGeneralFacts& f) {
  TLogItem log(0);
  auto item = [&](int caption, const std::string& value, int bit, bool allowed = true) {
    log.AddItem(Text(options, caption), value, allowed && options.ShowFlag(bit));
  };
  log.AddGroup(Text(options, 37));
  item(38, f.StartDate, 0);
  item(39, ApplicationNameText(f), 1);
  item(40, f.ProgramVersion == "0.0.0.0" ? std::string() : f.ProgramVersion, 2);
  item(41, ParametersText(f.CommandLine, f.ProgramFile), 3);
  item(42, f.CompilationDate, 4);
  item(43, f.UpTime, 5);

  log.AddGroup(Text(options, 44));
  item(45, f.ExceptionDate, 6);
  item(46, f.ExceptionAddress ? Hex8(f.ExceptionAddress) : std::string(), 7);
  item(47, ExceptionModuleText(f), 8);
  item(48, f.ModuleVersion, 9);
  item(49, f.ExceptionClass, 10);
  item(50, f.ExceptionMessage, 11);
  item(51, f.BugId, 12);
  item(52, "1", 13);
  item(53, "New", 14);
  item(54, "", 15);

  log.AddGroup(Text(options, 55));
  item(56, f.UserId, 16);
  item(57, f.UserName, 17);
  item(58, f.Email, 18);
  item(59, f.Company, 20);
  item(60, f.Privileges, 19);

  const bool controls = !f.WebModule && !f.ConsoleProgram;
  log.AddGroup(Text(options, 61));
  item(62, f.FormClass, 21, controls);
  item(63, f.FormText, 22, controls);
  item(64, f.ControlClass, 23, controls);
  item(65, f.ControlText, 24, controls);

  log.AddGroup(Text(options, 66));
  item(67, f.ComputerName, 25);
  item(68, MemoryMbText(f.TotalMemory), 26);
  item(69, MemoryMbText(f.FreeMemory), 27);
  item(70, DiskGbText(f.TotalDisk), 28);
  item(71, DiskGbText(f.FreeDisk), 29);
  item(72, VCore::ElapsedTimeText(f.SystemUpMs / 86400000.0), 30);
  item(73, f.Processor, 31);
  char mode[64];
  std::snprintf(mode, sizeof mode, "%d x %d, %d bit", f.ScreenWidth, f.ScreenHeight, f.ScreenBits);
  item(74, mode, 32);
  item(75, std::to_string(f.ScreenDpi), 33);
  item(76, f.VideoCard, 34);
  item(77, f.Printer, 35);

  log.AddGroup(Text(options, 78));
  item(79, f.OsType, 36);
  item(80, f.OsBuild, 37);
  item(81, VCore::Trim(f.OsUpdate), 38);
  item(82, f.OsLanguage, 39);
  item(83, std::to_string(f.Charset), 40);

  const std::vector<std::string> network = NetworkValues(f.Adapters);
  log.AddGroup(Text(options, 84));
  for (int i = 0; i < 6; ++i) item(85 + i, network[static_cast<std::size_t>(i)], 41 + i);

  return std::string("VantorLog ") + kVantorLogVersion + "\r\n\r\n" + log.GetText();
}

std::string GetExceptionMessageText(const TExceptionMessageFacts& f) {
  if (!f.IsException) return "Unknown error message.";
  std::string message = f.Message;
  if (f.IsAccessViolation && f.RecordReadable) {
    const char* word = f.WriteAccess ? "Write" : "Read";
    const std::string code = Hex8(f.CodeAddress), data = Hex8(f.DataAddress);
    if (!f.ModuleFileName.empty()) {
      auto with = [&](const std::string& module) {
        return "Access violation at address " + code + " in module '" + module + "'. " + word +
               " of address " + data;
      };
      message = with(f.ModuleFileName);
      if (message != f.Message && !f.NormalisedModuleName.empty())
        message = with(f.NormalisedModuleName);
    } else {
      message = "Access violation at address " + code + ". " + word + " of address " + data;
    }
  }
  if (message.empty() || message.back() != '.') message += '.';
  return message;
}

// ---- custom sections ----

namespace {

void InsertSection(TReportPieces& pieces, const std::string& section) {
  const std::size_t general = pieces.General.size();
  const std::size_t at = std::min(general + 2, pieces.Report.size());
  pieces.Report.insert(at, section);
  if (pieces.DialogReport.size() >= general + 2) pieces.DialogReport.insert(general + 2, section);
  pieces.SendText = pieces.Report;
  pieces.General = pieces.Report.substr(0, general + section.size());
}

}  // namespace

void InsertCustomSection(TReportPieces& pieces, int group_base, const std::string& caption,
                         const std::string& text) {
  if (text.empty()) return;
  TLogItem log(group_base);
  log.AddGroup(caption);
  log.AddItem("", text, true);
  InsertSection(pieces, log.GetText() + kCrLf);
}

void InsertCustomDataSection(TReportPieces& pieces, int group_base, const std::string& caption,
                             const std::vector<std::string>& entries) {
  if (entries.empty()) return;
  TLogItem log(group_base);
  log.AddGroup(caption);
  for (const std::string& entry : entries) {
    const std::size_t eq = entry.find('=');
    const std::string name = eq == std::string::npos ? entry : entry.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : entry.substr(eq + 1);
    log.AddItem(VCore::Trim(name), VCore::Trim(value), true);
  }
  InsertSection(pieces, log.GetText() + kCrLf);
}

void InsertRequestedCustomData(TReportPieces& pieces, const TVantorModuleOptions& options,
                               const TCustomDataRequest& request) {
  if (!request) return;
  InsertCustomDataSection(pieces, 7, Text(options, 91), request());
}

// ---- tables ----

std::string FileTimeText(std::uint64_t file_time) {
  const std::uint64_t seconds = file_time / 10000000u;
  std::int64_t days = static_cast<std::int64_t>(seconds / 86400);
  const unsigned rest = static_cast<unsigned>(seconds % 86400);
  // Days since 1601-01-01 to a civil date (proleptic Gregorian).
  days -= 134774;  // to 1970-01-01
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = static_cast<long long>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02u %02u:%02u:%02u", year, month, day,
                rest / 3600, rest / 60 % 60, rest % 60);
  return buffer;
}

void WriteTableRow(std::string& buffer, std::size_t& position,
                   const std::vector<std::string>& cells, const std::vector<std::size_t>& widths) {
  std::size_t length = 3;
  for (std::size_t i = 0; i < cells.size(); ++i) length += widths[i] + 1;
  if (position + length > buffer.size()) buffer.resize(position + length, ' ');
  buffer[position++] = '|';
  for (std::size_t i = 0; i < cells.size(); ++i) {
    cells[i].copy(&buffer[position], std::min(cells[i].size(), widths[i]));
    position += widths[i];
    buffer[position++] = '|';
  }
  buffer[position++] = '\r';
  buffer[position++] = '\n';
}

namespace {

struct TTable {
  std::vector<std::string> Captions;
  std::vector<std::size_t> Widths;
  std::vector<std::vector<std::string>> Rows;

  explicit TTable(std::vector<std::string> captions) : Captions(std::move(captions)) {
    for (const std::string& c : Captions) Widths.push_back(c.size());
  }
  void Grow(const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) Widths[i] = std::max(Widths[i], cells[i].size());
  }
  std::size_t WidthSum() const {
    std::size_t sum = 0;
    for (std::size_t w : Widths) sum += w;
    return sum;
  }
  std::string DashLine() const { return std::string(WidthSum() + Widths.size() + 1, '-'); }
  std::string Head(const std::string& caption) const {
    std::string row = "|";
    for (std::size_t i = 0; i < Captions.size(); ++i) {
      std::string cell = Captions[i];
      cell.resize(Widths[i], ' ');
      row += cell + "|";
    }
    return caption + ":\r\n" + DashLine() + kCrLf + row + kCrLf + DashLine() + kCrLf;
  }
  std::string Tail() const { return DashLine() + "\r\n\r\n"; }
  // Head, the rows of a buffer filled with blanks, tail.
  std::string Text(const std::string& caption) const {
    const std::size_t row_length = WidthSum() + Widths.size() + 3;
    std::string buffer(row_length * Rows.size(), ' ');
    std::size_t position = 0;
    for (const auto& row : Rows) WriteTableRow(buffer, position, row, Widths);
    buffer.resize(position);
    return Head(caption) + buffer + Tail();
  }
};

std::uint32_t ReportStackKindMask(const TVantorModuleOptions& options) {
  std::uint32_t mask = 16;
  if (options.FStackFlags & 0x01) mask |= 4;
  if (options.FStackFlags & 0x02) mask |= 8;
  return mask;
}

}  // namespace

std::vector<TReportStackEntry> ReportStackEntries(const TVantorStackList& list) {
  std::vector<TReportStackEntry> entries;
  for (int i = 0; i < list.Count(); ++i) {
    const TAddressLocation& l = *list.Items(i);
    TReportStackEntry e;
    e.Kind = l.Kind;
    e.Address = l.Address;
    if (l.ModuleInfo) e.ModuleFile = l.ModuleInfo->FileName;
    e.UnitName = l.UnitName;
    e.ClassName = l.ClassName;
    e.ProcedureName = l.ProcedureName;
    e.Line = l.Line;
    e.LineOffset = l.LineOffset;
    e.ThreadID = static_cast<std::int32_t>(l.ThreadID);
    e.OwnStack = l.ThreadKind != 0;
    e.ExceptionPoint = l.Exact != 0;
    e.ThreadName = l.ThreadName;
    e.Leak = l.Leak;
    e.LeakType = l.LeakType;
    e.LeakTotalSize = static_cast<std::int32_t>(l.LeakTotalSize);
    e.LeakCount = static_cast<std::int32_t>(l.LeakCount);
    entries.push_back(std::move(e));
  }
  return entries;
}

std::string ThreadHeaderText(const TVantorModuleOptions& options, const TReportStackEntry& e,
                             bool report, const THeaderContext& context) {
  if (e.Leak) {
    const std::string type = e.LeakType == "Data" ? Text(options, 106) : e.LeakType;
    return std::string(report ? "+" : "") + Text(options, 105) + ": " + Text(options, 107) + "=" +
           type + "; " + Text(options, 108) + "=" + std::to_string(e.LeakTotalSize) + "; " +
           Text(options, 109) + "=" + std::to_string(e.LeakCount);
  }
  std::string out;
  if (!e.OwnStack)
    out = Text(options, 101) + ": ";
  else if (e.ExceptionPoint)
    out = std::string(report ? "*" : "") + Text(options, 99) + ": ";
  else
    out = Text(options, 100) + ": ";
  if (report || !context.VsHost) {
    std::optional<TThreadFacts> facts;
    if (context.Threads) facts = context.Threads(e.ThreadID);
    const std::string priority = facts ? std::to_string(facts->Priority) : std::string("??");
    const std::string class_name = facts ? facts->ClassName : std::string();
    out += Text(options, 102) + "=" + std::to_string(std::max(e.ThreadID, 0)) + "; " +
           Text(options, 103) + "=" + priority;
    if (report || !class_name.empty()) out += "; " + Text(options, 104) + "=" + class_name;
    if (e.ThreadID == context.MainThreadID) out += "; [" + Text(options, 98) + "]";
  }
  if (!e.ThreadName.empty()) out += " (" + e.ThreadName + ")";
  return out;
}

std::string CallStackTable(const TVantorModuleOptions& options,
                           const std::vector<TReportStackEntry>& entries,
                           const THeaderContext& context) {
  TTable table({Text(options, 92), Text(options, 93), Text(options, 94), Text(options, 95),
                Text(options, 96), Text(options, 97)});
  table.Widths[0] = std::max<std::size_t>(table.Widths[0], 8);
  const std::uint32_t mask = ReportStackKindMask(options);
  std::vector<TReportStackEntry> listed;
  std::vector<std::vector<std::string>> cells;
  // An exception point that is not listed (a fault at an address of no module) passes its
  // mark to the next listed entry of its thread's stack, so that the block is still the
  // exception thread's.
  const TReportStackEntry* unlisted_point = nullptr;
  for (const TReportStackEntry& e : entries) {
    if (e.Kind > 7 || !((mask >> e.Kind) & 1)) {
      if (e.ExceptionPoint) unlisted_point = &e;
      continue;
    }
    listed.push_back(e);
    if (unlisted_point && !e.ExceptionPoint) {
      if (e.ThreadID == unlisted_point->ThreadID && e.OwnStack == unlisted_point->OwnStack)
        listed.back().ExceptionPoint = true;
    }
    unlisted_point = nullptr;
    std::string line;
    if (e.Line != 0) line = std::to_string(e.Line) + "[" + std::to_string(e.LineOffset) + "]";
    cells.push_back({Hex8(e.Address),
                     e.Kind == 0 ? std::string() : VCore::ExtractFileName(e.ModuleFile), e.UnitName,
                     e.ClassName, e.ProcedureName, line});
    table.Grow(cells.back());
  }
  const std::size_t inner = table.WidthSum() + 5;
  const std::vector<std::size_t> full{inner};
  const std::size_t row_length = table.WidthSum() + table.Widths.size() + 3;
  std::string buffer(row_length * 5 * listed.size(), ' ');
  std::size_t position = 0;
  const TReportStackEntry* previous = nullptr;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const TReportStackEntry& e = listed[i];
    const bool continues = previous && e.ThreadID == previous->ThreadID &&
                           e.OwnStack == previous->OwnStack && !e.ExceptionPoint;
    if (!continues) {
      if (previous) {
        WriteTableRow(buffer, position, {std::string(inner, '-')}, full);
        if (e.OwnStack) WriteTableRow(buffer, position, {std::string()}, full);
      }
      WriteTableRow(buffer, position, {ThreadHeaderText(options, e, true, context)}, full);
      WriteTableRow(buffer, position, {std::string(inner, '-')}, full);
    }
    WriteTableRow(buffer, position, cells[i], table.Widths);
    previous = &e;
  }
  buffer.resize(position);
  return table.Head(Text(options, 8)) + buffer + table.Tail();
}

std::string ModulesTable(const TVantorModuleOptions& options, const TVantorModulesList& modules) {
  TTable table({Text(options, 126), Text(options, 127), Text(options, 128), Text(options, 129),
                Text(options, 130), Text(options, 131), Text(options, 132)});
  table.Widths[0] = std::max<std::size_t>(table.Widths[0], 8);
  const int digits = static_cast<int>(std::min<std::size_t>(table.Widths[0], 16));
  for (int i = 0; i < modules.Count(); ++i) {
    const TVantorModuleInfo& m = *modules.Items(i);
    table.Rows.push_back({Hex(m.Handle, digits), VCore::ExtractFileName(m.FileName), m.Description,
                          m.Version, std::to_string(m.FileSize), FileTimeText(m.FileDate),
                          VCore::ExtractFileFolder(m.FileName)});
    table.Grow(table.Rows.back());
  }
  return table.Text(Text(options, 10));
}

std::string ProcessesTable(const TVantorModuleOptions& options,
                           const TVantorProcessesList& processes) {
  TTable table({Text(options, 133), Text(options, 134), Text(options, 135), Text(options, 136),
                Text(options, 137), Text(options, 138), Text(options, 139), Text(options, 140)});
  for (int i = 0; i < processes.Count(); ++i) {
    const TVantorProcessInfo& p = *processes.Items(i);
    table.Rows.push_back(
        {std::to_string(p.ProcessID), VCore::ExtractFileName(p.FileName), p.Description, p.Version,
         std::to_string(p.MemoryInUse), VCore::PriorityClassName(p.PriorityClass),
         VCore::NumberOrUnknown(p.ThreadCount), VCore::ExtractFileFolder(p.FileName)});
    table.Grow(table.Rows.back());
  }
  return table.Text(Text(options, 12));
}

// ---- assembler and CPU ----

namespace {

// Code bytes for the disassembler: the readable ones from an address on.
class TMemoryCodeReader : public TCodeReader {
 public:
  explicit TMemoryCodeReader(const TReportMemory& memory) : memory_(memory) {}
  std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t count) const override {
    if (memory_.Read(address, buffer, count)) return count;
    std::size_t done = 0;
    while (done < count && memory_.Read(address + done, buffer + done, 1)) ++done;
    return done;
  }

 private:
  const TReportMemory& memory_;
};

struct TResolver {
  const TReportMemory& Memory;
  const TLocationLookup& Locate;
};

std::uintptr_t FollowJump(const TReportMemory& memory, std::uintptr_t address) {
  std::uint8_t code[2];
  std::uint32_t pointer = 0, target = 0;
  if (memory.Read(address, code, 2) && code[0] == 0xFF && code[1] == 0x25 &&
      memory.Read(address + 2, &pointer, 4) && memory.Read(pointer, &target, 4))
    return target;
  return address;
}

void ResolveName(const TResolver& r, std::uintptr_t address, std::string& text) {
  address = FollowJump(r.Memory, address);
  TReportLocation location;
  if (r.Locate && r.Locate(address, location) && HasNames(location)) {
    text = JoinedName(location);
    if (location.LineOffset > 1) text += " (Line=" + std::to_string(location.Line) + ")";
    return;
  }
  const std::string class_name = r.Memory.ObjectClassName(address);
  if (!class_name.empty()) text = class_name;
}

void OnTarget(void* user, std::uint32_t, std::uint32_t target, std::string& text) {
  ResolveName(*static_cast<const TResolver*>(user), target, text);
}

void OnAddress(void* user, std::uint32_t, std::uint32_t value, std::string& text) {
  ResolveName(*static_cast<const TResolver*>(user), value, text);
}

// A 32-bit immediate that points to text gets the text as a comment.
void OnOperand(void* user, std::uint32_t, int size, std::string& text, bool is_signed) {
  if (size != 4 || is_signed) return;
  const std::string digits = text.rfind('$', 0) == 0 ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 8) return;
  char* end = nullptr;
  const unsigned long value = std::strtoul(digits.c_str(), &end, text[0] == '$' ? 16 : 10);
  if (*end != 0) return;
  const TReportMemory& memory = static_cast<const TResolver*>(user)->Memory;
  std::string chars;
  bool ended = false;
  for (std::uintptr_t i = 0; i < 32; ++i) {
    std::uint8_t byte = 0;
    if (!memory.Read(value + i, &byte, 1)) break;
    if (byte == 0) {
      ended = true;
      break;
    }
    chars += byte < 32 ? '.' : static_cast<char>(byte);
  }
  if (chars.empty()) return;
  text += "  ; '" + chars + "'" + (ended ? "" : "...");
}

bool Readable(const TReportMemory& memory, std::uint64_t address, std::size_t size) {
  return address <= 0xFFFFFFFFu && memory.Readable(static_cast<std::uintptr_t>(address), size);
}

// Length of the instruction at address as the length decoder sees it; false for an
// undefined opcode (length 1).
bool LengthAt(const TReportMemory& memory, std::uint64_t address, int& length) {
  std::uint8_t code[15];
  std::size_t have = 0;
  while (have < sizeof code && Readable(memory, address + have, 1)) {
    memory.Read(static_cast<std::uintptr_t>(address + have), code + have, 1);
    ++have;
  }
  return VHook::InstructionLengthOf(code, have, &length);
}

}  // namespace

TAssemblerSection AssemblerSection(const TVantorModuleOptions& options, std::uintptr_t address,
                                   const TReportMemory& memory, const TLocationLookup& locate) {
  TAssemblerSection section;
  if (!memory.Readable(address, 4)) return section;
  const std::uint64_t at = address;
  std::uint64_t start = at >= 70 ? at - 70 : 0;
  while (start < at && !Readable(memory, start, 1)) ++start;
  // The first start byte from which the instructions land on the address.
  for (;; ++start) {
    std::vector<std::uint64_t> counted;
    std::uint64_t pos = start;
    while (pos < at) {
      int length = 1;
      if (LengthAt(memory, pos, length)) counted.push_back(pos);
      pos += static_cast<std::uint64_t>(std::max(length, 1));
    }
    if (pos == at) {
      if (counted.size() > 10) start = counted[counted.size() - 10];
      break;
    }
  }
  std::uint64_t end = at + 70;
  while (end > at && !Readable(memory, end, 1)) --end;

  TMemoryCodeReader reader(memory);
  const TResolver resolver{memory, locate};
  TDisAsm disasm;
  disasm.Code = &reader;
  disasm.UserValue = const_cast<TResolver*>(&resolver);
  disasm.OnJump = OnTarget;
  disasm.OnCall = OnTarget;
  disasm.OnDisplacement = OnAddress;
  disasm.OnImmediate = OnOperand;

  std::vector<std::string> lines;
  std::size_t code_width = 0, cut = 0;
  std::string previous_name, previous_line;
  int after = 0;
  for (std::uint64_t pos = start; pos <= end;) {
    int length = 1;
    std::string text;
    VDisAsm::DisassembleOne(disasm, static_cast<std::uint32_t>(pos), length, text);
    std::string line = Hex8(pos) + "  " + text;
    code_width = std::max(code_width, VCore::Trim(line.substr(0, line.find(';'))).size());
    if (pos == at) line += "  ; <-- EXCEPTION";
    std::string comment;
    TReportLocation location;
    if (locate && locate(static_cast<std::uintptr_t>(pos), location) && HasNames(location)) {
      const std::string name = JoinedName(location);
      const std::string line_text = "Line=" + std::to_string(location.Line) +
                                    " - Offset=" + std::to_string(location.LineOffset);
      if (name != previous_name) {
        comment += name + " ";
        if (pos <= at) cut = lines.size();
        previous_name = name;
      }
      if (line_text != previous_line) {
        comment += comment.empty() ? line_text : "(" + line_text + ")";
        previous_line = line_text;
      }
    }
    if (!comment.empty()) {
      if (!lines.empty()) lines.push_back(";");
      lines.push_back("; " + comment);
      lines.push_back("; " + std::string(comment.size(), '-'));
    }
    lines.push_back(line);
    if (pos > at) {
      std::uint8_t first = 0;
      memory.Read(static_cast<std::uintptr_t>(pos), &first, 1);
      if (++after >= 10 || (first >= 0xC2 && first <= 0xCB)) break;
    }
    pos += static_cast<std::uint64_t>(std::max(length, 1));
  }
  lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(cut));
  if (!lines.empty() && lines.front() == ";") lines.erase(lines.begin());

  const std::size_t width = code_width + 2;
  std::size_t longest = 0;
  for (std::string& line : lines) {
    const std::size_t semicolon = line.find(';');
    if (semicolon != std::string::npos && semicolon + 1 > 1 && semicolon + 1 < width)
      line.insert(semicolon, width - semicolon, ' ');
    longest = std::max(longest, line.size());
    section.Body += line + kCrLf;
  }
  const std::string caption = Text(options, 14);
  section.Header = caption + ":\r\n" + std::string(std::max(caption.size() + 1, longest), '-');
  return section;
}

std::string RegisterText(TRegister reg, const std::optional<TReportRegisters>& context) {
  if (!context) return "????    ";
  const TReportRegisters& c = *context;
  switch (reg) {
    case TRegister::kEax:
      return Hex8(c.Eax);
    case TRegister::kEbx:
      return Hex8(c.Ebx);
    case TRegister::kEcx:
      return Hex8(c.Ecx);
    case TRegister::kEdx:
      return Hex8(c.Edx);
    case TRegister::kEsi:
      return Hex8(c.Esi);
    case TRegister::kEdi:
      return Hex8(c.Edi);
    case TRegister::kEsp:
      return Hex8(c.Esp);
    case TRegister::kEip:
      return Hex8(c.Eip);
  }
  return "????    ";
}

std::string StackCaptionText(const TVantorModuleOptions& options) {
  std::string text = Text(options, 142) + ":";
  if (text.size() < 21) text.resize(21, ' ');
  return text;
}

std::string StackAndMemoryDump(std::uintptr_t stack_value, std::uintptr_t address,
                               const TReportMemory& memory) {
  std::uint8_t stack[64], bytes[256];
  if (!memory.Read(stack_value, stack, sizeof stack) || !memory.Read(address, bytes, sizeof bytes))
    return {};
  std::string out;
  for (int n = 0; n < 16; ++n) {
    std::uint32_t value;
    std::memcpy(&value, stack + 4 * n, 4);
    out += Hex8(stack_value + 4u * n) + ": " + Hex8(value) + "   " + Hex8(address + 16u * n) + ": ";
    std::string chars;
    for (int i = 0; i < 16; ++i) {
      const std::uint8_t b = bytes[16 * n + i];
      out += Hex(b, 2) + " ";
      chars += b < 32 || b > 126 ? '.' : static_cast<char>(b);
    }
    out += " " + chars + kCrLf;
  }
  return out;
}

std::string CpuSection(const TVantorModuleOptions& options, const TReportInput& input) {
  const auto& c = input.Context;
  std::string out = Text(options, 141) + ":\r\n-----------------------------\r\n";
  out += "EAX: " + RegisterText(TRegister::kEax, c) +
         "   EDI: " + RegisterText(TRegister::kEdi, c) + kCrLf;
  out += "EBX: " + RegisterText(TRegister::kEbx, c) +
         "   ESI: " + RegisterText(TRegister::kEsi, c) + kCrLf;
  out += "ECX: " + RegisterText(TRegister::kEcx, c) +
         "   ESP: " + RegisterText(TRegister::kEsp, c) + kCrLf;
  out += "EDX: " + RegisterText(TRegister::kEdx, c) +
         "   EIP: " + RegisterText(TRegister::kEip, c) + kCrLf;
  out += kCrLf + StackCaptionText(options) + Text(options, 143) +
         ":\r\n------------------   "
         "---------------------------------------------------------------------------\r\n";
  if (input.Memory)
    out += StackAndMemoryDump(input.StackValue, input.ExceptionAddress, *input.Memory);
  return out;
}

void BuildReportText(TReportPieces& pieces, const TVantorModuleOptions& options,
                     const TReportInput& input) {
  pieces.Title = Text(options, 4) + "\r\n\r\n";
  pieces.General.clear();
  pieces.Tables.clear();
  pieces.Cpu.clear();
  pieces.AssemblerBody.clear();
  pieces.AssemblerHeader.clear();
  pieces.General = BuildGeneralSection(options, input.General);
  if (options.FLogFlags & 0x20) {
    if (input.Memory) {
      TAssemblerSection section =
          AssemblerSection(options, input.ExceptionAddress, *input.Memory, input.Locate);
      pieces.AssemblerHeader = std::move(section.Header);
      pieces.AssemblerBody = std::move(section.Body);
    }
    pieces.Cpu = CpuSection(options, input);
  } else {
    const std::string caption = Text(options, 14);
    pieces.AssemblerHeader = caption + ":\r\n" + std::string(caption.size() + 1, '-');
    pieces.Cpu = CaptionBlock(Text(options, 141));
  }
  pieces.Tables = CallStackTable(options, input.Stack, input.Threads);
  if (options.FLogFlags & 0x10) {
    const TVantorModulesList no_modules;
    const TVantorProcessesList no_processes;
    pieces.Tables += ModulesTable(options, input.Modules ? *input.Modules : no_modules);
    pieces.Tables += ProcessesTable(options, input.Processes ? *input.Processes : no_processes);
  } else {
    pieces.Tables += CaptionBlock(Text(options, 10)) + CaptionBlock(Text(options, 12));
  }
  pieces.Report = pieces.General + kCrLf + pieces.Tables + pieces.AssemblerHeader + kCrLf +
                  pieces.AssemblerBody + kCrLf + pieces.Cpu;
  pieces.SendText = pieces.Report;
}

}  // namespace ExceptionLog
