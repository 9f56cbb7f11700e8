#include "phone.h"

namespace phone_sim {

namespace {

constexpr std::uint8_t kConnectRequest = 0x81;

}  // namespace

Phone::Phone(PhoneImages images, bool powered, std::uint32_t seed, Clock::time_point now)
    : line_(*this), powered_(powered), now_(now) {
  master_ = std::make_unique<Chip>(
      MasterChipSpec(std::move(images.master_pre_loader), std::move(images.master_boot_loader)),
      line_, seed, [this] { SwitchToSlave(); });
  slave_ = std::make_unique<Chip>(
      SlaveChipSpec(std::move(images.slave_pre_loader), std::move(images.slave_boot_loader)), line_,
      seed ^ 0x5A5A5A5Au);
  master_->Reset(now);
  slave_->Reset(now);
}

void Phone::Receive(ByteSpan bytes, std::uint32_t host_baud, Clock::time_point now) {
  now_ = now;
  host_baud_ = host_baud;
  while (!bytes.empty()) {
    Chip& chip = OnLine();
    if (!powered_) {
      for (std::uint8_t b : bytes) frames_.Ignored(b, "power off");
      return;
    }
    if (!chip.AcceptsBaud(host_baud)) {
      // At another speed the chip's receiver sees no valid characters.
      frames_.Ignored(bytes[0], "host at " + std::to_string(host_baud) + " baud, " + chip.Name() +
                                    " at " + std::to_string(chip.LineBaud()));
      bytes = bytes.subspan(1);
      continue;
    }
    bytes = bytes.subspan(chip.Receive(bytes));
  }
}

void Phone::Tick(Clock::time_point now, std::uint32_t host_baud, bool line_idle) {
  now_ = now;
  host_baud_ = host_baud;
  if (!powered_) return;
  Chip& chip = OnLine();
  chip.Tick(now);
  if (chip.WantsConnectRequest(now) && host_baud == kBootBaud && line_idle && Output().empty()) {
    line_.Reply(FaultPoint::kConnectReq, {kConnectRequest});
    chip.ConnectRequestSent(now);
  }
}

void Phone::OutputSent(std::size_t count) {
  output_sent_ += count;
  if (output_sent_ == output_.size()) {
    output_.clear();
    output_sent_ = 0;
  } else if (output_sent_ > (1u << 16) && output_sent_ * 2 > output_.size()) {
    output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(output_sent_));
    output_sent_ = 0;
  }
}

Bytes Phone::TakeOutput() {
  Bytes out(Output().begin(), Output().end());
  output_.clear();
  output_sent_ = 0;
  return out;
}

void Phone::SetPower(bool on, Clock::time_point now) {
  now_ = now;
  if (on == powered_) return;
  powered_ = on;
  frames_.Add(on ? "POWER ON" : "POWER OFF");
  output_.clear();
  output_sent_ = 0;
  slave_on_line_ = false;
  master_->Reset(now);
  slave_->Reset(now);
}

void Phone::SetExtraConnectRequests(int count) {
  master_->SetExtraConnectRequests(count);
  slave_->SetExtraConnectRequests(count);
}

std::string Phone::Describe() const {
  const Chip& chip = OnLine();
  return std::string("power=") + (powered_ ? "on" : "off") + " chip=" + chip.Name() +
         " stage=" + chip.StateName() + " speed=" + std::to_string(chip.LineBaud()) +
         " faults=" + faults_.Describe();
}

void Phone::Restart() {
  slave_on_line_ = false;
  master_->Reset(now_);
  slave_->Reset(now_);
}

void Phone::SwitchToSlave() {
  slave_on_line_ = true;
  slave_->Reset(now_);
}

void Phone::Send(ByteSpan bytes) { output_.insert(output_.end(), bytes.begin(), bytes.end()); }

void Phone::Line::Reply(FaultPoint point, Bytes bytes) {
  std::string applied;
  Bytes wire = phone_.faults_.Apply(point, std::move(bytes), &applied);
  if (!applied.empty()) {
    phone_.frames_.Add("FAULT " + std::string(FaultPointName(point)) + " " + applied);
  }
  phone_.Send(wire);
}

}  // namespace phone_sim
