// The device folder as a folder: what its entries are, beyond the drive and letter names that
// the device paths lead to. On Windows, and on Linux without a device folder, there is none.
#ifndef TVX_PLATFORM_DEVICE_FOLDER_H_
#define TVX_PLATFORM_DEVICE_FOLDER_H_

#include <cstdint>
#include <string>
#include <vector>

/// What a folder entry is, links followed.
enum class EntryKind {
  Missing,      // nothing: a link whose target does not exist, or one that cannot be looked at
  RegularFile,  // a file
  BlockDevice,  // a block device
  Folder,       // a folder
  Other,        // a FIFO, a socket, a character device
  Unknown,      // not looked at: the folder's entries did not answer in time
};

/// One entry of the device folder.
struct FolderEntry {
  std::string name;  // as it stands in the folder
  EntryKind kind = EntryKind::Missing;
  uint64_t size = 0;            // in bytes, for a regular file
  bool deviceName = false;      // a name a drive or letter path leads to: "PhysicalDrive7", "C:"
  bool coveredByDrive = false;  // the same file or device as a drive or letter entry of the
                                // folder, or a file an image drive was read from (an E01's
                                // other segments, a VMDK's extents)
};

/// Returns every entry of the device folder that TVX_DEVICES names ("." and ".." left out), in
/// byte order of their names, with what each is and whether a drive or letter covers it (image
/// drives: those opened so far). Empty on the live system, for a single image, on Windows, and
/// when the folder cannot be read.
std::vector<FolderEntry> ListDeviceFolderEntries();

/// Returns the entries of the device folder by name alone, as ListDeviceFolderEntries does but
/// without looking at any of them (kind Unknown): for a folder whose entries stopped answering.
std::vector<FolderEntry> ListDeviceFolderNames();

/// Returns the target of the link that the drive path `drivePath` ("\\.\PhysicalDrive1") leads
/// to, as the link holds it, when that target does not exist; an empty text when the path leads
/// to no link, to a link whose target exists, or on Windows.
std::string DanglingLinkTarget(const std::string& drivePath);

#endif  // TVX_PLATFORM_DEVICE_FOLDER_H_
