// Where the Windows device names lead on POSIX, and what a device is in Windows' terms.
//
// With TVX_DEVICES naming a folder, "\\.\PhysicalDriveN" is the folder's entry "PhysicalDriveN"
// and "\\.\L:" its entry "L:": disk images, volume images, or links to block devices. With
// TVX_DEVICES naming a single file instead, that file is "\\.\PhysicalDrive0" and nothing else
// exists.
// Without it, the live system's block devices stand in: the physical drives are the whole disks
// of /sys/block that can be physical drives, in kernel-name order with attached loop devices
// last; C: is the device holding the root file system, D: onwards the other devices holding a
// mounted file system in mount-table order, then the optical drives. Either way the drives are
// numbered from 0 with no upper bound, gaps allowed in a device folder.
#ifndef TVX_PLATFORM_DEVICE_PATHS_POSIX_H_
#define TVX_PLATFORM_DEVICE_PATHS_POSIX_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/winapi-posix.h"

/// One whole-disk block device: its kernel name and device number.
struct BlockDevice {
  std::string name;
  dev_t device;
};

/// Returns the path behind a Windows device path ("\\.\PhysicalDrive0", "\\.\C:"), or an empty
/// text when no device stands behind it. A path that is not a Windows device path is returned
/// unchanged.
std::string ResolveDevicePath(const std::string& windowsPath);

/// Fills `answer` for the block device `device` as IOCTL_STORAGE_GET_DEVICE_NUMBER would: a
/// partition of physical drive N (7, N, partition), physical drive N itself (7, N, 0), or an
/// optical drive (2, its number, -1). Returns false for anything that lives on no physical drive.
bool QueryDeviceNumber(dev_t device, STORAGE_DEVICE_NUMBER& answer);

/// As QueryDeviceNumber, for the block device whose sysfs folder is `folder` (links followed:
/// "/sys/class/block/sda3", or the same shape in a test's tree). The drive numbers are this
/// run's, from the device folder or the live system.
bool QueryDeviceNumberAt(const std::string& folder, STORAGE_DEVICE_NUMBER& answer);

/// Returns the whole disks of the tree at `sysRoot` ("/sys" live) that are physical drives, in
/// drive order: natural kernel-name order, leaving out those that never are (ram, zram, dm-,
/// md, sr, fd, optical drives, loop devices without a backing file), attached loop devices last.
std::vector<BlockDevice> ListPhysicalDrives(const std::string& sysRoot);

/// Returns the drive numbers N of the entries "PhysicalDriveN" of the device folder `folder`
/// (N in plain decimal, no leading zeros, no upper bound), in increasing order.
std::vector<int32_t> ListFolderDrives(const std::string& folder);

/// True when `name` is a device folder entry that a drive or letter path leads to:
/// "PhysicalDriveN" as ListFolderDrives takes it, or "A:" to "Z:".
bool IsDeviceEntryName(const std::string& name);

/// Returns how many physical drives the live system has (ListPhysicalDrives of "/sys", worked
/// out once per run).
size_t LivePhysicalDriveCount();

#endif  // TVX_PLATFORM_DEVICE_PATHS_POSIX_H_
