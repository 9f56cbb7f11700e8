// What the events test library offers the test program (through its one plain export).
#pragma once

#include <windows.h>

using TEventsTrail = void (*)(const char* text);

struct TEventsLibraryApi {
  void (*SetTrail)(TEventsTrail trail);
  // Registers two handler objects (every slot set) and the global ExceptionNotify handler.
  void (*Install)();
  // What the first ExceptionNotify receiver saw: the record's 36 bytes, its object's class
  // and its report text.
  const unsigned char* (*RawContext)();
  const char* (*ObjectClass)();
  const char* (*ReportText)();
  bool (*LastKnownObjectCleared)();
  // Makes the library a secondary module with active hooks and its own threads list.
  void (*StartSecondary)();
  void (*StopSecondary)();
  // The library's raise capture after its raise hook noted the stack position.
  void (*Raise)(DWORD code, DWORD flags, DWORD count, const void* stack_position,
                const ULONG_PTR* arguments);
  // The library's OS-exception converter.
  void (*Convert)(const EXCEPTION_RECORD* record, const CONTEXT* context);
  HANDLE (*CreateThreadHooked)(LPTHREAD_START_ROUTINE start, void* parameter, DWORD* id);
  void (*ExitThreadHooked)(DWORD code);
};

using TEventsLibraryApiEntry = const TEventsLibraryApi* (*)();
