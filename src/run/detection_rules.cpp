#include "run/detection_rules.h"

#include <string>

#include "base/bytes.h"
#include "disk/layout.h"

namespace Module1 {

namespace {

using Signature::kBitLockerGuid;
using Signature::kBitLockerOemId;
using Signature::kBitLockerToGoOemId;
using Signature::kBootSignature;
using Signature::kLuks;
using Signature::kPgp;
using Signature::kPgpGuard;
using Signature::kTrueCrypt;
using Signature::kTrueCryptBootLoader;
using Signature::kVeraCrypt;
using Signature::kVeraCryptBootLoader;

constexpr Field kWholeSector{0, kSectorSize};
constexpr MarkTest kIs = MarkTest::kIs;
constexpr MarkTest kBegins = MarkTest::kBegins;
constexpr MarkTest kHolds = MarkTest::kHolds;

// BitLocker: "-FVE-FS-" as the OEM ID, or BitLocker To Go's "MSWIN4.1" with its identifier.
const SectorMark kBitLockerMark{BootSector::kOemId, kIs, kBitLockerOemId};
const SectorMark kBitLockerToGoMarks[2] = {{BootSector::kOemId, kIs, kBitLockerToGoOemId},
                                           {BootSector::kBitLockerToGoGuid, kIs, kBitLockerGuid}};
const SectorMark kLuksMark{LuksHeader::kMagic, kIs, kLuks};

const SectorRule kSectorZeroRules[] = {
    {"truecrypt-boot-loader",
     {{MasterBootRecord::kBootLoaderName, kIs, kTrueCryptBootLoader}},
     " contains a TrueCrypt encrypted volume."},
    {"veracrypt-boot-loader",
     {{MasterBootRecord::kBootLoaderName, kIs, kVeraCryptBootLoader}},
     " contains a VeraCrypt encrypted volume."},
    {"pgp-guard",
     {{MasterBootRecord::kOemField, kIs, kPgpGuard}},
     " contains a PGP encrypted volume."},
    {"luks", {kLuksMark}, " contains a LUKS encrypted volume."},
    {"bitlocker", {kBitLockerMark}, " is a Bitlocker encrypted volume."},
    {"bitlocker",
     {kBitLockerToGoMarks[0], kBitLockerToGoMarks[1]},
     " is a Bitlocker encrypted volume."},
    {"pgp-signature",
     {{kWholeSector, kHolds, kPgp}},
     " contains a PGP signature in its MBR,\nbut in an unexpected location. It may contain an "
     "encrypted volume."},
    {"truecrypt-signature",
     {{kWholeSector, kHolds, kTrueCrypt}},
     " contains a TrueCrypt signature in its MBR,\nbut in an unexpected location. It may "
     "contain an encrypted volume."},
    {"veracrypt-signature",
     {{kWholeSector, kHolds, kVeraCrypt}},
     " contains a VeraCrypt signature in its MBR,\nbut in an unexpected location. It may "
     "contain an encrypted volume."},
    // A volume boot sector in sector 0: an unpartitioned disk.
    {nullptr, {{MasterBootRecord::kOemField, kBegins, "NTFS"}}, nullptr},
    {nullptr, {{MasterBootRecord::kOemField, kBegins, "MSDOS"}}, nullptr},
    {nullptr, {{MasterBootRecord::kOemField, kBegins, "MSWIN"}}, nullptr},
};

const SectorRule kPartitionRules[] = {
    {"bitlocker", {kBitLockerMark}, " is a Bitlocker encrypted volume."},
    {"bitlocker",
     {kBitLockerToGoMarks[0], kBitLockerToGoMarks[1]},
     " is a Bitlocker encrypted volume."},
    {"luks", {kLuksMark}, " is a LUKS encrypted volume."},
    {nullptr, {{BootSector::kBootSignature, kIs, kBootSignature}}, nullptr},
};

// Returns the first row of `rules` whose marks all match `sector`, or nullptr.
template <size_t N>
const SectorRule* FirstMatch(const SectorRule (&rules)[N], const SectorText& sector) {
  for (const SectorRule& rule : rules) {
    bool matches = true;
    for (const SectorMark& mark : rule.marks) {
      if (!mark.bytes.empty() && !MarkMatches(sector, mark)) matches = false;
    }
    if (matches) return &rule;
  }
  return nullptr;
}

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
bool MagicMatches(const std::string& bytes, size_t from, const Magic& mark) {
  if (mark.offset < from || mark.offset - from + mark.bytes.size() > bytes.size()) return false;
  return std::string_view(bytes).substr(mark.offset - from, mark.bytes.size()) == mark.bytes;
}

}  // namespace

const SectorRule kUnexplainedPartition = {
    "possibly-encrypted", {}, " might be an encrypted volume,\nor contains a damaged boot sector."};

bool MarkMatches(const SectorText& sector, const SectorMark& mark) {
  const std::string field = FieldText(sector, mark.field);
  switch (mark.test) {
    case MarkTest::kIs:
      return field == mark.bytes;
    case MarkTest::kBegins:
      return StartsWith(field, mark.bytes);
    case MarkTest::kHolds:
      return field.find(mark.bytes) != std::string::npos;
  }
  return false;
}

const SectorRule* MatchSectorZero(const SectorText& sector) {
  return FirstMatch(kSectorZeroRules, sector);
}

const char* MatchFileSystem(const std::string& bytes, size_t from) {
  for (const FileSystemRule& rule : kFileSystemRules) {
    bool matches = true;
    for (const Magic& mark : rule.marks) {
      if (!mark.bytes.empty() && !MagicMatches(bytes, from, mark)) matches = false;
    }
    if (matches) return rule.refine != nullptr ? rule.refine(bytes) : rule.name;
  }
  return nullptr;
}

const SectorRule* MatchPartition(const SectorText& sector) {
  return FirstMatch(kPartitionRules, sector);
}

}  // namespace Module1
