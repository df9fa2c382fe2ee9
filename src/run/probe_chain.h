// The probe chain: what a volume is, asked in one order of steps for a whole disk and for a
// partition alike. Each step looks at the volume's first sector or reads it through the drive's
// one reader; the first step that decides ends the chain.
#ifndef TVX_RUN_PROBE_CHAIN_H_
#define TVX_RUN_PROBE_CHAIN_H_

#include <optional>
#include <string>

#include "disk/gpt.h"
#include "disk/sector.h"
#include "disk/volume_reader.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/detection_rules.h"

namespace Module1 {

/// One drive being examined: its record, its sectors (read once, shared by sector 0, the tables,
/// the whole-disk probes and every partition), its sector 0, and its GPT once it has been read.
struct DriveExam {
  DriveRecord& record;
  DiskIO::DriveSectors sectors;
  const SectorBuffer& sector0;  // the first 512 bytes of sector 0
  std::optional<DiskIO::GptTable> gpt = std::nullopt;
};

/// Returns the drive's GPT, reading it the first time it is asked for (probed for only, unless
/// sector 0 has a protective entry) and keeping the reads that failed on the drive's record.
const DiskIO::GptTable& TheGpt(DriveExam& exam);

/// True when sector 0 holds a partition table worth believing: the boot signature, every entry's
/// boot indicator 0x00 or 0x80, and at least one entry with a start sector. A sector 0 that does
/// not may still have a GPT behind it (a wiped or overwritten MBR), or be a volume of its own.
bool HoldsPartitionTable(const SectorText& sector0);

/// Whether the chain is asked about a whole disk or about one of its partitions.
enum class VolumeKind : uint8_t { kDisk = 1, kPartition = 2 };

/// What the chain made of a volume.
struct VolumeVerdict {
  std::string fileSystem;               // what names it: a file system, "CoreStorage", ...
  const SectorRule* finding = nullptr;  // what it may be, when that is a finding
  bool partitions = false;              // a disk whose partition table is to be examined
  bool empty = false;                   // a partition with nothing in its first MiB
  bool notADisk = false;                // a disk whose sector 0 is plain text
};

/// Runs the probe chain over `volume`, whose first 512 bytes are `firstSector`. The steps, in
/// order (D: whole disks only, P: partitions only):
///   1. findings marked in the first sector (the sector-0 table or the partition table);
///   2. a CoreStorage header: FileVault 2, or "CoreStorage";
///   3. an ordinary boot sector (D: NTFS, MSDOS or MSWIN; P: the boot signature, GRUB's core);
///   4. D: a partition table in sector 0;
///      P: a first sector of zeros: the rest of the first MiB read in one read, for step 10;
///   5. the file-system table, and what a named file system holds (FileVault on APFS; fscrypt on
///      ext2/3/4 and F2FS; encrypted datasets in a ZFS pool), read as metadata;
///   6. D: a boot signature in sector 0 (its table, such as it is, is examined);
///   7. D: a GPT that checks out;
///   8. metadata at the ends: GELI in the last sector, a LUKS2 secondary header;
///   9. D: a sector 0 of zeros (nothing to examine);
///  10. nothing explains it: possibly encrypted, unless a read of the volume (or of a disk's GPT)
///      failed, in which case the failure (kept in `volume`, or on the drive) stands in its place;
///      or unless P: its first MiB is all zeros (empty), or D: its sector 0 is plain text (a text
///      file, not a disk).
/// The file-system and metadata steps may each read kProbeBudget bytes.
VolumeVerdict ProbeVolume(VolumeKind kind, DriveExam& exam, DiskIO::Volume& volume,
                          const SectorText& firstSector);

}  // namespace Module1

#endif  // TVX_RUN_PROBE_CHAIN_H_
