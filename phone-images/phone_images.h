// The phone-side images as constant data: a pre-loader and a boot-loader for each chip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace phone_images {

inline constexpr std::size_t kPreLoaderSize = 1860;
inline constexpr std::size_t kMasterBootLoaderSize = 241968;
inline constexpr std::size_t kSlaveBootLoaderSize = 66772;

struct Image {
  std::string_view name;
  std::span<const std::uint8_t> bytes;
};

const Image& MasterPreLoader();   // KESTA_PNX6512_V05_PRE
const Image& MasterBootLoader();  // KESTA_PNX6512_V05
const Image& SlavePreLoader();    // KESTA_PNX5231_V05_PRE
const Image& SlaveBootLoader();   // KESTA_PNX5231_V05

}  // namespace phone_images
