// One volume's bytes, read on demand: the file-system probes ask for fields anywhere in it, each
// sector is read at most once and the whole probe reads at most kMaxVolumeBytesRead bytes.
#ifndef TVX_DISK_VOLUME_BYTES_H_
#define TVX_DISK_VOLUME_BYTES_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "disk/sector.h"
#include "platform/platform.h"

namespace DiskIO {

/// Returns `count` whole sectors of a volume from its sector `first` (sectors of the volume's
/// `sectorSize`), or ReadFailedText when the read fails.
using VolumeSource = std::function<std::string(uint64_t first, uint32_t count)>;

/// A volume being probed: its size, how to read it, and the sectors read so far.
struct Volume {
  uint64_t size = 0;  // bytes; 0 when its table entry or the drive does not say
  uint32_t sectorSize = kSectorSize;
  VolumeSource read;
  std::map<uint64_t, std::string> sectors = {};  // by number; empty where the read failed
};

/// The most bytes one probe reads from one volume.
constexpr uint64_t kMaxVolumeBytesRead = 1024 * 1024;

/// A volume of `size` bytes (0: not known) that begins at sector `firstSector` of an open drive
/// whose sectors are `sectorSize` bytes, read through ReadDriveSector.
Volume VolumeOnDrive(HANDLE handle, uint64_t firstSector, uint64_t size, uint32_t sectorSize);

/// Returns a reader of the bytes of the volume that starts at sector `firstSector` of an open
/// drive, read as whole sectors (4096 bytes on a 4Kn drive, 512 otherwise); each read of at
/// most 4 MiB, one read of the drive, and an empty text when it fails or asks for more.
ByteSource VolumeByteSource(HANDLE handle, uint64_t firstSector, uint32_t sectorSize);

/// Makes `volume` hold `sector` as its sector `number` without reading it again.
void KeepVolumeSector(Volume& volume, uint64_t number, const std::string& sector);

/// Returns `length` bytes from byte `offset` of the volume, reading the sectors not yet read in
/// one read per run of them. Returns an empty text when the bytes lie past the volume's known
/// size, when a read fails, or when they would take the probe past kMaxVolumeBytesRead.
std::string VolumeBytes(Volume& volume, uint64_t offset, size_t length);

/// Returns `length` bytes that begin `back` bytes before the end of the volume's last whole
/// 512-byte sector, or an empty text when the size is not known, is smaller, or VolumeBytes fails.
std::string VolumeEndBytes(Volume& volume, uint64_t back, size_t length);

}  // namespace DiskIO

#endif  // TVX_DISK_VOLUME_BYTES_H_
