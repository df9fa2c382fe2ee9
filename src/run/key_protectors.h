// Whether a BitLocker or LUKS volume will open again after power-off, and with what: its key
// protectors and encryption state, read from the volume's own metadata, as facts and as lines
// of its finding.
#ifndef TVX_RUN_KEY_PROTECTORS_H_
#define TVX_RUN_KEY_PROTECTORS_H_

#include <cstdint>

#include "disk/bitlocker_metadata.h"
#include "disk/luks_header.h"
#include "disk/sector.h"
#include "disk/volume_reader.h"
#include "report/report.h"

namespace Module1 {

/// Returns the unlock facts of a BitLocker volume from its FVE metadata: a clear key first (its
/// protection is suspended), then the other protector kinds in the report's order ("TPM", "TPM
/// and PIN", "TPM and startup key", "TPM, PIN and startup key", "startup key", "recovery
/// password", "password", "smart card", then any protection type not known here as "unknown
/// protector"), each with its count; and the encryption state.
UnlockFacts BitLockerUnlockFacts(const DiskIO::FveMetadata& metadata);

/// Returns the unlock facts of a LUKS volume from its header: the active key slots no token
/// refers to as "passphrase or key file", then one name per kind of token in token order
/// ("TPM", "TPM and PIN", "FIDO2 key", "smart card", "clevis (TPM or network key server)", or
/// the token's own type, cut to 64 characters with any but printable ASCII as '?'), each with
/// its count.
UnlockFacts LuksUnlockFacts(const DiskIO::LuksKeys& keys);

/// Returns the lines a finding says about unlocking its volume, from `facts` of a volume of
/// `kind` ("bitlocker" or "luks"): a suspended protection, the protectors it can be unlocked
/// with (BitLocker's each once, LUKS's with their count when more than one), and an encryption
/// state other than "encrypted". None when the facts could not be read.
std::vector<std::string> UnlockNotes(const std::string& kind, const UnlockFacts& facts);

/// For a "bitlocker" or "luks" finding, reads the volume's metadata through `volume` (whose first
/// sector is `sector`), as much as kMetadataBudget allows, sets the finding's unlock facts and
/// appends its lines to the finding's notes. A read that fails is kept in the volume. Findings of
/// other kinds are left as they are.
void AddUnlockFacts(DiskIO::Volume& volume, const SectorText& sector, Finding& finding);

}  // namespace Module1

#endif  // TVX_RUN_KEY_PROTECTORS_H_
