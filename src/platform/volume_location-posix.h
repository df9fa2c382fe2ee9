// The sysfs and mount table walks behind volume_location.h on POSIX, over a tree and a mount
// table given by their paths, so that they run over copies of their shape as well as the live
// /sys and /proc/self/mountinfo.
#ifndef TVX_PLATFORM_VOLUME_LOCATION_POSIX_H_
#define TVX_PLATFORM_VOLUME_LOCATION_POSIX_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/volume_location.h"

/// One line of a mount table: the device number it gives, its mount point, file-system type and
/// source, with the table's octal escapes undone.
struct MountEntry {
  bool hasDevice;  // false when the line's device number does not parse
  dev_t device;
  std::string point;
  std::string type;
  std::string source;
};

/// Returns the lines of the mount table at `mountinfo` (the format of /proc/self/mountinfo) that
/// name a mount point, in table order; none when it cannot be read.
std::vector<MountEntry> ReadMountTable(const std::string& mountinfo);

/// Returns the mount points of block device `device` in `table` (ReadMountTable), in table
/// order, each once. A mount counts when its device number is `device`, or its source is a
/// device node of it (as for Btrfs, whose mounts carry a device number of their own).
std::vector<std::string> MountPoints(const std::vector<MountEntry>& table, dev_t device);

/// Gives in `device` the device number of the block device at `path`, links followed; false
/// for anything else.
bool BlockDeviceAt(const std::string& path, dev_t& device);

/// Appends `text` to `list` unless the list holds it already.
void AddOnce(std::vector<std::string>& list, const std::string& text);

/// Returns the device-mapper devices of the tree at `sysRoot` that decrypt what lies below them
/// (IsDecryptingMapper of their dm/uuid and dm/name), in kernel-name order, leaving out those
/// below another such device: each lying on the devices at the bottom of its slaves chains (see
/// BlockDeviceExtents), read through "/dev/mapper/" and its dm/name, then the mount points of it
/// and of the devices above it (its holders, within the walk's bounds) in `mountinfo`.
std::vector<SystemVolume> CryptVolumes(const std::string& sysRoot, const std::string& mountinfo);

/// Fills `extents` with the devices at the bottom of the slaves chains below block device
/// `kernelName` of the tree at `sysRoot` (the device itself when nothing lies below it), in
/// order of the walk: a partition of a physical drive of this run as that drive, its start and
/// its size; a whole drive as that drive from byte 0; anything else with drive -1. Returns false
/// when the device is not in the tree, or the walk loops or goes past its bounds.
bool BlockDeviceExtents(const std::string& sysRoot, const std::string& kernelName,
                        std::vector<DiskExtent>& extents);

#endif  // TVX_PLATFORM_VOLUME_LOCATION_POSIX_H_
