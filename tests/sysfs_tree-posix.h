// A tree shaped like the block devices of /sys, built in a test's own folder: devices under
// devices/, reached through the links block/<disk>, class/block/<name> and dev/block/M:m, with
// partitions inside their disk's folder, dm/uuid and dm/name for device-mapper devices, and
// slaves/<name> links to the devices one lies on, as the kernel shows them.
#ifndef TVX_TESTS_SYSFS_TREE_POSIX_H_
#define TVX_TESTS_SYSFS_TREE_POSIX_H_

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace TestSupport {

class SysfsTree {
 public:
  /// Builds the tree in the existing folder `root`.
  explicit SysfsTree(const std::string& root) : root_(root) {}

  const std::string& root() const { return root_; }

  /// Adds whole disk `name`, as a real disk (devices/pci/...) or a virtual one (dm-, md).
  void AddDisk(const std::string& name, dev_t device, bool isVirtual = false) {
    Add(name, (isVirtual ? "devices/virtual/block/" : "devices/pci0000:00/block/") + name, device);
    Link("block/" + name, Folder(name));
  }

  /// Adds partition `name`, number `number`, of disk `disk`, beginning at 512-byte sector
  /// `start` and `size` such sectors long.
  void AddPartition(const std::string& disk, const std::string& name, int number, dev_t device,
                    uint64_t start = 0, uint64_t size = 0) {
    Add(name, Folder(disk) + "/" + name, device);
    Write(Folder(name) + "/partition", std::to_string(number));
    Write(Folder(name) + "/start", std::to_string(start));
    Write(Folder(name) + "/size", std::to_string(size));
  }

  /// Adds device-mapper device `name` ("dm-3") with the given dm/uuid and dm/name.
  void AddDeviceMapper(const std::string& name, dev_t device, const std::string& uuid,
                       const std::string& dmName) {
    AddDisk(name, device, true);
    Write(Folder(name) + "/dm/uuid", uuid);
    Write(Folder(name) + "/dm/name", dmName);
  }

  /// Records that `holder` lies on `slave`: its slaves/<slave> link and, when `slave` exists,
  /// the slave's holders/<holder> link.
  void AddSlave(const std::string& holder, const std::string& slave) {
    const std::string target = folders_.count(slave) ? Folder(slave) : "devices/none/" + slave;
    Link(Folder(holder) + "/slaves/" + slave, target);
    if (folders_.count(slave)) Link(Folder(slave) + "/holders/" + holder, Folder(holder));
  }

  /// Writes a file of the tree, with a line end as sysfs gives one.
  void Write(const std::string& relative, const std::string& line) {
    std::filesystem::create_directories(
        std::filesystem::path(root_ + "/" + relative).parent_path());
    std::ofstream(root_ + "/" + relative) << line << "\n";
  }

 private:
  std::string Folder(const std::string& name) const { return folders_.at(name); }

  void Add(const std::string& name, const std::string& folder, dev_t device) {
    folders_[name] = folder;
    const std::string number = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    Write(folder + "/dev", number);
    Link("class/block/" + name, folder);
    Link("dev/block/" + number, folder);
  }

  // Makes `relative` a relative link to `target`, both given from the root, as sysfs's are.
  void Link(const std::string& relative, const std::string& target) {
    const std::filesystem::path link = root_ + "/" + relative;
    std::filesystem::create_directories(link.parent_path());
    std::filesystem::create_symlink(
        std::filesystem::path(root_ + "/" + target).lexically_relative(link.parent_path()), link);
  }

  std::string root_;
  std::map<std::string, std::string> folders_;
};

}  // namespace TestSupport

#endif  // TVX_TESTS_SYSFS_TREE_POSIX_H_
