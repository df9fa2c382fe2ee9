// Sectors as the scans see them: a buffer of bytes, or the same bytes held as text.
#ifndef TVX_DISK_SECTOR_H_
#define TVX_DISK_SECTOR_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

/// The size of a sector, in bytes: what the rules look at, and the logical sector size of most
/// drives.
constexpr size_t kSectorSize = 512;

/// The logical sector size of 4Kn drives, where partition tables count 4096-byte sectors.
constexpr uint32_t kLargeSectorSize = 4096;

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

#endif  // TVX_DISK_SECTOR_H_
