// ReadDriveSector on real image files opened with CreateFileA: sparse images with marker sectors
// far out (up to 8 TiB), the offset halves and seeks of each read, other byte counts, reads past
// the end and short reads (end of file), and sectors that cannot be placed. Builds and runs on
// every platform.
#include "disk/sector_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "disk/volume_reader.h"
#include "platform/platform.h"
#include "render/console.h"
#include "test_support.h"

namespace {

using TestSupport::OpenImage;
using TestSupport::TemporaryFile;
using TestSupport::WriteAt;

constexpr double kTwoTo32 = 4294967296.0;
constexpr double kLargestSeek = 2147483647.0;
constexpr uint64_t kSectorBytes = 512;
constexpr uint64_t kTwoTo53 = uint64_t{1} << 53;

// Sectors that hold a marker in the large image: the offset table's sectors, their neighbours,
// the last sector a partition table entry can name, and one 8 TiB in.
constexpr uint64_t kMarkedSectors[] = {
    0,       1,       62,      63,         64,         4194303,    4194304,
    4194305, 8388607, 8388608, 2147483647, 2147483648, 4294967295, 17184063493,
};
constexpr uint64_t kLastMarkedSector = 17184063493;

// Returns the 512 marker bytes of `sector`: its number, little-endian, then a pattern that
// differs from one sector to the next and holds zero bytes and bytes of 128 or more.
std::string Marker(uint64_t sector) {
  std::string marker(kSectorBytes, '\0');
  for (size_t k = 0; k < 8; ++k) marker[k] = static_cast<char>((sector >> (8 * k)) & 0xFF);
  for (size_t k = 8; k < kSectorBytes; ++k) {
    marker[k] = static_cast<char>((k * 7 + sector % 251 + 1) & 0xFF);
  }
  return marker;
}

class SectorReaderTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    image_ = new TemporaryFile("tvx-sector-reader");
    for (uint64_t sector : kMarkedSectors) {
      imageWritten_ = WriteAt(image_->path(), sector * kSectorBytes, Marker(sector), sector == 0);
      if (!imageWritten_) return;
    }
  }

  static void TearDownTestSuite() {
    delete image_;
    image_ = nullptr;
  }

  void SetUp() override {
    // A failing read prints its line here, in the test's own output.
    ConsoleStuff::hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);
    ASSERT_TRUE(imageWritten_) << "cannot write the sparse image " << image_->path();
    ASSERT_EQ(std::filesystem::file_size(image_->path()), (kLastMarkedSector + 1) * kSectorBytes);
    handle_ = OpenImage(image_->path());
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  }

  void TearDown() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  // Returns the image's bytes from `offset` on, `count` of them: the markers, zeros elsewhere and
  // past the end.
  static std::string ImageBytes(uint64_t offset, size_t count) {
    std::string bytes(count, '\0');
    for (uint64_t sector : kMarkedSectors) {
      const std::string marker = Marker(sector);
      for (size_t k = 0; k < kSectorBytes; ++k) {
        const uint64_t at = sector * kSectorBytes + k;
        if (at >= offset && at < offset + count) bytes[at - offset] = marker[k];
      }
    }
    return bytes;
  }

  static TemporaryFile* image_;
  static bool imageWritten_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TemporaryFile* SectorReaderTest::image_ = nullptr;
bool SectorReaderTest::imageWritten_ = false;

// One read: the sector, the offset's halves and how many seeks place it.
struct Placement {
  double sector;
  double low;
  double high;
  int seeks;
};

TEST_F(SectorReaderTest, ReadsEachMarkedSectorThroughItsOffsetHalves) {
  const std::vector<Placement> table = {
      {63, 32256, 0, 1},
      {4194303, 2147483136.0, 0, 1},
      {4194304, 2147483648.0, 0, 2},
      {4194305, 2147484160.0, 0, 2},
      {8388607, 4294966784.0, 0, 2},
      {8388608, 0, 1, 1},
      {2147483647, 4294966784.0, 255, 2},
      // Past the range of the 32-bit sector number: the full 64-bit offset, the same seek rule.
      {2147483648.0, 0, 256, 1},
      {4294967295.0, 4294966784.0, 511, 2},
      {17184063493.0, 2147486208.0, 2048, 2},
      {0, 0, 0, 1},
      {1, 512, 0, 1},
      {62, 31744, 0, 1},
      {64, 32768, 0, 1},
  };
  // Both orders: where one read leaves the position never matters to the next.
  std::vector<Placement> reads = table;
  reads.insert(reads.end(), table.rbegin(), table.rend());
  for (const Placement& p : reads) {
    ASSERT_EQ(p.low + p.high * kTwoTo32, p.sector * kSectorBytes) << "table row " << p.sector;
    ASSERT_EQ(p.seeks == 2, p.low > kLargestSeek) << "table row " << p.sector;

    const SectorText text = DiskIO::ReadDriveSector(handle_, p.sector, 512);
    EXPECT_EQ(text, Marker(static_cast<uint64_t>(p.sector))) << "sector " << p.sector;
    // On the two-seek path the reader lowers offsetLow by the first seek's distance.
    EXPECT_EQ(DiskIO::offsetLow, p.seeks == 2 ? p.low - kLargestSeek : p.low)
        << "sector " << p.sector;
    EXPECT_EQ(DiskIO::offsetHigh, p.high) << "sector " << p.sector;
  }
}

