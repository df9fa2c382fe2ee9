// GetRecordValue: decoded fields, rejected fields, and the failures that end a call with 0, each
// with what the caller's endrecord holds afterwards.
#include "disk/record_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min();

// A field to decode: the buffer (its size, a byte every index holds, and bytes placed on top),
// the arguments, and what the call returns and leaves in endrecord.
struct FieldCase {
  const char* what;
  size_t size;
  uint8_t fill;
  std::vector<std::pair<size_t, uint8_t>> bytes;
  int32_t startrecord;
  int32_t endrecord;
  bool isunsigned;
  double result;
  int32_t endrecordAfter;
};

std::vector<uint8_t> MakeBuffer(const FieldCase& c) {
  std::vector<uint8_t> buffer(c.size, c.fill);
  for (const auto& [index, byte] : c.bytes) buffer.at(index) = byte;
  return buffer;
}

void ExpectDecodes(const FieldCase& c) {
  const std::vector<uint8_t> buffer = MakeBuffer(c);
  int32_t endrecord = c.endrecord;
  const double result = DiskIO::GetRecordValue(ByteSpan(buffer.data(), buffer.size()),
                                               c.startrecord, endrecord, c.isunsigned);
  EXPECT_EQ(result, c.result) << c.what;
  EXPECT_EQ(endrecord, c.endrecordAfter) << c.what;
}

// The four start-sector fields of a partition table, as the partition pass reads them.
TEST(GetRecordValue, ReadsThePartitionTableStartSectors) {
  SectorBuffer sector{};
  const uint8_t starts[4][4] = {{0x3F, 0x00, 0x00, 0x00},
                                {0x00, 0x08, 0x00, 0x00},
                                {0xFF, 0xFF, 0xFF, 0xFF},
                                {0x00, 0x00, 0x00, 0x80}};
  const double expected[4] = {63, 2048, 4294967295.0, 2147483648.0};
  const int32_t fields[4] = {454, 470, 486, 502};
  for (int entry = 0; entry < 4; ++entry) {
    for (int k = 0; k < 4; ++k) sector[fields[entry] + k] = starts[entry][k];
  }
  for (int entry = 0; entry < 4; ++entry) {
    int32_t endrecord = fields[entry] + 3;
    EXPECT_EQ(DiskIO::GetRecordValue(sector, fields[entry], endrecord, true), expected[entry])
        << "entry " << entry + 1;
    EXPECT_EQ(endrecord, fields[entry] + 3);
  }
}

TEST(GetRecordValue, DecodesLittleEndianFieldsUnsignedOrTwosComplement) {
  const FieldCase cases[] = {
      {"63", 512, 0, {{454, 0x3F}}, 454, 457, true, 63, 457},
      {"2048", 512, 0, {{455, 0x08}}, 454, 457, true, 2048, 457},
      {"four 0xFF unsigned", 512, 0xFF, {}, 454, 457, true, 4294967295.0, 457},
      {"four 0xFF signed", 512, 0xFF, {}, 454, 457, false, -1, 457},
      {"sign bit only, unsigned", 512, 0, {{457, 0x80}}, 454, 457, true, 2147483648.0, 457},
      {"sign bit only, signed", 512, 0, {{457, 0x80}}, 454, 457, false, -2147483648.0, 457},
      {"largest positive, unsigned", 512, 0xFF, {{457, 0x7F}}, 454, 457, true, 2147483647, 457},
      {"largest positive, signed", 512, 0xFF, {{457, 0x7F}}, 454, 457, false, 2147483647, 457},
      {"two bytes, unsigned", 512, 0, {{10, 0x34}, {11, 0x12}}, 10, 11, true, 4660, 11},
      {"two bytes, signed", 512, 0, {{10, 0x34}, {11, 0x12}}, 10, 11, false, 4660, 11},
      {"two bytes, signed negative", 512, 0, {{11, 0x80}}, 10, 11, false, -32768, 11},
      {"one byte, unsigned", 512, 0, {{7, 0xFF}}, 7, 7, true, 255, 7},
      {"one byte, signed reads unsigned", 512, 0, {{7, 0xFF}}, 7, 7, false, 255, 7},
      {"six bytes, unsigned", 512, 0xFF, {}, 100, 105, true, 281474976710655.0, 105},
      {"six bytes, signed", 512, 0xFF, {}, 100, 105, false, -1, 105},
      {"first byte of the buffer", 512, 0, {{0, 0x2A}, {1, 0x01}}, 0, 1, true, 298, 1},
      // An endrecord of 0 or less stands for the last byte, and the caller gets that index.
      {"to the end, unsigned",
       512,
       0,
       {{508, 1}, {509, 2}, {510, 3}, {511, 4}},
       508,
       0,
       true,
       67305985,
       511},
      {"to the end, signed", 512, 0, {{508, 1}, {511, 0x80}}, 508, -1, false, -2147483647, 511},
      {"last byte alone", 512, 0, {{511, 0xAA}}, 511, kMin32, true, 170, 511},
      {"to the end of a short buffer", 3, 0, {{1, 0x01}, {2, 0x02}}, 1, 0, true, 513, 2},
  };
  for (const FieldCase& c : cases) ExpectDecodes(c);
}

