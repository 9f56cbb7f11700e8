// The flasher's protocol steps: chip boot (boot ROM, pre-loader, boot-loader) and the NOR
// write, dump and erase, each reporting through the active panel (log lines, progress).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Streams.h"

namespace Special_unit {

// Deadlines and pauses in ms. Tests shorten them; the program uses the defaults.
struct Timings {
  std::uint32_t connect_wait = 30000;   // waiting for the boot ROM's connect request
  std::uint32_t connect_poll = 300;     // one read of that wait
  std::uint32_t connect_echo = 3000;    // each byte after BOOT_CONNECT
  std::uint32_t reply = 7000;           // most boot replies, dump blocks
  std::uint32_t address_reply = 1000;   // BOOT_SET_ADDRESS
  std::uint32_t speed_settle = 500;     // after the speed change
  std::uint32_t boot_done_pause = 250;  // after the flash ID
  std::uint32_t ack = 3000;             // acknowledgements of the boot-loader commands
};
extern Timings timings;

inline constexpr std::size_t kTransferBufferSize = 262148;
inline constexpr std::size_t kPieceBufferSize = 32772;
extern std::uint8_t TransferBuffer[kTransferBufferSize];
extern std::uint8_t PieceBuffer[kPieceBufferSize];

std::uint8_t Sum8(const std::uint8_t* bytes, std::size_t count);

// Copies the program's "RT_RCDATA" resource of that name (any case) into stream. A missing
// resource logs "Ресурс не найден" and ends the calling thread at once (exit code 0).
void LoadLoaderImage(const std::string& name, TStream& stream);

// Progress bar range 0..100 at done / total, rounded.
void ShowProgress(std::uint32_t done, std::uint32_t total);
void LogLine(const std::string& text);

// Boots one chip from its boot ROM to a running boot-loader. True when the boot-loader
// answered the flash ID; the port then stays open at the chosen speed. False after a
// failure, with its message logged and the port closed.
bool BootAndLoad(const std::string& pre_loader_name, const std::string& boot_loader_name);

// NOR operations on a running boot-loader; false with "Нет ответа от телефона" (or
// "Ошибка чек суммы") logged after a failure. Ranges that would pass 0xFFFFFFFF are refused
// before anything is sent.
bool FlashWrite(std::uint32_t start_offset, TStream& file, std::uint32_t sector_size);
bool FlashDump(std::uint32_t start, std::uint32_t length, TStream& file, std::uint32_t block_size);
bool FlashErase(std::uint32_t start, std::uint32_t length, std::uint32_t sector_size);

}  // namespace Special_unit
