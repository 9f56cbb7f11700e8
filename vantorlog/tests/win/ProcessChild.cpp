// A child process for the processes-list tests: waits until it is ended (at most 60 s).
#include <windows.h>

int main() {
  Sleep(60000);
  return 0;
}