TEST_F(SectorReaderTest, RoundsTheSectorNumberHalfToEven) {
  const std::pair<double, uint64_t> cases[] = {
      {62.5, 62},
      {63.5, 64},
      {63.49, 63},
      {4194303.5, 4194304},
      {4194304.5, 4194304},
      {8388607.5, 8388608},
      {2147483647.4, 2147483647},
      {2147483647.5, 2147483648},  // rounds out of the 32-bit range, onto the 64-bit path
      {-0.4, 0},
  };
  for (const auto& [sector, expected] : cases) {
    EXPECT_EQ(DiskIO::ReadDriveSector(handle_, sector, 512), Marker(expected)) << sector;
  }
}

// A negative sector number times 512 is a product below 1, which places the read at byte 0.
TEST_F(SectorReaderTest, NegativeSectorsInTheThirtyTwoBitRangeReadSectorZero) {
  for (double sector : {-1.0, -63.0, -2147483648.0}) {
    EXPECT_EQ(DiskIO::ReadDriveSector(handle_, sector, 512), Marker(0)) << sector;
    EXPECT_EQ(DiskIO::offsetLow, 0) << sector;
    EXPECT_EQ(DiskIO::offsetHigh, 0) << sector;
  }
}

TEST_F(SectorReaderTest, OtherByteCountsReadFromSectorTimes512) {
  const std::pair<double, int32_t> cases[] = {
      {63, 1},
      {63, 100},
      {62, 1536},          // three marked sectors in a row
      {0, 2048},           // two marked sectors, then two empty ones
      {4194303, 1024},     // across byte offset 2^31
      {4194304, 513},      // two seeks, then one byte into the next sector
      {8388607, 1024},     // across byte offset 2^32
      {2147483647, 4096},  // the last 32-bit sector and the first one past it
      {4294967295, 600},   // the image's last sector, then 88 bytes past the end
  };
  for (const auto& [sector, count] : cases) {
    const SectorText text = DiskIO::ReadDriveSector(handle_, sector, count);
    EXPECT_EQ(text.size(), static_cast<size_t>(count)) << sector << " x " << count;
    EXPECT_EQ(text, ImageBytes(static_cast<uint64_t>(sector) * kSectorBytes, count))
        << sector << " x " << count;
  }
}

// A read at or past the end, or one that runs past it, delivers nothing real: it fails with 38
// (end of file) rather than hand back zeros.
TEST_F(SectorReaderTest, ReadsAtOrPastTheEndFailWithEndOfFile) {
  const std::pair<double, int32_t> cases[] = {
      {17184063494.0, 512},
      {17184063494.0 + 1000, 512},
      {25769803776.0, 512},
      {static_cast<double>(kLastMarkedSector), 513},
  };
  for (const auto& [sector, count] : cases) {
    DiskIO::lastReadError = 0;
    EXPECT_EQ(DiskIO::ReadDriveSector(handle_, sector, count), ReadFailedText) << sector;
    EXPECT_EQ(DiskIO::lastReadError, static_cast<DWORD>(ERROR_HANDLE_EOF)) << sector;
  }
  EXPECT_EQ(DiskIO::ReadDriveSector(handle_, static_cast<double>(kLastMarkedSector), 512),
            Marker(kLastMarkedSector));
}

