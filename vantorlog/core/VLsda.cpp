#include "VLsda.h"

namespace VLsda {

void TReader::Seek(std::size_t position) {
  if (position > span_.size) ok_ = false;
  position_ = ok_ ? position : span_.size;
}

std::uint8_t TReader::U8() {
  if (!ok_ || position_ >= span_.size) {
    ok_ = false;
    return 0;
  }
  return span_.data[position_++];
}

std::uint64_t TReader::Unsigned(int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint64_t>(U8()) << (8 * i);
  return ok_ ? value : 0;
}

std::uint64_t TReader::Uleb128() {
  std::uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    const std::uint8_t byte = U8();
    if (!ok_) return 0;
    // Bits past 64 would be lost: a longer number is not one any table holds.
    if (shift >= 64 || (shift == 63 && (byte & 0x7E) != 0)) {
      ok_ = false;
      return 0;
    }
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return value;
  }
}

std::int64_t TReader::Sleb128() {
  std::uint64_t value = 0;
  int shift = 0;
  std::uint8_t byte = 0;
  do {
    byte = U8();
    if (!ok_ || shift >= 64) {
      ok_ = false;
      return 0;
    }
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    shift += 7;
  } while (byte & 0x80);
  if (shift < 64 && (byte & 0x40)) value |= ~std::uint64_t{0} << shift;
  return static_cast<std::int64_t>(value);
}

int EncodedSize(std::uint8_t encoding, int pointer_size) {
  if (encoding == kEncOmit) return 0;
  switch (encoding & 0x0F) {
    case kEncAbsPtr:
      return pointer_size;
    case kEncUdata2:
    case kEncSdata2:
      return 2;
    case kEncUdata4:
    case kEncSdata4:
      return 4;
    case kEncUdata8:
    case kEncSdata8:
      return 8;
    default:
      return 0;
  }
}

bool ReadEncodedPointer(TReader& reader, std::uint8_t encoding, int pointer_size,
                        const TBases& bases, TLoadPointer load, void* user, std::uint64_t* value) {
  *value = 0;
  if (encoding == kEncOmit || (pointer_size != 4 && pointer_size != 8)) return false;
  const std::uint64_t mask = pointer_size == 8 ? ~std::uint64_t{0} : std::uint64_t{0xFFFFFFFF};
  std::uint64_t base = 0;
  switch (encoding & 0x70) {
    case 0:
      break;
    case kEncPcRel:
      base = reader.address();
      break;
    case kEncTextRel:
      base = bases.text;
      break;
    case kEncDataRel:
      base = bases.data;
      break;
    case kEncFuncRel:
      base = bases.function;
      break;
    case kEncAligned: {
      if ((encoding & 0x0F) != kEncAbsPtr) return false;
      const std::uint64_t at = reader.address();
      const std::uint64_t aligned = (at + pointer_size - 1) & ~std::uint64_t(pointer_size - 1);
      reader.Seek(reader.position() + static_cast<std::size_t>(aligned - at));
      break;
    }
    default:
      return false;
  }
  std::uint64_t raw = 0;
  switch (encoding & 0x0F) {
    case kEncAbsPtr:
      raw = reader.Unsigned(pointer_size);
      break;
    case kEncUleb128:
      raw = reader.Uleb128();
      break;
    case kEncUdata2:
      raw = reader.Unsigned(2);
      break;
    case kEncUdata4:
      raw = reader.Unsigned(4);
      break;
    case kEncUdata8:
      raw = reader.Unsigned(8);
      break;
    case kEncSleb128:
      raw = static_cast<std::uint64_t>(reader.Sleb128());
      break;
    case kEncSdata2:
      raw = static_cast<std::uint64_t>(
          static_cast<std::int64_t>(static_cast<std::int16_t>(reader.Unsigned(2))));
      break;
    case kEncSdata4:
      raw = static_cast<std::uint64_t>(
          static_cast<std::int64_t>(static_cast<std::int32_t>(reader.Unsigned(4))));
      break;
    case kEncSdata8:
      raw = reader.Unsigned(8);
      break;
    default:
      return false;
  }
  if (!reader.ok()) return false;
  // A zero stays zero whatever the base (a null type entry is a catch-all).
  std::uint64_t result = raw == 0 ? 0 : (raw + base) & mask;
  if ((encoding & kEncIndirect) && result != 0) {
    if (!load || !load(user, result, &result)) return false;
    result &= mask;
  }
  *value = result;
  return true;
}

