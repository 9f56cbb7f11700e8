// The boot-loader's QVS and NAND commands: the file system on the chip's NAND (on the slave,
// in its NOR area), image downloads, format and status, drive select, the explorer's listing,
// reading, deleting and file status, and the raw NAND dump.
//
// What the phone does where the host's side leaves it open:
// - A refused frame is logged with its reason and answered by the complement of the byte a
//   good reply starts with (~sum, ~0xDA, ~0xE9, ...), which never equals what the host
//   expects. QVS_FORMAT answers QVS_FORMAT_FAILED and QVS_STATUS QVS_INIT_FAILED instead.
// - Name lengths are read whole even when too long (62 bytes for QVS_MAKE_DIR, 510 for the
//   others), so that name bytes are never taken as commands; the frame is then refused.
// - The file-system commands need QVS_MOUNT or QVS_BEGIN_DOWNLOAD first (refused on an
//   unformatted file system); QVS_FORMAT, QVS_STATUS, QVS_SELECT_DRIVE and QVS_UNMOUNT do not.
// - QVS_SET_CHECKSUM announces the CRC-32 of the image: QVS_END_DOWNLOAD compares it with the
//   CRC-32 of the data blocks received since, and is refused on a difference.
// - QVS_DATA_BLOCK carries min(8192, bytes still due) bytes of the file added last; a block of
//   fewer than 8192 bytes (an empty one included) completes the file and is answered 0xDF. Any
//   other command closes a file still short of its size (logged).
// - QVS_SET_TIME must carry its three zero bytes and a valid date (1980..2107); it sets the
//   phone's clock, which stamps what is made later. Before it the clock starts at 2010-01-01.
// - QVS_MAKE_DIR of an existing directory succeeds; its parent must exist, as for a file.
// - QVS_FORMAT on the master: the sum8 of the 3 count bytes, then 0xE1; drive a gets
//   count / 8 blocks of 4 KiB, b and c share the rest of the NAND (by the second device ID).
//   A count of 0, one larger than the NAND, an unknown NAND or a failure armed by the control
//   command give 0xF2, function code 0x01, error code 1, 2, 3 or the armed one. On the slave
//   0xE0 alone formats its NOR area (sectors 224-230) as drive a; erasing any of those sectors
//   loses that file system until the next format. A format leaves the file system unmounted.
// - QVS_STATUS: 0xED and the record of the selected drive (f_type "QVS1", f_bsize 4096,
//   f_bsizebits 12, blocks / free / available in 4 KiB blocks, f_files = total blocks,
//   f_ffree = free blocks, f_fsid "QVSA".."QVSC", f_maxfilesize 0xFFFFFFFF, f_namelen 254);
//   0xF3, function 0x02, error 1 on an unformatted file system.
// - QVS_SELECT_DRIVE takes 0x08, 0x09, 0x0A for a, b, c (any other byte is refused).
// - QVS_LIST_DIR: records "." and "..", then the entries in byte order of their names, each
//   as its length byte n and n + 1 record bytes (kind 1 file / 2 directory, the name, a zero
//   byte); the first right after the request, each further one after the host sent back the
//   previous record's kind, preceded by 0xCB; 0xE7 after the last one is acknowledged. A
//   directory that cannot be listed gives one record {0x00} (n = 0) and, once acknowledged,
//   0xE6.
// - QVS_READ_FILE: 0xE9 and the size (32-bit big-endian); a file of size 0 ends there. Else
//   0xEA asks for the first chunk; each chunk (8192 bytes, the last shorter) is followed by
//   its sum8, and the host's 0x01 asks for the next one (the last one's 0x01 ends the read);
//   0x00 ends it too.
// - QVS_DELETE deletes files only; QVS_FILE_STATUS answers 0xF1 and the 28-byte record
//   (mode 0x81A4 file / 0x41ED directory, i-node, device = drive number 1..3, 0, size,
//   access date, modification and change date-time, MS-DOS form, big-endian).
// - NAND_FULL_DUMP / NAND_DUMP_CONTINUE need the size code of the chip's NAND (and a first
//   page inside it at a unit boundary): 0xC1, then units of (pages per unit) x 528 bytes, each
//   followed by its sum8; the host's 0xC1 asks for the next unit, 0xC2 ends the dump; after
//   the last unit 0xC3 follows at once.
// - While the phone awaits an acknowledgement, any other byte ends that transfer (logged) and
//   is taken as a command.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "nand_flash.h"
#include "qvs_file_system.h"
#include "stage.h"

