#include "phone_images.h"

extern "C" {
extern const std::uint8_t phone_image_kesta_pnx6512_v05_pre[];
extern const std::uint8_t phone_image_kesta_pnx6512_v05[];
extern const std::uint8_t phone_image_kesta_pnx5231_v05_pre[];
extern const std::uint8_t phone_image_kesta_pnx5231_v05[];
}

namespace phone_images {

const Image& MasterPreLoader() {
  static const Image image{"KESTA_PNX6512_V05_PRE", {phone_image_kesta_pnx6512_v05_pre, kPreLoaderSize}};
  return image;
}

const Image& MasterBootLoader() {
  static const Image image{"KESTA_PNX6512_V05", {phone_image_kesta_pnx6512_v05, kMasterBootLoaderSize}};
  return image;
}

const Image& SlavePreLoader() {
  static const Image image{"KESTA_PNX5231_V05_PRE", {phone_image_kesta_pnx5231_v05_pre, kPreLoaderSize}};
  return image;
}

const Image& SlaveBootLoader() {
  static const Image image{"KESTA_PNX5231_V05", {phone_image_kesta_pnx5231_v05, kSlaveBootLoaderSize}};
  return image;
}

}  // namespace phone_images
