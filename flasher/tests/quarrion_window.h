// Quarrion's window as another process sees it: its controls found by class and text, and the
// steps a user takes (choose, type, press, answer the save dialog, wait for the worker).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class QuarrionWindow {
 public:
  // Waits for the window (of that process when not 0); false when it does not appear or lacks
  // a control.
  bool Attach(DWORD timeout_ms, DWORD process_id = 0);

  bool ButtonsEnabled() const;
  std::vector<std::wstring> LogLines() const;
  // Presses a button and waits for its worker; returns the log lines the run added.
  std::vector<std::wstring> Press(HWND button);
  // The dump button: answers the save dialog with `file` (or cancels it when empty), then waits.
  std::vector<std::wstring> PressDump(const std::wstring& file);
  // Waits for the worker started by a press: buttons disabled, then enabled again.
  std::vector<std::wstring> Finish(std::size_t lines_before);

  static const std::wstring& Title();

  HWND window = nullptr;
  HWND port_list = nullptr, speed_list = nullptr;
  HWND file_edit = nullptr, offset_edit = nullptr, length_edit = nullptr;
  HWND write_button = nullptr, dump_button = nullptr, erase_button = nullptr;
  HWND master_radio = nullptr, slave_radio = nullptr;
  HWND log = nullptr, hint = nullptr;
};

// True when `lines` holds exactly this UTF-8 text as one line.
bool HasLine(const std::vector<std::wstring>& lines, const char* text);
