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

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/encryption_drivers-posix.h"
#include "platform/encryption_drivers.h"
#include "platform/fuse_volumes-posix.h"
#include "platform/sysfs-posix.h"
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

  // Makes a block device node for device `name` of the tree in the test's folder; returns its
  // path.
  std::string Node(const std::string& name) {
    dev_t device{};
    EXPECT_TRUE(
        ParseDeviceNumber(ReadFirstLine(tree_.path() + "/class/block/" + name + "/dev"), device));
    const std::string path = tree_.path() + "/node-" + name;
    EXPECT_EQ(mknod(path.c_str(), S_IFBLK | 0600, device), 0) << path;
    return path;
  }

  // Describes `volumes` as "name decrypts on drive@offset ..., read through path ...".
  std::vector<std::string> Described(const std::vector<SystemVolume>& volumes) {
    std::vector<std::string> described;
    for (const SystemVolume& volume : volumes) {
      std::string text = volume.name + (volume.decrypts ? " decrypts" : "") + " on";
      for (const DiskExtent& e : volume.extents) {
        text += " " + std::to_string(e.drive) + "@" + std::to_string(e.offset);
      }
      text += ", read through";
      for (const std::string& path : volume.paths) text += " " + path;
      described.push_back(text);
    }
    return described;
  }

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
  EXPECT_EQ(Described(CryptVolumes(sys_.root(), mountinfo)),
            (std::vector<std::string>{
                "/dev/mapper/home decrypts on 17@2097152, read through "
                "/dev/mapper/home /home /srv/my files",
                "/dev/mapper/luks-root decrypts on 17@3145728, read through "
                "/dev/mapper/luks-root /",
                "/dev/mapper/stick decrypts on -1@0, read through /dev/mapper/stick",
            }));
  EXPECT_EQ(MountPoints(ReadMountTable(mountinfo), root), std::vector<std::string>{});
  EXPECT_TRUE(CryptVolumes(sys_.root() + "/missing", mountinfo).empty());
}

// Every kind of crypt device is the open view of the partition at the bottom of its chain, through
// the integrity device of authenticated encryption; the integrity and verity devices themselves,
// and the lower devices of a cascade, are not.
TEST_F(VolumeLayers, EveryCryptDeviceButIntegrityVerityAndTheLowerOfACascade) {
  Mapper("dm-0", "", "veracrypt1", {"sdr1"});  // VeraCrypt's own mapping: no uuid
  Mapper("dm-1", "CRYPT-TCRYPT-lower", "tc_1", {"sdr2"});
  Mapper("dm-2", "CRYPT-TCRYPT-upper", "tc", {"dm-1"});
  Mapper("dm-3", "CRYPT-SUBDEV-auth-auth_dif", "auth_dif", {"sdr3"});
  Mapper("dm-4", "CRYPT-LUKS2-auth", "auth", {"dm-3"});
  Mapper("dm-5", "CRYPT-VERITY-root", "root-verity", {"sdr4"});
  Mapper("dm-6", "CRYPT-INTEGRITY-raw", "raw", {"sdr5"});
  Mapper("dm-7", "CRYPT-PLAIN-swap", "swap", {"sdr6"});
  const ScopedEnvironment folder("TVX_DEVICES", devices_.path().c_str());
  EXPECT_EQ(
      Described(CryptVolumes(sys_.root(), tree_.path() + "/no-mountinfo")),
      (std::vector<std::string>{
          "/dev/mapper/veracrypt1 decrypts on 17@1048576, read through /dev/mapper/veracrypt1",
          "/dev/mapper/tc decrypts on 17@2097152, read through /dev/mapper/tc",
          "/dev/mapper/auth decrypts on 17@3145728, read through /dev/mapper/auth",
          "/dev/mapper/swap decrypts on 17@6291456, read through /dev/mapper/swap",
      }));
}

// VeraCrypt's serialiser: a value is an 8-byte big-endian size and the bytes; a string's size is
// its length and NUL; a wide string's its 4-byte characters and NUL.
std::string Serialised(uint64_t value) {
  std::string bytes;
  for (uint64_t v : {uint64_t{8}, value}) {
    for (int i = 7; i >= 0; --i) bytes += static_cast<char>(v >> (8 * i));
  }
  return bytes;
}

std::string SerialisedText(const std::string& text) {
  return Serialised(text.size() + 1) + text + '\0';
}

std::string SerialisedWide(const std::u32string& text) {
  std::string bytes = Serialised((text.size() + 1) * 4);
  for (char32_t c : text + U'\0') {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(c >> (8 * i));
  }
  return bytes;
}

// A "control" file as VeraCrypt's auxiliary file system serves it: the class name, then the
// fields of VolumeInfo in the order it writes them (some of them).
std::string Control(const std::u32string& path, const std::u32string& virtualDevice) {
  return SerialisedText("VolumeInfo") + SerialisedText("ProgramVersion") + Serialised(0x125) +
         SerialisedText("AuxMountPoint") + SerialisedWide(U"/tmp/.veracrypt_aux_mnt1") +
         SerialisedText("EncryptionAlgorithmName") + SerialisedWide(U"AES") +
         SerialisedText("LoopDevice") + SerialisedWide(U"") + SerialisedText("MountPoint") +
         SerialisedWide(U"/media/veracrypt1") + SerialisedText("Path") + SerialisedWide(path) +
         SerialisedText("Size") + Serialised(1 << 20) + SerialisedText("VirtualDevice") +
         SerialisedWide(virtualDevice) + SerialisedText("Pim") + Serialised(0);
}

