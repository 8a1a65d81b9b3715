#include "protocol/extended.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace vr {

void DoubleToExtended(double value, uint8_t* dest) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  uint16_t sign = static_cast<uint16_t>((bits >> 63) & 1);
  int exp = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t frac = bits & ((uint64_t{1} << 52) - 1);
  uint64_t mant = 0;
  uint16_t e = 0;
  if (exp == 0x7FF) {  // infinity or NaN
    e = 0x7FFF;
    mant = (uint64_t{1} << 63) | (frac << 11);
  } else if (exp == 0) {
    if (frac != 0) {                            // subnormal double: normal in extended precision
      int shift = std::countl_zero(frac) - 11;  // bring the top bit to bit 52
      frac <<= shift;
      e = static_cast<uint16_t>(1 - 1023 - shift + 16383);
      mant = frac << 11;
    }
  } else {
    e = static_cast<uint16_t>(exp - 1023 + 16383);
    mant = (uint64_t{1} << 63) | (frac << 11);
  }
  for (int i = 0; i < 8; ++i) dest[i] = static_cast<uint8_t>(mant >> (8 * i));
  uint16_t se = static_cast<uint16_t>(e | (sign << 15));
  dest[8] = static_cast<uint8_t>(se & 0xFF);
  dest[9] = static_cast<uint8_t>(se >> 8);
}

double ExtendedToDouble(const uint8_t* src) {
  uint64_t mant = 0;
  for (int i = 0; i < 8; ++i) mant |= static_cast<uint64_t>(src[i]) << (8 * i);
  uint16_t se = static_cast<uint16_t>(src[8] | (src[9] << 8));
  bool negative = (se & 0x8000) != 0;
  int e = se & 0x7FFF;
  double result;
  if (e == 0x7FFF) {
    bool isInf = (mant << 1) == 0;
    result =
        isInf ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  } else if (mant == 0) {
    result = 0.0;
  } else {
    // value = mant * 2^(e - 16383 - 63); denormals use exponent 1 - 16383.
    int exponent = (e == 0 ? 1 : e) - 16383 - 63;
    if (e != 0 && (mant >> 63) == 0) return std::numeric_limits<double>::quiet_NaN();  // unnormal
    result = std::ldexp(static_cast<double>(mant), exponent);
  }
  return negative ? -result : result;
}

}  // namespace vr
