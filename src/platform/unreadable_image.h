// Why a drive could not be opened when it is a disk image in a container format.
#ifndef TVX_PLATFORM_UNREADABLE_IMAGE_H_
#define TVX_PLATFORM_UNREADABLE_IMAGE_H_

#include <string>

/// After a failed CreateFileA on the same thread: true when the path was a disk image in a
/// container format this build cannot read; sets `format` ("E01", "AFF", "VDI", "DMG", "VHD",
/// "VMDK", "QCOW", ...) and `reason` (a few words, one line, no final full stop, e.g. "its other
/// segments are missing", "this format is not supported", or the library's own message shortened to
/// one line). False after any other failure or success.
bool LastOpenWasUnreadableImage(std::string& format, std::string& reason);

#endif  // TVX_PLATFORM_UNREADABLE_IMAGE_H_
