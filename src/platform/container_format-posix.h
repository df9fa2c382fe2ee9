// Disk image container formats, recognised by their content rather than their name.
#ifndef TVX_PLATFORM_CONTAINER_FORMAT_POSIX_H_
#define TVX_PLATFORM_CONTAINER_FORMAT_POSIX_H_

#include <cstddef>
#include <cstdint>
#include <string>

/// What a file holds, as far as its first and last bytes tell.
enum class ImageFormat {
  kRaw,         // none of the below: the file's bytes are the disk's
  kEwf,         // EnCase / Expert Witness (E01, S01): "EVF" 09 0D 0A FF 00
  kEwfLogical,  // EnCase logical evidence (L01): "LVF" 09 0D 0A FF 00
  kEwf2,        // EnCase 7 version 2 (Ex01): "EVF2" 0D 0A 81 00
  kVhd,         // Virtual PC / Hyper-V VHD: "conectix" in the footer or its copy at byte 0
  kVhdx,        // Hyper-V VHDX: "vhdxfile"
  kVmdk,        // VMware: a sparse extent ("KDMV", "COWD") or a text descriptor
  kQcow,        // QEMU QCOW version 1 to 3: "QFI" FB
  kAff,         // Advanced Forensic Format: "AFF10" 0D 0A
  kVdi,         // VirtualBox: 7F 10 DA BE at byte 64
  kDmg,         // Apple disk image: "koly" at the start of the last 512 bytes
};

/// Returns the format of a file whose first bytes are `head` and whose last 512 bytes (or all
/// of it when shorter) are `tail`. Either may be shorter than 512 bytes, or empty.
ImageFormat DetectImageFormat(const uint8_t* head, size_t headSize, const uint8_t* tail,
                              size_t tailSize);

/// The bytes DetectFileFormat reads at the start of a file: enough for the formats' marks and
/// for both places a GPT header may lie, so that a raw image's first sectors are read once.
constexpr size_t kFileHeadBytes = 8192;

/// Returns the format of the regular file open as `fd` of `size` bytes, reading its first
/// kFileHeadBytes and its last 512 bytes (fewer when it is shorter; none when they cannot be
/// read, which gives kRaw), and hands them back in `head` and `tail` when given.
ImageFormat DetectFileFormat(int fd, uint64_t size, std::string* head = nullptr,
                             std::string* tail = nullptr);

/// Returns the name the report gives a format: "E01", "VHD", "VMDK", "QCOW", "AFF", ...
const char* ImageFormatName(ImageFormat format);

#endif  // TVX_PLATFORM_CONTAINER_FORMAT_POSIX_H_
