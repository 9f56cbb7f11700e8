// The .cfg text of a QVS image: what a download of the image sends, checked whole before
// anything is sent.
//
// The .cfg names its values by keys found anywhere in the text ("QVSVERSION : ", "DIR_NAME : ",
// ...), each followed by its value: the 16 version bytes and the 12 release bytes as they
// stand, names and sizes up to the line end (CR LF, LF or CR). The image is the listed files'
// contents back to back, in FILE_NAME order; its length must equal the sum of the sizes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QvsFileCheck.h"
#include "QvsFrames.h"

namespace qvs {

struct QvsDirectory {
  std::string name;  // UTF-8, as QVS_MAKE_DIR sends it
  int line = 0;      // its line in the .cfg
};

struct QvsFile {
  std::string name;  // UTF-8, as QVS_ADD_FILE sends it
  std::uint32_t size = 0;
  std::uint64_t offset = 0;  // of its bytes in the image
  int line = 0;
};

struct QvsPlan {
  QvsVersion version{};
  std::optional<QvsRelease> release;  // none: QVS_NO_RELEASE
  std::vector<QvsDirectory> directories;
  std::vector<QvsFile> files;
  std::uint64_t imageLength = 0;
  // The A-drive size (ComputeQvsDriveSize); none when the .cfg gives no count.
  std::optional<QvsDriveSize> driveSize;
};

enum class QvsConfigError {
  kNone,
  kSizeMismatch,      // "QVS file size mismatched!!!"
  kNoVersion,         // "QVSVERSION not found in cfg file"
  kVersionTruncated,  // fewer than 16 bytes after the key
  kReleaseTruncated,  // fewer than 12 bytes after the key
  kBadNumber,         // a FILE_SIZE without digits, with other text after them, or above 32 bits
  kTruncatedLine,     // a name or size that runs to the end of the text without a line end
  kFileWithoutSize,   // a FILE_NAME not followed by its FILE_SIZE
  kSizeWithoutFile,   // a FILE_SIZE with no FILE_NAME of its own before it
  kEmptyName,
  kNameConversion,   // the name could not be converted to UTF-8
  kDirNameTooLong,   // more than 62 UTF-8 bytes
  kFileNameTooLong,  // more than 510 UTF-8 bytes
  kNoDirectory,      // no DIR_NAME at all
};

struct QvsConfigResult {
  QvsConfigError error = QvsConfigError::kNone;
  int line = 0;         // the .cfg line at fault (0 when the error has none)
  std::string message;  // the message box text
  bool ok() const { return error == QvsConfigError::kNone; }
};

extern const char kQvsSizeMismatch[];  // "QVS file size mismatched!!!"
extern const char kQvsNoVersion[];     // "QVSVERSION not found in cfg file"

// Converts a name from the .cfg's code page to UTF-8; false when it cannot.
using QvsNameConverter = std::function<bool(std::string_view, std::string&)>;
// Keeps the bytes as they are (a .cfg already in UTF-8).
bool KeepUtf8Name(std::string_view name, std::string& utf8);

// Checks the .cfg text against the image's length and fills `plan` with everything a download
// sends; on an error `plan` is left empty and the result names the error.
QvsConfigResult ParseQvsConfig(std::string_view cfgText, std::uint64_t imageLength,
                               const QvsNameConverter& toUtf8, QvsPlan& plan);

}  // namespace qvs
