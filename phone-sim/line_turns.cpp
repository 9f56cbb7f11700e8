#include "line_turns.h"

#include <algorithm>
#include <cstdio>

namespace phone_sim {

void LineTurns::PhoneSent(Clock::time_point end) {
  replied_ = true;
  reply_end_ = end;
}

void LineTurns::HostStarted(Clock::time_point seen) {
  bytes_ = 0;
  open_ = replied_;
  replied_ = false;
  if (open_) {
    gap_us_ = std::max(0.0, std::chrono::duration<double, std::micro>(seen - reply_end_).count());
  }
}

void LineTurns::HostEnded() {
  if (open_) {
    ++turns_;
    gap_sum_ += gap_us_;
    if (bytes_ >= kPieceBytes) {
      ++pieces_;
      piece_sum_ += gap_us_;
      piece_max_ = std::max(piece_max_, gap_us_);
    }
  }
  open_ = false;
  bytes_ = 0;
}

void LineTurns::Clear() { *this = LineTurns{}; }

std::string LineTurns::Describe() const {
  char text[160];
  std::snprintf(text, sizeof text,
                "turns=%zu gap_us=%.1f piece_turns=%zu piece_gap_us=%.1f piece_gap_max_us=%.1f",
                turns_, turns_ ? gap_sum_ / static_cast<double>(turns_) : 0.0, pieces_,
                pieces_ ? piece_sum_ / static_cast<double>(pieces_) : 0.0, piece_max_);
  return text;
}

}  // namespace phone_sim