// The largest whole sector number below 2^53 is placed exactly. What the read then brings back
// is up to the system: a whole sector, or nothing at all, which is the end-of-file failure; a
// system may also refuse the seek so far out, and the read fails with the seek's code (it is
// never made from wherever the drive stood).
TEST_F(SectorReaderTest, PlacesTheLargestSectorBelowTwoTo53) {
  const double sector = static_cast<double>(kTwoTo53 - 1);
  const SectorText text = DiskIO::ReadDriveSector(handle_, sector, 512);
  const uint64_t offset = (kTwoTo53 - 1) * kSectorBytes;
  const double low = static_cast<double>(offset & 0xFFFFFFFFu);
  EXPECT_EQ(DiskIO::offsetHigh, static_cast<double>(offset >> 32));
  if (text != ReadFailedText) {
    EXPECT_EQ(text.size(), 512u);
  } else if (DiskIO::lastReadError != ERROR_HANDLE_EOF) {
    EXPECT_EQ(DiskIO::lastReadError, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(DiskIO::offsetLow, low) << "the first seek refused: nothing moved";
    return;
  }
  EXPECT_EQ(DiskIO::offsetLow, low - kLargestSeek);
}

TEST_F(SectorReaderTest, SectorsThatCannotBePlacedGiveTheFailureText) {
  const double cases[] = {
      static_cast<double>(kTwoTo53),
      static_cast<double>(kTwoTo53) + 2,
      18446744073709551615.0,
      1e300,
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::quiet_NaN(),
      -2147483649.0,
      -1e18,
  };
  for (double sector : cases) {
    EXPECT_EQ(DiskIO::ReadDriveSector(handle_, sector, 512), ReadFailedText) << sector;
  }
  for (int32_t count : {0, -1, -512}) {
    EXPECT_EQ(DiskIO::ReadDriveSector(handle_, 63, count), ReadFailedText) << count;
  }
}

// The drive's one reader over the marked image: reads bounded by their volume, each sector read
// once and shared by every volume of the drive, and every read either bytes or its failure.
TEST_F(SectorReaderTest, VolumeReadsAreBoundedKeptAndFailLoudly) {
  using DiskIO::ReadOutcome;
  DiskIO::DriveSectors drive =
      DiskIO::SectorsOfDrive(handle_, 512, (kLastMarkedSector + 1) * kSectorBytes);
  DiskIO::Volume partition = DiskIO::DriveVolume(drive, 63, 2);   // sectors 63 and 64
  DiskIO::Volume unknownEnd = DiskIO::DriveVolume(drive, 62, 0);  // runs to the drive's end
  DiskIO::Volume last = DiskIO::DriveVolume(drive, kLastMarkedSector, 4);  // past the drive's end
  DiskIO::Volume budgeted = DiskIO::DriveVolume(drive, 4194303, 8, 1024);  // a budget of 2 sectors
  DiskIO::Volume unplaceable = DiskIO::DriveVolume(drive, kTwoTo53 - 1, 0);
  const struct {
    const char* what;
    DiskIO::Volume& volume;
    uint64_t offset;
    size_t length;
    ReadOutcome outcome;
    std::string bytes;  // for kRead
    uint32_t error;     // for kFailed
    uint64_t reads;     // device reads the read makes
  } rows[] = {
      {"a partition's first sector", partition, 0, 512, ReadOutcome::kRead, Marker(63), 0, 1},
      {"the same and the next: one read, of the next", partition, 0, 1024, ReadOutcome::kRead,
       Marker(63) + Marker(64), 0, 1},
      {"past the partition's size", partition, 1000, 100, ReadOutcome::kOutside, "", 0, 0},
      {"another volume over sectors read already", unknownEnd, 512, 1024, ReadOutcome::kRead,
       Marker(63) + Marker(64), 0, 0},
      {"bytes inside a sector, its neighbours held", unknownEnd, 1020, 8, ReadOutcome::kRead,
       Marker(63).substr(508) + Marker(64).substr(0, 4), 0, 0},
      {"the drive's last sector", last, 0, 512, ReadOutcome::kRead, Marker(kLastMarkedSector), 0,
       1},
      {"inside the volume, past the drive's end", last, 512, 512, ReadOutcome::kFailed, "", 38, 0},
      {"more than the budget", budgeted, 0, 2048, ReadOutcome::kOverBudget, "", 0, 0},
      {"within the budget", budgeted, 512, 1024, ReadOutcome::kRead,
       ImageBytes(uint64_t{4194304} * 512, 1024), 0, 1},
      {"the budget spent", budgeted, 2048, 512, ReadOutcome::kOverBudget, "", 0, 0},
      {"more than one read may ask", unknownEnd, 0, DiskIO::kMaxReadBytes + 1,
       ReadOutcome::kOverBudget, "", 0, 0},
      {"a sector that cannot be placed", unplaceable, 512, 512, ReadOutcome::kFailed, "", 87, 0},
  };
  for (const auto& row : rows) {
    const uint64_t before = drive.readsMade;
    const DiskIO::VolumeRead read = DiskIO::ReadVolume(row.volume, row.offset, row.length);
    EXPECT_EQ(read.outcome, row.outcome) << row.what;
    EXPECT_EQ(read.bytes, row.bytes) << row.what;
    EXPECT_EQ(read.error, row.error) << row.what;
    EXPECT_EQ(drive.readsMade - before, row.reads) << row.what;
    // A failure is kept in its volume; an absence or a budget is not a failure.
    if (row.outcome == ReadOutcome::kFailed) {
      EXPECT_TRUE(row.volume.failed) << row.what;
      EXPECT_EQ(row.volume.error, row.error) << row.what;
    }
  }
  EXPECT_FALSE(partition.failed);
  EXPECT_FALSE(budgeted.failed);
  EXPECT_EQ(last.errorSector, kLastMarkedSector + 1) << "placed at the first sector not there";
  EXPECT_EQ(DiskIO::ProbeBytes(last, 512, 16), "") << "a probe sees no bytes ...";
  EXPECT_TRUE(last.failed) << "... and the volume still says why";
}

TEST(SectorReader, ShortReadsFailWithEndOfFile) {
  ConsoleStuff::hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);
  const TemporaryFile image("tvx-short-image");
  std::string content(700, '\0');
  for (size_t k = 0; k < content.size(); ++k) content[k] = static_cast<char>(k % 251 + 1);
  ASSERT_TRUE(WriteAt(image.path(), 0, content, true));

  HANDLE handle = OpenImage(image.path());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  // Every byte asked for is there: the whole sector the read covers need not be.
  EXPECT_EQ(DiskIO::ReadDriveSector(handle, 0, 700), content);
  EXPECT_EQ(DiskIO::ReadDriveSector(handle, 1, 188), content.substr(512));
  for (const auto& [sector, count] : {std::pair<double, int32_t>{1, 512}, {0, 1024}, {2, 512}}) {
    DiskIO::lastReadError = 0;
    EXPECT_EQ(DiskIO::ReadDriveSector(handle, sector, count), ReadFailedText) << sector;
    EXPECT_EQ(DiskIO::lastReadError, static_cast<DWORD>(ERROR_HANDLE_EOF)) << sector;
  }
  CloseHandle(handle);
}

