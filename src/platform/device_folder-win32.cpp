// The device folder on Windows: there is none, the drives are the machine's own.
#include "platform/device_folder.h"

std::vector<FolderEntry> ListDeviceFolderEntries() {
  return {};
}

std::vector<FolderEntry> ListDeviceFolderNames() {
  return {};
}

std::string DanglingLinkTarget(const std::string& /*drivePath*/) {
  return std::string();
}
