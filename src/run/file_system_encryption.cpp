#include "run/file_system_encryption.h"

#include "base/bytes.h"
#include "disk/file_system_layout.h"
#include "disk/zfs_pool.h"

namespace Module1 {

namespace {

// The file systems whose superblock can turn fscrypt on: their name as the table gives it, the
// place of their feature word, the bit, and the verdict that names them.
struct FscryptMark {
  const char* fileSystem;
  size_t featureWord;
  uint32_t encryptBit;
  SectorRule verdict;
};

const FscryptMark kFscryptMarks[] = {
    {"ext4",
     Superblock::kExtIncompatFeatures,
     Superblock::kExtEncrypt,
     {"fscrypt",
      {},
      " may hold encrypted folders: its ext4 file system has encryption turned on."}},
    {"ext3",
     Superblock::kExtIncompatFeatures,
     Superblock::kExtEncrypt,
     {"fscrypt",
      {},
      " may hold encrypted folders: its ext3 file system has encryption turned on."}},
    {"ext2",
     Superblock::kExtIncompatFeatures,
     Superblock::kExtEncrypt,
     {"fscrypt",
      {},
      " may hold encrypted folders: its ext2 file system has encryption turned on."}},
    {"F2FS",
     Superblock::kF2fsFeatures,
     Superblock::kF2fsEncrypt,
     {"fscrypt",
      {},
      " may hold encrypted folders: its F2FS file system has encryption turned on."}},
};

const SectorRule kZfsEncryption = {"zfs-encryption", {}, " holds encrypted ZFS datasets."};

}  // namespace

const SectorRule* FileSystemEncryptionVerdict(DiskIO::Volume& volume,
                                              const std::string& fileSystem) {
  for (const FscryptMark& mark : kFscryptMarks) {
    if (fileSystem != mark.fileSystem) continue;
    const std::string word = DiskIO::ProbeBytes(volume, mark.featureWord, 4);
    const bool on = word.size() == 4 && (LittleEndianValue(word, 0, 4) & mark.encryptBit) != 0;
    return on ? &mark.verdict : nullptr;
  }
  if (fileSystem == "ZFS member" &&
      DiskIO::ReadZfsEncryption(volume) == DiskIO::ZfsEncryption::kEncrypted) {
    return &kZfsEncryption;
  }
  return nullptr;
}

}  // namespace Module1
