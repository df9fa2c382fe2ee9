#include "disk/record_value.h"

#include <gtest/gtest.h>

namespace {

TEST(GetRecordValue, ReadsLittleEndian) {
  SectorBuffer buffer{};
  buffer[454] = 0x3F;
  int32_t end = 457;
  EXPECT_EQ(DiskIO::GetRecordValue(buffer, 454, end, true), 63);
}

}  // namespace
