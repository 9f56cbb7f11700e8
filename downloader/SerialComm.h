// Serial link of the downloader: overlapped port I/O and the reader thread ThreadWatchComm,
// which moves received bytes into m_QueueRead and posts WM_COMM_RECEIVE to the reply window.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "ByteQueue.h"
#include "CString.h"

constexpr UINT WM_COMM_RECEIVE = WM_USER + 1;  // wParam: port number, lParam: 0

// The window that gets the reader's messages (main dialog, or the explorer while it is open).
extern std::atomic<HWND> g_hReplyWnd;

DWORD WINAPI ThreadWatchComm(LPVOID comm);

class CSerialComm {
 public:
  CSerialComm();
  ~CSerialComm();
  CSerialComm(const CSerialComm&) = delete;
  CSerialComm& operator=(const CSerialComm&) = delete;

  // Opens COM<port> at the baud rate, 8N1, and starts the reader unless noReader.
  BOOL Open(WORD port, DWORD baud, BOOL noReader = FALSE);
  // parity: 0 none, 1 odd, 2 even; stopBits: 0 one, 1 one and a half, 2 two.
  BOOL SetLine(DWORD baud, BYTE dataBits, BYTE parity, BYTE stopBits);
  // Stops and joins the reader, lets written bytes out, then closes the port; harmless when
  // closed.
  void Close();
  DWORD Write(const void* bytes, DWORD count);
  // 0 at once when the driver holds nothing.
  DWORD Read(void* buffer, DWORD max);

  bool IsConnected() const { return m_bConnected.load(); }
  static CString PortName(WORD port);

  std::atomic<BOOL> m_bBlockMode{FALSE};  // post only at exactly 8193 queued bytes
  HANDLE m_hComm = INVALID_HANDLE_VALUE;
  CString m_strPortName;
  std::atomic<BOOL> m_bConnected{FALSE};  // open; the reader runs while set
  OVERLAPPED m_osRead{};
  OVERLAPPED m_osWrite{};
  HANDLE m_hThreadWatchComm = nullptr;
  WORD m_wPortID = 0;
  CByteQueue m_QueueRead;

  // Reader start-up result, handed to Open on the user-interface thread.
  HANDLE m_hReaderStarted = nullptr;
  std::atomic<BOOL> m_bReaderFailed{FALSE};
  // Set by Close: ends every wait of the reader.
  HANDLE m_hStopReader = nullptr;
  // The reader's pending one-byte read: owned by the link, which outlives every read.
  OVERLAPPED m_osWait{};
  std::uint8_t m_WaitByte = 0;
  // Milliseconds Open waits for the reader to start, and a stopping reader for its cancelled
  // read.
  static constexpr DWORD kJoinTimeout = 3000;

 private:
  friend DWORD WINAPI ThreadWatchComm(LPVOID comm);
  bool WaitForRoom();
  int WaitFirstByte();
  int ReadAvailable(std::uint8_t* buffer);
  void NotifyReplyWindow();
};

// The master link.
extern CSerialComm g_MasterComm;

// Port numbers of the COM combo (index i -> COM i+1) and speeds of the SPEED combo.
constexpr int kPortCount = 51;
constexpr DWORD kSpeedTable[4] = {115200, 230400, 460800, 921600};
