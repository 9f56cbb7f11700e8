// Win32 utilities of the library: folders and the log-file placement, the dialogs' INI file,
// registry and handle queries, system facts, windows, the clipboard and restart.
// Paths and texts are 8-bit (ANSI) as the system's A functions take them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "VTextUtils.h"

namespace VCore {

// Folders and files.
std::string ModuleFileNameOf(HMODULE module);
bool IsModuleLoaded(HMODULE module);
std::string AppDataFolder();
std::string AppDataProductFolder();  // AppDataFolder + "\VantorLog"
std::string DataFolder();
std::string TemporaryFolder();
std::string ExpandLongPath(const std::string& path);
bool FolderExists(const std::string& path);
bool EnsureFolder(const std::string& path);
bool CanCreateFile(const std::string& path);
bool CanOpenFile(const std::string& path);
// Where a file the library writes goes: the path (environment references expanded) when it
// can be opened (read_only) or created; else the product folder under the application-data
// folder (and a folder named after the program inside it with sub_folder). final_path gets
// the path that was tested last.
bool PrepareLogFile(const std::string& path, bool sub_folder, bool read_only,
                    std::string* final_path);
FILETIME FileTimeOf(const std::string& path);  // local time; zero when absent
std::uint32_t FileSizeOf(const std::string& path);
std::string ModuleFolderOf(const std::string& path);
void FileVersionAndDescription(const std::string& path, std::string* version,
                               std::string* description);

// The dialogs' INI file; a name without folder lies in DataFolder.
std::string IniReadValue(const std::string& file, const std::string& section,
                         const std::string& key, const std::string& default_value);
bool IniWriteValue(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value);

// Registry.
std::string RegReadValue(HKEY root, const std::string& key, const std::string& value_name);
std::string RegisteredOwnerText();

// Handles and threads.
bool IsValidHandle(HANDLE handle);
bool IsThreadRunning(HANDLE thread);
bool IsDebuggerPresentSafe();

// System facts.
TWindowsVersion GetWindowsVersion();
bool IsWin95();
bool IsNT4Platform();
bool IsVistaOrLater();
std::string UserNameText();
std::string ProcessCommandLine();
const void* StackTopOfThread();
const void* CurrentStackPointer();
// Local time minus UTC, in minutes (half-hour zones keep their minutes).
int UtcOffsetMinutes();
// ANSI text to UTF-8.
std::string EncodeUtf8(const std::string& ansi);
// UTF-8 text (the messages of the runtime's exceptions) in the ANSI code page the library's
// texts use; text that is plain ASCII or not valid UTF-8 is returned as it is.
std::string AnsiFromUtf8(const std::string& text);

// Address space kept back for reporting after an out-of-memory failure.
void ReserveOutOfMemoryCache();
void FreeOutOfMemoryCache();

// Windows.
bool IsOwnProcessWindow(HWND window);
RECT ProcessWindowsBounds(DWORD process_id);  // (-1,-1,-1,-1) when none
void SnapshotTopWindows();
bool IsNewTopWindow(HWND window);

// Rich edit.
void RichEditSetRtf(HWND rich_edit, const std::string& rtf);
void RichEditSetBackground(HWND rich_edit, int colour);

}  // namespace VCore

namespace ExceptionLog {

bool ForceDeleteFile(const std::string& path);
std::string OwnFileVersion();
std::string WindowsVersionName();
std::string WindowsBuildText();
// RFC 822 date of a local time, with the zone's offset.
std::string Rfc822DateText(const SYSTEMTIME& local);
HWND FindMainWindowOfProcess(DWORD process_id, HWND application_window = nullptr);
// Each step checked: the block is freed on failure and the clipboard always closed.
bool CopyTextToClipboard(const std::string& text);
// The folder restart starts the new process in (saved at start-up).
void SaveStartFolder();
void SetRestartStripsVsHost(bool strip);
// Restarts (a new process with this command line) when asked, then ends this process with
// exit code 1.
[[noreturn]] void RestartOrTerminate(bool restart);
// Starts the new instance only; false when CreateProcess failed.
bool StartNewInstance();

}  // namespace ExceptionLog
