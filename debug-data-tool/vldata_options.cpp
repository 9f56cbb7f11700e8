// Writes the exception library's options block (current stream version) for the debug-data
// block of a program: the defaults, with the settings named after OUT changed.
//   vldata_options OUT [DialogKind=N] [BehaviourFlags=N] [TerminateAction=N] [WriteLogFile=N]
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>

#include "ExceptionLog.h"
#include "Streams.h"
#include "VOptions.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vldata_options OUT [NAME=VALUE ...]\n");
    return 2;
  }
  try {
    auto options = TVantorModuleOptions::Create<TVantorModuleOptions>("");
    for (int i = 2; i < argc; ++i) {
      const std::string setting = argv[i];
      const std::size_t equals = setting.find('=');
      const std::string name = setting.substr(0, equals);
      const long value =
          equals == std::string::npos ? -1 : std::strtol(argv[i] + equals + 1, nullptr, 0);
      if (value < 0) {
        std::fprintf(stderr, "vldata_options: %s: NAME=VALUE wanted\n", argv[i]);
        return 2;
      }
      if (name == "DialogKind")
        options->SetDialogKind(static_cast<std::uint8_t>(value));
      else if (name == "BehaviourFlags")
        options->SetBehaviourFlags(static_cast<std::uint16_t>(value));
      else if (name == "TerminateAction")
        options->SetTerminateAction(static_cast<std::uint8_t>(value));
      else if (name == "WriteLogFile")
        options->SetWriteLogFile(value != 0);
      else {
        std::fprintf(stderr, "vldata_options: unknown setting %s\n", name.c_str());
        return 2;
      }
    }
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
