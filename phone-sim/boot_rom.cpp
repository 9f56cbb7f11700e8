#include "boot_rom.h"

#include <algorithm>

#include "chip.h"

namespace phone_sim {

namespace {

constexpr std::uint8_t kConnect = 0x44;
constexpr std::uint8_t kQuery = 0x51;
constexpr std::uint8_t kSetTimeout = 0x54;
constexpr std::uint8_t kSetAddress = 0x53;
constexpr std::uint8_t kLoad = 0x4C;
constexpr std::uint8_t kJump = 0x4A;
constexpr std::uint8_t kOk = 0x4F;
constexpr std::uint8_t kPreReady = 0xAB;
constexpr std::uint8_t kConnectRequest = 0x81;
constexpr std::uint8_t kCustomerId[4] = {0xA7, 0x1C, 0xE2, 0x4B};

}  // namespace

BootRom::BootRom(ChipLine& line, Chip& chip, std::uint32_t seed)
    : Stage(line), chip_(chip), random_(seed), ram_(kScramSize), loaded_(kScramSize) {
  // 0x44 is BOOT_CONNECT, or BOOT_CUSTOMER_ID with 20 more bytes once the query was answered.
  AddCommand(kConnect, "BOOT_CONNECT", 0, [this](ByteSpan) {
    if (state_ == State::kWaitCustomerId) {
      Expect(20, [this](ByteSpan p) { CustomerId(p); });
    } else {
      Connect();
    }
  });
  AddCommand(kQuery, "BOOT_QUERY", 0, [this](ByteSpan) { Query(); });
  AddCommand(kSetTimeout, "BOOT_SET_TIMEOUT", 1, [this](ByteSpan p) { SetTimeout(p); });
  AddCommand(kSetAddress, "BOOT_SET_ADDRESS", 4, [this](ByteSpan p) { SetAddress(p); });
  AddCommand(kLoad, "BOOT_LOAD", 1, [this](ByteSpan p) { LoadCount(p); });
  AddCommand(kJump, "BOOT_JUMP", 0, [this](ByteSpan) { Jump(); });
}

void BootRom::Start(Clock::time_point now) {
  AbandonFrame();
  state_ = State::kWaitConnect;
  next_request_ = now;
  query_.clear();
  address_.reset();
  std::fill(loaded_.begin(), loaded_.end(), false);
}

std::string BootRom::StateName() const {
  switch (state_) {
    case State::kWaitConnect:
      return "boot-rom/wait-connect";
    case State::kWaitQuery:
      return "boot-rom/wait-query";
    case State::kWaitCustomerId:
      return "boot-rom/wait-customer-id";
    case State::kCommands:
      return "boot-rom/commands";
    case State::kHalted:
      return "boot-rom/halted";
  }
  return "boot-rom";
}

bool BootRom::WantsConnectRequest(Clock::time_point now) const {
  return state_ == State::kWaitConnect && now >= next_request_;
}

void BootRom::Tick(Clock::time_point now) {
  if (state_ == State::kHalted && now >= restart_at_) {
    line_.Frame("BOOT_ROM restart");
    Start(now);
  }
}

bool BootRom::Takes(std::uint8_t code) const {
  switch (state_) {
    case State::kWaitConnect:
      return code == kConnect;
    case State::kWaitQuery:
      return code == kConnect || code == kQuery;
    case State::kWaitCustomerId:
      return code == kConnect || code == kQuery;
    case State::kCommands:
      return code == kSetTimeout || code == kSetAddress || code == kLoad || code == kJump;
    case State::kHalted:
      return false;
  }
  return false;
}

void BootRom::OnUnknown(std::uint8_t byte) {
  line_.Ignored(byte, state_ == State::kHalted ? "boot ROM halted" : "not taken by " + StateName());
}

void BootRom::Connect() {
  line_.Frame("BOOT_CONNECT");
  for (int i = 0; i < extra_connect_requests_; ++i)
    line_.Reply(FaultPoint::kConnectReq, {kConnectRequest});
  line_.Reply(FaultPoint::kConnect, {kConnect});
  state_ = State::kWaitQuery;
}

void BootRom::Query() {
  query_.resize(16);
  for (auto& b : query_) b = static_cast<std::uint8_t>(random_());
  line_.Frame("BOOT_QUERY");
  line_.Reply(FaultPoint::kQuery, query_);
  state_ = State::kWaitCustomerId;
}

void BootRom::CustomerId(ByteSpan params) {
  if (!std::equal(params.begin(), params.begin() + 4, kCustomerId)) {
    Refuse("BOOT_CUSTOMER_ID", "customer ID " + HexString(params.first(4)));
    return;
  }
  if (!std::equal(params.begin() + 4, params.end(), query_.begin())) {
    Refuse("BOOT_CUSTOMER_ID",
           "query bytes " + HexString(params.subspan(4)) + ", sent " + HexString(query_));
    return;
  }
  line_.Frame("BOOT_CUSTOMER_ID");
  line_.Reply(FaultPoint::kCustomerId, {kOk});
  state_ = State::kCommands;
}

void BootRom::SetTimeout(ByteSpan params) {
  line_.Frame("BOOT_SET_TIMEOUT " + Hex8(params[0]));
  timeout_ = std::chrono::milliseconds(100 * std::max<int>(params[0], 1));
  line_.Reply(FaultPoint::kSetTimeout, {kOk});
}

void BootRom::SetAddress(ByteSpan params) {
  std::uint32_t address = LittleEndian32(params);
  if (address - kScramBase >= kScramSize) {
    Refuse("BOOT_SET_ADDRESS " + Hex32(address), "outside on-chip RAM");
    return;
  }
  line_.Frame("BOOT_SET_ADDRESS " + Hex32(address));
  address_ = address;
  line_.Reply(FaultPoint::kSetAddress, {kOk});
}

void BootRom::LoadCount(ByteSpan params) {
  std::uint8_t count = params[0];
  Expect((count + 1u) * 4u, [this, count](ByteSpan words) { Load(count, words); });
}

void BootRom::Load(std::uint8_t count, ByteSpan words) {
  std::string frame = "BOOT_LOAD count=" + Hex8(count) + " bytes=" + std::to_string(words.size());
  if (!address_) {
    Refuse(frame, "no load address");
    return;
  }
  std::uint32_t offset = *address_ - kScramBase;
  if (words.size() > kScramSize - offset) {
    Refuse(frame, "past the end of on-chip RAM");
    return;
  }
  std::copy(words.begin(), words.end(), ram_.begin() + offset);
  std::fill_n(loaded_.begin() + offset, words.size(), true);
  *address_ += static_cast<std::uint32_t>(words.size());
  line_.Frame(frame);
  line_.Reply(FaultPoint::kLoad, {kOk});
}

void BootRom::Jump() {
  const Bytes& image = chip_.PreLoaderImage();
  if (!address_ || *address_ != kScramBase) {
    Refuse("BOOT_JUMP", address_ ? "start address " + Hex32(*address_) : "no start address");
    return;
  }
  std::size_t loaded = std::find(loaded_.begin(), loaded_.end(), false) - loaded_.begin();
  bool more = std::find(loaded_.begin() + loaded, loaded_.end(), true) != loaded_.end();
  if (loaded != image.size() || more) {
    Refuse("BOOT_JUMP", "pre-loader of " + std::to_string(loaded) + " bytes" +
                            (more ? " with gaps" : "") + ", expected " +
                            std::to_string(image.size()));
    return;
  }
  auto diff = std::mismatch(image.begin(), image.end(), ram_.begin());
  if (diff.first != image.end()) {
    Refuse("BOOT_JUMP", "pre-loader differs at byte " + std::to_string(diff.first - image.begin()));
    return;
  }
  line_.Frame("BOOT_JUMP");
  line_.Reply(FaultPoint::kJump, {kPreReady});
  chip_.EnterPreLoader();
}

void BootRom::Refuse(const std::string& frame, const std::string& reason) {
  line_.Frame(frame + " refused: " + reason);
  state_ = State::kHalted;
  restart_at_ = line_.Now() + timeout_;
}

}  // namespace phone_sim
