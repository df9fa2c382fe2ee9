#include "platform/device_paths-posix.h"

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

#include "base/bytes.h"
#include "platform/sysfs-posix.h"

namespace {

constexpr char kPhysicalDrivePrefix[] = "\\\\.\\PhysicalDrive";
constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr int kLetterCount = 26;
constexpr unsigned kScsiCdromMajor = 11;

// Kernel name prefixes of whole-disk block devices that are never physical drives.
constexpr const char* kNeverPhysicalPrefixes[] = {"ram", "zram", "dm-", "md", "sr", "fd"};

// Returns the device folder named by TVX_DEVICES, or nullptr on the live system.
const char* DeviceFolderSetting() {
  const char* folder = std::getenv("TVX_DEVICES");
  return (folder != nullptr && folder[0] != '\0') ? folder : nullptr;
}

// True when TVX_DEVICES names one image file (or device) rather than a folder: that file is
// PhysicalDrive0, and there is no other drive and no letter.
bool IsSingleImage(const char* folder) {
  struct stat info {};
  return stat(folder, &info) == 0 && !S_ISDIR(info.st_mode);
}

// Returns N of `prefix` followed by N in plain decimal digits (no sign, at most nine of them),
// or -1 when the text is not that.
long ParseDriveNumber(const std::string& text, const char* prefix) {
  if (!StartsWith(text, prefix)) return -1;
  const std::string digits = text.substr(strlen(prefix));
  if (digits.empty() || digits.size() > 9) return -1;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return -1;
  }
  return std::strtol(digits.c_str(), nullptr, 10);
}

// Returns N of a device folder entry "PhysicalDriveN" that ResolveDevicePath leads to (no
// leading zeros), or -1.
long FolderDriveNumber(const std::string& name) {
  const long n = ParseDriveNumber(name, "PhysicalDrive");
  return n >= 0 && name == "PhysicalDrive" + std::to_string(n) ? n : -1;
}

