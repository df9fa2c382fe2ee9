#include "platform/sysfs-posix.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

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

bool ParseDeviceNumber(const std::string& text, dev_t& device) {
  unsigned major = 0, minor = 0;
  char extra = 0;
  if (sscanf(text.c_str(), "%u:%u%c", &major, &minor, &extra) != 2) return false;
  device = makedev(major, minor);
  return true;
}

std::string BlockDeviceLink(const std::string& sysRoot, dev_t device) {
  return sysRoot + "/dev/block/" + std::to_string(major(device)) + ":" +
         std::to_string(minor(device));
}

std::string KernelNameAt(const std::string& folder) {
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return "";
  const char* slash = strrchr(resolved, '/');
  return slash != nullptr ? slash + 1 : resolved;
}

std::vector<std::string> FolderEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}
