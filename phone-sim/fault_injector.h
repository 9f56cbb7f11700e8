// Faults injected into the phone's replies on request. A fault changes only what goes on the
// wire: the chip does its work and keeps its state as if the reply had been sent.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "bytes.h"

namespace phone_sim {

// One point per kind of reply (names in FaultPointName, documented in the control client).
enum class FaultPoint {
  kConnectReq,     // each 0x81 connect request of a waiting boot ROM
  kConnect,        // 0x44 answering BOOT_CONNECT
  kQuery,          // the 16 bytes answering BOOT_QUERY
  kCustomerId,     // 0x4F answering BOOT_CUSTOMER_ID
  kSetTimeout,     // 0x4F answering BOOT_SET_TIMEOUT
  kSetAddress,     // 0x4F answering BOOT_SET_ADDRESS
  kLoad,           // 0x4F answering each BOOT_LOAD frame
  kJump,           // 0xAB answering BOOT_JUMP
  kSync,           // speed code answering the pre-loader's LINK_SYNC
  kLength,         // sum answering the pre-loader's SET_LENGTH
  kDmaEcho,        // 0xF7 answering PRE_DMA_BLOCK
  kDmaSum,         // sum answering each boot-loader block
  kPreJump,        // 0xAB answering PRE_JUMP
  kCs0Base,        // sum answering BL_SET_CS0_BASE
  kFlashId,        // the 10 bytes answering BL_FLASH_ID
  kBlSync,         // speed code answering the boot-loader's LINK_SYNC
  kOffset,         // sum answering BL_SET_OFFSET
  kBlLength,       // sum answering the boot-loader's SET_LENGTH
  kWriteAck,       // the byte answering each 2048-byte write piece
  kWriteDone,      // the sector sum after a sector's last piece
  kErase,          // sum answering BL_ERASE_SECTOR
  kDumpData,       // the 8192 data bytes answering BL_DUMP_BLOCK
  kDumpSum,        // the sum after the dump data
  kChipVersion,    // the 4 bytes answering PRE_CHIP_VERSION
  kChecksum,       // sum answering BL_SET_CHECKSUM
  kDownloadEnd,    // 0xC6 answering BL_DOWNLOAD_END
  kQvsMount,       // 0xDA answering QVS_MOUNT
  kQvsBegin,       // 0xCE answering QVS_BEGIN_DOWNLOAD
  kQvsChecksum,    // sum answering QVS_SET_CHECKSUM
  kQvsTime,        // sum answering QVS_SET_TIME
  kQvsDir,         // sum answering QVS_MAKE_DIR
  kQvsDirDone,     // 0xDC after it
  kQvsVersion,     // 0xE3 answering QVS_WRITE_VERSION
  kQvsRelease,     // 0xE3 answering QVS_WRITE_RELEASE or QVS_NO_RELEASE
  kQvsAdd,         // sum answering QVS_ADD_FILE
  kQvsBlock,       // sum or 0xDF answering each QVS_DATA_BLOCK
  kQvsEnd,         // 0xC5 answering QVS_END_DOWNLOAD
  kQvsUnmount,     // 0xE4 answering QVS_UNMOUNT
  kQvsFormatSum,   // sum of the count bytes answering the master's QVS_FORMAT
  kQvsFormat,      // 0xE1, or 0xF2 and its 5 bytes
  kQvsStatus,      // 0xED and the 44-byte record, or 0xF3 and its 5 bytes
  kQvsDrive,       // 0xCF answering QVS_SELECT_DRIVE
  kQvsList,        // each directory record with its length byte
  kQvsListNext,    // 0xCB, 0xE7 or 0xE6 after an acknowledged record
  kQvsRead,        // 0xE9 and the size answering QVS_READ_FILE
  kQvsChunk,       // the bytes of each chunk of a file read
  kQvsChunkSum,    // the sum after each chunk
  kQvsDelete,      // 0xEE answering QVS_DELETE
  kQvsFileStatus,  // 0xF1 and the 28-byte record answering QVS_FILE_STATUS
  kNandDump,       // 0xC1 answering NAND_FULL_DUMP or NAND_DUMP_CONTINUE
  kNandUnit,       // the bytes of each dump unit
  kNandUnitSum,    // the sum after each unit
  kNandEnd,        // 0xC3 after the last unit
};
inline constexpr std::size_t kFaultPointCount = static_cast<std::size_t>(FaultPoint::kNandEnd) + 1;

enum class FaultKind {
  kDrop,     // the reply is not sent
  kWrong,    // the reply's first byte is inverted
  kShort,    // only the first half of the reply is sent (nothing of a one-byte reply)
  kGarbage,  // three junk bytes A5 5A 3C go out before the reply
  kUnplug,   // the reply is not sent and the line goes away (the adapter is pulled)
};

std::string_view FaultPointName(FaultPoint point);
std::optional<FaultPoint> FaultPointFromName(std::string_view name);
std::string_view FaultKindName(FaultKind kind);
std::optional<FaultKind> FaultKindFromName(std::string_view name);

class FaultInjector {
 public:
  // `times` replies at `point` get the fault, after `skip` replies there that pass untouched;
  // times 0 means every reply until cleared.
  void Arm(FaultPoint point, FaultKind kind, int times, int skip = 0);
  void Clear();

  // The bytes that go on the wire for `reply` at `point`; `applied` names the fault used.
  Bytes Apply(FaultPoint point, Bytes reply, std::string* applied);

  // True once after an unplug fault was used.
  bool TakeUnplug();

  // "connect:drop:1 dump-sum:wrong:always dump-data:short:1:after2", or "none".
  std::string Describe() const;

 private:
  struct Armed {
    FaultKind kind;
    int remaining;  // 0 = always
    int skip;       // replies still to pass before the first fault
  };
  std::array<std::optional<Armed>, kFaultPointCount> armed_{};
  bool unplugged_ = false;
};

}  // namespace phone_sim
