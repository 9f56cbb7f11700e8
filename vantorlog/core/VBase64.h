// Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace VBase64 {

std::string EncodeText(std::string_view text);
std::string EncodeBuffer(const void* data, std::size_t length);
// Empty unless the length is a non-zero multiple of 4. Characters outside the alphabet count
// as the value 0.
std::string DecodeText(std::string_view text);

}  // namespace VBase64
