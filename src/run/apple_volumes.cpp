#include "run/apple_volumes.h"

#include <string>

#include "base/bytes.h"
#include "disk/apple_layout.h"

namespace Module1 {

namespace {

uint64_t Value(std::string_view bytes, Field field) {
  return LittleEndianValue(bytes, field.offset, field.length);
}

// The block size and count of a container, and the transaction of its superblock.
struct Container {
  uint64_t blockSize;
  uint64_t blockCount;
  uint64_t transaction;
};

// Returns the object at `block` when it lies in the container, reads, checks out and has the
// type `type` (or `otherType`); else an empty text.
std::string ReadObject(DiskIO::Volume& volume, const Container& container, uint64_t block,
                       uint32_t type, uint32_t otherType = 0) {
  if (block == 0 || block >= container.blockCount) return "";
  const std::string object =
      DiskIO::ProbeBytes(volume, block * container.blockSize, container.blockSize);
  if (object.size() != container.blockSize ||
      ApfsChecksum(object) != Value(object, ApfsObject::kChecksum)) {
    return "";
  }
  const uint64_t found = Value(object, ApfsObject::kType) & ApfsObject::kTypeMask;
  return found == type || (otherType != 0 && found == otherType) ? object : "";
}

// Returns the block that the object map's B-tree, rooted at `root`, gives the newest version
// of object `id` no newer than the container's transaction, or 0 when it has none or a node
// does not check out.
uint64_t LookUp(DiskIO::Volume& volume, const Container& container, uint64_t root, uint64_t id) {
  using namespace ApfsNode;
  uint64_t block = root;
  for (uint32_t depth = 0; depth < kMaxDepth; ++depth) {
    const std::string node =
        ReadObject(volume, container, block, ApfsObject::kBtreeRoot, ApfsObject::kBtreeNode);
    if (node.empty() || (Value(node, kFlags) & kFixedSize) == 0) return 0;
    const bool leaf = Value(node, kLevel) == 0;
    const size_t table = kData + Value(node, kTableOffset);
    const size_t keys = table + Value(node, kTableLength);
    const size_t valuesEnd = node.size() - ((Value(node, kFlags) & kRoot) ? kTreeInfo : 0);
    const uint64_t count = Value(node, kKeyCount);
    if (keys > valuesEnd || count > (keys - table) / kEntry) return 0;
    uint64_t found = 0, foundTransaction = 0;
    bool any = false;
    for (uint64_t i = 0; i < count; ++i) {
      const size_t entry = table + i * kEntry;
      const size_t key = keys + LittleEndianValue(node, entry, 2);
      const uint64_t valueBack = LittleEndianValue(node, entry + 2, 2);
      const size_t valueSize = leaf ? kValueSize : 8;
      if (key + kKeySize > valuesEnd || valueBack > valuesEnd || valueBack < valueSize) return 0;
      const size_t value = valuesEnd - valueBack;
      const uint64_t keyId = LittleEndianValue(node, key, 8);
      const uint64_t keyTransaction = LittleEndianValue(node, key + 8, 8);
      if (keyTransaction > container.transaction) continue;
      if (leaf) {
        if (keyId == id && (!any || keyTransaction >= foundTransaction)) {
          found = LittleEndianValue(node, value + kValueBlock, 8);
          foundTransaction = keyTransaction;
          any = true;
        }
      } else if (keyId <= id) {
        found = LittleEndianValue(node, value, 8);  // keys are in order: the last that fits
        any = true;
      }
    }
    if (leaf || !any) return any ? found : 0;
    block = found;
  }
  return 0;
}

// True when `block` is a container superblock of `blockSize` bytes that checks out.
bool IsContainerSuperblock(std::string_view block, uint64_t blockSize) {
  return block.size() == blockSize && ApfsChecksum(block) == Value(block, ApfsObject::kChecksum) &&
         (Value(block, ApfsObject::kType) & ApfsObject::kTypeMask) ==
             ApfsObject::kContainerSuperblock &&
         block.substr(ApfsContainer::kMagic.offset, 4) == Signature::kApfsContainer &&
         Value(block, ApfsContainer::kBlockSize) == blockSize;
}

// Returns the container superblock of the newest transaction: `first` (block 0), or a newer one
// in the contiguous checkpoint descriptor area it names (at most kMaxCheckpointBlocks blocks,
// read once).
std::string NewestSuperblock(DiskIO::Volume& volume, const std::string& first) {
  using namespace ApfsContainer;
  const uint64_t blockSize = first.size();
  const uint64_t blocks = Value(first, kCheckpointBlocks);
  const uint64_t base = Value(first, kCheckpointBase);
  if ((blocks & kNotContiguous) != 0 || blocks == 0 || blocks > kMaxCheckpointBlocks || base == 0 ||
      base + blocks > Value(first, kBlockCount)) {
    return first;
  }
  const std::string area = DiskIO::ProbeBytes(volume, base * blockSize, blocks * blockSize);
  std::string newest = first;
  for (uint64_t i = 0; i < blocks && !area.empty(); ++i) {
    const std::string_view block = std::string_view(area).substr(i * blockSize, blockSize);
    if (IsContainerSuperblock(block, blockSize) &&
        Value(block, ApfsObject::kTransaction) > Value(newest, ApfsObject::kTransaction)) {
      newest = std::string(block);
    }
  }
  return newest;
}

}  // namespace

uint32_t Crc32c(uint32_t crc, std::string_view bytes) {
  for (char c : bytes) {
    crc ^= static_cast<uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
  }
  return crc;
}

uint64_t ApfsChecksum(std::string_view object) {
  constexpr uint64_t kModulus = 0xFFFFFFFF;
  uint64_t sum1 = 0, sum2 = 0;
  for (size_t at = ApfsObject::kChecksum.length; at + 4 <= object.size(); at += 4) {
    sum1 = (sum1 + LittleEndianValue(object, at, 4)) % kModulus;
    sum2 = (sum2 + sum1) % kModulus;
  }
  const uint64_t check1 = kModulus - ((sum1 + sum2) % kModulus);
  const uint64_t check2 = kModulus - ((sum1 + check1) % kModulus);
  return (check2 << 32) | check1;
}

CoreStorage ReadCoreStorageHeader(const SectorText& sector) {
  using namespace CoreStorageHeader;
  if (sector.size() < kSize || FieldText(sector, kSignature) != kMagic ||
      Value(sector, kVersion) != 1 || Value(sector, kChecksumAlgorithm) != 1) {
    return CoreStorage::kNone;
  }
  const std::string_view covered = std::string_view(sector).substr(8, kSize - 8);
  if (Crc32c(static_cast<uint32_t>(Value(sector, kChecksumSeed)), covered) !=
      Value(sector, kChecksum)) {
    return CoreStorage::kNone;
  }
  const bool encrypted = Value(sector, kBlockType) == kPhysicalVolume &&
                         Value(sector, kKeyDataSize) == 16 && Value(sector, kCipher) == kAesXts;
  return encrypted ? CoreStorage::kEncrypted : CoreStorage::kPlain;
}

const SectorRule* CoreStorageVerdict(const SectorText& sector, std::string& fileSystem) {
  const CoreStorage kind = ReadCoreStorageHeader(sector);
  if (kind == CoreStorage::kEncrypted) return &kFileVaultVolume;
  if (kind == CoreStorage::kPlain) fileSystem = "CoreStorage";
  return nullptr;
}

const SectorRule* ApfsVerdict(DiskIO::Volume& volume, const std::string& fileSystem) {
  if (fileSystem == "APFS" && ReadApfsEncryption(volume) == ApfsEncryption::kSome) {
    return &kEncryptedApfsVolume;
  }
  return nullptr;
}

ApfsEncryption ReadApfsEncryption(DiskIO::Volume& volume) {
  using namespace ApfsContainer;
  const std::string head = DiskIO::ProbeBytes(volume, 0, kMinBlockSize);
  const uint64_t blockSize = Value(head, kBlockSize);
  if (FieldText(head, kMagic) != Signature::kApfsContainer || blockSize < kMinBlockSize ||
      blockSize > kMaxBlockSize || (blockSize & (blockSize - 1)) != 0) {
    return ApfsEncryption::kUnknown;
  }
  const std::string first = DiskIO::ProbeBytes(volume, 0, blockSize);
  if (!IsContainerSuperblock(first, blockSize)) return ApfsEncryption::kUnknown;
  // Block 0 may be an older copy: the newest superblock that checks out in the checkpoint
  // descriptor area stands in for it.
  const std::string superblock = NewestSuperblock(volume, first);
  const Container container{blockSize, Value(superblock, kBlockCount),
                            Value(superblock, ApfsObject::kTransaction)};
  const std::string map =
      ReadObject(volume, container, Value(superblock, kObjectMap), ApfsObject::kObjectMap);
  if (map.empty()) return ApfsEncryption::kUnknown;
  const uint64_t tree = Value(map, ApfsObjectMap::kTree);
  uint64_t volumes = Value(superblock, kMaxVolumes);
  if (volumes > kMaxVolumeIds) volumes = kMaxVolumeIds;
  bool anyRead = false;
  for (uint64_t i = 0; i < volumes; ++i) {
    const uint64_t id = LittleEndianValue(superblock, kVolumeIds + 8 * i, 8);
    if (id == 0) continue;
    const uint64_t block = LookUp(volume, container, tree, id);
    const std::string sb = ReadObject(volume, container, block, ApfsObject::kVolumeSuperblock);
    if (sb.empty() || FieldText(sb, ApfsVolume::kMagic) != Signature::kApfsVolume) continue;
    if ((Value(sb, ApfsVolume::kFlags) & ApfsVolume::kUnencrypted) == 0) {
      return ApfsEncryption::kSome;
    }
    anyRead = true;
  }
  return anyRead ? ApfsEncryption::kNone : ApfsEncryption::kUnknown;
}

}  // namespace Module1
