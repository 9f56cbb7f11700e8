// CRC-32 of IEEE 802.3 (reflected polynomial 0x04C11DB7), table-driven.
#pragma once

#include <cstddef>
#include <cstdint>

// The 256-entry table, built by bit-reversing the polynomial.
void BuildCrc32Table(std::uint32_t table[256]);
// Initial value 0xFFFFFFFF, final complement.
std::uint32_t Crc32(const std::uint32_t table[256], const std::uint8_t* data, std::size_t n);
