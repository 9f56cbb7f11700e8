// The phone as the serial line sees it: the master chip, and after BL_SWITCH_SLAVE the slave
// chip, behind one line; power, faults, the frame log and the bytes waiting to go out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "chip.h"
#include "fault_injector.h"
#include "frame_log.h"

namespace phone_sim {

struct PhoneImages {
  Bytes master_pre_loader;
  Bytes master_boot_loader;
  Bytes slave_pre_loader;
  Bytes slave_boot_loader;
};

class Phone {
 public:
  Phone(PhoneImages images, bool powered, std::uint32_t seed, Clock::time_point now);

  // Bytes from the host, sent at `host_baud`.
  void Receive(ByteSpan bytes, std::uint32_t host_baud, Clock::time_point now);
  // Time passes: connect requests of a waiting boot ROM (only while the host listens at the
  // boot speed and nothing sent before is still unread), restarts after refused frames.
  void Tick(Clock::time_point now, std::uint32_t host_baud, bool line_idle);

  // Bytes for the host, in order.
  ByteSpan Output() const { return ByteSpan(output_).subspan(output_sent_); }
  void OutputSent(std::size_t count);
  Bytes TakeOutput();

  void SetPower(bool on, Clock::time_point now);
  bool Powered() const { return powered_; }

  Chip& Master() { return *master_; }
  Chip& Slave() { return *slave_; }
  Chip& OnLine() { return slave_on_line_ ? *slave_ : *master_; }
  const Chip& OnLine() const { return slave_on_line_ ? *slave_ : *master_; }

  FaultInjector& Faults() { return faults_; }
  FrameLog& Frames() { return frames_; }
  void SetExtraConnectRequests(int count);

  // "power=on chip=master stage=boot-rom/wait-connect speed=115200"
  std::string Describe() const;

 private:
  class Line : public ChipLine {
   public:
    explicit Line(Phone& phone) : phone_(phone) {}
    void Reply(FaultPoint point, Bytes bytes) override;
    void Frame(std::string line) override { phone_.frames_.Add(std::move(line)); }
    void Ignored(std::uint8_t byte, const std::string& reason) override {
      phone_.frames_.Ignored(byte, reason);
    }
    std::uint32_t HostBaud() const override { return phone_.host_baud_; }
    Clock::time_point Now() const override { return phone_.now_; }
    void PowerOn() override { phone_.Restart(); }

   private:
    Phone& phone_;
  };

  void SwitchToSlave();
  void Restart();
  void Send(ByteSpan bytes);

  Line line_;
  FaultInjector faults_;
  FrameLog frames_;
  std::unique_ptr<Chip> master_;
  std::unique_ptr<Chip> slave_;
  bool powered_;
  bool slave_on_line_ = false;
  std::uint32_t host_baud_ = 0;
  Clock::time_point now_;
  Bytes output_;
  std::size_t output_sent_ = 0;
};

}  // namespace phone_sim
