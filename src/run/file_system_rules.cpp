// The file-system table: one row per file system, volume manager or RAID member, in the order
// they are tried. RAID and volume-manager members come first, since the volume they belong to
// may show a file system's marks as well; marks shorter than 4 bytes, and marks whose place
// depends on the volume, come with a check of further fields.
#include <string>

#include "disk/file_system_layout.h"
#include "run/detection_rules.h"
#include "run/file_system_checks.h"

namespace Module1 {

namespace {

using namespace Superblock;

const FileSystemRule kFileSystemRules[] = {
    // Volume managers and RAID members.
    {"Linux RAID member", {}, HasRaid090Superblock, nullptr},
    {"Linux RAID member", {}, HasRaid10Superblock, nullptr},
    {"Linux RAID member", {kRaid}, nullptr, nullptr},
    {"Linux RAID member", {kRaidAt4K}, nullptr, nullptr},
    {"DDF RAID member", {}, HasDdfAnchor, nullptr},
    {"Intel RAID member", {kIntelRaid}, nullptr, nullptr},
    {"LSI MegaRAID member", {kLsiRaid}, nullptr, nullptr},
    {"VIA RAID member", {}, HasViaRaidMetadata, nullptr},
    {"Silicon Image RAID member", {}, HasSiliconRaidMetadata, nullptr},
    {"NVIDIA RAID member", {kNvidiaRaid}, nullptr, nullptr},
    {"Promise RAID member", {}, HasPromiseRaidMark, nullptr},
    {"HighPoint RAID member", {kHighPoint37x}, nullptr, nullptr},
    {"HighPoint RAID member", {kHighPoint37xBad}, nullptr, nullptr},
    {"HighPoint RAID member", {kHighPoint45x}, nullptr, nullptr},
    {"HighPoint RAID member", {kHighPoint45xBad}, nullptr, nullptr},
    {"Adaptec RAID member", {kAdaptecRaid, kAdaptecRaidSignature}, nullptr, nullptr},
    {"JMicron RAID member", {}, HasJmicronRaidMetadata, nullptr},
    {"DRBD", {kDrbd08}, nullptr, nullptr},
    {"DRBD", {kDrbd84Unclean}, nullptr, nullptr},
    {"DRBD", {kDrbd09}, nullptr, nullptr},
    {"DRBD control volume", {kDrbdManage}, nullptr, nullptr},
    {"VMFS volume member", {kVmfsVolume}, nullptr, nullptr},
    {"VMFS", {kVmfs}, nullptr, nullptr},
    {"LVM2 physical volume", {kLvmLabel, kLvmType}, nullptr, nullptr},
    {"bcache", {kBcache}, nullptr, nullptr},
    {"bcachefs", {kBcachefs}, nullptr, nullptr},
    {"VDO", {kVdo}, nullptr, nullptr},
    {"Ceph BlueStore", {kBluestore}, nullptr, nullptr},
    {"UBI", {kUbi}, nullptr, nullptr},
    {"UBIFS", {kUbifs, kUbifsSuperblockNode}, nullptr, nullptr},
    {"NetWare NSS", {kNss}, nullptr, nullptr},
    {"mpool", {kMpool}, nullptr, nullptr},
    {"ScoutFS", {kScoutfs}, nullptr, nullptr},
    {"Storage Spaces member", {kStorageSpaces}, nullptr, nullptr},
    {"Storage Spaces member", {kStorageSpacesAt4K}, nullptr, nullptr},
    // Windows volumes, for whole disks and volumes without the boot signature.
    {"exFAT", {kExfat}, nullptr, nullptr},
    {"NTFS", {kNtfs}, nullptr, nullptr},
    {"ReFS", {kRefs, kRefsSignature}, nullptr, nullptr},
    {"FAT", {}, HasFatBootSector, nullptr},
    // Linux.
    {"ext2", {kExt}, ExtLooksSound, ExtVariant},
    {"XFS", {kXfs}, nullptr, nullptr},
    {"XFS external log", {kXfsLog}, HasXfsLogRecord, nullptr},
    {"Btrfs", {kBtrfs}, nullptr, nullptr},
    {"F2FS", {kF2fs}, nullptr, nullptr},
    {"Linux swap", {}, HasSwapMark, nullptr},
    {"Linux hibernation image", {kTuxOnIce}, nullptr, nullptr},
    {"Linux hibernation image", {}, HasHibernationMark, nullptr},
    // Apple.
    {"HFS+", {kHfsPlus}, HfsPlusLooksSound, nullptr},
    {"HFS+", {kHfsx}, HfsPlusLooksSound, nullptr},
    {"HFS+", {kHfs, kHfsEmbeddedPlus}, HfsLooksSound, nullptr},
    {"HFS", {kHfs}, HfsLooksSound, nullptr},
    {"APFS", {kApfs, kApfsObjectType}, nullptr, nullptr},
    // Optical, read-only and flash images.
    {"UDF", {}, HasUdfDescriptors, nullptr},
    {"ISO 9660", {kIso9660}, nullptr, nullptr},
    {"ISO 9660", {kHighSierra}, nullptr, nullptr},
    {"squashfs", {kSquashfs, kSquashfs4}, nullptr, nullptr},
    {"squashfs", {kSquashfs, kSquashfs3}, nullptr, nullptr},
    {"squashfs", {kSquashfsBigEndian, kSquashfs3BigEndian}, nullptr, nullptr},
    {"cramfs", {kCramfs, kCramfsSignature}, nullptr, nullptr},
    {"cramfs", {kCramfsBigEndian, kCramfsSignature}, nullptr, nullptr},
    {"EROFS", {kErofs}, nullptr, nullptr},
    {"romfs", {kRomfs}, nullptr, nullptr},
    // Journalling and cluster file systems.
    {"JFS", {kJfs}, nullptr, nullptr},
    {"ReiserFS", {kReiserfs}, nullptr, nullptr},
    {"ReiserFS", {kReiserfs2}, nullptr, nullptr},
    {"ReiserFS", {kReiserfs3}, nullptr, nullptr},
    {"ReiserFS", {kReiserfsOld}, nullptr, nullptr},
    {"Reiser4", {kReiser4}, nullptr, nullptr},
    {"NILFS2", {kNilfs}, NilfsChecksumMatches, nullptr},
    {"OCFS2", {kOcfs2At1K}, nullptr, nullptr},
    {"OCFS2", {kOcfs2At2K}, nullptr, nullptr},
    {"OCFS2", {kOcfs2At4K}, nullptr, nullptr},
    {"OCFS2", {kOcfs2At8K}, nullptr, nullptr},
    {"GFS2", {kGfs2, kGfs2Formats}, nullptr, nullptr},
    {"GFS2", {kGfs2, kGfs2Formats1802}, nullptr, nullptr},
    {"zonefs", {kZonefs}, nullptr, nullptr},
    {"VxFS", {kVxfs}, nullptr, nullptr},
    {"VxFS", {kVxfsBigEndian}, nullptr, nullptr},
    {"ZFS member", {}, HasZfsUberblock, nullptr},
    // Other systems' file systems.
    {"Minix", {}, HasMinixSuperblock, nullptr},
    {"BFS", {kBfs}, nullptr, nullptr},
    {"BeFS", {}, HasBefsSuperblock, nullptr},
    {"HPFS", {kHpfs, kHpfsSpare}, nullptr, nullptr},
    {"UFS", {}, HasUfsSuperblock, nullptr},
};

// True when `mark` is found in the volume where it says.
bool MagicMatches(DiskIO::Volume& volume, const Magic& mark) {
  const std::string field = mark.fromEnd
                                ? DiskIO::ProbeEndBytes(volume, mark.offset, mark.bytes.size())
                                : DiskIO::ProbeBytes(volume, mark.offset, mark.bytes.size());
  return !field.empty() && field == mark.bytes;
}

}  // namespace

const char* MatchFileSystem(DiskIO::Volume& volume) {
  // The first 8 KiB in one read: most rows look only there.
  DiskIO::ProbeBytes(volume, 0, kFirstReadBytes);
  for (const FileSystemRule& rule : kFileSystemRules) {
    bool matches = true;
    for (const Magic& mark : rule.marks) {
      if (matches && !mark.bytes.empty()) matches = MagicMatches(volume, mark);
    }
    if (matches && rule.check != nullptr) matches = rule.check(volume);
    if (matches) return rule.refine != nullptr ? rule.refine(volume) : rule.name;
  }
  return nullptr;
}

}  // namespace Module1
