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
  kConnectReq,  // each 0x81 connect request of a waiting boot ROM
  kConnect,     // 0x44 answering BOOT_CONNECT
  kQuery,       // the 16 bytes answering BOOT_QUERY
  kCustomerId,  // 0x4F answering BOOT_CUSTOMER_ID
  kSetTimeout,  // 0x4F answering BOOT_SET_TIMEOUT
  kSetAddress,  // 0x4F answering BOOT_SET_ADDRESS
  kLoad,        // 0x4F answering each BOOT_LOAD frame
  kJump,        // 0xAB answering BOOT_JUMP
  kSync,        // speed code answering the pre-loader's LINK_SYNC
  kLength,      // sum answering the pre-loader's SET_LENGTH
  kDmaEcho,     // 0xF7 answering PRE_DMA_BLOCK
  kDmaSum,      // sum answering each boot-loader block
  kPreJump,     // 0xAB answering PRE_JUMP
  kCs0Base,     // sum answering BL_SET_CS0_BASE
  kFlashId,     // the 10 bytes answering BL_FLASH_ID
  kBlSync,      // speed code answering the boot-loader's LINK_SYNC
  kOffset,      // sum answering BL_SET_OFFSET
  kBlLength,    // sum answering the boot-loader's SET_LENGTH
  kWriteAck,    // the byte answering each 2048-byte write piece
  kWriteDone,   // the sector sum after a sector's last piece
  kErase,       // sum answering BL_ERASE_SECTOR
  kDumpData,    // the 8192 data bytes answering BL_DUMP_BLOCK
  kDumpSum,     // the sum after the dump data
};
inline constexpr std::size_t kFaultPointCount = static_cast<std::size_t>(FaultPoint::kDumpSum) + 1;

enum class FaultKind {
  kDrop,     // the reply is not sent
  kWrong,    // the reply's first byte is inverted
  kShort,    // only the first half of the reply is sent (nothing of a one-byte reply)
  kGarbage,  // three junk bytes A5 5A 3C go out before the reply
};

std::string_view FaultPointName(FaultPoint point);
std::optional<FaultPoint> FaultPointFromName(std::string_view name);
std::string_view FaultKindName(FaultKind kind);
std::optional<FaultKind> FaultKindFromName(std::string_view name);

class FaultInjector {
 public:
  // `times` replies at `point` get the fault; 0 means every reply until cleared.
  void Arm(FaultPoint point, FaultKind kind, int times);
  void Clear();

  // The bytes that go on the wire for `reply` at `point`; `applied` names the fault used.
  Bytes Apply(FaultPoint point, Bytes reply, std::string* applied);

  // "connect:drop:1 dump-sum:wrong:always", or "none".
  std::string Describe() const;

 private:
  struct Armed {
    FaultKind kind;
    int remaining;  // 0 = always
  };
  std::array<std::optional<Armed>, kFaultPointCount> armed_{};
};

}  // namespace phone_sim
