// The frame log: one line per frame the phone parsed (and per run of ignored bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace phone_sim {

class FrameLog {
 public:
  static constexpr std::size_t kMaxLines = 200000;

  // Each line also goes to the sink (the --log file), if any.
  void SetSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }

  void Add(std::string line);
  // Bytes that formed no frame; consecutive ones make one "IGNORED" line.
  void Ignored(std::uint8_t byte, const std::string& reason);
  void FlushIgnored();

  std::vector<std::string> Lines();
  void Clear();

 private:
  std::deque<std::string> lines_;
  std::size_t dropped_ = 0;
  std::function<void(const std::string&)> sink_;
  std::string ignored_reason_;
  std::size_t ignored_count_ = 0;
  std::string ignored_sample_;
};

}  // namespace phone_sim
