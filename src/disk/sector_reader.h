// Reads sectors of an open drive by number.
#ifndef TVX_DISK_SECTOR_READER_H_
#define TVX_DISK_SECTOR_READER_H_

#include <cstdint>

#include "disk/sector.h"
#include "platform/platform.h"

namespace DiskIO {

/// The low and high 32 bits of the byte offset of the last sector read, each 0 to 4294967295.
extern double offsetLow;
extern double offsetHigh;
/// The system's error code of the last read that failed (87 for a sector that cannot be placed).
extern DWORD lastReadError;

/// Reads `byteCount` bytes from byte offset `sector` x `sectorSize` (4096, or else 512) of an
/// open drive and returns them as text, always `byteCount` characters; the read itself covers
/// whole sectors. A read that starts at or runs past the end of the drive fails with 38 (end of
/// file), as every failed read sets lastReadError and returns ReadFailedText. Sectors up to
/// 2147483647 are placed through Multiply64, larger whole numbers below 2^53 through the full
/// 64-bit offset, in both cases with one seek, or two when the offset's low half exceeds
/// 2147483647. When the read fails, or the sector cannot be placed (not a number, 2^53 or more, an
/// offset past 2^63), sets lastReadError and returns ReadFailedText. The seek and the read are made
/// on the device worker: when they do not answer within the device timeout, or a call of the same
/// drive did not before, throws DriveStalled (disk/drive_call.h).
SectorText ReadDriveSector(HANDLE handle, double sector, int32_t byteCount,
                           uint32_t sectorSize = kSectorSize);

}  // namespace DiskIO

#endif  // TVX_DISK_SECTOR_READER_H_
