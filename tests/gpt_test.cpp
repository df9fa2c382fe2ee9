// The GPT code: CRC-32 against zlib's values, the header checks one condition at a time, the
// entry filter, and the whole read through an image file. The reference table is the one sfdisk
// (util-linux 2.38) wrote for a 16 MiB disk: Linux at 2048, Microsoft Reserved at 6144, entry 3
// deleted, basic data at 12288.
#include "disk/gpt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "disk/drive_geometry.h"
#include "disk/layout.h"
#include "render/console.h"
#include "test_support.h"

namespace {

using DiskIO::GptLayout;
using DiskIO::GptPartition;

// Returns the bytes of a text of hexadecimal digits.
std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// Sector 1 of the sfdisk disk: the 92 header bytes, the rest of the sector zero.
std::string SfdiskHeader() {
  std::string header = FromHex(
      "4546492050415254000001005c0000009eb00d7a000000000100000000000000"
      "ff7f0000000000000008000000000000de7f0000000000003d2c1b6a5f4e6140"
      "8293a4b5c6d7e8f902000000000000008000000080000000c775f4a0");
  header.resize(kSectorSize, '\0');
  return header;
}

// The sfdisk disk's entry array: 128 entries of 128 bytes, the first four as written.
std::string SfdiskEntryArray() {
  std::string array = FromHex(
      // 1: Linux filesystem, first sector 2048, "linux"
      "af3dc60f838472478e793d69d8477de411111111222233438444555555555501"
      "0008000000000000ff1700000000000000000000000000006c0069006e007500"
      "7800000000000000000000000000000000000000000000000000000000000000"
      "0000000000000000000000000000000000000000000000000000000000000000"
      // 2: Microsoft Reserved, first sector 6144, "msr"
      "16e3c9e35c0bb84d817df92df00215ae11111111222233438444555555555502"
      "0018000000000000ff1f00000000000000000000000000006d00730072000000"
      "0000000000000000000000000000000000000000000000000000000000000000"
      "0000000000000000000000000000000000000000000000000000000000000000");
  array.resize(3 * 128, '\0');  // 3: deleted
  array += FromHex(
      // 4: Microsoft basic data, first sector 12288, "data"
      "a2a0d0ebe5b9334487c068b6b72699c711111111222233438444555555555504"
      "0030000000000000ff3f00000000000000000000000000006400610074006100");
  array.resize(128 * 128, '\0');
  return array;
}

void PutLittleEndian(std::string& bytes, Field field, uint64_t value) {
  for (size_t k = 0; k < field.length; ++k) {
    bytes[field.offset + k] = static_cast<char>((value >> (8 * k)) & 0xFF);
  }
}

// Stores the CRC of the header's first `header size` bytes, taken with the CRC field as zero.
void FixHeaderCrc(std::string& header) {
  PutLittleEndian(header, GptHeader::kHeaderCrc, 0);
  const uint64_t size = LittleEndianValue(header, GptHeader::kHeaderSize.offset, 4);
  PutLittleEndian(header, GptHeader::kHeaderCrc, DiskIO::Crc32(header.substr(0, size)));
}

// Returns a copy of the sfdisk header with one field changed and the header CRC made right again.
std::string HeaderWith(Field field, uint64_t value) {
  std::string header = SfdiskHeader();
  PutLittleEndian(header, field, value);
  FixHeaderCrc(header);
  return header;
}

TEST(Crc32, MatchesZlib) {
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
  const std::pair<std::string, uint32_t> cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"abc", 0x352441C2u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
      {std::string(512, '\0'), 0xB2AA7578u},
      {allBytes, 0x29058C73u},
      {std::string(4, '\xFF'), 0xFFFFFFFFu},
  };
  for (const auto& [bytes, crc] : cases) {
    EXPECT_EQ(DiskIO::Crc32(bytes), crc) << bytes.size() << " bytes";
  }
  // The sfdisk header and array carry their own CRCs, which zlib also computes.
  EXPECT_EQ(DiskIO::Crc32(SfdiskEntryArray()), 0xA0F475C7u);
  std::string header = SfdiskHeader().substr(0, 92);
  header.replace(16, 4, 4, '\0');
  EXPECT_EQ(DiskIO::Crc32(header), 0x7A0DB09Eu);
}

