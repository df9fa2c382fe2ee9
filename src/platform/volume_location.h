// Where volumes and drives are, as the system answers now: the stretches of physical drives a
// volume's data lies on, the volumes that lie on those drives and where they can be read, and
// what stands behind a physical drive's path. The same calls on every platform; on Windows from
// the volume manager's answers, on Linux from the kernel's block device tree and mount table.
#ifndef TVX_PLATFORM_VOLUME_LOCATION_H_
#define TVX_PLATFORM_VOLUME_LOCATION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

/// A stretch of a disk that a volume's data lies on.
struct DiskExtent {
  int32_t drive;    // n of PhysicalDriveN, or -1 when the disk is no physical drive of this run
  uint64_t offset;  // its first byte on that drive
  uint64_t length;  // in bytes
};

/// A volume the system offers now, with what the platform could learn about it.
struct SystemVolume {
  std::string name;                 // "\\?\Volume{...}\", "/dev/mapper/NAME"
  std::vector<DiskExtent> extents;  // where its data lies, in the volume's order
  // known to be the decrypted view of what lies below: a dm-crypt device, a FUSE file system of
  // dislocker or VeraCrypt, a volume of the VeraCrypt or TrueCrypt driver
  bool decrypts = false;
  bool firstSectorRead = false;
  std::string firstSector;         // its first 512 bytes, when read
  std::vector<std::string> paths;  // where its contents can be read: letters, mount folders
};

/// Returns the volumes that could be the open view of an encrypted partition or drive: on
/// Windows every volume of the system with its disk extents, first sector, letters and mount
/// folders, then the volumes the VeraCrypt and TrueCrypt drivers have mounted, each on the
/// partition or disk it was mounted from, read through its letter; on Linux each device-mapper
/// device that decrypts, with the partitions or disks at the bottom of its slaves chains,
/// "/dev/mapper/NAME" and the mount points of it and the devices above it, then the FUSE file
/// systems of dislocker and VeraCrypt (FuseVolumes). None when the system cannot list them.
std::vector<SystemVolume> ListSystemVolumes();

/// Fills `extents` with where the data of the open volume `volume` (a drive letter's handle)
/// lies: the disk extents the volume manager gives on Windows; on Linux the devices at the bottom
/// of the sysfs slaves chain below it. Returns false when the system cannot tell.
bool QueryVolumeExtents(HANDLE volume, std::vector<DiskExtent>& extents);

/// True when an open drive handle reads a device of this machine now, false when it reads an
/// image file (which has no "now").
bool IsLiveDrive(HANDLE drive);

/// Returns what stands behind physical drive path `drivePath` ("\\.\PhysicalDrive0"): the block
/// device ("/dev/sda") or the image file's full path on Linux, the device the system names for
/// it ("\Device\Harddisk0\DR0") on Windows; an empty text when there is none.
std::string DriveSource(const std::string& drivePath);

#endif  // TVX_PLATFORM_VOLUME_LOCATION_H_
