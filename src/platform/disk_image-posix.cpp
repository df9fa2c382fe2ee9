// Opening a file as a disk image: the format by content, the library's open, a first read, and
// the record of why an image could not be opened.
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/container_format-posix.h"
#include "platform/disk_image-posix.h"
#include "platform/unreadable_image.h"

namespace {

constexpr size_t kMessageLimit = 120;
constexpr size_t kFirstSector = 512;

// The outcome of the calling thread's last CreateFileA: an unreadable image's format and reason,
// or empty. Per thread, as the last error is: an open made on a device worker is asked there.
thread_local std::string lastFormat;
thread_local std::string lastReason;

#ifndef TVX_RAW_IMAGES_ONLY
// Returns the path with every link resolved, so that a library finds the files that belong
// with it (an E01's other segments, a VMDK's extents) next to the real file, not the link.
std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}
#endif

}  // namespace

int64_t DiskImage::Read(uint64_t offset, void* buffer, size_t count) {
  if (offset >= mediaSize_) return 0;
  count = static_cast<size_t>(std::min<uint64_t>(count, mediaSize_ - offset));
  size_t total = 0;
  while (total < count) {
    const int64_t got =
        ReadAt(offset + total, static_cast<uint8_t*>(buffer) + total, count - total, error_);
    if (got < 0) return -1;
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(total);
}

ImageOpening OpenDiskImage(const std::string& path, int fd, uint64_t size,
                           std::unique_ptr<DiskImage>& image, std::string& format,
                           std::string& reason, std::string* head, std::string* tail) {
  const ImageFormat kind = DetectFileFormat(fd, size, head, tail);
  if (kind == ImageFormat::kRaw) return ImageOpening::kRaw;
  format = ImageFormatName(kind);
#ifdef TVX_RAW_IMAGES_ONLY
  // No image library is ever loaded; a container's own bytes are still never read as a disk.
  (void)path;
  (void)image;
  reason = "this build reads raw images only";
  return ImageOpening::kUnreadable;
#else
  switch (kind) {
    case ImageFormat::kEwf:
    case ImageFormat::kVhd:
    case ImageFormat::kVhdx:
    case ImageFormat::kVmdk:
    case ImageFormat::kQcow:
      image = OpenLibraryImage(kind, RealPath(path), reason);
      break;
    case ImageFormat::kEwfLogical:
      reason = "it holds files, not a disk";
      return ImageOpening::kUnreadable;
    default:
      reason = "this format is not supported";
      return ImageOpening::kUnreadable;
  }
  if (image == nullptr) return ImageOpening::kUnreadable;
  // Every scan reads the first sector: an image whose data starts beyond a truncated end, or
  // whose first chunk is damaged, is said to be unreadable rather than read as empty.
  uint8_t sector[kFirstSector];
  const size_t wanted = static_cast<size_t>(std::min<uint64_t>(kFirstSector, image->mediaSize()));
  if (image->Read(0, sector, wanted) != static_cast<int64_t>(wanted)) {
    reason = image->error().empty() ? "its first sector cannot be read" : image->error();
    image.reset();
    return ImageOpening::kUnreadable;
  }
  return ImageOpening::kOpened;
#endif
}

void RecordOpenOutcome(const std::string& format, const std::string& reason) {
  lastFormat = format;
  lastReason = format.empty() ? std::string() : reason;
}

bool LastOpenWasUnreadableImage(std::string& format, std::string& reason) {
  if (lastFormat.empty()) return false;
  format = lastFormat;
  reason = lastReason;
  return true;
}

std::string ShortLibraryMessage(const std::string& text) {
  std::string line = text.substr(0, text.find_first_of("\r\n"));
  // libyal messages start with the name of the function that failed: "libqcow_file_open: ".
  const size_t colon = line.find(": ");
  if (colon != std::string::npos && line.find(' ') > colon) line.erase(0, colon + 2);
  while (!line.empty() && (line.back() == '.' || line.back() == ' ')) line.pop_back();
  for (char& c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) c = '.';
  }
  if (line.size() > kMessageLimit) {
    // Cut at a blank, so that no word is shown half.
    const size_t blank = line.rfind(' ', kMessageLimit);
    line.resize(blank != std::string::npos && blank > 0 ? blank : kMessageLimit);
    while (!line.empty() && (line.back() == '.' || line.back() == ' ')) line.pop_back();
  }
  return line.empty() ? "the library refused it" : line;
}
