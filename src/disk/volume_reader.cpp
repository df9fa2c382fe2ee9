#include "disk/volume_reader.h"

#include <utility>

#include "disk/layout.h"
#include "disk/sector_reader.h"

namespace DiskIO {

namespace {

// Keeps the first failed read of a volume.
VolumeRead Failed(Volume& volume, uint32_t error, uint64_t sector) {
  if (!volume.failed) {
    volume.failed = true;
    volume.error = error;
    volume.errorSector = sector;
  }
  VolumeRead read;
  read.outcome = ReadOutcome::kFailed;
  read.error = error;
  return read;
}

VolumeRead NotRead(ReadOutcome outcome) {
  VolumeRead read;
  read.outcome = outcome;
  return read;
}

// Reads the sectors `first` to `last` that the drive does not hold yet, one read per run of them;
// returns false, with the failed run's code and first sector, when a read fails. A failed run is
// held as failed, so that it is never tried again.
bool ReadMissing(DriveSectors& drive, uint64_t first, uint64_t last, uint32_t& error,
                 uint64_t& errorSector) {
  uint64_t sector = first;
  while (sector <= last) {
    if (drive.held.count(sector) != 0) {
      ++sector;
      continue;
    }
    uint64_t end = sector;
    while (end < last && drive.held.count(end + 1) == 0) ++end;
    const uint32_t count = static_cast<uint32_t>(end - sector + 1);
    std::string bytes;
    uint32_t code = 0;
    ++drive.readsMade;
    const bool read = drive.read(sector, count, bytes, code);
    if (!read || bytes.size() != uint64_t{count} * drive.sectorSize) {
      error = read ? ERROR_HANDLE_EOF : code;
      errorSector = sector;
      for (uint64_t s = sector; s <= end; ++s) drive.failed[s] = error;
      return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
      drive.held[sector + i] = bytes.substr(i * drive.sectorSize, drive.sectorSize);
    }
    sector = end + 1;
  }
  return true;
}

}  // namespace

DriveSectors SectorsOfDrive(HANDLE handle, uint32_t sectorSize, uint64_t length) {
  DriveSectors drive;
  drive.sectorSize = sectorSize == kLargeSectorSize ? kLargeSectorSize : kSectorSize;
  drive.length = length;
  const uint32_t unit = drive.sectorSize;
  drive.read = [handle, unit](uint64_t first, uint32_t count, std::string& bytes, uint32_t& error) {
    SectorText text = ReadDriveSector(handle, static_cast<double>(first),
                                      static_cast<int32_t>(count * unit), unit);
    if (text == ReadFailedText) {
      error = lastReadError;
      return false;
    }
    bytes = std::move(text);
    return true;
  };
  return drive;
}

Volume WholeDrive(DriveSectors& drive, uint64_t budget) {
  Volume volume;
  volume.drive = &drive;
  volume.size = drive.length;
  volume.budget = budget;
  return volume;
}

Volume DriveVolume(DriveSectors& drive, uint64_t firstSector, uint64_t sectorCount,
                   uint64_t budget) {
  Volume volume;
  volume.drive = &drive;
  volume.firstSector = firstSector;
  if (__builtin_mul_overflow(sectorCount, uint64_t{drive.sectorSize}, &volume.size)) {
    volume.size = UINT64_MAX;
  }
  volume.budget = budget;
  return volume;
}

VolumeRead ReadVolume(Volume& volume, uint64_t offset, size_t length) {
  DriveSectors& drive = *volume.drive;
  const uint64_t unit = drive.sectorSize;
  uint64_t end = 0;
  if (length == 0 || __builtin_add_overflow(offset, uint64_t{length}, &end) ||
      (volume.size != 0 && end > volume.size)) {
    return NotRead(ReadOutcome::kOutside);
  }
  if (length > kMaxReadBytes) return NotRead(ReadOutcome::kOverBudget);
  // A read that cannot be placed fails with 87, as the sector reader fails it; one that runs past
  // the end of a drive that says how long it is fails with 38, without a read.
  uint64_t first = 0, last = 0;
  if (__builtin_add_overflow(volume.firstSector, offset / unit, &first) ||
      first >= kFirstInexactSector) {
    return Failed(volume, ERROR_INVALID_PARAMETER, volume.firstSector);
  }
  const bool lastPlaced = !__builtin_add_overflow(volume.firstSector, (end - 1) / unit, &last);
  const uint64_t firstMissing = drive.length / unit;  // the first sector not wholly there
  if (drive.length != 0 && (!lastPlaced || last >= firstMissing)) {
    return Failed(volume, ERROR_HANDLE_EOF, firstMissing > first ? firstMissing : first);
  }
  if (!lastPlaced || last >= kFirstInexactSector)
    return Failed(volume, ERROR_INVALID_PARAMETER, first);
  uint64_t missing = 0;
  for (uint64_t sector = first; sector <= last; ++sector) {
    const auto failed = drive.failed.find(sector);
    if (failed != drive.failed.end()) return Failed(volume, failed->second, sector);
    if (drive.held.count(sector) == 0) ++missing;
  }
  if (missing * unit > volume.budget) return NotRead(ReadOutcome::kOverBudget);
  uint32_t error = 0;
  uint64_t errorSector = 0;
  if (!ReadMissing(drive, first, last, error, errorSector)) {
    return Failed(volume, error, errorSector);
  }
  volume.budget -= missing * unit;
  VolumeRead read;
  read.outcome = ReadOutcome::kRead;
  for (uint64_t sector = first; sector <= last; ++sector) read.bytes += drive.held[sector];
  read.bytes = read.bytes.substr(offset % unit, length);
  return read;
}

VolumeRead ReadTableSectors(DriveSectors& drive, uint64_t sector, size_t length) {
  Volume table = DriveVolume(drive, sector, 0, UINT64_MAX);
  return ReadVolume(table, 0, length);
}

std::string ProbeBytes(Volume& volume, uint64_t offset, size_t length) {
  VolumeRead read = ReadVolume(volume, offset, length);
  return read.outcome == ReadOutcome::kRead ? std::move(read.bytes) : std::string();
}

std::string ProbeEndBytes(Volume& volume, uint64_t back, size_t length) {
  const uint64_t end = volume.size / kSectorSize * kSectorSize;
  if (back > end || back < length) return "";
  return ProbeBytes(volume, end - back, length);
}

ByteSource VolumeSource(Volume& volume) {
  return [&volume](uint64_t offset, size_t count) { return ProbeBytes(volume, offset, count); };
}

}  // namespace DiskIO
