#include "QvsConfig.h"

#include <algorithm>
#include <array>

namespace qvs {

const char kQvsSizeMismatch[] = "QVS file size mismatched!!!";
const char kQvsNoVersion[] = "QVSVERSION not found in cfg file";

bool KeepUtf8Name(std::string_view name, std::string& utf8) {
  utf8.assign(name);
  return true;
}

namespace {

enum Key { kVersionKey, kReleaseKey, kDirKey, kFileKey, kSizeKey, kKeyCount };
constexpr std::array<std::string_view, kKeyCount> kKeys = {
    "QVSVERSION : ", "QVSRELEASEVERSION : ", "DIR_NAME : ", "FILE_NAME : ", "FILE_SIZE : "};

// One key found in the text and its value.
struct Entry {
  Key key;
  std::size_t at;  // of the key
  std::string_view value;
  bool complete;  // the value has its full length or its line end
};

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  // The next key from the cursor and its value; the cursor moves past the value, so that a key
  // inside a value is not taken for one.
  bool Next(Entry& e) {
    std::size_t best = std::string_view::npos;
    int which = -1;
    for (int k = 0; k < kKeyCount; ++k) {
      // Each key's next place is searched again only once the cursor has passed it.
      if (next_[k] < pos_ || next_[k] == kUnknown) next_[k] = text_.find(kKeys[k], pos_);
      if (next_[k] < best) {
        best = next_[k];
        which = k;
      }
    }
    if (which < 0) return false;
    e.key = static_cast<Key>(which);
    e.at = best;
    std::size_t start = best + kKeys[which].size();
    std::size_t end;
    if (e.key == kVersionKey || e.key == kReleaseKey) {
      std::size_t n = e.key == kVersionKey ? kQvsVersionLength : kQvsReleaseLength;
      e.complete = text_.size() - start >= n;
      end = std::min(text_.size(), start + n);
      // A short record takes bytes of the next line, which is still searched for keys.
      e.value = text_.substr(start, end - start);
      std::size_t lineEnd = text_.find_first_of("\r\n", start);
      pos_ = std::min(end, lineEnd);
      return true;
    } else {
      end = text_.find_first_of("\r\n", start);
      e.complete = end != std::string_view::npos;
      if (!e.complete) end = text_.size();
    }
    e.value = text_.substr(start, end - start);
    pos_ = end;
    return true;
  }

  // Counted on from the last place asked for when it lies before `at`.
  int LineOf(std::size_t at) {
    if (at < lineAt_) {
      lineAt_ = 0;
      line_ = 1;
    }
    line_ += static_cast<int>(std::count(text_.begin() + lineAt_, text_.begin() + at, '\n'));
    lineAt_ = at;
    return line_;
  }

