#include "Com_port.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "WideText.h"

namespace Com_port {

std::int32_t PortHandle = -1;
std::string PortName;
bool ReadManyBytesPerCall = true;

namespace {

constexpr DWORD kQueueSize = 131072;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr int kMaxPiece = 32768;
constexpr DWORD kFlagsBinaryDtrRts = 0x1011;
constexpr DWORD kFlagsParityCheck = 0x0002;

HANDLE AsHandle(std::int32_t handle) {
  return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle));
}

bool Expired(DWORD start, std::uint32_t deadline_ms) {
  return GetTickCount() - start >= deadline_ms;
}

// One ReadFile of at most `wanted` bytes (one byte when reads are single-byte).
int ReadSome(HANDLE port, std::uint8_t* buffer, int wanted) {
  DWORD got = 0;
  const DWORD ask = ReadManyBytesPerCall ? static_cast<DWORD>(wanted) : 1;
  if (!ReadFile(port, buffer, ask, &got, nullptr)) return 0;
  return static_cast<int>(got);
}

void SetLine(HANDLE port, std::uint32_t baud_rate, int parity) {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  GetCommState(port, &dcb);
  dcb.BaudRate = baud_rate;
  dcb.ByteSize = 8;
  dcb.Parity = static_cast<BYTE>(parity);
  dcb.StopBits = ONESTOPBIT;
  // The flags word as a whole (the bit fields after BaudRate): binary, DTR and RTS control
  // enabled, parity checking on request; no flow control.
  const DWORD flags = kFlagsBinaryDtrRts | (parity != 0 ? kFlagsParityCheck : 0);
  std::memcpy(reinterpret_cast<BYTE*>(&dcb) + offsetof(DCB, BaudRate) + sizeof(dcb.BaudRate),
              &flags, sizeof(flags));
  dcb.XonLim = 4096;
  dcb.XoffLim = 1024;
  SetCommState(port, &dcb);
}

void Drain(std::int32_t handle) {
  std::string dropped;
  ComReadString(handle, dropped, 10000, 100);
}

}  // namespace

std::int32_t ComOpen(std::uint32_t baud_rate, int parity) {
  const std::string device = "\\\\.\\" + PortName;
  HANDLE port = CreateFileW(Utf8ToWide(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  const auto handle = static_cast<std::int32_t>(reinterpret_cast<INT_PTR>(port));
  if (port == INVALID_HANDLE_VALUE) return handle;

  SetupComm(port, kQueueSize, kQueueSize);
  SetCommMask(port, EV_RXCHAR | EV_TXEMPTY);
  PurgeComm(port, kPurgeAll);
  FlushFileBuffers(port);

  SetLine(port, baud_rate, parity);

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 100;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(port, &timeouts);

  ClearCommBreak(port);
  PurgeComm(port, kPurgeAll);
  Drain(handle);
  return handle;
}

void ComClose(std::int32_t handle) {
  if (handle < 0) return;
  HANDLE port = AsHandle(handle);
  FlushFileBuffers(port);
  PurgeComm(port, kPurgeAll);
  EscapeCommFunction(port, SETDTR);
  EscapeCommFunction(port, SETRTS);
  CloseHandle(port);
  PortHandle = -1;
}

bool ComConnect(const std::string& port_name) {
  PortName = port_name;
  PortHandle = ComOpen(115200, EVENPARITY);
  return PortHandle >= 0;
}

bool ComSetSpeed(std::uint32_t baud_rate) {
  HANDLE port = AsHandle(PortHandle);
  SetupComm(port, kQueueSize, kQueueSize);
  SetLine(port, baud_rate, NOPARITY);
  PurgeComm(port, kPurgeAll);
  Drain(PortHandle);
  return true;
}

bool ComReadByte(std::int32_t handle, std::uint8_t& byte, std::uint32_t deadline_ms) {
  const DWORD start = GetTickCount();
  HANDLE port = AsHandle(handle);
  for (;;) {
    if (ReadSome(port, &byte, 1) == 1) return true;
    SleepEx(1, TRUE);
    if (Expired(start, deadline_ms)) return false;
  }
}

bool ComReadBlock(std::int32_t handle, std::uint8_t* buffer, int count, std::uint32_t deadline_ms) {
  const DWORD start = GetTickCount();
  HANDLE port = AsHandle(handle);
  int have = 0;
  for (;;) {
    const int got = ReadSome(port, buffer + have, count - have);
    if (got == 0) {
      SleepEx(1, TRUE);
    } else {
      have += got;
      if (have >= count) return true;
    }
    if (Expired(start, deadline_ms)) return false;
  }
}

bool ComReadString(std::int32_t handle, std::string& text, int count, std::uint32_t deadline_ms) {
  text.clear();
  if (count <= 0) return true;
  std::string buffer(static_cast<std::size_t>(count), '\0');
  const DWORD start = GetTickCount();
  HANDLE port = AsHandle(handle);
  int have = 0;
  for (;;) {
    const int got =
        ReadSome(port, reinterpret_cast<std::uint8_t*>(buffer.data()) + have, count - have);
    if (got == 0) {
      SleepEx(1, TRUE);
    } else {
      text.append(buffer, static_cast<std::size_t>(have), static_cast<std::size_t>(got));
      have += got;
      if (have >= count) return true;
    }
    if (Expired(start, deadline_ms)) return false;
  }
}

bool ComReadBuffer(std::int32_t handle, std::uint8_t* buffer, int length,
                   std::uint32_t deadline_ms) {
  for (int done = 0; done < length;) {
    const int piece = std::min(kMaxPiece, length - done);
    if (!ComReadBlock(handle, buffer + done, piece, deadline_ms)) return false;
    done += piece;
  }
  return true;
}

void ComWriteString(std::int32_t handle, const std::string& text) {
  HANDLE port = AsHandle(handle);
  for (std::size_t done = 0; done < text.size();) {
    const auto piece = static_cast<DWORD>(std::min<std::size_t>(kMaxPiece, text.size() - done));
    DWORD written = 0;
    WriteFile(port, text.data() + done, piece, &written, nullptr);
    FlushFileBuffers(port);
    done += piece;
  }
}

void ComWriteBuffer(std::int32_t handle, const void* buffer, int length) {
  HANDLE port = AsHandle(handle);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  for (int done = 0; done < length;) {
    const int piece = std::min(kMaxPiece, length - done);
    DWORD written = 0;
    WriteFile(port, bytes + done, static_cast<DWORD>(piece), &written, nullptr);
    done += piece;
  }
  FlushFileBuffers(port);
}

}  // namespace Com_port
