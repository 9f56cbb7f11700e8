#include "direct_line.h"

#include <algorithm>

#include "phone_images.h"

namespace phone_sim {

using namespace std::chrono_literals;

namespace {

Bytes ToBytes(const phone_images::Image& image) {
  return Bytes(image.bytes.begin(), image.bytes.end());
}

}  // namespace

PhoneImages Images() {
  return {ToBytes(phone_images::MasterPreLoader()), ToBytes(phone_images::MasterBootLoader()),
          ToBytes(phone_images::SlavePreLoader()), ToBytes(phone_images::SlaveBootLoader())};
}

phone_sim_test::BootImages MasterImages() {
  return {ToBytes(phone_images::MasterPreLoader()), ToBytes(phone_images::MasterBootLoader())};
}

phone_sim_test::BootImages SlaveImages() {
  return {ToBytes(phone_images::SlavePreLoader()), ToBytes(phone_images::SlaveBootLoader())};
}

DirectLine::DirectLine(bool powered)
    : now_(Clock::time_point() + 1h), phone_(Images(), powered, 1234, now_) {}

Bytes DirectLine::Read(std::size_t count, std::chrono::milliseconds timeout) {
  Clock::time_point end = now_ + timeout;
  for (;;) {
    Take();
    if (pending_.size() >= count || now_ >= end) break;
    now_ += 1ms;
    phone_.Tick(now_, baud_, pending_.empty());
  }
  std::size_t n = std::min(count, pending_.size());
  Bytes out(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
  return out;
}

void DirectLine::Pause(std::chrono::milliseconds time) {
  for (auto end = now_ + time; now_ < end; now_ += 1ms) phone_.Tick(now_, baud_, false);
}

Bytes DirectLine::Drain() {
  Take();
  Bytes out = std::move(pending_);
  pending_.clear();
  return out;
}

Bytes DirectLine::Exchange(const Bytes& bytes) {
  Drain();
  Write(bytes);
  return Drain();
}

bool DirectLine::FramesContain(const std::string& line) {
  std::vector<std::string> lines = phone_.Frames().Lines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void DirectLine::Take() {
  Bytes out = phone_.TakeOutput();
  pending_.insert(pending_.end(), out.begin(), out.end());
}

Bytes Frame(std::uint8_t command, std::uint32_t value) {
  Bytes f = {command};
  Bytes v = phone_sim_test::Be32(value);
  f.insert(f.end(), v.begin(), v.end());
  return f;
}

}  // namespace phone_sim
