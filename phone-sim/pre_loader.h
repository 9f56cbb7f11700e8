// The pre-loader in on-chip RAM: takes the speed code, answers at that speed only, tells its
// chip version, and receives the boot-loader in blocks; it starts the boot-loader only when it
// is the chip's expected image.
#pragma once

#include <cstdint>
#include <optional>

#include "stage.h"

namespace phone_sim {

class Chip;

class PreLoader : public Stage {
 public:
  static constexpr std::size_t kBlockSize = 2048;

  PreLoader(ChipLine& line, Chip& chip);

  void Start();
  bool AcceptsBaud(std::uint32_t baud) const override;
  std::string StateName() const override;
  // Line speed the pre-loader runs at: 115200 until the speed code, then the code's.
  std::uint32_t Baud() const;
  bool SpeedChosen() const { return speed_code_.has_value(); }

 protected:
  bool OnCommandByte(std::uint8_t byte) override;

 private:
  void SpeedCode(std::uint8_t code);
  void Sync();
  void SetLength(ByteSpan params);
  void DmaBlock();
  void Jump();

  Chip& chip_;
  std::optional<std::uint8_t> speed_code_;
  std::optional<std::uint32_t> length_;
  Bytes received_;
};

}  // namespace phone_sim
