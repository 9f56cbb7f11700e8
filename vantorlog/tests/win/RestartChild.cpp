// Restarts itself once: the first run writes "1" to the marker and restarts; the second run
// finds the marker, appends "2" and ends normally.
// Usage: vantorlog_restart_child <restart|terminate> <marker file>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "VCore.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const bool restart = std::strcmp(argv[1], "restart") == 0;
  if (GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES) {
    if (FILE* f = std::fopen(argv[2], "wb")) {
      std::fputs("1", f);
      std::fclose(f);
    }
    ExceptionLog::SaveStartFolder();
    ExceptionLog::RestartOrTerminate(restart);
  }
  if (FILE* f = std::fopen(argv[2], "ab")) {
    std::fputs("2", f);
    std::fclose(f);
  }
  return 0;
}
