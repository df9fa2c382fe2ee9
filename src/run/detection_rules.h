// The detection rules, as ordered tables: the first row that matches decides. Each rule looks
// only at bytes already read, so it can be tried on a sector held in memory.
#ifndef TVX_RUN_DETECTION_RULES_H_
#define TVX_RUN_DETECTION_RULES_H_

#include <string>

#include "disk/layout.h"
#include "disk/sector.h"

namespace Module1 {

/// A rule for sector 0 of a physical drive. A row without a finding kind marks a volume boot
/// sector (a disk with no partition table): the drive yields nothing more.
struct SectorZeroRule {
  const char* kind;  // finding kind, or nullptr
  bool (*matches)(const SectorText& sector);
  const char* message;  // what follows "\r\nPhysicalDrive" n, or nullptr
};

/// A verdict on the first sector of a partition. A row without a finding kind marks an ordinary
/// boot sector: nothing more is said.
struct PartitionRule {
  const char* kind;  // finding kind, or nullptr
  bool (*matches)(const SectorText& sector);
  const char* message;  // what follows "PhysicalDrive" n ", Partition " p, or nullptr
};

/// Returns the first sector-0 rule that matches, or nullptr when sector 0 holds a partition
/// table to examine.
const SectorZeroRule* MatchSectorZero(const SectorText& sector);

/// Returns the first partition verdict that matches, or nullptr when none does and the first
/// sector says nothing about what the partition holds.
const PartitionRule* MatchPartition(const SectorText& sector);

/// The verdict for a partition that no rule and no file system explains: it may be encrypted.
extern const PartitionRule kUnexplainedPartition;

/// A file system known by its superblock, for partitions without a boot signature. All of its
/// marks must be present; `refine`, when set, names the variant from the superblock's fields.
struct FileSystemRule {
  const char* name;
  Magic marks[2];  // a mark with no bytes is no mark
  const char* (*refine)(const std::string& bytes);
};

/// Returns the name of the first file system whose marks all lie within `bytes` and match them,
/// or nullptr. `bytes` hold the partition's bytes from offset `from` on.
const char* MatchFileSystem(const std::string& bytes, size_t from);

}  // namespace Module1

#endif  // TVX_RUN_DETECTION_RULES_H_
