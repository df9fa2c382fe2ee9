// Whether a ZFS pool holds encrypted datasets, read from one of its devices: OpenZFS counts the
// datasets that use the encryption feature (com.datto:encryption) in the pool's
// "features_for_read" object, which the pool's object directory names; the newest uberblock of
// the device's labels leads there through the meta-object set.
#ifndef TVX_DISK_ZFS_POOL_H_
#define TVX_DISK_ZFS_POOL_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "disk/volume_reader.h"
#include "disk/zfs_label.h"

namespace DiskIO {

/// What a pool's metadata says of encryption.
enum class ZfsEncryption {
  kUnknown,    // the labels or the path to the count could not be read from this device
  kNone,       // no dataset of the pool is encrypted
  kEncrypted,  // at least one is
};

/// The GUID of the encryption feature.
constexpr std::string_view kZfsEncryptionFeature = "com.datto:encryption";

/// The first pool version with feature flags; no pool before it can encrypt.
constexpr uint64_t kZfsFeaturesVersion = 5000;

/// Reads the encryption state of the pool whose member `volume` is: the configuration of label
/// 0, or of label 2 (the first of the two in the last 512 KiB, the size rounded down to 256
/// KiB) when label 0 cannot be read or parsed. A pool before feature flags: kNone. Else the
/// label's features_for_read naming com.datto:encryption: kEncrypted. Else, for a top-level
/// vdev whose blocks this device holds whole (disk, file, mirror, replacing, spare), the
/// uberblocks of that label's ring, newest first (at most three tried), each leading to the
/// meta-object set, object 1 (the object directory), its "features_for_read" object and the
/// count there: kEncrypted when it is above zero, kNone when it is zero or absent. kUnknown
/// otherwise.
ZfsEncryption ReadZfsEncryption(Volume& volume);

}  // namespace DiskIO

#endif  // TVX_DISK_ZFS_POOL_H_
