// The six tab pages of the detailed exception dialog (child dialogs of its tab control).
#pragma once

#include <windows.h>

#include <string>

namespace ExceptionLog {

inline constexpr int kTabPageCount = 6;
enum : int { kPageGeneral, kPageCallStack, kPageModules, kPageProcesses, kPageAssembler, kPageCpu };

const char* TabPageTemplate(int page);
DLGPROC TabPageProc(int page);

INT_PTR CALLBACK GeneralTabProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK CallStackTabProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK ModulesTabProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK ProcessesTabProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK AssemblerTabProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK CPUTabProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// LVM_INSERTCOLUMNA; alignment 1 is right-aligned.
void InsertListColumn(HWND list, int index, int width, const std::string& caption, int alignment);
// The main window class of the toolchain's IDE: a process owning a top-level window of this
// class is the IDE, which listens for source jumps on its own mailslot.
inline constexpr char kIdeMainWindowClass[] = "TVantorIdeMainForm";
bool IsIdeProcess(DWORD process_id);
// The source jump of a call-stack row: its location to the listening tool's mailslot.
void SendSourceLocation(HWND list, int row);

}  // namespace ExceptionLog