TEST(LittleEndianValue, ReadsUpToEightBytesAndZerosPastTheEnd) {
  const std::string bytes = FromHex("0102030405060708ff");
  const struct {
    size_t offset;
    size_t length;
    uint64_t value;
  } cases[] = {
      {0, 1, 0x01},
      {0, 2, 0x0201},
      {0, 8, 0x0807060504030201u},
      {1, 8, 0xFF08070605040302u},
      {7, 4, 0xFF08},  // the bytes past the end count as zero
      {9, 4, 0},
      {100, 8, 0},
      {3, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LittleEndianValue(bytes, c.offset, c.length), c.value) << c.offset << "+" << c.length;
  }
}

TEST(HasGptProtectiveEntry, LooksAtTheTypeOfEachOfTheFourEntries) {
  for (size_t offset : {450u, 466u, 482u, 498u}) {
    SectorBuffer sector{};
    sector[offset] = 0xEE;
    EXPECT_TRUE(DiskIO::HasGptProtectiveEntry(sector)) << offset;
  }
  for (size_t offset : {446u, 449u, 451u, 454u, 510u}) {
    SectorBuffer sector{};
    sector[offset] = 0xEE;
    EXPECT_FALSE(DiskIO::HasGptProtectiveEntry(sector)) << offset;
  }
  SectorBuffer others{};
  for (size_t offset : {450u, 466u, 482u, 498u}) others[offset] = 0xEF;
  EXPECT_FALSE(DiskIO::HasGptProtectiveEntry(others));
}

TEST(ParseGptHeader, AcceptsTheSfdiskHeader) {
  GptLayout layout{};
  ASSERT_TRUE(DiskIO::ParseGptHeader(SfdiskHeader(), layout));
  EXPECT_EQ(layout.entryArrayStart, 2u);
  EXPECT_EQ(layout.entryCount, 128u);
  EXPECT_EQ(layout.entrySize, 128u);
  EXPECT_EQ(layout.entryArrayCrc, 0xA0F475C7u);
}

// Each header condition at its limits: the header CRC is made right after every change, so the
// condition under test is the only one that can fail.
TEST(ParseGptHeader, ChecksEveryConditionAtItsLimits) {
  const struct {
    const char* what;
    Field field;
    uint64_t value;
    bool usable;
  } cases[] = {
      {"header size 91", GptHeader::kHeaderSize, 91, false},
      {"header size 92", GptHeader::kHeaderSize, 92, true},
      {"header size 93", GptHeader::kHeaderSize, 93, true},
      {"header size 512", GptHeader::kHeaderSize, 512, true},
      {"header size 513", GptHeader::kHeaderSize, 513, false},
      {"header size 0", GptHeader::kHeaderSize, 0, false},
      {"entry size 0", GptHeader::kEntrySize, 0, false},
      {"entry size 120", GptHeader::kEntrySize, 120, false},
      {"entry size 127", GptHeader::kEntrySize, 127, false},
      {"entry size 128", GptHeader::kEntrySize, 128, true},
      {"entry size 132", GptHeader::kEntrySize, 132, false},
      {"entry size 136", GptHeader::kEntrySize, 136, true},
      {"entry size 1020", GptHeader::kEntrySize, 1020, false},
      {"entry size 1024", GptHeader::kEntrySize, 1024, true},
      {"entry size 1032", GptHeader::kEntrySize, 1032, false},
      {"entry size 2^32 - 1", GptHeader::kEntrySize, 0xFFFFFFFFu, false},
      {"entry count 0", GptHeader::kEntryCount, 0, false},
      {"entry count 1", GptHeader::kEntryCount, 1, true},
      {"entry count 1024", GptHeader::kEntryCount, 1024, true},
      {"entry count 1025", GptHeader::kEntryCount, 1025, true},
      {"4 MiB of 128-byte entries", GptHeader::kEntryCount, 32768, true},
      {"one entry past 4 MiB", GptHeader::kEntryCount, 32769, false},
      {"entry count 2^32 - 1", GptHeader::kEntryCount, 0xFFFFFFFFu, false},
      {"array at sector 0", GptHeader::kEntryArrayStart, 0, false},
      {"array at sector 1", GptHeader::kEntryArrayStart, 1, false},
      {"array at sector 2", GptHeader::kEntryArrayStart, 2, true},
      {"array at sector 2^32", GptHeader::kEntryArrayStart, uint64_t{1} << 32, true},
      {"array at sector 2^53 - 1", GptHeader::kEntryArrayStart, (uint64_t{1} << 53) - 1, true},
      {"array at sector 2^53", GptHeader::kEntryArrayStart, uint64_t{1} << 53, false},
      {"array at sector 2^64 - 1", GptHeader::kEntryArrayStart, ~uint64_t{0}, false},
  };
  for (const auto& c : cases) {
    GptLayout layout{};
    EXPECT_EQ(DiskIO::ParseGptHeader(HeaderWith(c.field, c.value), layout), c.usable) << c.what;
  }
}

