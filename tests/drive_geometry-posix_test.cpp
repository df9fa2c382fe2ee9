// The sector size and length queries on POSIX: raw image files by their GPT's place, disk
// images by their format's own sector size, and block devices by the kernel's, on a loop device
// of 4096-byte sectors partitioned with sgdisk (as root).
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "disk/drive_geometry.h"
#include "platform/platform.h"
#include "test_support-posix.h"
#include "test_support.h"

namespace {

using TestSupport::TemporaryFolder;

constexpr uint64_t kImageSize = 8 << 20;

HANDLE Open(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

// Returns {sector size, length (0 when unknown)} of the drive at `path`.
std::pair<uint32_t, uint64_t> Query(const std::string& path) {
  HANDLE handle = Open(path);
  if (handle == INVALID_HANDLE_VALUE) return {0, 0};
  uint64_t length = 0;
  const uint32_t sectorSize = DiskIO::QuerySectorSize(handle);
  if (!DiskIO::QueryDriveLength(handle, length)) length = 0;
  CloseHandle(handle);
  return {sectorSize, length};
}

// Runs a shell command; returns its first output line, or "" when it fails or prints nothing.
std::string Shell(const std::string& command) {
  FILE* output = popen((command + " 2>/dev/null").c_str(), "r");
  if (output == nullptr) return "";
  char line[256] = {0};
  const bool gotLine = fgets(line, sizeof line, output) != nullptr;
  if (pclose(output) != 0 || !gotLine) return "";
  std::string text = line;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// Runs a shell command quietly; returns whether it succeeded.
bool Succeeds(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(DriveGeometryTest, RawImagesTakeTheSectorSizeOfTheirGpt) {
  TemporaryFolder folder;
  const struct {
    const char* name;
    bool at512, at4096;
    uint64_t size;
    uint32_t expected;
  } cases[] = {
      {"gpt-4096", false, true, kImageSize, 4096},  // a 4Kn disk's GPT header
      {"gpt-512", true, false, kImageSize, 512},
      {"gpt-both", true, true, kImageSize, 512},  // a 512-byte GPT whose entries fill 4096
      {"none", false, false, kImageSize, 512},
      {"short", false, true, 4100, 512},  // the signature cut off by the end of the file
  };
  for (const auto& c : cases) {
    const std::string path = folder.Entry(c.name);
    ASSERT_TRUE(TestSupport::WriteAt(path, c.size - 1, std::string(1, '\0'), true));
    const std::string at4096 = c.size > 4104 ? "EFI PART" : "EFI ";
    ASSERT_TRUE(!c.at512 || TestSupport::WriteAt(path, 512, "EFI PART"));
    ASSERT_TRUE(!c.at4096 || TestSupport::WriteAt(path, 4096, at4096));
    EXPECT_EQ(Query(path), std::make_pair(c.expected, c.size)) << c.name;
  }
}

TEST(DriveGeometryTest, AnswersWithWindowsBufferRules) {
  TemporaryFolder folder;
  const std::string path = folder.Entry("disk");
  ASSERT_TRUE(TestSupport::WriteAt(path, kImageSize - 1, std::string(1, '\0'), true));
  HANDLE handle = Open(path);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DISK_GEOMETRY_EX geometry{};
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                               sizeof(DISK_GEOMETRY), &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_TRUE(DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                              sizeof geometry, &returned, nullptr));
  EXPECT_EQ(geometry.DiskSize.QuadPart, static_cast<LONGLONG>(kImageSize));
  EXPECT_EQ(geometry.Geometry.BytesPerSector, 512u);
  EXPECT_EQ(geometry.Geometry.MediaType, FixedMedia);
  GET_LENGTH_INFORMATION length{};
  EXPECT_FALSE(DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, 4,
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(
      DeviceIoControl(handle, 0x00070000u, nullptr, 0, &length, sizeof length, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  CloseHandle(handle);
}

TEST(DriveGeometryTest, ImageFormatsGiveTheirOwnSectorSize) {
  if (!Succeeds("command -v ewfacquire")) TVX_CANNOT_RUN("no ewfacquire");
  TemporaryFolder folder;
  const std::string raw = folder.Entry("raw");
  ASSERT_TRUE(TestSupport::WriteAt(raw, kImageSize - 1, std::string(1, '\0'), true));
  // Acquired as a drive of 4096-byte sectors, with no GPT to tell it from the content.
  ASSERT_TRUE(Succeeds("ewfacquire -u -q -P 4096 -t " + folder.Entry("disk") + " " + raw));
  EXPECT_EQ(Query(folder.Entry("disk.E01")), std::make_pair(4096u, kImageSize));
}

TEST(DriveGeometryTest, FourKnLoopDeviceAndItsImage) {
  if (geteuid() != 0 || !Succeeds("command -v sgdisk")) {
    TVX_CANNOT_RUN("needs root and sgdisk");
  }
  TemporaryFolder folder;
  const std::string image = folder.Entry("4kn.img");
  ASSERT_TRUE(TestSupport::WriteAt(image, kImageSize - 1, std::string(1, '\0'), true));
  const std::string device = Shell("losetup --find --show --sector-size 4096 " + image);
  if (device.empty()) TVX_CANNOT_RUN("no loop device with 4096-byte sectors");
  const bool partitioned = Succeeds("sgdisk -o -n 1:0:0 -t 1:0700 " + device);
  const auto onDevice = Query(device);
  Succeeds("losetup --detach " + device);
  ASSERT_TRUE(partitioned);
  EXPECT_EQ(onDevice, std::make_pair(4096u, kImageSize));      // BLKSSZGET, BLKGETSIZE64
  EXPECT_EQ(Query(image), std::make_pair(4096u, kImageSize));  // the GPT at byte 4096
  // The same bytes behind 512-byte sectors: a block device answers for itself.
  TestSupport::LoopDevice plain(image);
  ASSERT_FALSE(plain.path().empty());
  EXPECT_EQ(Query(plain.path()), std::make_pair(512u, kImageSize));
}

}  // namespace
