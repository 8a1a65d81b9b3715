#pragma once
#include <cstdint>

namespace vr {

// The x87 80-bit extended format of the host's calibration points, converted
// explicitly so the code does not depend on the size of long double:
// 64-bit significand with explicit integer bit (little-endian), then 15-bit
// biased exponent (bias 16383) and the sign bit.
constexpr int kExtendedSize = 10;

void DoubleToExtended(double value, uint8_t* dest10);
// Infinities and NaNs are kept; pseudo-denormals and unnormals read as their
// numeric value where it exists, otherwise NaN.
double ExtendedToDouble(const uint8_t* src10);

}  // namespace vr
