// The physical drives Windows lists: every present disk interface that SetupAPI enumerates,
// each asked its drive number. A disk is opened for no access at all to ask: the query needs
// none, and it works without administrator rights.
#include <windows.h>
// After <windows.h>, which they build on.
#include <setupapi.h>
#include <winioctl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/drive_list.h"

namespace {

// GUID_DEVINTERFACE_DISK, the interface class of every disk.
constexpr GUID kDiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

// Returns the device path of one enumerated interface, or an empty text when it cannot tell.
std::string InterfacePath(HDEVINFO devices, SP_DEVICE_INTERFACE_DATA& interfaceData) {
  DWORD size = 0;
  SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, nullptr, 0, &size, nullptr);
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return std::string();
  // DWORDs, so that the structure is aligned as it must be.
  std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, detail, size, nullptr, nullptr)) {
    return std::string();
  }
  return detail->DevicePath;
}

// Asks the disk at `path` for its drive number; false when it cannot be opened or asked.
bool QueryDiskNumber(const std::string& path, DWORD& number) {
  HANDLE disk = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (disk == INVALID_HANDLE_VALUE) return false;
  STORAGE_DEVICE_NUMBER answer{};
  DWORD returned = 0;
  const BOOL asked = DeviceIoControl(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &answer,
                                     sizeof(answer), &returned, nullptr);
  CloseHandle(disk);
  if (!asked || returned < sizeof(answer)) return false;
  number = answer.DeviceNumber;
  return true;
}

}  // namespace

std::vector<int32_t> ListPhysicalDriveNumbers() {
  std::vector<int32_t> numbers;
  HDEVINFO devices = SetupDiGetClassDevsA(&kDiskInterface, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devices == INVALID_HANDLE_VALUE) return numbers;
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof(interfaceData);
  for (DWORD index = 0;
       SetupDiEnumDeviceInterfaces(devices, nullptr, &kDiskInterface, index, &interfaceData);
       ++index) {
    DWORD number = 0;
    const std::string path = InterfacePath(devices, interfaceData);
    if (!path.empty() && QueryDiskNumber(path, number) && number <= INT32_MAX) {
      numbers.push_back(static_cast<int32_t>(number));
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}
