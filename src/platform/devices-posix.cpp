#include "platform/devices-posix.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

constexpr char kPhysicalDrivePrefix[] = "\\\\.\\PhysicalDrive";
constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr int kFolderDriveCount = 16;
constexpr int kLetterCount = 26;
constexpr unsigned kScsiCdromMajor = 11;

// Kernel name prefixes of whole-disk block devices that are never physical drives.
constexpr const char* kNeverPhysicalPrefixes[] = {"ram", "zram", "dm-", "md", "sr", "fd"};

// Returns the device folder named by TVX_DEVICES, or nullptr on the live system.
const char* DeviceFolder() {
  const char* folder = std::getenv("TVX_DEVICES");
  return (folder != nullptr && folder[0] != '\0') ? folder : nullptr;
}

// True when TVX_DEVICES names one image file (or device) rather than a folder: that file is
// PhysicalDrive0, and there is no other drive and no letter.
bool IsSingleImage(const char* folder) {
  struct stat info {};
  return stat(folder, &info) == 0 && !S_ISDIR(info.st_mode);
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// Returns N of "\\.\PhysicalDriveN" (plain decimal digits, no sign), or -1.
long ParsePhysicalDrive(const std::string& path) {
  if (!StartsWith(path, kPhysicalDrivePrefix)) return -1;
  const std::string digits = path.substr(strlen(kPhysicalDrivePrefix));
  if (digits.empty() || digits.size() > 9) return -1;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return -1;
  }
  return std::strtol(digits.c_str(), nullptr, 10);
}

// Returns the index (0 for A) of "\\.\L:", or -1.
int ParseDriveLetter(const std::string& path) {
  const size_t prefix = strlen(kDevicePrefix);
  if (path.size() != prefix + 2 || !StartsWith(path, kDevicePrefix) || path[prefix + 1] != ':') {
    return -1;
  }
  const char letter = path[prefix];
  if (letter >= 'A' && letter <= 'Z') return letter - 'A';
  if (letter >= 'a' && letter <= 'z') return letter - 'a';
  return -1;
}

// Returns the first line of a small sysfs or proc file, or an empty text.
std::string ReadFirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

bool PathExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// Parses "MAJ:MIN" into a device number; false when it is not one.
bool ParseDeviceNumber(const std::string& text, dev_t& device) {
  unsigned major = 0, minor = 0;
  char extra = 0;
  if (sscanf(text.c_str(), "%u:%u%c", &major, &minor, &extra) != 2) return false;
  device = makedev(major, minor);
  return true;
}

std::string SysfsLink(dev_t device) {
  return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// True when the kernel knows `device` as a block device.
bool IsBlockDevice(dev_t device) {
  return PathExists(SysfsLink(device));
}

// Returns the device node of a block device: /dev/<name> where it exists, else /dev/block/M:m.
std::string DeviceNode(const std::string& name, dev_t device) {
  const std::string node = "/dev/" + name;
  if (PathExists(node)) return node;
  return "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// Returns the kernel name of a block device (the last part of its sysfs path), or "".
std::string KernelName(dev_t device) {
  char resolved[PATH_MAX];
  if (realpath(SysfsLink(device).c_str(), resolved) == nullptr) return "";
  const char* slash = strrchr(resolved, '/');
  return slash != nullptr ? slash + 1 : resolved;
}

bool IsOptical(const std::string& name, dev_t device) {
  return major(device) == kScsiCdromMajor || StartsWith(name, "sr");
}

bool NaturalLess(const std::string& a, const std::string& b) {
  return strverscmp(a.c_str(), b.c_str()) < 0;
}

// One block device of the live system: its kernel name and number.
struct BlockDevice {
  std::string name;
  dev_t device;
};

// The live system's physical drives and drive letters, worked out once.
struct LiveDevices {
  std::vector<BlockDevice> drives;
  std::array<std::string, kLetterCount> letters;
};

std::vector<BlockDevice> ListWholeDisks() {
  std::vector<BlockDevice> disks;
  DIR* dir = opendir("/sys/block");
  if (dir == nullptr) return disks;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name[0] == '.') continue;
    dev_t device{};
    if (!ParseDeviceNumber(ReadFirstLine("/sys/block/" + name + "/dev"), device)) continue;
    disks.push_back({name, device});
  }
  closedir(dir);
  std::sort(disks.begin(), disks.end(),
            [](const BlockDevice& a, const BlockDevice& b) { return NaturalLess(a.name, b.name); });
  return disks;
}

bool IsNeverPhysical(const std::string& name) {
  for (const char* prefix : kNeverPhysicalPrefixes) {
    if (StartsWith(name, prefix)) return true;
  }
  return false;
}

// Returns the devices of mounted file systems in mount-table order, each once.
std::vector<dev_t> MountedDevices() {
  std::vector<dev_t> devices;
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mountinfo, line)) {
    std::istringstream fields(line);
    std::string id, parent, number, field;
    fields >> id >> parent >> number;
    std::string source;
    while (fields >> field) {
      if (field == "-") {
        std::string type;
        fields >> type >> source;
        break;
      }
    }
    dev_t device{};
    bool found = ParseDeviceNumber(number, device) && IsBlockDevice(device);
    struct stat info {};
    if (!found && StartsWith(source, "/dev/") && stat(source.c_str(), &info) == 0 &&
        S_ISBLK(info.st_mode)) {
      device = info.st_rdev;
      found = true;
    }
    if (found && std::find(devices.begin(), devices.end(), device) == devices.end()) {
      devices.push_back(device);
    }
  }
  return devices;
}

