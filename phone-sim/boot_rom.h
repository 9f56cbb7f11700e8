// The boot ROM of a chip: connect requests, handshake with the customer ID, and the pre-loader
// loaded word by word into on-chip RAM and started only when it is the chip's expected image.
#pragma once

#include <cstdint>
#include <random>

#include "stage.h"

namespace phone_sim {

class Chip;

class BootRom : public Stage {
 public:
  static constexpr std::uint32_t kScramBase = 0x1C000000;
  static constexpr std::uint32_t kScramSize = 0x10000;
  static constexpr auto kConnectRequestInterval = std::chrono::milliseconds(20);

  BootRom(ChipLine& line, Chip& chip, std::uint32_t seed);

  // A fresh start: RAM cleared, connect requests from `now` on.
  void Start(Clock::time_point now);
  bool AcceptsBaud(std::uint32_t baud) const override { return baud == kBootBaud; }
  std::string StateName() const override;

  bool WantsConnectRequest(Clock::time_point now) const;
  void ConnectRequestSent(Clock::time_point now) { next_request_ = now + kConnectRequestInterval; }
  // Restarts after a refused frame once the boot-ROM time-out has passed.
  void Tick(Clock::time_point now);

  void SetExtraConnectRequests(int count) { extra_connect_requests_ = count; }

 protected:
  bool Takes(std::uint8_t code) const override;
  void OnUnknown(std::uint8_t byte) override;

 private:
  enum class State { kWaitConnect, kWaitQuery, kWaitCustomerId, kCommands, kHalted };

  void Connect();
  void Query();
  void CustomerId(ByteSpan params);
  void SetTimeout(ByteSpan params);
  void SetAddress(ByteSpan params);
  void LoadCount(ByteSpan params);
  void Load(std::uint8_t count, ByteSpan words);
  void Jump();
  // A failed check: no reply; the ROM stays silent for its time-out, then starts again.
  void Refuse(const std::string& frame, const std::string& reason);

  Chip& chip_;
  std::mt19937 random_;
  State state_ = State::kWaitConnect;
  Clock::time_point next_request_{};
  Clock::time_point restart_at_{};
  std::chrono::milliseconds timeout_{1600};
  int extra_connect_requests_ = 0;
  Bytes query_;
  std::optional<std::uint32_t> address_;
  Bytes ram_;
  std::vector<bool> loaded_;
};

}  // namespace phone_sim
