#include "SerialComm.h"

#include "CWinApp.h"

std::atomic<HWND> g_hReplyWnd{nullptr};
CSerialComm g_MasterComm;

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr int kReadChunk = 8194;
// How often a waiting reader looks at the driver and the run flag.
constexpr DWORD kPollMs = 50;

// Completes a pending overlapped operation; false on any error.
bool Finish(HANDLE h, OVERLAPPED* ov, DWORD* count) {
  for (;;) {
    if (GetOverlappedResult(h, ov, count, TRUE)) return true;
    if (GetLastError() != ERROR_IO_INCOMPLETE) return false;
  }
}

bool ReadsBack(HANDLE h, const DCB& dcb) {
  DCB now{};
  now.DCBlength = sizeof(now);
  return GetCommState(h, &now) && now.BaudRate == dcb.BaudRate && now.ByteSize == dcb.ByteSize &&
         now.Parity == dcb.Parity && now.StopBits == dcb.StopBits;
}

// Some drivers apply the line settings and then fail a later step of SetCommState (flow
// control); the line counts as set when it reads back as asked. Some refuse a change of the
// frame alone at an unchanged speed (Wine over a pseudo-terminal, even parity back to none):
// the change then passes through another speed.
bool ApplyLine(HANDLE h, DCB& dcb) {
  if (SetCommState(h, &dcb) || ReadsBack(h, dcb)) return true;
  DCB other = dcb;
  other.BaudRate = dcb.BaudRate == CBR_57600 ? CBR_115200 : CBR_57600;
  SetCommState(h, &other);
  return SetCommState(h, &dcb) || ReadsBack(h, dcb);
}

}  // namespace

CSerialComm::CSerialComm() { m_QueueRead.Clear(); }

CSerialComm::~CSerialComm() {
  if (m_bConnected) Close();
  if (m_hComm != INVALID_HANDLE_VALUE) Close();
  for (HANDLE* h : {&m_osRead.hEvent, &m_osWrite.hEvent, &m_hReaderStarted, &m_hStopReader}) {
    if (*h) CloseHandle(*h);
    *h = nullptr;
  }
}

CString CSerialComm::PortName(WORD port) {
  CString name;
  if (port <= 9)
    name.Format(L"COM%d", port);
  else
    name.Format(L"\\\\.\\COM%d", port);
  return name;
}

BOOL CSerialComm::Open(WORD port, DWORD baud, BOOL noReader) {
  m_bConnected = FALSE;
  if (m_hComm != INVALID_HANDLE_VALUE) Close();  // never two handles, never two readers
  m_wPortID = port;
  if (!m_osRead.hEvent) m_osRead.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!m_osWrite.hEvent) m_osWrite.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!m_hReaderStarted) m_hReaderStarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!m_hStopReader) m_hStopReader = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!m_osRead.hEvent || !m_osWrite.hEvent || !m_hReaderStarted || !m_hStopReader) return FALSE;

  m_strPortName = PortName(port);
  m_hComm = CreateFileW(m_strPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (m_hComm == INVALID_HANDLE_VALUE) return FALSE;

  SetCommMask(m_hComm, EV_RXCHAR);
  SetupComm(m_hComm, 8192, 8192);
  PurgeComm(m_hComm, kPurgeAll);

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = baud ? 19200 / baud : 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(m_hComm, &timeouts);

  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  GetCommState(m_hComm, &dcb);
  dcb.BaudRate = baud;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fParity = FALSE;
  if (!ApplyLine(m_hComm, dcb)) {
    AfxMessageBox(L"Fail!!");
    CloseHandle(m_hComm);  // else the unshared port stays busy for every later open
    m_hComm = INVALID_HANDLE_VALUE;
    return FALSE;
  }

  m_bConnected = TRUE;
  if (noReader) return TRUE;

  ResetEvent(m_hReaderStarted);
  ResetEvent(m_hStopReader);
  m_bReaderFailed = FALSE;
  DWORD id = 0;
  m_hThreadWatchComm = CreateThread(nullptr, 0, &ThreadWatchComm, this, 0, &id);
  if (!m_hThreadWatchComm) {
    AfxMessageBox(L"CreateThread Fail!!");
    Close();
    return FALSE;
  }
  // The reader's start-up failure is shown here, on the user-interface thread.
  if (WaitForSingleObject(m_hReaderStarted, kJoinTimeout) != WAIT_OBJECT_0 || m_bReaderFailed) {
    AfxMessageBox(CString(L"Error while creating ThreadWatchComm, ") + m_strPortName);
    Close();
    return FALSE;
  }
  return TRUE;
}

BOOL CSerialComm::SetLine(DWORD baud, BYTE dataBits, BYTE parity, BYTE stopBits) {
  if (m_hComm == INVALID_HANDLE_VALUE) return FALSE;
  PurgeComm(m_hComm, kPurgeAll);
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(m_hComm, &dcb)) return FALSE;
  dcb.BaudRate = baud;
  dcb.ByteSize = dataBits;
  dcb.Parity = parity;
  dcb.StopBits = stopBits;
  dcb.fParity = parity != NOPARITY;
  return ApplyLine(m_hComm, dcb);
}

