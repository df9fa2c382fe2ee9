// FAT12, FAT16 and FAT32 directories, read from a volume's bytes: enough to follow a path of
// folders from the root, each directory's cluster chain bounded and never followed twice.
#ifndef TVX_DISK_FAT_DIRECTORY_H_
#define TVX_DISK_FAT_DIRECTORY_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "disk/sector.h"

namespace DiskIO {

/// A FAT volume's geometry, from its boot sector.
struct FatVolume {
  int32_t bits = 0;  // 12, 16 or 32
  uint32_t bytesPerSector = 0;
  uint32_t bytesPerCluster = 0;
  uint64_t fatStart = 0;     // bytes from the volume's start
  uint64_t rootStart = 0;    // FAT12/16: the fixed root directory
  uint32_t rootBytes = 0;    // FAT12/16
  uint32_t rootCluster = 0;  // FAT32
  uint64_t dataStart = 0;    // where cluster 2 begins
  uint32_t clusterCount = 0;
};

/// One entry of a directory: its 8.3 name as "NAME.EXT" and its long name (empty when it has
/// none, or when the long name's checksum does not match), whether it is a folder, and its first
/// cluster.
struct FatEntry {
  std::string shortName;
  std::string longName;
  bool folder = false;
  uint32_t cluster = 0;
};

/// The most clusters of one directory that are read, and the most bytes.
constexpr uint32_t kMaxDirectoryClusters = 64;
constexpr uint32_t kMaxDirectoryBytes = 1024 * 1024;

/// Parses a FAT boot sector (its first 512 bytes): the boot signature, a sector size of 512 to
/// 4096 bytes, a power-of-two cluster, at least one FAT, and sizes that leave data clusters; the
/// FAT type from the cluster count. Returns false when it is no FAT boot sector.
bool ParseFatBootSector(const std::string& sector, FatVolume& fat);

/// Reads the directory whose chain begins at `cluster` (0: the root directory) through `read`,
/// at most kMaxDirectoryClusters clusters and kMaxDirectoryBytes bytes. `visited` holds the
/// clusters of chains followed so far and gets this chain's; a directory whose first cluster is
/// in it is not read again. Returns false when a read fails, a chain leaves the volume, runs into
/// a free or bad cluster or into itself, or the directory was read before.
bool ReadFatDirectory(const ByteSource& read, const FatVolume& fat, uint32_t cluster,
                      std::set<uint32_t>& visited, std::vector<FatEntry>& entries);

/// Returns the entry of `entries` whose long or 8.3 name is `name`, compared without regard to
/// ASCII case, or nullptr.
const FatEntry* FindFatEntry(const std::vector<FatEntry>& entries, const std::string& name);

}  // namespace DiskIO

#endif  // TVX_DISK_FAT_DIRECTORY_H_
