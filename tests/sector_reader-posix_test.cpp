// ReadDriveSector on POSIX: the failure code kept for the report, a read that really fails
// (/proc/self/mem), positions far past the end of an image (end of file), and marker sectors read
// from a real block device (a loop device, as root).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "disk/sector_reader.h"
#include "platform/platform.h"
#include "test_support-posix.h"
#include "test_support.h"

namespace {

using TestSupport::CaptureStandardOutput;

// Opens /proc/self/mem, which opens as a file of size 0 and fails every read of an address that
// is not mapped: bytes 0 to 4095 never are, so a read there fails with EIO, for any user.
HANDLE OpenUnreadableFile() {
  return TestSupport::OpenImage("/proc/self/mem");
}

TEST(SectorReaderOnPosix, KeepsTheFailureCodeAndReturnsTheFailureText) {
  HANDLE unreadable = OpenUnreadableFile();
  ASSERT_NE(unreadable, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  // Standard input on a pipe that holds a sector: a handle that cannot be moved but reads, so a
  // read after a failed seek would come from the wrong place and look like a success.
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  ASSERT_EQ(write(pipeEnds[1], std::string(512, 'W').data(), 512), 512);
  const int savedInput = dup(STDIN_FILENO);
  ASSERT_EQ(dup2(pipeEnds[0], STDIN_FILENO), STDIN_FILENO);
  HANDLE unmovable = GetStdHandle(STD_INPUT_HANDLE);
  const struct {
    const char* what;
    HANDLE handle;
    double sector;
    int32_t byteCount;
    DWORD code;
  } cases[] = {
      {"read failing with EIO", unreadable, 0, 512, 23},
      {"read failing with EIO, sector 7", unreadable, 7, 512, 23},
      {"invalid handle", INVALID_HANDLE_VALUE, 63, 512, 6},
      {"sector 2^53", unreadable, 9007199254740992.0, 512, 87},
      {"sector 2^64", unreadable, 18446744073709551616.0, 512, 87},
      {"not a number", unreadable, std::nan(""), 512, 87},
      {"byte count 0", unreadable, 0, 0, 87},
      {"a seek that fails", unmovable, 5, 512, 6},
  };
  for (const auto& c : cases) {
    SectorText result;
    DiskIO::lastReadError = 0;
    testing::internal::CaptureStderr();
    const std::string printed = CaptureStandardOutput(
        [&] { result = DiskIO::ReadDriveSector(c.handle, c.sector, c.byteCount); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.what;
    EXPECT_EQ(printed, "") << c.what;  // the report says it, not the reader
    EXPECT_EQ(result, ReadFailedText) << c.what;
    EXPECT_EQ(DiskIO::lastReadError, c.code) << c.what;
  }
  dup2(savedInput, STDIN_FILENO);
  close(savedInput);
  close(pipeEnds[0]);
  close(pipeEnds[1]);
  CloseHandle(unreadable);
}

TEST(SectorReaderOnPosix, SuccessfulReadsPrintNothingAndFarPositionsFailAtTheEnd) {
  const TestSupport::TemporaryFile image("tvx-reader-posix");
  ASSERT_TRUE(TestSupport::WriteAt(image.path(), 512, std::string(512, 'M'), true));
  HANDLE handle = TestSupport::OpenImage(image.path());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const std::pair<double, std::string> cases[] = {
      {1, std::string(512, 'M')},
      {9007199254740991.0, ReadFailedText},  // 2^53 - 1: byte offset 2^62 - 512
      {1, std::string(512, 'M')},
      {4503599627370496.5, ReadFailedText},  // rounds to 2^52
      {2, ReadFailedText},
  };
  for (const auto& [sector, expected] : cases) {
    SectorText result;
    DiskIO::lastReadError = 0;
    const std::string printed =
        CaptureStandardOutput([&] { result = DiskIO::ReadDriveSector(handle, sector, 512); });
    EXPECT_EQ(printed, "") << sector;
    EXPECT_EQ(result, expected) << sector;
    EXPECT_EQ(DiskIO::lastReadError, expected == ReadFailedText ? ERROR_HANDLE_EOF : 0u) << sector;
  }
  CloseHandle(handle);
}

// Returns 512 bytes that name `sector`.
std::string Marker(uint64_t sector) {
  std::string marker = "sector " + std::to_string(sector);
  marker.resize(512, '#');
  return marker;
}

// The two-seek path and the high half on a block device, whose size the kernel reports.
TEST(SectorReaderOnPosix, ReadsMarkerSectorsFromALoopDevice) {
  const TestSupport::TemporaryFile image("tvx-reader-loop");
  const uint64_t sectors[] = {63, 4194303, 4194304, 8388607, 8388608, 10485759};  // 5 GiB
  for (uint64_t sector : sectors) {
    ASSERT_TRUE(
        TestSupport::WriteAt(image.path(), sector * 512, Marker(sector), sector == sectors[0]));
  }
  const TestSupport::LoopDevice loop(image.path().string());
  if (loop.path().empty()) TVX_CANNOT_RUN("no loop device (needs root and losetup)");

  HANDLE handle = TestSupport::OpenImage(loop.path());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << loop.path() << ": error " << GetLastError();
  for (uint64_t sector : sectors) {
    EXPECT_EQ(DiskIO::ReadDriveSector(handle, static_cast<double>(sector), 512), Marker(sector))
        << sector;
  }
  // At or past the end of the device: nothing real, the end-of-file failure.
  for (double sector : {10485760.0, 4294967295.0}) {
    SectorText result;
    const std::string printed =
        CaptureStandardOutput([&] { result = DiskIO::ReadDriveSector(handle, sector, 512); });
    EXPECT_EQ(printed, "") << sector;
    EXPECT_EQ(result, ReadFailedText) << sector;
    EXPECT_EQ(DiskIO::lastReadError, ERROR_HANDLE_EOF) << sector;
  }
  // The last sector and one past it: the read runs past the end.
  EXPECT_EQ(DiskIO::ReadDriveSector(handle, 10485759.0, 1024), ReadFailedText);
  CloseHandle(handle);
}

}  // namespace
