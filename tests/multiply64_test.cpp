// Multiply64: the listed products, the overflow pairs, and the exactness claim checked against
// 64-bit integer arithmetic over many factor pairs.
#include "disk/multiply64.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "platform/program_error.h"

namespace {

constexpr int32_t kMax32 = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min();
constexpr double kTwoTo32 = 4294967296.0;

// Values the outputs hold before a call, so that an untouched output can be told apart.
constexpr double kUntouchedLow = -7.25;
constexpr double kUntouchedHigh = 1234.5;

struct Product {
  int32_t factor1;
  int32_t factor2;
  double low;
  double high;
};

// Returns the base-256 digits of the magnitude of `factor`, least significant first.
std::array<int64_t, 4> MagnitudeDigits(int32_t factor) {
  uint64_t magnitude = factor < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(factor))
                                  : static_cast<uint64_t>(factor);
  std::array<int64_t, 4> digits{};
  for (int64_t& digit : digits) {
    digit = static_cast<int64_t>(magnitude % 256);
    magnitude /= 256;
  }
  return digits;
}

// True when the product is 1 or more and two digits of the magnitudes multiply past 32767: the
// one case in which the 16-bit partial products overflow.
bool ShouldOverflow(int32_t factor1, int32_t factor2) {
  if (static_cast<int64_t>(factor1) * factor2 < 1) return false;
  for (int64_t a : MagnitudeDigits(factor1)) {
    for (int64_t b : MagnitudeDigits(factor2)) {
      if (a * b > 32767) return true;
    }
  }
  return false;
}

// Checks one pair against 64-bit integer arithmetic: either the overflow error with both outputs
// untouched, or true with the exact halves (0 and 0 for a product below 1).
void ExpectMatchesIntegerProduct(int32_t factor1, int32_t factor2) {
  double low = kUntouchedLow;
  double high = kUntouchedHigh;
  if (ShouldOverflow(factor1, factor2)) {
    EXPECT_THROW(DiskIO::Multiply64(factor1, factor2, low, high), ProgramError)
        << factor1 << " x " << factor2;
    EXPECT_EQ(low, kUntouchedLow) << factor1 << " x " << factor2;
    EXPECT_EQ(high, kUntouchedHigh) << factor1 << " x " << factor2;
    return;
  }
  const int64_t product = static_cast<int64_t>(factor1) * factor2;
  const uint64_t expected = product < 1 ? 0 : static_cast<uint64_t>(product);
  ASSERT_TRUE(DiskIO::Multiply64(factor1, factor2, low, high)) << factor1 << " x " << factor2;
  ASSERT_EQ(low, static_cast<double>(expected & 0xFFFFFFFFu)) << factor1 << " x " << factor2;
  ASSERT_EQ(high, static_cast<double>(expected >> 32)) << factor1 << " x " << factor2;
}

TEST(Multiply64, GivesTheListedHalves) {
  const Product cases[] = {
      // Sector numbers times the sector size.
      {0, 512, 0, 0},
      {1, 512, 512, 0},
      {63, 512, 32256, 0},
      {2048, 512, 1048576, 0},
      {4194304, 512, 2147483648.0, 0},
      {8388607, 512, 4294966784.0, 0},
      {8388608, 512, 0, 1},
      {kMax32, 512, 4294966784.0, 255},
      // A product below 1 gives 0 and 0, without a failure even where digits are large.
      {-5, 512, 0, 0},
      {5, -512, 0, 0},
      {kMax32, -kMax32, 0, 0},
      {kMin32, kMax32, 0, 0},
      // Factors of equal sign: negative digits multiply to a positive product.
      {-2, -3, 6, 0},
      {kMin32, -1, 2147483648.0, 0},
      {-1, -1, 1, 0},
      {kMin32, kMin32, 0, 1073741824.0},
      // Digit products at the 16-bit limit that still fit.
      {181, 181, 32761, 0},
      {128, 255, 32640, 0},
      {255, 128, 32640, 0},
      // Every column of the partial table in use.
      {2139127936, kMax32, 2155839360.0, 1069563967.0},
  };
  for (const Product& c : cases) {
    double low = kUntouchedLow;
    double high = kUntouchedHigh;
    EXPECT_TRUE(DiskIO::Multiply64(c.factor1, c.factor2, low, high));
    EXPECT_EQ(low, c.low) << c.factor1 << " x " << c.factor2;
    EXPECT_EQ(high, c.high) << c.factor1 << " x " << c.factor2;
  }
}

