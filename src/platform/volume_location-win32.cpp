// Where volumes and drives are, on Windows: the volume manager's list of volumes, the disk
// extents each lies on, its first sector, letters and mount folders; the volumes the VeraCrypt
// and TrueCrypt drivers have mounted, from their control devices; and the device the object
// manager names for each physical drive.
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "base/bytes.h"
#include "platform/volume_location.h"
#include "platform/volume_names.h"

namespace {

// A whole number of sectors of every size up to 4 KiB, of which the first 512 bytes are kept.
constexpr DWORD kFirstReadBytes = 4096;
constexpr DWORD kSectorBytes = 512;
// Extents asked for at first; a volume on more gets a second call with room for all of them.
constexpr DWORD kFirstExtentRoom = 16;
constexpr DWORD kMaxExtents = 4096;
// The drivers' request for their mounted volumes (TC_IOCTL_GET_MOUNTED_VOLUMES in their
// Apidrvr.h), and room for the largest answer any version gives.
constexpr DWORD kGetMountedVolumes =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + 6, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kMountListRoom = 64 * 1024;
constexpr const wchar_t* kEncryptionDrivers[] = {L"\\\\.\\VeraCrypt", L"\\\\.\\TrueCrypt"};

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

// Returns where the device the object manager names `host` ("\\Device\\Harddisk1\\Partition2")
// lies: its disk and the partition's first byte and length; false for anything else.
bool HostExtent(const std::string& host, DiskExtent& extent) {
  if (!StartsWithIgnoringCase(host, "\\Device\\")) return false;
  // No access rights: the two questions need none, and a volume mounted for exclusive use still
  // answers them.
  HANDLE handle =
      CreateFileA(("\\\\.\\GLOBALROOT" + host).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  STORAGE_DEVICE_NUMBER number{};
  PARTITION_INFORMATION_EX partition{};
  DWORD returned = 0;
  const bool answered = DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0,
                                        &number, sizeof number, &returned, nullptr) &&
                        number.DeviceType == FILE_DEVICE_DISK &&
                        DeviceIoControl(handle, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0,
                                        &partition, sizeof partition, &returned, nullptr);
  CloseHandle(handle);
  if (!answered || number.DeviceNumber > static_cast<DWORD>(INT32_MAX)) return false;
  extent = {static_cast<int32_t>(number.DeviceNumber),
            static_cast<uint64_t>(partition.StartingOffset.QuadPart),
            static_cast<uint64_t>(partition.PartitionLength.QuadPart)};
  return true;
}

// Adds the volumes that the VeraCrypt and TrueCrypt drivers have mounted from a partition or a
// disk, each read through its letter.
void AddDriverVolumes(std::vector<SystemVolume>& volumes) {
  for (const wchar_t* device : kEncryptionDrivers) {
    // No access rights: the request is one that any handle may send.
    HANDLE driver = CreateFileW(device, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (driver == INVALID_HANDLE_VALUE) continue;
    std::vector<char> answer(kMountListRoom, '\0');
    DWORD returned = 0;
    const BOOL asked = DeviceIoControl(driver, kGetMountedVolumes, answer.data(), kMountListRoom,
                                       answer.data(), kMountListRoom, &returned, nullptr);
    CloseHandle(driver);
    if (!asked) continue;
    const std::string_view bytes(answer.data(), returned <= kMountListRoom ? returned : 0);
    for (const DriverMount& mount : ParseDriverMountList(bytes)) {
      DiskExtent extent{};
      if (!HostExtent(mount.host, extent)) continue;  // a container file, or gone
      SystemVolume volume;
      volume.name = mount.host;
      volume.extents = {extent};
      volume.decrypts = true;
      volume.paths = {std::string(1, mount.letter) + ":\\"};
      volumes.push_back(volume);
    }
  }
}

}  // namespace

std::vector<SystemVolume> ListSystemVolumes() {
  std::vector<SystemVolume> volumes;
  wchar_t name[MAX_PATH + 1] = {0};
  HANDLE search = FindFirstVolumeW(name, MAX_PATH);
  if (search != INVALID_HANDLE_VALUE) {
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
  }
  try {
    AddDriverVolumes(volumes);
  } catch (...) {
    // out of memory: the drivers' volumes stay unknown
  }
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
