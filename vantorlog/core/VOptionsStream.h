// The options block: its elementary items and the stream version in force. The block carries
// no header; the caller puts the version in force before reading.
#pragma once

#include <cstdint>

namespace VCore {

inline constexpr std::uint16_t kCurrentStreamVersion = 6015;
// Strings are stored as a signed 32-bit length and bytes XORed with this key.
inline constexpr std::uint8_t kStreamStringKey = 0x4E;

std::uint16_t StreamVersion();
void SetStreamVersion(std::uint16_t version);
// The version a module's build-step block word stands for (600-602 count as 6000-6002).
std::uint16_t BlockVersionFromWord(std::uint16_t word);
// Between the current version rounded down to a hundred and that + 100, both included.
bool IsCompatibleVersion(std::uint16_t version);

}  // namespace VCore
