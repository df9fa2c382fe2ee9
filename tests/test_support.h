// Helpers shared by the unit tests on every platform: temporary image files written with standard
// C++ streams (a far seek then a write leaves a hole that the host file system keeps sparse) and
// opened the way the scanner opens a drive.
#ifndef TVX_TESTS_TEST_SUPPORT_H_
#define TVX_TESTS_TEST_SUPPORT_H_

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "platform/platform.h"
#include "run/module1.h"

namespace TestSupport {

/// Returns a path in the temporary folder that no other test run uses; nothing is created.
inline std::filesystem::path TemporaryPath(const std::string& stem) {
  std::random_device random;
  return std::filesystem::temp_directory_path() /
         (stem + "-" + std::to_string(random()) + "-" + std::to_string(random()) + ".img");
}

/// A file in the temporary folder, removed when the object goes.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& stem) : path_(TemporaryPath(stem)) {}
  ~TemporaryFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  /// Returns the file's path.
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

/// Writes `bytes` at byte `offset` of the file at `path`, creating (or emptying) it first when
/// `create` is set. Returns false when the file cannot be opened or written.
inline bool WriteAt(const std::filesystem::path& path, uint64_t offset, const std::string& bytes,
                    bool create = false) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out |
                              (create ? std::ios::trunc : std::ios::openmode{}));
  if (!file.is_open()) return false;
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  return !file.fail();
}

/// Opens an image file as the scanner opens a drive. Returns INVALID_HANDLE_VALUE on failure,
/// with the error in GetLastError.
inline HANDLE OpenImage(const std::filesystem::path& path) {
  const Module1::DeviceOpening opening = Module1::OpenRawDevice(path.string());
  SetLastError(opening.error);
  return opening.handle;
}

}  // namespace TestSupport

#endif  // TVX_TESTS_TEST_SUPPORT_H_
