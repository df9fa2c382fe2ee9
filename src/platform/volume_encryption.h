// Naming the open encrypted volume behind a drive letter, where the platform can tell: on
// Windows from the letter's device name, on Linux from the device-mapper devices it lies on.
#ifndef TVX_PLATFORM_VOLUME_ENCRYPTION_H_
#define TVX_PLATFORM_VOLUME_ENCRYPTION_H_

#include <cstdint>
#include <string>

/// What encryption a drive letter's volume is, or lies on, when the platform can tell.
struct EncryptionLayer {
  // "VeraCrypt", "TrueCrypt", "LUKS", "TrueCrypt or VeraCrypt", "BitLocker", "plain dm-crypt"
  std::string product;
  // true when the encryption lies below the volume rather than being it
  bool below;
  // physical drive number of the lowest device, or -1 when not a partition of a physical drive
  // of this run
  int32_t drive;
  // its partition number, or -1
  int32_t partition;
};

/// Returns true and fills `layer` when the volume of drive letter `letter` ('A'..'Z') is, or lies
/// on, an open encrypted volume that the platform can name; false otherwise (and on any failure).
bool DescribeVolumeEncryption(char letter, EncryptionLayer& layer);

#endif  // TVX_PLATFORM_VOLUME_ENCRYPTION_H_
