#include "stage.h"

#include <algorithm>

namespace phone_sim {

std::optional<std::uint32_t> BaudOfSpeedCode(std::uint8_t code) {
  switch (code) {
    case 0x00:
      return 115200;
    case 0x01:
      return 230400;
    case 0x02:
      return 460800;
    case 0x03:
      return 921600;
    default:
      return std::nullopt;
  }
}

std::size_t Stage::Receive(ByteSpan bytes) {
  if (bytes.empty()) return 0;
  if (pending_) {
    std::size_t n = std::min(bytes.size(), pending_->count - pending_->data.size());
    pending_->data.insert(pending_->data.end(), bytes.begin(), bytes.begin() + n);
    if (pending_->data.size() == pending_->count) {
      Pending done = std::move(*pending_);
      pending_.reset();
      done.handler(done.data);
    }
    return n;
  }
  std::uint8_t code = bytes[0];
  if (OnCommandByte(code)) return 1;
  const std::optional<Command>& command = commands_[code];
  if (!command || !Takes(code)) {
    OnUnknown(code);
    return 1;
  }
  Expect(command->params, command->handler);
  return 1;
}

void Stage::AddCommand(std::uint8_t code, std::string name, std::size_t params, Handler handler) {
  commands_[code] = Command{std::move(name), params, std::move(handler)};
}

void Stage::Expect(std::size_t count, Handler handler) {
  if (count == 0) {
    handler({});
    return;
  }
  Bytes data;
  data.reserve(count);
  pending_ = Pending{count, std::move(data), std::move(handler)};
}

void Stage::OnUnknown(std::uint8_t byte) { line_.Ignored(byte, "unknown command"); }

}  // namespace phone_sim
