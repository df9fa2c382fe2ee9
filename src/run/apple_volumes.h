// FileVault: a CoreStorage physical volume whose header says its data is encrypted, and APFS
// containers holding a volume without the "unencrypted" flag.
#ifndef TVX_RUN_APPLE_VOLUMES_H_
#define TVX_RUN_APPLE_VOLUMES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "disk/sector.h"
#include "disk/volume_reader.h"
#include "run/detection_rules.h"

namespace Module1 {

/// What a volume's first sector says as a CoreStorage physical volume header.
enum class CoreStorage { kNone, kPlain, kEncrypted };

/// Reads the CoreStorage header in the first 512 bytes of `sector`: kNone unless "CS" is at 88,
/// the version is 1 and its CRC-32C checks out; kEncrypted for a physical volume header whose
/// key data is 16 bytes for AES-XTS (FileVault 2); else kPlain.
CoreStorage ReadCoreStorageHeader(const SectorText& sector);

/// What an APFS container says of its volumes' encryption.
enum class ApfsEncryption { kUnknown, kNone, kSome };

/// Reads the container superblock at block 0, its object map and, through the map's B-tree,
/// the superblock of each of its volumes (at most 100; each object read once, its Fletcher-64
/// checksum and type checked): kSome when a volume's flags lack "unencrypted", kNone when at
/// least one volume superblock was read and none is encrypted, kUnknown for a container that
/// is damaged or cannot be read.
ApfsEncryption ReadApfsEncryption(DiskIO::Volume& volume);

/// Returns kFileVaultVolume when `sector` is the header of an encrypted CoreStorage volume;
/// sets `fileSystem` to "CoreStorage" for one that is not encrypted and returns nullptr.
const SectorRule* CoreStorageVerdict(const SectorText& sector, std::string& fileSystem);

/// Returns kEncryptedApfsVolume when the file-system table named `volume` APFS (`fileSystem`)
/// and its container holds an encrypted volume; else nullptr.
const SectorRule* ApfsVerdict(DiskIO::Volume& volume, const std::string& fileSystem);

/// The Fletcher-64 checksum of an APFS object's bytes after its checksum field.
uint64_t ApfsChecksum(std::string_view object);

/// The CRC-32C (Castagnoli) of `bytes` continued from `crc`, without final inversion, as
/// CoreStorage seeds and stores it.
uint32_t Crc32c(uint32_t crc, std::string_view bytes);

}  // namespace Module1

#endif  // TVX_RUN_APPLE_VOLUMES_H_