namespace phone_sim {

class Chip;

class QvsCommands {
 public:
  static constexpr std::size_t kBlockSize = 8192;
  static constexpr std::size_t kMaxDirName = 62;
  static constexpr std::size_t kMaxFileName = 510;

  using Handler = std::function<void(ByteSpan)>;
  using AddCommand = std::function<void(std::uint8_t, std::string, std::size_t, Handler)>;
  using ExpectMore = std::function<void(std::size_t, Handler)>;

  QvsCommands(ChipLine& line, Chip& chip);

  void Register(const AddCommand& add, ExpectMore expect);
  // A fresh boot-loader: unmounted, drive a, no transfer.
  void Start();
  // A command byte seen first by the QVS side (acknowledgements); true when taken.
  bool OnCommandByte(std::uint8_t byte);
  // "" when no transfer is running.
  std::string StateName() const;
  int SelectedDrive() const { return drive_; }

 private:
  struct Write {
    QvsPath path;
    std::uint32_t size;
    std::uint32_t received = 0;
  };
  struct Listing {
    std::string path;
    std::vector<Bytes> records;
    std::size_t next = 0;  // records sent
    bool failed = false;
  };
  struct Read {
    std::string path;
    Bytes data;
    std::size_t sent = 0;
    bool started = false;
  };
  struct Dump {
    NandImage image;
    std::uint32_t next_page;
  };

  void Reply(FaultPoint point, Bytes bytes) { line_.Reply(point, std::move(bytes)); }
  void Refuse(FaultPoint point, const std::string& frame, const std::string& reason,
              std::uint8_t good_reply);
  std::uint32_t Now() const;
  // The path of a name frame, or "" and a refusal.
  bool PathOf(ByteSpan name, const std::string& frame, FaultPoint point, std::uint8_t good_reply,
              QvsPath* path);
  bool NeedMount(const std::string& frame, FaultPoint point, std::uint8_t good_reply);
  // Reads a 16-bit length, then that many name bytes (and `extra` more).
  void WithName(std::size_t extra, std::function<void(ByteSpan, ByteSpan)> handler);

  void Mount(bool begin);
  void SetChecksum(ByteSpan p);
  void SetTime(ByteSpan p);
  void MakeDir(ByteSpan length, ByteSpan name);
  void WriteRecord(std::uint8_t code, ByteSpan p);
  void AddFile(ByteSpan length, ByteSpan rest);
  void DataBlock();
  void EndDownload();
  void Unmount();
  void Format(ByteSpan p);
  void FormatFailed(std::uint8_t function, std::uint32_t error, const std::string& reason);
  void Status();
  void SelectDrive(ByteSpan p);
  void ListDir(ByteSpan name);
  void SendListRecord();
  void ReadFile(ByteSpan name);
  void SendChunk();
  void Delete(ByteSpan name);
  void FileStatus(ByteSpan name);
  void NandDump(const std::string& frame, std::uint8_t code, std::uint32_t first_page);
  void SendUnit();
  void CloseWrite();

  ChipLine& line_;
  Chip& chip_;
  ExpectMore expect_;
  bool mounted_ = false;
  int drive_ = 0;
  std::uint32_t clock_base_;  // seconds since 1980 at clock_set_
  Clock::time_point clock_set_{};
  bool clock_running_ = false;
  std::optional<std::uint32_t> image_checksum_;
  Crc32 image_crc_;
  std::optional<Write> write_;
  std::optional<Listing> listing_;
  std::optional<Read> read_;
  std::optional<Dump> dump_;
};

}  // namespace phone_sim