LiveDevices ScanLiveDevices() {
  LiveDevices live;
  std::vector<BlockDevice> loops;
  std::vector<BlockDevice> opticals;
  for (const BlockDevice& disk : ListWholeDisks()) {
    if (IsOptical(disk.name, disk.device)) {
      opticals.push_back(disk);
    } else if (StartsWith(disk.name, "loop")) {
      if (PathExists("/sys/block/" + disk.name + "/loop/backing_file")) loops.push_back(disk);
    } else if (!IsNeverPhysical(disk.name)) {
      live.drives.push_back(disk);
    }
  }
  live.drives.insert(live.drives.end(), loops.begin(), loops.end());

  std::vector<dev_t> lettered;
  const auto assign = [&](int letter, dev_t device) {
    lettered.push_back(device);
    live.letters[letter] = DeviceNode(KernelName(device), device);
  };
  constexpr int kLetterC = 2;
  int next = kLetterC + 1;
  struct stat root {};
  if (stat("/", &root) == 0 && IsBlockDevice(root.st_dev)) assign(kLetterC, root.st_dev);
  for (dev_t device : MountedDevices()) {
    if (next >= kLetterCount) break;
    if (std::find(lettered.begin(), lettered.end(), device) != lettered.end()) continue;
    assign(next++, device);
  }
  for (const BlockDevice& optical : opticals) {
    if (next >= kLetterCount) break;
    if (std::find(lettered.begin(), lettered.end(), optical.device) != lettered.end()) continue;
    assign(next++, optical.device);
  }
  return live;
}

const LiveDevices& Live() {
  static const LiveDevices live = ScanLiveDevices();
  return live;
}

// Returns the block device that physical drive n stands for, or false when it is none.
bool PhysicalDriveDevice(size_t n, dev_t& device) {
  if (const char* folder = DeviceFolder()) {
    struct stat info {};
    const std::string entry = std::string(folder) + "/PhysicalDrive" + std::to_string(n);
    if (stat(entry.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return false;
    device = info.st_rdev;
    return true;
  }
  if (n >= Live().drives.size()) return false;
  device = Live().drives[n].device;
  return true;
}

size_t PhysicalDriveCount() {
  return DeviceFolder() != nullptr ? kFolderDriveCount : Live().drives.size();
}

// Returns the trailing decimal number of a kernel name ("sr1" gives 1), or 0.
DWORD TrailingNumber(const std::string& name) {
  size_t start = name.size();
  while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
  return start < name.size() ? static_cast<DWORD>(std::strtoul(name.c_str() + start, nullptr, 10))
                             : 0;
}

}  // namespace

std::string ResolveDevicePath(const std::string& windowsPath) {
  const long drive = ParsePhysicalDrive(windowsPath);
  const int letter = ParseDriveLetter(windowsPath);
  if (drive < 0 && letter < 0) {
    return StartsWith(windowsPath, kDevicePrefix) ? std::string() : windowsPath;
  }
  if (const char* folder = DeviceFolder()) {
    if (IsSingleImage(folder)) return drive == 0 ? std::string(folder) : std::string();
    if (drive >= 0) return std::string(folder) + "/PhysicalDrive" + std::to_string(drive);
    return std::string(folder) + "/" + static_cast<char>('A' + letter) + ":";
  }
  if (drive >= 0) {
    if (static_cast<size_t>(drive) >= Live().drives.size()) return "";
    const BlockDevice& disk = Live().drives[drive];
    return DeviceNode(disk.name, disk.device);
  }
  return Live().letters[letter];
}

bool QueryDeviceNumber(dev_t device, STORAGE_DEVICE_NUMBER& answer) {
  char resolved[PATH_MAX];
  if (realpath(SysfsLink(device).c_str(), resolved) == nullptr) return false;
  const std::string sysfsPath = resolved;
  dev_t wholeDisk = device;
  DWORD partition = 0;
  const std::string partitionFile = ReadFirstLine(sysfsPath + "/partition");
  if (!partitionFile.empty()) {
    partition = static_cast<DWORD>(std::strtoul(partitionFile.c_str(), nullptr, 10));
    if (!ParseDeviceNumber(ReadFirstLine(sysfsPath + "/../dev"), wholeDisk)) return false;
  } else {
    const std::string name = KernelName(device);
    if (IsOptical(name, device)) {
      answer = {FILE_DEVICE_CD_ROM, TrailingNumber(name), static_cast<DWORD>(-1)};
      return true;
    }
  }
  for (size_t n = 0; n < PhysicalDriveCount(); ++n) {
    dev_t drive{};
    if (PhysicalDriveDevice(n, drive) && drive == wholeDisk) {
      answer = {FILE_DEVICE_DISK, static_cast<DWORD>(n), partition};
      return true;
    }
  }
  return false;
}
