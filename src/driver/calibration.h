#pragma once
// A tank's calibration table over an exchanger: its full height, then the
// volumes at 20 evenly spaced levels as 200 bytes of ten-byte extended
// numbers. 0 on success, -1 otherwise (a bad tank number or argument, a failed
// exchange, a height that is not positive).
#include <cstdint>

#include "driver/exchanger.h"

namespace vr {

int32_t ReadCalibrationTable(Exchanger& gauge, uint32_t tankNumber, int32_t* height,
                             uint8_t* points200);
int32_t WriteCalibrationTable(Exchanger& gauge, uint32_t tankNumber, int32_t height,
                              const uint8_t* points200);

}  // namespace vr
