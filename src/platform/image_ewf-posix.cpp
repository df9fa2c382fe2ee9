// EnCase / Expert Witness images (E01, E02, ...; S01 ...) through libewf.
#include <libewf.h>

#include <cstring>

#include "platform/disk_image-posix.h"

namespace {

std::string TakeError(libewf_error_t*& error) {
  return TakeLibraryError(error, libewf_error_backtrace_sprint, libewf_error_free);
}

class EwfImage : public DiskImage {
 public:
  EwfImage(libewf_handle_t* handle, uint64_t mediaSize, uint32_t bytesPerSector)
      : DiskImage(mediaSize, bytesPerSector), handle_(handle) {}
  ~EwfImage() override {
    libewf_handle_close(handle_, nullptr);
    libewf_handle_free(&handle_, nullptr);
  }

 protected:
  int64_t ReadAt(uint64_t offset, void* buffer, size_t count, std::string& error) override {
    libewf_error_t* failure = nullptr;
    const ssize_t got =
        libewf_handle_read_random(handle_, buffer, count, static_cast<off64_t>(offset), &failure);
    if (got < 0) error = TakeError(failure);
    return got;
  }

 private:
  libewf_handle_t* handle_;
};

// Frees a handle that did not become an image.
void Discard(libewf_handle_t* handle, bool opened) {
  if (opened) libewf_handle_close(handle, nullptr);
  libewf_handle_free(&handle, nullptr);
}

}  // namespace

std::unique_ptr<DiskImage> OpenEwfImage(const std::string& path, std::string& reason) {
  // The other segments are found by libewf's own naming rules from the first segment's name
  // (.E01 gives .E02 ... .EZZ, .s01 gives .s02 ...). A first segment whose name has no such
  // extension is opened alone; libewf then tells whether segments are missing.
  char** globbed = nullptr;
  int count = 0;
  libewf_error_t* error = nullptr;
  const bool haveGlob = libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &globbed,
                                    &count, &error) == 1 &&
                        count > 0;
  if (error != nullptr) libewf_error_free(&error);
  char* alone[] = {const_cast<char*>(path.c_str())};
  char* const* names = haveGlob ? globbed : alone;
  const int segments = haveGlob ? count : 1;

  libewf_handle_t* handle = nullptr;
  if (libewf_handle_initialize(&handle, &error) != 1) {
    reason = TakeError(error);
    if (haveGlob) libewf_glob_free(globbed, count, nullptr);
    return nullptr;
  }
  // Every segment file stays open while the drive is (libewf 20140813 fails reads when its
  // limit on open segment files makes it close some); the scan holds one drive at a time.
  const bool opened =
      libewf_handle_open(handle, names, segments, libewf_get_access_flags_read(), &error) == 1;
  if (haveGlob) libewf_glob_free(globbed, count, nullptr);
  if (!opened) {
    reason = TakeError(error);
    Discard(handle, false);
    return nullptr;
  }
  // An incomplete set of segments opens, but reads fail or come back empty past its end.
  if (libewf_handle_segment_files_corrupted(handle, nullptr) != 0) {
    reason = segments == 1 ? "its other segments are missing"
                           : "some of its segments are missing or incomplete";
    Discard(handle, true);
    return nullptr;
  }
  size64_t mediaSize = 0;
  uint32_t bytesPerSector = 0;
  if (libewf_handle_get_media_size(handle, &mediaSize, &error) != 1 ||
      libewf_handle_get_bytes_per_sector(handle, &bytesPerSector, &error) != 1) {
    reason = TakeError(error);
    Discard(handle, true);
    return nullptr;
  }
  return std::make_unique<EwfImage>(handle, mediaSize, bytesPerSector);
}
