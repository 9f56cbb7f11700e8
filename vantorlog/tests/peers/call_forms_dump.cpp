// Prints the CALL-form byte cases, one a line: <hex bytes>|<call lengths>|<what>.
#include <cstdio>

#include "../CallFormCases.h"

int main() {
  for (const TCallCase& c : kCallCases) std::printf("%s|%s|%s\n", c.hex, c.calls, c.what);
  return 0;
}
