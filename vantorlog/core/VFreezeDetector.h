// The freeze watchdog's count of the main window's silence, apart from its Win32 probes: each
// probe of the window is answered, unanswered, or left out because a processing runs (the
// main thread then waits for it, which is no freeze).
#pragma once

#include <cstdint>

namespace ExceptionLog {

// The probe period: an unanswered probe waited this long for its answer.
inline constexpr std::int64_t kFreezeProbeMs = 50;

enum class TFreezeProbe : std::uint8_t { kAnswered, kUnanswered, kProcessingRuns };

// The silence after which a main window counts as frozen, in milliseconds (64-bit: the
// options' seconds times 1000 do not fit in 32 bits for large values).
std::int64_t FreezeLimitMs(std::int32_t timeout_secs);

class TFreezeDetector {
 public:
  // Counts one probe; true when the window is frozen for that limit: at least one probe went
  // unanswered since the last answer or processing, and the silence reached the limit (a
  // limit of 0 or less thus never reports an answering window).
  bool Probe(TFreezeProbe probe, std::int32_t timeout_secs);
  // After a report: the silence is counted again from nothing.
  void Reset() { silent_ms_ = 0; }
  std::int64_t SilentMs() const { return silent_ms_; }

 private:
  std::int64_t silent_ms_ = 0;
};

}  // namespace ExceptionLog
