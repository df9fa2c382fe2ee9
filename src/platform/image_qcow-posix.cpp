// QEMU images (QCOW versions 1 to 3) through libqcow.
#include <libqcow.h>

#include "platform/disk_image-posix.h"

namespace {

std::string TakeError(libqcow_error_t*& error) {
  return TakeLibraryError(error, libqcow_error_backtrace_sprint, libqcow_error_free);
}

class QcowImage : public DiskImage {
 public:
  QcowImage(libqcow_file_t* file, uint64_t mediaSize) : DiskImage(mediaSize, 0), file_(file) {}
  ~QcowImage() override {
    libqcow_file_close(file_, nullptr);
    libqcow_file_free(&file_, nullptr);
  }

 protected:
  int64_t ReadAt(uint64_t offset, void* buffer, size_t count, std::string& error) override {
    libqcow_error_t* failure = nullptr;
    const ssize_t got = libqcow_file_read_buffer_at_offset(file_, buffer, count,
                                                           static_cast<off64_t>(offset), &failure);
    if (got < 0) error = TakeError(failure);
    return got;
  }

 private:
  libqcow_file_t* file_;
};

}  // namespace

std::unique_ptr<DiskImage> OpenQcowImage(const std::string& path, std::string& reason) {
  libqcow_file_t* file = nullptr;
  libqcow_error_t* error = nullptr;
  if (libqcow_file_initialize(&file, &error) != 1) {
    reason = TakeError(error);
    return nullptr;
  }
  if (libqcow_file_open(file, path.c_str(), libqcow_get_access_flags_read(), &error) != 1) {
    reason = TakeError(error);
    libqcow_file_free(&file, nullptr);
    return nullptr;
  }
  uint32_t encryption = LIBQCOW_ENCRYPTION_METHOD_NONE;
  size_t backingName = 0;
  size64_t mediaSize = 0;
  if (libqcow_file_get_encryption_method(file, &encryption, &error) != 1 ||
      libqcow_file_get_media_size(file, &mediaSize, &error) != 1) {
    reason = TakeError(error);
  } else if (encryption != LIBQCOW_ENCRYPTION_METHOD_NONE) {
    reason = "it is encrypted";
  } else if (libqcow_file_get_utf8_backing_filename_size(file, &backingName, nullptr) == 1 &&
             backingName > 1) {
    // An overlay: its unchanged clusters live in a backing image, which is not opened.
    reason = "it is a differencing image whose parent TVX does not open";
  } else {
    return std::make_unique<QcowImage>(file, mediaSize);
  }
  libqcow_file_close(file, nullptr);
  libqcow_file_free(&file, nullptr);
  return nullptr;
}
