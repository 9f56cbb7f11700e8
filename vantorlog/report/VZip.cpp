#include "VZip.h"

#include <zip.h>
#include <zlib.h>

#include <cstdio>
#include <vector>

#ifdef _WIN32
#include <iowin32.h>
#include <windows.h>

#include "WideText.h"
#else
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <iterator>
#endif

#include "VTextUtils.h"

namespace {

struct TFileData {
  std::vector<unsigned char> bytes;
  zip_fileinfo info{};
};

#ifdef _WIN32

bool RemoveOld(const std::string& path) {
  const std::wstring wide = Utf8ToWide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return DeleteFileW(wide.c_str()) != 0;
}

zipFile OpenArchive(const std::string& path) {
  zlib_filefunc64_def files;
  fill_win32_filefunc64W(&files);
  const std::wstring wide = Utf8ToWide(path);
  return zipOpen2_64(wide.c_str(), APPEND_STATUS_CREATE, nullptr, &files);
}

bool ReadWholeFile(const std::string& path, TFileData& data) {
  const std::wstring wide = Utf8ToWide(path);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(wide.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  const DWORD size = found.nFileSizeLow;
  FILETIME local;
  WORD dos_date = 0, dos_time = 0;
  SYSTEMTIME st{};
  if (FileTimeToLocalFileTime(&found.ftLastWriteTime, &local)) {
    FileTimeToDosDateTime(&local, &dos_date, &dos_time);
    FileTimeToSystemTime(&local, &st);
  }
  data.info.tmz_date.tm_sec = st.wSecond;
  data.info.tmz_date.tm_min = st.wMinute;
  data.info.tmz_date.tm_hour = st.wHour;
  data.info.tmz_date.tm_mday = st.wDay;
  data.info.tmz_date.tm_mon = st.wMonth ? st.wMonth - 1 : 0;
  data.info.tmz_date.tm_year = st.wYear;
  data.info.dosDate = (static_cast<uLong>(dos_date) << 16) | dos_time;

  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  data.bytes.resize(size);
  DWORD done = 0;
  const BOOL ok = size == 0 || ReadFile(file, data.bytes.data(), size, &done, nullptr);
  CloseHandle(file);
  return ok && done == size;
}

#else

bool RemoveOld(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return true;
  return std::remove(path.c_str()) == 0;
}

zipFile OpenArchive(const std::string& path) { return zipOpen(path.c_str(), APPEND_STATUS_CREATE); }

bool ReadWholeFile(const std::string& path, TFileData& data) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::tm local{};
  localtime_r(&st.st_mtime, &local);
  data.info.tmz_date.tm_sec = local.tm_sec;
  data.info.tmz_date.tm_min = local.tm_min;
  data.info.tmz_date.tm_hour = local.tm_hour;
  data.info.tmz_date.tm_mday = local.tm_mday;
  data.info.tmz_date.tm_mon = local.tm_mon;
  data.info.tmz_date.tm_year = local.tm_year + 1900;
  data.info.dosDate = 0;  // from tmz_date
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  data.bytes.assign(std::istreambuf_iterator<char>(file), {});
  return data.bytes.size() == static_cast<std::size_t>(st.st_size);
}

#endif

}  // namespace

TZipWriter::TZipWriter(const std::string& archive_path, const std::string& password)
    : password_(password) {
  if (!RemoveOld(archive_path)) return;
  archive_ = OpenArchive(archive_path);
}

TZipWriter::~TZipWriter() { Close(); }

bool TZipWriter::Close() {
  if (!archive_) return false;
  auto archive = static_cast<zipFile>(archive_);
  archive_ = nullptr;
  // The open entry, if any, is finished by zipClose as well.
  return zipClose(archive, nullptr) == ZIP_OK;
}

bool TZipWriter::AddFile(const std::string& file_path, const std::string& name_in_archive) {
  if (!archive_) return false;
  TFileData data;
  if (!ReadWholeFile(file_path, data)) return false;
  const char* password = password_.empty() ? nullptr : password_.c_str();
  uLong crc = 0;
  if (password) crc = crc32(0, data.bytes.data(), static_cast<uInt>(data.bytes.size()));
  auto archive = static_cast<zipFile>(archive_);
  if (zipOpenNewFileInZip3(archive, name_in_archive.c_str(), &data.info, nullptr, 0, nullptr, 0,
                           nullptr, Z_DEFLATED, 9, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, password,
                           crc) != ZIP_OK)
    return false;
  const bool written = zipWriteInFileInZip(archive, data.bytes.data(),
                                           static_cast<unsigned>(data.bytes.size())) == ZIP_OK;
  return zipCloseFileInZip(archive) == ZIP_OK && written;
}

namespace ExceptionLog {

bool ZipFiles(const std::string& archive_path, const std::string& password,
              const std::vector<std::string>& files) {
  if (files.empty()) return true;
  TZipWriter writer(archive_path, password);
  if (!writer.IsOpen()) return false;
  bool all = true;
  for (const std::string& file : files)
    all = writer.AddFile(file, VCore::ExtractFileName(file)) && all;
  return writer.Close() && all;
}

}  // namespace ExceptionLog