bool ParseHeader(const TSpan& lsda, std::uint64_t region_start, int pointer_size,
                 const TBases& bases, TLoadPointer load, void* user, TLsdaHeader* header) {
  *header = TLsdaHeader{};
  header->pointer_size = pointer_size;
  TReader r(lsda);
  TBases own = bases;
  own.function = region_start;
  const std::uint8_t lp_encoding = r.U8();
  header->landing_pad_base = region_start;
  if (lp_encoding != kEncOmit &&
      !ReadEncodedPointer(r, lp_encoding, pointer_size, own, load, user, &header->landing_pad_base))
    return false;
  header->type_encoding = r.U8();
  if (header->type_encoding != kEncOmit) {
    const std::uint64_t offset = r.Uleb128();
    if (!r.ok() || offset > lsda.size - r.position()) return false;
    header->has_type_table = true;
    header->type_table_end = r.position() + static_cast<std::size_t>(offset);
  }
  header->call_site_encoding = r.U8();
  const std::uint64_t length = r.Uleb128();
  if (!r.ok() || length > lsda.size - r.position()) return false;
  header->call_site_begin = r.position();
  header->call_site_end = r.position() + static_cast<std::size_t>(length);
  return true;
}

bool FindCallSite(const TSpan& lsda, const TLsdaHeader& header, std::uint64_t region_start,
                  std::uint64_t ip, TCallSite* site, bool* malformed) {
  *malformed = false;
  TReader r(lsda, header.call_site_begin);
  const TBases none;
  while (r.ok() && r.position() < header.call_site_end) {
    TCallSite entry;
    // The personality reads these with a zero base: they are offsets.
    if (!ReadEncodedPointer(r, header.call_site_encoding, header.pointer_size, none, nullptr,
                            nullptr, &entry.start) ||
        !ReadEncodedPointer(r, header.call_site_encoding, header.pointer_size, none, nullptr,
                            nullptr, &entry.length) ||
        !ReadEncodedPointer(r, header.call_site_encoding, header.pointer_size, none, nullptr,
                            nullptr, &entry.landing_pad)) {
      *malformed = true;
      return false;
    }
    entry.action = r.Uleb128();
    if (!r.ok() || r.position() > header.call_site_end) {
      *malformed = true;
      return false;
    }
    const std::uint64_t begin = region_start + entry.start;
    // The table is sorted by start: past ip nothing further can cover it.
    if (ip < begin) return false;
    if (ip - begin < entry.length) {
      *site = entry;
      return true;
    }
  }
  if (!r.ok()) *malformed = true;
  return false;
}

bool TypeEntry(const TSpan& lsda, const TLsdaHeader& header, std::uint64_t index, int pointer_size,
               const TBases& bases, TLoadPointer load, void* user, std::uint64_t* value) {
  *value = 0;
  const int size = EncodedSize(header.type_encoding, pointer_size);
  if (!header.has_type_table || size == 0 || index == 0) return false;
  if (index > header.type_table_end / static_cast<std::uint64_t>(size)) return false;
  TReader r(lsda, header.type_table_end - static_cast<std::size_t>(index) * size);
  return ReadEncodedPointer(r, header.type_encoding, pointer_size, bases, load, user, value);
}

