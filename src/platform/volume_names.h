// The names that tell which encryption product a device belongs to, as pure rules on text, the
// same on every platform.
#ifndef TVX_PLATFORM_VOLUME_NAMES_H_
#define TVX_PLATFORM_VOLUME_NAMES_H_

#include <string>

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

#endif  // TVX_PLATFORM_VOLUME_NAMES_H_
