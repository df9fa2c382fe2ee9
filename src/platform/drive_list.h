// The physical drives the system lists.
#ifndef TVX_PLATFORM_DRIVE_LIST_H_
#define TVX_PLATFORM_DRIVE_LIST_H_

#include <cstdint>
#include <vector>

/// Returns the numbers N of the physical drives "\\.\PhysicalDriveN" that the system lists, in
/// increasing order, each once, with no upper bound: on Windows the disks SetupAPI enumerates,
/// elsewhere the drives of the device folder or of the live system. Empty when the system lists
/// none or cannot tell.
std::vector<int32_t> ListPhysicalDriveNumbers();

#endif  // TVX_PLATFORM_DRIVE_LIST_H_
