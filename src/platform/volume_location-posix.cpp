// Where volumes and drives are, on Linux: the devices a volume lies on from the slaves links of
// /sys/class/block, the crypt devices that device-mapper holds open, their mount points from
// /proc/self/mountinfo, and the file or device behind each physical drive path.
#include "platform/volume_location-posix.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "base/bytes.h"
#include "platform/device_paths-posix.h"
#include "platform/fuse_volumes-posix.h"
#include "platform/handles-posix.h"
#include "platform/sysfs-posix.h"
#include "platform/volume_encryption-posix.h"
#include "platform/volume_names.h"

namespace {

constexpr uint64_t kSysfsSectorBytes = 512;  // sysfs counts start and size in 512-byte units

std::string BlockFolder(const std::string& sysRoot, const std::string& name) {
  return sysRoot + "/class/block/" + name;
}

// True for a name that can only be a device of the tree: not empty, no path of its own.
bool IsKernelName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos;
}

// Undoes the octal escapes (\040 for a blank) of a mount table field.
std::string Unescape(const std::string& field) {
  std::string text;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                (field[i + 3] - '0'));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

uint64_t SectorsAt(const std::string& file) {
  return std::strtoull(ReadFirstLine(file).c_str(), nullptr, 10) * kSysfsSectorBytes;
}

// Returns where the bottom device `name` lies: a partition or the whole of a drive of this run,
// or drive -1.
DiskExtent ExtentOf(const std::string& sysRoot, const std::string& name) {
  const std::string folder = BlockFolder(sysRoot, name);
  DiskExtent extent{-1, 0, SectorsAt(folder + "/size")};
  STORAGE_DEVICE_NUMBER number{};
  if (QueryDeviceNumberAt(folder, number) && number.DeviceType == FILE_DEVICE_DISK &&
      number.DeviceNumber <= static_cast<DWORD>(INT32_MAX)) {
    extent.drive = static_cast<int32_t>(number.DeviceNumber);
    if (number.PartitionNumber != 0) extent.offset = SectorsAt(folder + "/start");
  }
  return extent;
}

// Adds the bottom devices below `name` to `extents`, depth first; false when the walk loops or
// runs past its bounds.
bool AddBottomDevices(const std::string& sysRoot, const std::string& name, int depth,
                      std::set<std::string>& onPath, int& seen, std::vector<DiskExtent>& extents) {
  if (depth > kMaxLayerDepth || ++seen > kMaxLayerDevices || !onPath.insert(name).second) {
    return false;
  }
  const std::vector<std::string> slaves = FolderEntries(BlockFolder(sysRoot, name) + "/slaves");
  if (slaves.empty()) extents.push_back(ExtentOf(sysRoot, name));
  for (const std::string& slave : slaves) {
    if (!AddBottomDevices(sysRoot, slave, depth + 1, onPath, seen, extents)) return false;
  }
  onPath.erase(name);
  return true;
}

// Returns the names of `name` and of the devices above it (its holders, recursively), each once,
// within the walk's bounds.
std::vector<std::string> DeviceAndHolders(const std::string& sysRoot, const std::string& name) {
  std::vector<std::string> names{name};
  std::set<std::string> visited{name};
  for (size_t i = 0; i < names.size() && static_cast<int>(names.size()) < kMaxLayerDevices; ++i) {
    for (const std::string& holder : FolderEntries(BlockFolder(sysRoot, names[i]) + "/holders")) {
      if (visited.insert(holder).second) names.push_back(holder);
    }
  }
  return names;
}

// True when device `name` of the tree is a device-mapper device that decrypts what lies below.
bool Decrypts(const std::string& sysRoot, const std::string& name) {
  const std::string dm = BlockFolder(sysRoot, name) + "/dm";
  return PathExists(dm + "/uuid") &&
         IsDecryptingMapper(ReadFirstLine(dm + "/uuid"), ReadFirstLine(dm + "/name"));
}

}  // namespace

std::vector<MountEntry> ReadMountTable(const std::string& mountinfo) {
  std::vector<MountEntry> entries;
  std::ifstream table(mountinfo);
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, number, root, point, field, type, source;
    fields >> id >> parent >> number >> root >> point;
    while (fields >> field && field != "-") {
    }
    fields >> type >> source;
    MountEntry entry{};
    entry.hasDevice = ParseDeviceNumber(number, entry.device);
    entry.point = Unescape(point);
    entry.type = Unescape(type);
    entry.source = Unescape(source);
    if (!entry.point.empty()) entries.push_back(entry);
  }
  return entries;
}

