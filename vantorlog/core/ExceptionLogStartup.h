// The library inside a program: the unit table run once the program's static constructors are
// done and stopped when the program ends, the manager's start-up and shut-down, the backstops
// for exceptions that nothing catches, the hooks of the component library's application
// handlers and of the thread procedure, the end of except blocks and the crash operation.
#pragma once

#include <windows.h>

#include <exception>
#include <vector>

#include "ExceptionLog.h"
#include "Thread.h"

namespace ExceptionLog {

// VCore, VSockets, VHook and ExceptionLog, in their start order (the leak tracker starts
// before them, on its own, and finalizes after everything else).
std::vector<TUnitEntry> ProgramUnits();
// The program start-up's calls (once each).
void StartProgramLibrary();
void StopProgramLibrary();

// The first module of the process that is a program, not a library, and carries usable debug
// data of the library; nil when there is none.
HMODULE FindMainProgram();

// The start and the stop of the ExceptionLog unit.
void InitializeManager();
void FinalizeManager();

// Set from the manager's start until the unit table has run, and from the first finalization
// on; the handler-chain decision and the processing line read them.
bool UnitInitRunning();
bool FinalizationStarted();
void SetFinalizationStarted();
// A handler of the runtime's own code was met during unit start or stop. Never set with this
// runtime: it runs the static constructors and the exit procedures with no handler of its own
// around them, so an exception escaping one meets no handler at all (the terminate backstop).
bool RuntimeHandlerMet();
void SetRuntimeHandlerMet();

// What the shut-down gives back: the filter and the terminate handler found at the start.
LPTOP_LEVEL_EXCEPTION_FILTER PreviousUnhandledFilter();
std::terminate_handler PreviousTerminateHandler();

// The backstops: an OS exception that no handler took, a C++ exception that nothing catches.
// Each reports what was not processed yet, then ends the thread (outside the main thread) or
// the program, with exit code 1.
LONG WINAPI UnhandledExceptionBackstop(EXCEPTION_POINTERS* pointers);
[[noreturn]] void TerminateBackstop();

// The thread procedure's Execute through the library: an exception escaping Execute is
// reported once, through ExceptionManager, and goes on to the thread procedure.
void ExecuteWrapper(TThread* thread, void (*execute)(TThread* thread));

// The end of an except block: with behaviour bit 8, the handled exception is reported once per
// thread until the next capture clears the mark.
void OnExceptBlockDone();

// Whether the raise-time stack copy is the one of the exception raised at address.
bool IsCopyOfRaiseAt(const TRaiseStackCopy& facts, const void* address);

// Orders a terminate (1) or a restart (2) when the library is active; while a send thread is
// due, after its sending (report/SendSequence.cpp).
void ApplyCrashOperation(int code);

}  // namespace ExceptionLog
