// The rule tables on sectors held in memory: which row decides, in which order.
#include "run/detection_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "disk/layout.h"
#include "disk/volume_reader.h"
#include "run/file_system_encryption.h"
#include "run/uefi_boot_loaders.h"

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
      // Whole-disk encryption products, each mark at the first and last byte it may start at.
      {"DiskCryptor's loader", Sector({{0, "\x33\xC0\x90\x90\xEB\x10"}, {510, kSignature}}),
       "diskcryptor"},
      {"DiskCryptor's older loader", Sector({{2, Word(0x20B60251)}}), "diskcryptor"},
      {"DiskCryptor's word one byte late", Sector({{3, Word(0x10EB9090)}}), nullptr},
      {"SafeBoot at 0", Sector({{0, "SafeBoot"}}), "mcafee-safeboot"},
      {"Safeboot at 32", Sector({{32, "Safeboot"}, {510, kSignature}}), "mcafee-safeboot"},
      {"SafeBoot at 33", Sector({{33, "SafeBoot"}}), nullptr},
      {"SAFEBOOT", Sector({{3, "SAFEBOOT"}}), nullptr},
      {"SGM400 at 110", Sector({{110, "SGM400"}}), "sophos-safeguard"},
      {"SGE400 at 150", Sector({{150, "SGE400"}}), "sophos-safeguard"},
      {"SGM400 at 109", Sector({{109, "SGM400"}}), nullptr},
      {"SGE400 at 151", Sector({{151, "SGE400"}}), nullptr},
      {"PCGM at 32", Sector({{32, "PCGM"}}), "guardianedge"},
      {"PCGM at 33", Sector({{33, "PCGM"}}), nullptr},
      {"WMSD at 236", Sector({{236, "WMSD"}}), "winmagic-securedoc"},
      {"WMSD at 256", Sector({{256, "WMSD"}}), "winmagic-securedoc"},
      {"WMSD at 235", Sector({{235, "WMSD"}}), nullptr},
      {"WMSD at 257", Sector({{257, "WMSD"}}), nullptr},
      {"the specified rows come first", Sector({{0, "SafeBoot"}, {300, "VeraCrypt"}}),
       "veracrypt-signature"},
      {"a product before a volume boot sector", Sector({{3, "NTFS    "}, {12, "PCGM"}}),
       "guardianedge"},
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

