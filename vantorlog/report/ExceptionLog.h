// Report half of the library's own unit (the core half is core/ExceptionLog.h): the dialogs'
// window settings in "VantorLog.ini"; the screenshot and its PNG file.
#pragma once

#include <windows.h>

#include <string>

#include "Streams.h"
#include "VPngWriter.h"
#include "core/ExceptionLog.h"

namespace ExceptionLog {

// The settings file: a name without folder lies in the library's data folder.
inline constexpr char kWindowSettingsFile[] = "VantorLog.ini";
const std::string& WindowSettingsFile();
void SetWindowSettingsFile(std::string file);  // tests point it elsewhere

// Reads one integer value; a missing or malformed value gives the default.
int ReadSettingsInt(const std::string& section, const std::string& key, int default_value);

// Placement of the detailed dialog (show state 1 normal, 3 maximised, 6 minimised).
struct TDialogPlacement {
  int left = 0, top = 0, width = 0, height = 0;
  int state = 1;
};
// [Coordinates] Width, Height, Left, Top, WindowsState; a rectangle outside the work area is
// centred in it. extra_height: the check-box rows that the stored height leaves out.
TDialogPlacement LoadDialogPlacement(const RECT& work_area, int extra_height);

// What the detailed dialog remembered; width 0 when it was never sized in its detailed form.
struct TRememberedPlacement {
  int left = 0, top = 0, width = 0, height = 0;  // height with the extra rows
  int state = 1;
  int extra_height = 0;
};
// Writes the rectangle only in the normal state, WindowsState always; nothing without a width.
void SaveDialogPlacement(const TRememberedPlacement& remembered);

// Column widths of the list pages, by the column's place in the list.
enum class TListPage { CallStack, Modules, Processes };
int ColumnCount(TListPage page);
// "Col2", "ColMod6" ...: the modules page shows Modified (ColMod6) before Path (ColMod5).
std::string ColumnKey(TListPage page, int column);
int ReadColumnWidth(TListPage page, int column);
void SaveColumnWidth(TListPage page, int column, int width);

// [User] Email.
std::string ReadUserEmail();
void SaveUserEmail(const std::string& email);

// ---- Screenshot ---------------------------------------------------------------------------
// One screenshot at a time: capture, save, release, all in the processing of one exception.

// The window that had the keyboard focus and the cursor, recorded when the processing starts
// (GetFocus and GetCursor of the thread that raised); the capture frames and paints them.
void SetScreenshotFocus(HWND focus, HCURSOR cursor);
// Copies the screen area into a bitmap (the foreground window's with send flag 0x20, else the
// monitors under this process's windows), frames the focus window in red and paints the cursor.
// A capture still held is released first.
void CaptureScreenshot();
// The captured area in screen coordinates; empty when nothing is captured.
RECT ScreenshotRect();
// Writes the capture as an 8-bit palette PNG file. Nothing for an empty name; a failure leaves
// no file and raises nothing.
void SaveScreenshotPNG(const std::string& file_name);
// Converts the capture to 8 bits and writes the PNG into the stream; raises Exception when
// nothing is captured or the bitmap cannot be read.
void PNGWrite(TStream& stream);
// Deletes the palette, the bitmap and the memory DC and releases the screen DC.
void ReleaseScreenshot();
// A new 8-bit DIB section of the bitmap with its octree palette, or null.
HBITMAP QuantiseTo8Bit(HBITMAP bitmap);
// Widens a rectangle to the full monitor rectangles of its corners; the desktop window's
// rectangle when there is none (-1, -1, -1, -1) or the monitor entries are missing.
RECT ProcessMonitorsRect(const RECT& rect);

}  // namespace ExceptionLog
