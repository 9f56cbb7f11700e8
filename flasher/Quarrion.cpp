// The flasher's main block.
#include <windows.h>

#include "Forms.h"
#include "Unit1.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  try {
    Application->Initialize();
    Application->MainFormOnTaskBar = true;
    Application->CreateForm(Form1);
    Application->Run();
  } catch (...) {
    Application->HandleException(Application);
    return 1;
  }
  return 0;
}