// Random sectors, as a disk encrypted whole shows them, must name no product: a product named
// by chance would send a responder after the wrong key.
TEST(SectorZeroRules, RandomSectorsNameNoProduct) {
  const std::string products[] = {"diskcryptor", "mcafee-safeboot", "sophos-safeguard",
                                  "guardianedge", "winmagic-securedoc"};
  uint32_t state = 20261209;
  for (int n = 0; n < 200000; ++n) {
    SectorText sector(kSectorSize, '\0');
    for (char& byte : sector) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<char>(state >> 24);
    }
    const Module1::SectorZeroRule* rule = MatchSectorZero(sector);
    if (rule == nullptr || rule->kind == nullptr) continue;
    for (const std::string& product : products) EXPECT_NE(rule->kind, product) << n;
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
      {"GRUB's core image", Sector({{0, "RV\xBE"}, {283, Signature::kGrubCoreImage}}), ""},
      {"GRUB's messages cut short", Sector({{283, Signature::kGrubCoreImage.substr(0, 28)}}),
       nullptr},
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

// A volume of `size` bytes (0: not known) held in memory as zeros with `patches` written at
// their offsets, read as a drive of its own. Its reads are counted.
struct MemoryVolume {
  uint64_t size;
  std::vector<std::pair<uint64_t, std::string>> patches;
  std::vector<std::pair<uint64_t, uint32_t>> reads = {};  // first sector and count of each read
  uint64_t bytesRead = 0;
  DiskIO::DriveSectors sectors = {};
};

// A Volume reading `memory`, which must outlive it; reads of sectors at or past a `failFrom`
// byte fail with 23.
DiskIO::Volume VolumeOf(MemoryVolume& memory, uint64_t failFrom = UINT64_MAX) {
  memory.sectors.length = memory.size;
  memory.sectors.read = [&memory, failFrom](uint64_t first, uint32_t count, std::string& bytes,
                                            uint32_t& error) {
    memory.reads.emplace_back(first, count);
    const uint64_t from = first * kSectorSize;
    const uint64_t length = uint64_t{count} * kSectorSize;
    memory.bytesRead += length;
    if (from + length > failFrom) {
      error = 23;
      return false;
    }
    bytes.assign(length, '\0');
    for (const auto& [offset, patch] : memory.patches) {
      for (size_t i = 0; i < patch.size(); ++i) {
        if (offset + i >= from && offset + i < from + length) bytes[offset + i - from] = patch[i];
      }
    }
    return true;
  };
  return DiskIO::WholeDrive(memory.sectors);
}

const char* NameOf(MemoryVolume memory) {
  DiskIO::Volume volume = VolumeOf(memory);
  return MatchFileSystem(volume);
}

std::string BigEndianWord(uint32_t value) {
  std::string bytes = Word(value);
  return std::string(bytes.rbegin(), bytes.rend());
}

std::string Half(uint16_t value) {
  return Word(value).substr(0, 2);
}

// The CRC-32 of `bytes` continued from `crc`, without inversions, as NILFS2 sums its superblock.
uint32_t RawCrc32(uint32_t crc, const std::string& bytes) {
  for (char c : bytes) {
    crc ^= static_cast<uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

// A NILFS2 superblock of 280 bytes whose checksum is right, or off by one when `damaged`.
std::string NilfsSuperblock(bool damaged) {
  std::string sb(1024, '\0');
  sb.replace(0, 4, Word(2));
  sb.replace(6, 2, "\x34\x34");
  sb.replace(8, 2, Half(280));
  sb.replace(12, 4, Word(0x12345678));
  sb.replace(16, 4, Word(RawCrc32(0x12345678, sb.substr(0, 280)) + (damaged ? 1 : 0)));
  return sb;
}

// A last sector of VIA, Silicon Image or JMicron RAID metadata, with its checksum right unless
// `damaged`.
std::string ViaSector(bool damaged) {
  std::string sector(512, '\0');
  sector.replace(0, 3, "\x55\xAA\x02");
  sector[10] = 0x33;
  uint8_t sum = 0;
  for (int i = 0; i < 50; ++i) sum += static_cast<uint8_t>(sector[i]);
  sector[50] = static_cast<char>(sum + (damaged ? 1 : 0));
  return sector;
}

std::string SiliconSector(bool damaged) {
  std::string sector(512, '\0');
  sector.replace(0x60, 4, Word(0x2F000000));
  sector[0x116] = damaged ? 8 : 1;
  uint32_t sum = 0;
  for (size_t i = 0; i < 0x13E; i += 2) {
    sum += static_cast<uint8_t>(sector[i]) | static_cast<uint8_t>(sector[i + 1]) << 8;
  }
  sector.replace(0x13E, 2, Half(static_cast<uint16_t>(0u - sum)));
  return sector;
}

std::string JmicronSector(bool damaged) {
  std::string sector(512, '\0');
  sector.replace(0, 4, "JM\x01\x02");
  sector[0x30] = 2;
  uint16_t sum = 0;
  for (size_t i = 0; i < 128; i += 2) {
    sum += static_cast<uint8_t>(sector[i]) | static_cast<uint8_t>(sector[i + 1]) << 8;
  }
  sector.replace(4, 2, Half(static_cast<uint16_t>(0u - sum + (damaged ? 2 : 0))));
  return sector;
}

// A FAT boot sector as mkfs.fat writes one: jump, BPB, and the type text at 54 or 82.
std::string FatBootSector(const std::string& type, size_t typeAt, uint16_t bytesPerSector = 512) {
  std::string boot(512, '\0');
  boot.replace(0, 11, "\xEB\x3C\x90mkfs.fat");
  boot.replace(11, 2, Half(bytesPerSector));
  boot[13] = 4;
  boot.replace(14, 2, Half(1));
  boot[16] = 2;
  boot[21] = '\xF8';
  boot.replace(typeAt, type.size(), type);
  boot.replace(510, 2, "\x55\xAA");
  return boot;
}

// A Minix superblock at 1024: version 1 (magic 0x137F) or 2 (0x2468) or 3, with `logZone`, its
// fields in little- or, as m68k and PowerPC machines write them, big-endian order.
std::string Minix(int version, uint16_t logZone = 0, bool bigEndian = false) {
  std::string sb(32, '\0');
  const auto put = [&sb, bigEndian](size_t offset, size_t length, uint32_t value) {
    for (size_t i = 0; i < length; ++i) {
      sb[offset + (bigEndian ? length - 1 - i : i)] = static_cast<char>(value >> (8 * i));
    }
  };
  if (version == 3) {
    put(0, 4, 1024);  // inodes
    put(6, 2, 1);     // inode map blocks
    put(8, 2, 1);     // zone map blocks
    put(10, 2, 40);   // first data zone
    put(12, 2, logZone);
    put(20, 4, 8192);  // zones
    put(24, 2, 0x4D5A);
    put(28, 2, 1024);
    return sb;
  }
  put(0, 2, 2688);
  put(2, 2, 8192);
  put(4, 2, 1);
  put(6, 2, 1);
  put(8, 2, 89);
  put(10, 2, logZone);
  put(16, 2, version == 1 ? 0x137F : 0x2468);
  put(18, 2, 1);
  put(20, 4, 8192);
  return sb;
}

// Each row of the file-system table on a synthetic volume of 64 MiB (or the size given) holding
// the row's marks where its format keeps them, and near misses that must not match.
TEST(FileSystemRules, EveryRowOnItsMarks) {
  constexpr uint64_t M = 64 << 20;
  constexpr uint64_t S = 512;
  const std::string raid = Word(0xA92B4EFC);
  const std::string ext = "\x53\xEF";
  const std::string ddf = "\xDE\x11\xDE\x11";
  const std::string bcache = "\xC6\x85\x73\xF6\x4E\x1A\x45\xCA\x82\x65\xF5\x7F\x48\xBA\x6D\x81";
  const std::string bcachefs = "\xC6\x85\x73\xF6\x66\xCE\x90\xA9\xD9\x6A\x60\xCF\x80\x3D\xF7\xEF";
  // An HFS master directory block: bitmap at block 3, 1000 blocks of 4 KiB, 10 free, a name.
  const Patches hfs = {{1024, "BD"},
                       {1038, BigEndianWord(3).substr(2)},
                       {1042, BigEndianWord(1000).substr(2)},
                       {1044, BigEndianWord(4096)},
                       {1058, BigEndianWord(10).substr(2)},
                       {1060, "\x04Test"}};
  auto with = [](Patches patches, std::pair<size_t, std::string> more) {
    std::vector<std::pair<uint64_t, std::string>> all(patches.begin(), patches.end());
    all.emplace_back(more.first, more.second);
    return all;
  };
  const std::string zfsUberblock = std::string("\x0C\xB1\xBA\0\0\0\0\0", 8);
  const struct {
    const char* what;
    MemoryVolume volume;
    const char* name;  // nullptr: no row matches
  } cases[] = {
      {"zeros", {M, {}}, nullptr},
      // Volume managers and RAID members.
      {"md 0.90", {M, {{M - 65536, raid}}}, "Linux RAID member"},
      {"md 0.90 big-endian",
       {M + 4096, {{M - 65536, BigEndianWord(0xA92B4EFC)}}},
       "Linux RAID member"},
      {"md 0.90 of major version 1", {M, {{M - 65536, raid + Word(1)}}}, nullptr},
      {"md 1.0", {M + 1024, {{M - 8192, raid + Word(1)}}}, "Linux RAID member"},
      {"md 1.0 of major version 0", {M, {{M - 8192, raid}}}, nullptr},
      {"md 1.1", {M, {{0, raid}}}, "Linux RAID member"},
      {"md 1.2", {M, {{4096, raid}}}, "Linux RAID member"},
      {"DDF anchor in the last sector", {M, {{M - S, ddf}}}, "DDF RAID member"},
      {"DDF anchor 257 sectors back", {M, {{M - 257 * S, "\x11\xDE\x11\xDE"}}}, "DDF RAID member"},
      {"Intel", {M, {{M - 2 * S, "Intel Raid ISM Cfg Sig. 1.3.00"}}}, "Intel RAID member"},
      {"Intel one sector late", {M, {{M - S, "Intel Raid ISM Cfg Sig. "}}}, nullptr},
      {"LSI", {M, {{M - S, "$XIDE$"}}}, "LSI MegaRAID member"},
      {"VIA", {M, {{M - S, ViaSector(false)}}}, "VIA RAID member"},
      {"VIA, bad checksum", {M, {{M - S, ViaSector(true)}}}, nullptr},
      {"Silicon Image", {M, {{M - S, SiliconSector(false)}}}, "Silicon Image RAID member"},
      {"Silicon Image, disk 8", {M, {{M - S, SiliconSector(true)}}}, nullptr},
      {"NVIDIA", {M, {{M - 2 * S, "NVIDIA  "}}}, "NVIDIA RAID member"},
      {"Promise 63 sectors back",
       {M, {{M - 63 * S, "Promise Technology, Inc."}}},
       "Promise RAID member"},
      {"Promise 3087 sectors back",
       {M, {{M - 3087 * S, "Promise Technology, Inc."}}},
       "Promise RAID member"},
      {"HighPoint 37x", {M, {{4640, "\xF0\x16\x78\x5A"}}}, "HighPoint RAID member"},
      {"HighPoint 45x", {M, {{M - 11 * S, "\xFD\x16\x78\x5A"}}}, "HighPoint RAID member"},
      {"Adaptec", {M, {{M - S, "\x37\xFC\x4D\x1E"}, {M - 256, "DPTM"}}}, "Adaptec RAID member"},
      {"Adaptec without DPTM", {M, {{M - S, "\x37\xFC\x4D\x1E"}}}, nullptr},
      {"JMicron", {M, {{M - S, JmicronSector(false)}}}, "JMicron RAID member"},
      {"JMicron, bad checksum", {M, {{M - S, JmicronSector(true)}}}, nullptr},
      {"DRBD 8", {M, {{M - 4096 + 60, "\x83\x74\x02\x6B"}}}, "DRBD"},
      {"DRBD 9", {M, {{M - 4096 + 60, "\x83\x74\x02\x6D"}}}, "DRBD"},
      {"DRBD control volume", {M, {{0, "$DRBDmgr=q"}}}, "DRBD control volume"},
      {"VMFS volume", {M, {{1 << 20, "\x0D\xD0\x01\xC0"}}}, "VMFS volume member"},
      {"VMFS", {M, {{2 << 20, "\x5E\xF1\xAB\x2F"}}}, "VMFS"},
      {"LVM2", {M, {{512, "LABELONE"}, {536, "LVM2 001"}}}, "LVM2 physical volume"},
      {"bcache", {M, {{4096 + 24, bcache}}}, "bcache"},
      {"bcachefs", {M, {{4096 + 24, bcachefs}}}, "bcachefs"},
      {"VDO", {M, {{0, "dmvdo001"}}}, "VDO"},
      {"BlueStore", {M, {{0, "bluestore block device\n"}}}, "Ceph BlueStore"},
      {"UBI", {M, {{0, "UBI#\x01"}}}, "UBI"},
      {"UBIFS", {M, {{0, "\x31\x18\x10\x06"}, {20, "\x06"}}}, "UBIFS"},
      {"UBIFS node that is no superblock", {M, {{0, "\x31\x18\x10\x06"}, {20, "\x07"}}}, nullptr},
      {"NSS", {M, {{4096, "SPB5"}}}, "NetWare NSS"},
      {"mpool", {M, {{0, "mpoolDev"}}}, "mpool"},
      {"ScoutFS", {M, {{65540, "\x8B\x42\x3C\x10"}}}, "ScoutFS"},
      {"Storage Spaces", {M, {{0, "SPACEDB "}}}, "Storage Spaces member"},
      // Windows volumes.
      {"exFAT",
       {M,
        {{0,
          "\xEB\x76\x90"
          "EXFAT   "}}},
       "exFAT"},
      {"NTFS", {M, {{3, "NTFS    "}}}, "NTFS"},
      {"ReFS", {M, {{3, std::string("ReFS\0\0\0\0", 8)}, {16, "FSRS"}}}, "ReFS"},
      {"FAT16", {M, {{0, FatBootSector("FAT16   ", 54)}}}, "FAT"},
      {"FAT32", {M, {{0, FatBootSector("FAT32   ", 82)}}}, "FAT"},
      {"FAT with 3000-byte sectors", {M, {{0, FatBootSector("FAT16   ", 54, 3000)}}}, nullptr},
      // Linux.
      {"ext2", {M, {{1080, ext}, {1100, Word(1)}}}, "ext2"},
      {"ext4", {M, {{1080, ext}, {1100, Word(1)}, {1120, Word(0x2C2)}}}, "ext4"},
      {"ext journal", {M, {{1080, ext}, {1100, Word(1)}, {1120, Word(0x8)}}}, "ext journal"},
      {"ext of revision 2", {M, {{1080, ext}, {1100, Word(2)}}}, nullptr},
      {"ext with 128 KiB blocks", {M, {{1080, ext}, {1048, Word(7)}}}, nullptr},
      {"XFS", {M, {{0, "XFSB"}}}, "XFS"},
      {"XFS log",
       {M,
        {{0, "\xFE\xED\xBA\xBE"},
         {8, BigEndianWord(2)},
         {12, BigEndianWord(512)},
         {300, BigEndianWord(1)}}},
       "XFS external log"},
      {"XFS log of IRIX",
       {M,
        {{0, "\xFE\xED\xBA\xBE"},
         {8, BigEndianWord(2)},
         {12, BigEndianWord(512)},
         {300, BigEndianWord(2)}}},
       nullptr},
      {"Btrfs", {M, {{65600, "_BHRfS_M"}}}, "Btrfs"},
      {"F2FS", {M, {{1024, Word(0xF2F52010)}}}, "F2FS"},
      {"swap, 4 KiB pages", {M, {{4086, "SWAPSPACE2"}}}, "Linux swap"},
      {"old swap", {M, {{4086, "SWAP-SPACE"}}}, "Linux swap"},
      {"swap, 64 KiB pages", {M, {{65526, "SWAPSPACE2"}}}, "Linux swap"},
      {"swap one byte early", {M, {{4085, "SWAPSPACE2"}}}, nullptr},
      {"hibernation", {M, {{16374, "S1SUSPEND"}}}, "Linux hibernation image"},
      {"TuxOnIce", {M, {{0, "\xED\xC3\x02\xE9\x98\x56\xE5\x0C"}}}, "Linux hibernation image"},
      // Apple.
      {"HFS+", {M, {{1024, std::string("H+\0\x04", 4)}, {1064, BigEndianWord(4096)}}}, "HFS+"},
      {"HFSX", {M, {{1024, std::string("HX\0\x05", 4)}, {1064, BigEndianWord(4096)}}}, "HFS+"},
      {"H+ of version 9",
       {M, {{1024, std::string("H+\0\x09", 4)}, {1064, BigEndianWord(4096)}}},
       nullptr},
      {"H+ with 1000-byte blocks",
       {M, {{1024, std::string("H+\0\x04", 4)}, {1064, BigEndianWord(1000)}}},
       nullptr},
      {"HFS", {M, {hfs.begin(), hfs.end()}}, "HFS"},
      {"HFS+ in an HFS wrapper", {M, with(hfs, {1148, "H+"})}, "HFS+"},
      {"HFS with its name 28 bytes long", {M, with(hfs, {1060, "\x1C"})}, nullptr},
      {"BD alone", {M, {{1024, "BD"}}}, nullptr},
      {"APFS", {M, {{24, Word(0x80000001)}, {32, "NXSB"}}}, "APFS"},
      {"NXSB in an object of another type", {M, {{24, Word(0x8000000B)}, {32, "NXSB"}}}, nullptr},
      // Optical, read-only and flash images.
      {"UDF", {M, {{32769, "BEA01"}, {34817, "NSR03"}, {36865, "TEA01"}}}, "UDF"},
      {"UDF, 4 KiB blocks", {M, {{32769, "BEA01"}, {36865, "NSR02"}}}, "UDF"},
      {"UDF inside ISO 9660", {M, {{32769, "CD001"}, {34817, "BEA01"}, {36865, "NSR02"}}}, "UDF"},
      {"BEA01 without NSR", {M, {{32769, "BEA01"}, {34817, "TEA01"}}}, nullptr},
      {"ISO 9660", {M, {{32769, "CD001"}}}, "ISO 9660"},
      {"High Sierra", {M, {{32777, "CDROM"}}}, "ISO 9660"},
      {"squashfs 4", {M, {{0, "hsqs"}, {28, Half(4)}}}, "squashfs"},
      {"squashfs 3", {M, {{0, "hsqs"}, {28, Half(3)}}}, "squashfs"},
      {"squashfs 3, big-endian", {M, {{0, "sqsh"}, {28, std::string("\0\x03", 2)}}}, "squashfs"},
      {"hsqs of version 9", {M, {{0, "hsqs"}, {28, Half(9)}}}, nullptr},
      {"cramfs", {M, {{0, Word(0x28CD3D45)}, {16, "Compressed ROMFS"}}}, "cramfs"},
      {"cramfs, big-endian",
       {M, {{0, BigEndianWord(0x28CD3D45)}, {16, "Compressed ROMFS"}}},
       "cramfs"},
      {"EROFS", {M, {{1024, Word(0xE0F5E1E2)}}}, "EROFS"},
      {"romfs", {M, {{0, "-rom1fs-"}}}, "romfs"},
      // Journalling and cluster file systems.
      {"JFS", {M, {{32768, "JFS1"}}}, "JFS"},
      {"ReiserFS 3.6", {M, {{65588, "ReIsEr2Fs"}}}, "ReiserFS"},
      {"ReiserFS 3.5 at 8 KiB", {M, {{8244, "ReIsErFs"}}}, "ReiserFS"},
      {"Reiser4", {M, {{65536, "ReIsEr4"}}}, "Reiser4"},
      {"NILFS2", {M, {{1024, NilfsSuperblock(false)}}}, "NILFS2"},
      {"NILFS2, bad checksum", {M, {{1024, NilfsSuperblock(true)}}}, nullptr},
      {"OCFS2 at 1 KiB", {M, {{1024, "OCFSV2"}}}, "OCFS2"},
      {"OCFS2 at 8 KiB", {M, {{8192, "OCFSV2"}}}, "OCFS2"},
      {"GFS2",
       {M,
        {{65536, BigEndianWord(0x01161970)}, {65560, BigEndianWord(1801) + BigEndianWord(1900)}}},
       "GFS2"},
      {"GFS2, format 1802",
       {M,
        {{65536, BigEndianWord(0x01161970)}, {65560, BigEndianWord(1802) + BigEndianWord(1900)}}},
       "GFS2"},
      {"GFS (the first)",
       {M,
        {{65536, BigEndianWord(0x01161970)}, {65560, BigEndianWord(1309) + BigEndianWord(1401)}}},
       nullptr},
      {"zonefs", {M, {{0, "SFOZ"}}}, "zonefs"},
      {"VxFS", {M, {{1024, Word(0xA501FCF5)}}}, "VxFS"},
      {"VxFS, HP-UX", {M, {{8192, BigEndianWord(0xA501FCF5)}}}, "VxFS"},
      {"ZFS", {M, {{16384, "\x01\x01"}, {131072 + 5 * 1024, zfsUberblock}}}, "ZFS member"},
      {"ZFS uberblock without its label", {M, {{131072, zfsUberblock}}}, nullptr},
      // Other systems' file systems.
      {"Minix 1", {M, {{1024, Minix(1)}}}, "Minix"},
      {"Minix 2", {M, {{1024, Minix(2)}}}, "Minix"},
      {"Minix 3", {M, {{1024, Minix(3)}}}, "Minix"},
      {"Minix with zones of two blocks", {M, {{1024, Minix(1, 1)}}}, nullptr},
      {"Minix 3 with zones of two blocks", {M, {{1024, Minix(3, 1)}}}, nullptr},
      {"Minix 1, big-endian", {M, {{1024, Minix(1, 0, true)}}}, "Minix"},
      {"Minix 2, big-endian", {M, {{1024, Minix(2, 0, true)}}}, "Minix"},
      {"Minix 3, big-endian", {M, {{1024, Minix(3, 0, true)}}}, "Minix"},
      {"Minix 2, big-endian, zones of two blocks", {M, {{1024, Minix(2, 1, true)}}}, nullptr},
      {"BFS", {M, {{0, Word(0x1BADFACE)}}}, "BFS"},
      {"BeFS",
       {M, {{544, Word(0x42465331)}, {580, Word(0xDD121031)}, {624, Word(0x15B6830E)}}},
       "BeFS"},
      {"BeFS, big-endian at 0",
       {M,
        {{32, BigEndianWord(0x42465331)},
         {68, BigEndianWord(0xDD121031)},
         {112, BigEndianWord(0x15B6830E)}}},
       "BeFS"},
      {"BeFS without its third magic",
       {M, {{544, Word(0x42465331)}, {580, Word(0xDD121031)}}},
       nullptr},
      {"HPFS", {M, {{8192, Word(0xF995E849)}, {8704, Word(0xF9911849)}}}, "HPFS"},
      {"HPFS without its spare block", {M, {{8192, Word(0xF995E849)}}}, nullptr},
      {"UFS 1", {M, {{8192 + 1372, Word(0x00011954)}}}, "UFS"},
      {"UFS 2, big-endian", {M, {{65536 + 1372, BigEndianWord(0x19540119)}}}, "UFS"},
      // Marks near the end need the size; a volume too small for a mark has none.
      {"LSI mark in a volume of unknown size", {0, {{M - S, "$XIDE$"}}}, nullptr},
      {"JFS mark past the end", {32770, {{32768, "JF"}}}, nullptr},
      {"DDF in a volume under 192 KiB", {0x20000, {{0x20000 - S, ddf}}}, nullptr},
  };
  for (const auto& c : cases) {
    const char* name = NameOf(c.volume);
    if (c.name == nullptr) {
      EXPECT_EQ(name, nullptr) << c.what << ": " << name;
    } else {
      EXPECT_STREQ(name, c.name) << c.what;
    }
  }
}

// Encryption turned on in a file system the table names: fscrypt's feature bit in an ext or F2FS
// superblock, and nothing for the same bit in another file system or for other bits.
TEST(FileSystemRules, EncryptionInsideTheFileSystem) {
  constexpr uint64_t M = 64 << 20;
  const std::string ext = "\x53\xEF";
  const std::string f2fs = Word(0xF2F52010);
  const struct {
    const char* what;
    MemoryVolume volume;
    const char* message;  // nullptr: no verdict
  } cases[] = {
      {"ext4 with encrypt",
       {M, {{1080, ext}, {1100, Word(1)}, {1120, Word(0x102C2)}}},
       " may hold encrypted folders: its ext4 file system has encryption turned on."},
      {"ext4", {M, {{1080, ext}, {1100, Word(1)}, {1120, Word(0x2C2)}}}, nullptr},
      {"ext3 with encrypt",
       {M, {{1080, ext}, {1100, Word(1)}, {1116, Word(0x4)}, {1120, Word(0x10002)}}},
       " may hold encrypted folders: its ext3 file system has encryption turned on."},
      {"an ext journal with the bit", {M, {{1080, ext}, {1120, Word(0x10008)}}}, nullptr},
      {"F2FS with encrypt",
       {M, {{1024, f2fs}, {3204, Word(0x1)}}},
       " may hold encrypted folders: its F2FS file system has encryption turned on."},
      {"F2FS with encrypt and more",
       {M, {{1024, f2fs}, {3204, Word(0x1009)}}},
       " may hold encrypted folders: its F2FS file system has encryption turned on."},
      {"F2FS with other features", {M, {{1024, f2fs}, {3204, Word(0x2 | 0x4 | 0x80)}}}, nullptr},
      {"XFS with ext's bit in place", {M, {{0, "XFSB"}, {1120, Word(0x10000)}}}, nullptr},
  };
  for (const auto& c : cases) {
    MemoryVolume memory = c.volume;
    DiskIO::Volume volume = VolumeOf(memory);
    const char* name = MatchFileSystem(volume);
    ASSERT_NE(name, nullptr) << c.what;
    const Module1::SectorRule* verdict = Module1::FileSystemEncryptionVerdict(volume, name);
    if (c.message == nullptr) {
      EXPECT_EQ(verdict, nullptr) << c.what;
    } else {
      ASSERT_NE(verdict, nullptr) << c.what;
      EXPECT_STREQ(verdict->kind, "fscrypt") << c.what;
      EXPECT_STREQ(verdict->message, c.message) << c.what;
    }
  }
}

// Every row over random volumes: none may match, since a random, encrypted volume named as a
// file system would be a false all-clear. Each volume's bytes are made as its sectors are read.
TEST(FileSystemRules, RandomVolumesMatchNoRow) {
  constexpr int kVolumes = 100000;
  uint64_t state = 0x9E3779B97F4A7C15u;
  auto next = [&state]() {  // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  };
  int named = 0;
  for (int n = 0; n < kVolumes; ++n) {
    DiskIO::DriveSectors sectors;
    sectors.length = (uint64_t{64} << 20) + (next() % 1024) * kSectorSize;
    sectors.read = [&next](uint64_t, uint32_t count, std::string& bytes, uint32_t&) {
      bytes.assign(size_t{count} * kSectorSize, '\0');
      for (size_t i = 0; i < bytes.size(); i += 8) {
        const uint64_t value = next();
        std::memcpy(&bytes[i], &value, 8);
      }
      return true;
    };
    DiskIO::Volume volume = DiskIO::WholeDrive(sectors);
    if (const char* name = MatchFileSystem(volume)) {
      ADD_FAILURE() << "random volume " << n << " named " << name;
      if (++named > 5) break;
    }
    if (const Module1::SectorRule* verdict = Module1::SecondaryHeaderVerdict(volume)) {
      ADD_FAILURE() << "random volume " << n << " is " << verdict->kind;
      if (++named > 5) break;
    }
  }
}

// GELI's metadata as FreeBSD's g_eli writes it at the start of the last sector (little-endian):
// magic, version, flags, encryption algorithm (AES-XTS), key length, authentication algorithm,
// provider size, sector size, keys mask, iterations, then salt and encrypted keys.
std::string GeliMetadata(uint32_t version, uint64_t providerSize) {
  std::string metadata{"GEOM::ELI\0\0\0\0\0\0\0", 16};
  metadata += Word(version) + Word(0) + Half(22) + Half(128) + Half(0);
  metadata += Word(static_cast<uint32_t>(providerSize)) + Word(0) + Word(4096) + "\x01";
  metadata += Word(0x10000) + std::string(64, '\x5A') + std::string(384, '\xC3');
  return metadata;
}

// The start of a LUKS2 secondary header that says it lies at byte `offset` (big-endian, at 256).
std::string Luks2Secondary(uint64_t offset) {
  std::string head{"SKUL\xBA\xBE\0\x02", 8};
  head.resize(256, '\0');
  for (int shift = 56; shift >= 0; shift -= 8) head += static_cast<char>((offset >> shift) & 0xFF);
  return head;
}

TEST(SecondaryHeaders, GeliInTheLastSectorThenLuks2SecondaryHeaders) {
  constexpr uint64_t kMiB = 1024 * 1024;
  const struct {
    const char* what;
    MemoryVolume memory;
    const char* kind;  // nullptr: no verdict
    size_t maxReads;
  } cases[] = {
      {"GELI version 7", {8 * kMiB, {{8 * kMiB - 512, GeliMetadata(7, 8 * kMiB)}}}, "geli", 1},
      {"GELI version 0", {8 * kMiB, {{8 * kMiB - 512, GeliMetadata(0, 8 * kMiB)}}}, "geli", 1},
      {"GELI version 8", {8 * kMiB, {{8 * kMiB - 512, GeliMetadata(8, 8 * kMiB)}}}, nullptr, 10},
      {"GELI one sector early", {8 * kMiB, {{8 * kMiB - 1024, GeliMetadata(7, 0)}}}, nullptr, 10},
      {"GELI's magic not padded", {8 * kMiB, {{8 * kMiB - 512, "GEOM::ELIX"}}}, nullptr, 10},
      {"GELI, size unknown", {0, {{8 * kMiB - 512, GeliMetadata(7, 0)}}}, nullptr, 9},
      {"LUKS2 at 16 KiB", {8 * kMiB, {{0x4000, Luks2Secondary(0x4000)}}}, "luks-damaged", 2},
      {"LUKS2 at 4 MiB", {8 * kMiB, {{0x400000, Luks2Secondary(0x400000)}}}, "luks-damaged", 10},
      {"LUKS2 at 4 MiB, size unknown",
       {0, {{0x400000, Luks2Secondary(0x400000)}}},
       "luks-damaged",
       9},
      {"LUKS2 at 16 KiB saying it lies at 32 KiB (a copy, not the volume's own)",
       {8 * kMiB, {{0x4000, Luks2Secondary(0x8000)}}},
       nullptr,
       10},
      {"LUKS2 at 64 KiB saying nothing of where it lies",
       {8 * kMiB, {{0x10000, Luks2Secondary(0).substr(0, 8)}}},
       nullptr,
       10},
      {"LUKS1's version", {8 * kMiB, {{0x4000, "SKUL\xBA\xBE\0\x01"}}}, nullptr, 10},
      {"the primary's magic",
       {8 * kMiB, {{0x4000, kLuks + std::string("\0\x02", 2)}}},
       nullptr,
       10},
      {"LUKS2 between the offsets", {8 * kMiB, {{0x6000, Luks2Secondary(0x6000)}}}, nullptr, 10},
      {"a volume too small for the far offsets", {64 * 1024, {}}, nullptr, 3},
      {"GELI wins",
       {8 * kMiB, {{0x4000, Luks2Secondary(0x4000)}, {8 * kMiB - 512, GeliMetadata(1, 0)}}},
       "geli",
       1},
  };
  for (const auto& c : cases) {
    MemoryVolume memory = c.memory;
    DiskIO::Volume volume = VolumeOf(memory);
    const Module1::SectorRule* verdict = Module1::SecondaryHeaderVerdict(volume);
    EXPECT_STREQ(verdict != nullptr ? verdict->kind : nullptr, c.kind) << c.what;
    EXPECT_LE(memory.reads.size(), c.maxReads) << c.what;
    for (const auto& [first, count] : memory.reads) EXPECT_EQ(count, 1u) << c.what;
  }
}

// A small FAT12 volume laid out as the FAT documentation gives it: 512-byte sectors, one sector a
// cluster, one reserved sector, one FAT, a one-sector root directory, data from sector 3.
class Fat12 {
 public:
  Fat12() : bytes_(100 * 512, '\0') {
    Put(0, "\xEB\x3C\x90mkfs.fat");
    Put(11, Half(512) + "\x01" + Half(1) + "\x01" + Half(16) + Half(100) + "\xF8" + Half(1));
    Put(510, "\x55\xAA");
    SetNext(0, 0xFF8);
    SetNext(1, 0xFFF);
  }
  // Writes a directory entry at slot `slot` of cluster `cluster` (0: the root directory).
  void Entry(uint32_t cluster, size_t slot, const std::string& name83, bool folder,
             uint32_t first) {
    Put(Where(cluster) + 32 * slot,
        name83 + (folder ? "\x10" : "\x20") + std::string(14, '\0') + Half(first) + Word(0));
  }
  // Writes the long name `name` (one part, at most 13 characters) before slot `slot`.
  void LongName(uint32_t cluster, size_t slot, const std::string& name, const std::string& name83,
                int checksumOffBy = 0) {
    uint8_t sum = 0;
    for (char c : name83)
      sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<uint8_t>(c));
    std::string part(32, '\0');
    const size_t at[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t i = 0; i < 13; ++i) {
      const uint16_t c = i < name.size()    ? static_cast<uint8_t>(name[i])
                         : i == name.size() ? 0
                                            : 0xFFFF;
      part.replace(at[i], 2, Half(c));
    }
    part[0] = 0x41;
    part[11] = 0x0F;
    part[13] = static_cast<char>(sum + checksumOffBy);
    Put(Where(cluster) + 32 * slot, part);
  }
  void SetNext(uint32_t cluster, uint16_t next) {
    const size_t at = 512 + cluster + cluster / 2;
    uint16_t pair = static_cast<uint8_t>(bytes_[at]) | (static_cast<uint8_t>(bytes_[at + 1]) << 8);
    pair = cluster % 2 ? static_cast<uint16_t>((pair & 0x000F) | (next << 4))
                       : static_cast<uint16_t>((pair & 0xF000) | (next & 0xFFF));
    Put(at, Half(pair));
  }
  std::vector<std::string> Loaders() const {
    const std::string& bytes = bytes_;
    const ByteSource read = [&bytes](uint64_t offset, size_t count) {
      return offset + count <= bytes.size() ? bytes.substr(offset, count) : std::string();
    };
    std::vector<std::string> kinds;
    for (const auto* rule : Module1::MatchUefiBootLoaders(read, bytes_.substr(0, 512))) {
      kinds.push_back(rule->kind);
    }
    return kinds;
  }
  std::string bytes_;

 private:
  static size_t Where(uint32_t cluster) { return cluster == 0 ? 2 * 512 : (cluster + 1) * 512; }
  void Put(size_t at, const std::string& text) { bytes_.replace(at, text.size(), text); }
};

// \EFI (cluster 2) holding VeraCrypt (3, long name) and DCS (4), each holding DcsBoot.efi.
Fat12 EspWithBothLoaders() {
  Fat12 fat;
  fat.Entry(0, 0, "EFI        ", true, 2);
  fat.LongName(2, 0, "VeraCrypt", "VERACR~1   ");
  fat.Entry(2, 1, "VERACR~1   ", true, 3);
  fat.Entry(2, 2, "DCS        ", true, 4);
  fat.Entry(3, 0, "DCSBOOT EFI", false, 5);
  fat.Entry(4, 0, "DCSBOOT EFI", false, 6);
  // \EFI's cluster full of deleted entries: its chain is followed to the end.
  for (size_t slot = 3; slot < 16; ++slot) fat.Entry(2, slot, "\xE5OLD    TXT", false, 0);
  for (uint32_t cluster = 2; cluster <= 6; ++cluster) fat.SetNext(cluster, 0xFFF);
  return fat;
}

TEST(UefiLoaderRules, FoundByNameAndNoClaimFromDamagedDirectories) {
  const std::vector<std::string> both = {"veracrypt-uefi-boot-loader",
                                         "diskcryptor-uefi-boot-loader"};
  const std::vector<std::string> diskCryptor = {"diskcryptor-uefi-boot-loader"};
  const struct {
    const char* what;
    void (*damage)(Fat12&);
    std::vector<std::string> kinds;
  } cases[] = {
      {"both loaders", [](Fat12&) {}, both},
      {"a long name whose checksum is wrong",
       [](Fat12& f) { f.LongName(2, 0, "VeraCrypt", "VERACR~1   ", 1); }, diskCryptor},
      {"\\EFI's chain runs into itself", [](Fat12& f) { f.SetNext(2, 2); }, {}},
      {"\\EFI's chain runs into a free cluster", [](Fat12& f) { f.SetNext(2, 0); }, {}},
      {"\\EFI's chain leaves the volume", [](Fat12& f) { f.SetNext(2, 0xF00); }, {}},
      {"VeraCrypt's folder is \\EFI itself",
       [](Fat12& f) { f.Entry(2, 1, "VERACR~1   ", true, 2); }, diskCryptor},
      {"both folders are one",
       [](Fat12& f) { f.Entry(2, 2, "DCS        ", true, 3); },
       {"veracrypt-uefi-boot-loader"}},
      {"the loader is a folder",
       [](Fat12& f) { f.Entry(4, 0, "DCSBOOT EFI", true, 6); },
       {"veracrypt-uefi-boot-loader"}},
      {"EFI is a file", [](Fat12& f) { f.Entry(0, 0, "EFI        ", false, 2); }, {}},
      {"EFI points at cluster 0", [](Fat12& f) { f.Entry(0, 0, "EFI        ", true, 0); }, {}},
      {"no boot signature", [](Fat12& f) { f.bytes_[510] = 0; }, {}},
      {"no FAT", [](Fat12& f) { f.bytes_[16] = 0; }, {}},
      {"sectors of 500 bytes", [](Fat12& f) { f.bytes_.replace(11, 2, Half(500)); }, {}},
  };
  for (const auto& c : cases) {
    Fat12 fat = EspWithBothLoaders();
    c.damage(fat);
    EXPECT_EQ(fat.Loaders(), c.kinds) << c.what;
  }
}

// The reads behind the table: the first 8 KiB in one read, every sector at most once, nothing
// past the budget, and a failed read never retried.
TEST(FileSystemRules, ReadsAreBoundedAndFew) {
  MemoryVolume memory{64 << 20, {}};
  DiskIO::Volume volume = VolumeOf(memory);
  EXPECT_EQ(MatchFileSystem(volume), nullptr);
  EXPECT_LE(memory.bytesRead, 256u * 1024) << "a zero volume reads little";
  for (const auto& [number, sector] : memory.sectors.held) EXPECT_EQ(sector.size(), kSectorSize);
  ASSERT_FALSE(memory.reads.empty());
  EXPECT_EQ(memory.reads[0], std::make_pair(uint64_t{0}, uint32_t{16})) << "8 KiB first";
  EXPECT_LE(memory.reads.size(), 48u);
  const size_t reads = memory.reads.size();
  EXPECT_EQ(MatchFileSystem(volume), nullptr);
  EXPECT_EQ(memory.reads.size(), reads) << "a second pass reads nothing again";

  MemoryVolume failing{64 << 20, {}};
  DiskIO::Volume broken = VolumeOf(failing, 0);
  EXPECT_EQ(MatchFileSystem(broken), nullptr);
  const size_t failedReads = failing.reads.size();
  EXPECT_EQ(DiskIO::ProbeBytes(broken, 0, 16), "");
  EXPECT_TRUE(broken.failed) << "the failure is kept, not taken for an absent mark";
  EXPECT_EQ(broken.error, 23u);
  EXPECT_EQ(failing.reads.size(), failedReads);

  MemoryVolume large{uint64_t{1} << 30, {}};
  DiskIO::Volume budget = VolumeOf(large);
  EXPECT_EQ(DiskIO::ProbeBytes(budget, 0, DiskIO::kProbeBudget + 1), "");
  EXPECT_EQ(DiskIO::ProbeBytes(budget, 0, DiskIO::kProbeBudget).size(), DiskIO::kProbeBudget);
  EXPECT_EQ(DiskIO::ProbeBytes(budget, uint64_t{512} << 20, 512), "") << "budget spent";
  EXPECT_EQ(DiskIO::ProbeEndBytes(budget, 256, 512), "") << "runs past the end";
  EXPECT_FALSE(budget.failed) << "a budget reached is no failure";
}
}  // namespace
