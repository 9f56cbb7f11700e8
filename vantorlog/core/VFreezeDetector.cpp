#include "VFreezeDetector.h"

namespace ExceptionLog {

std::int64_t FreezeLimitMs(std::int32_t timeout_secs) {
  return static_cast<std::int64_t>(timeout_secs) * 1000;
}

bool TFreezeDetector::Probe(TFreezeProbe probe, std::int32_t timeout_secs) {
  if (probe != TFreezeProbe::kUnanswered) {
    silent_ms_ = 0;
    return false;
  }
  silent_ms_ += kFreezeProbeMs;
  return silent_ms_ >= FreezeLimitMs(timeout_secs);
}

}  // namespace ExceptionLog
