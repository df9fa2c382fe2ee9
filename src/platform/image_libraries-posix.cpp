// Loading the image libraries: dlopen by soname, then each call by its name. The libraries'
// headers are included for their prototypes alone, so that every slot of a table is checked
// against the function the library declares; nothing of them is linked.
#include "platform/image_libraries-posix.h"

#include <dlfcn.h>
#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace {

// One call of a library: its name and the slot of the table that receives it.
struct Symbol {
  const char* name;
  void** slot;
};

// Returns the row for `slot`, whose type must be exactly `Function`.
template <typename Function>
Symbol Bind(const char* name, Function& slot) {
  return {name, reinterpret_cast<void**>(&slot)};
}

// The row for a call: the slot's type must be that of the function the library's header declares.
#define TVX_BIND(slot, function) Bind<decltype(&function)>(#function, table.slot)

std::vector<Symbol> EwfSymbols(ImageLibrary& table) {
  return {
      TVX_BIND(getAccessFlagsRead, libewf_get_access_flags_read),
      TVX_BIND(errorBacktraceSprint, libewf_error_backtrace_sprint),
      TVX_BIND(errorFree, libewf_error_free),
      TVX_BIND(initialize, libewf_handle_initialize),
      TVX_BIND(release, libewf_handle_free),
      TVX_BIND(close, libewf_handle_close),
      TVX_BIND(readAt, libewf_handle_read_random),
      TVX_BIND(getMediaSize, libewf_handle_get_media_size),
      TVX_BIND(openSegments, libewf_handle_open),
      TVX_BIND(getBytesPerSector, libewf_handle_get_bytes_per_sector),
      TVX_BIND(glob, libewf_glob),
      TVX_BIND(globFree, libewf_glob_free),
      TVX_BIND(segmentFilesCorrupted, libewf_handle_segment_files_corrupted),
  };
}

std::vector<Symbol> VhdiSymbols(ImageLibrary& table) {
  return {
      TVX_BIND(getAccessFlagsRead, libvhdi_get_access_flags_read),
      TVX_BIND(errorBacktraceSprint, libvhdi_error_backtrace_sprint),
      TVX_BIND(errorFree, libvhdi_error_free),
      TVX_BIND(initialize, libvhdi_file_initialize),
      TVX_BIND(release, libvhdi_file_free),
      TVX_BIND(close, libvhdi_file_close),
      TVX_BIND(readAt, libvhdi_file_read_buffer_at_offset),
      TVX_BIND(getMediaSize, libvhdi_file_get_media_size),
      TVX_BIND(open, libvhdi_file_open),
      TVX_BIND(getBytesPerSector, libvhdi_file_get_bytes_per_sector),
      TVX_BIND(getDiskType, libvhdi_file_get_disk_type),
  };
}

std::vector<Symbol> VmdkSymbols(ImageLibrary& table) {
  return {
      TVX_BIND(getAccessFlagsRead, libvmdk_get_access_flags_read),
      TVX_BIND(errorBacktraceSprint, libvmdk_error_backtrace_sprint),
      TVX_BIND(errorFree, libvmdk_error_free),
      TVX_BIND(initialize, libvmdk_handle_initialize),
      TVX_BIND(release, libvmdk_handle_free),
      TVX_BIND(close, libvmdk_handle_close),
      TVX_BIND(readAt, libvmdk_handle_read_buffer_at_offset),
      TVX_BIND(getMediaSize, libvmdk_handle_get_media_size),
      TVX_BIND(open, libvmdk_handle_open),
      TVX_BIND(getParentNameSize, libvmdk_handle_get_utf8_parent_filename_size),
      TVX_BIND(setExtentDataFilesPath, libvmdk_handle_set_extent_data_files_path),
      TVX_BIND(openExtentDataFiles, libvmdk_handle_open_extent_data_files),
      TVX_BIND(getNumberOfExtents, libvmdk_handle_get_number_of_extents),
      TVX_BIND(getExtentDescriptor, libvmdk_handle_get_extent_descriptor),
      TVX_BIND(freeExtentDescriptor, libvmdk_extent_descriptor_free),
      TVX_BIND(getExtentFileNameSize, libvmdk_extent_descriptor_get_utf8_filename_size),
      TVX_BIND(getExtentFileName, libvmdk_extent_descriptor_get_utf8_filename),
  };
}

