// Writes palette PNGs of raw pictures for check_png.py.
// Usage: png_writer <list>; each line of the list: width height bytes_per_pixel bottom_up in out.
// The input holds rows top to bottom, packed; the writer lays them out in rows padded to 4
// bytes (bottom-up when asked), as a device-independent bitmap keeps them.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "VPngWriter.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::ifstream list(argv[1]);
  std::string line;
  int failures = 0;
  while (std::getline(list, line)) {
    std::istringstream fields(line);
    int width = 0, height = 0, bpp = 0, bottom_up = 0;
    std::string in, out;
    if (!(fields >> width >> height >> bpp >> bottom_up >> in >> out)) continue;
    std::ifstream source(in, std::ios::binary);
    const std::vector<char> raw((std::istreambuf_iterator<char>(source)),
                                std::istreambuf_iterator<char>());
    const std::size_t row = static_cast<std::size_t>(width) * bpp;
    const std::size_t stride = (row + 3) / 4 * 4;
    std::vector<std::uint8_t> pixels(stride * height, 0xA5);  // padding must not show
    for (int y = 0; y < height && (y + 1) * row <= raw.size(); ++y) {
      const int at = bottom_up ? height - 1 - y : y;
      std::copy(raw.begin() + y * row, raw.begin() + (y + 1) * row, pixels.begin() + at * stride);
    }
    ExceptionLog::TPixelImage image;
    image.width = width;
    image.height = height;
    image.bytes_per_pixel = bpp;
    image.row_step = bottom_up ? -static_cast<std::ptrdiff_t>(stride) : stride;
    image.top_row = pixels.data() + (bottom_up ? stride * (height - 1) : 0);
    try {
      TMemoryStream png;
      ExceptionLog::WritePixelPng(png, image);
      std::ofstream file(out, std::ios::binary);
      file.write(reinterpret_cast<const char*>(png.Memory()),
                 static_cast<std::streamsize>(png.Size()));
      if (!file) throw Exception("cannot write " + out);
    } catch (const Exception& e) {
      std::printf("%s: %s\n", out.c_str(), e.Message().c_str());
      ++failures;
    }
  }
  std::printf("%s\n", failures ? "failed" : "written");
  return failures ? 1 : 0;
}
