// The sysfs and mount table walks behind volume_location.h on POSIX, over a tree and a mount
// table given by their paths, so that they run over copies of their shape as well as the live
// /sys and /proc/self/mountinfo.
#ifndef TVX_PLATFORM_VOLUME_LOCATION_POSIX_H_
#define TVX_PLATFORM_VOLUME_LOCATION_POSIX_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/volume_location.h"

/// Returns the mount points of block device `device` in the mount table at `mountinfo` (the
/// format of /proc/self/mountinfo), in table order, each once, with the table's octal escapes
/// undone. A mount counts when its device number is `device`, or its source is a device node of
/// it (as for Btrfs, whose mounts carry a device number of their own).
std::vector<std::string> MountPoints(const std::string& mountinfo, dev_t device);

/// Returns the device-mapper crypt devices of the tree at `sysRoot` (a dm/uuid beginning
/// "CRYPT-"), in kernel-name order, as volumes that decrypt: lying on the devices their slaves
/// name, each a DiskExtent (see BlockDeviceExtents), read through "/dev/mapper/" and their
/// dm/name, then the mount points of them and of the devices above them (their holders, within
/// the walk's bounds) in `mountinfo`.
std::vector<SystemVolume> CryptVolumes(const std::string& sysRoot, const std::string& mountinfo);

/// Fills `extents` with the devices at the bottom of the slaves chains below block device
/// `kernelName` of the tree at `sysRoot` (the device itself when nothing lies below it), in
/// order of the walk: a partition of a physical drive of this run as that drive, its start and
/// its size; a whole drive as that drive from byte 0; anything else with drive -1. Returns false
/// when the device is not in the tree, or the walk loops or goes past its bounds.
bool BlockDeviceExtents(const std::string& sysRoot, const std::string& kernelName,
                        std::vector<DiskExtent>& extents);

#endif  // TVX_PLATFORM_VOLUME_LOCATION_POSIX_H_
