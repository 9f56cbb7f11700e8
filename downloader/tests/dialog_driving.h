// Driving a dialog of this process in tests: buttons pressed through their notification,
// this thread's messages pumped until a condition holds, the simulator's frame log counted,
// the files the program wrote read back.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "Afx.h"
#include "resource.h"

inline bool Enabled(HWND dlg, int id) { return IsWindowEnabled(GetDlgItem(dlg, id)) != FALSE; }

inline void Click(HWND dlg, int id) {
  SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

// A test's waits for the program, times TEST_WAIT_FACTOR (1 unless set; an emulated machine
// runs everything several times slower).
inline DWORD WaitMs(DWORD ms) {
  static const double factor = [] {
    const char* v = std::getenv("TEST_WAIT_FACTOR");
    const double f = v ? std::atof(v) : 1.0;
    return f >= 1.0 ? f : 1.0;
  }();
  return static_cast<DWORD>(ms * factor);
}

// Dispatches this thread's messages (replies, timers) until done() or ms (times the wait
// factor) have passed. done() is asked once the queue is empty; with each_message after every
// message too, so that a state the replies pass through is seen even when a busy host
// delivers them in one burst.
inline bool PumpUntil(const std::function<bool()>& done, DWORD ms, bool each_message = false) {
  const DWORD end = GetTickCount() + WaitMs(ms);
  for (;;) {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
      if (each_message && done()) return true;
    }
    if (done()) return true;
    if (static_cast<int>(GetTickCount() - end) > 0) return false;
    Sleep(2);
  }
}

inline bool PumpEachUntil(const std::function<bool()>& done, DWORD ms) {
  return PumpUntil(done, ms, true);
}

inline void Pump(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

// How many frame-log lines start with `prefix`.
inline int CountPrefix(const std::vector<std::string>& frames, const std::string& prefix) {
  return static_cast<int>(std::count_if(frames.begin(), frames.end(), [&](const std::string& f) {
    return f.compare(0, prefix.size(), prefix) == 0;
  }));
}

inline std::wstring ItemText(HWND dlg, int id) {
  HWND item = GetDlgItem(dlg, id);
  std::wstring s(static_cast<std::size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
  s.resize(static_cast<std::size_t>(GetWindowTextW(item, s.data(), static_cast<int>(s.size()))));
  return s;
}

// The log box's text with the rich edit's paragraph ends read back as "\n".
inline std::wstring LogText(HWND dlg) {
  std::wstring s = ItemText(dlg, IDC_LOG), out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == L'\r' && (i + 1 == s.size() || s[i + 1] == L'\n')) continue;
    out += s[i];
  }
  return out;
}

// A file's bytes; none when it cannot be opened.
inline std::vector<std::uint8_t> ReadBytes(const std::wstring& path) {
  std::vector<std::uint8_t> b;
  CFile f;
  if (!f.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone)) return b;
  b.resize(static_cast<std::size_t>(f.GetLength()));
  std::size_t got = 0;
  while (got < b.size()) {
    UINT n = f.Read(b.data() + got, static_cast<UINT>(b.size() - got));
    if (n == 0) break;
    got += n;
  }
  b.resize(got);
  return b;
}
