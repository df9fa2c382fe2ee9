// GUID partition tables: the header in sector 1 and its partition entry array.
#ifndef TVX_DISK_GPT_H_
#define TVX_DISK_GPT_H_

#include <cstdint>
#include <vector>

#include "disk/sector.h"
#include "disk/volume_reader.h"

namespace DiskIO {

/// Returns the CRC-32 of `bytes`, the one zlib and the GPT use.
uint32_t Crc32(ByteSpan bytes);

/// Where a usable GPT header says the partition entries are, and how far it says the disk goes.
struct GptLayout {
  uint64_t entryArrayStart;  // first sector of the entry array
  uint32_t entryCount;
  uint32_t entrySize;
  uint32_t entryArrayCrc;
  uint64_t backupHeader = 0;  // the sector of the other copy of the header
  uint64_t lastUsable = 0;    // the last sector a partition may use
};

/// One GPT partition worth examining: its number (from 1, in array order), first sector, last
/// sector and length in sectors (0 when its last sector lies before its first). `quietWhenBlank`
/// marks the types that are normally left empty (Microsoft Reserved, BIOS boot): such a
/// partition whose first sector is all zeros is not worth a line.
struct GptPartition {
  int32_t number;
  uint64_t firstSector;
  uint64_t sectorCount = 0;
  bool quietWhenBlank = false;
  uint64_t lastSector = 0;
};

/// A drive's GPT, read once: whether a copy (primary, or else backup) checked out, the header of
/// that copy, its partitions, and the reads that failed.
struct GptTable {
  bool usable = false;
  GptLayout layout{};
  std::vector<GptPartition> partitions;
  std::vector<TableReadError> readErrors;
};

/// True when one of the four entries of sector 0 has the GPT protective type 0xEE.
bool HasGptProtectiveEntry(const SectorBuffer& sector0);

/// Checks a GPT header: signature, header size 92 to 512 and its CRC, entry size a multiple of 8
/// from 128 to 1024, at least one entry and an entry array of at most 4 MiB, entry array from
/// sector 2 and below 2^53. Returns false when any of these fails; otherwise fills `layout`.
bool ParseGptHeader(const SectorText& header, GptLayout& layout);

/// Checks the entry array against the header's CRC and returns, in array order, the entries
/// whose type is not empty, the Microsoft Reserved and BIOS boot ones marked quietWhenBlank.
/// Returns false on a CRC mismatch or an array shorter than the header says.
bool ParseGptEntries(const std::string& entryArray, const GptLayout& layout,
                     std::vector<GptPartition>& partitions);

/// Reads and checks the GPT of a drive through its sectors: the header in sector 1 and its array,
/// or, when they are not usable, the backup header in the drive's last sector (which must name
/// that sector as its own) and its array. Keeps each read that fails in `readErrors`, except,
/// when the GPT is only `probed` for (no protective entry says it is there), a header read that
/// finds the end of the drive (38): a drive too short for a GPT has none. `usable` is false when
/// neither copy checks out, in which case the MBR entries stand.
GptTable ReadGpt(DriveSectors& drive, bool probed);

}  // namespace DiskIO

#endif  // TVX_DISK_GPT_H_
