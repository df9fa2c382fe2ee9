#include "disk/sector_reader.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "disk/drive_call.h"
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

// Moves the drive to byte offset high:low, with one seek or two (`low` then drops by the first
// seek's distance); false, with the code in `error`, when a seek fails or leaves the drive
// anywhere else, so that a read can never come from the wrong place.
bool SeekToOffset(HANDLE handle, double& low, double high, DWORD& error) {
  const uint64_t target = (static_cast<uint64_t>(high) << 32) | static_cast<uint64_t>(low);
  LONG highHalf = static_cast<LONG>(high);
  SetLastError(ERROR_SUCCESS);
  DWORD reachedLow = 0;
  if (low <= kLargestSeek) {
    reachedLow = SetFilePointer(handle, static_cast<LONG>(low), &highHalf, FILE_BEGIN);
  } else {
    reachedLow = SetFilePointer(handle, static_cast<LONG>(kLargestSeek), &highHalf, FILE_BEGIN);
    if (SeekFailed(reachedLow)) {
      error = GetLastError();
      return false;
    }
    low -= kLargestSeek;
    highHalf = 0;
    SetLastError(ERROR_SUCCESS);
    reachedLow = SetFilePointer(handle, static_cast<LONG>(low), &highHalf, FILE_CURRENT);
  }
  if (SeekFailed(reachedLow)) {
    error = GetLastError();
    return false;
  }
  const uint64_t reached =
      (static_cast<uint64_t>(static_cast<uint32_t>(highHalf)) << 32) | reachedLow;
  if (reached != target) {
    error = ERROR_SEEK;
    return false;
  }
  return true;
}

// A seek and read made on the device worker, and what they came to: all of it the call's own,
// so that a call left behind writes nothing the reader still uses.
struct DriveRead {
  std::vector<char> buffer;
  double low = 0;  // offsetLow, as the seeks leave it
  bool done = false;
  DWORD count = 0;
  DWORD error = 0;
};

}  // namespace

SectorText ReadDriveSector(HANDLE handle, double sector, int32_t byteCount, uint32_t sectorSize) {
  if (sectorSize != kLargeSectorSize) sectorSize = kSectorSize;
  if (byteCount < 1 || !PlaceSector(sector, sectorSize)) {
    return ReadFailed(ERROR_INVALID_PARAMETER);
  }
  // A raw disk reads whole sectors only: round up, and hand back the bytes asked for.
  const size_t wanted = static_cast<size_t>(byteCount);
  const size_t whole = (wanted + sectorSize - 1) / sectorSize * sectorSize;

  // The seek and the read are made on the device worker, within the device timeout.
  const double low = offsetLow;
  const double high = offsetHigh;
  const DriveRead read = CallDrive<DriveRead>([handle, low, high, whole] {
    DriveRead made;
    made.buffer.assign(whole, 0);
    made.low = low;
    if (!SeekToOffset(handle, made.low, high, made.error)) return made;
    made.done = ReadFile(handle, made.buffer.data(), static_cast<DWORD>(made.buffer.size()),
                         &made.count, nullptr) != FALSE;
    if (!made.done) made.error = GetLastError();
    return made;
  });
  offsetLow = read.low;
  if (!read.done) return ReadFailed(read.error);
  const DWORD count = read.count;
  const std::vector<char>& buffer = read.buffer;
  // A read that starts at or runs past the end of the drive delivers nothing real: zeros in
  // its place would hide whatever a truncated image has lost.
  if (count < wanted) return ReadFailed(ERROR_HANDLE_EOF);
  return SectorText(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(wanted));
}

}  // namespace DiskIO
