// Reader of the language-specific data area (LSDA) that GCC's C++ personality routine reads:
// the header, the call-site table, the action records and the type table, with DWARF LEB128
// numbers and pointer encodings. It answers, for one frame and one thrown type, what the
// personality's search phase would find there. Every read is bounded by the span it is given;
// bytes outside it count as malformed data, never as a read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VLsda {

// DW_EH_PE_* pointer encodings.
inline constexpr std::uint8_t kEncAbsPtr = 0x00;
inline constexpr std::uint8_t kEncUleb128 = 0x01;
inline constexpr std::uint8_t kEncUdata2 = 0x02;
inline constexpr std::uint8_t kEncUdata4 = 0x03;
inline constexpr std::uint8_t kEncUdata8 = 0x04;
inline constexpr std::uint8_t kEncSleb128 = 0x09;
inline constexpr std::uint8_t kEncSdata2 = 0x0A;
inline constexpr std::uint8_t kEncSdata4 = 0x0B;
inline constexpr std::uint8_t kEncSdata8 = 0x0C;
inline constexpr std::uint8_t kEncPcRel = 0x10;
inline constexpr std::uint8_t kEncTextRel = 0x20;
inline constexpr std::uint8_t kEncDataRel = 0x30;
inline constexpr std::uint8_t kEncFuncRel = 0x40;
inline constexpr std::uint8_t kEncAligned = 0x50;
inline constexpr std::uint8_t kEncIndirect = 0x80;
inline constexpr std::uint8_t kEncOmit = 0xFF;

// A bounded run of bytes that lies at address in the process being described.
struct TSpan {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::uint64_t address = 0;
};

// A cursor over a span; any read past its end clears ok and yields 0.
class TReader {
 public:
  explicit TReader(const TSpan& span, std::size_t position = 0)
      : span_(span), position_(position), ok_(position <= span.size) {}
  bool ok() const { return ok_; }
  std::size_t position() const { return position_; }
  std::uint64_t address() const { return span_.address + position_; }
  void Seek(std::size_t position);

  std::uint8_t U8();
  std::uint64_t Unsigned(int bytes);  // little-endian
  std::uint64_t Uleb128();
  std::int64_t Sleb128();

 private:
  TSpan span_;
  std::size_t position_;
  bool ok_;
};

// What the relative encodings add to a value; each base may be 0 when not known.
struct TBases {
  std::uint64_t text = 0;
  std::uint64_t data = 0;
  std::uint64_t function = 0;
};

// Dereferences an indirect pointer (an address in the described process); false when it
// cannot be read.
using TLoadPointer = bool (*)(void* user, std::uint64_t address, std::uint64_t* value);

// Size in bytes of a fixed-size encoding; 0 for LEB128, omit or an unknown format.
int EncodedSize(std::uint8_t encoding, int pointer_size);

// Reads one encoded pointer. Unknown formats or applications, and an indirect pointer without
// a loader or one the loader cannot read, are malformed (false).
bool ReadEncodedPointer(TReader& reader, std::uint8_t encoding, int pointer_size,
                        const TBases& bases, TLoadPointer load, void* user, std::uint64_t* value);

struct TLsdaHeader {
  int pointer_size = 4;
  std::uint64_t landing_pad_base = 0;  // LPStart: the region start unless the header names one
  std::uint8_t type_encoding = kEncOmit;
  bool has_type_table = false;
  std::size_t type_table_end = 0;  // span position just past the type table (entries run down)
  std::uint8_t call_site_encoding = kEncOmit;
  std::size_t call_site_begin = 0;
  std::size_t call_site_end = 0;  // also the start of the action table
};

bool ParseHeader(const TSpan& lsda, std::uint64_t region_start, int pointer_size,
                 const TBases& bases, TLoadPointer load, void* user, TLsdaHeader* header);

struct TCallSite {
  std::uint64_t start = 0;  // offsets from the region start
  std::uint64_t length = 0;
  std::uint64_t landing_pad = 0;  // offset from LPStart; 0: none
  std::uint64_t action = 0;       // 1 + span offset into the action table; 0: cleanup only
};

// The call-site entry that covers ip (an address; use the call's return address minus one).
// False when none covers it or the table is malformed (malformed says which).
bool FindCallSite(const TSpan& lsda, const TLsdaHeader& header, std::uint64_t region_start,
                  std::uint64_t ip, TCallSite* site, bool* malformed);

// Value of type-table entry index (1-based, as an action record's filter names it): the
// address of a std::type_info, 0 for a catch-all.
bool TypeEntry(const TSpan& lsda, const TLsdaHeader& header, std::uint64_t index, int pointer_size,
               const TBases& bases, TLoadPointer load, void* user, std::uint64_t* value);

// Does a handler for type_info at this address take the thrown exception?
using TMatchType = bool (*)(void* user, std::uint64_t type_info);

enum class TFrameOutcome {
  kNone,       // nothing here takes it (no entry action, cleanups only): the search goes on
  kCatchAll,   // catch (...)
  kTyped,      // a typed handler whose type matches
  kTerminate,  // ip outside the call-site table (noexcept), or a throw list the exception breaks
  kMalformed,  // the tables cannot be read
};

struct TFrameResult {
  TFrameOutcome outcome = TFrameOutcome::kNone;
  std::uint64_t landing_pad = 0;  // address of the landing pad for the handler kinds
  std::uint64_t type_info = 0;    // the matching handler's type (kTyped)
  bool cleanup = false;           // the entry runs cleanups
};

struct TSearch {
  int pointer_size = 4;
  TBases bases;                 // text and data bases; function is set from region_start
  TLoadPointer load = nullptr;  // for indirect type entries
  TMatchType match = nullptr;   // null: no typed handler matches
  void* user = nullptr;         // passed to load and match
};

// The search phase for one frame whose LSDA is lsda, for a call at ip (already moved back
// into the call instruction).
TFrameResult SearchFrame(const TSpan& lsda, std::uint64_t region_start, std::uint64_t ip,
                         const TSearch& search);

}  // namespace VLsda
