// The disk encryption drivers running on this machine: a running driver is the plainest sign
// that its volumes may be open now, whatever the letters show.
#ifndef TVX_PLATFORM_ENCRYPTION_DRIVERS_H_
#define TVX_PLATFORM_ENCRYPTION_DRIVERS_H_

#include <string>
#include <vector>

/// Returns the products whose encryption driver runs on this machine, by name ("VeraCrypt",
/// "TrueCrypt", "DiskCryptor"), in that order. On Windows a driver runs when its control device
/// (\\.\VeraCrypt, \\.\TrueCrypt, \\.\dcrypt) opens with no access rights; the handle is closed
/// at once and nothing is sent to it. On Linux, when /proc/modules lists the module veracrypt or
/// truecrypt; nothing when the drives are a device folder's images rather than this machine's
/// own. Never fails: a driver that cannot be asked about is not named.
std::vector<std::string> RunningEncryptionDrivers();

#endif  // TVX_PLATFORM_ENCRYPTION_DRIVERS_H_
