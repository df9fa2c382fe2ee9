#include <windows.h>

#include "platform/encryption_drivers.h"

namespace {

struct Driver {
  const wchar_t* device;
  const char* product;
};

constexpr Driver kDrivers[] = {{L"\\\\.\\VeraCrypt", "VeraCrypt"},
                               {L"\\\\.\\TrueCrypt", "TrueCrypt"},
                               {L"\\\\.\\dcrypt", "DiskCryptor"}};

}  // namespace

std::vector<std::string> RunningEncryptionDrivers() {
  std::vector<std::string> products;
  for (const Driver& driver : kDrivers) {
    // No access rights: a handle that can only be queried, and nothing is sent through it.
    HANDLE handle = CreateFileW(driver.device, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) continue;
    CloseHandle(handle);
    products.push_back(driver.product);
  }
  return products;
}
