// The device folder's entries on POSIX: each looked at through its links, and matched against
// the drive and letter entries and the files image drives were read from, by identity rather
// than by name, so that a link and its target, or two links to one device, count as one.
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <tuple>

#include "platform/device_folder-posix.h"
#include "platform/device_folder.h"
#include "platform/device_paths-posix.h"

namespace {

// A file by its file system and inode; a block device by its device number, whatever node
// names it.
using Identity = std::tuple<bool, uint64_t, uint64_t>;

// The files image drives were read from besides their own; opens run on the device worker, the
// listing on another.
std::set<Identity> imageParts;
std::mutex imagePartsLock;

Identity IdentityOf(const struct stat& info) {
  if (S_ISBLK(info.st_mode)) return Identity{true, info.st_rdev, 0};
  return Identity{false, info.st_dev, info.st_ino};
}

// Returns the device folder TVX_DEVICES names, or an empty text when it names none, or names
// something other than a folder.
std::string DeviceFolder() {
  const char* folder = std::getenv("TVX_DEVICES");
  struct stat info {};
  if (folder == nullptr || folder[0] == '\0' || stat(folder, &info) != 0 ||
      !S_ISDIR(info.st_mode)) {
    return std::string();
  }
  return folder;
}

EntryKind KindOf(const struct stat& info) {
  if (S_ISREG(info.st_mode)) return EntryKind::RegularFile;
  if (S_ISBLK(info.st_mode)) return EntryKind::BlockDevice;
  if (S_ISDIR(info.st_mode)) return EntryKind::Folder;
  return EntryKind::Other;
}

}  // namespace

void NoteImagePartFile(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return;
  const std::lock_guard<std::mutex> lock(imagePartsLock);
  imageParts.insert(IdentityOf(info));
}

std::vector<FolderEntry> ListDeviceFolderEntries() {
  std::vector<FolderEntry> entries = ListDeviceFolderNames();
  const std::string folder = DeviceFolder();
  // Each entry's identity, when it has one; the drive and letter entries' cover the others.
  std::vector<Identity> identities(entries.size());
  std::set<Identity> covered;
  {
    const std::lock_guard<std::mutex> lock(imagePartsLock);
    covered = imageParts;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    FolderEntry& entry = entries[i];
    entry.kind = EntryKind::Missing;
    struct stat info {};
    if (stat((folder + "/" + entry.name).c_str(), &info) == 0) {
      entry.kind = KindOf(info);
      if (entry.kind == EntryKind::RegularFile) entry.size = static_cast<uint64_t>(info.st_size);
      identities[i] = IdentityOf(info);
      if (entry.deviceName) covered.insert(identities[i]);
    }
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    FolderEntry& entry = entries[i];
    entry.coveredByDrive = entry.kind != EntryKind::Missing && covered.count(identities[i]) > 0;
  }
  return entries;
}

std::vector<FolderEntry> ListDeviceFolderNames() {
  std::vector<FolderEntry> entries;
  const std::string folder = DeviceFolder();
  DIR* dir = folder.empty() ? nullptr : opendir(folder.c_str());
  if (dir == nullptr) return entries;
  while (const dirent* item = readdir(dir)) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry entry;
    entry.name = name;
    entry.kind = EntryKind::Unknown;
    entry.deviceName = IsDeviceEntryName(name);
    entries.push_back(entry);
  }
  closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return entries;
}

std::string DanglingLinkTarget(const std::string& drivePath) {
  const std::string path = ResolveDevicePath(drivePath);
  struct stat info {};
  if (path.empty() || lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return "";
  // A target that exists but cannot be reached (a loop of links, no permission) is no dangling
  // link: its code says what went wrong.
  if (stat(path.c_str(), &info) == 0 || (errno != ENOENT && errno != ENOTDIR)) return "";
  char target[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return "";
  return std::string(target, static_cast<size_t>(length));
}