void CSerialComm::Close() {
  m_bConnected = FALSE;
  if (m_hComm == INVALID_HANDLE_VALUE) return;
  if (m_hStopReader) SetEvent(m_hStopReader);
  SetCommMask(m_hComm, 0);
  if (m_hThreadWatchComm) {
    // Every wait of the reader ends on the stop event: the port is never closed, nor a new
    // reader started, while this one may still put bytes into the queue.
    if (GetCurrentThreadId() != GetThreadId(m_hThreadWatchComm))
      WaitForSingleObject(m_hThreadWatchComm, INFINITE);
    CloseHandle(m_hThreadWatchComm);
    m_hThreadWatchComm = nullptr;
  }
  // A write is complete once the driver holds its bytes: the last command (a speed code, the
  // switch to the slave, power-on) must leave the adapter before the purge.
  FlushFileBuffers(m_hComm);
  PurgeComm(m_hComm, kPurgeAll);
  CloseHandle(m_hComm);
  m_hComm = INVALID_HANDLE_VALUE;
}

DWORD CSerialComm::Write(const void* bytes, DWORD count) {
  if (m_hComm == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  if (WriteFile(m_hComm, bytes, count, &written, &m_osWrite)) return written;
  if (GetLastError() == ERROR_IO_PENDING && Finish(m_hComm, &m_osWrite, &written)) return written;
  DWORD errors = 0;
  COMSTAT stat{};
  ClearCommError(m_hComm, &errors, &stat);
  return 0;
}

DWORD CSerialComm::Read(void* buffer, DWORD max) {
  if (m_hComm == INVALID_HANDLE_VALUE) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  ClearCommError(m_hComm, &errors, &stat);
  if (stat.cbInQue == 0) return 0;
  DWORD want = stat.cbInQue < max ? stat.cbInQue : max;
  DWORD got = 0;
  if (ReadFile(m_hComm, buffer, want, &got, &m_osRead)) return got;
  if (GetLastError() == ERROR_IO_PENDING && Finish(m_hComm, &m_osRead, &got)) return got;
  ClearCommError(m_hComm, &errors, &stat);
  return 0;
}

void CSerialComm::NotifyReplyWindow() {
  if (CByteQueue::ShouldNotify(m_QueueRead.GetCount(), m_bBlockMode)) {
    if (HWND w = g_hReplyWnd.load()) PostMessageW(w, WM_COMM_RECEIVE, m_wPortID, 0);
  }
}

// Takes what the driver holds, never more than the queue has room for: while the queue is full
// the bytes wait in the driver until the user-interface thread has drained it.
void CSerialComm::ReadAvailable(std::uint8_t* buffer) {
  auto read = [this](std::uint8_t* b, int max) {
    return static_cast<int>(Read(b, static_cast<DWORD>(max)));
  };
  m_QueueRead.FillFrom(read, buffer, kReadChunk);
  NotifyReplyWindow();
}

// Waits until the queue has room or the link closes; false when it closed.
bool CSerialComm::WaitForRoom() {
  while (m_QueueRead.GetFree() == 0 && m_bConnected) {
    if (WaitForSingleObject(m_hStopReader, 1) == WAIT_OBJECT_0) return false;
  }
  return m_bConnected;
}

// One overlapped read of one byte that completes when the first byte of a burst arrives (the
// rest is then taken at once). False when the link closes; the read is over either way, so
// nothing writes into `first` afterwards.
bool CSerialComm::WaitFirstByte(OVERLAPPED& ov, std::uint8_t* first, DWORD& got) {
  got = 0;
  ResetEvent(ov.hEvent);
  if (ReadFile(m_hComm, first, 1, &got, &ov)) return true;
  if (GetLastError() != ERROR_IO_PENDING) {  // a failing line: look again a little later
    got = 0;
    return WaitForSingleObject(m_hStopReader, kPollMs) != WAIT_OBJECT_0 && m_bConnected;
  }
  HANDLE waits[2] = {ov.hEvent, m_hStopReader};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
    if (!GetOverlappedResult(m_hComm, &ov, &got, FALSE)) got = 0;
    return true;
  }
  CancelIo(m_hComm);
  if (!GetOverlappedResult(m_hComm, &ov, &got, TRUE)) got = 0;
  return false;
}

DWORD WINAPI ThreadWatchComm(LPVOID param) {
  auto* comm = static_cast<CSerialComm*>(param);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent || !SetCommMask(comm->m_hComm, EV_RXCHAR)) {
    if (ov.hEvent) CloseHandle(ov.hEvent);
    comm->m_bReaderFailed = TRUE;
    SetEvent(comm->m_hReaderStarted);
    return 0;
  }
  SetEvent(comm->m_hReaderStarted);
  static_assert(CByteQueue::kSize > kReadChunk);
  // Outlives every read: a pending read writes its byte here.
  std::uint8_t buffer[kReadChunk];
  try {
    while (comm->WaitForRoom()) {
      DWORD got = 0;
      const bool open = comm->WaitFirstByte(ov, buffer, got);
      if (got > 0) comm->m_QueueRead.PutBlock(buffer, static_cast<int>(got));
      if (!open) break;
      comm->ReadAvailable(buffer);
    }
  } catch (...) {
  }
  CloseHandle(ov.hEvent);
  return 1;
}