 private:
  static constexpr std::size_t kUnknown = std::string_view::npos - 1;
  std::string_view text_;
  std::size_t pos_ = 0;
  std::array<std::size_t, kKeyCount> next_ = {kUnknown, kUnknown, kUnknown, kUnknown, kUnknown};
  std::size_t lineAt_ = 0;
  int line_ = 1;
};

// Decimal digits, optionally surrounded by blanks; false for anything else or above 32 bits.
bool ParseSize(std::string_view value, std::uint32_t& size) {
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  std::uint64_t v = 0;
  std::size_t digits = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i, ++digits) {
    v = v * 10 + static_cast<unsigned>(value[i] - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  if (digits == 0 || i != value.size()) return false;
  size = static_cast<std::uint32_t>(v);
  return true;
}

QvsConfigResult Fail(QvsConfigError error, int line, std::string message) {
  QvsConfigResult r;
  r.error = error;
  r.line = line;
  r.message = std::move(message);
  if (line > 0) r.message += " (line " + std::to_string(line) + ")";
  return r;
}

}  // namespace

QvsConfigResult ParseQvsConfig(std::string_view cfgText, std::uint64_t imageLength,
                               const QvsNameConverter& toUtf8, QvsPlan& plan) {
  plan = QvsPlan{};
  std::vector<Entry> entries;
  {
    Scanner s(cfgText);
    Entry e;
    while (s.Next(e)) entries.push_back(e);
  }
  Scanner lines(cfgText);
  auto lineOf = [&](const Entry& e) { return lines.LineOf(e.at); };

  // The sizes first: their sum must be the image's length.
  std::uint64_t sum = 0;
  for (const Entry& e : entries) {
    if (e.key != kSizeKey) continue;
    std::uint32_t size = 0;
    if (!e.complete)
      return Fail(QvsConfigError::kTruncatedLine, lineOf(e), "Truncated line in cfg file");
    if (!ParseSize(e.value, size))
      return Fail(QvsConfigError::kBadNumber, lineOf(e), "Bad FILE_SIZE in cfg file");
    sum += size;
  }
  if (sum != imageLength) return Fail(QvsConfigError::kSizeMismatch, 0, kQvsSizeMismatch);

  QvsPlan p;
  p.imageLength = imageLength;
  auto first = [&](Key k) {
    return std::find_if(entries.begin(), entries.end(), [k](const Entry& e) { return e.key == k; });
  };
  auto version = first(kVersionKey);
  if (version == entries.end()) return Fail(QvsConfigError::kNoVersion, 0, kQvsNoVersion);
  if (!version->complete)
    return Fail(QvsConfigError::kVersionTruncated, lineOf(*version),
                "QVSVERSION truncated in cfg file");
  std::copy(version->value.begin(), version->value.end(), p.version.begin());
  auto release = first(kReleaseKey);
  if (release != entries.end()) {
    if (!release->complete)
      return Fail(QvsConfigError::kReleaseTruncated, lineOf(*release),
                  "QVSRELEASEVERSION truncated in cfg file");
    QvsRelease r{};
    std::copy(release->value.begin(), release->value.end(), r.begin());
    p.release = r;
  }

  auto name = [&](const Entry& e, std::size_t max, QvsConfigError tooLong, const char* what,
                  std::string& utf8) -> QvsConfigResult {
    if (!e.complete)
      return Fail(QvsConfigError::kTruncatedLine, lineOf(e), "Truncated line in cfg file");
    if (e.value.empty())
      return Fail(QvsConfigError::kEmptyName, lineOf(e),
                  std::string("Empty ") + what + " in cfg file");
    if (!toUtf8(e.value, utf8) || utf8.empty())
      return Fail(QvsConfigError::kNameConversion, lineOf(e),
                  std::string("Cannot convert ") + what + " in cfg file");
    if (utf8.size() > max)
      return Fail(tooLong, lineOf(e), std::string(what) + " too long in cfg file");
    return {};
  };

  std::uint64_t offset = 0;
  const Entry* pendingName = nullptr;
  for (const Entry& e : entries) {
    if (e.key == kDirKey) {
      QvsDirectory d;
      d.line = lineOf(e);
      QvsConfigResult r =
          name(e, kQvsMaxDirName, QvsConfigError::kDirNameTooLong, "DIR_NAME", d.name);
      if (!r.ok()) return r;
      p.directories.push_back(std::move(d));
    } else if (e.key == kFileKey) {
      if (pendingName)
        return Fail(QvsConfigError::kFileWithoutSize, lineOf(*pendingName),
                    "FILE_SIZE missing in cfg file");
      QvsFile f;
      f.line = lineOf(e);
      QvsConfigResult r =
          name(e, kQvsMaxFileName, QvsConfigError::kFileNameTooLong, "FILE_NAME", f.name);
      if (!r.ok()) return r;
      p.files.push_back(std::move(f));
      pendingName = &e;
    } else if (e.key == kSizeKey) {
      if (!pendingName)
        return Fail(QvsConfigError::kSizeWithoutFile, lineOf(e),
                    "FILE_SIZE without FILE_NAME in cfg file");
      QvsFile& f = p.files.back();
      ParseSize(e.value, f.size);  // checked above
      f.offset = offset;
      offset += f.size;
      pendingName = nullptr;
    }
  }
  if (pendingName)
    return Fail(QvsConfigError::kFileWithoutSize, lineOf(*pendingName),
                "FILE_SIZE missing in cfg file");
  if (p.directories.empty())
    return Fail(QvsConfigError::kNoDirectory, 0, "DIR_NAME not found in cfg file");

  QvsDriveSize drive;
  if (ComputeQvsDriveSize(cfgText, drive).ok) p.driveSize = drive;
  plan = std::move(p);
  return {};
}

}  // namespace qvs