TEST(AuxiliaryControl, PathAndVirtualDevice) {
  const std::string good = Control(U"/dev/sdb2", U"/dev/mapper/veracrypt1");
  const struct {
    const char* what;
    std::string control;
    const char* found;  // "path | virtual device", or nullptr
  } cases[] = {
      {"a partition", good, "/dev/sdb2 | /dev/mapper/veracrypt1"},
      {"a container file of another script", Control(U"/home/jürgen/x.hc", U"/dev/loop3"),
       "/home/j\xC3\xBCrgen/x.hc | /dev/loop3"},
      {"no virtual device yet", Control(U"/dev/sdb2", U""), "/dev/sdb2 | "},
      {"cut inside the virtual device", good.substr(0, good.find("VirtualDevice") + 40),
       "/dev/sdb2 | "},
      {"cut inside the path", good.substr(0, good.find("Path") + 30), nullptr},
      {"a control character in the path", Control(U"/dev/sd\nb2", U""), nullptr},
      {"no path", SerialisedText("VolumeInfo") + SerialisedText("Size") + Serialised(1), nullptr},
      {"empty", "", nullptr},
  };
  for (const auto& c : cases) {
    AuxiliaryVolume volume{"unset", "unset"};
    const bool parsed = ParseAuxiliaryControl(c.control, volume);
    EXPECT_EQ(parsed ? volume.path + " | " + volume.virtualDevice : "none",
              c.found != nullptr ? c.found : "none")
        << c.what;
  }
}

// The FUSE file systems of dislocker and VeraCrypt, found by their mounts: each lies on the
// partition it reads, named by its source, the dislocker process serving it, or VeraCrypt's
// control file, and is read through its mount point, its file, and where that file is mounted.
TEST_F(VolumeLayers, FuseFileSystemsOfDislockerAndVeraCrypt) {
  const std::string root = tree_.path();
  const dev_t mapper = Mapper("dm-3", "", "veracrypt1", {"sdr4"});
  sys_.AddDisk("loop0", makedev(7, 0));
  sys_.Write("devices/pci0000:00/block/loop0/loop/backing_file", root + "/bl2/dislocker-file");
  const std::string control = root + "/tmp/.veracrypt_aux_mnt1";
  const std::string container = root + "/tmp/.veracrypt_aux_mnt2";
  std::filesystem::create_directories(control);
  std::filesystem::create_directories(container);
  const auto wide = [](const std::string& text) {
    return std::u32string(text.begin(), text.end());
  };
  const std::string mapperNode = Node("dm-3");
  std::ofstream(control + "/control") << Control(wide(Node("sdr4")), wide(mapperNode));
  std::ofstream(container + "/control")
      << Control(U"/home/alice/secret.hc", wide(root + "/no-such-loop"));
  // The dislocker process serving bl2, given it relative to its working folder; a shell holding
  // sdr3 open, and a dislocker serving a folder no longer mounted.
  const std::string proc = root + "/proc";
  const auto process = [&proc](const std::string& pid, const std::string& command,
                               const std::string& cwd, const std::string& held) {
    std::filesystem::create_directories(proc + "/" + pid + "/fd");
    std::ofstream(proc + "/" + pid + "/cmdline") << command;
    std::filesystem::create_symlink(cwd, proc + "/" + pid + "/cwd");
    std::filesystem::create_symlink("/dev/null", proc + "/" + pid + "/fd/0");
    std::filesystem::create_symlink(held, proc + "/" + pid + "/fd/3");
  };
  process("4242", std::string("/usr/bin/dislocker\0-V\0/dev/sdr2\0-u\0--\0bl2/\0", 43), root,
          Node("sdr2"));
  process("99", std::string("bash\0bl2\0", 9), root, Node("sdr3"));
  process("77", std::string("dislocker\0-V\0/dev/sdr5\0--\0/mnt/gone\0", 36), root, Node("sdr5"));
  const std::string mountinfo = root + "/mountinfo";
  std::ofstream(mountinfo) << "50 25 0:45 / " << root << "/bl rw - fuse.dislocker " << Node("sdr1")
                           << " rw\n"
                           << "51 25 0:46 / " << root
                           << "/bl2 rw - fuse.dislocker dislocker rw,user_id=0\n"
                           << "52 25 7:0 / " << root << "/plain rw - ntfs3 /dev/loop0 rw\n"
                           << "53 25 0:47 / " << control << " rw - fuse.veracrypt veracrypt rw\n"
                           << "54 25 " << major(mapper) << ":" << minor(mapper) << " / " << root
                           << "/media/veracrypt1 rw - ext4 /dev/mapper/veracrypt1 rw\n"
                           << "55 25 0:48 / " << container << " rw - fuse veracrypt rw\n"
                           << "56 25 0:49 / " << root << "/other rw - fuse.sshfs host:/ rw\n";

  const ScopedEnvironment folder("TVX_DEVICES", devices_.path().c_str());
  EXPECT_EQ(Described(FuseVolumes(sys_.root(), mountinfo, proc)),
            (std::vector<std::string>{
                root + "/bl decrypts on 17@1048576, read through " + root + "/bl " + root +
                    "/bl/dislocker-file",
                root + "/bl2 decrypts on 17@2097152, read through " + root + "/bl2 " + root +
                    "/bl2/dislocker-file " + root + "/plain",
                control + " decrypts on 17@4194304, read through " + control + " " + control +
                    "/volume " + mapperNode + " " + root + "/media/veracrypt1",
                container + " decrypts on, read through " + container + " " + container + "/volume",
            }));
  EXPECT_TRUE(FuseVolumes(sys_.root(), root + "/missing", proc).empty());
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
