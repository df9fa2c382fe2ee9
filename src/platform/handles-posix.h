// What a HANDLE points to on POSIX: a file descriptor and, for drives, a position of its own
// and the disk image read through its library, if the file is one.
#ifndef TVX_PLATFORM_HANDLES_POSIX_H_
#define TVX_PLATFORM_HANDLES_POSIX_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/winapi-posix.h"

class DiskImage;

/// Bytes of a drive that were read once and are kept: where they begin, and the bytes.
struct KeptBytes {
  uint64_t offset;
  std::string bytes;
};

/// The state behind one handle.
struct PosixHandle {
  uint32_t magic;              // kHandleMagic while the handle is open
  int fd;                      // the descriptor
  bool standard;               // standard input, output or error: never closed, never positioned
  uint64_t position;           // the drive's file position, in bytes
  DiskImage* image = nullptr;  // owned: the disk read instead of fd's bytes, for a disk image
  /// Bytes of a drive image already read when it was opened or its sector size was guessed (its
  /// first 8 KiB and its last 512 bytes), which later reads are given instead of reading them
  /// again: a raw image's first and last sectors are then read once in a run.
  std::vector<KeptBytes> kept = {};
  bool headKept = false;  // the first 8 KiB have been read (or tried) and kept
};

constexpr uint32_t kHandleMagic = 0x54565848;  // "TVXH"

/// Returns the state behind a handle, or nullptr (last error 6) when it is not an open handle.
PosixHandle* HandleState(HANDLE handle);

#endif  // TVX_PLATFORM_HANDLES_POSIX_H_
