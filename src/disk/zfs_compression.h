// The compressions OpenZFS gives the blocks of a pool's metadata: none, LZJB (the old default)
// and LZ4 (the default since the lz4_compress feature), each undone into a buffer of the
// block's logical size.
#ifndef TVX_DISK_ZFS_COMPRESSION_H_
#define TVX_DISK_ZFS_COMPRESSION_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace DiskIO {

/// The compression values of a block pointer that ZfsDecompress undoes.
constexpr uint8_t kZfsCompressOff = 2;
constexpr uint8_t kZfsCompressLzjb = 3;
constexpr uint8_t kZfsCompressEmpty = 4;
constexpr uint8_t kZfsCompressLz4 = 15;

/// Fills `out` with the `size` bytes that `in`, compressed by `compression`, holds: for none,
/// the first `size` bytes of `in`; for empty, zeros; for LZ4, ZFS's 4-byte big-endian length of
/// the LZ4 block that follows, decoded, and zeros after it up to `size`; for LZJB, decoded until
/// `size` bytes are out. Returns false for any other compression, and when the input ends early,
/// a match reaches back before the output's start, or the output would pass `size`.
bool ZfsDecompress(uint8_t compression, std::string_view in, size_t size, std::string& out);

}  // namespace DiskIO

#endif  // TVX_DISK_ZFS_COMPRESSION_H_
