// Sectors as the scans see them: a buffer of bytes, or the same bytes held as text.
#ifndef TVX_DISK_SECTOR_H_
#define TVX_DISK_SECTOR_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/bytes.h"

/// Sector 0 of a drive, as read into the run's one buffer.
using SectorBuffer = std::array<uint8_t, kSectorSize>;

/// A sector held as text: character p (from 0) is byte p, zero bytes included.
using SectorText = std::string;

/// What the sector reader returns in place of a sector when the read fails.
inline const SectorText ReadFailedText = "Error reading drive... Error: ";

/// A read-only view of bytes: a start and a count, never read past.
struct ByteSpan {
  const uint8_t* data;
  size_t size;

  ByteSpan(const uint8_t* bytes, size_t count) : data(bytes), size(count) {}
  ByteSpan(const SectorBuffer& buffer) : data(buffer.data()), size(buffer.size()) {}
  ByteSpan(const std::string& text)
      : data(reinterpret_cast<const uint8_t*>(text.data())), size(text.size()) {}
};

/// The partition-table structures a drive's tables are read from, so that a failed read can be
/// placed.
enum class TableRegion { kGptHeader, kGptBackupHeader, kGptEntries, kExtendedBootRecord };

/// A read of a partition table that failed: the system's code, what was read, and the drive
/// sector where the read began.
struct TableReadError {
  uint32_t error = 0;
  TableRegion region = TableRegion::kGptHeader;
  uint64_t sector = 0;
};

/// Returns `count` bytes of a volume from byte `offset` of it on, or an empty text when the read
/// fails. The metadata readers take one, so that they can be tried on bytes held in memory.
using ByteSource = std::function<std::string(uint64_t offset, size_t count)>;

#endif  // TVX_DISK_SECTOR_H_