TEST(ParseGptHeader, ReportsTheFieldsOfAChangedHeader) {
  std::string header = HeaderWith(GptHeader::kEntryArrayStart, 4294967295u);
  PutLittleEndian(header, GptHeader::kEntryCount, 4);
  PutLittleEndian(header, GptHeader::kEntrySize, 1024);
  PutLittleEndian(header, GptHeader::kEntryArrayCrc, 0x89ABCDEFu);
  FixHeaderCrc(header);
  GptLayout layout{};
  ASSERT_TRUE(DiskIO::ParseGptHeader(header, layout));
  EXPECT_EQ(layout.entryArrayStart, 4294967295u);
  EXPECT_EQ(layout.entryCount, 4u);
  EXPECT_EQ(layout.entrySize, 1024u);
  EXPECT_EQ(layout.entryArrayCrc, 0x89ABCDEFu);
}

TEST(ParseGptHeader, RejectsABadSignatureCrcOrSector) {
  std::string lowerCase = SfdiskHeader();
  lowerCase[0] = 'e';
  FixHeaderCrc(lowerCase);

  std::string wrongCrc = SfdiskHeader();
  wrongCrc[16] ^= 1;

  std::string changedAfterCrc = SfdiskHeader();
  changedAfterCrc[56] ^= 0x40;  // inside the disk GUID, which the CRC covers

  std::string largeHeaderOldCrc = SfdiskHeader();
  PutLittleEndian(largeHeaderOldCrc, GptHeader::kHeaderSize, 512);  // the CRC no longer matches

  const struct {
    const char* what;
    std::string header;
  } cases[] = {
      {"signature in lower case", lowerCase},
      {"wrong header CRC", wrongCrc},
      {"byte changed after the CRC was taken", changedAfterCrc},
      {"header size changed, CRC not", largeHeaderOldCrc},
      {"short sector", SfdiskHeader().substr(0, 511)},
      {"the read failure text", ReadFailedText},
      {"zero sector", std::string(512, '\0')},
  };
  for (const auto& c : cases) {
    GptLayout layout{};
    EXPECT_FALSE(DiskIO::ParseGptHeader(c.header, layout)) << c.what;
  }
}

// Bytes past the header size are not covered by its CRC.
TEST(ParseGptHeader, IgnoresBytesPastTheHeaderSize) {
  std::string header = SfdiskHeader();
  header[92] = '\x5A';
  header[511] = '\x01';
  GptLayout layout{};
  EXPECT_TRUE(DiskIO::ParseGptHeader(header, layout));
}

// The sfdisk table's partitions worth examining: the Linux file system, entry 1, and the basic
// data partition, entry 4; the Microsoft Reserved entry 2 is kept, marked to stay out of the
// report when blank, and the deleted entry 3 is left out.
void ExpectSfdiskPartitions(const std::vector<GptPartition>& partitions) {
  ASSERT_EQ(partitions.size(), 3u);
  const GptPartition expected[] = {
      {1, 2048, 4096, false}, {2, 6144, 2048, true}, {4, 12288, 4096, false}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(partitions[i].number, expected[i].number) << i;
    EXPECT_EQ(partitions[i].firstSector, expected[i].firstSector) << i;
    EXPECT_EQ(partitions[i].sectorCount, expected[i].sectorCount) << i;
    EXPECT_EQ(partitions[i].quietWhenBlank, expected[i].quietWhenBlank) << i;
  }
}

