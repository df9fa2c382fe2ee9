#include "disk/sector_reader.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "disk/layout.h"
#include "disk/multiply64.h"

namespace DiskIO {

double offsetLow = 0;
double offsetHigh = 0;
DWORD lastReadError = 0;

namespace {

constexpr double kLargestSeek = 2147483647.0;  // a seek distance is a signed 32-bit value

// Keeps `code` for the caller and returns the failure text.
SectorText ReadFailed(DWORD code) {
  lastReadError = code;
  return ReadFailedText;
}

// Sets offsetLow and offsetHigh to the byte offset of `sector` of `sectorSize` bytes; false when
// it cannot be placed.
bool PlaceSector(double sector, uint32_t sectorSize) {
  const double rounded = std::nearbyint(sector);  // halfway cases go to the even neighbour
  if (rounded >= std::numeric_limits<int32_t>::min() &&
      rounded <= std::numeric_limits<int32_t>::max()) {
    Multiply64(static_cast<int32_t>(rounded), static_cast<int32_t>(sectorSize), offsetLow,
               offsetHigh);
    return true;
  }
  // Partitions that begin 1 TiB or more into a drive: the whole 64-bit offset, exactly, as long
  // as it is a position a file can have.
  if (rounded >= 0 && rounded < static_cast<double>(kFirstInexactSector) &&
      static_cast<uint64_t>(rounded) <= static_cast<uint64_t>(INT64_MAX) / sectorSize) {
    const uint64_t offset = static_cast<uint64_t>(rounded) * sectorSize;
    offsetLow = static_cast<double>(offset & 0xFFFFFFFFu);
    offsetHigh = static_cast<double>(offset >> 32);
    return true;
  }
  return false;
}

}  // namespace

SectorText ReadDriveSector(HANDLE handle, double sector, int32_t byteCount, uint32_t sectorSize) {
  if (sectorSize != kLargeSectorSize) sectorSize = kSectorSize;
  if (byteCount < 1 || !PlaceSector(sector, sectorSize)) {
    return ReadFailed(ERROR_INVALID_PARAMETER);
  }
  // A raw disk reads whole sectors only: round up, and hand back the bytes asked for.
  const size_t wanted = static_cast<size_t>(byteCount);
  const size_t whole = (wanted + sectorSize - 1) / sectorSize * sectorSize;
  std::vector<char> buffer(whole, 0);

  LONG high = static_cast<LONG>(offsetHigh);
  if (offsetLow <= kLargestSeek) {
    SetFilePointer(handle, static_cast<LONG>(offsetLow), &high, FILE_BEGIN);
  } else {
    SetFilePointer(handle, static_cast<LONG>(kLargestSeek), &high, FILE_BEGIN);
    offsetLow -= kLargestSeek;
    high = 0;
    SetFilePointer(handle, static_cast<LONG>(offsetLow), &high, FILE_CURRENT);
  }

  DWORD count = 0;
  if (!ReadFile(handle, buffer.data(), static_cast<DWORD>(whole), &count, nullptr)) {
    return ReadFailed(GetLastError());
  }
  // A read that starts at or runs past the end of the drive delivers nothing real: zeros in
  // its place would hide whatever a truncated image has lost.
  if (count < wanted) return ReadFailed(ERROR_HANDLE_EOF);
  return SectorText(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(wanted));
}

}  // namespace DiskIO
