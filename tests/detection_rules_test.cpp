// The rule tables on sectors held in memory: which row decides, in which order.
#include "run/detection_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "disk/layout.h"

namespace {

using Module1::MatchFileSystem;
using Module1::MatchPartition;
using Module1::MatchSectorZero;

using Patches = std::initializer_list<std::pair<size_t, std::string>>;

// `size` zero bytes with `bytes` written at `offset`; later pairs overwrite earlier.
std::string Block(size_t size, Patches patches) {
  std::string block(size, '\0');
  for (const auto& [offset, bytes] : patches) block.replace(offset, bytes.size(), bytes);
  return block;
}

// A 512-byte sector of zeros with the patches written.
SectorText Sector(Patches patches) {
  return Block(kSectorSize, patches);
}

// The 32-bit little-endian form of `value`.
std::string Word(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

const std::string kSignature = "\x55\xAA";
const std::string kLuks{"LUKS\xBA\xBE", 6};

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
      {"lower case marks", Sector({{3, "pgpguard"}, {100, "truecrypt"}, {200, "veracrypt"}}),
       nullptr},
      {"VeraCrypt loader at 6", Sector({{6, "VeraCrypt Boot Loader"}, {510, kSignature}}),
       "veracrypt-boot-loader"},
      {"VeraCrypt loader beats TrueCrypt elsewhere",
       Sector({{6, "VeraCrypt Boot Loader"}, {300, "TrueCrypt"}}), "veracrypt-boot-loader"},
      {"VeraCrypt loader one byte late", Sector({{7, "VeraCrypt Boot Loader"}}),
       "veracrypt-signature"},
      {"VeraCrypt at the end", Sector({{503, "VeraCrypt"}}), "veracrypt-signature"},
      {"PGP before VeraCrypt", Sector({{100, "VeraCrypt"}, {400, "PGP"}}), "pgp-signature"},
      {"TrueCrypt before VeraCrypt", Sector({{100, "VeraCrypt"}, {400, "TrueCrypt"}}),
       "truecrypt-signature"},
      {"VeraCrypt in an NTFS boot sector", Sector({{3, "NTFS    "}, {200, "VeraCrypt"}}),
       "veracrypt-signature"},
      {"LUKS at 0", Sector({{0, kLuks}}), "luks"},
      {"LUKS beats PGP elsewhere", Sector({{0, kLuks}, {300, "PGP"}}), "luks"},
      {"LUKS at 1", Sector({{1, kLuks}}), nullptr},
      {"LUKS without 0xBA 0xBE", Sector({{0, "LUKS\xBA"}}), nullptr},
      {"-FVE-FS- at 3", Sector({{3, "-FVE-FS-"}, {510, kSignature}}), "bitlocker"},
      {"-FVE-FS- beats PGP elsewhere", Sector({{3, "-FVE-FS-"}, {300, "PGP"}}), "bitlocker"},
      {"To Go: MSWIN4.1 and the GUID",
       Sector({{3, "MSWIN4.1"}, {424, Signature::kBitLockerGuid}, {510, kSignature}}), "bitlocker"},
      {"GUID one byte late", Sector({{3, "MSWIN4.1"}, {425, Signature::kBitLockerGuid}}), ""},
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
  sector.replace(2000, 9, "VeraCrypt");
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
      {"LUKS header", Sector({{0, kLuks}, {6, "\0\1aes"}}), "luks"},
      {"LUKS beats the boot signature", Sector({{0, kLuks}, {510, kSignature}}), "luks"},
      {"LUKS at 1", Sector({{1, kLuks}}), nullptr},
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

// Superblock marks: each row of the file-system table, on the 8 KiB read (from 0) or the 512
// bytes read at 64 KiB (from 65536). A mark is matched only where those bytes hold it.
TEST(FileSystemRules, SuperblockMarks) {
  constexpr size_t kHead = Superblock::kFirstReadBytes;
  constexpr size_t kFar = Superblock::kSecondReadOffset;
  const std::string ext = "\x53\xEF";
  const std::string raid = Word(0xA92B4EFC);
  const struct {
    const char* what;
    std::string bytes;
    size_t from;
    const char* name;  // nullptr: no file system
  } cases[] = {
      {"zeros", Block(kHead, {}), 0, nullptr},
      {"ext magic alone", Block(kHead, {{1080, ext}}), 0, "ext2"},
      {"ext with a journal", Block(kHead, {{1080, ext}, {1116, Word(0x4)}}), 0, "ext3"},
      {"ext with extents", Block(kHead, {{1080, ext}, {1120, Word(0x40)}}), 0, "ext4"},
      {"ext4 as mke2fs makes it",
       Block(kHead, {{1080, ext}, {1116, Word(0x3C)}, {1120, Word(0x2C2)}}), 0, "ext4"},
      {"ext3 as mke2fs makes it",
       Block(kHead, {{1080, ext}, {1116, Word(0x3C)}, {1120, Word(0x2)}}), 0, "ext3"},
      {"feature bits in the high bytes",
       Block(kHead, {{1080, ext}, {1116, Word(0x04000000)}, {1120, Word(0x40000000)}}), 0, "ext2"},
      {"ext magic reversed", Block(kHead, {{1080, "\xEF\x53"}}), 0, nullptr},
      {"XFS", Block(kHead, {{0, "XFSB"}}), 0, "XFS"},
      {"XFSB at 512", Block(kHead, {{512, "XFSB"}}), 0, nullptr},
      {"swap", Block(kHead, {{4086, "SWAPSPACE2"}}), 0, "Linux swap"},
      {"old swap", Block(kHead, {{4086, "SWAP-SPACE"}}), 0, "Linux swap"},
      {"swap one byte early", Block(kHead, {{4085, "SWAPSPACE2"}}), 0, nullptr},
      {"LVM2", Block(kHead, {{512, "LABELONE"}, {536, "LVM2 001"}}), 0, "LVM2 physical volume"},
      {"LABELONE alone", Block(kHead, {{512, "LABELONE"}}), 0, nullptr},
      {"LVM2 001 alone", Block(kHead, {{536, "LVM2 001"}}), 0, nullptr},
      {"F2FS", Block(kHead, {{1024, Word(0xF2F52010)}}), 0, "F2FS"},
      {"F2FS big-endian", Block(kHead, {{1024, "\xF2\xF5\x20\x10"}}), 0, nullptr},
      {"HFS+", Block(kHead, {{1024, "H+"}}), 0, "HFS+"},
      {"HFSX", Block(kHead, {{1024, "HX"}}), 0, "HFS+"},
      {"H+ at 0", Block(kHead, {{0, "H+"}}), 0, nullptr},
      {"RAID 1.1 at 0", Block(kHead, {{0, raid}}), 0, "Linux RAID member"},
      {"RAID 1.2 at 4096", Block(kHead, {{4096, raid}}), 0, "Linux RAID member"},
      {"RAID at 8", Block(kHead, {{8, raid}}), 0, nullptr},
      {"Btrfs at 64 KiB", Block(kSectorSize, {{64, "_BHRfS_M"}}), kFar, "Btrfs"},
      {"Btrfs mark in the first read", Block(kHead, {{64, "_BHRfS_M"}}), 0, nullptr},
      // Marks past the end of what was read, or before its start, are not there.
      {"ext magic cut short", Block(1081, {{1080, "\x53"}}), 0, nullptr},
      {"swap cut short", Block(4090, {{4086, "SWAP"}}), 0, nullptr},
      {"LVM2 type mark past the end", Block(540, {{512, "LABELONE"}, {536, "LVM2"}}), 0, nullptr},
      {"RAID at 4096 past the end", Block(4098, {{4096, "\xFC\x4E"}}), 0, nullptr},
      {"Btrfs cut short", Block(70, {{64, "_BHRfS"}}), kFar, nullptr},
      {"XFSB at 64 KiB", Block(kSectorSize, {{0, "XFSB"}}), kFar, nullptr},
      {"ext magic at 64 KiB + 1080", Block(2048, {{1080, ext}}), kFar, nullptr},
  };
  for (const auto& c : cases) {
    const char* name = MatchFileSystem(c.bytes, c.from);
    if (c.name == nullptr) {
      EXPECT_EQ(name, nullptr) << c.what << ": " << name;
    } else {
      EXPECT_STREQ(name, c.name) << c.what;
    }
  }
}

}  // namespace
