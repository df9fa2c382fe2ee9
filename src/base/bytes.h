// Small helpers over bytes and text that every layer uses: prefixes, little-endian fields, and
// the sector sizes and GPT signature that both the platform and the disk code need.
#ifndef TVX_BASE_BYTES_H_
#define TVX_BASE_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

/// The size of a sector, in bytes: what the rules look at, and the logical sector size of most
/// drives.
constexpr size_t kSectorSize = 512;

/// The logical sector size of 4Kn drives, where partition tables count 4096-byte sectors.
constexpr uint32_t kLargeSectorSize = 4096;

/// The eight bytes that open a GPT header.
constexpr std::string_view kGptHeaderSignature = "EFI PART";

/// True when every byte of `bytes` is zero (and when there are none).
inline bool IsAllZero(std::string_view bytes) {
  return bytes.find_first_not_of('\0') == std::string_view::npos;
}

/// True when `text` begins with `prefix`, byte for byte.
inline bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

/// True when `text` begins with `prefix`, ASCII letters compared without regard to case.
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);

/// True when `text` ends with `ending`, ASCII letters compared without regard to case.
bool EndsWithIgnoringCase(std::string_view text, std::string_view ending);

/// Returns the little-endian unsigned value of `length` (at most 8) bytes at `offset` of `bytes`;
/// bytes past the end count as zero.
uint64_t LittleEndianValue(std::string_view bytes, size_t offset, size_t length);

/// Returns the big-endian unsigned value of `length` (at most 8) bytes at `offset` of `bytes`;
/// bytes past the end count as zero.
uint64_t BigEndianValue(std::string_view bytes, size_t offset, size_t length);

/// Returns the unsigned value of `length` (at most 8) bytes at `offset` of `bytes`, big-endian
/// when `bigEndian` says so and little-endian otherwise; bytes past the end count as zero.
inline uint64_t EndianValue(std::string_view bytes, size_t offset, size_t length, bool bigEndian) {
  return bigEndian ? BigEndianValue(bytes, offset, length)
                   : LittleEndianValue(bytes, offset, length);
}

#endif  // TVX_BASE_BYTES_H_
