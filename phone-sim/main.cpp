// phone-sim: plays the phone's side of the serial protocol on a pseudo-terminal linked into a
// Wine prefix as a COM port (see sim_options.h for the command line).
#include <iostream>

#include "simulator.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::cout << phone_sim::kUsage;
      return 0;
    }
  }
  std::string error;
  std::optional<phone_sim::SimOptions> options = phone_sim::ParseSimOptions(args, &error);
  if (!options) {
    std::cerr << "phone-sim: " << error << "\n" << phone_sim::kUsage;
    return 2;
  }
  return phone_sim::Simulator(std::move(*options)).Run();
}
