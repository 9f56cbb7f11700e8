// The zip packer of the report files: deflate level 9, optional traditional encryption.
#pragma once

#include <string>
#include <vector>

class TZipWriter {
 public:
  // Replaces any file at the path by a new archive. IsOpen() is false when the old file could
  // not be removed or the archive could not be created.
  TZipWriter(const std::string& archive_path, const std::string& password);
  // Finishes the archive (also when no entry was added).
  ~TZipWriter();
  TZipWriter(const TZipWriter&) = delete;
  TZipWriter& operator=(const TZipWriter&) = delete;

  bool IsOpen() const { return archive_ != nullptr; }
  // Adds one file under the name; false when it cannot be opened or read whole.
  bool AddFile(const std::string& file_path, const std::string& name_in_archive);
  // Closes the archive now; true when it was written completely.
  bool Close();

 private:
  void* archive_ = nullptr;
  std::string password_;
};

namespace ExceptionLog {
// Packs the files under their names without folder, in list order; an empty list writes
// nothing. False when the archive could not be created or a file was skipped.
bool ZipFiles(const std::string& archive_path, const std::string& password,
              const std::vector<std::string>& files);
}  // namespace ExceptionLog
