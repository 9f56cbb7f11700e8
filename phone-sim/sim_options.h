// Command line of the phone simulator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace phone_sim {

struct SimOptions {
  std::string prefix;                 // Wine prefix: the COM link goes into <prefix>/dosdevices
  int com = 0;                        // 0 = auto (lowest free from 3)
  std::string images;                 // folder of the four .bin images
  std::string ready_file;             // PHONE_SIM_COM=..., PHONE_SIM_CONTROL=... once ready
  std::string master_nor, slave_nor;  // loaded at start
  std::string save_master_nor, save_slave_nor;  // saved on exit
  bool wire_time = false;
  // Every message paced at the wire's rate: no line time is banked while the line is idle.
  bool wire_strict = false;
  std::string log;
  bool powered = true;
  std::optional<std::uint32_t> seed;
};

inline constexpr const char* kUsage =
    "usage: phone-sim --prefix WINEPREFIX --images DIR [--com auto|N] [--ready-file FILE]\n"
    "                 [--master-nor FILE] [--slave-nor FILE] [--save-master-nor FILE]\n"
    "                 [--save-slave-nor FILE] [--wire-time] [--wire-strict] [--log FILE]\n"
    "                 [--power on|off] [--seed N]\n";

// The options, or an error text in `error`.
std::optional<SimOptions> ParseSimOptions(const std::vector<std::string>& args, std::string* error);

}  // namespace phone_sim
