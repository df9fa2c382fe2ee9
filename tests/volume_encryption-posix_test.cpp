// The sysfs walks over trees shaped like /sys: the open encrypted volume a drive letter is or
// lies on, found through the slaves links, below or not, and the drive and partition it lies on
// when that is a partition of a drive of this run (drive 17 of a device folder here); the crypt
// devices that are the open view of a partition, with their mount points; and the pieces of
// drives a volume lies on. Looping, deep and wide trees end without an answer.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include <fstream>
#include <string>

#include "platform/encryption_drivers-posix.h"
#include "platform/encryption_drivers.h"
#include "platform/volume_encryption-posix.h"
#include "platform/volume_location-posix.h"
#include "sysfs_tree-posix.h"
#include "test_support-posix.h"

namespace {

using TestSupport::ScopedEnvironment;
using TestSupport::SysfsTree;
using TestSupport::TemporaryFolder;

constexpr char kLuks[] = "CRYPT-LUKS2-0d3c4a7e9b2f4c1d8e6a5b4c3d2e1f00-luks-root";

// The modules list as /proc/modules writes it: a module runs when a line starts with its name
// and a blank; a name inside another, a name further on a line or a missing file says nothing.
TEST(EncryptionDrivers, ModulesListedInProcModules) {
  TemporaryFolder folder;
  const struct {
    const char* what;
    const char* lines;
    std::vector<std::string> products;
  } cases[] = {
      {"none", "dm_crypt 61440 0 - Live 0x0\nloop 36864 0 - Live 0x0\n", {}},
      {"VeraCrypt",
       "loop 36864 0 - Live 0x0\nveracrypt 1110016 2 - Live 0x0 (OE)\n",
       {"VeraCrypt"}},
      {"both, in order",
       "truecrypt 1 0 - Live 0x0\nveracrypt 1 0 - Live 0x0",
       {"VeraCrypt", "TrueCrypt"}},
      {"names inside others", "veracrypt_helper 1 0 - Live\nxtruecrypt 1 0\nveracrypt\n", {}},
      {"a name further on", "dm_crypt 61440 1 veracrypt, Live 0x0\n", {}},
  };
  for (const auto& c : cases) {
    const std::string path = folder.path() + "/modules";
    std::ofstream(path) << c.lines;
    EXPECT_EQ(EncryptionModulesListed(path), c.products) << c.what;
  }
  EXPECT_TRUE(EncryptionModulesListed(folder.path() + "/missing").empty());
  // A device folder's images are not this machine's drives: its drivers say nothing of them.
  ScopedEnvironment devices("TVX_DEVICES", folder.path().c_str());
  EXPECT_TRUE(RunningEncryptionDrivers().empty());
}

class VolumeLayers : public testing::Test {
 protected:
  void SetUp() override {
    // Drive 17 of the device folder is a block device: a node made as root, else /dev/loop0.
    std::string node = devices_.Entry("node");
    if (mknod(node.c_str(), S_IFBLK | 0600, makedev(240, 0)) != 0) node = "/dev/loop0";
    struct stat info {};
    if (stat(node.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
      TVX_CANNOT_RUN("no block device node to link as a drive");
    }
    ASSERT_EQ(symlink(node.c_str(), devices_.Entry("PhysicalDrive17").c_str()), 0);
    sys_.AddDisk("sdr", info.st_rdev);
    for (int p = 1; p <= 6; ++p) {
      sys_.AddPartition("sdr", "sdr" + std::to_string(p), p, Next(), 2048u * p, 1000);
    }
    sys_.AddDisk("sdz", Next());  // no drive of this run
    sys_.AddPartition("sdz", "sdz1", 1, Next());
  }

  dev_t Next() { return makedev(250, minor_++); }

  // Adds device-mapper device `name` lying on `slaves`; returns its device number.
  dev_t Mapper(const std::string& name, const std::string& uuid, const std::string& dmName,
               std::initializer_list<std::string> slaves) {
    const dev_t device = Next();
    sys_.AddDeviceMapper(name, device, uuid, dmName);
    for (const std::string& slave : slaves) sys_.AddSlave(name, slave);
    return device;
  }

  // Returns the pieces of drives that `name` lies on as "drive@offset+length ...", or "none".
  std::string Extents(const std::string& name) {
    const ScopedEnvironment folder("TVX_DEVICES", devices_.path().c_str());
    std::vector<DiskExtent> extents{{99, 99, 99}};
    if (!BlockDeviceExtents(sys_.root(), name, extents)) return "none";
    std::string text;
    for (const DiskExtent& e : extents) {
      text += (text.empty() ? "" : " ") + std::to_string(e.drive) + "@" + std::to_string(e.offset) +
              "+" + std::to_string(e.length);
    }
    return text;
  }

  // Returns the walk's answer for `name` as "product below drive partition", or "none".
  std::string Describe(const std::string& name) {
    const ScopedEnvironment folder("TVX_DEVICES", devices_.path().c_str());
    EncryptionLayer layer{"unset", false, 99, 99};
    if (!DescribeBlockDeviceEncryption(sys_.root(), name, layer)) return "none";
    return layer.product + (layer.below ? " below " : " is ") + std::to_string(layer.drive) + " " +
           std::to_string(layer.partition);
  }

  TemporaryFolder devices_;
  TemporaryFolder tree_;
  SysfsTree sys_{tree_.path()};
  unsigned minor_ = 0;
};

TEST_F(VolumeLayers, NamesTheNearestCryptDeviceAndWhereItLies) {
  Mapper("dm-0", kLuks, "luks-0d3c", {"sdr3"});  // LVM on LUKS, as a Linux install has it
  Mapper("dm-1", "LVM-Xq3fVt0aJ8cK2Zl9", "vg-root", {"dm-0"});
  Mapper("dm-2", "CRYPT-LUKS1-5f1e-home", "home", {"sdr1"});
  Mapper("dm-3", "CRYPT-TCRYPT-tc", "tc", {"sdr"});  // a whole drive, no partition
  Mapper("dm-4", "CRYPT-BITLK-9a8b-stick", "stick", {"sdz1"});
  Mapper("dm-5", "CRYPT-PLAIN-swap", "swap", {"sdr4"});
  Mapper("dm-6", "", "veracrypt1", {"sdr2"});
  Mapper("dm-7", "", "truecrypt12", {"dm-6"});  // TrueCrypt inside VeraCrypt: the nearer wins
  Mapper("dm-8", "", "veracrypt", {"sdr5"});    // no slot number: not VeraCrypt's own name
  Mapper("dm-9", "LVM-plain", "vg-data", {"sdr6"});
  Mapper("dm-10", "CRYPT-LUKS2-a-raid", "raid", {"sdr5", "sdr6"});  // on two devices
  Mapper("dm-11", "LVM-spans", "vg-wide", {"sdr6", "dm-2"});        // LVM over two, one LUKS

  const struct {
    const char* device;
    const char* answer;
  } cases[] = {
      {"dm-1", "LUKS below 17 3"},
      {"dm-0", "LUKS is 17 3"},
      {"dm-2", "LUKS is 17 1"},
      {"dm-3", "TrueCrypt or VeraCrypt is -1 -1"},
      {"dm-4", "BitLocker is -1 -1"},
      {"dm-5", "plain dm-crypt is 17 4"},
      {"dm-6", "VeraCrypt is 17 2"},
      {"dm-7", "TrueCrypt is 17 2"},
      {"dm-8", "none"},
      {"dm-9", "none"},
      {"dm-10", "LUKS is -1 -1"},
      {"dm-11", "LUKS below 17 1"},
      {"sdr3", "none"},
      {"sdr", "none"},
      {"missing", "none"},
      {"", "none"},
      {"../../class/block/dm-0", "none"},
  };
  for (const auto& c : cases) EXPECT_EQ(Describe(c.device), c.answer) << c.device;
}

TEST_F(VolumeLayers, LoopingDeepAndWideTreesEndWithoutAnAnswer) {
  Mapper("dm-20", "LVM-a", "a", {"dm-21"});
  Mapper("dm-21", "LVM-b", "b", {"dm-20"});
  Mapper("dm-22", kLuks, "looped", {"dm-23"});  // a crypt device on a loop: no location
  Mapper("dm-23", "LVM-c", "c", {"dm-22"});
  // A chain just within the walk's depth and one just past it, each ending in LUKS on sdr3.
  Mapper("dm-100", kLuks, "deep", {"sdr3"});
  for (int i = 1; i <= kMaxLayerDepth + 1; ++i) {
    Mapper("dm-" + std::to_string(100 + i), "LVM-d", "d", {"dm-" + std::to_string(99 + i)});
  }
  // A device on more devices than the walk looks at, the crypt device last of all.
  Mapper("dm-30", "LVM-wide", "wide", {});
  for (int i = 0; i < kMaxLayerDevices; ++i) sys_.AddSlave("dm-30", "absent" + std::to_string(i));
  Mapper("dm-31", kLuks, "zz", {"sdr1"});
  sys_.AddSlave("dm-30", "zz-dm-31");
  sys_.AddSlave("dm-30", "dm-31");

  EXPECT_EQ(Describe("dm-20"), "none");
  EXPECT_EQ(Describe("dm-23"), "LUKS below -1 -1");
  EXPECT_EQ(Describe("dm-" + std::to_string(100 + kMaxLayerDepth)), "LUKS below 17 3");
  EXPECT_EQ(Describe("dm-" + std::to_string(101 + kMaxLayerDepth)), "none");
  EXPECT_EQ(Describe("dm-30"), "none");
}

TEST_F(VolumeLayers, CryptDevicesAreTheOpenViewOfWhatTheyLieOn) {
  const dev_t home = Mapper("dm-0", "CRYPT-LUKS2-1f-home", "home", {"sdr2"});
  const dev_t root = Mapper("dm-1", kLuks, "luks-root", {"sdr3"});
  const dev_t lv = Mapper("dm-2", "LVM-vg-root", "vg-root", {"dm-1"});  // LVM on LUKS
  Mapper("dm-3", "LVM-plain", "vg-data", {"sdr5"});                     // not a crypt device
  Mapper("dm-4", "CRYPT-BITLK-stick", "stick", {"sdz1"});               // on no drive of the run
  const std::string mountinfo = tree_.path() + "/mountinfo";
  std::ofstream(mountinfo) << "22 1 0:21 / /proc rw - proc proc rw\n"
                           << "36 25 " << major(lv) << ":" << minor(lv)
                           << " / / rw,relatime shared:1 - ext4 /dev/mapper/vg-root rw\n"
                           << "37 36 " << major(home) << ":" << minor(home)
                           << " / /home rw - ext4 /dev/mapper/home rw\n"
                           << "38 36 " << major(home) << ":" << minor(home)
                           << " /alice /srv/my\\040files rw master:2 - ext4 /dev/mapper/home rw\n"
                           << "39 36 " << major(home) << ":" << minor(home)
                           << " / /home rw - ext4 /dev/mapper/home rw\n";  // mounted twice

  const ScopedEnvironment folder("TVX_DEVICES", devices_.path().c_str());
  std::vector<std::string> described;
  for (const SystemVolume& volume : CryptVolumes(sys_.root(), mountinfo)) {
    std::string text = volume.name + (volume.decrypts ? " decrypts" : "") + " on";
    for (const DiskExtent& e : volume.extents) {
      text += " " + std::to_string(e.drive) + "@" + std::to_string(e.offset);
    }
    text += ", read through";
    for (const std::string& path : volume.paths) text += " " + path;
    described.push_back(text);
  }
  EXPECT_EQ(described, (std::vector<std::string>{
                           "/dev/mapper/home decrypts on 17@2097152, read through "
                           "/dev/mapper/home /home /srv/my files",
                           "/dev/mapper/luks-root decrypts on 17@3145728, read through "
                           "/dev/mapper/luks-root /",
                           "/dev/mapper/stick decrypts on -1@0, read through /dev/mapper/stick",
                       }));
  EXPECT_EQ(MountPoints(mountinfo, root), std::vector<std::string>{});
  EXPECT_TRUE(CryptVolumes(sys_.root() + "/missing", mountinfo).empty());
}

TEST_F(VolumeLayers, VolumesLieOnTheDevicesAtTheBottomOfTheirChains) {
  Mapper("dm-0", "LVM-data", "vg-data", {"sdr5"});
  Mapper("dm-1", "LVM-wide", "vg-wide", {"sdr1", "sdr6"});  // one volume over two partitions
  sys_.AddDisk("md0", Next(), true);                        // RAID 1 over two partitions,
  sys_.AddSlave("md0", "sdr2");
  sys_.AddSlave("md0", "sdr4");
  Mapper("dm-2", "LVM-on-raid", "vg-raid", {"md0"});  // with LVM above
  Mapper("dm-3", "LVM-stick", "vg-stick", {"sdz1"});  // a disk of no drive of the run
  Mapper("dm-4", "LVM-whole", "vg-whole", {"sdr"});   // a whole drive
  Mapper("dm-5", "LVM-a", "a", {"dm-6"});             // a loop
  Mapper("dm-6", "LVM-b", "b", {"dm-5"});
  Mapper("dm-7", "LVM-c", "c", {"absent"});  // a slave missing from the tree

  const struct {
    const char* device;
    const char* extents;
  } cases[] = {
      {"dm-0", "17@5242880+512000"},
      {"dm-1", "17@1048576+512000 17@6291456+512000"},
      {"dm-2", "17@2097152+512000 17@4194304+512000"},
      {"dm-3", "-1@0+0"},
      {"dm-4", "17@0+0"},
      {"sdr3", "17@3145728+512000"},  // a partition lies on itself
      {"dm-5", "none"},
      {"dm-7", "-1@0+0"},
      {"missing", "none"},
      {"../block/sdr", "none"},
      {"", "none"},
  };
  for (const auto& c : cases) EXPECT_EQ(Extents(c.device), c.extents) << c.device;
}

}  // namespace
