// The names that tell which encryption product a device belongs to, as pure rules on text, the
// same on every platform.
#ifndef TVX_PLATFORM_VOLUME_NAMES_H_
#define TVX_PLATFORM_VOLUME_NAMES_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// Returns the product whose driver made a drive letter's device, from the letter's
/// QueryDosDevice target: "VeraCrypt" for one beginning "\Device\VeraCryptVolume", "TrueCrypt"
/// for "\Device\TrueCryptVolume" (object names are matched without regard to case); an empty
/// text for any other target.
std::string ProductFromDosDeviceTarget(const std::string& target);

/// Returns the encryption a device-mapper device is, from its dm/uuid and dm/name: by the uuid
/// prefix cryptsetup gives it ("CRYPT-LUKS1-", "CRYPT-LUKS2-" LUKS, "CRYPT-TCRYPT-" "TrueCrypt or
/// VeraCrypt", "CRYPT-BITLK-" BitLocker, "CRYPT-PLAIN-" "plain dm-crypt"), else by the names
/// VeraCrypt and TrueCrypt give their volumes ("veracrypt" or "truecrypt" and digits); an empty
/// text when it is none of these.
std::string ProductFromDeviceMapper(const std::string& uuid, const std::string& name);

/// True when a device-mapper device with dm/uuid `uuid` and dm/name `name` shows the decrypted
/// contents of what lies below it: one that ProductFromDeviceMapper names, or any other device
/// cryptsetup opens ("CRYPT-" and its type: loop-AES, FileVault 2, ...), but for the integrity,
/// verity and sub-devices it makes beside them and its temporary devices ("CRYPT-INTEGRITY-",
/// "CRYPT-VERITY-", "CRYPT-SUBDEV-", "CRYPT-TEMP-"), which decrypt nothing.
bool IsDecryptingMapper(const std::string& uuid, const std::string& name);

/// A volume that the VeraCrypt or TrueCrypt driver on Windows has mounted: its drive letter and
/// what it was mounted from ("\Device\Harddisk1\Partition2", "\??\C:\secret.hc").
struct DriverMount {
  char letter;
  std::string host;
};

/// The bytes of the drivers' MOUNT_LIST_STRUCT that every version of VeraCrypt and TrueCrypt
/// shares: a 32-bit field of drive letters, then 26 paths of 260 UTF-16 units each.
constexpr size_t kMountListSharedBytes = 4 + 26 * 260 * 2;

/// Returns the mounts in `answer`, the drivers' answer to TC_IOCTL_GET_MOUNTED_VOLUMES: for each
/// letter whose bit is set in the little-endian field (bit 0 for A: to bit 25 for Z:), its
/// path, UTF-16LE up to its NUL or its 260 units, each unit past ASCII and each control
/// character as '?'. None when the answer is shorter than kMountListSharedBytes.
std::vector<DriverMount> ParseDriverMountList(std::string_view answer);

#endif  // TVX_PLATFORM_VOLUME_NAMES_H_
