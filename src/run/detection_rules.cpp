#include "run/detection_rules.h"

#include <string>

#include "disk/layout.h"

namespace Module1 {

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool HasTrueCryptBootLoader(const SectorText& sector) {
  return FieldText(sector, MasterBootRecord::kBootLoaderName) == Signature::kTrueCryptBootLoader;
}

bool HasPgpGuard(const SectorText& sector) {
  return FieldText(sector, MasterBootRecord::kOemField) == Signature::kPgpGuard;
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
    {"pgp-guard", HasPgpGuard, " contains a PGP encrypted volume.\r\n"},
    {"pgp-signature", HasPgpAnywhere,
     " contains a PGP signature in its MBR,\r\nbut in an unexpected location. It may contain an "
     "encrypted volume.\r\n"},
    {"truecrypt-signature", HasTrueCryptAnywhere,
     " contains a TrueCrypt signature in its MBR,\r\nbut in an unexpected location. It may "
     "contain an encrypted volume.\r\n"},
    {nullptr, IsVolumeBootSector, nullptr},
};

const PartitionRule kPartitionRules[] = {
    {"bitlocker", IsBitLocker, " is a Bitlocker encrypted volume.\r\n"},
    {nullptr, HasBootSignature, nullptr},
};

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

const PartitionRule* MatchPartition(const SectorText& sector) {
  for (const PartitionRule& rule : kPartitionRules) {
    if (rule.matches(sector)) return &rule;
  }
  return nullptr;
}

}  // namespace Module1
