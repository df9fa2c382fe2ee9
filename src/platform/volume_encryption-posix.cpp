// Drive letters on open encrypted volumes, on Linux: the letter's block device and the devices
// it lies on, as the kernel lists them under /sys/class/block/<name>/slaves, looked at for the
// device-mapper devices that cryptsetup, VeraCrypt and TrueCrypt make.
#include "platform/volume_encryption-posix.h"

#include <sys/stat.h>

#include <set>
#include <vector>

#include "platform/device_paths-posix.h"
#include "platform/sysfs-posix.h"
#include "platform/volume_names.h"

namespace {

std::string SysfsBlockFolder(const std::string& sysRoot, const std::string& name) {
  return sysRoot + "/class/block/" + name;
}

// Returns the product of device-mapper device `name`, or "" when it is none or no dm device.
std::string CryptProduct(const std::string& sysRoot, const std::string& name) {
  const std::string dm = SysfsBlockFolder(sysRoot, name) + "/dm";
  if (!PathExists(dm)) return "";
  return ProductFromDeviceMapper(ReadFirstLine(dm + "/uuid"), ReadFirstLine(dm + "/name"));
}

std::vector<std::string> Slaves(const std::string& sysRoot, const std::string& name) {
  return FolderEntries(SysfsBlockFolder(sysRoot, name) + "/slaves");
}

// Looks breadth first from `top` for the nearest device that CryptProduct names; returns its
// name and fills `product`, or returns "" when there is none within the walk's bounds.
std::string FindCryptDevice(const std::string& sysRoot, const std::string& top,
                            std::string& product) {
  std::set<std::string> visited{top};
  std::vector<std::string> level{top};
  for (int depth = 0; depth <= kMaxLayerDepth && !level.empty(); ++depth) {
    std::vector<std::string> next;
    for (const std::string& name : level) {
      product = CryptProduct(sysRoot, name);
      if (!product.empty()) return name;
      for (const std::string& slave : Slaves(sysRoot, name)) {
        if (static_cast<int>(visited.size()) >= kMaxLayerDevices) return "";
        if (visited.insert(slave).second) next.push_back(slave);
      }
    }
    level.swap(next);
  }
  return "";
}

// Returns the device at the bottom of the single chain of devices below `name` (`name` itself
// when nothing lies below it), or "" when some device on the way lies on more than one, or the
// chain loops or runs past the walk's depth.
std::string LowestDevice(const std::string& sysRoot, const std::string& name) {
  std::set<std::string> visited{name};
  std::string current = name;
  for (int depth = 0; depth <= kMaxLayerDepth; ++depth) {
    const std::vector<std::string> slaves = Slaves(sysRoot, current);
    if (slaves.empty()) return current;
    if (slaves.size() > 1 || !visited.insert(slaves[0]).second) return "";
    current = slaves[0];
  }
  return "";
}

}  // namespace

bool DescribeBlockDeviceEncryption(const std::string& sysRoot, const std::string& kernelName,
                                   EncryptionLayer& layer) {
  if (kernelName.empty() || kernelName[0] == '.' || kernelName.find('/') != std::string::npos) {
    return false;
  }
  std::string product;
  const std::string crypt = FindCryptDevice(sysRoot, kernelName, product);
  if (crypt.empty()) return false;
  EncryptionLayer found{product, crypt != kernelName, -1, -1};
  const std::string lowest = LowestDevice(sysRoot, crypt);
  STORAGE_DEVICE_NUMBER number{};
  if (!lowest.empty() && QueryDeviceNumberAt(SysfsBlockFolder(sysRoot, lowest), number) &&
      number.DeviceType == FILE_DEVICE_DISK && number.PartitionNumber > 0 &&
      number.PartitionNumber <= static_cast<DWORD>(INT32_MAX)) {
    found.drive = static_cast<int32_t>(number.DeviceNumber);
    found.partition = static_cast<int32_t>(number.PartitionNumber);
  }
  layer = found;
  return true;
}

bool DescribeVolumeEncryption(char letter, EncryptionLayer& layer) {
  if (letter < 'A' || letter > 'Z') return false;
  try {
    const std::string path = ResolveDevicePath(std::string("\\\\.\\") + letter + ":");
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return false;
    const std::string name = KernelNameAt(BlockDeviceLink("/sys", info.st_rdev));
    return DescribeBlockDeviceEncryption("/sys", name, layer);
  } catch (...) {
    return false;  // out of memory: no name rather than no run
  }
}
