// A mail program for the shell sender's test: writes its command line (as the system hands it
// over, 8-bit) to the file named by VL_MAIL_CLIENT_LOG and ends with exit code 7.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
  char path[MAX_PATH];
  if (GetEnvironmentVariableA("VL_MAIL_CLIENT_LOG", path, sizeof path) == 0) return 1;
  const char* line = GetCommandLineA();
  FILE* f = std::fopen(path, "wb");
  if (!f) return 2;
  std::fwrite(line, 1, std::strlen(line), f);
  std::fclose(f);
  // VL_MAIL_CLIENT_OPEN_MS: stays open that long (a user writing the message), then says so.
  char open_ms[16];
  if (GetEnvironmentVariableA("VL_MAIL_CLIENT_OPEN_MS", open_ms, sizeof open_ms) > 0) {
    Sleep(static_cast<DWORD>(std::atoi(open_ms)));
    if (FILE* g = std::fopen(path, "ab")) {
      std::fputs("\nclosed", g);
      std::fclose(g);
    }
  }
  return 7;
}
