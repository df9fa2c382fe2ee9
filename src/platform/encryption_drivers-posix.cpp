#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/encryption_drivers-posix.h"
#include "platform/encryption_drivers.h"

namespace {

struct Module {
  const char* linePrefix;  // the module's name and the blank that ends it
  const char* product;
};

constexpr Module kModules[] = {{"veracrypt ", "VeraCrypt"}, {"truecrypt ", "TrueCrypt"}};

}  // namespace

std::vector<std::string> EncryptionModulesListed(const std::string& modulesPath) {
  bool listed[std::size(kModules)] = {};
  std::ifstream file(modulesPath);
  std::string line;
  while (std::getline(file, line)) {
    for (size_t i = 0; i < std::size(kModules); ++i) {
      if (line.rfind(kModules[i].linePrefix, 0) == 0) listed[i] = true;
    }
  }
  std::vector<std::string> products;
  for (size_t i = 0; i < std::size(kModules); ++i) {
    if (listed[i]) products.push_back(kModules[i].product);
  }
  return products;
}

std::vector<std::string> RunningEncryptionDrivers() {
  const char* folder = std::getenv("TVX_DEVICES");
  if (folder != nullptr && folder[0] != '\0') return {};
  return EncryptionModulesListed("/proc/modules");
}
