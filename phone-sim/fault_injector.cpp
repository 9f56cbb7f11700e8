#include "fault_injector.h"

#include <utility>

namespace phone_sim {

namespace {

constexpr std::array<std::string_view, kFaultPointCount> kPointNames = {
    "connect-req",
    "connect",
    "query",
    "customer-id",
    "set-timeout",
    "set-address",
    "load",
    "jump",
    "sync",
    "length",
    "dma-echo",
    "dma-sum",
    "pre-jump",
    "cs0-base",
    "flash-id",
    "bl-sync",
    "offset",
    "bl-length",
    "write-ack",
    "write-done",
    "erase",
    "dump-data",
    "dump-sum",
    "chip-version",
    "checksum",
    "download-end",
    "qvs-mount",
    "qvs-begin",
    "qvs-checksum",
    "qvs-time",
    "qvs-dir",
    "qvs-dir-done",
    "qvs-version",
    "qvs-release",
    "qvs-add",
    "qvs-block",
    "qvs-end",
    "qvs-unmount",
    "qvs-format-sum",
    "qvs-format",
    "qvs-status",
    "qvs-drive",
    "qvs-list",
    "qvs-list-next",
    "qvs-read",
    "qvs-chunk",
    "qvs-chunk-sum",
    "qvs-delete",
    "qvs-file-status",
    "nand-dump",
    "nand-unit",
    "nand-unit-sum",
    "nand-end",
};

constexpr std::array<std::string_view, 5> kKindNames = {"drop", "wrong", "short", "garbage",
                                                        "unplug"};

}  // namespace

std::string_view FaultPointName(FaultPoint point) {
  return kPointNames[static_cast<std::size_t>(point)];
}

std::optional<FaultPoint> FaultPointFromName(std::string_view name) {
  for (std::size_t i = 0; i < kPointNames.size(); ++i) {
    if (kPointNames[i] == name) return static_cast<FaultPoint>(i);
  }
  return std::nullopt;
}

std::string_view FaultKindName(FaultKind kind) {
  return kKindNames[static_cast<std::size_t>(kind)];
}

std::optional<FaultKind> FaultKindFromName(std::string_view name) {
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    if (kKindNames[i] == name) return static_cast<FaultKind>(i);
  }
  return std::nullopt;
}

void FaultInjector::Arm(FaultPoint point, FaultKind kind, int times, int skip) {
  armed_[static_cast<std::size_t>(point)] = Armed{kind, times < 0 ? 0 : times, skip < 0 ? 0 : skip};
}

void FaultInjector::Clear() { armed_.fill(std::nullopt); }

Bytes FaultInjector::Apply(FaultPoint point, Bytes reply, std::string* applied) {
  std::optional<Armed>& slot = armed_[static_cast<std::size_t>(point)];
  if (!slot) return reply;
  if (slot->skip > 0) {
    --slot->skip;
    return reply;
  }
  FaultKind kind = slot->kind;
  if (slot->remaining > 0 && --slot->remaining == 0) slot.reset();
  if (applied) *applied = std::string(FaultKindName(kind));
  switch (kind) {
    case FaultKind::kDrop:
      return {};
    case FaultKind::kWrong:
      if (!reply.empty()) reply[0] = static_cast<std::uint8_t>(~reply[0]);
      return reply;
    case FaultKind::kShort:
      reply.resize(reply.size() / 2);
      return reply;
    case FaultKind::kGarbage:
      reply.insert(reply.begin(), {0xA5, 0x5A, 0x3C});
      return reply;
    case FaultKind::kUnplug:
      unplugged_ = true;
      return {};
  }
  return reply;
}

bool FaultInjector::TakeUnplug() { return std::exchange(unplugged_, false); }

std::string FaultInjector::Describe() const {
  std::string text;
  for (std::size_t i = 0; i < armed_.size(); ++i) {
    if (!armed_[i]) continue;
    if (!text.empty()) text += ' ';
    text +=
        std::string(kPointNames[i]) + ':' + std::string(FaultKindName(armed_[i]->kind)) + ':' +
        (armed_[i]->remaining == 0 ? std::string("always") : std::to_string(armed_[i]->remaining)) +
        (armed_[i]->skip > 0 ? ":after" + std::to_string(armed_[i]->skip) : std::string());
  }
  return text.empty() ? "none" : text;
}

}  // namespace phone_sim
