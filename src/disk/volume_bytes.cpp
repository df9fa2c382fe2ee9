#include "disk/volume_bytes.h"

#include "disk/sector_reader.h"

namespace DiskIO {

namespace {

constexpr size_t kMaxByteSourceRead = 4 * 1024 * 1024;

// Reads the sectors `first` to `last` that are not held yet, one read per run of them; false
// when the probe's budget would be passed. A failed read is held as empty sectors, so that it
// is never tried again.
bool ReadMissingSectors(Volume& volume, uint64_t first, uint64_t last) {
  uint64_t sector = first;
  while (sector <= last) {
    if (volume.sectors.count(sector) != 0) {
      ++sector;
      continue;
    }
    uint64_t end = sector;
    while (end < last && volume.sectors.count(end + 1) == 0) ++end;
    const uint64_t count = end - sector + 1;
    if ((volume.sectors.size() + count) * volume.sectorSize > kMaxVolumeBytesRead) return false;
    const std::string bytes = volume.read(sector, static_cast<uint32_t>(count));
    const bool failed = bytes == ReadFailedText || bytes.size() < count * volume.sectorSize;
    for (uint64_t i = 0; i < count; ++i) {
      volume.sectors[sector + i] =
          failed ? std::string() : bytes.substr(i * volume.sectorSize, volume.sectorSize);
    }
    sector = end + 1;
  }
  return true;
}

}  // namespace

Volume VolumeOnDrive(HANDLE handle, uint64_t firstSector, uint64_t size, uint32_t sectorSize) {
  Volume volume;
  volume.size = size;
  volume.sectorSize = sectorSize;
  volume.read = [handle, firstSector, sectorSize](uint64_t first, uint32_t count) {
    return ReadDriveSector(handle, static_cast<double>(firstSector + first),
                           static_cast<int32_t>(count * sectorSize), sectorSize);
  };
  return volume;
}

ByteSource VolumeByteSource(HANDLE handle, uint64_t firstSector, uint32_t sectorSize) {
  const uint32_t unit = sectorSize == kLargeSectorSize ? kLargeSectorSize : kSectorSize;
  return [handle, firstSector, unit](uint64_t offset, size_t count) -> std::string {
    const size_t skip = static_cast<size_t>(offset % unit);
    if (count == 0 || count > kMaxByteSourceRead) return std::string();
    const SectorText bytes =
        ReadDriveSector(handle, static_cast<double>(firstSector + offset / unit),
                        static_cast<int32_t>(skip + count), unit);
    return bytes == ReadFailedText ? std::string() : bytes.substr(skip);
  };
}

void KeepVolumeSector(Volume& volume, uint64_t number, const std::string& sector) {
  if (sector.size() == volume.sectorSize) volume.sectors[number] = sector;
}

std::string VolumeBytes(Volume& volume, uint64_t offset, size_t length) {
  if (length == 0 || volume.sectorSize == 0 || offset + length < offset) return "";
  if (volume.size != 0 && offset + length > volume.size) return "";
  const uint64_t first = offset / volume.sectorSize;
  const uint64_t last = (offset + length - 1) / volume.sectorSize;
  if ((last - first + 1) * volume.sectorSize > kMaxVolumeBytesRead) return "";
  if (!ReadMissingSectors(volume, first, last)) return "";
  std::string bytes;
  for (uint64_t sector = first; sector <= last; ++sector) {
    const std::string& held = volume.sectors[sector];
    if (held.empty()) return "";
    bytes += held;
  }
  return bytes.substr(offset - first * volume.sectorSize, length);
}

std::string VolumeEndBytes(Volume& volume, uint64_t back, size_t length) {
  const uint64_t end = volume.size / kSectorSize * kSectorSize;
  if (back > end || back < length) return "";
  return VolumeBytes(volume, end - back, length);
}

}  // namespace DiskIO
