// Drive numbers on POSIX: the live system's physical drives in drive order past the sixteenth
// and up to the 256th, and the device number query answering a device folder's drives 16 to 18
// with their own numbers, over a tree shaped like /sys built by the test; and a device folder's
// entries as they are, next to the drives read from them.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/device_folder-posix.h"
#include "platform/device_folder.h"
#include "platform/device_paths-posix.h"
#include "sysfs_tree-posix.h"
#include "test_support-posix.h"

namespace {

using TestSupport::ScopedEnvironment;
using TestSupport::SysfsTree;
using TestSupport::TemporaryFolder;

std::vector<std::string> Names(const std::vector<BlockDevice>& devices) {
  std::vector<std::string> names;
  for (const BlockDevice& device : devices) names.push_back(device.name);
  return names;
}

TEST(LiveDriveNumbers, FollowKernelNameOrderPastDriveFifteenWithLoopDevicesLast) {
  TemporaryFolder folder;
  SysfsTree sys(folder.path());
  std::vector<std::string> expected = {"nvme0n1"};
  for (int i = 0; i < 20; ++i) expected.push_back(std::string("sd") + static_cast<char>('a' + i));
  expected.push_back("vda");
  expected.push_back("loop2");
  // Added in an order of their own; none of the others is ever a physical drive.
  const char* others[] = {"zram0", "ram0", "dm-0", "md127", "sr0", "fd0", "loop1", "loop10"};
  unsigned minor = 0;
  for (auto it = expected.rbegin(); it != expected.rend(); ++it) {
    sys.AddDisk(*it, makedev(8, minor++));
  }
  for (const char* name : others) sys.AddDisk(name, makedev(9, minor++));
  sys.Write("block/loop2/loop/backing_file", "/images/disk.img");

  const std::vector<BlockDevice> drives = ListPhysicalDrives(sys.root());
  EXPECT_EQ(Names(drives), expected);
  ASSERT_GT(drives.size(), 17u);
  EXPECT_EQ(drives[17].name, "sdq");
  EXPECT_EQ(drives[17].device, makedev(8, expected.size() - 18));
}

TEST(LiveDriveNumbers, HaveNoUpperBound) {
  TemporaryFolder folder;
  SysfsTree sys(folder.path());
  for (unsigned n = 0; n < 300; ++n) sys.AddDisk("vd" + std::to_string(n), makedev(252, n));
  const std::vector<BlockDevice> drives = ListPhysicalDrives(sys.root());
  ASSERT_EQ(drives.size(), 300u);
  EXPECT_EQ(drives[16].name, "vd16");
  EXPECT_EQ(drives[299].name, "vd299");
}

// The drives of a device folder: every PhysicalDriveN entry as ResolveDevicePath names it, in
// number order, gaps and dangling links and all.
TEST(ListFolderDrives, EveryEntryThatNamesADrive) {
  TemporaryFolder folder;
  for (const char* name :
       {"PhysicalDrive17", "PhysicalDrive0", "PhysicalDrive300", "C:", "PhysicalDrive017",
        "PhysicalDrive", "PhysicalDrive-1", "PhysicalDrive2x", "physicaldrive5",
        "PhysicalDrive1000000000", "PhysicalDrive999999999"}) {
    ASSERT_EQ(mkdir(folder.Entry(name).c_str(), 0755), 0) << name;
  }
  // A link whose target is missing is an entry all the same: a drive that exists.
  ASSERT_EQ(symlink("/evidence/gone.dd", folder.Entry("PhysicalDrive4").c_str()), 0);
  EXPECT_EQ(ListFolderDrives(folder.path()), (std::vector<int32_t>{0, 4, 17, 300, 999999999}));
}

// Every entry of a device folder, looked at through its links: a file that a drive or letter
// entry leads to, or that an image drive was read from, is covered under any name; a dangling
// link is missing; a drive or letter name is such.
TEST(DeviceFolderEntries, WhatEachEntryIsAndWhetherADriveCoversIt) {
  TemporaryFolder folder;
  const ScopedEnvironment devices("TVX_DEVICES", folder.path().c_str());
  for (const auto& [name, size] : {std::pair<const char*, off_t>{"PhysicalDrive0", 1 << 20},
                                   {"big", 2 << 20},
                                   {"disk.E02", 2 << 20},
                                   {"volume.img", 1 << 20},
                                   {".hidden.dd", 512},
                                   {"notes.txt", 9}}) {
    const int fd = open(folder.Entry(name).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0) << name;
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
  }
  ASSERT_EQ(symlink("PhysicalDrive0", folder.Entry("disk.dd").c_str()), 0);
  ASSERT_EQ(symlink("volume.img", folder.Entry("E:").c_str()), 0);
  ASSERT_EQ(symlink("/evidence/disk1.dd", folder.Entry("PhysicalDrive1").c_str()), 0);
  ASSERT_EQ(symlink("/evidence/disk1.dd", folder.Entry("PhysicalDrive1.dd").c_str()), 0);
  ASSERT_EQ(symlink("PhysicalDrive2", folder.Entry("PhysicalDrive2").c_str()), 0);  // a loop
  ASSERT_EQ(symlink("big/x", folder.Entry("PhysicalDrive3").c_str()), 0);  // through a file
  ASSERT_EQ(mkdir(folder.Entry("case").c_str(), 0755), 0);

  // The other segment of an image drive, once its library opened it, through any path.
  const auto segment = [&folder] {
    for (const FolderEntry& entry : ListDeviceFolderEntries()) {
      if (entry.name == "disk.E02") return entry.coveredByDrive;
    }
    return false;
  };
  EXPECT_FALSE(segment());
  NoteImagePartFile(folder.path() + "/case/../disk.E02");
  EXPECT_TRUE(segment());

  const struct {
    const char* name;
    EntryKind kind;
    uint64_t size;
    bool deviceName, covered;
  } expected[] = {
      {".hidden.dd", EntryKind::RegularFile, 512, false, false},
      {"E:", EntryKind::RegularFile, 1 << 20, true, true},
      {"PhysicalDrive0", EntryKind::RegularFile, 1 << 20, true, true},
      {"PhysicalDrive1", EntryKind::Missing, 0, true, false},
      {"PhysicalDrive1.dd", EntryKind::Missing, 0, false, false},
      {"PhysicalDrive2", EntryKind::Missing, 0, true, false},
      {"PhysicalDrive3", EntryKind::Missing, 0, true, false},
      {"big", EntryKind::RegularFile, 2 << 20, false, false},
      {"case", EntryKind::Folder, 0, false, false},
      {"disk.E02", EntryKind::RegularFile, 2 << 20, false, true},
      {"disk.dd", EntryKind::RegularFile, 1 << 20, false, true},
      {"notes.txt", EntryKind::RegularFile, 9, false, false},
      {"volume.img", EntryKind::RegularFile, 1 << 20, false, true},
  };
  const std::vector<FolderEntry> entries = ListDeviceFolderEntries();
  ASSERT_EQ(entries.size(), std::size(expected));
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].name, expected[i].name);
    EXPECT_EQ(entries[i].kind, expected[i].kind) << expected[i].name;
    EXPECT_EQ(entries[i].size, expected[i].size) << expected[i].name;
    EXPECT_EQ(entries[i].deviceName, expected[i].deviceName) << expected[i].name;
    EXPECT_EQ(entries[i].coveredByDrive, expected[i].covered) << expected[i].name;
  }

  // A link whose target is not there names it; a loop of links, or a drive that is there, not.
  EXPECT_EQ(DanglingLinkTarget("\\\\.\\PhysicalDrive1"), "/evidence/disk1.dd");
  EXPECT_EQ(DanglingLinkTarget("\\\\.\\PhysicalDrive3"), "big/x");
  EXPECT_EQ(DanglingLinkTarget("\\\\.\\PhysicalDrive2"), "");
  EXPECT_EQ(DanglingLinkTarget("\\\\.\\PhysicalDrive0"), "");
  EXPECT_EQ(DanglingLinkTarget("\\\\.\\PhysicalDrive9"), "");

  // One image in the folder's place, or the live system: there is no folder to list.
  const ScopedEnvironment single("TVX_DEVICES", folder.Entry("big").c_str());
  EXPECT_TRUE(ListDeviceFolderEntries().empty());
  const ScopedEnvironment live("TVX_DEVICES", nullptr);
  EXPECT_TRUE(ListDeviceFolderEntries().empty());
}

