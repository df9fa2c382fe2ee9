#include "platform/fuse_volumes-posix.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/bytes.h"
#include "platform/sysfs-posix.h"
#include "platform/volume_location-posix.h"

namespace {

constexpr size_t kMaxControlBytes = 64 * 1024;
constexpr size_t kMaxCommandLine = 64 * 1024;
constexpr size_t kMaxWideCharacters = 4096;

// How a FUSE file system serves a decrypted volume.
struct Server {
  const char* typePrefix;    // its file-system type begins so
  const char* sourcePrefix;  // or its source's last part does
  const char* folderPrefix;  // or its mount point's last part does
  const char* plainFile;     // the file of plain contents
  bool control;              // the file "control" names the volume
};

constexpr Server kServers[] = {
    {"fuse.dislocker", "dislocker", nullptr, "dislocker-file", false},
    {"fuse.veracrypt", nullptr, ".veracrypt_aux_mnt", "volume", true},
    {"fuse.truecrypt", nullptr, ".truecrypt_aux_mnt", "volume", true},
};

std::string LastPart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const Server* ServerOf(const MountEntry& mount) {
  if (!StartsWith(mount.type, "fuse")) return nullptr;
  for (const Server& server : kServers) {
    if (StartsWith(mount.type, server.typePrefix) ||
        (server.sourcePrefix != nullptr &&
         StartsWith(LastPart(mount.source), server.sourcePrefix)) ||
        (server.folderPrefix != nullptr &&
         StartsWith(LastPart(mount.point), server.folderPrefix))) {
      return &server;
    }
  }
  return nullptr;
}

// Appends the UTF-8 form of code point `code`.
void AppendUtf8(std::string& text, uint32_t code) {
  if (code < 0x80) {
    text += static_cast<char>(code);
  } else if (code < 0x800) {
    text += static_cast<char>(0xC0 | code >> 6);
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    text += static_cast<char>(0xE0 | code >> 12);
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | code >> 18);
    text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Reads the serialised wide string named `name` from `control`; false when it is not there whole.
bool WideString(std::string_view control, const std::string& name, std::string& value) {
  const std::string eight = std::string(7, '\0') + '\x08';
  const std::string length = std::string(7, '\0') + static_cast<char>(name.size() + 1);
  const size_t at = control.find(eight + length + name + '\0');
  if (at == std::string_view::npos || name.size() + 1 > 0xFF) return false;
  size_t next = at + 16 + name.size() + 1;
  if (control.size() - next < 16 || control.substr(next, 8) != eight) return false;
  const uint64_t bytes = BigEndianValue(control, next + 8, 8);
  next += 16;
  if (bytes % 4 != 0 || bytes > control.size() - next || bytes / 4 > kMaxWideCharacters) {
    return false;
  }
  std::string text;
  for (uint64_t i = 0; i < bytes; i += 4) {
    const uint64_t code = LittleEndianValue(control, next + i, 4);
    if (code == 0) {
      value = text;
      return true;
    }
    if (code < 0x20 || (code >= 0x7F && code < 0xA0) || code > 0x10FFFF) return false;
    AppendUtf8(text, static_cast<uint32_t>(code));
  }
  return false;  // no NUL within its length
}

// Returns up to `limit` bytes of the file at `path`, or an empty text.
std::string ReadSmallFile(const std::string& path, size_t limit) {
  std::ifstream file(path, std::ios::binary);
  std::string bytes(limit, '\0');
  file.read(&bytes[0], static_cast<std::streamsize>(limit));
  bytes.resize(file ? limit : static_cast<size_t>(std::max<std::streamsize>(file.gcount(), 0)));
  return bytes;
}

// The block devices that the dislocker process serving mount point `point` holds open.
std::vector<dev_t> DislockerDevices(const std::string& procRoot, const std::string& point) {
  std::vector<dev_t> devices;
  for (const std::string& pid : FolderEntries(procRoot)) {
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string folder = procRoot + "/" + pid;
    const std::string command = ReadSmallFile(folder + "/cmdline", kMaxCommandLine);
    std::vector<std::string> arguments;
    for (size_t at = 0; at < command.size();) {
      const size_t end = std::min(command.find('\0', at), command.size());
      arguments.push_back(command.substr(at, end - at));
      at = end + 1;
    }
    if (arguments.empty() || !StartsWith(LastPart(arguments[0]), "dislocker")) continue;
    char cwd[PATH_MAX] = {0};
    const ssize_t length = readlink((folder + "/cwd").c_str(), cwd, sizeof cwd - 1);
    const std::filesystem::path working(length > 0 ? std::string(cwd, length) : "/");
    const bool serves = std::any_of(
        arguments.begin() + 1, arguments.end(), [&working, &point](const std::string& argument) {
          std::filesystem::path given = working / argument;  // an absolute argument stands alone
          std::string normal = given.lexically_normal().string();
          while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
          return !argument.empty() && normal == point;
        });
    if (!serves) continue;
    for (const std::string& fd : FolderEntries(folder + "/fd")) {
      dev_t device{};
      if (BlockDeviceAt(folder + "/fd/" + fd, device) &&
          std::find(devices.begin(), devices.end(), device) == devices.end()) {
        devices.push_back(device);
      }
    }
  }
  return devices;
}

// Adds the extents of block device `device` of the tree to `volume`.
void AddExtents(const std::string& sysRoot, dev_t device, SystemVolume& volume) {
  std::vector<DiskExtent> extents;
  if (BlockDeviceExtents(sysRoot, KernelNameAt(BlockDeviceLink(sysRoot, device)), extents)) {
    volume.extents.insert(volume.extents.end(), extents.begin(), extents.end());
  }
}

// Adds the mount points of the loop devices of the tree backed by the file at `file`.
void AddLoopMountPoints(const std::string& sysRoot, const std::vector<MountEntry>& table,
                        const std::string& file, std::vector<std::string>& paths) {
  for (const std::string& name : FolderEntries(sysRoot + "/block")) {
    const std::string folder = sysRoot + "/block/" + name;
    dev_t device{};
    if (ReadFirstLine(folder + "/loop/backing_file") != file ||
        !ParseDeviceNumber(ReadFirstLine(folder + "/dev"), device)) {
      continue;
    }
    for (const std::string& point : MountPoints(table, device)) AddOnce(paths, point);
  }
}

}  // namespace

bool ParseAuxiliaryControl(std::string_view control, AuxiliaryVolume& volume) {
  AuxiliaryVolume found;
  if (!WideString(control, "Path", found.path)) return false;
  if (!WideString(control, "VirtualDevice", found.virtualDevice)) found.virtualDevice.clear();
  volume = found;
  return true;
}

std::vector<SystemVolume> FuseVolumes(const std::string& sysRoot, const std::string& mountinfo,
                                      const std::string& procRoot) {
  std::vector<SystemVolume> volumes;
  const std::vector<MountEntry> table = ReadMountTable(mountinfo);
  for (const MountEntry& mount : table) {
    const Server* server = ServerOf(mount);
    if (server == nullptr) continue;
    SystemVolume volume;
    volume.name = mount.point;
    volume.decrypts = true;
    const std::string plain = mount.point + "/" + server->plainFile;
    volume.paths = {mount.point, plain};
    dev_t device{};
    if (server->control) {
      AuxiliaryVolume auxiliary;
      const std::string control = ReadSmallFile(mount.point + "/control", kMaxControlBytes);
      if (ParseAuxiliaryControl(control, auxiliary)) {
        if (BlockDeviceAt(auxiliary.path, device)) AddExtents(sysRoot, device, volume);
        dev_t virtualDevice{};
        if (BlockDeviceAt(auxiliary.virtualDevice, virtualDevice)) {
          AddOnce(volume.paths, auxiliary.virtualDevice);
          for (const std::string& point : MountPoints(table, virtualDevice)) {
            AddOnce(volume.paths, point);
          }
        }
      }
    } else if (StartsWith(mount.source, "/") && BlockDeviceAt(mount.source, device)) {
      AddExtents(sysRoot, device, volume);
    } else {
      for (dev_t held : DislockerDevices(procRoot, mount.point)) AddExtents(sysRoot, held, volume);
    }
    AddLoopMountPoints(sysRoot, table, plain, volume.paths);
    volumes.push_back(volume);
  }
  return volumes;
}
