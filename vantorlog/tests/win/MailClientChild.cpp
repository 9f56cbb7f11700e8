// A mail program for the shell sender's test: writes its command line (as the system hands it
// over, 8-bit) to the file named by VL_MAIL_CLIENT_LOG and ends with exit code 7.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
  char path[MAX_PATH];
  if (GetEnvironmentVariableA("VL_MAIL_CLIENT_LOG", path, sizeof path) == 0) return 1;
  const char* line = GetCommandLineA();
  FILE* f = std::fopen(path, "wb");
  if (!f) return 2;
  std::fwrite(line, 1, std::strlen(line), f);
  std::fclose(f);
  return 7;
}
