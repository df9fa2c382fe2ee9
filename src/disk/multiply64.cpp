#include "disk/multiply64.h"

#include <array>

#include "disk/checked.h"

namespace DiskIO {

namespace {

constexpr int kDigits = 4;         // base-256 digits of a 32-bit factor
constexpr int kEntriesPerRow = 5;  // a row of partial products and its carry out
constexpr int kResultDigits = 9;   // the product's eight digits and the last column's carry
using Digits = std::array<int16_t, kDigits>;

// Splits a factor into base-256 digits, least significant first. The remainder takes the sign of
// the dividend, so a negative factor gives the negated digits of its magnitude.
Digits SplitDigits(int32_t factor) {
  Digits digits{};
  int64_t quotient = factor;
  for (int i = 0; i < kDigits; ++i) {
    if (i > 0 && quotient == 0) break;
    digits[i] = CheckedInt16(quotient % 256);
    quotient /= 256;
  }
  return digits;
}

}  // namespace

bool Multiply64(int32_t factor1, int32_t factor2, double& lowpart, double& highpart) {
  std::array<int16_t, kResultDigits> result{};
  if (static_cast<double>(factor1) * static_cast<double>(factor2) >= 1) {
    const Digits a = SplitDigits(factor1);
    const Digits b = SplitDigits(factor2);

    // Row j holds b[j] times a[0..3]; entry k of row j weighs 256^(j+k).
    int16_t partial[kDigits][kEntriesPerRow] = {};
    for (int j = 0; j < kDigits; ++j) {
      int16_t carry = 0;
      for (int i = 0; i < kDigits; ++i) {
        const int16_t product = CheckedInt16(int32_t{b[j]} * a[i]);
        partial[j][i] = CheckedInt16(int32_t{product % 256} + carry);
        carry = CheckedInt16(product / 256);
      }
      partial[j][kDigits] = carry;
    }

    // Column c adds entry c - j of every row j that has one, and the carry from column c - 1.
    result[0] = partial[0][0];
    int16_t carry = 0;
    for (int column = 1; column < kResultDigits - 1; ++column) {
      int16_t sum = carry;
      for (int row = 0; row < kDigits; ++row) {
        const int entry = column - row;
        if (entry >= 0 && entry < kEntriesPerRow) {
          sum = CheckedInt16(int32_t{sum} + partial[row][entry]);
        }
      }
      result[column] = CheckedInt16(sum % 256);
      carry = CheckedInt16(sum / 256);
    }
    result[kResultDigits - 1] = carry;
  }

  // Each half: two products in 32 bits, the largest in double precision, added in double.
  const auto half = [&result](int first) {
    const double sum = static_cast<double>(result[first]) +
                       CheckedInt32(int64_t{result[first + 1]} * 256) +
                       CheckedInt32(int64_t{result[first + 2]} * 65536) +
                       CheckedDouble(result[first + 3] * 16777216.0);
    return CheckedDouble(sum);
  };
  const double low = half(0);
  const double high = half(4);
  lowpart = low;
  highpart = high;
  return true;
}

}  // namespace DiskIO
