#include "disk/ebr.h"

#include <set>

#include "base/bytes.h"
#include "disk/layout.h"

namespace DiskIO {

bool IsExtendedType(uint8_t type) {
  for (uint8_t extended : MasterBootRecord::kExtendedTypes) {
    if (type == extended) return true;
  }
  return false;
}

std::vector<LogicalPartition> ReadLogicalPartitions(const std::vector<uint64_t>& extendedStarts,
                                                    const SectorSource& readSector,
                                                    std::vector<TableReadError>& readErrors,
                                                    bool& cut) {
  using namespace ExtendedBootRecord;
  std::vector<LogicalPartition> logicals;
  std::set<uint64_t> visited;
  cut = false;
  for (uint64_t extended : extendedStarts) {
    uint64_t record = extended;
    while (record < kFirstInexactSector && visited.count(record) == 0) {
      if (logicals.size() >= static_cast<size_t>(kMaxLogicalPartitions) ||
          visited.size() >= static_cast<size_t>(kMaxExtendedBootRecords)) {
        cut = true;  // a record that would have been read
        break;
      }
      visited.insert(record);
      SectorText sector;
      uint32_t error = 0;
      if (!readSector(record, sector, error)) {
        readErrors.push_back({error, TableRegion::kExtendedBootRecord, record});
        break;
      }
      if (FieldText(sector, BootSector::kBootSignature) != Signature::kBootSignature) break;
      const uint64_t start = LittleEndianValue(sector, kLogicalStart.offset, kLogicalStart.length);
      if (ByteAt(sector, kLogicalType) != 0 && start > 0) {
        logicals.push_back(
            {kFirstLogicalNumber + static_cast<int32_t>(logicals.size()), record + start,
             LittleEndianValue(sector, kLogicalSectorCount.offset, kLogicalSectorCount.length)});
      }
      const uint64_t next = LittleEndianValue(sector, kNextStart.offset, kNextStart.length);
      if (!IsExtendedType(ByteAt(sector, kNextType)) || next == 0) break;
      record = extended + next;
    }
  }
  return logicals;
}

}  // namespace DiskIO
