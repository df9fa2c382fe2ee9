// The sysfs walk that names the open encrypted volume a drive letter is or lies on, over trees
// shaped like /sys: the crypt device found through the slaves links, below or not, and the
// drive and partition it lies on when that is a partition of a drive of this run (drive 17 of a
// device folder here). Looping, deep and wide trees end without an answer.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/volume_encryption-posix.h"
#include "sysfs_tree-posix.h"
#include "test_support-posix.h"

namespace {

using TestSupport::ScopedEnvironment;
using TestSupport::SysfsTree;
using TestSupport::TemporaryFolder;

constexpr char kLuks[] = "CRYPT-LUKS2-0d3c4a7e9b2f4c1d8e6a5b4c3d2e1f00-luks-root";

class VolumeLayers : public testing::Test {
 protected:
  void SetUp() override {
    // Drive 17 of the device folder is a block device: a node made as root, else /dev/loop0.
    std::string node = devices_.Entry("node");
    if (mknod(node.c_str(), S_IFBLK | 0600, makedev(240, 0)) != 0) node = "/dev/loop0";
    struct stat info {};
    if (stat(node.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
      GTEST_SKIP() << "no block device node to link as a drive";
    }
    ASSERT_EQ(symlink(node.c_str(), devices_.Entry("PhysicalDrive17").c_str()), 0);
    sys_.AddDisk("sdr", info.st_rdev);
    for (int p = 1; p <= 6; ++p) sys_.AddPartition("sdr", "sdr" + std::to_string(p), p, Next());
    sys_.AddDisk("sdz", Next());  // no drive of this run
    sys_.AddPartition("sdz", "sdz1", 1, Next());
  }

  dev_t Next() { return makedev(250, minor_++); }

  // Adds device-mapper device `name` lying on `slaves`.
  void Mapper(const std::string& name, const std::string& uuid, const std::string& dmName,
              std::initializer_list<std::string> slaves) {
    sys_.AddDeviceMapper(name, Next(), uuid, dmName);
    for (const std::string& slave : slaves) sys_.AddSlave(name, slave);
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

}  // namespace
