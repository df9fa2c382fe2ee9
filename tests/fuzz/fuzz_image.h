// The fuzz target's disk images: how an input becomes a drive image, and reads back from it.
#ifndef TVX_TESTS_FUZZ_FUZZ_IMAGE_H_
#define TVX_TESTS_FUZZ_FUZZ_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// Input flags (byte 0).
constexpr uint8_t kFixHeaderCrc = 1;   // rewrite the GPT header CRC to match
constexpr uint8_t kFixArrayCrc = 2;    // rewrite the entry array CRC to match
constexpr uint8_t kDriveFive = 4;      // the drive is PhysicalDrive5, not PhysicalDrive0
constexpr uint8_t kLargeSectors = 8;   // lay the GPT and partitions out in 4096-byte sectors
constexpr uint8_t kBackupHeader = 16;  // move the GPT header to the last sector, as its backup
constexpr uint8_t kMetadataOnly = 32;  // give the rest to the metadata parsers, with no scan

/// Lays the input out as the image at `path` (see scan_fuzzer.cpp for the layout); returns false
/// when the image cannot be made.
bool WriteImage(const std::string& path, const uint8_t* data, size_t size);

/// Returns `count` bytes at byte `offset` of the open image, zeros past its end.
std::vector<uint8_t> ReadBack(int fd, uint64_t offset, size_t count);

/// Returns the little-endian value of `length` bytes at `offset` of `bytes`, zeros past the end.
uint64_t LittleEndian(const std::vector<uint8_t>& bytes, size_t offset, size_t length);

/// Returns the sector size a raw image reads with: 4096 when bytes 4096 to 4103 are "EFI PART"
/// and bytes 512 to 519 are not, else 512.
uint64_t ImageSectorSize(int fd);

#endif  // TVX_TESTS_FUZZ_FUZZ_IMAGE_H_