namespace {

// True when one of the types of the throw list at list_at (a span position after the
// type table) takes the exception; malformed when the list cannot be read.
bool ThrowListAllows(const TSpan& lsda, const TLsdaHeader& header, std::size_t list_at,
                     const TSearch& search, const TBases& bases, bool* malformed) {
  TReader r(lsda, list_at);
  for (int guard = 0; guard < 4096; ++guard) {
    const std::uint64_t index = r.Uleb128();
    if (!r.ok()) break;
    if (index == 0) return false;
    std::uint64_t type = 0;
    if (!TypeEntry(lsda, header, index, search.pointer_size, bases, search.load, search.user,
                   &type))
      break;
    if (type != 0 && search.match && search.match(search.user, type)) return true;
  }
  *malformed = true;
  return false;
}

}  // namespace

TFrameResult SearchFrame(const TSpan& lsda, std::uint64_t region_start, std::uint64_t ip,
                         const TSearch& search) {
  TFrameResult result;
  TBases bases = search.bases;
  bases.function = region_start;
  TLsdaHeader header;
  if (!ParseHeader(lsda, region_start, search.pointer_size, bases, search.load, search.user,
                   &header)) {
    result.outcome = TFrameOutcome::kMalformed;
    return result;
  }
  TCallSite site;
  bool malformed = false;
  if (!FindCallSite(lsda, header, region_start, ip, &site, &malformed)) {
    result.outcome = malformed ? TFrameOutcome::kMalformed : TFrameOutcome::kTerminate;
    return result;
  }
  if (site.landing_pad == 0) return result;  // no landing pad: nothing runs here
  const std::uint64_t landing_pad = header.landing_pad_base + site.landing_pad;
  if (site.action == 0) {
    result.cleanup = true;
    return result;
  }
  if (site.action - 1 > lsda.size - header.call_site_end) {
    result.outcome = TFrameOutcome::kMalformed;
    return result;
  }
  TReader r(lsda, header.call_site_end + static_cast<std::size_t>(site.action - 1));
  // Each record is at least two bytes and the chain only follows displacements: a bound
  // against loops in damaged tables.
  for (std::size_t steps = 0; steps <= lsda.size; ++steps) {
    const std::int64_t filter = r.Sleb128();
    const std::size_t displacement_at = r.position();
    const std::int64_t displacement = r.Sleb128();
    if (!r.ok()) break;
    if (filter > 0) {
      std::uint64_t type = 0;
      if (!TypeEntry(lsda, header, static_cast<std::uint64_t>(filter), search.pointer_size, bases,
                     search.load, search.user, &type))
        break;
      if (type == 0) {
        result.outcome = TFrameOutcome::kCatchAll;
        result.landing_pad = landing_pad;
        return result;
      }
      if (search.match && search.match(search.user, type)) {
        result.outcome = TFrameOutcome::kTyped;
        result.landing_pad = landing_pad;
        result.type_info = type;
        return result;
      }
    } else if (filter < 0) {
      // The list lies -filter - 1 bytes past the end of the type table.
      const std::uint64_t offset = static_cast<std::uint64_t>(-(filter + 1));
      if (!header.has_type_table || offset >= lsda.size - header.type_table_end) break;
      bool bad = false;
      if (!ThrowListAllows(lsda, header, header.type_table_end + static_cast<std::size_t>(offset),
                           search, bases, &bad)) {
        if (bad) break;
        result.outcome = TFrameOutcome::kTerminate;
        result.landing_pad = landing_pad;
        return result;
      }
    } else {
      result.cleanup = true;
    }
    if (displacement == 0) return result;
    // Displacements count from their own field; the sum is formed without overflow.
    const std::uint64_t next =
        static_cast<std::uint64_t>(displacement_at) + static_cast<std::uint64_t>(displacement);
    if (displacement < 0 ? static_cast<std::uint64_t>(-(displacement + 1)) >= displacement_at
                         : next >= lsda.size)
      break;
    r.Seek(static_cast<std::size_t>(next));
  }
  result.outcome = TFrameOutcome::kMalformed;
  return result;
}

}  // namespace VLsda
