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
    // Boot loaders and markers that whole-disk encryption products write to sector 0. A mark
    // "starting within bytes A to B" is looked for in the field from A of B - A + its length.
    {"diskcryptor",
     {{ProductMarks::kDiskCryptorLoaderWord, kIs, ProductMarks::kDiskCryptorLoader}},
     " contains a DiskCryptor encrypted volume."},
    {"diskcryptor",
     {{ProductMarks::kDiskCryptorLoaderWord, kIs, ProductMarks::kDiskCryptorOldLoader}},
     " contains a DiskCryptor encrypted volume."},
    {"mcafee-safeboot",
     {{ProductMarks::kSafeBootField, kHolds, ProductMarks::kSafeBoot}},
     " contains a McAfee SafeBoot encrypted volume."},
    {"mcafee-safeboot",
     {{ProductMarks::kSafeBootField, kHolds, ProductMarks::kSafeboot}},
     " contains a McAfee SafeBoot encrypted volume."},
    {"sophos-safeguard",
     {{ProductMarks::kSafeGuardField, kHolds, ProductMarks::kSafeGuardM}},
     " contains a Sophos SafeGuard encrypted volume."},
    {"sophos-safeguard",
     {{ProductMarks::kSafeGuardField, kHolds, ProductMarks::kSafeGuardE}},
     " contains a Sophos SafeGuard encrypted volume."},
    {"guardianedge",
     {{ProductMarks::kGuardianEdgeField, kHolds, ProductMarks::kGuardianEdge}},
     " contains a GuardianEdge encrypted volume."},
    {"winmagic-securedoc",
     {{ProductMarks::kSecureDocField, kHolds, ProductMarks::kSecureDoc}},
     " contains a WinMagic SecureDoc encrypted volume."},
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
    {nullptr, {{kWholeSector, kHolds, Signature::kGrubCoreImage}}, nullptr},
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

}  // namespace

const SectorRule kUnexplainedPartition = {
    "possibly-encrypted", {}, " might be an encrypted volume,\nor contains a damaged boot sector."};

const SectorRule kUnpartitionedDisk = {
    "possibly-encrypted", {}, " might be an encrypted volume: it has no partition table."};

const SectorRule kFileVaultVolume = {"filevault", {}, " is a FileVault 2 encrypted volume."};

const SectorRule kEncryptedApfsVolume = {
    "filevault", {}, " holds a FileVault encrypted APFS volume."};

const SectorRule kDamagedLuksVolume = {
    "luks-damaged", {}, " is a LUKS encrypted volume (its primary header is damaged)."};

const SectorRule kGeliVolume = {"geli", {}, " is a GELI encrypted volume."};

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

const SectorRule* MatchPartition(const SectorText& sector) {
  return FirstMatch(kPartitionRules, sector);
}

}  // namespace Module1
