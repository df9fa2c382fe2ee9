// The libyal libraries that read disk images in container formats: libewf (E01), libvhdi (VHD,
// VHDX), libvmdk (VMDK) and libqcow (QCOW). None is linked: each is opened with dlopen, by its
// soname, the first time an image of its format is met, so that a run over live drives or raw
// images loads none of them, and a machine without one still runs the program.
#ifndef TVX_PLATFORM_IMAGE_LIBRARIES_POSIX_H_
#define TVX_PLATFORM_IMAGE_LIBRARIES_POSIX_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/container_format-posix.h"

// Every libyal handle, file and error type is an opaque intptr_t.
using LibyalObject = intptr_t;
using LibyalError = intptr_t;

/// The calls of one library, one shape for all four: each library's functions under its own
/// prefix and object ("libvhdi_file_open", "libvmdk_handle_open"). A call a library does not
/// have is nullptr.
struct ImageLibrary {
  // Every library.
  int (*getAccessFlagsRead)();
  int (*errorBacktraceSprint)(LibyalError* error, char* text, size_t size);
  void (*errorFree)(LibyalError** error);
  int (*initialize)(LibyalObject** object, LibyalError** error);
  int (*release)(LibyalObject** object, LibyalError** error);
  int (*close)(LibyalObject* object, LibyalError** error);
  ssize_t (*readAt)(LibyalObject* object, void* buffer, size_t size, off64_t offset,
                    LibyalError** error);
  int (*getMediaSize)(LibyalObject* object, uint64_t* size, LibyalError** error);
  // A file by its path (libvhdi, libvmdk, libqcow), or a list of segment files (libewf).
  int (*open)(LibyalObject* object, const char* path, int access, LibyalError** error);
  int (*openSegments)(LibyalObject* object, char* const names[], int count, int access,
                      LibyalError** error);
  // The sector size the format records: libewf, libvhdi.
  int (*getBytesPerSector)(LibyalObject* object, uint32_t* size, LibyalError** error);
  // The size of the name of the image whose data the image builds on: libvmdk's parent,
  // libqcow's backing file.
  int (*getParentNameSize)(LibyalObject* object, size_t* size, LibyalError** error);
  // libewf: the other segments of a first segment, and whether any is damaged or missing.
  int (*glob)(const char* name, size_t length, uint8_t format, char** names[], int* count,
              LibyalError** error);
  int (*globFree)(char* names[], int count, LibyalError** error);
  int (*segmentFilesCorrupted)(LibyalObject* object, LibyalError** error);
  // libvhdi: fixed, dynamic or differencing.
  int (*getDiskType)(LibyalObject* object, uint32_t* type, LibyalError** error);
  // libvmdk: the extent files a descriptor names, relative to a folder.
  int (*setExtentDataFilesPath)(LibyalObject* object, const char* path, size_t length,
                                LibyalError** error);
  int (*openExtentDataFiles)(LibyalObject* object, LibyalError** error);
  // libvmdk: the extents a descriptor names, and the file each lies in.
  int (*getNumberOfExtents)(LibyalObject* object, int* count, LibyalError** error);
  int (*getExtentDescriptor)(LibyalObject* object, int index, LibyalObject** extent,
                             LibyalError** error);
  int (*freeExtentDescriptor)(LibyalObject** extent, LibyalError** error);
  int (*getExtentFileNameSize)(LibyalObject* extent, size_t* size, LibyalError** error);
  int (*getExtentFileName)(LibyalObject* extent, uint8_t* name, size_t size, LibyalError** error);
  // libqcow: whether the image is encrypted.
  int (*getEncryptionMethod)(LibyalObject* object, uint32_t* method, LibyalError** error);
};

/// Returns the calls of the library that reads `format` (kEwf, kVhd, kVhdx, kVmdk, kQcow),
/// loading it the first time it is asked for; every later call gives the same answer. Returns
/// nullptr with `reason` set when the library cannot be loaded ("the VHDX library (libvhdi.so.1)
/// is not installed", the format named as the report names it) or lacks one of the calls, and
/// for any other format.
const ImageLibrary* LoadImageLibrary(ImageFormat format, std::string& reason);

#endif  // TVX_PLATFORM_IMAGE_LIBRARIES_POSIX_H_