void AddOnce(std::vector<std::string>& list, const std::string& text) {
  if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(text);
}

bool BlockDeviceAt(const std::string& path, dev_t& device) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return false;
  device = info.st_rdev;
  return true;
}

std::vector<std::string> MountPoints(const std::vector<MountEntry>& table, dev_t device) {
  std::vector<std::string> points;
  for (const MountEntry& entry : table) {
    dev_t source{};
    if ((entry.hasDevice && entry.device == device) ||
        (StartsWith(entry.source, "/dev/") && BlockDeviceAt(entry.source, source) &&
         source == device)) {
      AddOnce(points, entry.point);
    }
  }
  return points;
}

std::vector<SystemVolume> CryptVolumes(const std::string& sysRoot, const std::string& mountinfo) {
  std::vector<SystemVolume> volumes;
  const std::vector<MountEntry> table = ReadMountTable(mountinfo);
  for (const std::string& name : FolderEntries(sysRoot + "/block")) {
    const std::string dm = sysRoot + "/block/" + name + "/dm";
    if (!Decrypts(sysRoot, name)) continue;
    // A device below another decrypting device (a cascade of ciphers) shows no plain contents.
    const std::vector<std::string> holders = FolderEntries(BlockFolder(sysRoot, name) + "/holders");
    if (std::any_of(holders.begin(), holders.end(),
                    [&sysRoot](const std::string& holder) { return Decrypts(sysRoot, holder); })) {
      continue;
    }
    SystemVolume volume;
    volume.name = "/dev/mapper/" + ReadFirstLine(dm + "/name");
    volume.decrypts = true;
    BlockDeviceExtents(sysRoot, name, volume.extents);
    volume.paths.push_back(volume.name);
    for (const std::string& device : DeviceAndHolders(sysRoot, name)) {
      dev_t number{};
      if (!ParseDeviceNumber(ReadFirstLine(BlockFolder(sysRoot, device) + "/dev"), number)) {
        continue;
      }
      for (const std::string& point : MountPoints(table, number)) AddOnce(volume.paths, point);
    }
    volumes.push_back(volume);
  }
  return volumes;
}

bool BlockDeviceExtents(const std::string& sysRoot, const std::string& kernelName,
                        std::vector<DiskExtent>& extents) {
  if (!IsKernelName(kernelName) || !PathExists(BlockFolder(sysRoot, kernelName) + "/dev")) {
    return false;
  }
  std::set<std::string> onPath;
  int seen = 0;
  std::vector<DiskExtent> found;
  if (!AddBottomDevices(sysRoot, kernelName, 0, onPath, seen, found)) return false;
  extents = found;
  return true;
}

std::vector<SystemVolume> ListSystemVolumes() {
  try {
    std::vector<SystemVolume> volumes = CryptVolumes("/sys", "/proc/self/mountinfo");
    for (SystemVolume& volume : FuseVolumes("/sys", "/proc/self/mountinfo", "/proc")) {
      volumes.push_back(volume);
    }
    return volumes;
  } catch (...) {
    return {};  // out of memory: no volumes rather than no run
  }
}

bool QueryVolumeExtents(HANDLE volume, std::vector<DiskExtent>& extents) {
  PosixHandle* state = HandleState(volume);
  struct stat info {};
  if (state == nullptr || state->standard || fstat(state->fd, &info) != 0 ||
      !S_ISBLK(info.st_mode)) {
    return false;
  }
  try {
    return BlockDeviceExtents("/sys", KernelNameAt(BlockDeviceLink("/sys", info.st_rdev)), extents);
  } catch (...) {
    return false;
  }
}

bool IsLiveDrive(HANDLE drive) {
  PosixHandle* state = HandleState(drive);
  struct stat info {};
  return state != nullptr && !state->standard && fstat(state->fd, &info) == 0 &&
         S_ISBLK(info.st_mode);
}

std::string DriveSource(const std::string& drivePath) {
  const std::string path = ResolveDevicePath(drivePath);
  char resolved[PATH_MAX];
  if (path.empty() || realpath(path.c_str(), resolved) == nullptr) return "";
  return resolved;
}
