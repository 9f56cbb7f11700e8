// Child of the web error page tests. Built twice: as a console program (CGI) and as a GUI
// program (WinCGI). Sends the page of a fixed report when the module is a web module and writes
// its mode tests to the file named by VL_CHILD_REPORT.
#include <windows.h>

#include <cstdio>
#include <string>

#include "VWebErrorPage.h"

int main() {
  using namespace ExceptionLog;
  const bool cgi = IsCGIModule(), wincgi = IsWinCGIModule(), web = IsWebModule();
  const bool gui = IsGUIProgram(), console = IsConsoleProgram();
  bool sent = false;
  if (web) sent = SendWebErrorResponse(ReportAsHtml("Access violation <at> 0040 & \"x\"", true));
  char path[MAX_PATH] = {};
  if (GetEnvironmentVariableA("VL_CHILD_REPORT", path, MAX_PATH) > 0) {
    if (FILE* f = std::fopen(path, "wb")) {
      std::fprintf(f, "console=%d cgi=%d wincgi=%d web=%d gui=%d sent=%d\n", console, cgi, wincgi,
                   web, gui, sent);
      std::fprintf(f, "%s\n%s\n", WinCGIOutputFile().c_str(), LastWebPageId().c_str());
      std::fclose(f);
    }
  }
  return 0;
}
