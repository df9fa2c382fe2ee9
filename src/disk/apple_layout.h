// Apple's volume formats as their public descriptions give them: the CoreStorage physical volume
// header (FileVault 2 on macOS 10.7 to 10.12) and the APFS container and volume superblocks, its
// object map and B-tree nodes (Apple File System Reference). All numbers are little-endian.
#ifndef TVX_DISK_APPLE_LAYOUT_H_
#define TVX_DISK_APPLE_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "disk/layout.h"

/// The CoreStorage physical volume header, in the volume's first 512 bytes. Its CRC-32C (seed
/// at 4, value at 0) covers bytes 8 to 511.
namespace CoreStorageHeader {
constexpr Field kChecksum{0, 4};
constexpr Field kChecksumSeed{4, 4};
constexpr Field kVersion{8, 2};             // 1
constexpr Field kBlockType{10, 2};          // 0x10 for a physical volume header
constexpr Field kSignature{88, 2};          // "CS"
constexpr Field kChecksumAlgorithm{90, 4};  // 1: CRC-32C
constexpr Field kKeyDataSize{168, 4};       // 16 when the volume is encrypted
constexpr Field kCipher{172, 4};            // 2: AES-XTS
constexpr size_t kSize = 512;
constexpr std::string_view kMagic = "CS";
constexpr uint32_t kPhysicalVolume = 0x10;
constexpr uint32_t kAesXts = 2;
}  // namespace CoreStorageHeader

/// Every APFS object begins with this header; its Fletcher-64 checksum covers the rest of the
/// object's block.
namespace ApfsObject {
constexpr Field kChecksum{0, 8};
constexpr Field kId{8, 8};
constexpr Field kTransaction{16, 8};
constexpr Field kType{24, 4};  // the low 16 bits name the type
constexpr uint32_t kTypeMask = 0xFFFF;
constexpr uint32_t kContainerSuperblock = 0x1;
constexpr uint32_t kBtreeRoot = 0x2;
constexpr uint32_t kBtreeNode = 0x3;
constexpr uint32_t kObjectMap = 0xB;
constexpr uint32_t kVolumeSuperblock = 0xD;
}  // namespace ApfsObject

/// The container superblock, at block 0.
namespace ApfsContainer {
constexpr Field kMagic{32, 4};  // "NXSB"
constexpr Field kBlockSize{36, 4};
constexpr Field kBlockCount{40, 8};
constexpr Field kCheckpointBlocks{104, 4};  // the descriptor area's length; top bit: not contiguous
constexpr Field kCheckpointBase{112, 8};    // its first block
constexpr uint32_t kNotContiguous = 0x80000000;
constexpr uint32_t kMaxCheckpointBlocks = 64;  // more are not looked through
constexpr Field kObjectMap{160, 8};            // physical block of the container's object map
constexpr Field kMaxVolumes{180, 4};
constexpr size_t kVolumeIds = 184;  // up to 100 virtual object ids, 8 bytes each
constexpr size_t kMaxVolumeIds = 100;
constexpr uint32_t kMinBlockSize = 4096;
constexpr uint32_t kMaxBlockSize = 65536;
}  // namespace ApfsContainer

/// The object map: its B-tree maps virtual object ids (and transactions) to blocks.
namespace ApfsObjectMap {
constexpr Field kTree{48, 8};  // physical block of the tree's root node
}  // namespace ApfsObjectMap

/// A B-tree node of the object map: fixed-size keys (id, transaction) and values (flags, size,
/// block), a table of contents of 16-bit key and value offsets, keys after the table, values
/// counted back from the end of the node (less the tree's 40-byte information at a root).
namespace ApfsNode {
constexpr Field kFlags{32, 2};
constexpr Field kLevel{34, 2};
constexpr Field kKeyCount{36, 4};
constexpr Field kTableOffset{40, 2};
constexpr Field kTableLength{42, 2};
constexpr size_t kData = 56;
constexpr uint16_t kRoot = 0x1;
constexpr uint16_t kFixedSize = 0x4;
constexpr size_t kTreeInfo = 40;
constexpr size_t kEntry = 4;       // key offset, value offset
constexpr size_t kKeySize = 16;    // object id, transaction
constexpr size_t kValueSize = 16;  // flags, size, block
constexpr size_t kValueBlock = 8;  // where the block lies in a leaf's value
constexpr uint32_t kMaxDepth = 8;
}  // namespace ApfsNode

/// A volume superblock.
namespace ApfsVolume {
constexpr Field kMagic{32, 4};  // "APSB"
constexpr Field kFlags{264, 8};
constexpr uint64_t kUnencrypted = 0x1;
}  // namespace ApfsVolume

namespace Signature {
inline constexpr std::string_view kApfsContainer = "NXSB";
inline constexpr std::string_view kApfsVolume = "APSB";
}  // namespace Signature

#endif  // TVX_DISK_APPLE_LAYOUT_H_