// Block device nodes for a device folder: made with mknod as root, else found in /dev. Returns
// fewer than `count` when neither gives enough.
std::vector<std::string> BlockNodes(const TemporaryFolder& folder, unsigned count) {
  std::vector<std::string> nodes;
  for (unsigned i = 0; i < count; ++i) {
    const std::string node = folder.Entry("node" + std::to_string(i));
    if (mknod(node.c_str(), S_IFBLK | 0600, makedev(240, 16 * i)) != 0) break;
    nodes.push_back(node);
  }
  if (nodes.size() == count) return nodes;
  nodes.clear();
  for (unsigned i = 0; i < 64 && nodes.size() < count; ++i) {
    struct stat info {};
    const std::string node = "/dev/loop" + std::to_string(i);
    if (stat(node.c_str(), &info) == 0 && S_ISBLK(info.st_mode)) nodes.push_back(node);
  }
  return nodes;
}

// A device folder whose drives 16, 17 and 18 are block devices, and a /sys-shaped tree in which
// those devices have partitions; a fourth disk and a device-mapper device are on no drive.
class FolderDriveNumbers : public testing::Test {
 protected:
  void SetUp() override {
    nodes_ = BlockNodes(devices_, 3);
    if (nodes_.size() < 3) TVX_CANNOT_RUN("no block device nodes to link as drives");
    for (unsigned i = 0; i < 3; ++i) {
      struct stat info {};
      ASSERT_EQ(stat(nodes_[i].c_str(), &info), 0);
      const std::string disk = std::string("sd") + static_cast<char>('q' + i);
      sys_.AddDisk(disk, info.st_rdev);
      sys_.AddPartition(disk, disk + "2", 2, makedev(250, 10 * i + 2));
      const std::string entry = devices_.Entry("PhysicalDrive" + std::to_string(16 + i));
      ASSERT_EQ(symlink(nodes_[i].c_str(), entry.c_str()), 0);
    }
    sys_.AddDisk("sdz", makedev(251, 0));
    sys_.AddPartition("sdz", "sdz1", 1, makedev(251, 1));
    sys_.AddDeviceMapper("dm-0", makedev(253, 0), "", "plain");
    sys_.AddDisk("sr0", makedev(11, 0));
  }

