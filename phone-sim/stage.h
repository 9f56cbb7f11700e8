// A program running on a chip (boot ROM, pre-loader, boot-loader): a table of command bytes,
// each with its parameter count and handler, and the collection of a frame's further bytes.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "bytes.h"
#include "fault_injector.h"

namespace phone_sim {

using Clock = std::chrono::steady_clock;

inline constexpr std::uint32_t kBootBaud = 115200;

// Baud of a speed code 0..3; nullopt for any other byte.
std::optional<std::uint32_t> BaudOfSpeedCode(std::uint8_t code);

// What a chip's program sees of the serial line and of the phone around it.
class ChipLine {
 public:
  virtual ~ChipLine() = default;
  // A reply, subject to the faults armed at `point`.
  virtual void Reply(FaultPoint point, Bytes bytes) = 0;
  virtual void Frame(std::string line) = 0;
  virtual void Ignored(std::uint8_t byte, const std::string& reason) = 0;
  virtual std::uint32_t HostBaud() const = 0;
  virtual Clock::time_point Now() const = 0;
  // BL_POWER_ON: the phone starts afresh, as after switching it on.
  virtual void PowerOn() = 0;
};

class Stage {
 public:
  explicit Stage(ChipLine& line) : line_(line) {}
  virtual ~Stage() = default;
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  // Takes the next bytes of the line; consumes at least one.
  std::size_t Receive(ByteSpan bytes);
  // Whether a byte sent at the host's speed reaches this program intact.
  virtual bool AcceptsBaud(std::uint32_t baud) const = 0;
  virtual std::string StateName() const = 0;
  // Drops a frame half received.
  void AbandonFrame() { pending_.reset(); }

 protected:
  using Handler = std::function<void(ByteSpan)>;

  void AddCommand(std::uint8_t code, std::string name, std::size_t params, Handler handler);
  // The current frame continues with `count` more bytes (0: the handler runs at once).
  void Expect(std::size_t count, Handler handler);
  // A command byte with no table entry (or one the current state does not take).
  virtual void OnUnknown(std::uint8_t byte);
  // A command byte before the table is looked up; true when the stage took it itself.
  virtual bool OnCommandByte(std::uint8_t byte) { return false; }
  // Whether the current state takes the command (default: every command in the table).
  virtual bool Takes(std::uint8_t code) const { return true; }

  ChipLine& line_;

 private:
  struct Command {
    std::string name;
    std::size_t params;
    Handler handler;
  };
  struct Pending {
    std::size_t count;
    Bytes data;
    Handler handler;
  };

  std::array<std::optional<Command>, 256> commands_{};
  std::optional<Pending> pending_;
};

}  // namespace phone_sim
