#include "platform/container_format-posix.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr size_t kProbeSize = 512;
constexpr size_t kVdiMagicOffset = 64;

// True when `bytes` (of `size`) hold `signature` (of `length`) at `offset`.
bool HasAt(const uint8_t* bytes, size_t size, size_t offset, const char* signature, size_t length) {
  return offset + length <= size && std::memcmp(bytes + offset, signature, length) == 0;
}

// Reads up to `count` bytes at `offset`; returns how many were read.
size_t ReadSome(int fd, uint8_t* buffer, size_t count, uint64_t offset) {
  size_t total = 0;
  while (total < count) {
    const ssize_t got =
        pread(fd, buffer + total, count - total, static_cast<off_t>(offset + total));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<size_t>(got);
  }
  return total;
}

}  // namespace

ImageFormat DetectImageFormat(const uint8_t* head, size_t headSize, const uint8_t* tail,
                              size_t tailSize) {
  const auto at0 = [&](const char* signature, size_t length) {
    return HasAt(head, headSize, 0, signature, length);
  };
  if (at0("EVF\x09\x0D\x0A\xFF\x00", 8)) return ImageFormat::kEwf;
  if (at0("LVF\x09\x0D\x0A\xFF\x00", 8)) return ImageFormat::kEwfLogical;
  if (at0("EVF2\x0D\x0A\x81\x00", 8)) return ImageFormat::kEwf2;
  if (at0("vhdxfile", 8)) return ImageFormat::kVhdx;
  if (at0("conectix", 8) || HasAt(tail, tailSize, 0, "conectix", 8)) return ImageFormat::kVhd;
  if (at0("KDMV", 4) || at0("COWD", 4) || at0("# Disk DescriptorFile", 21)) {
    return ImageFormat::kVmdk;
  }
  if (at0("QFI\xFB", 4)) return ImageFormat::kQcow;
  if (at0("AFF10\x0D\x0A", 7)) return ImageFormat::kAff;
  if (HasAt(head, headSize, kVdiMagicOffset, "\x7F\x10\xDA\xBE", 4)) return ImageFormat::kVdi;
  if (tailSize == kProbeSize && HasAt(tail, tailSize, 0, "koly", 4)) return ImageFormat::kDmg;
  return ImageFormat::kRaw;
}

ImageFormat DetectFileFormat(int fd, uint64_t size, std::string* head, std::string* tail) {
  std::string first(kFileHeadBytes, '\0');
  first.resize(ReadSome(fd, reinterpret_cast<uint8_t*>(first.data()), first.size(), 0));
  // The last 512 bytes: what the head already holds of them is taken from it, the rest read.
  const uint64_t tailStart = size > kProbeSize ? size - kProbeSize : 0;
  std::string last;
  if (tailStart + kProbeSize <= first.size()) {
    last = first.substr(tailStart, kProbeSize);
  } else {
    const size_t held = tailStart < first.size() ? first.size() - tailStart : 0;
    last = first.substr(first.size() - held);
    std::string rest(kProbeSize - held, '\0');
    rest.resize(
        ReadSome(fd, reinterpret_cast<uint8_t*>(rest.data()), rest.size(), tailStart + held));
    last += rest;
  }
  const auto* headBytes = reinterpret_cast<const uint8_t*>(first.data());
  const auto* tailBytes = reinterpret_cast<const uint8_t*>(last.data());
  const ImageFormat format =
      DetectImageFormat(headBytes, std::min(first.size(), kProbeSize), tailBytes, last.size());
  if (head != nullptr) *head = std::move(first);
  if (tail != nullptr) *tail = std::move(last);
  return format;
}

const char* ImageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::kEwf:
      return "E01";
    case ImageFormat::kEwfLogical:
      return "L01";
    case ImageFormat::kEwf2:
      return "Ex01";
    case ImageFormat::kVhd:
      return "VHD";
    case ImageFormat::kVhdx:
      return "VHDX";
    case ImageFormat::kVmdk:
      return "VMDK";
    case ImageFormat::kQcow:
      return "QCOW";
    case ImageFormat::kAff:
      return "AFF";
    case ImageFormat::kVdi:
      return "VDI";
    case ImageFormat::kDmg:
      return "DMG";
    case ImageFormat::kRaw:
      break;
  }
  return "raw";
}