TEST(ParseGptEntries, SkipsEmptyEntriesAndMarksMicrosoftReservedOnes) {
  GptLayout layout{};
  ASSERT_TRUE(DiskIO::ParseGptHeader(SfdiskHeader(), layout));
  std::vector<GptPartition> partitions = {{99, 99}};
  ASSERT_TRUE(DiskIO::ParseGptEntries(SfdiskEntryArray(), layout, partitions));
  ExpectSfdiskPartitions(partitions);
}

TEST(ParseGptEntries, ReadsAnyTypeAndAnyFirstSectorInArrayOrder) {
  std::string array(8 * 256, '\0');
  const struct {
    size_t index;
    std::string type;
    uint64_t firstSector;
    uint64_t lastSector;
  } entries[] = {
      {0, Signature::kMicrosoftReservedGuid, 34, 100},
      {1, std::string(15, '\0') + '\x01', 0, 0},  // a type that is not all zero, first sector 0
      {2, Signature::kBitLockerGuid, uint64_t{1} << 53, (uint64_t{1} << 53) + 99},
      {5, std::string(16, '\xFF'), ~uint64_t{0}, 5},  // its last sector before its first
      {7, Signature::kMicrosoftReservedGuid.substr(0, 15) + '\xAF', 4294967296u, 4294967296u},
  };
  for (const auto& e : entries) {
    array.replace(e.index * 256, 16, e.type);
    PutLittleEndian(array, {e.index * 256 + 32, 8}, e.firstSector);
    PutLittleEndian(array, {e.index * 256 + 40, 8}, e.lastSector);
  }
  const GptLayout layout{2, 8, 256, DiskIO::Crc32(array)};
  std::vector<GptPartition> partitions;
  ASSERT_TRUE(DiskIO::ParseGptEntries(array + "trailing bytes", layout, partitions));
  ASSERT_EQ(partitions.size(), 5u);
  const GptPartition expected[] = {{1, 34, 67, true},
                                   {2, 0, 1, false},
                                   {3, uint64_t{1} << 53, 100, false},
                                   {6, ~uint64_t{0}, 0, false},
                                   {8, 4294967296u, 1, false}};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(partitions[i].number, expected[i].number) << i;
    EXPECT_EQ(partitions[i].firstSector, expected[i].firstSector) << i;
    EXPECT_EQ(partitions[i].sectorCount, expected[i].sectorCount) << i;
    EXPECT_EQ(partitions[i].quietWhenBlank, expected[i].quietWhenBlank) << i;
  }
}

TEST(ParseGptEntries, RejectsAWrongCrcOrAShortArray) {
  GptLayout layout{};
  ASSERT_TRUE(DiskIO::ParseGptHeader(SfdiskHeader(), layout));
  std::string changed = SfdiskEntryArray();
  changed[128 * 127 + 5] = '\x01';  // in the last entry
  const std::string shortArray = SfdiskEntryArray().substr(0, 128 * 128 - 1);
  for (const std::string& array : {changed, shortArray, std::string(128 * 128, '\0')}) {
    std::vector<GptPartition> partitions;
    EXPECT_FALSE(DiskIO::ParseGptEntries(array, layout, partitions)) << array.size();
  }
}

