// The QVS file system of a chip: drives /a, /b and /c, each a tree of directories and files
// with its own size in 4 KiB blocks, plus the 16-byte version record and the optional 12-byte
// release record of the last image download.
//
// Paths: UTF-8, "/" separators, one trailing zero byte allowed (the explorer sends it), none
// elsewhere. A first component "a", "b" or "c" names that drive; any other path is taken from
// the root of the selected drive ("/test/x" and "test/x" are the same file). Empty components
// are skipped; "." and ".." are refused, as are names longer than kMaxNameLength bytes (so
// that every directory record of QVS_LIST_DIR fits its length byte).
//
// Block accounting (what the status record reports): a directory takes one block, a file
// size / 4096 + 1 blocks (reserved for its announced size when it is added); drive roots take
// none. A file that does not fit is refused when it is added.
//
// Folder form (save / load): <dir>/a, <dir>/b, <dir>/c hold the drives' trees, directories as
// folders and files as files; <dir>/VERSION holds the 16 bytes of the version record and
// <dir>/RELEASE the 12 bytes of the release record (each absent when there is none).
//
// Image form (the NAND's data area, page by page): the version record and the release record,
// then every directory and file of drives a, b, c (depth first, names in byte order), each as
// a 512-byte header "QVS" + kind ('V' version, 'R' release, 'D' directory, 'F' file) + size
// (32-bit big-endian) + path length (16-bit big-endian) + path ("/a/dir/file"), the rest 0xFF;
// a record's or file's bytes follow its header, padded with 0xFF to a multiple of 512.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"

namespace phone_sim {

inline constexpr int kQvsDriveCount = 3;

struct QvsPath {
  int drive = 0;  // 0 = a, 1 = b, 2 = c
  std::vector<std::string> parts;
  std::string Text() const;  // "/a/dir/file"
};

// Error text or "".
std::string ParseQvsPath(ByteSpan name, int selected_drive, QvsPath* path);

// Seconds since 1980-01-01 00:00:00 of a civil date and time; nullopt when out of range
// (years 1980..2107, as MS-DOS dates hold).
std::optional<std::uint32_t> QvsSecondsOf(int year, int month, int day, int hour, int minute,
                                          int second);
// MS-DOS date-time of those seconds: date in bits 16-31, time (two-second count) in 0-15.
std::uint32_t DosDateTime(std::uint32_t seconds);

class QvsFileSystem {
 public:
  static constexpr std::uint32_t kBlockSize = 4096;
  static constexpr std::size_t kMaxNameLength = 254;
  static constexpr std::size_t kVersionSize = 16;
  static constexpr std::size_t kReleaseSize = 12;

  struct DriveStats {
    std::uint32_t total_blocks = 0;
    std::uint32_t free_blocks = 0;
    std::uint32_t nodes = 0;  // directories and files
  };
  struct Entry {
    std::string name;
    bool directory;
  };
  struct Info {
    bool directory;
    std::uint32_t size;
    std::uint32_t inode;
    std::uint32_t time;  // seconds since 1980 of the last change
  };

  // A formatted file system with these drive sizes.
  QvsFileSystem(std::array<std::uint32_t, kQvsDriveCount> drive_blocks, std::uint32_t time);

  bool Formatted() const { return formatted_; }
  // Empties every drive and the records; the drives get the given sizes.
  void Format(std::array<std::uint32_t, kQvsDriveCount> drive_blocks, std::uint32_t time);
  // Its storage was erased: nothing can be mounted until the next format.
  void Unformat();

  // Each returns an error text or "".
  std::string MakeDir(const QvsPath& path, std::uint32_t time);  // an existing one is fine
  // A new empty file reserving `size` bytes; an existing file is replaced.
  std::string CreateFile(const QvsPath& path, std::uint32_t size, std::uint32_t time);
  std::string Append(const QvsPath& path, ByteSpan data);
  std::string List(const QvsPath& path, std::vector<Entry>* entries) const;
  std::string Read(const QvsPath& path, Bytes* data) const;
  std::string Delete(const QvsPath& path);  // files only
  std::string Stat(const QvsPath& path, Info* info) const;
  DriveStats Stats(int drive) const;

  const std::optional<Bytes>& Version() const { return version_; }
  const std::optional<Bytes>& Release() const { return release_; }
  void SetVersion(Bytes record) { version_ = std::move(record); }
  void SetRelease(std::optional<Bytes> record) { release_ = std::move(record); }

  Bytes Image() const;
  // One line a drive, directory, file and record: "drive a total=.. free=..", "D /a/dir",
  // "F /a/dir/file <size>", "V <hex>", "R <hex>"; "unformatted" alone when not formatted.
  std::vector<std::string> Describe() const;
  // Error text or "". Save needs a folder that is missing or empty.
  std::string Save(const std::string& dir) const;
  // Replaces the contents (the drive sizes stay); on error nothing changes.
  std::string Load(const std::string& dir, std::uint32_t time);

 private:
  struct Node {
    bool directory = false;
    Bytes data;
    std::uint32_t reserved = 0;  // announced size of a file
    std::map<std::string, Node> children;
    std::uint32_t inode = 0;
    std::uint32_t time = 0;
  };

  Node* Find(const QvsPath& path, std::size_t depth);
  const Node* Find(const QvsPath& path, std::size_t depth) const;
  static std::uint32_t Blocks(const Node& node);
  std::uint32_t UsedBlocks(int drive) const;

  bool formatted_ = true;
  std::array<Node, kQvsDriveCount> drives_{};
  std::array<std::uint32_t, kQvsDriveCount> total_blocks_{};
  std::optional<Bytes> version_;
  std::optional<Bytes> release_;
  std::uint32_t next_inode_ = 1;
};

}  // namespace phone_sim
