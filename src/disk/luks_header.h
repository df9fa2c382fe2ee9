// LUKS headers: which key slots a LUKS1 or LUKS2 volume has, and which of them LUKS2's tokens
// open.
#ifndef TVX_DISK_LUKS_HEADER_H_
#define TVX_DISK_LUKS_HEADER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "disk/sector.h"

namespace DiskIO {

/// One LUKS2 token: its type ("systemd-tpm2", "systemd-fido2", ...) and whether it asks for a
/// PIN as well (systemd-tpm2's "tpm2-pin").
struct LuksToken {
  std::string type;
  bool needsPin = false;
};

/// The ways into a LUKS volume that its header shows: the active key slots that no token refers
/// to (a passphrase or a key file opens them), and the tokens in token order.
struct LuksKeys {
  int32_t version = 0;
  int32_t plainKeySlots = 0;
  std::vector<LuksToken> tokens;
};

/// Parses a LUKS1 header (its first 592 bytes): every key slot active or disabled, the active
/// ones counted. Returns false when `header` is shorter, not LUKS1, or a slot is neither.
bool ParseLuks1Header(const std::string& header, LuksKeys& keys);

/// Returns the size a LUKS2 header declares for itself (binary header and JSON area), from its
/// first bytes; 0 when it is not LUKS2 or the size is not a power of two from 16 KiB to 4 MiB.
uint64_t Luks2HeaderSize(const std::string& head);

/// Parses a LUKS2 header held in `header` (exactly its declared size): its SHA-256 checksum,
/// taken over the header with the checksum field zeroed, must match, and its JSON area must hold
/// a JSON object with "keyslots" and "tokens" objects. Key slots of type "reencrypt" are not
/// ways in. Returns false, leaving `keys` as they were, when any of this fails.
bool ParseLuks2Header(const std::string& header, LuksKeys& keys);

/// Parses the text of a LUKS2 JSON area (up to its first zero byte): a JSON object with
/// "keyslots" and "tokens" objects. Returns false, leaving `keys` as they were, when it is not.
bool ParseLuks2JsonArea(const std::string& text, LuksKeys& keys);

/// Reads the header of a LUKS volume through `read`: the first 4096 bytes, and for LUKS2 its
/// whole declared size. Returns false when a read fails or the header does not check out.
bool ReadLuksKeys(const ByteSource& read, LuksKeys& keys);

}  // namespace DiskIO

#endif  // TVX_DISK_LUKS_HEADER_H_
