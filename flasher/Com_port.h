// The flasher's serial line: one COM port at a time, polled reads with deadlines in ms.
#pragma once

#include <cstdint>
#include <string>

namespace Com_port {

// The open port's handle; negative when no port is open.
extern std::int32_t PortHandle;
// The port name last given to ComConnect (e.g. "COM3", without the device prefix).
extern std::string PortName;

// Reads may take as many bytes per ReadFile as are still needed (true), or one byte per
// call (false). Both keep the same deadline semantics.
extern bool ReadManyBytesPerCall;

// Opens "\\.\" + PortName at the rate and parity (0 none, 2 even); negative on failure.
std::int32_t ComOpen(std::uint32_t baud_rate, int parity);
void ComClose(std::int32_t handle);
// PortName := name; PortHandle := ComOpen(115200, even). True when the port opened.
bool ComConnect(const std::string& port_name);
// Switches the open port to the rate, 8 data bits, no parity, 1 stop bit.
bool ComSetSpeed(std::uint32_t baud_rate);

bool ComReadByte(std::int32_t handle, std::uint8_t& byte, std::uint32_t deadline_ms);
// Empties text, then appends what arrives; true when count bytes arrived.
bool ComReadString(std::int32_t handle, std::string& text, int count, std::uint32_t deadline_ms);
bool ComReadBlock(std::int32_t handle, std::uint8_t* buffer, int count, std::uint32_t deadline_ms);
// Sub-reads of at most 32768 bytes, each with the full deadline.
bool ComReadBuffer(std::int32_t handle, std::uint8_t* buffer, int length,
                   std::uint32_t deadline_ms);

void ComWriteString(std::int32_t handle, const std::string& text);
void ComWriteBuffer(std::int32_t handle, const void* buffer, int length);

}  // namespace Com_port
