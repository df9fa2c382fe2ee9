// Arithmetic steps that raise the overflow error instead of wrapping or going infinite.
#ifndef TVX_DISK_CHECKED_H_
#define TVX_DISK_CHECKED_H_

#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/program_error.h"

namespace DiskIO {

/// Returns `value` as a signed 16-bit integer; throws the overflow error when it does not fit.
inline int16_t CheckedInt16(int64_t value) {
  if (value < std::numeric_limits<int16_t>::min() || value > std::numeric_limits<int16_t>::max()) {
    throw OverflowError();
  }
  return static_cast<int16_t>(value);
}

/// Returns `value` as a signed 32-bit integer; throws the overflow error when it does not fit.
inline int32_t CheckedInt32(int64_t value) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw OverflowError();
  }
  return static_cast<int32_t>(value);
}

/// Returns `value` unchanged; throws the overflow error when it is infinite or not a number.
inline double CheckedDouble(double value) {
  if (!std::isfinite(value)) throw OverflowError();
  return value;
}

}  // namespace DiskIO

#endif  // TVX_DISK_CHECKED_H_
