// BitLocker's FVE metadata: where its three copies lie, and what a copy says about the volume's
// key protectors and encryption state.
#ifndef TVX_DISK_BITLOCKER_METADATA_H_
#define TVX_DISK_BITLOCKER_METADATA_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/sector.h"

namespace DiskIO {

/// What one FVE metadata block says: the protection type of each volume master key entry, in
/// block order (0x0000 clear key, 0x0100 TPM, 0x0200 startup key, 0x0800 recovery password,
/// 0x2000 password, ...), and the encryption state the block header holds.
struct FveMetadata {
  std::vector<uint16_t> protections;
  uint16_t currentState = 0;
  uint16_t nextState = 0;
};

/// Returns the byte offsets, from the volume's start, of the FVE metadata blocks that the first
/// sector of a BitLocker volume names, in copy order and without zeros: BitLocker To Go's
/// ("MSWIN4.1") from byte 440, Windows Vista's (boot entry EB 52 90) one cluster number at byte
/// 56 times its cluster size, otherwise those from byte 176.
std::vector<uint64_t> FveMetadataOffsets(const SectorText& bootSector);

/// Returns the size an FVE metadata block declares for itself, its 64-byte block header and its
/// metadata, from its first bytes; 0 when its signature is not "-FVE-FS-", its version is
/// neither 1 nor 2, or its metadata is smaller than the metadata header or the whole more than
/// 64 KiB.
size_t FveBlockSize(const std::string& head);

/// Parses an FVE metadata block held in `block` (at least its declared size). Walks its entries
/// by their own sizes, up to the end of the metadata or an entry of size 0; returns false, and
/// leaves `metadata` as it was, when the block does not check out, an entry is smaller than its
/// header or runs past the metadata, or a volume master key entry is too short for its
/// protection type.
bool ParseFveBlock(const std::string& block, FveMetadata& metadata);

/// Reads the FVE metadata of a BitLocker volume whose first sector is `bootSector`: the first
/// copy that checks out, in copy order, each read as two bounded reads (its header, then its
/// declared size). Returns false when no copy can be read or checks out.
bool ReadFveMetadata(const SectorText& bootSector, const ByteSource& read, FveMetadata& metadata);

}  // namespace DiskIO

#endif  // TVX_DISK_BITLOCKER_METADATA_H_
