#include "QvsFileCheck.h"

namespace qvs {

const char kQvsFileOpenFail[] = "FILE OPEN FAIL..";
const char kQvsEndOfFileLog[] = "\r\n END OF FILE";
const char kQvsCompareSuccess[] = "\r\n File Compare SUCCESS!!";
const char kQvsNeedBuilder[] = "\r\n You must use qvs builder v1.4";
const char kQvsCheckSizes[] = "\r\n Error\r\n You can check size of files..";

namespace {

constexpr std::size_t kPiece = 255;
constexpr std::string_view kFileNameKey = "FILE_NAME : ";
constexpr std::string_view kListCopyA = "FILE_NAME : /a/test/cfg.txt\n";
constexpr std::string_view kListCopy = "FILE_NAME : /test/cfg.txt\n";
constexpr std::string_view kSetDir = "SET_DIR\n";
constexpr std::string_view kEndQvs = "END_QVS\n";

bool IsListCopy(const std::string& line) { return line == kListCopyA || line == kListCopy; }

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// `line` as fscanf reads "<key> : %s" and atoi its token: blanks, the key, blanks, ':',
// blanks, then decimal digits up to a blank or the end. False without digits, with other
// characters after them, or for a value above 32 bits.
bool ReadKeyNumber(std::string_view line, std::string_view key, std::uint32_t& value) {
  std::size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (line.substr(i, key.size()) != key) return false;
  i += key.size();
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i >= line.size() || line[i] != ':') return false;
  ++i;
  while (i < line.size() && IsBlank(line[i])) ++i;
  std::uint64_t v = 0;
  std::size_t digits = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
    v = v * 10 + static_cast<unsigned>(line[i] - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  if (digits == 0) return false;
  for (; i < line.size(); ++i)
    if (!IsBlank(line[i])) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool TextLineReader::Next(std::string& line) {
  line.clear();
  if (pos_ >= text_.size()) return false;
  while (pos_ < text_.size() && line.size() < kPiece) {
    char c = text_[pos_];
    if (c == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') {
      ++pos_;
      continue;
    }
    line.push_back(c);
    ++pos_;
    if (c == '\n') break;
  }
  return true;
}

void TextLineReader::FinishLine(std::string& line) {
  std::string piece;
  while (!line.empty() && line.back() != '\n' && Next(piece)) line += piece;
}

QvsDriveSizeResult ComputeQvsDriveSize(std::string_view cfgText, QvsDriveSize& out) {
  QvsDriveSizeResult r;
  TextLineReader reader(cfgText);
  std::uint64_t count = 0;
  bool wantDirCount = false;
  int lineNo = 0;
  std::string line;
  auto fail = [&](const char* what) {
    r.line = lineNo;
    r.message = std::string(what) + " (line " + std::to_string(lineNo) + ")";
    return r;
  };
  for (;;) {
    if (!reader.Next(line)) {
      r.endOfFile = true;
      break;
    }
    reader.FinishLine(line);
    ++lineNo;
    if (StartsWith(line, "QVSVERSION")) {
      wantDirCount = true;
      continue;
    }
    if (wantDirCount && StartsWith(line, "NUM_DIR")) {
      std::uint32_t dirs = 0;
      if (!ReadKeyNumber(line, "NUM_DIR", dirs)) return fail("Bad NUM_DIR in cfg file");
      count = dirs;
      wantDirCount = false;
      continue;
    }
    if (!StartsWith(line, kFileNameKey)) continue;
    std::string_view path = std::string_view(line).substr(kFileNameKey.size());
    if (StartsWith(path, "/b/")) break;
    if (!StartsWith(path, "/a/")) continue;
    std::string sizeLine;
    bool more = reader.Next(sizeLine);
    if (more) reader.FinishLine(sizeLine);
    ++lineNo;
    std::uint32_t size = 0;
    if (!more || !ReadKeyNumber(sizeLine, "FILE_SIZE", size))
      return fail("Bad FILE_SIZE in cfg file");
    count += size / 4096 + 1;
    if (count * 4096 > 0xFFFFFFFFu) return fail("A-drive size too large in cfg file");
  }
  if (wantDirCount) return fail("NUM_DIR not found in cfg file");
  out.blocks = static_cast<std::uint32_t>(count);
  out.bytes = static_cast<std::uint32_t>(count * 4096);
  r.ok = true;
  return r;
}

QvsFileCheckResult QvsFileCheck(std::string_view cfgText, std::string_view image) {
  QvsFileCheckResult r;
  // 1. The sizes of the files before the list copy give its offset in the image.
  {
    TextLineReader cfg(cfgText);
    std::string line;
    std::uint64_t sum = 0;
    for (;;) {
      if (!cfg.Next(line)) {
        r.outcome = QvsCheckOutcome::kNoListCopy;
        return r;
      }
      if (IsListCopy(line)) break;
      if (!StartsWith(line, kFileNameKey)) continue;
      cfg.FinishLine(line);
      std::string sizeLine;
      std::uint32_t size = 0;
      bool more = cfg.Next(sizeLine);
      if (more) cfg.FinishLine(sizeLine);
      if (!more || !ReadKeyNumber(sizeLine, "FILE_SIZE", size)) {
        r.outcome = QvsCheckOutcome::kBadSize;
        return r;
      }
      sum += size;
    }
    r.listOffset = sum;
  }
  // 2.-3. The image's copy, past its SET_DIR line.
  std::string_view copy =
      r.listOffset <= image.size() ? image.substr(r.listOffset) : std::string_view();
  TextLineReader img(copy);
  std::string imageLine;
  do {
    if (!img.Next(imageLine)) {
      r.outcome = QvsCheckOutcome::kNoSetDirInImage;
      return r;
    }
  } while (imageLine != kSetDir);
  // 4. The .cfg past its SET_DIR line, counting its lines.
  TextLineReader cfg(cfgText);
  std::string cfgLine;
  int count = 0;
  do {
    if (!cfg.Next(cfgLine)) {
      r.outcome = QvsCheckOutcome::kEnded;
      return r;
    }
    ++count;
  } while (cfgLine != kSetDir);
  // 5. Line by line.
  std::string skip;
  for (;;) {
    if (!cfg.Next(cfgLine) || !img.Next(imageLine)) {
      r.outcome = QvsCheckOutcome::kEnded;
      return r;
    }
    ++count;
    if (cfgLine == kEndQvs) break;  // the list's end, whatever the image holds there
    if (cfgLine == imageLine) {
      if (IsListCopy(cfgLine)) {
        cfg.Next(skip);
        img.Next(skip);
        ++count;
      }
      continue;
    }
    if (IsListCopy(cfgLine)) {
      // The image's copy was written without its own entry: skip it in the .cfg.
      cfg.Next(skip);
      bool more = cfg.Next(cfgLine);
      count += 2;
      if (!more) {
        r.outcome = QvsCheckOutcome::kEnded;
        return r;
      }
      if (cfgLine == kEndQvs) break;
      if (cfgLine == imageLine) continue;
    }
    break;
  }
  r.lines = count;
  r.cfgLine = cfgLine;
  r.imageLine = imageLine;
  r.outcome = cfgLine == kEndQvs ? QvsCheckOutcome::kSuccess : QvsCheckOutcome::kMismatch;
  return r;
}

std::string QvsFileCheckLog(const QvsFileCheckResult& result, std::string_view cfgName,
                            std::string_view imageName) {
  switch (result.outcome) {
    case QvsCheckOutcome::kSuccess:
      return kQvsCompareSuccess;
    case QvsCheckOutcome::kNoListCopy:
      return kQvsNeedBuilder;
    case QvsCheckOutcome::kBadSize:
    case QvsCheckOutcome::kNoSetDirInImage:
      return kQvsCheckSizes;
    case QvsCheckOutcome::kEnded:
      return {};
    case QvsCheckOutcome::kMismatch:
      break;
  }
  std::string text = "\r\n Error\r\n Lines : " + std::to_string(result.lines) + " \r\n ";
  text += result.cfgLine;
  text += "  in ";
  text += cfgName;
  text += " \r\n ";
  text += result.imageLine;
  text += " in ";
  text += imageName;
  return text;
}

}  // namespace qvs
