// DescribeVolumeEncryption on Windows: a drive letter whose DOS device leads to a VeraCrypt or
// TrueCrypt driver's volume device is named after that product, through the real
// QueryDosDeviceA, with the letter defined for the test by DefineDosDeviceA. And the volume
// calls behind "open now" and "lies on", as far as the system answers them (Wine lists its
// volumes, but gives each no disk extents).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/encryption_drivers.h"
#include "platform/volume_encryption.h"
#include "platform/volume_location.h"

namespace {

// The drivers' control devices through the real CreateFileW: none runs here, and a device that
// does not open names nothing, however often it is asked.
TEST(EncryptionDrivers, NoControlDeviceNoDriver) {
  EXPECT_EQ(RunningEncryptionDrivers(), std::vector<std::string>{});
  EXPECT_EQ(RunningEncryptionDrivers(), std::vector<std::string>{});
}

// Returns a letter from T down that has no DOS device, or 0.
char FreeLetter() {
  char targets[1024];
  for (char letter = 'T'; letter > 'D'; --letter) {
    const char name[] = {letter, ':', '\0'};
    if (QueryDosDeviceA(name, targets, sizeof targets) == 0) return letter;
  }
  return 0;
}

// Returns what DescribeVolumeEncryption answers for `letter` while its DOS device leads to
// `target`, as "product below drive partition", or "none".
std::string DescribeWithTarget(char letter, const char* target) {
  const char name[] = {letter, ':', '\0'};
  if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target)) return "cannot define";
  EncryptionLayer layer{"unset", true, 99, 99};
  const bool named = DescribeVolumeEncryption(letter, layer);
  DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, name,
                   target);
  if (!named) return "none";
  return layer.product + (layer.below ? " below " : " is ") + std::to_string(layer.drive) + " " +
         std::to_string(layer.partition);
}

TEST(VolumeLayersWin32, LettersOfTheEncryptionDriversAreNamed) {
  const char letter = FreeLetter();
  ASSERT_NE(letter, 0) << "no free drive letter";
  EXPECT_EQ(DescribeWithTarget(letter, "\\Device\\VeraCryptVolumeT"), "VeraCrypt is -1 -1");
  EXPECT_EQ(DescribeWithTarget(letter, "\\Device\\TrueCryptVolumeT"), "TrueCrypt is -1 -1");
  EXPECT_EQ(DescribeWithTarget(letter, "\\Device\\HarddiskVolume7"), "none");
  EncryptionLayer layer{};
  EXPECT_FALSE(DescribeVolumeEncryption(letter, layer));  // the definition is gone again
  EXPECT_FALSE(DescribeVolumeEncryption('C', layer));     // a disk volume
  EXPECT_FALSE(DescribeVolumeEncryption('1', layer));
}

TEST(VolumeLocationWin32, VolumesDrivesAndExtentsAsTheSystemAnswers) {
  // Only volumes on disks are listed, each with where it can be read.
  for (const SystemVolume& volume : ListSystemVolumes()) {
    EXPECT_FALSE(volume.extents.empty()) << volume.name;
    EXPECT_EQ(volume.name.rfind("\\\\?\\Volume{", 0), 0u) << volume.name;
    EXPECT_FALSE(volume.decrypts) << volume.name;
  }
  EXPECT_EQ(DriveSource("\\\\.\\PhysicalDrive0").rfind("\\Device\\Harddisk0", 0), 0u);
  EXPECT_EQ(DriveSource("\\\\.\\PhysicalDrive255"), "");
  EXPECT_EQ(DriveSource("PhysicalDrive0"), "");

  HANDLE volume = CreateFileA("\\\\.\\C:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  std::vector<DiskExtent> extents{{99, 99, 99}};
  EXPECT_TRUE(QueryVolumeExtents(volume, extents));
  for (const DiskExtent& extent : extents) EXPECT_GE(extent.drive, 0);
  EXPECT_TRUE(IsLiveDrive(volume));
  CloseHandle(volume);
  EXPECT_FALSE(QueryVolumeExtents(INVALID_HANDLE_VALUE, extents));
}

}  // namespace
