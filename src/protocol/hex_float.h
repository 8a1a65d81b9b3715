#pragma once
#include <cstddef>
#include <cstdint>

namespace vr {

// The gauge carries every value as eight hexadecimal digits holding the bits
// of an IEEE-754 single, most significant first.

// Reads buffer[offset .. offset+7] of a 255-byte reply buffer. Offsets of 249
// and above (past the buffer) and any non-hex character give 0.0.
float HexToSingle(const uint8_t* buffer, size_t offset);
// Same rule on a buffer of known size (offset + 8 must fit).
float HexToSingleIn(const uint8_t* buffer, size_t size, size_t offset);
// Writes exactly eight upper-case digits to dest[0..7].
void SingleToHex(float value, char* dest);

}  // namespace vr