TEST(Multiply64, OverflowingDigitsRaiseErrorSixAndLeaveBothOutputs) {
  const std::pair<int32_t, int32_t> cases[] = {
      {182, 182},
      {129, 255},
      {255, 129},
      {kMax32, kMax32},
      {-182, -182},
      {-kMax32, -kMax32},
      {129 * 65536, 255 * 256},
  };
  for (const auto& [factor1, factor2] : cases) {
    double low = kUntouchedLow;
    double high = kUntouchedHigh;
    try {
      DiskIO::Multiply64(factor1, factor2, low, high);
      ADD_FAILURE() << factor1 << " x " << factor2 << " returned instead of failing";
    } catch (const ProgramError& error) {
      EXPECT_EQ(error.number, 6) << factor1 << " x " << factor2;
      EXPECT_EQ(error.description, "Overflow");
    }
    EXPECT_EQ(low, kUntouchedLow) << factor1 << " x " << factor2;
    EXPECT_EQ(high, kUntouchedHigh) << factor1 << " x " << factor2;
  }
}

TEST(Multiply64, EverySectorNumberGivesItsExactByteOffset) {
  std::vector<int32_t> sectors;
  for (int32_t s = 0; s < 70000; ++s) sectors.push_back(s);
  for (int bit = 0; bit < 31; ++bit) {
    const int64_t power = int64_t{1} << bit;
    for (int64_t s : {power - 1, power, power + 1}) {
      if (s <= kMax32) sectors.push_back(static_cast<int32_t>(s));
    }
  }
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int32_t> anySector(0, kMax32);
  for (int i = 0; i < 200000; ++i) sectors.push_back(anySector(random));

  for (int32_t sector : sectors) {
    double low = kUntouchedLow;
    double high = kUntouchedHigh;
    ASSERT_TRUE(DiskIO::Multiply64(sector, 512, low, high)) << sector;
    const uint64_t offset = static_cast<uint64_t>(sector) * 512;
    ASSERT_EQ(low, static_cast<double>(offset % 4294967296u)) << sector;
    ASSERT_EQ(high, static_cast<double>(sector / 8388608)) << sector;
    ASSERT_EQ(low + high * kTwoTo32, static_cast<double>(offset)) << sector;
  }
}

TEST(Multiply64, AnyPairIsExactOrFailsExactlyWhenTwoDigitsMultiplyPast32767) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int32_t> anyFactor(kMin32, kMax32);
  std::uniform_int_distribution<int32_t> smallDigit(0, 128);
  std::uniform_int_distribution<int32_t> topDigit(0, 127);
  std::uniform_int_distribution<int32_t> sign(0, 1);
  // A factor whose digits are all 128 or less never overflows against any other: these pairs
  // cover the exact side, the uniform ones mostly the failing side.
  const auto smallDigits = [&]() {
    int32_t value = topDigit(random);
    for (int i = 0; i < 3; ++i) value = value * 256 + smallDigit(random);
    return sign(random) ? -value : value;
  };
  const int32_t edges[] = {0, 1, -1, 255, 256, -256, 32767, 65535, 65536, kMax32, kMin32, -kMax32};
  for (int32_t a : edges) {
    for (int32_t b : edges) ExpectMatchesIntegerProduct(a, b);
  }
  for (int i = 0; i < 50000; ++i) {
    ExpectMatchesIntegerProduct(anyFactor(random), anyFactor(random));
    ExpectMatchesIntegerProduct(smallDigits(), anyFactor(random));
    ExpectMatchesIntegerProduct(smallDigits(), smallDigits());
  }
}

}  // namespace
