// The record, for device_folder.h, of the files and devices the drives of a run were read from.
#ifndef TVX_PLATFORM_DEVICE_FOLDER_POSIX_H_
#define TVX_PLATFORM_DEVICE_FOLDER_POSIX_H_

#include <string>

/// Notes that the file or block device at `path` (links followed) is read as a drive, or as part
/// of one (an image's other segments or extents), so that ListDeviceFolderEntries marks the
/// folder's entries for it as used. Does nothing when `path` cannot be looked at.
void NoteFileUsedAsDrive(const std::string& path);

#endif  // TVX_PLATFORM_DEVICE_FOLDER_POSIX_H_
