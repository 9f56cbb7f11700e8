#include "SerialComm.h"

#include "CWinApp.h"

std::atomic<HWND> g_hReplyWnd{nullptr};
CSerialComm g_MasterComm;

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr int kReadChunk = 8194;
// How long a reader whose line fails (reads end at once without a byte) waits before it reads
// again.
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

// Workaround for Wine over a pseudo-terminal (the test line), confined here: it refuses a
// change of the frame alone at an unchanged speed (even parity back to none), so the change
// passes through another speed. Tried only after the plain change failed; a real driver takes
// the plain change and never gets here.
bool ApplyLineThroughOtherSpeed(HANDLE h, DCB& dcb) {
  DCB other = dcb;
  other.BaudRate = dcb.BaudRate == CBR_57600 ? CBR_115200 : CBR_57600;
  SetCommState(h, &other);
  return SetCommState(h, &dcb) || ReadsBack(h, dcb);
}

// Some drivers apply the line settings and then fail a later step of SetCommState (flow
// control); the line counts as set when it reads back as asked.
bool ApplyLine(HANDLE h, DCB& dcb) {
  if (SetCommState(h, &dcb) || ReadsBack(h, dcb)) return true;
  return ApplyLineThroughOtherSpeed(h, dcb);
}

}  // namespace

CSerialComm::CSerialComm() { m_QueueRead.Clear(); }

CSerialComm::~CSerialComm() {
  if (m_bConnected) Close();
  if (m_hComm != INVALID_HANDLE_VALUE) Close();
  for (HANDLE* h :
       {&m_osRead.hEvent, &m_osWrite.hEvent, &m_osWait.hEvent, &m_hReaderStarted, &m_hStopReader}) {
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
  if (!m_osWait.hEvent) m_osWait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!m_osRead.hEvent || !m_osWrite.hEvent || !m_hReaderStarted || !m_hStopReader ||
      !m_osWait.hEvent)
    return FALSE;

  m_strPortName = PortName(port);
  m_hComm = CreateFileW(m_strPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (m_hComm == INVALID_HANDLE_VALUE) return FALSE;

  SetCommMask(m_hComm, EV_RXCHAR);
  SetupComm(m_hComm, 8192, 8192);
  PurgeComm(m_hComm, kPurgeAll);

  // No read timeouts: a read waits for its count. The reader's one-byte read is its wait for
  // the line (it ends with the first byte of a burst, on every driver, where a wait for the
  // comm event costs extra wake-ups); Read asks only for what the driver holds, so it never
  // waits.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;
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
int CSerialComm::ReadAvailable(std::uint8_t* buffer) {
  auto read = [this](std::uint8_t* b, int max) {
    return static_cast<int>(Read(b, static_cast<DWORD>(max)));
  };
  return m_QueueRead.FillFrom(read, buffer, kReadChunk);
}

// Waits until the queue has room or the link closes; false when it closed.
bool CSerialComm::WaitForRoom() {
  while (m_QueueRead.GetFree() == 0 && m_bConnected) {
    if (WaitForSingleObject(m_hStopReader, 1) == WAIT_OBJECT_0) return false;
  }
  return m_bConnected;
}

// The reader's wait for the line: one overlapped read of one byte, which completes with the
// first byte of a burst (reads wait for their count, see Open). Returns the bytes read (0 or
// 1, into m_WaitByte), or -1 when Close has asked the reader to stop.
int CSerialComm::WaitFirstByte() {
  DWORD got = 0;
  ResetEvent(m_osWait.hEvent);
  bool done = ReadFile(m_hComm, &m_WaitByte, 1, &got, &m_osWait) != FALSE;
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    HANDLE waits[2] = {m_osWait.hEvent, m_hStopReader};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
      // The read is ended before the reader is; a byte it took on the way is kept.
      CancelIo(m_hComm);
      if (WaitForSingleObject(m_osWait.hEvent, kJoinTimeout) == WAIT_OBJECT_0 &&
          GetOverlappedResult(m_hComm, &m_osWait, &got, FALSE) && got == 1)
        m_QueueRead.PutBlock(&m_WaitByte, 1);
      return -1;
    }
    done = GetOverlappedResult(m_hComm, &m_osWait, &got, FALSE) != FALSE;
  }
  if (done && got == 1) return 1;
  // A failing or hung-up line ends reads at once without a byte: look again a little later.
  return WaitForSingleObject(m_hStopReader, kPollMs) == WAIT_OBJECT_0 ? -1 : 0;
}

DWORD WINAPI ThreadWatchComm(LPVOID param) {
  auto* comm = static_cast<CSerialComm*>(param);
  if (!SetCommMask(comm->m_hComm, EV_RXCHAR)) {
    comm->m_bReaderFailed = TRUE;
    SetEvent(comm->m_hReaderStarted);
    return 0;
  }
  SetEvent(comm->m_hReaderStarted);
  static_assert(CByteQueue::kSize > kReadChunk);
  std::uint8_t buffer[kReadChunk];
  try {
    while (comm->WaitForRoom()) {
      const int first = comm->WaitFirstByte();
      if (first < 0) break;
      if (first > 0) comm->m_QueueRead.PutBlock(&comm->m_WaitByte, 1);
      // The rest of the burst, then one message for all of it.
      if (comm->ReadAvailable(buffer) > 0 || first > 0) comm->NotifyReplyWindow();
    }
  } catch (...) {
  }
  return 1;
}
