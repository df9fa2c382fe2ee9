// Encryption inside an ordinary file system: fscrypt folders on ext4 and F2FS, whose superblock
// says encryption is turned on, and encrypted datasets in a ZFS pool. The volume keeps its file
// system's name; the finding says what it may hold.
#ifndef TVX_RUN_FILE_SYSTEM_ENCRYPTION_H_
#define TVX_RUN_FILE_SYSTEM_ENCRYPTION_H_

#include <string>

#include "disk/volume_reader.h"
#include "run/detection_rules.h"

namespace Module1 {

/// Returns the verdict for a volume that the file-system table named `fileSystem`: kind
/// "fscrypt" for ext2, ext3 or ext4 with the incompatible feature "encrypt" (0x10000), or F2FS
/// whose feature word has its encrypt bit (0x1); kind "zfs-encryption" for a "ZFS member" whose
/// pool counts encrypted datasets (DiskIO::ReadZfsEncryption). Returns nullptr for every other
/// volume, and for a ZFS pool whose count cannot be read from this device.
const SectorRule* FileSystemEncryptionVerdict(DiskIO::Volume& volume,
                                              const std::string& fileSystem);

}  // namespace Module1

#endif  // TVX_RUN_FILE_SYSTEM_ENCRYPTION_H_
