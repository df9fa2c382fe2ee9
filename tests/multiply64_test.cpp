#include "disk/multiply64.h"

#include <gtest/gtest.h>

namespace {

struct Product {
  int32_t factor1;
  int32_t factor2;
  double low;
  double high;
};

TEST(Multiply64, GivesExactHalves) {
  const Product cases[] = {
      {0, 512, 0, 0},
      {1, 512, 512, 0},
      {63, 512, 32256, 0},
      {2139127936, 2147483647, 2155839360.0, 1069563967.0},
  };
  for (const Product& c : cases) {
    double low = -1, high = -1;
    EXPECT_TRUE(DiskIO::Multiply64(c.factor1, c.factor2, low, high));
    EXPECT_EQ(low, c.low) << c.factor1 << " x " << c.factor2;
    EXPECT_EQ(high, c.high) << c.factor1 << " x " << c.factor2;
  }
}

}  // namespace
