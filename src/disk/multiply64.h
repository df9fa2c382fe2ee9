// The 64-bit product of two 32-bit numbers, split into halves.
#ifndef TVX_DISK_MULTIPLY64_H_
#define TVX_DISK_MULTIPLY64_H_

#include <cstdint>

namespace DiskIO {

/// Multiplies two signed 32-bit numbers by long multiplication in base 256 on 16-bit digits and
/// writes the product's low and high 32 bits, each 0 to 4294967295, to `lowpart` and `highpart`.
/// A product below 1 (a zero factor, or factors of opposite sign) gives 0 and 0. Returns true.
/// Throws the overflow error, writing neither output, when two digits multiply past 32767; with
/// 512 as a factor that never happens.
bool Multiply64(int32_t factor1, int32_t factor2, double& lowpart, double& highpart);

}  // namespace DiskIO

#endif  // TVX_DISK_MULTIPLY64_H_
