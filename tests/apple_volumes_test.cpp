// FileVault on a Mac: CoreStorage headers and APFS containers built from their published layouts,
// whole and damaged, as the scans read them.
#include "run/apple_volumes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Module1::ApfsChecksum;
using Module1::ApfsEncryption;
using Module1::CoreStorage;
using Module1::Crc32c;
using Module1::ReadApfsEncryption;
using Module1::ReadCoreStorageHeader;

void Put(std::string& bytes, size_t offset, uint64_t value, size_t length) {
  for (size_t i = 0; i < length; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}

// A CoreStorage physical volume header: version `version`, AES-XTS key data when `encrypted`,
// its CRC-32C right unless `damaged`.
std::string CoreStorageSector(bool encrypted, uint16_t version = 1, bool damaged = false) {
  std::string sector(512, '\0');
  Put(sector, 8, version, 2);
  Put(sector, 10, 0x10, 2);
  sector.replace(88, 2, "CS");
  Put(sector, 90, 1, 4);
  Put(sector, 96, 4096, 4);
  Put(sector, 168, encrypted ? 16 : 0, 4);
  Put(sector, 172, encrypted ? 2 : 0, 4);
  Put(sector, 4, 0xFFFFFFFF, 4);
  Put(sector, 0, Crc32c(0xFFFFFFFF, sector.substr(8)) + (damaged ? 1 : 0), 4);
  return sector;
}

TEST(CoreStorage, HeadersByTheirFields) {
  EXPECT_EQ(Crc32c(0xFFFFFFFF, "123456789") ^ 0xFFFFFFFF, 0xE3069283u);  // the CRC-32C check value
  const struct {
    const char* what;
    std::string sector;
    CoreStorage kind;
  } cases[] = {
      {"FileVault 2", CoreStorageSector(true), CoreStorage::kEncrypted},
      {"not encrypted", CoreStorageSector(false), CoreStorage::kPlain},
      {"version 2", CoreStorageSector(true, 2), CoreStorage::kNone},
      {"a damaged checksum", CoreStorageSector(true, 1, true), CoreStorage::kNone},
      {"cut short", CoreStorageSector(true).substr(0, 511), CoreStorage::kNone},
      {"zeros", std::string(512, '\0'), CoreStorage::kNone},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadCoreStorageHeader(c.sector), c.kind) << c.what;
}

constexpr uint64_t kBlock = 4096;

// An APFS container of 16 blocks: the superblock (block 0), its object map (1), the map's
// B-tree root (2) and one volume superblock per entry of `flags` (from block 3, virtual ids from
// 1026), each with those volume flags. Every object's checksum is set.
struct Apfs {
  std::vector<std::string> blocks;

  explicit Apfs(const std::vector<uint64_t>& flags) : blocks(16, std::string(kBlock, '\0')) {
    std::string& sb = blocks[0];
    Put(sb, 8, 1, 8);
    Put(sb, 16, 7, 8);  // transaction
    Put(sb, 24, 0x80000001, 4);
    sb.replace(32, 4, "NXSB");
    Put(sb, 36, kBlock, 4);
    Put(sb, 40, blocks.size(), 8);
    Put(sb, 160, 1, 8);
    Put(sb, 180, 100, 4);
    Put(blocks[1], 24, 0x4000000B, 4);
    Put(blocks[1], 48, 2, 8);
    std::string& node = blocks[2];
    Put(node, 24, 0x40000002, 4);
    Put(node, 32, 0x7, 2);  // root, leaf, fixed-size entries
    Put(node, 36, flags.size(), 4);
    Put(node, 42, 4 * flags.size(), 2);
    const size_t keys = 56 + 4 * flags.size();
    const size_t valuesEnd = kBlock - 40;
    for (size_t i = 0; i < flags.size(); ++i) {
      Put(sb, 184 + 8 * i, 1026 + i, 8);
      Put(node, 56 + 4 * i, 16 * i, 2);
      Put(node, 58 + 4 * i, 16 * (i + 1), 2);
      Put(node, keys + 16 * i, 1026 + i, 8);
      Put(node, keys + 16 * i + 8, 5, 8);
      Put(node, valuesEnd - 16 * (i + 1) + 8, 3 + i, 8);
      std::string& volume = blocks[3 + i];
      Put(volume, 24, 0xD, 4);
      volume.replace(32, 4, "APSB");
      Put(volume, 264, flags[i], 8);
    }
    Seal();
  }

  void Seal() {
    for (std::string& block : blocks) {
      if (block.find_first_not_of('\0') != std::string::npos) Put(block, 0, ApfsChecksum(block), 8);
    }
  }

  // The container as the sectors of a drive of its own.
  DiskIO::DriveSectors AsDrive() const {
    DiskIO::DriveSectors drive;
    drive.length = blocks.size() * kBlock;
    std::string image;
    for (const std::string& block : blocks) image += block;
    drive.read = [image](uint64_t first, uint32_t count, std::string& bytes, uint32_t&) {
      bytes = image.substr(first * 512, uint64_t{count} * 512);
      bytes.resize(uint64_t{count} * 512, '\0');
      return true;
    };
    return drive;
  }
};

ApfsEncryption EncryptionOf(const Apfs& apfs) {
  DiskIO::DriveSectors drive = apfs.AsDrive();
  DiskIO::Volume volume = DiskIO::WholeDrive(drive);
  return ReadApfsEncryption(volume);
}

TEST(ApfsContainers, EncryptedVolumesAreFound) {
  constexpr uint64_t kUnencrypted = 0x1;
  EXPECT_EQ(EncryptionOf(Apfs({kUnencrypted})), ApfsEncryption::kNone);
  EXPECT_EQ(EncryptionOf(Apfs({kUnencrypted, 0x0})), ApfsEncryption::kSome);
  EXPECT_EQ(EncryptionOf(Apfs({0x8})), ApfsEncryption::kSome);
  EXPECT_EQ(EncryptionOf(Apfs({})), ApfsEncryption::kUnknown);

  // A newer mapping of the volume, from a later transaction than the superblock's, is not used.
  Apfs later({kUnencrypted});
  Put(later.blocks[2], 56 + 4 + 8, 9, 8);
  later.Seal();
  EXPECT_EQ(EncryptionOf(later), ApfsEncryption::kUnknown);
}

// Block 0 may be an older copy of the superblock: the newest one in the checkpoint area, here
// written after FileVault was turned on, decides.
TEST(ApfsContainers, TheNewestCheckpointDecides) {
  constexpr uint64_t kUnencrypted = 0x1;
  Apfs apfs({kUnencrypted});
  Put(apfs.blocks[0], 104, 2, 4);   // two descriptor blocks ...
  Put(apfs.blocks[0], 112, 12, 8);  // ... from block 12
  std::string newer = apfs.blocks[0];
  Put(newer, 16, 9, 8);    // transaction 9
  Put(newer, 160, 10, 8);  // its object map at block 10
  apfs.blocks[10] = apfs.blocks[1];
  Put(apfs.blocks[10], 48, 11, 8);  // its tree at block 11
  apfs.blocks[11] = apfs.blocks[2];
  Put(apfs.blocks[11], 56 + 4 + 8, 8, 8);            // the volume in transaction 8 ...
  Put(apfs.blocks[11], kBlock - 40 - 16 + 8, 9, 8);  // ... at block 9
  apfs.blocks[9] = apfs.blocks[3];
  Put(apfs.blocks[9], 264, 0x0, 8);  // encrypted now
  apfs.blocks[13] = newer;
  apfs.Seal();
  EXPECT_EQ(EncryptionOf(apfs), ApfsEncryption::kSome);

  // The same newer superblock, damaged, leaves block 0's older answer.
  Put(apfs.blocks[13], 300, 1, 1);
  EXPECT_EQ(EncryptionOf(apfs), ApfsEncryption::kNone);
}

// Damage anywhere on the way to the volumes leaves the encryption unknown: no claim either way.
TEST(ApfsContainers, DamagedContainersMakeNoClaim) {
  const struct {
    const char* what;
    size_t block;
    size_t offset;
    uint64_t value;
    size_t length;
    bool reseal;
  } cases[] = {
      {"superblock checksum", 0, 100, 1, 1, false},
      {"object map checksum", 1, 100, 1, 1, false},
      {"node checksum", 2, 100, 1, 1, false},
      {"volume superblock checksum", 3, 264, 1, 1, false},
      {"block size 512", 0, 36, 512, 4, true},
      {"object map past the container", 0, 160, 99, 8, true},
      {"object map at block 0", 0, 160, 0, 8, true},
      {"object map of another type", 1, 24, 0x4000000C, 4, true},
      {"tree pointing at itself as a branch", 2, 34, 1, 2, true},
      {"key count beyond the table", 2, 36, 5000, 4, true},
      {"table past the node", 2, 42, 0xFFFF, 2, true},
      {"value offset past the node", 2, 58, 0xFFFF, 2, true},
      {"volume without APSB", 3, 32, 0, 4, true},
      {"volume block past the container", 2, kBlock - 40 - 16 + 8, 1 << 20, 8, true},
  };
  for (const auto& c : cases) {
    Apfs apfs({0x0});
    Put(apfs.blocks[c.block], c.offset, c.value, c.length);
    if (c.reseal) apfs.Seal();
    EXPECT_EQ(EncryptionOf(apfs), ApfsEncryption::kUnknown) << c.what;
  }
}

// Random damage to the objects, their checksums made right again so that every field is read:
// no crash, no read outside the container (the sanitizer build watches), and an answer.
TEST(ApfsContainers, RandomDamageIsSurvived) {
  uint32_t state = 12345;
  auto next = [&state]() { return state = state * 1103515245u + 12345u; };
  for (int round = 0; round < 3000; ++round) {
    Apfs apfs({0x1, 0x0, 0x1});
    const std::string original = apfs.blocks[0];
    for (int change = 0; change < 1 + round % 4; ++change) {
      const size_t block = next() % 6;
      // Mostly the header fields and the B-tree's table, where damage matters most.
      const size_t offset = (next() % 2) ? next() % 320 : next() % kBlock;
      apfs.blocks[block][offset] = static_cast<char>(next() >> 16);
    }
    const bool sealed = round % 2 == 0;
    if (sealed) apfs.Seal();
    const ApfsEncryption result = EncryptionOf(apfs);
    // A container superblock whose checksum no longer matches makes no claim either way.
    if (!sealed && apfs.blocks[0].substr(8) != original.substr(8)) {
      EXPECT_EQ(result, ApfsEncryption::kUnknown) << "round " << round;
    }
  }
}

}  // namespace
