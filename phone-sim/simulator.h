// The phone simulator's process: the phone behind a pseudo-terminal, the control server,
// optional pacing at the wire speed, and the files it loads and saves.
#pragma once

#include <fstream>
#include <memory>
#include <string>

#include "control_commands.h"
#include "control_server.h"
#include "line_turns.h"
#include "phone.h"
#include "pty_line.h"
#include "sim_options.h"

namespace phone_sim {

// The four images from a folder (<NAME>.bin). Error text or "".
std::string LoadPhoneImages(const std::string& dir, PhoneImages* images);

// Paces one direction of the line: `rate` bytes a second, with a short burst allowance.
class WirePacer {
 public:
  std::size_t Allowance(Clock::time_point now, double rate);
  void Used(std::size_t count) { credit_ -= static_cast<double>(count); }
  // Until `count` bytes may go (1 by default).
  Clock::duration UntilNext(double rate, std::size_t count = 1) const;
  // A message starts on an idle line at `now`: its first byte takes its whole wire time.
  void Start(Clock::time_point now) {
    credit_ = 0;
    last_ = now;
  }

 private:
  double credit_ = 0;
  Clock::time_point last_{};
};

class Simulator {
 public:
  explicit Simulator(SimOptions options) : options_(std::move(options)) {}
  // Runs until SIGTERM, SIGINT or "quit"; the process exit code.
  int Run();

 private:
  std::string Start();
  void Loop();
  void Stop();
  void ReceiveFromHost(Clock::time_point now);
  void SendToHost(Clock::time_point now);
  std::string Control(const std::string& line);
  double TxRate() const;
  double RxRate(std::uint32_t host_baud) const;

  SimOptions options_;
  std::unique_ptr<Phone> phone_;
  PtyLine pty_;
  ControlServer server_;
  std::ofstream log_;
  Clock::time_point started_;
  WirePacer tx_, rx_;
  // With --wire-strict: a host message or a phone reply is on the wire.
  bool rx_busy_ = false, tx_busy_ = false;
  LineTurns turns_;
  int signal_fd_ = -1;
  bool quit_ = false;
};

}  // namespace phone_sim
