// The path from a vdev's labels to the pool's encryption count, in OpenZFS's on-disk format: an
// uberblock (magic 0x00BAB10C in its writer's byte order) holds the block pointer of the
// meta-object set; its first 512 bytes are the meta-dnode, whose data holds the pool's objects
// as 512-byte dnodes; object 1 is the object directory, a ZAP. Block pointers are 128 bytes:
// three DVAs (vdev, size, offset in 512-byte units from the end of the first two labels and the
// boot area), then the properties word (sizes, compression, embedded flag, byte order).
#include "disk/zfs_pool.h"

#include <algorithm>
#include <vector>

#include "base/bytes.h"
#include "disk/file_system_layout.h"
#include "disk/zfs_compression.h"

namespace DiskIO {

namespace {

using Superblock::kKiB;
using Superblock::kZfsUberblockMagic;
using Superblock::kZfsUberblockMagicBigEndian;
using Superblock::kZfsUberblocks;     // where the ring begins in a label, and its size
using Superblock::kZfsUberblockSize;  // slots are 1 KiB or a multiple of it

constexpr uint64_t kLabelBytes = 256 * kKiB;
constexpr size_t kUberblockRootPointer = 40;
constexpr int kUberblocksTried = 3;
constexpr uint64_t kDataStart = 4096 * kKiB;  // labels 0 and 1 and the boot area
constexpr size_t kPointer = 128;
constexpr size_t kDnode = 512;
constexpr size_t kDnodePointers = 64;  // where a dnode's block pointers begin
constexpr uint64_t kMaxBlock = 128 * kKiB;
constexpr int kMaxLevels = 9;
constexpr uint64_t kObjectDirectory = 1;
constexpr uint64_t kMicroZap = (uint64_t{1} << 63) + 3;
constexpr uint64_t kFatZap = (uint64_t{1} << 63) + 1;
constexpr uint64_t kZapLeaf = uint64_t{1} << 63;
constexpr uint64_t kFatZapMagic = 0x2F52AB2AB;
constexpr uint64_t kLeafMagic = 0x2AB1EAF;
constexpr uint64_t kFatZapBlocks = 64;
constexpr size_t kMicroEntry = 64;  // value, collision number, padding, a 50-byte name
constexpr size_t kLeafHeader = 48;  // then a hash table of 16-bit entries, then 24-byte chunks
constexpr size_t kLeafChunk = 24;
constexpr size_t kLeafArrayBytes = 21;
constexpr uint8_t kChunkEntry = 252;
constexpr uint8_t kChunkArray = 251;
constexpr const char* kReadableVdevTypes[] = {"disk", "file", "mirror", "replacing", "spare"};

// A block's bytes, and the byte order its writer used.
struct Block {
  std::string bytes;
  bool bigEndian = false;
};

// The device being read, and the id of the top-level vdev it belongs to.
struct Vdev {
  Volume& volume;
  uint64_t id;
};

// The data of an embedded block pointer: its payload words (all but the properties and the
// birth word), each read low byte first.
bool EmbeddedData(std::string_view pointer, bool bigEndian, uint64_t properties, Block& block) {
  if (((properties >> 40) & 0xFF) != 0) return false;  // only data is embedded plainly
  const size_t logical = (properties & 0x1FFFFFF) + 1;
  const size_t physical = ((properties >> 25) & 0x7F) + 1;
  std::string payload;
  for (size_t word = 0; word < kPointer / 8; ++word) {
    if (word == 6 || word == 10) continue;
    const uint64_t value = EndianValue(pointer, word * 8, 8, bigEndian);
    for (int byte = 0; byte < 8; ++byte) payload += static_cast<char>(value >> (8 * byte));
  }
  if (physical > payload.size() || logical > kMaxBlock) return false;
  return ZfsDecompress((properties >> 32) & 0x7F, std::string_view(payload).substr(0, physical),
                       logical, block.bytes);
}

// Reads the block that `pointer` (written in the byte order `bigEndian` names) points to, from a
// copy on this vdev (a hole reads as zeros); false for a gang block, or when no copy on this vdev
// reads and decodes.
bool ReadBlock(Vdev& vdev, std::string_view pointer, bool bigEndian, Block& block) {
  if (pointer.size() < kPointer) return false;
  const uint64_t properties = EndianValue(pointer, 6 * 8, 8, bigEndian);
  block.bigEndian = (properties >> 63) == 0;
  if ((properties >> 39) & 1) return EmbeddedData(pointer, bigEndian, properties, block);
  const uint64_t logical = ((properties & 0xFFFF) + 1) * 512;
  const uint64_t physical = (((properties >> 16) & 0xFFFF) + 1) * 512;
  if (logical > kMaxBlock || physical > kMaxBlock) return false;
  if (EndianValue(pointer, 0, 8, bigEndian) == 0 && EndianValue(pointer, 8, 8, bigEndian) == 0) {
    block.bytes.assign(logical, '\0');  // a hole: never written, all zeros
    return true;
  }
  for (size_t copy = 0; copy < 3; ++copy) {
    const uint64_t where = EndianValue(pointer, copy * 16, 8, bigEndian);
    const uint64_t offsetWord = EndianValue(pointer, copy * 16 + 8, 8, bigEndian);
    if ((where & 0xFFFFFF) == 0 || ((where >> 32) & 0xFFFFFF) != vdev.id || (offsetWord >> 63)) {
      continue;  // empty, on another vdev, or ganged
    }
    const uint64_t offset = (offsetWord & ~(uint64_t{1} << 63)) * 512;
    if (offset > UINT64_MAX - kDataStart - physical) continue;
    const std::string stored = ProbeBytes(vdev.volume, kDataStart + offset, physical);
    if (stored.size() == physical &&
        ZfsDecompress((properties >> 32) & 0x7F, stored, logical, block.bytes)) {
      return true;
    }
  }
  return false;
}

// Reads block `blockId` of the object whose dnode is `dnode`, through its indirect blocks.
bool ReadObjectBlock(Vdev& vdev, std::string_view dnode, bool bigEndian, uint64_t blockId,
                     Block& block) {
  if (dnode.size() < kDnode) return false;
  const uint8_t shift = static_cast<uint8_t>(dnode[1]);
  const int levels = static_cast<uint8_t>(dnode[2]);
  const uint64_t pointers = static_cast<uint8_t>(dnode[3]);
  if (levels < 1 || levels > kMaxLevels || pointers < 1 || pointers > 3 || shift < 10 ||
      shift > 17) {
    return false;
  }
  const int perBlock = shift - 7;  // log2 of the pointers an indirect block holds
  const int topShift = perBlock * (levels - 1);
  const uint64_t top = topShift >= 64 ? 0 : blockId >> topShift;
  if (top >= pointers) return false;
  std::string pointer(dnode.substr(kDnodePointers + top * kPointer, kPointer));
  bool pointerBigEndian = bigEndian;
  for (int level = levels - 1; level > 0; --level) {
    Block indirect;
    if (!ReadBlock(vdev, pointer, pointerBigEndian, indirect)) return false;
    const int levelShift = perBlock * (level - 1);
    const uint64_t index =
        (levelShift >= 64 ? 0 : blockId >> levelShift) & ((uint64_t{1} << perBlock) - 1);
    if ((index + 1) * kPointer > indirect.bytes.size()) return false;
    pointer = indirect.bytes.substr(index * kPointer, kPointer);
    pointerBigEndian = indirect.bigEndian;
  }
  return ReadBlock(vdev, pointer, pointerBigEndian, block);
}

// Reads the dnode of object `number` from the data of the meta-dnode `meta`.
bool ReadDnode(Vdev& vdev, const Block& meta, uint64_t number, Block& dnode) {
  const uint64_t blockSize = EndianValue(meta.bytes, 8, 2, meta.bigEndian) * 512;
  if (blockSize < kDnode || blockSize > kMaxBlock || number >= (uint64_t{1} << 48)) return false;
  const uint64_t offset = number * kDnode;
  Block block;
  if (!ReadObjectBlock(vdev, meta.bytes, meta.bigEndian, offset / blockSize, block)) return false;
  const size_t within = static_cast<size_t>(offset % blockSize);
  if (within + kDnode > block.bytes.size() || block.bytes[within] == 0) return false;
  dnode.bytes = block.bytes.substr(within, kDnode);
  dnode.bigEndian = block.bigEndian;
  return true;
}

enum class Lookup { kFound, kAbsent, kFailed };

// Collects `count` bytes of a leaf's chunk array chain from chunk `chunk`; false when the chain
// leaves the leaf, meets a chunk of another kind, or runs longer than the leaf's chunks.
bool ArrayBytes(const Block& leaf, size_t chunks, size_t chunkCount, uint64_t chunk, size_t count,
                std::string& bytes) {
  bytes.clear();
  for (size_t steps = 0; bytes.size() < count; ++steps) {
    if (chunk >= chunkCount || steps >= chunkCount) return false;
    const size_t at = chunks + chunk * kLeafChunk;
    if (static_cast<uint8_t>(leaf.bytes[at]) != kChunkArray) return false;
    bytes.append(leaf.bytes, at + 1, std::min(kLeafArrayBytes, count - bytes.size()));
    chunk = EndianValue(leaf.bytes, at + 22, 2, leaf.bigEndian);
  }
  return true;
}

// Looks for `name` among the entries of a fat ZAP leaf block.
Lookup LookUpLeaf(const Block& leaf, std::string_view name, uint64_t& value) {
  const size_t size = leaf.bytes.size();
  if (size < 512 || (size & (size - 1)) != 0 ||
      EndianValue(leaf.bytes, 0, 8, leaf.bigEndian) != kZapLeaf ||
      EndianValue(leaf.bytes, 24, 4, leaf.bigEndian) != kLeafMagic) {
    return Lookup::kFailed;
  }
  const size_t hashEntries = size / 32;
  const size_t chunks = kLeafHeader + 2 * hashEntries;
  const size_t chunkCount = (size - 2 * hashEntries) / kLeafChunk - 2;
  std::string bytes;
  for (size_t chunk = 0; chunk < chunkCount; ++chunk) {
    const size_t at = chunks + chunk * kLeafChunk;
    if (static_cast<uint8_t>(leaf.bytes[at]) != kChunkEntry ||
        EndianValue(leaf.bytes, at + 6, 2, leaf.bigEndian) != name.size() + 1 ||
        !ArrayBytes(leaf, chunks, chunkCount, EndianValue(leaf.bytes, at + 4, 2, leaf.bigEndian),
                    name.size() + 1, bytes) ||
        bytes != std::string(name) + '\0') {
      continue;
    }
    if (static_cast<uint8_t>(leaf.bytes[at + 1]) != 8 ||
        EndianValue(leaf.bytes, at + 10, 2, leaf.bigEndian) != 1 ||
        !ArrayBytes(leaf, chunks, chunkCount, EndianValue(leaf.bytes, at + 8, 2, leaf.bigEndian), 8,
                    bytes)) {
      return Lookup::kFailed;
    }
    value = BigEndianValue(bytes, 0, 8);  // values in leaf arrays are kept big-endian
    return Lookup::kFound;
  }
  return Lookup::kAbsent;
}

// Looks up `name` in the ZAP object whose dnode is `dnode`: a micro ZAP in one block, or the
// leaves of a fat ZAP among its first blocks.
Lookup LookUpZap(Vdev& vdev, const Block& dnode, std::string_view name, uint64_t& value) {
  Block first;
  if (!ReadObjectBlock(vdev, dnode.bytes, dnode.bigEndian, 0, first)) return Lookup::kFailed;
  const uint64_t type = EndianValue(first.bytes, 0, 8, first.bigEndian);
  if (type == kMicroZap) {
    for (size_t at = kMicroEntry; at + kMicroEntry <= first.bytes.size(); at += kMicroEntry) {
      const std::string_view field = std::string_view(first.bytes).substr(at + 14, 50);
      const size_t end = field.find('\0');
      if (end != std::string_view::npos && field.substr(0, end) == name) {
        value = EndianValue(first.bytes, at, 8, first.bigEndian);
        return Lookup::kFound;
      }
    }
    return Lookup::kAbsent;
  }
  if (type != kFatZap || EndianValue(first.bytes, 8, 8, first.bigEndian) != kFatZapMagic) {
    return Lookup::kFailed;
  }
  const uint64_t lastBlock =
      std::min(EndianValue(dnode.bytes, 16, 8, dnode.bigEndian), kFatZapBlocks);
  for (uint64_t number = 1; number <= lastBlock; ++number) {
    Block block;
    if (!ReadObjectBlock(vdev, dnode.bytes, dnode.bigEndian, number, block)) return Lookup::kFailed;
    if (EndianValue(block.bytes, 0, 8, block.bigEndian) != kZapLeaf) continue;  // the pointer table
    const Lookup found = LookUpLeaf(block, name, value);
    if (found != Lookup::kAbsent) return found;
  }
  return Lookup::kAbsent;
}

// Follows the uberblock's root pointer to the encryption count.
ZfsEncryption FollowUberblock(Vdev& vdev, std::string_view root, bool bigEndian) {
  Block objectSet, directory, features;
  uint64_t featuresObject = 0, count = 0;
  if (!ReadBlock(vdev, root, bigEndian, objectSet) || objectSet.bytes.size() < kDnode) {
    return ZfsEncryption::kUnknown;
  }
  objectSet.bytes.resize(kDnode);  // the meta-dnode
  if (!ReadDnode(vdev, objectSet, kObjectDirectory, directory) ||
      LookUpZap(vdev, directory, "features_for_read", featuresObject) != Lookup::kFound ||
      !ReadDnode(vdev, objectSet, featuresObject, features)) {
    return ZfsEncryption::kUnknown;
  }
  switch (LookUpZap(vdev, features, kZfsEncryptionFeature, count)) {
    case Lookup::kFound:
      return count > 0 ? ZfsEncryption::kEncrypted : ZfsEncryption::kNone;
    case Lookup::kAbsent:
      return ZfsEncryption::kNone;
    case Lookup::kFailed:
      break;
  }
  return ZfsEncryption::kUnknown;
}

// Reads the configuration of the label at byte `start`; false when it does not parse.
bool ReadLabel(Volume& volume, uint64_t start, ZfsLabel& label) {
  const std::string packed =
      ProbeBytes(volume, start + kZfsLabelConfigOffset, kZfsLabelConfigBytes);
  return ParseZfsLabel(packed, label);
}

}  // namespace

ZfsEncryption ReadZfsEncryption(Volume& volume) {
  ZfsLabel label;
  uint64_t start = 0;
  const uint64_t aligned = volume.size & ~(kLabelBytes - 1);
  if (!ReadLabel(volume, start, label)) {
    if (aligned < kDataStart + 2 * kLabelBytes) return ZfsEncryption::kUnknown;
    start = aligned - 2 * kLabelBytes;
    if (!ReadLabel(volume, start, label)) return ZfsEncryption::kUnknown;
  }
  if (label.version < kZfsFeaturesVersion) return ZfsEncryption::kNone;
  if (std::find(label.featuresForRead.begin(), label.featuresForRead.end(),
                kZfsEncryptionFeature) != label.featuresForRead.end()) {
    return ZfsEncryption::kEncrypted;
  }
  if (std::find(std::begin(kReadableVdevTypes), std::end(kReadableVdevTypes), label.topVdevType) ==
      std::end(kReadableVdevTypes)) {
    return ZfsEncryption::kUnknown;
  }
  const std::string ring = ProbeBytes(volume, start + kZfsUberblocks, kZfsUberblocks);
  struct Candidate {
    uint64_t txg;
    size_t at;
    bool bigEndian;
  };
  std::vector<Candidate> candidates;
  for (size_t at = 0; at + kZfsUberblockSize <= ring.size(); at += kZfsUberblockSize) {
    const std::string_view magic = std::string_view(ring).substr(at, 8);
    const bool little = magic == kZfsUberblockMagic;
    if (little || magic == kZfsUberblockMagicBigEndian) {
      candidates.push_back({EndianValue(ring, at + 16, 8, !little), at, !little});
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.txg > b.txg; });
  Vdev vdev{volume, label.topVdevId};
  for (size_t i = 0; i < candidates.size() && i < kUberblocksTried; ++i) {
    const std::string_view root =
        std::string_view(ring).substr(candidates[i].at + kUberblockRootPointer, kPointer);
    const ZfsEncryption found = FollowUberblock(vdev, root, candidates[i].bigEndian);
    if (found != ZfsEncryption::kUnknown) return found;
  }
  return ZfsEncryption::kUnknown;
}

}  // namespace DiskIO
