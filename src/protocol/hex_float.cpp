#include "protocol/hex_float.h"

#include <bit>

#include "protocol/frame.h"

namespace vr {

float HexToSingleIn(const uint8_t* buffer, size_t size, size_t offset) {
  if (offset > size || size - offset < 8) return 0.0f;
  uint32_t bits = 0;
  for (size_t i = 0; i < 8; ++i) {
    uint8_t c = buffer[offset + i];
    uint32_t d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      return 0.0f;
    bits = (bits << 4) | d;
  }
  return std::bit_cast<float>(bits);
}

float HexToSingle(const uint8_t* buffer, size_t offset) {
  // 249 and above would run past the 255-byte reply buffer.
  if (offset >= 249) return 0.0f;
  return HexToSingleIn(buffer, kFrameBufferSize, offset);
}

void SingleToHex(float value, char* dest) {
  static const char kHex[] = "0123456789ABCDEF";
  uint32_t bits = std::bit_cast<uint32_t>(value);
  for (int i = 7; i >= 0; --i) {
    dest[i] = kHex[bits & 0xF];
    bits >>= 4;
  }
}

}  // namespace vr
