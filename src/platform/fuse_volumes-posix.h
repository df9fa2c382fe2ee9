// Volumes opened in user space on Linux: dislocker serves a BitLocker volume's decrypted bytes as
// the one file "dislocker-file" of a FUSE file system; VeraCrypt (and TrueCrypt) serve a mounted
// volume's as the file "volume" of their auxiliary FUSE file system, whose file "control" holds
// what they know of the volume, serialised, its path among it.
#ifndef TVX_PLATFORM_FUSE_VOLUMES_POSIX_H_
#define TVX_PLATFORM_FUSE_VOLUMES_POSIX_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/volume_location.h"

/// What an auxiliary file system's "control" file says of its volume.
struct AuxiliaryVolume {
  std::string path;           // the volume's host: a device ("/dev/sdb2") or a container file
  std::string virtualDevice;  // the device its plain contents are read through, or empty
};

/// Reads `control`, the bytes of an auxiliary file system's "control" file: VeraCrypt's (and
/// TrueCrypt's) serialised VolumeInfo, whose wide strings "Path" and "VirtualDevice" follow their
/// names, each name and each length an 8-byte big-endian size of 8 and then the value, a wide
/// string as 4-byte little-endian characters ending in a NUL. Returns false when "Path" is not
/// there whole; a "VirtualDevice" not there whole is left empty. Characters past ASCII are kept
/// as UTF-8; control characters make the string not there.
bool ParseAuxiliaryControl(std::string_view control, AuxiliaryVolume& volume);

/// Returns the volumes that dislocker and the auxiliary file systems of VeraCrypt and TrueCrypt
/// serve, by the mounts of the table at `mountinfo` (a type "fuse.dislocker..." or a source
/// "dislocker..."; a type "fuse.veracrypt" or "fuse.truecrypt", or a mount point named
/// ".veracrypt_aux_mnt" or ".truecrypt_aux_mnt" and more), each as a volume that decrypts and
/// lies where the block device it reads lies in the tree at `sysRoot` (BlockDeviceExtents): for
/// VeraCrypt the path its "control" file names; for dislocker a source that is a device node,
/// else the block devices held open by the process under `procRoot` ("/proc" live) whose
/// program is dislocker and which was given the mount point (as is, or from its working
/// folder). It is read through the mount point, the file of plain contents in it, and the mount
/// points of the devices those contents are read through: VeraCrypt's virtual device, and the
/// loop devices backed by the file. A mount whose device cannot be found lies nowhere.
std::vector<SystemVolume> FuseVolumes(const std::string& sysRoot, const std::string& mountinfo,
                                      const std::string& procRoot);

#endif  // TVX_PLATFORM_FUSE_VOLUMES_POSIX_H_
