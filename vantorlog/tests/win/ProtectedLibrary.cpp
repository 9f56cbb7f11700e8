// A library whose debug data (resource "VLDATA", from the Python writer) is protected by a
// password that its own export gives, in the register convention of the library's exports.
#include <windows.h>

#include <cstring>

extern "C" __declspec(dllexport) void __attribute__((regparm(3), stdcall))
VantorLog_PasswordRequestEventEx(void* context, unsigned char* buffer, int max_length) {
  const char answer[] = "secret";
  const int n = static_cast<int>(std::strlen(answer)) < max_length
                    ? static_cast<int>(std::strlen(answer))
                    : max_length;
  buffer[0] = static_cast<unsigned char>(n);
  std::memcpy(buffer + 1, answer, n);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
