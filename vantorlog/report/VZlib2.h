// zlib for the library: whole-buffer inflation and zlib's result codes as exceptions.
#pragma once

#include <cstdint>
#include <vector>

#include "SysUtils.h"

// A zlib failure, with zlib's message for the code.
class EZLibError : public Exception {
 public:
  explicit EZLibError(std::string message, int code = 0)
      : Exception(std::move(message)), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

namespace VZlib2 {

// Raises EZLibError for a negative zlib code, else returns the code.
int CheckResult(int code);

// Inflates a whole zlib stream (with its header) into a new buffer the caller releases with
// FreeBuffer. Corrupt or truncated data raises EZLibError, and no buffer is left allocated.
void DecompressBuffer(const void* input, std::int32_t input_size, void*& output,
                      std::int32_t& output_size);
void FreeBuffer(void* buffer);

// The same into a vector.
std::vector<std::uint8_t> Decompress(const void* input, std::int32_t input_size);

}  // namespace VZlib2
