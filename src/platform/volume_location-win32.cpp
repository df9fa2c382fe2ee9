// Where volumes and drives are, on Windows: the volume manager's list of volumes, the disk
// extents each lies on, its first sector, letters and mount folders, and the device the object
// manager names for each physical drive.
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "platform/volume_location.h"

namespace {

// A whole number of sectors of every size up to 4 KiB, of which the first 512 bytes are kept.
constexpr DWORD kFirstReadBytes = 4096;
constexpr DWORD kSectorBytes = 512;
// Extents asked for at first; a volume on more gets a second call with room for all of them.
constexpr DWORD kFirstExtentRoom = 16;
constexpr DWORD kMaxExtents = 4096;

std::string Narrow(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return "";
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], size, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(size - 1));
  return narrow;
}

// Asks the volume manager which disk extents an open volume lies on.
bool AskExtents(HANDLE volume, std::vector<DiskExtent>& extents) {
  DWORD room = kFirstExtentRoom;
  for (int attempt = 0; attempt < 2; ++attempt) {
    // Held in 64-bit units, so the extents' LARGE_INTEGERs are aligned.
    const size_t bytes = sizeof(VOLUME_DISK_EXTENTS) + room * sizeof(DISK_EXTENT);
    std::vector<LONGLONG> buffer((bytes + sizeof(LONGLONG) - 1) / sizeof(LONGLONG));
    auto* answer = reinterpret_cast<VOLUME_DISK_EXTENTS*>(buffer.data());
    DWORD returned = 0;
    const BOOL done =
        DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, answer,
                        static_cast<DWORD>(buffer.size() * sizeof(LONGLONG)), &returned, nullptr);
    if (!done && GetLastError() == ERROR_MORE_DATA && returned >= sizeof(DWORD) &&
        answer->NumberOfDiskExtents > room && answer->NumberOfDiskExtents <= kMaxExtents) {
      room = answer->NumberOfDiskExtents;
      continue;
    }
    if (!done || returned < sizeof(DWORD) || answer->NumberOfDiskExtents > room) return false;
    extents.clear();
    for (DWORD i = 0; i < answer->NumberOfDiskExtents; ++i) {
      const DISK_EXTENT& extent = answer->Extents[i];
      extents.push_back({extent.DiskNumber <= static_cast<DWORD>(INT32_MAX)
                             ? static_cast<int32_t>(extent.DiskNumber)
                             : -1,
                         static_cast<uint64_t>(extent.StartingOffset.QuadPart),
                         static_cast<uint64_t>(extent.ExtentLength.QuadPart)});
    }
    return true;
  }
  return false;
}

// Reads the first sector of an open volume into `volume`, when the volume lets it be read.
void ReadFirstSector(HANDLE handle, SystemVolume& volume) {
  // Page-aligned, as a raw read of a volume may need.
  void* buffer = VirtualAlloc(nullptr, kFirstReadBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (buffer == nullptr) return;
  DWORD count = 0;
  if (ReadFile(handle, buffer, kFirstReadBytes, &count, nullptr) && count >= kSectorBytes) {
    volume.firstSectorRead = true;
    volume.firstSector.assign(static_cast<const char*>(buffer), kSectorBytes);
  }
  VirtualFree(buffer, 0, MEM_RELEASE);
}

// Returns the letters and mount folders of volume `name` ("\\?\Volume{...}\").
std::vector<std::string> PathNames(const std::wstring& name) {
  std::vector<std::string> paths;
  DWORD needed = MAX_PATH;
  std::vector<wchar_t> list;
  for (int attempt = 0; attempt < 2; ++attempt) {
    list.assign(needed + 1, L'\0');
    if (GetVolumePathNamesForVolumeNameW(name.c_str(), list.data(), needed, &needed)) break;
    if (GetLastError() != ERROR_MORE_DATA || attempt == 1) return paths;
  }
  // A list of NUL-terminated names, ended by an empty one.
  for (const wchar_t* path = list.data(); *path != L'\0'; path += wcslen(path) + 1) {
    paths.push_back(Narrow(path));
  }
  return paths;
}

// Returns what the system says about volume `name`, or false when it cannot be opened or lies
// on no disk.
bool DescribeVolume(const std::wstring& name, SystemVolume& volume) {
  // The volume itself is opened without the name's closing backslash, which names its root.
  const std::wstring device = name.substr(0, name.size() - 1);
  HANDLE handle = CreateFileW(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  volume.name = Narrow(name.c_str());
  const bool onDisks = AskExtents(handle, volume.extents) && !volume.extents.empty();
  if (onDisks) ReadFirstSector(handle, volume);
  CloseHandle(handle);
  if (onDisks) volume.paths = PathNames(name);
  return onDisks;
}

}  // namespace

std::vector<SystemVolume> ListSystemVolumes() {
  std::vector<SystemVolume> volumes;
  wchar_t name[MAX_PATH + 1] = {0};
  HANDLE search = FindFirstVolumeW(name, MAX_PATH);
  if (search == INVALID_HANDLE_VALUE) return volumes;
  do {
    name[MAX_PATH] = L'\0';
    try {
      const std::wstring volumeName = name;
      SystemVolume volume;
      if (volumeName.size() > 1 && volumeName.back() == L'\\' &&
          DescribeVolume(volumeName, volume)) {
        volumes.push_back(volume);
      }
    } catch (...) {
      // out of memory: this volume stays unknown
    }
  } while (FindNextVolumeW(search, name, MAX_PATH));
  FindVolumeClose(search);
  return volumes;
}

bool QueryVolumeExtents(HANDLE volume, std::vector<DiskExtent>& extents) {
  try {
    return AskExtents(volume, extents);
  } catch (...) {
    return false;
  }
}

bool IsLiveDrive(HANDLE drive) {
  return drive != INVALID_HANDLE_VALUE;  // on Windows a physical drive is always a device
}

std::string DriveSource(const std::string& drivePath) {
  const std::string prefix = "\\\\.\\";
  if (drivePath.compare(0, prefix.size(), prefix) != 0) return "";
  // The answer is a list of NUL-terminated names, the current target first.
  char targets[1024] = {0};
  if (QueryDosDeviceA(drivePath.substr(prefix.size()).c_str(), targets, sizeof targets) == 0) {
    return "";
  }
  targets[sizeof targets - 1] = '\0';
  return targets;
}