// The whole read through an image file and the drive's one reader: sector 1, then the array in
// one read, each failed read kept with its place.
class ReadGptPartitionsTest : public testing::Test {
 protected:
  // Writes `header` to sector 1 and `array` at sector `arraySector` of a fresh image, reads its
  // GPT, and returns whether it was usable.
  bool ReadImage(const std::string& header, const std::string& array, uint64_t arraySector,
                 std::vector<GptPartition>& partitions,
                 const std::vector<TableReadError>& expectedErrors = {}) {
    const TestSupport::TemporaryFile image("tvx-gpt");
    EXPECT_TRUE(TestSupport::WriteAt(image.path(), 512, header, true));
    EXPECT_TRUE(TestSupport::WriteAt(image.path(), arraySector * 512, array));
    HANDLE handle = TestSupport::OpenImage(image.path());
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    uint64_t length = 0;  // Windows tells no length of a file: the backup copy is not looked for
    if (!DiskIO::QueryDriveLength(handle, length)) length = 0;
    DiskIO::DriveSectors sectors = DiskIO::SectorsOfDrive(handle, 512, length);
    const DiskIO::GptTable table = DiskIO::ReadGpt(sectors, false);
    EXPECT_EQ(table.readErrors.size(), expectedErrors.size());
    for (size_t i = 0; i < table.readErrors.size() && i < expectedErrors.size(); ++i) {
      EXPECT_EQ(table.readErrors[i].error, expectedErrors[i].error) << i;
      EXPECT_EQ(table.readErrors[i].region, expectedErrors[i].region) << i;
      EXPECT_EQ(table.readErrors[i].sector, expectedErrors[i].sector) << i;
    }
    if (table.usable) {
      partitions = table.partitions;
      EXPECT_EQ(sectors.readsMade, 2u) << "the header, then the whole array in one read";
    }
    CloseHandle(handle);
    return table.usable;
  }
};

TEST_F(ReadGptPartitionsTest, ReadsTheSfdiskTable) {
  std::vector<GptPartition> partitions;
  ASSERT_TRUE(ReadImage(SfdiskHeader(), SfdiskEntryArray(), 2, partitions));
  ExpectSfdiskPartitions(partitions);
}

// An array 2 TiB in, past the sectors a 32-bit number can name, and a larger entry size.
TEST_F(ReadGptPartitionsTest, ReadsAnArrayFarOut) {
  const uint64_t arraySector = 4294967297u;
  std::string array(4 * 1024, '\0');
  array.replace(2 * 1024, 16, Signature::kBitLockerGuid);
  PutLittleEndian(array, {2 * 1024 + 32, 8}, 8388608);
  std::string header = HeaderWith(GptHeader::kEntryArrayStart, arraySector);
  PutLittleEndian(header, GptHeader::kEntryCount, 4);
  PutLittleEndian(header, GptHeader::kEntrySize, 1024);
  PutLittleEndian(header, GptHeader::kEntryArrayCrc, DiskIO::Crc32(array));
  FixHeaderCrc(header);

  std::vector<GptPartition> partitions;
  ASSERT_TRUE(ReadImage(header, array, arraySector, partitions));
  ASSERT_EQ(partitions.size(), 1u);
  EXPECT_EQ(partitions[0].number, 3);
  EXPECT_EQ(partitions[0].firstSector, 8388608u);
}

TEST_F(ReadGptPartitionsTest, AnUnusableTableLeavesThePartitionsAlone) {
  std::string wrongArrayCrc = SfdiskHeader();
  PutLittleEndian(wrongArrayCrc, GptHeader::kEntryArrayCrc, 0x12345678);
  FixHeaderCrc(wrongArrayCrc);
  const struct {
    const char* what;
    std::string header;
    uint64_t arraySector;
    std::vector<TableReadError> errors;
  } cases[] = {
      {"no header", std::string(512, '\0'), 2, {}},
      {"array CRC wrong", wrongArrayCrc, 2, {}},
      {"array not where the header says", SfdiskHeader(), 3, {}},
      {"array past the end of the image",
       HeaderWith(GptHeader::kEntryArrayStart, 100000),
       2,
       {{ERROR_HANDLE_EOF, TableRegion::kGptEntries, 100000}}},
  };
  for (const auto& c : cases) {
    std::vector<GptPartition> partitions = {{1, 63}};
    EXPECT_FALSE(ReadImage(c.header, SfdiskEntryArray(), c.arraySector, partitions, c.errors))
        << c.what;
    ASSERT_EQ(partitions.size(), 1u) << c.what;
    EXPECT_EQ(partitions[0].firstSector, 63u) << c.what;
  }
}

}  // namespace
