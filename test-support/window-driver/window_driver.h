// Drives another process's window the way a user would: finds controls by class and text,
// types into edits, picks list items, presses buttons, reads texts, takes a screenshot.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace window_driver {

// Waits for a visible top-level window whose caption is `title` (of that process when
// `process_id` is not 0); null on time-out.
HWND WaitForTopWindow(const std::wstring& title, DWORD timeout_ms, DWORD process_id = 0);
// A top-level window of another dialog (e.g. a file dialog) owned by `owner`'s process.
HWND WaitForDialogOf(HWND owner, DWORD timeout_ms);

// Child windows of a class (any depth, creation order).
std::vector<HWND> Children(HWND parent, const std::wstring& class_name);
// The first child of the class whose text passes `match`; null when none.
HWND FindChild(HWND parent, const std::wstring& class_name,
               const std::function<bool(const std::wstring&)>& match);
HWND FindChildByText(HWND parent, const std::wstring& class_name, const std::wstring& text);

std::wstring Text(HWND window);
void SetText(HWND window, const std::wstring& text);
void Click(HWND button);
// A real mouse click (or two, quickly) on the middle of the window, through the input queue:
// unlike a posted click, it does not reach a disabled control. False when the window could not
// be brought under the pointer or the input was refused.
bool MouseClick(HWND window, int clicks = 1);
bool IsEnabled(HWND window);
// Selects the item with exactly this text in a drop-down list and tells its parent.
bool SelectComboItem(HWND combo, const std::wstring& item);
std::vector<std::wstring> ComboItems(HWND combo);
// The lines of a multi-line edit.
std::vector<std::wstring> Lines(HWND edit);
// A wait for the program under test, times TEST_WAIT_FACTOR (1 unless set; an emulated
// machine runs everything several times slower). Every wait below is scaled by it.
DWORD WaitMs(DWORD ms);
// Waits until `done` is true, polling every 50 ms; false on time-out.
bool WaitUntil(const std::function<bool()>& done, DWORD timeout_ms);

// The window with its frame and children, as a 24-bit BMP file.
bool SaveScreenshot(HWND window, const std::wstring& bmp_path);

}  // namespace window_driver
