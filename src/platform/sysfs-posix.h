// Reading the kernel's block device tree (/sys, or a copy of its shape for tests): small
// attribute files, device numbers, and the names of block devices.
#ifndef TVX_PLATFORM_SYSFS_POSIX_H_
#define TVX_PLATFORM_SYSFS_POSIX_H_

#include <sys/types.h>

#include <string>
#include <vector>

/// Returns the first line of a small sysfs or proc file, or an empty text when it cannot be read.
std::string ReadFirstLine(const std::string& path);

/// True when something exists at `path`, links followed.
bool PathExists(const std::string& path);

/// Parses "MAJ:MIN" into a device number; false when the text is not exactly one.
bool ParseDeviceNumber(const std::string& text, dev_t& device);

/// Returns the folder of block device `device` under the tree at `sysRoot`: sysRoot/dev/block/M:m.
std::string BlockDeviceLink(const std::string& sysRoot, dev_t device);

/// Returns the kernel name ("sda3", "dm-0") of the block device whose sysfs folder is `folder`,
/// links followed, or an empty text when there is none.
std::string KernelNameAt(const std::string& folder);

/// Returns the names in folder `path` that do not begin with '.', in byte order; none when the
/// folder cannot be read.
std::vector<std::string> FolderEntries(const std::string& path);

#endif  // TVX_PLATFORM_SYSFS_POSIX_H_
