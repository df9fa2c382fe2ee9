// VMware images (VMDK: sparse, flat, split, stream-optimized) through libvmdk. A descriptor
// names its extent files relative to its own folder.
#include <libvmdk.h>

#include "platform/disk_image-posix.h"

namespace {

std::string TakeError(libvmdk_error_t*& error) {
  return TakeLibraryError(error, libvmdk_error_backtrace_sprint, libvmdk_error_free);
}

class VmdkImage : public DiskImage {
 public:
  VmdkImage(libvmdk_handle_t* handle, uint64_t mediaSize)
      : DiskImage(mediaSize, 0), handle_(handle) {}
  ~VmdkImage() override {
    libvmdk_handle_close(handle_, nullptr);
    libvmdk_handle_free(&handle_, nullptr);
  }

 protected:
  int64_t ReadAt(uint64_t offset, void* buffer, size_t count, std::string& error) override {
    libvmdk_error_t* failure = nullptr;
    const ssize_t got = libvmdk_handle_read_buffer_at_offset(
        handle_, buffer, count, static_cast<off64_t>(offset), &failure);
    if (got < 0) error = TakeError(failure);
    return got;
  }

 private:
  libvmdk_handle_t* handle_;
};

// Returns the folder part of a path ("." when there is none).
std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::unique_ptr<DiskImage> OpenVmdkImage(const std::string& path, std::string& reason) {
  libvmdk_handle_t* handle = nullptr;
  libvmdk_error_t* error = nullptr;
  if (libvmdk_handle_initialize(&handle, &error) != 1) {
    reason = TakeError(error);
    return nullptr;
  }
  if (libvmdk_handle_open(handle, path.c_str(), libvmdk_get_access_flags_read(), &error) != 1) {
    reason = TakeError(error);
    libvmdk_handle_free(&handle, nullptr);
    return nullptr;
  }
  const std::string folder = Folder(path);
  size_t parentName = 0;
  size64_t mediaSize = 0;
  if (libvmdk_handle_set_extent_data_files_path(handle, folder.c_str(), folder.size(), &error) !=
          1 ||
      libvmdk_handle_open_extent_data_files(handle, &error) != 1 ||
      libvmdk_handle_get_media_size(handle, &mediaSize, &error) != 1) {
    reason = TakeError(error);
  } else if (libvmdk_handle_get_utf8_parent_filename_size(handle, &parentName, nullptr) == 1 &&
             parentName > 1) {
    // A snapshot: its unchanged grains live in a parent image, which is not opened.
    reason = "it is a differencing image whose parent TVX does not open";
  } else {
    return std::make_unique<VmdkImage>(handle, mediaSize);
  }
  libvmdk_handle_close(handle, nullptr);
  libvmdk_handle_free(&handle, nullptr);
  return nullptr;
}