std::vector<Symbol> QcowSymbols(ImageLibrary& table) {
  return {
      TVX_BIND(getAccessFlagsRead, libqcow_get_access_flags_read),
      TVX_BIND(errorBacktraceSprint, libqcow_error_backtrace_sprint),
      TVX_BIND(errorFree, libqcow_error_free),
      TVX_BIND(initialize, libqcow_file_initialize),
      TVX_BIND(release, libqcow_file_free),
      TVX_BIND(close, libqcow_file_close),
      TVX_BIND(readAt, libqcow_file_read_buffer_at_offset),
      TVX_BIND(getMediaSize, libqcow_file_get_media_size),
      TVX_BIND(open, libqcow_file_open),
      TVX_BIND(getParentNameSize, libqcow_file_get_utf8_backing_filename_size),
      TVX_BIND(getEncryptionMethod, libqcow_file_get_encryption_method),
  };
}

#undef TVX_BIND

// A library and what loading it came to; loaded at most once in a run.
struct LoadedLibrary {
  const char* soname;
  std::vector<Symbol> (*symbols)(ImageLibrary& table);
  bool tried;
  bool usable;
  std::string lacking;  // the call it lacks, when it loaded without one
  ImageLibrary table;
};

LoadedLibrary ewf{"libewf.so.2", EwfSymbols, false, false, {}, {}};
LoadedLibrary vhdi{"libvhdi.so.1", VhdiSymbols, false, false, {}, {}};
LoadedLibrary vmdk{"libvmdk.so.1", VmdkSymbols, false, false, {}, {}};
LoadedLibrary qcow{"libqcow.so.1", QcowSymbols, false, false, {}, {}};
// Opens run on device workers, and one that was abandoned may still be loading a library.
std::mutex loading;

// Opens the library and fills its table; a library without one of its calls is closed again.
void Load(LoadedLibrary& library) {
  library.tried = true;
  void* handle = dlopen(library.soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return;
  for (const Symbol& symbol : library.symbols(library.table)) {
    *symbol.slot = dlsym(handle, symbol.name);
    if (*symbol.slot == nullptr) {
      library.lacking = symbol.name;
      library.table = ImageLibrary{};
      dlclose(handle);
      return;
    }
  }
  library.usable = true;
}

LoadedLibrary* LibraryFor(ImageFormat format) {
  switch (format) {
    case ImageFormat::kEwf:
      return &ewf;
    case ImageFormat::kVhd:
    case ImageFormat::kVhdx:
      return &vhdi;
    case ImageFormat::kVmdk:
      return &vmdk;
    case ImageFormat::kQcow:
      return &qcow;
    default:
      return nullptr;
  }
}

// The libraries as an ELF note for packaging tools (systemd's "dlopen metadata": owner "FDO",
// type 0x407c0c0a, a JSON array of what each library is for), since no DT_NEEDED names them.
// `readelf -n` shows it.
constexpr char kNoteOwner[] = "FDO";
constexpr uint32_t kNoteType = 0x407c0c0a;
constexpr char kNoteJson[] = R"([{"feature":"e01","description":"Reads EnCase E01 disk images",)"
                             R"("priority":"recommended","soname":["libewf.so.2"]},)"
                             R"({"feature":"vhd","description":"Reads VHD and VHDX disk images",)"
                             R"("priority":"recommended","soname":["libvhdi.so.1"]},)"
                             R"({"feature":"vmdk","description":"Reads VMDK disk images",)"
                             R"("priority":"recommended","soname":["libvmdk.so.1"]},)"
                             R"({"feature":"qcow","description":"Reads QCOW disk images",)"
                             R"("priority":"recommended","soname":["libqcow.so.1"]}])";

struct alignas(4) DlopenNote {
  uint32_t ownerSize, descriptionSize, type;
  char owner[sizeof kNoteOwner];
  alignas(4) char description[sizeof kNoteJson];
};

constexpr DlopenNote MakeDlopenNote() {
  DlopenNote note{sizeof kNoteOwner, sizeof kNoteJson, kNoteType, {}, {}};
  for (size_t i = 0; i < sizeof kNoteOwner; ++i) note.owner[i] = kNoteOwner[i];
  for (size_t i = 0; i < sizeof kNoteJson; ++i) note.description[i] = kNoteJson[i];
  return note;
}

__attribute__((used, section(".note.dlopen"), aligned(4))) constexpr DlopenNote kDlopenNote =
    MakeDlopenNote();

}  // namespace

const ImageLibrary* LoadImageLibrary(ImageFormat format, std::string& reason) {
  LoadedLibrary* library = LibraryFor(format);
  if (library == nullptr) {
    reason = "this format is not supported";
    return nullptr;
  }
  const std::lock_guard<std::mutex> lock(loading);
  if (!library->tried) Load(*library);
  if (library->usable) return &library->table;
  const std::string name =
      std::string("the ") + ImageFormatName(format) + " library (" + library->soname + ")";
  reason =
      library->lacking.empty() ? name + " is not installed" : name + " lacks " + library->lacking;
  return nullptr;
}
