#include "run/module1.h"

namespace Module1 {

// Read access only: the program never writes, and a drive behind a write blocker may refuse a
// read-write open. The device number query and the reads need nothing more.
HANDLE OpenRawDevice(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

}  // namespace Module1
