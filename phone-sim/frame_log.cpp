#include "frame_log.h"

#include "bytes.h"

namespace phone_sim {

void FrameLog::Add(std::string line) {
  FlushIgnored();
  if (sink_) sink_(line);
  lines_.push_back(std::move(line));
  if (lines_.size() > kMaxLines) {
    lines_.pop_front();
    ++dropped_;
  }
}

void FrameLog::Ignored(std::uint8_t byte, const std::string& reason) {
  if (ignored_count_ > 0 && reason != ignored_reason_) FlushIgnored();
  ignored_reason_ = reason;
  if (ignored_count_ < 16) {
    if (!ignored_sample_.empty()) ignored_sample_ += ' ';
    ignored_sample_ += Hex8(byte);
  }
  ++ignored_count_;
}

void FrameLog::FlushIgnored() {
  if (ignored_count_ == 0) return;
  std::string line = "IGNORED " + std::to_string(ignored_count_) + " bytes (" + ignored_reason_ +
                     "): " + ignored_sample_ + (ignored_count_ > 16 ? " ..." : "");
  ignored_count_ = 0;
  ignored_sample_.clear();
  Add(std::move(line));
}

std::vector<std::string> FrameLog::Lines() {
  FlushIgnored();
  std::vector<std::string> out;
  out.reserve(lines_.size() + 1);
  if (dropped_ > 0) out.push_back("LOST " + std::to_string(dropped_) + " older lines");
  out.insert(out.end(), lines_.begin(), lines_.end());
  return out;
}

void FrameLog::Clear() {
  FlushIgnored();
  lines_.clear();
  dropped_ = 0;
}

}  // namespace phone_sim
