// The phone fed with bytes directly on a simulated clock, and the images it boots with.
#pragma once

#include <chrono>
#include <string>

#include "phone.h"
#include "test_host.h"

namespace phone_sim {

PhoneImages Images();
phone_sim_test::BootImages MasterImages();
phone_sim_test::BootImages SlaveImages();

// The phone on a simulated line: time moves only while the host waits.
class DirectLine : public phone_sim_test::TestLine {
 public:
  explicit DirectLine(bool powered = true);

  void Write(const Bytes& bytes) override { phone_.Receive(bytes, baud_, now_); }
  Bytes Read(std::size_t count, std::chrono::milliseconds timeout) override;
  void SetBaud(std::uint32_t baud) override { baud_ = baud; }
  void Pause(std::chrono::milliseconds time) override;
  // Everything the phone sent so far, leaving nothing pending.
  Bytes Drain();
  // Bytes answering `bytes`, with no time passing.
  Bytes Exchange(const Bytes& bytes);
  bool FramesContain(const std::string& line);

  Phone& phone() { return phone_; }
  Clock::time_point& now() { return now_; }

 private:
  void Take();

  Clock::time_point now_;
  Phone phone_;
  std::uint32_t baud_ = 115200;
  Bytes pending_;
};

// A command and a 32-bit big-endian value.
Bytes Frame(std::uint8_t command, std::uint32_t value);

}  // namespace phone_sim
