// The detection rules, as ordered tables: the first row that matches decides. Each rule looks
// only at bytes already read, so it can be tried on a sector held in memory.
#ifndef TVX_RUN_DETECTION_RULES_H_
#define TVX_RUN_DETECTION_RULES_H_

#include <string>
#include <string_view>

#include "disk/layout.h"
#include "disk/sector.h"
#include "disk/volume_reader.h"

namespace Module1 {

/// How a mark is looked for in its field.
enum class MarkTest {
  kIs,      // the field holds exactly the mark's bytes
  kBegins,  // the field begins with them
  kHolds,   // they occur anywhere within the field
};

/// A mark in a sector: a field, the bytes looked for there, and how. A mark with no bytes is no
/// mark. A field that runs past the end of what was read is cut there, so it can never match
/// bytes that were not read.
struct SectorMark {
  Field field;
  MarkTest test;
  std::string_view bytes;
};

/// A row of a sector table: it matches when every one of its marks does. Its finding says
/// `message` after the place's name ("PhysicalDrive" n, or "PhysicalDrive" n ", Partition " p),
/// with "\n" between lines. A row without a finding kind says nothing: in sector 0 it marks a
/// volume boot sector (a disk with no partition table), for a partition an ordinary boot sector.
struct SectorRule {
  const char* kind;  // finding kind, or nullptr
  SectorMark marks[2];
  const char* message;  // or nullptr
};

using SectorZeroRule = SectorRule;
using PartitionRule = SectorRule;

/// True when `mark` is found in `sector` as its test says.
bool MarkMatches(const SectorText& sector, const SectorMark& mark);

/// Returns the first sector-0 rule that matches, or nullptr when sector 0 holds a partition
/// table to examine.
const SectorZeroRule* MatchSectorZero(const SectorText& sector);

/// Returns the first partition verdict that matches, or nullptr when none does and the first
/// sector says nothing about what the partition holds.
const PartitionRule* MatchPartition(const SectorText& sector);

/// The verdicts for a partition, and for a disk without a partition table, that nothing
/// explains: it may be encrypted.
extern const PartitionRule kUnexplainedPartition;
extern const SectorRule kUnpartitionedDisk;

/// The verdicts for a CoreStorage volume whose header says it is encrypted (FileVault 2), and
/// for an APFS container that holds an encrypted volume (FileVault on APFS); for a partition or
/// a whole disk alike.
extern const SectorRule kFileVaultVolume;
extern const SectorRule kEncryptedApfsVolume;

/// The verdicts for a volume known by metadata away from its first sector: a LUKS2 secondary
/// header without its primary, and GELI's metadata in the last sector.
extern const SectorRule kDamagedLuksVolume;
extern const SectorRule kGeliVolume;

/// Returns the verdict for a volume, partition or whole disk, that no other rule explained:
/// GELI when its last sector (one read, and only when its size is known) holds GELI's metadata,
/// then a LUKS volume whose primary header is damaged when one of the nine places where LUKS2
/// keeps its secondary header holds a header whose own offset field names that place, as
/// cryptsetup requires (one read each, none past the volume's known end). Returns nullptr when
/// neither does or the reads fail (the volume keeps the failure).
const SectorRule* SecondaryHeaderVerdict(DiskIO::Volume& volume);

/// A file system, volume manager or RAID member known by its marks, for volumes without a boot
/// signature and for whole disks. It matches when all of its marks are present and `check`,
/// when set, finds the further fields it looks at sound; `refine`, when set, names the variant.
struct FileSystemRule {
  const char* name;
  Magic marks[2];  // a mark with no bytes is no mark
  bool (*check)(DiskIO::Volume& volume);
  const char* (*refine)(DiskIO::Volume& volume);
};

/// Returns the name of the first file system of the table that `volume` matches, or nullptr.
/// Reads the volume's first 8 KiB in one read, then only the sectors the rows ask for, each
/// once; a read that fails is kept in the volume and counts as no mark.
const char* MatchFileSystem(DiskIO::Volume& volume);

}  // namespace Module1

#endif  // TVX_RUN_DETECTION_RULES_H_
