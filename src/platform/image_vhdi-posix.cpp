// Virtual PC and Hyper-V images (VHD, VHDX; fixed and dynamic) through libvhdi.
#include <libvhdi.h>

#include "platform/disk_image-posix.h"

namespace {

std::string TakeError(libvhdi_error_t*& error) {
  return TakeLibraryError(error, libvhdi_error_backtrace_sprint, libvhdi_error_free);
}

class VhdiImage : public DiskImage {
 public:
  VhdiImage(libvhdi_file_t* file, uint64_t mediaSize, uint32_t bytesPerSector)
      : DiskImage(mediaSize, bytesPerSector), file_(file) {}
  ~VhdiImage() override {
    libvhdi_file_close(file_, nullptr);
    libvhdi_file_free(&file_, nullptr);
  }

 protected:
  int64_t ReadAt(uint64_t offset, void* buffer, size_t count, std::string& error) override {
    libvhdi_error_t* failure = nullptr;
    const ssize_t got = libvhdi_file_read_buffer_at_offset(file_, buffer, count,
                                                           static_cast<off64_t>(offset), &failure);
    if (got < 0) error = TakeError(failure);
    return got;
  }

 private:
  libvhdi_file_t* file_;
};

}  // namespace

std::unique_ptr<DiskImage> OpenVhdiImage(const std::string& path, std::string& reason) {
  libvhdi_file_t* file = nullptr;
  libvhdi_error_t* error = nullptr;
  if (libvhdi_file_initialize(&file, &error) != 1) {
    reason = TakeError(error);
    return nullptr;
  }
  if (libvhdi_file_open(file, path.c_str(), libvhdi_get_access_flags_read(), &error) != 1) {
    reason = TakeError(error);
    libvhdi_file_free(&file, nullptr);
    return nullptr;
  }
  uint32_t diskType = 0;
  size64_t mediaSize = 0;
  uint32_t bytesPerSector = 0;
  if (libvhdi_file_get_disk_type(file, &diskType, &error) != 1 ||
      libvhdi_file_get_media_size(file, &mediaSize, &error) != 1) {
    reason = TakeError(error);
  } else if (diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
    // Its unchanged blocks live in a parent image, which is not opened.
    reason = "it is a differencing image whose parent TVX does not open";
  } else {
    if (libvhdi_file_get_bytes_per_sector(file, &bytesPerSector, &error) != 1) {
      libvhdi_error_free(&error);
      bytesPerSector = 0;
    }
    return std::make_unique<VhdiImage>(file, mediaSize, bytesPerSector);
  }
  libvhdi_file_close(file, nullptr);
  libvhdi_file_free(&file, nullptr);
  return nullptr;
}