TEST(GetRecordValue, RejectedFieldsGiveMinusOneAndKeepTheSubstitution) {
  const FieldCase cases[] = {
      {"start after end", 512, 0x11, {}, 5, 3, true, -1, 3},
      {"start below 0", 512, 0x11, {}, -1, 3, true, -1, 3},
      {"start below 0, end substituted", 512, 0x11, {}, -1, 0, true, -1, 511},
      {"start after the substituted end", 512, 0x11, {}, 512, 0, true, -1, 511},
      {"start far after the substituted end", 512, 0x11, {}, 600, -1, false, -1, 511},
      {"smallest start", 512, 0x11, {}, kMin32, kMin32, true, -1, 511},
      {"start after end, both past the buffer", 512, 0x11, {}, 900, 800, true, -1, 800},
  };
  for (const FieldCase& c : cases) ExpectDecodes(c);
}

TEST(GetRecordValue, FailuresWhileReadingGiveZeroNotThePartialSum) {
  const FieldCase cases[] = {
      // The whole sector: the weight reaches 256^128 at the 129th byte.
      {"whole sector", 512, 0, {{0, 5}, {1, 7}}, 0, 0, true, 0, 511},
      {"field running past the end", 512, 0, {{510, 0x55}, {511, 0xAA}}, 510, 513, true, 0, 513},
      {"field after the end", 512, 0x33, {}, 600, 603, true, 0, 603},
      {"one byte past the end", 512, 0x33, {}, 511, 512, true, 0, 512},
      {"single byte after the end", 512, 0x33, {}, 512, 512, true, 0, 512},
      {"empty buffer", 0, 0, {}, 0, 0, true, 0, 0},
      {"empty buffer, field given", 0, 0, {}, 0, 3, true, 0, 3},
  };
  for (const FieldCase& c : cases) ExpectDecodes(c);
}

// The byte counter is a signed 16-bit number: every field that reaches index 32767 fails.
TEST(GetRecordValue, TheSixteenBitCounterLimitsIndexesTo32766) {
  constexpr size_t kLargeBuffer = 33000;
  const FieldCase cases[] = {
      {"two bytes below the limit", kLargeBuffer, 1, {}, 32765, 32766, true, 257, 32766},
      {"one byte below the limit", kLargeBuffer, 1, {}, 32766, 32766, true, 1, 32766},
      {"one byte at the limit", kLargeBuffer, 1, {}, 32767, 32767, true, 0, 32767},
      {"field ending at the limit", kLargeBuffer, 1, {}, 32766, 32767, true, 0, 32767},
      {"field crossing the limit", kLargeBuffer, 1, {}, 32760, 32768, true, 0, 32768},
      {"field above the limit", kLargeBuffer, 1, {}, 32800, 32801, true, 0, 32801},
      {"to the end of the buffer", kLargeBuffer, 1, {}, 32990, 0, true, 0, 32999},
      {"from the limit to the end", kLargeBuffer, 1, {}, 32767, -5, false, 0, 32999},
  };
  for (const FieldCase& c : cases) ExpectDecodes(c);
}

// The weight and the running value are doubles, tested for overflow at every step.
TEST(GetRecordValue, FieldsOf129BytesOrAnOverflowingSumGiveZero) {
  const double twoTo1016 = std::ldexp(1.0, 1016);
  const FieldCase cases[] = {
      {"128 bytes, top byte 1", 512, 0, {{127, 1}}, 0, 127, true, twoTo1016, 127},
      {"128 bytes, top byte 0x80, signed",
       512,
       0,
       {{127, 0x80}},
       0,
       127,
       false,
       -std::ldexp(1.0, 1023),
       127},
      {"129 bytes, small value", 512, 0, {{0, 5}}, 0, 128, true, 0, 128},
      {"129 bytes from the middle", 512, 0, {{200, 5}}, 200, 328, true, 0, 328},
      {"128 bytes of 0xFF overflow the sum", 512, 0xFF, {}, 0, 127, true, 0, 127},
  };
  for (const FieldCase& c : cases) ExpectDecodes(c);
}

}  // namespace
