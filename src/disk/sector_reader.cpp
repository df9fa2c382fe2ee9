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

// True when the call that gave `low` failed: INVALID_SET_FILE_POINTER is also the low half of a
// real position, so the system's code decides (set to 0 before each call).
bool SeekFailed(DWORD low) {
  return low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS;
}

// Moves the drive to the byte offset in offsetLow and offsetHigh, with one seek or two; false,
// with the code in `error`, when a seek fails or leaves the drive anywhere else, so that a read
// can never come from the wrong place.
bool SeekToOffset(HANDLE handle, DWORD& error) {
  const uint64_t target =
      (static_cast<uint64_t>(offsetHigh) << 32) | static_cast<uint64_t>(offsetLow);
  LONG high = static_cast<LONG>(offsetHigh);
  SetLastError(ERROR_SUCCESS);
  DWORD low = 0;
  if (offsetLow <= kLargestSeek) {
    low = SetFilePointer(handle, static_cast<LONG>(offsetLow), &high, FILE_BEGIN);
  } else {
    low = SetFilePointer(handle, static_cast<LONG>(kLargestSeek), &high, FILE_BEGIN);
    if (SeekFailed(low)) {
      error = GetLastError();
      return false;
    }
    offsetLow -= kLargestSeek;
    high = 0;
    SetLastError(ERROR_SUCCESS);
    low = SetFilePointer(handle, static_cast<LONG>(offsetLow), &high, FILE_CURRENT);
  }
  if (SeekFailed(low)) {
    error = GetLastError();
    return false;
  }
  const uint64_t reached = (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;
  if (reached != target) {
    error = ERROR_SEEK;
    return false;
  }
  return true;
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

  DWORD seekError = 0;
  if (!SeekToOffset(handle, seekError)) return ReadFailed(seekError);

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
