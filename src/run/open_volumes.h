// Whether an encrypted volume that the physical pass names is open now, and where a volume that
// lives on no single device lies: pure rules over what the platform answered, so that the same
// answers give the same report on every platform.
#ifndef TVX_RUN_OPEN_VOLUMES_H_
#define TVX_RUN_OPEN_VOLUMES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/volume_location.h"
#include "report/report.h"

namespace Module1 {

/// Whether a volume is open now, and where its contents can be read when it is.
struct OpenView {
  bool open = false;
  std::vector<std::string> paths;
};

/// True for the finding kinds whose volumes the system itself can open: BitLocker and LUKS.
/// Only of these can TVX say that a volume is not open now; other software may open a volume of
/// another kind in ways no answer of the system shows.
bool CanBeOpenNow(const std::string& kind);

/// Returns whether the volume of finding kind `kind` that begins at byte `offset` of physical
/// drive `drive` is open now, from the system's `volumes`: open when a volume whose first extent
/// begins exactly there is known to decrypt it (a dm-crypt device, a dislocker or VeraCrypt
/// FUSE file system, a volume of the VeraCrypt or TrueCrypt driver), or, for a kind that
/// CanBeOpenNow, had its first sector read and that sector is not `kind`'s header (the volume
/// shows the decrypted contents). Its paths are the volume's paths, or its name when it has
/// none. A header, a failed read or no such volume: not open.
OpenView FindOpenView(const std::vector<SystemVolume>& volumes, int32_t drive, uint64_t offset,
                      const std::string& kind);

/// Records for each finding about `drive` or one of its partitions whether it is open now: for
/// a kind that CanBeOpenNow, open or not, as its first note and as its `open` and
/// `readableThrough`; for any other kind only when it is open, and `open` stays unset
/// otherwise.
void AddOpenNowNotes(const DriveRecord& drive, const std::vector<SystemVolume>& volumes,
                     Report& report);

/// Returns the places of `extents` on the drives of `report`, in extent order, each once: the
/// partition that begins at or last before the extent's first byte (0 when none does). Returns
/// none when there are no extents or any of them lies on no drive that was read in this run.
std::vector<DrivePlace> PlacesOfExtents(const std::vector<DiskExtent>& extents,
                                        const Report& report);

}  // namespace Module1

#endif  // TVX_RUN_OPEN_VOLUMES_H_
