// A library the modules-list tests load at run time: a few named exports.
#include <windows.h>

extern "C" {

__declspec(dllexport) int VLProbeAdd(int a, int b) { return a + b; }
__declspec(dllexport) int VLProbeTwice(int a) { return 2 * a; }
__declspec(dllexport) const char* VLProbeName() { return "probe library"; }
__declspec(dllexport) int VLProbeValue = 7;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
