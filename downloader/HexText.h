// Hexadecimal text of the address edits.
#pragma once

#include <cstdint>
#include <string_view>

// Upper-cases, skips a leading "0X", takes hex digits until the first other character (an empty
// or non-hex text gives 0); more than 8 digits keep the low 32 bits.
std::uint32_t ParseHex(std::wstring_view text);
