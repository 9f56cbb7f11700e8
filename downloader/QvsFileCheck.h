// The A-drive size of a QVS image's .cfg and the line-by-line check of the .cfg against the
// copy of the list that the image carries ("/a/test/cfg.txt" or "/test/cfg.txt").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvs {

// Reads a text as a file opened in text mode is read line by line into a 256-byte buffer: each
// piece ends after its line feed or after 255 bytes; CR LF reads as LF.
class TextLineReader {
 public:
  explicit TextLineReader(std::string_view text) : text_(text) {}
  // The next piece; false at the end of the text.
  bool Next(std::string& line);
  // The rest of the current line joined to `line` (a line longer than one piece).
  void FinishLine(std::string& line);
  bool AtEnd() const { return pos_ >= text_.size(); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

struct QvsDriveSize {
  std::uint32_t blocks = 0;  // 4 KiB blocks drive A: needs
  std::uint32_t bytes = 0;   // blocks x 4096
};

struct QvsDriveSizeResult {
  bool ok = false;
  bool endOfFile = false;  // the count ran to the end of the .cfg (kQvsEndOfFileLog)
  int line = 0;            // the line of an error
  std::string message;     // an error's text
};

extern const char kQvsFileOpenFail[];  // "FILE OPEN FAIL.."
extern const char kQvsEndOfFileLog[];  // "\r\n END OF FILE"

// NUM_DIR after the QVSVERSION line gives one block per directory; every "/a/" file adds
// size / 4096 + 1; the first "/b/" file or the end of the text ends the count. A NUM_DIR or
// FILE_SIZE without a number, or a size that does not fit 32 bits, is an error and leaves `out`
// unchanged.
QvsDriveSizeResult ComputeQvsDriveSize(std::string_view cfgText, QvsDriveSize& out);

enum class QvsCheckOutcome {
  kSuccess,          // the .cfg's END_QVS line reached: kQvsCompareSuccess
  kMismatch,         // a line differs: QvsFileCheckLog gives the two lines
  kNoListCopy,       // no list-copy entry in the .cfg: kQvsNeedBuilder
  kBadSize,          // a FILE_SIZE before the list copy without a number: kQvsCheckSizes
  kNoSetDirInImage,  // the image ends before its SET_DIR line: kQvsCheckSizes
  kEnded,            // a text ended first (no SET_DIR in the .cfg, or the end of either text)
};

struct QvsFileCheckResult {
  QvsCheckOutcome outcome = QvsCheckOutcome::kEnded;
  std::uint64_t listOffset = 0;  // where the image's copy of the list begins
  int lines = 0;                 // the .cfg line of a mismatch
  std::string cfgLine, imageLine;
};

extern const char kQvsCompareSuccess[];  // "\r\n File Compare SUCCESS!!"
extern const char kQvsNeedBuilder[];     // "\r\n You must use qvs builder v1.4"
extern const char kQvsCheckSizes[];      // "\r\n Error\r\n You can check size of files.."

// Compares the .cfg with the image's copy of the list, from the .cfg's SET_DIR line on.
QvsFileCheckResult QvsFileCheck(std::string_view cfgText, std::string_view image);
// The log text of a check's result (names as they are to be shown); empty for kEnded.
std::string QvsFileCheckLog(const QvsFileCheckResult& result, std::string_view cfgName,
                            std::string_view imageName);

}  // namespace qvs
