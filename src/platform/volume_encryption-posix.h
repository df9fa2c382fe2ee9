// The sysfs walk behind DescribeVolumeEncryption on POSIX, over a tree given by its root so that
// it can run over a copy of /sys's shape as well as the live one.
#ifndef TVX_PLATFORM_VOLUME_ENCRYPTION_POSIX_H_
#define TVX_PLATFORM_VOLUME_ENCRYPTION_POSIX_H_

#include <string>

#include "platform/volume_encryption.h"

/// How far the walk goes below a volume, and how many devices it looks at in all: a real stack
/// (file system on LVM on LUKS on a partition) is a few devices deep; a looping or hostile tree
/// ends within these.
constexpr int kMaxLayerDepth = 16;
constexpr int kMaxLayerDevices = 256;

/// Looks at block device `kernelName` of the tree at `sysRoot` ("/sys" live) and the devices
/// below it (sysRoot/class/block/<name>/slaves, recursively) for a device-mapper device that
/// ProductFromDeviceMapper names, the nearest to the volume first. Returns true and fills
/// `layer` when it finds one: `below` unless it is `kernelName` itself; the drive and partition
/// when the devices below it, one under the other, end in a partition of a physical drive of
/// this run, else -1 and -1. Returns false when there is none or the tree cannot be read.
bool DescribeBlockDeviceEncryption(const std::string& sysRoot, const std::string& kernelName,
                                   EncryptionLayer& layer);

#endif  // TVX_PLATFORM_VOLUME_ENCRYPTION_POSIX_H_
