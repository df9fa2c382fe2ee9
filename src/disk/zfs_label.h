// A ZFS vdev label's configuration: the nvlist that OpenZFS packs in XDR into 112 KiB of each of
// the four labels of every device of a pool, read as far as TVX needs it.
#ifndef TVX_DISK_ZFS_LABEL_H_
#define TVX_DISK_ZFS_LABEL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace DiskIO {

/// Where the packed configuration lies in a 256 KiB label, and how long it is at most.
constexpr size_t kZfsLabelConfigOffset = 16 * 1024;
constexpr size_t kZfsLabelConfigBytes = 112 * 1024;

/// The limits of the parse: how deep lists nest, and how many pairs all of them hold together.
constexpr int kZfsMaxNesting = 16;
constexpr size_t kZfsMaxPairs = 4096;

/// What a label's configuration says about its pool and the top-level vdev the device is in.
struct ZfsLabel {
  uint64_t version = 0;                      // the pool's on-disk version: 5000 with features
  uint64_t topVdevId = 0;                    // "id" of "vdev_tree"
  std::string topVdevType;                   // "type" of "vdev_tree": "disk", "mirror", ...
  std::vector<std::string> featuresForRead;  // the names in "features_for_read", in order
};

/// True when `packed` opens with the header of a configuration packed in XDR: encoding 1, a
/// byte order of 0 or 1, two zero bytes.
bool IsZfsXdrHeader(std::string_view packed);

/// Parses a packed configuration: a 4-byte header saying XDR (1, either byte order, two zero
/// bytes), then an nvlist of version 0 whose pairs each give their encoded size, which must
/// match what their name, type, count and value take. Lists within lists are parsed too, at
/// most kZfsMaxNesting deep and kZfsMaxPairs pairs in all; values of other types are stepped
/// over by their size. Returns false when the bytes are cut short, any size or count does not
/// fit, a limit is passed, or the list lacks a 64-bit "version" or a "vdev_tree" list.
bool ParseZfsLabel(std::string_view packed, ZfsLabel& label);

}  // namespace DiskIO

#endif  // TVX_DISK_ZFS_LABEL_H_
