// Disk images read through a libyal library: one image type over any library's calls, and what
// each format needs between the library's open and a readable disk.
#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/container_format-posix.h"
#include "platform/device_folder-posix.h"
#include "platform/disk_image-posix.h"
#include "platform/image_libraries-posix.h"

namespace {

constexpr const char* kDifferencing = "it is a differencing image whose parent TVX does not open";

// Returns the library's text for `error` as one short line, and frees it.
std::string TakeError(const ImageLibrary& library, LibyalError*& error) {
  return TakeLibraryError(error, library.errorBacktraceSprint, library.errorFree);
}

// A disk image open through its library, closed and freed with the image.
class LibyalImage : public DiskImage {
 public:
  LibyalImage(const ImageLibrary& library, LibyalObject* object, uint64_t mediaSize,
              uint32_t bytesPerSector)
      : DiskImage(mediaSize, bytesPerSector), library_(library), object_(object) {}
  ~LibyalImage() override {
    library_.close(object_, nullptr);
    library_.release(&object_, nullptr);
  }

 protected:
  int64_t ReadAt(uint64_t offset, void* buffer, size_t count, std::string& error) override {
    LibyalError* failure = nullptr;
    const ssize_t got =
        library_.readAt(object_, buffer, count, static_cast<off64_t>(offset), &failure);
    if (got < 0) error = TakeError(library_, failure);
    return got;
  }

 private:
  const ImageLibrary& library_;
  LibyalObject* object_;
};

// Opens an E01's segments. The other segments are found by libewf's own naming rules from the
// first segment's name (.E01 gives .E02 ... .EZZ, .s01 gives .s02 ...). A first segment whose
// name has no such extension is opened alone; libewf then tells whether segments are missing.
// Every segment file stays open while the drive is (libewf 20140813 fails reads when its limit
// on open segment files makes it close some); the scan holds one drive at a time.
bool OpenSegments(const ImageLibrary& library, LibyalObject* object, const std::string& path,
                  std::string& reason) {
  char** globbed = nullptr;
  int count = 0;
  LibyalError* error = nullptr;
  const bool haveGlob = library.glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &globbed,
                                     &count, &error) == 1 &&
                        count > 0;
  if (error != nullptr) library.errorFree(&error);
  char* alone[] = {const_cast<char*>(path.c_str())};
  const int segments = haveGlob ? count : 1;
  const bool opened = library.openSegments(object, haveGlob ? globbed : alone, segments,
                                           library.getAccessFlagsRead(), &error) == 1;
  for (int i = 0; opened && haveGlob && i < count; ++i) NoteImagePartFile(globbed[i]);
  if (haveGlob) library.globFree(globbed, count, nullptr);
  if (!opened) {
    reason = TakeError(library, error);
  } else if (library.segmentFilesCorrupted(object, nullptr) != 0) {
    // An incomplete set of segments opens, but reads fail or come back empty past its end.
    reason = segments == 1 ? "its other segments are missing"
                           : "some of its segments are missing or incomplete";
  }
  return opened;
}

// Returns the folder part of a path ("." when there is none).
std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Notes the files that the extents of an open VMDK lie in, named relative to `folder`, as
// read as part of the drive. An extent whose name the library does not give is left out.
void NoteExtentFiles(const ImageLibrary& library, LibyalObject* object, const std::string& folder) {
  int count = 0;
  if (library.getNumberOfExtents(object, &count, nullptr) != 1) return;
  for (int i = 0; i < count; ++i) {
    LibyalObject* extent = nullptr;
    if (library.getExtentDescriptor(object, i, &extent, nullptr) != 1) continue;
    size_t size = 0;
    if (library.getExtentFileNameSize(extent, &size, nullptr) == 1 && size > 1) {
      std::string name(size, '\0');
      if (library.getExtentFileName(extent, reinterpret_cast<uint8_t*>(&name[0]), size, nullptr) ==
          1) {
        name.resize(size - 1);
        NoteImagePartFile(name[0] == '/' ? name : folder + "/" + name);
      }
    }
    library.freeExtentDescriptor(&extent, nullptr);
  }
}

// After the open: sets `reason` when the image cannot be read alone (a parent image it builds on,
// an encryption key). Returns false when the library fails to tell, its error in `error`.
bool CheckReadableAlone(const ImageLibrary& library, LibyalObject* object, const std::string& path,
                        std::string& reason, LibyalError*& error) {
  if (library.setExtentDataFilesPath != nullptr) {
    // A VMDK descriptor names its extent files relative to its own folder.
    const std::string folder = Folder(path);
    if (library.setExtentDataFilesPath(object, folder.c_str(), folder.size(), &error) != 1 ||
        library.openExtentDataFiles(object, &error) != 1) {
      return false;
    }
    NoteExtentFiles(library, object, folder);
  }
  uint32_t value = 0;
  if (library.getDiskType != nullptr) {
    if (library.getDiskType(object, &value, &error) != 1) return false;
    if (value == LIBVHDI_DISK_TYPE_DIFFERENTIAL) reason = kDifferencing;
  }
  if (library.getEncryptionMethod != nullptr) {
    if (library.getEncryptionMethod(object, &value, &error) != 1) return false;
    if (value != LIBQCOW_ENCRYPTION_METHOD_NONE) reason = "it is encrypted";
  }
  // A snapshot or overlay: its unchanged blocks live in another image, which is not opened.
  size_t parentName = 0;
  if (reason.empty() && library.getParentNameSize != nullptr &&
      library.getParentNameSize(object, &parentName, nullptr) == 1 && parentName > 1) {
    reason = kDifferencing;
  }
  return true;
}

}  // namespace

std::unique_ptr<DiskImage> OpenLibraryImage(ImageFormat format, const std::string& path,
                                            std::string& reason) {
  const ImageLibrary* library = LoadImageLibrary(format, reason);
  if (library == nullptr) return nullptr;
  LibyalObject* object = nullptr;
  LibyalError* error = nullptr;
  if (library->initialize(&object, &error) != 1) {
    reason = TakeError(*library, error);
    return nullptr;
  }
  const bool opened =
      library->open != nullptr
          ? library->open(object, path.c_str(), library->getAccessFlagsRead(), &error) == 1
          : OpenSegments(*library, object, path, reason);
  uint64_t mediaSize = 0;
  uint32_t bytesPerSector = 0;
  if (opened && reason.empty() && CheckReadableAlone(*library, object, path, reason, error) &&
      reason.empty() && library->getMediaSize(object, &mediaSize, &error) == 1) {
    // A sector size the format does not record is left to the scan to settle.
    if (library->getBytesPerSector != nullptr &&
        library->getBytesPerSector(object, &bytesPerSector, &error) != 1) {
      library->errorFree(&error);
      bytesPerSector = 0;
    }
    return std::make_unique<LibyalImage>(*library, object, mediaSize, bytesPerSector);
  }
  if (reason.empty()) reason = TakeError(*library, error);
  if (error != nullptr) library->errorFree(&error);
  if (opened) library->close(object, nullptr);
  library->release(&object, nullptr);
  return nullptr;
}
