// GUID partition tables: the header in sector 1 and its partition entry array.
#ifndef TVX_DISK_GPT_H_
#define TVX_DISK_GPT_H_

#include <cstdint>
#include <vector>

#include "disk/sector.h"
#include "platform/platform.h"

namespace DiskIO {

/// Returns the CRC-32 of `bytes`, the one zlib and the GPT use.
uint32_t Crc32(ByteSpan bytes);

/// Where a usable GPT header says the partition entries are.
struct GptLayout {
  uint64_t entryArrayStart;  // first sector of the entry array
  uint32_t entryCount;
  uint32_t entrySize;
  uint32_t entryArrayCrc;
};

/// One GPT partition worth examining: its number (from 1, in array order), first sector and
/// length in sectors (0 when its last sector lies before its first). `quietWhenBlank` marks the
/// types that are normally left empty (Microsoft Reserved, BIOS boot): such a partition whose
/// first sector is all zeros is not worth a line.
struct GptPartition {
  int32_t number;
  uint64_t firstSector;
  uint64_t sectorCount = 0;
  bool quietWhenBlank = false;
};

/// True when one of the four entries of sector 0 has the GPT protective type 0xEE.
bool HasGptProtectiveEntry(const SectorBuffer& sector0);

/// True when sector 0 cannot be a partition table of its own: it lacks the boot signature, or
/// none of its four entries has a type. A GPT may then stand behind it without a protective
/// entry (a wiped or overwritten MBR).
bool LacksMbrTable(const SectorBuffer& sector0);

/// Checks a GPT header: signature, header size 92 to 512 and its CRC, entry size a multiple of 8
/// from 128 to 1024, at least one entry and an entry array of at most 4 MiB, entry array from
/// sector 2 and below 2^53. Returns false when any of these fails; otherwise fills `layout`.
bool ParseGptHeader(const SectorText& header, GptLayout& layout);

/// Checks the entry array against the header's CRC and returns, in array order, the entries
/// whose type is not empty, the Microsoft Reserved and BIOS boot ones marked quietWhenBlank.
/// Returns false on a CRC mismatch or an array shorter than the header says.
bool ParseGptEntries(const std::string& entryArray, const GptLayout& layout,
                     std::vector<GptPartition>& partitions);

/// Reads and checks the GPT of an open drive whose sectors are `sectorSize` bytes: the header in
/// sector 1 and its array, or, when they are not usable, the backup header in the drive's last
/// sector (which must name that sector as its own) and its array. Adds the error code of each
/// read that fails to `readErrors`, except, when the GPT is only `probed` for (no protective
/// entry says it is there), a header read that finds the end of the drive (38): a drive too short
/// for a GPT has none. Returns false when neither copy is usable, in which case the MBR entries
/// stand.
bool ReadGptPartitions(HANDLE handle, uint32_t sectorSize, std::vector<GptPartition>& partitions,
                       std::vector<uint32_t>& readErrors, bool probed = false);

}  // namespace DiskIO

#endif  // TVX_DISK_GPT_H_
