// The one reader of a drive's volumes. Every read past a drive's handle goes through it: sector 0,
// the partition tables, each partition's first sector, the file-system probes and the metadata
// of encrypted volumes. The drive's sectors are read in runs through the sector reader, each
// sector at most once per run, and kept for every volume on the drive; a volume is a window on
// them that no read crosses; and a read either gives its bytes or says why it could not.
#ifndef TVX_DISK_VOLUME_READER_H_
#define TVX_DISK_VOLUME_READER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "disk/sector.h"
#include "platform/platform.h"

namespace DiskIO {

/// Reads `count` whole sectors of a drive from its sector `first` into `bytes`; returns false,
/// with the system's error code in `error`, when the read fails.
using SectorRunSource =
    std::function<bool(uint64_t first, uint32_t count, std::string& bytes, uint32_t& error)>;

/// What has been read of one drive in this run: each sector as its bytes, or as the error code its
/// read failed with, so that no sector is read twice and a failure is never forgotten.
struct DriveSectors {
  SectorRunSource read;
  uint32_t sectorSize = kSectorSize;
  uint64_t length = 0;  // bytes; 0 when the drive does not say
  std::map<uint64_t, std::string> held;
  std::map<uint64_t, uint32_t> failed;
  uint64_t readsMade = 0;  // reads handed to `read`
};

/// Returns the sectors of an open drive whose sectors are `sectorSize` bytes (4096, or else 512)
/// and whose length is `length` bytes (0: not known), read through ReadDriveSector.
DriveSectors SectorsOfDrive(HANDLE handle, uint32_t sectorSize, uint64_t length);

/// The most bytes one read may ask for; what a volume's probes may read of it in all; and what
/// the readers of an encrypted volume's metadata or of a FAT's folders may read (a LUKS2 header
/// alone may take 4 MiB).
constexpr size_t kMaxReadBytes = 4 * 1024 * 1024;
constexpr uint64_t kProbeBudget = 1024 * 1024;
constexpr uint64_t kMetadataBudget = 16 * 1024 * 1024;

/// A volume of a drive: the whole drive, or a partition from its first sector for `size` bytes
/// (0: its table does not say, so it runs to the drive's end and has no known end of its own).
/// `budget` is what its reader may still read from the drive; sectors already held cost nothing.
/// `failure` keeps the first read inside the volume that failed.
struct Volume {
  DriveSectors* drive = nullptr;
  uint64_t firstSector = 0;
  uint64_t size = 0;
  uint64_t budget = kProbeBudget;
  bool failed = false;
  uint32_t error = 0;        // the failed read's code
  uint64_t errorSector = 0;  // the drive sector where the failed read began
};

/// Returns the whole drive as one volume: its size is the drive's length.
Volume WholeDrive(DriveSectors& drive, uint64_t budget = kProbeBudget);

/// Returns the volume of `sectorCount` sectors (0: not known) from drive sector `firstSector`.
Volume DriveVolume(DriveSectors& drive, uint64_t firstSector, uint64_t sectorCount,
                   uint64_t budget = kProbeBudget);

/// How a read of a volume came out.
enum class ReadOutcome {
  kRead,        // the bytes
  kOutside,     // they lie past the volume's end: the volume has no such bytes
  kOverBudget,  // the volume's reader has read all it may: not looked at
  kFailed,      // the drive failed to give them: `error` says why
};

struct VolumeRead {
  ReadOutcome outcome = ReadOutcome::kFailed;
  std::string bytes;
  uint32_t error = 0;
};

/// Reads `length` (1 to kMaxReadBytes) bytes from byte `offset` of the volume: the sectors not yet
/// held are read in one read per run of them. A range that runs past the drive's known length
/// fails with 38 (end of file) without a read; one that cannot be placed fails with 87. A failure
/// is also kept in the volume, the first one only. Nothing past the volume's size is read.
VolumeRead ReadVolume(Volume& volume, uint64_t offset, size_t length);

/// Reads `length` bytes of a partition table from drive sector `sector` on, as ReadVolume does
/// but within no volume: a table names where it lies, so a place past the drive's end is a read
/// that fails (38), not an absence.
VolumeRead ReadTableSectors(DriveSectors& drive, uint64_t sector, size_t length);

/// Returns the bytes ReadVolume gives, or an empty text when there are none (past the end, over
/// the budget, or a failed read, which the volume keeps): for probes that look for marks.
std::string ProbeBytes(Volume& volume, uint64_t offset, size_t length);

/// Returns `length` bytes that begin `back` bytes before the end of the volume's last whole
/// 512-byte sector, or an empty text when its size is not known or smaller, or ProbeBytes gives
/// none.
std::string ProbeEndBytes(Volume& volume, uint64_t back, size_t length);

/// Returns a ByteSource over the volume, as ProbeBytes reads it: for the metadata parsers, which
/// can then be tried on bytes held in memory as well. The volume must outlive it.
ByteSource VolumeSource(Volume& volume);

}  // namespace DiskIO

#endif  // TVX_DISK_VOLUME_READER_H_
