// Hexadecimal text of the address edits.
#pragma once

#include <cstdint>
#include <string_view>

// Upper-cases, skips a leading "0X", takes hex digits until the first other character (an empty
// or non-hex text gives 0); more than 8 digits keep the low 32 bits.
std::uint32_t ParseHex(std::wstring_view text);

// A start address of the NOR as typed (at most 16 characters are read, as ParseHex): true with
// its offset from the NOR base when it lies in 0x20000000..0x2FFFFFFF. A number of more than
// 32 bits is refused instead of being cut to its low bits.
bool ParseStartAddress(std::wstring_view text, std::uint32_t& offset);
