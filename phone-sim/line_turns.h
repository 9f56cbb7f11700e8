// Turns of the line: how long the host takes from the end of the phone's reply on the wire
// to the first byte of its next message. A benchmark reads them to tell the host's turnaround
// from the line's own time.
#pragma once

#include <cstddef>
#include <string>

#include "stage.h"

namespace phone_sim {

class LineTurns {
 public:
  // A host message of this many bytes or more is a write piece.
  static constexpr std::size_t kPieceBytes = 2048;

  // The phone's last reply byte has gone out (is on the wire) at `end`.
  void PhoneSent(Clock::time_point end);
  // The first byte of a host message is seen at `seen`.
  void HostStarted(Clock::time_point seen);
  void HostBytes(std::size_t count) { bytes_ += count; }
  // Nothing more of the host's message waits: a turn ends when the phone had replied first.
  void HostEnded();
  void Clear();

  // "turns=<n> gap_us=<mean> piece_turns=<n> piece_gap_us=<mean> piece_gap_max_us=<max>"
  std::string Describe() const;

 private:
  bool replied_ = false;
  Clock::time_point reply_end_{};
  bool open_ = false;
  double gap_us_ = 0;
  std::size_t bytes_ = 0;
  std::size_t turns_ = 0, pieces_ = 0;
  double gap_sum_ = 0, piece_sum_ = 0, piece_max_ = 0;
};

}  // namespace phone_sim
