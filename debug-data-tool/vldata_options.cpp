// Writes the exception library's default options block (current stream version) for the
// debug-data block of a program.
//   vldata_options OUT
#include <cstdio>
#include <exception>
#include <fstream>

#include "ExceptionLog.h"
#include "Streams.h"
#include "VOptions.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vldata_options OUT\n");
    return 2;
  }
  try {
    auto options = TVantorModuleOptions::Create<TVantorModuleOptions>("");
    TMemoryStream stream;
    options->WriteToStream(stream);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(stream.Memory()), stream.Size());
    if (!out) {
      std::fprintf(stderr, "vldata_options: cannot write %s\n", argv[1]);
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vldata_options: %s\n", e.what());
    return 1;
  }
  return 0;
}