// 4Kn drives: sector numbers count 4096-byte sectors, through the same two placements and seek
// rule; the bytes asked for are cut from whole sectors (that the reads themselves are whole
// sectors the end-to-end test checks under strace). Any other sector size counts as 512.
TEST(SectorReader, FourKilobyteSectors) {
  ConsoleStuff::hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);
  const TemporaryFile image("tvx-4kn-image");
  std::string content(3 * 4096 + 100, '\0');
  for (size_t k = 0; k < content.size(); ++k) content[k] = static_cast<char>(k % 251 + 1);
  ASSERT_TRUE(WriteAt(image.path(), 0, content, true));
  HANDLE handle = OpenImage(image.path());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  const struct {
    double sector;
    int32_t byteCount;
    uint32_t sectorSize;
    uint64_t offset;
    double low;  // offsetLow after the read: lowered by the first of two seeks
    double high;
  } cases[] = {
      {1, 512, 4096, 4096, 4096, 0},
      {2, 4097, 4096, 8192, 8192, 0},  // two sectors read, the second holding the last 100 bytes
      {8, 512, 1024, 4096, 4096, 0},
      {8, 512, 0, 4096, 4096, 0},
      {524288, 512, 4096, uint64_t{1} << 31, 1, 0},           // two seeks
      {2147483648.0, 512, 4096, uint64_t{1} << 43, 0, 2048},  // the full 64-bit offset
  };
  for (const auto& c : cases) {
    // Far out, past the end of the image: placed all the same, then the read fails.
    const bool inside = c.offset + static_cast<uint64_t>(c.byteCount) <= content.size();
    const std::string expected = inside ? content.substr(c.offset, c.byteCount) : ReadFailedText;
    EXPECT_EQ(DiskIO::ReadDriveSector(handle, c.sector, c.byteCount, c.sectorSize), expected)
        << c.sector << " x " << c.sectorSize;
    EXPECT_EQ(DiskIO::offsetLow, c.low) << c.sector << " x " << c.sectorSize;
    EXPECT_EQ(DiskIO::offsetHigh, c.high) << c.sector << " x " << c.sectorSize;
  }
  // The last 100 bytes are less than asked for.
  EXPECT_EQ(DiskIO::ReadDriveSector(handle, 3, 512, 4096), ReadFailedText);
  EXPECT_EQ(DiskIO::lastReadError, static_cast<DWORD>(ERROR_HANDLE_EOF));
  // 2^53 sectors of 4096 bytes lie past 2^63: they cannot be placed.
  EXPECT_EQ(DiskIO::ReadDriveSector(handle, 2251799813685248.0, 512, 4096), ReadFailedText);
  CloseHandle(handle);
}

TEST(SectorReader, AFailingReadGivesTheFailureText) {
  ConsoleStuff::hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);
  EXPECT_EQ(DiskIO::ReadDriveSector(INVALID_HANDLE_VALUE, 63, 512), ReadFailedText);
}

}  // namespace
