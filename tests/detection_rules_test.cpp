// The rule tables on sectors held in memory: which row decides, in which order.
#include "run/detection_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "disk/layout.h"

namespace {

using Module1::MatchPartition;
using Module1::MatchSectorZero;

// A 512-byte sector of zeros with `bytes` written at `offset`; later pairs overwrite earlier.
SectorText Sector(std::initializer_list<std::pair<size_t, std::string>> patches) {
  SectorText sector(kSectorSize, '\0');
  for (const auto& [offset, bytes] : patches) sector.replace(offset, bytes.size(), bytes);
  return sector;
}

const std::string kSignature = "\x55\xAA";

TEST(SectorZeroRules, FirstMatchingRowDecides) {
  const struct {
    const char* what;
    SectorText sector;
    const char* kind;  // "" for the volume boot sector row, nullptr for no row at all
  } cases[] = {
      {"TrueCrypt loader at 6", Sector({{6, "TrueCrypt Boot Loader"}}), "truecrypt-boot-loader"},
      {"loader beats PGP elsewhere", Sector({{6, "TrueCrypt Boot Loader"}, {300, "PGP"}}),
       "truecrypt-boot-loader"},
      {"PGPGUARD at 3", Sector({{3, "PGPGUARD"}}), "pgp-guard"},
      {"PGPGUARD one byte late", Sector({{4, "PGPGUARD"}}), "pgp-signature"},
      {"PGP before TrueCrypt", Sector({{100, "TrueCrypt"}, {509, "PGP"}}), "pgp-signature"},
      {"TrueCrypt at the end", Sector({{501, "TrueCrypt"}}), "truecrypt-signature"},
      {"lower case marks", Sector({{3, "pgpguard"}, {100, "truecrypt"}}), nullptr},
      {"NTFS", Sector({{3, "NTFS    "}}), ""},
      {"MSDOS5.0", Sector({{3, "MSDOS5.0"}}), ""},
      {"MSWIN4.1", Sector({{3, "MSWIN4.1"}}), ""},
      {"NTFX", Sector({{3, "NTFX"}}), nullptr},
      {"an empty table", Sector({{510, kSignature}}), nullptr},
  };
  for (const auto& c : cases) {
    const Module1::SectorZeroRule* rule = MatchSectorZero(c.sector);
    if (c.kind == nullptr) {
      EXPECT_EQ(rule, nullptr) << c.what;
    } else {
      ASSERT_NE(rule, nullptr) << c.what;
      EXPECT_STREQ(rule->kind != nullptr ? rule->kind : "", c.kind) << c.what;
    }
  }
}

// Marks past byte 511 of a longer read are not in sector 0.
TEST(SectorZeroRules, LookOnlyAtTheFirst512Bytes) {
  SectorText sector = Sector({});
  sector += std::string(4096 - kSectorSize, '\0');
  sector.replace(600, 3, "PGP");
  sector.replace(1000, 9, "TrueCrypt");
  EXPECT_EQ(MatchSectorZero(sector), nullptr);
}

TEST(PartitionRules, VerdictsInOrder) {
  const std::string guid = Signature::kBitLockerGuid;
  const struct {
    const char* what;
    SectorText sector;
    const char* kind;  // "" for the ordinary boot sector row, nullptr for no row
  } cases[] = {
      {"-FVE-FS- without signature", Sector({{3, "-FVE-FS-"}}), "bitlocker"},
      {"-FVE-FS- with signature", Sector({{3, "-FVE-FS-"}, {510, kSignature}}), "bitlocker"},
      {"To Go: MSWIN4.1 and the GUID", Sector({{3, "MSWIN4.1"}, {424, guid}, {510, kSignature}}),
       "bitlocker"},
      {"MSWIN4.1 without the GUID", Sector({{3, "MSWIN4.1"}, {510, kSignature}}), ""},
      {"GUID under another OEM ID", Sector({{3, "MSWIN4.0"}, {424, guid}}), nullptr},
      {"ordinary boot sector", Sector({{3, "NTFS    "}, {510, kSignature}}), ""},
      {"signature reversed", Sector({{510, "\xAA\x55"}}), nullptr},
      {"random bytes", Sector({{0, "\xEB\x52\x90m}6+dL'g"}}), nullptr},
  };
  for (const auto& c : cases) {
    const Module1::PartitionRule* rule = MatchPartition(c.sector);
    if (c.kind == nullptr) {
      EXPECT_EQ(rule, nullptr) << c.what;
    } else {
      ASSERT_NE(rule, nullptr) << c.what;
      EXPECT_STREQ(rule->kind != nullptr ? rule->kind : "", c.kind) << c.what;
    }
  }
}

// A sector shorter than its fields (a short read) matches nothing it cannot see.
TEST(PartitionRules, ShortSectorsReadNothingPastTheirEnd) {
  EXPECT_EQ(MatchPartition(SectorText("\0\0\0-FVE-FS", 10)), nullptr);
  EXPECT_EQ(MatchSectorZero(SectorText("\0\0\0NTF", 6)), nullptr);
}

}  // namespace
