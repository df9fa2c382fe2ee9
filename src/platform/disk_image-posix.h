// Disk images in container formats, read through the libyal library made for each format:
// libewf (E01 and its segments), libvhdi (VHD, VHDX), libvmdk (VMDK) and libqcow (QCOW), each
// loaded the first time an image of its format is met (image_libraries-posix.h). Every library
// opens its files read-only. A build made with TVX_RAW_IMAGES_ONLY loads none and reads raw
// images alone. A drive handle on such an image reads the disk the
// image holds, with the semantics of a raw image: its media size, and reads at or past the end
// returning fewer bytes or none.
#ifndef TVX_PLATFORM_DISK_IMAGE_POSIX_H_
#define TVX_PLATFORM_DISK_IMAGE_POSIX_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/container_format-posix.h"

/// An open disk image, read through its format's library.
class DiskImage {
 public:
  DiskImage(uint64_t mediaSize, uint32_t bytesPerSector)
      : mediaSize_(mediaSize), bytesPerSector_(bytesPerSector) {}
  virtual ~DiskImage() = default;
  DiskImage(const DiskImage&) = delete;
  DiskImage& operator=(const DiskImage&) = delete;

  /// Reads up to `count` bytes at byte `offset` of the disk, as many as lie before its end.
  /// Returns the count read, or -1 when the library fails (the reason is then in error()).
  int64_t Read(uint64_t offset, void* buffer, size_t count);

  /// Returns the disk's size in bytes.
  uint64_t mediaSize() const { return mediaSize_; }
  /// Returns the logical sector size the format records, or 0 when it records none.
  uint32_t bytesPerSector() const { return bytesPerSector_; }
  /// Returns the library's message for the last failed read, one line.
  const std::string& error() const { return error_; }

 protected:
  /// Reads `count` bytes (all before the end) at `offset` through the library; returns the
  /// count read, or -1 with `error` set.
  virtual int64_t ReadAt(uint64_t offset, void* buffer, size_t count, std::string& error) = 0;

 private:
  uint64_t mediaSize_;
  uint32_t bytesPerSector_;
  std::string error_;
};

/// What opening a file as a disk image came to.
enum class ImageOpening {
  kRaw,         // not a container format: read the file's own bytes
  kOpened,      // `image` reads the disk
  kUnreadable,  // a container this build cannot read: `format` and `reason` say which and why
};

/// Looks at the content of the regular file `path`, open as `fd` and `size` bytes long, and
/// opens it through its format's library when it is a container; the bytes looked at (see
/// DetectFileFormat) are handed back in `head` and `tail` when given. An image is kOpened only when
/// the library opened it and its first sector reads; any failure makes it kUnreadable, as does
/// every container in a build that reads raw images only.
ImageOpening OpenDiskImage(const std::string& path, int fd, uint64_t size,
                           std::unique_ptr<DiskImage>& image, std::string& format,
                           std::string& reason, std::string* head = nullptr,
                           std::string* tail = nullptr);

/// Records the outcome of an open for LastOpenWasUnreadableImage (unreadable_image.h): an
/// unreadable image's format and reason, or (`format` empty) anything else.
void RecordOpenOutcome(const std::string& format, const std::string& reason);

/// Opens the image at `path`, of a format a library reads (kEwf, kVhd, kVhdx, kVmdk, kQcow),
/// loading that library the first time (libyal_images-posix.cpp). Returns the open image, or
/// nullptr with `reason` set when the library is missing, refuses the file, or the image cannot
/// be read without files this build does not open (missing segments, a parent image, a key).
std::unique_ptr<DiskImage> OpenLibraryImage(ImageFormat format, const std::string& path,
                                            std::string& reason);

/// Returns a library's error text as one short line: its first line (the deepest cause), without
/// the "function_name: " prefix or a final full stop, control and non-ASCII bytes shown as ".",
/// cut at a blank to at most 120 characters. Empty text gives "the library refused it".
std::string ShortLibraryMessage(const std::string& text);

/// Returns a libyal error (`print` is the library's error_backtrace_sprint, `release` its
/// error_free) as ShortLibraryMessage gives it, and frees it.
template <typename Error>
std::string TakeLibraryError(Error*& error, int (*print)(Error*, char*, size_t),
                             void (*release)(Error**)) {
  if (error == nullptr) return ShortLibraryMessage("");
  char text[1024] = {0};
  print(error, text, sizeof text);
  release(&error);
  return ShortLibraryMessage(text);
}

#endif  // TVX_PLATFORM_DISK_IMAGE_POSIX_H_
