// The number formats at the library's edges: the gauge's hex floats (eight
// hexadecimal digits of an IEEE single) and the host's 80-bit extended
// calibration points. Each is checked against an independent reading of its
// bits, and written values must read back unchanged.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/extended.h"
#include "protocol/frame.h"
#include "protocol/hex_float.h"

namespace {

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "numbers_fuzzer: %s\n", what);
  abort();
}

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bits that eight digits at p carry, or 0 (the bits of 0.0f) when one of
// them is not a hexadecimal digit.
uint32_t ReferenceBits(const uint8_t* p) {
  uint32_t bits = 0;
  for (int i = 0; i < 8; ++i) {
    const int d = HexDigit(p[i]);
    if (d < 0) return 0;
    bits = bits << 4 | static_cast<uint32_t>(d);
  }
  return bits;
}

void CheckHexFloats(const uint8_t* data, size_t size) {
  // In a 255-byte reply buffer at any offset: digits that would run past its
  // end read as 0.0.
  vr::FrameBuffer reply{};
  std::memcpy(reply.data(), data, std::min(size, reply.size()));
  const size_t offset = size > 0 ? data[0] : 0;
  const uint32_t got = std::bit_cast<uint32_t>(vr::HexToSingle(reply.data(), offset));
  const uint32_t want = offset + 8 > reply.size() ? 0 : ReferenceBits(reply.data() + offset);
  if (got != want) Finding("HexToSingle differs from the digits' bits");

  // In a buffer of exactly the input's size (ASan sees any read past it).
  std::vector<uint8_t> exact(data, data + size);
  const size_t at = size > 1 ? data[1] % (size + 2) : 0;
  const uint32_t in = std::bit_cast<uint32_t>(vr::HexToSingleIn(exact.data(), size, at));
  const uint32_t ref = at <= size && size - at >= 8 ? ReferenceBits(exact.data() + at) : 0;
  if (in != ref) Finding("HexToSingleIn differs from the digits' bits");

  // Written values read back bit for bit, in upper case.
  if (size >= 4) {
    uint32_t bits;
    std::memcpy(&bits, data, 4);
    char hex[8];
    vr::SingleToHex(std::bit_cast<float>(bits), hex);
    for (char c : hex)
      if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
        Finding("SingleToHex wrote a non-digit");
    const auto* h = reinterpret_cast<const uint8_t*>(hex);
    if (std::bit_cast<uint32_t>(vr::HexToSingleIn(h, 8, 0)) != bits)
      Finding("a written hex float read back differently");
  }
}

void CheckExtended(const uint8_t* data, size_t size) {
  if (size < 10) return;
  // Any 10 bytes from the host: no undefined behaviour, and where the bytes
  // are a valid x87 value whose double is normal, the value the FPU gives.
  const double d = vr::ExtendedToDouble(data);
  const uint16_t se = static_cast<uint16_t>(data[8] | data[9] << 8);
  uint64_t mant;
  std::memcpy(&mant, data, 8);
  const int e = se & 0x7FFF;
  const bool valid = e != 0x7FFF && (e == 0 || (mant >> 63) != 0);
#if defined(__x86_64__) || defined(__i386__)
  if (valid) {
    long double x = 0;
    std::memcpy(&x, data, 10);
    const double fpu = static_cast<double>(x);
    if (fpu == 0.0 || std::isinf(fpu) || std::fabs(fpu) >= DBL_MIN) {
      if (std::bit_cast<uint64_t>(fpu) != std::bit_cast<uint64_t>(d))
        Finding("ExtendedToDouble differs from the FPU");
    }
  }
#endif
  if (e == 0x7FFF && (mant << 1) != 0 && !std::isnan(d)) Finding("an x87 NaN read as a number");

  // Every double goes to 10 bytes and back unchanged.
  uint64_t bits;
  std::memcpy(&bits, data + (size >= 18 ? 10 : 2), 8);
  const double v = std::bit_cast<double>(bits);
  uint8_t ext[10];
  vr::DoubleToExtended(v, ext);
  const double back = vr::ExtendedToDouble(ext);
  if (std::isnan(v) ? !std::isnan(back) : std::bit_cast<uint64_t>(back) != bits)
    Finding("a double did not come back from 80 bits");
#if defined(__x86_64__) || defined(__i386__)
  if (!std::isnan(v)) {
    long double x = v;
    if (std::memcmp(&x, ext, 10) != 0) Finding("DoubleToExtended differs from the FPU");
  }
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckHexFloats(data, size);
  CheckExtended(data, size);
  return 0;
}
