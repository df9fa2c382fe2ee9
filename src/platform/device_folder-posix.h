// The record, for device_folder.h, of the files that image drives were read from besides their
// own: an E01's other segments, a VMDK's extents.
#ifndef TVX_PLATFORM_DEVICE_FOLDER_POSIX_H_
#define TVX_PLATFORM_DEVICE_FOLDER_POSIX_H_

#include <string>

/// Notes that the file at `path` (links followed) is read as part of an image drive, so that
/// ListDeviceFolderEntries marks the folder's entries for it as covered by a drive. Does nothing
/// when `path` cannot be looked at.
void NoteImagePartFile(const std::string& path);

#endif  // TVX_PLATFORM_DEVICE_FOLDER_POSIX_H_