// Returns N of "\\.\PhysicalDriveN", or -1.
long ParsePhysicalDrive(const std::string& path) {
  return ParseDriveNumber(path, kPhysicalDrivePrefix);
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

// True when the kernel knows `device` as a block device.
bool KernelKnowsBlockDevice(dev_t device) {
  return PathExists(BlockDeviceLink("/sys", device));
}

// Returns the device node of a block device: /dev/<name> where it exists, else /dev/block/M:m.
std::string DeviceNode(const std::string& name, dev_t device) {
  const std::string node = "/dev/" + name;
  if (PathExists(node)) return node;
  return "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

bool IsOptical(const std::string& name, dev_t device) {
  return major(device) == kScsiCdromMajor || StartsWith(name, "sr");
}

bool NaturalLess(const std::string& a, const std::string& b) {
  return strverscmp(a.c_str(), b.c_str()) < 0;
}

// The live system's physical drives and drive letters, worked out once.
struct LiveDevices {
  std::vector<BlockDevice> drives;
  std::array<std::string, kLetterCount> letters;
};

// Returns the whole disks of the tree at `sysRoot`, in natural kernel-name order.
std::vector<BlockDevice> ListWholeDisks(const std::string& sysRoot) {
  std::vector<BlockDevice> disks;
  for (const std::string& name : FolderEntries(sysRoot + "/block")) {
    dev_t device{};
    if (!ParseDeviceNumber(ReadFirstLine(sysRoot + "/block/" + name + "/dev"), device)) continue;
    disks.push_back({name, device});
  }
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
    bool found = ParseDeviceNumber(number, device) && KernelKnowsBlockDevice(device);
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
  live.drives = ListPhysicalDrives("/sys");
  std::vector<BlockDevice> opticals;
  for (const BlockDevice& disk : ListWholeDisks("/sys")) {
    if (IsOptical(disk.name, disk.device)) opticals.push_back(disk);
  }

  std::vector<dev_t> lettered;
  const auto assign = [&](int letter, dev_t device) {
    lettered.push_back(device);
    live.letters[letter] = DeviceNode(KernelNameAt(BlockDeviceLink("/sys", device)), device);
  };
  constexpr int kLetterC = 2;
  int next = kLetterC + 1;
  struct stat root {};
  if (stat("/", &root) == 0 && KernelKnowsBlockDevice(root.st_dev)) assign(kLetterC, root.st_dev);
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

// Returns the lowest number of a physical drive of this run that is the block device
// `wholeDisk`, or -1 when none is.
long PhysicalDriveNumber(dev_t wholeDisk) {
  if (const char* folder = DeviceFolderSetting()) {
    struct stat single {};
    if (IsSingleImage(folder)) {  // the one drive, PhysicalDrive0, may be a block device
      return stat(folder, &single) == 0 && S_ISBLK(single.st_mode) && single.st_rdev == wholeDisk
                 ? 0
                 : -1;
    }
    long lowest = -1;
    for (const std::string& name : FolderEntries(folder)) {
      const long n = FolderDriveNumber(name);
      if (n < 0 || (lowest >= 0 && n > lowest)) continue;
      struct stat info {};
      const std::string entry = std::string(folder) + "/" + name;
      if (stat(entry.c_str(), &info) == 0 && S_ISBLK(info.st_mode) && info.st_rdev == wholeDisk) {
        lowest = n;
      }
    }
    return lowest;
  }
  const std::vector<BlockDevice>& drives = Live().drives;
  for (size_t n = 0; n < drives.size(); ++n) {
    if (drives[n].device == wholeDisk) return static_cast<long>(n);
  }
  return -1;
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
  if (const char* folder = DeviceFolderSetting()) {
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

std::vector<BlockDevice> ListPhysicalDrives(const std::string& sysRoot) {
  std::vector<BlockDevice> drives;
  std::vector<BlockDevice> loops;
  for (const BlockDevice& disk : ListWholeDisks(sysRoot)) {
    if (IsOptical(disk.name, disk.device)) continue;
    if (StartsWith(disk.name, "loop")) {
      if (PathExists(sysRoot + "/block/" + disk.name + "/loop/backing_file")) loops.push_back(disk);
    } else if (!IsNeverPhysical(disk.name)) {
      drives.push_back(disk);
    }
  }
  drives.insert(drives.end(), loops.begin(), loops.end());
  return drives;
}

std::vector<int32_t> ListFolderDrives(const std::string& folder) {
  std::vector<int32_t> numbers;
  for (const std::string& name : FolderEntries(folder)) {
    const long n = FolderDriveNumber(name);
    if (n >= 0) numbers.push_back(static_cast<int32_t>(n));
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

bool IsDeviceEntryName(const std::string& name) {
  return FolderDriveNumber(name) >= 0 ||
         (name.size() == 2 && name[0] >= 'A' && name[0] <= 'Z' && name[1] == ':');
}

size_t LivePhysicalDriveCount() {
  return Live().drives.size();
}

bool QueryDeviceNumberAt(const std::string& folder, STORAGE_DEVICE_NUMBER& answer) {
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return false;
  const std::string sysfsPath = resolved;
  dev_t device{};
  if (!ParseDeviceNumber(ReadFirstLine(sysfsPath + "/dev"), device)) return false;
  dev_t wholeDisk = device;
  DWORD partition = 0;
  const std::string partitionFile = ReadFirstLine(sysfsPath + "/partition");
  if (!partitionFile.empty()) {
    partition = static_cast<DWORD>(std::strtoul(partitionFile.c_str(), nullptr, 10));
    if (!ParseDeviceNumber(ReadFirstLine(sysfsPath + "/../dev"), wholeDisk)) return false;
  } else {
    const std::string name = KernelNameAt(sysfsPath);
    if (IsOptical(name, device)) {
      answer = {FILE_DEVICE_CD_ROM, TrailingNumber(name), static_cast<DWORD>(-1)};
      return true;
    }
  }
  const long drive = PhysicalDriveNumber(wholeDisk);
  if (drive < 0) return false;
  answer = {FILE_DEVICE_DISK, static_cast<DWORD>(drive), partition};
  return true;
}

bool QueryDeviceNumber(dev_t device, STORAGE_DEVICE_NUMBER& answer) {
  return QueryDeviceNumberAt(BlockDeviceLink("/sys", device), answer);
}
