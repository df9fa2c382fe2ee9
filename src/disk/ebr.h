// Logical partitions: the chain of extended boot records inside an extended partition.
#ifndef TVX_DISK_EBR_H_
#define TVX_DISK_EBR_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "disk/sector.h"

namespace DiskIO {

/// Reads the first 512 bytes of a drive's sector into `bytes`; false, with the system's code in
/// `error`, when the read fails.
using SectorSource = std::function<bool(uint64_t sector, SectorText& bytes, uint32_t& error)>;

/// One logical partition: its number (5, 6, ... in chain order), its first sector and its
/// length in sectors.
struct LogicalPartition {
  int32_t number;
  uint64_t firstSector;
  uint64_t sectorCount = 0;
};

/// At most this many extended boot records are read from one drive, whatever its chains say.
constexpr int32_t kMaxExtendedBootRecords = 256;

/// Follows the chain of extended boot records of each extended partition starting at
/// `extendedStarts` (in entry order) and returns their logical partitions that have a type and
/// a start. A chain ends at a record that cannot be read (it goes to `readErrors`), that
/// lacks the boot signature, that was visited already, or that lies at sector 2^53 or beyond;
/// all chains end after 128 logical partitions or kMaxExtendedBootRecords records, and `cut`
/// tells whether a chain still had a record to read when they did.
std::vector<LogicalPartition> ReadLogicalPartitions(const std::vector<uint64_t>& extendedStarts,
                                                    const SectorSource& readSector,
                                                    std::vector<TableReadError>& readErrors,
                                                    bool& cut);

/// True for an MBR or EBR entry type that points to extended boot records.
bool IsExtendedType(uint8_t type);

}  // namespace DiskIO

#endif  // TVX_DISK_EBR_H_
