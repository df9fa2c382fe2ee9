// The Linux side of RunningEncryptionDrivers, open to tests.
#ifndef TVX_PLATFORM_ENCRYPTION_DRIVERS_POSIX_H_
#define TVX_PLATFORM_ENCRYPTION_DRIVERS_POSIX_H_

#include <string>
#include <vector>

/// Returns the products whose kernel module the modules list at `modulesPath` (/proc/modules:
/// one module a line, its name first, then a blank) names: "VeraCrypt" for veracrypt,
/// "TrueCrypt" for truecrypt, in that order. Empty when the file cannot be read.
std::vector<std::string> EncryptionModulesListed(const std::string& modulesPath);

#endif  // TVX_PLATFORM_ENCRYPTION_DRIVERS_POSIX_H_