  std::string Device(const std::string& name) const { return tree_.Entry("class/block/" + name); }

  TemporaryFolder devices_;
  TemporaryFolder tree_;
  SysfsTree sys_{tree_.path()};
  std::vector<std::string> nodes_;
};

TEST_F(FolderDriveNumbers, APartitionOfDriveSeventeenAnswersSeventeen) {
  const ScopedEnvironment folder("TVX_DEVICES", devices_.path().c_str());
  const struct {
    const char* device;
    bool answers;
    STORAGE_DEVICE_NUMBER number;
  } cases[] = {
      {"sdq", true, {FILE_DEVICE_DISK, 16, 0}},
      {"sdr2", true, {FILE_DEVICE_DISK, 17, 2}},
      {"sds2", true, {FILE_DEVICE_DISK, 18, 2}},
      {"sdz1", false, {}},  // a disk that is no drive of this run
      {"dm-0", false, {}},
      {"sr0", true, {FILE_DEVICE_CD_ROM, 0, static_cast<DWORD>(-1)}},
      {"missing", false, {}},
  };
  for (const auto& c : cases) {
    STORAGE_DEVICE_NUMBER number{9, 9, 9};
    EXPECT_EQ(QueryDeviceNumberAt(Device(c.device), number), c.answers) << c.device;
    if (!c.answers) continue;
    EXPECT_EQ(number.DeviceType, c.number.DeviceType) << c.device;
    EXPECT_EQ(number.DeviceNumber, c.number.DeviceNumber) << c.device;
    EXPECT_EQ(number.PartitionNumber, c.number.PartitionNumber) << c.device;
  }
}

TEST_F(FolderDriveNumbers, ASingleDeviceIsDriveZero) {
  // TVX_DEVICES naming one block device: that device is PhysicalDrive0, and its partitions are
  // partitions of drive 0.
  const ScopedEnvironment single("TVX_DEVICES", nodes_[1].c_str());
  STORAGE_DEVICE_NUMBER number{9, 9, 9};
  ASSERT_TRUE(QueryDeviceNumberAt(Device("sdr2"), number));
  EXPECT_EQ(number.DeviceNumber, 0u);
  EXPECT_EQ(number.PartitionNumber, 2u);
  EXPECT_FALSE(QueryDeviceNumberAt(Device("sdq"), number));
}

}  // namespace
