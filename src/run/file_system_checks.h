// The further fields that a file-system row checks where its mark alone is too short, or lies at
// a place that depends on the volume, to trust: each returns true when the volume holds them.
#ifndef TVX_RUN_FILE_SYSTEM_CHECKS_H_
#define TVX_RUN_FILE_SYSTEM_CHECKS_H_

#include "disk/volume_reader.h"

namespace Module1 {

using DiskIO::Volume;

bool ExtLooksSound(Volume& volume);
bool HfsPlusLooksSound(Volume& volume);
bool HfsLooksSound(Volume& volume);
bool HasRaid090Superblock(Volume& volume);
bool HasRaid10Superblock(Volume& volume);
bool HasDdfAnchor(Volume& volume);
bool HasPromiseRaidMark(Volume& volume);
bool HasViaRaidMetadata(Volume& volume);
bool HasSiliconRaidMetadata(Volume& volume);
bool HasJmicronRaidMetadata(Volume& volume);
bool HasXfsLogRecord(Volume& volume);
bool HasSwapMark(Volume& volume);
bool HasHibernationMark(Volume& volume);
bool HasUdfDescriptors(Volume& volume);
bool NilfsChecksumMatches(Volume& volume);
bool HasMinixSuperblock(Volume& volume);
bool HasBefsSuperblock(Volume& volume);
bool HasUfsSuperblock(Volume& volume);
bool HasZfsUberblock(Volume& volume);
bool HasFatBootSector(Volume& volume);

/// The name of an ext superblock's kind: "ext journal" for an external journal, "ext4" when it
/// uses extents, "ext3" when it has a journal, else "ext2".
const char* ExtVariant(Volume& volume);

}  // namespace Module1

#endif  // TVX_RUN_FILE_SYSTEM_CHECKS_H_
