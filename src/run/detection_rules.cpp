#include "run/detection_rules.h"

#include <string>

#include "base/bytes.h"
#include "disk/layout.h"

namespace Module1 {

namespace {

bool HasTrueCryptBootLoader(const SectorText& sector) {
  return FieldText(sector, MasterBootRecord::kBootLoaderName) == Signature::kTrueCryptBootLoader;
}

bool HasPgpGuard(const SectorText& sector) {
  return FieldText(sector, MasterBootRecord::kOemField) == Signature::kPgpGuard;
}

bool HasVeraCryptBootLoader(const SectorText& sector) {
  return FieldText(sector, MasterBootRecord::kBootLoaderName) == Signature::kVeraCryptBootLoader;
}

bool HasLuksHeader(const SectorText& sector) {
  return FieldText(sector, LuksHeader::kMagic) == Signature::kLuks;
}

bool HasVeraCryptAnywhere(const SectorText& sector) {
  return FieldText(sector, {0, kSectorSize}).find(Signature::kVeraCrypt) != std::string::npos;
}

bool HasPgpAnywhere(const SectorText& sector) {
  return FieldText(sector, {0, kSectorSize}).find(Signature::kPgp) != std::string::npos;
}

bool HasTrueCryptAnywhere(const SectorText& sector) {
  return FieldText(sector, {0, kSectorSize}).find(Signature::kTrueCrypt) != std::string::npos;
}

// A volume boot sector: the OEM field starts with NTFS, MSDOS or MSWIN.
bool IsVolumeBootSector(const SectorText& sector) {
  const std::string oem = FieldText(sector, MasterBootRecord::kOemField);
  for (const std::string& prefix : Signature::kVolumeOemPrefixes) {
    if (StartsWith(oem, prefix)) return true;
  }
  return false;
}

// BitLocker's "-FVE-FS-", or BitLocker To Go's "MSWIN4.1" with its identifier.
bool IsBitLocker(const SectorText& sector) {
  const std::string oemId = FieldText(sector, BootSector::kOemId);
  if (oemId == Signature::kBitLockerOemId) return true;
  return oemId == Signature::kBitLockerToGoOemId &&
         FieldText(sector, BootSector::kBitLockerToGoGuid) == Signature::kBitLockerGuid;
}

bool HasBootSignature(const SectorText& sector) {
  return FieldText(sector, BootSector::kBootSignature) == Signature::kBootSignature;
}

bool Always(const SectorText& /*sector*/) {
  return true;
}

const SectorZeroRule kSectorZeroRules[] = {
    {"truecrypt-boot-loader", HasTrueCryptBootLoader,
     " contains a TrueCrypt encrypted volume.\r\n"},
    {"veracrypt-boot-loader", HasVeraCryptBootLoader,
     " contains a VeraCrypt encrypted volume.\r\n"},
    {"pgp-guard", HasPgpGuard, " contains a PGP encrypted volume.\r\n"},
    {"luks", HasLuksHeader, " contains a LUKS encrypted volume.\r\n"},
    {"bitlocker", IsBitLocker, " is a Bitlocker encrypted volume.\r\n"},
    {"pgp-signature", HasPgpAnywhere,
     " contains a PGP signature in its MBR,\r\nbut in an unexpected location. It may contain an "
     "encrypted volume.\r\n"},
    {"truecrypt-signature", HasTrueCryptAnywhere,
     " contains a TrueCrypt signature in its MBR,\r\nbut in an unexpected location. It may "
     "contain an encrypted volume.\r\n"},
    {"veracrypt-signature", HasVeraCryptAnywhere,
     " contains a VeraCrypt signature in its MBR,\r\nbut in an unexpected location. It may "
     "contain an encrypted volume.\r\n"},
    {nullptr, IsVolumeBootSector, nullptr},
};

const PartitionRule kPartitionRules[] = {
    {"bitlocker", IsBitLocker, " is a Bitlocker encrypted volume.\r\n"},
    {"luks", HasLuksHeader, " is a LUKS encrypted volume.\r\n"},
    {nullptr, HasBootSignature, nullptr},
};

// ext4 when it uses extents, else ext3 when it has a journal, else ext2.
const char* ExtVariant(const std::string& bytes) {
  using namespace Superblock;
  if (LittleEndianValue(bytes, kExtIncompatFeatures, 4) & kExtExtents) return "ext4";
  if (LittleEndianValue(bytes, kExtCompatFeatures, 4) & kExtHasJournal) return "ext3";
  return "ext2";
}

const FileSystemRule kFileSystemRules[] = {
    {"ext2", {Superblock::kExt, {}}, ExtVariant},
    {"XFS", {Superblock::kXfs, {}}, nullptr},
    {"Linux swap", {Superblock::kSwap, {}}, nullptr},
    {"Linux swap", {Superblock::kOldSwap, {}}, nullptr},
    {"LVM2 physical volume", {Superblock::kLvmLabel, Superblock::kLvmType}, nullptr},
    {"F2FS", {Superblock::kF2fs, {}}, nullptr},
    {"HFS+", {Superblock::kHfsPlus, {}}, nullptr},
    {"HFS+", {Superblock::kHfsx, {}}, nullptr},
    {"Linux RAID member", {Superblock::kRaid, {}}, nullptr},
    {"Linux RAID member", {Superblock::kRaidAt4K, {}}, nullptr},
    {"Btrfs", {Superblock::kBtrfs, {}}, nullptr},
};

// True when `mark` lies within `bytes`, which start at offset `from`, and matches there.
bool MarkMatches(const std::string& bytes, size_t from, const Magic& mark) {
  if (mark.offset < from || mark.offset - from + mark.bytes.size() > bytes.size()) return false;
  return std::string_view(bytes).substr(mark.offset - from, mark.bytes.size()) == mark.bytes;
}

}  // namespace

const PartitionRule kUnexplainedPartition = {
    "possibly-encrypted", Always,
    " might be an encrypted volume,\r\nor contains a damaged boot sector.\r\n"};

const SectorZeroRule* MatchSectorZero(const SectorText& sector) {
  for (const SectorZeroRule& rule : kSectorZeroRules) {
    if (rule.matches(sector)) return &rule;
  }
  return nullptr;
}

const char* MatchFileSystem(const std::string& bytes, size_t from) {
  for (const FileSystemRule& rule : kFileSystemRules) {
    bool matches = true;
    for (const Magic& mark : rule.marks) {
      if (!mark.bytes.empty() && !MarkMatches(bytes, from, mark)) matches = false;
    }
    if (matches) return rule.refine != nullptr ? rule.refine(bytes) : rule.name;
  }
  return nullptr;
}

const PartitionRule* MatchPartition(const SectorText& sector) {
  for (const PartitionRule& rule : kPartitionRules) {
    if (rule.matches(sector)) return &rule;
  }
  return nullptr;
}

}  // namespace Module1
