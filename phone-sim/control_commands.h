// The text commands of the control server, one line each, answered by "OK ..." or "ERR <reason>".
// The command set is listed in client/phone_sim_control.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "phone.h"

namespace phone_sim {

struct ControlContext {
  Phone& phone;
  Clock::time_point now;
  std::uint32_t host_baud = 0;
  std::string com_name;  // "COM3"
  bool quit = false;     // set by "quit"
};

inline constexpr std::size_t kMaxNorReadLength = 65536;

// The whole reply, each line ending in '\n' ("frames" gives more than one line).
std::string ExecuteControlCommand(std::string_view line, ControlContext& context);

}  // namespace phone_sim
