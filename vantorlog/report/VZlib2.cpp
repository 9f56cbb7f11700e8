#include "VZlib2.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>

namespace VZlib2 {

int CheckResult(int code) {
  if (code < 0) throw EZLibError(zError(code), code);
  return code;
}

void FreeBuffer(void* buffer) { std::free(buffer); }

void DecompressBuffer(const void* input, std::int32_t input_size, void*& output,
                      std::int32_t& output_size) {
  output = nullptr;
  output_size = 0;
  if (input_size < 0 || (input_size > 0 && !input))
    throw EZLibError(zError(Z_STREAM_ERROR), Z_STREAM_ERROR);
  // Grows in steps of the input size rounded up to 256 (at least 256, so an empty input ends).
  const std::int64_t step =
      std::max<std::int64_t>(256, (static_cast<std::int64_t>(input_size) + 255) / 256 * 256);
  std::int64_t capacity = step;
  auto* buffer = static_cast<Bytef*>(std::malloc(static_cast<std::size_t>(capacity)));
  if (!buffer) throw std::bad_alloc();

  z_stream stream{};
  stream.next_in = static_cast<Bytef*>(const_cast<void*>(input));
  stream.avail_in = static_cast<uInt>(input_size);
  stream.next_out = buffer;
  stream.avail_out = static_cast<uInt>(capacity);
  const int init = inflateInit(&stream);
  if (init != Z_OK) {
    std::free(buffer);
    CheckResult(init < 0 ? init : Z_STREAM_ERROR);
  }
  int result = Z_OK;
  try {
    for (;;) {
      result = inflate(&stream, Z_NO_FLUSH);
      if (result != Z_OK) break;
      if (stream.avail_out != 0) continue;  // more input to take in
      if (capacity + step > std::numeric_limits<std::int32_t>::max()) {
        result = Z_MEM_ERROR;
        break;
      }
      auto* grown =
          static_cast<Bytef*>(std::realloc(buffer, static_cast<std::size_t>(capacity + step)));
      if (!grown) {
        result = Z_MEM_ERROR;
        break;
      }
      buffer = grown;
      stream.next_out = buffer + capacity;
      stream.avail_out = static_cast<uInt>(step);
      capacity += step;
    }
    const std::int64_t produced = static_cast<std::int64_t>(stream.total_out);
    CheckResult(inflateEnd(&stream));
    // Anything but the stream's end is a failure: corrupt data, a truncated stream (no progress
    // possible: Z_BUF_ERROR), a preset dictionary we do not have, or memory.
    if (result != Z_STREAM_END) {
      const int code = result == Z_NEED_DICT ? Z_DATA_ERROR : result < 0 ? result : Z_DATA_ERROR;
      throw EZLibError(zError(code), code);
    }
    void* shrunk =
        std::realloc(buffer, static_cast<std::size_t>(std::max<std::int64_t>(produced, 1)));
    if (shrunk) buffer = static_cast<Bytef*>(shrunk);
    output = buffer;
    output_size = static_cast<std::int32_t>(produced);
  } catch (...) {
    inflateEnd(&stream);
    std::free(buffer);
    throw;
  }
}

std::vector<std::uint8_t> Decompress(const void* input, std::int32_t input_size) {
  void* out = nullptr;
  std::int32_t size = 0;
  DecompressBuffer(input, input_size, out, size);
  const auto* p = static_cast<const std::uint8_t*>(out);
  std::vector<std::uint8_t> bytes(p, p + size);
  FreeBuffer(out);
  return bytes;
}

}  // namespace VZlib2
