#include "report/error_reason.h"

namespace {

struct CodeWords {
  uint32_t code;
  const char* words;
};

// One table for both builds: the codes that Windows gives, and that the Linux build maps its
// failures onto (errors-posix.cpp).
constexpr CodeWords kCodeWords[] = {
    {2, "it does not exist"},
    {3, "its folder does not exist"},
    {5, "access is denied"},
    {21, "the device is not ready"},
    {23, "the data could not be read: the medium may be failing"},
    {31, "the device does not work as a disk"},
    {38, "the drive ends before it"},
    {87, "the sector cannot be addressed"},
    {1117, "the device reported an input/output error"},
};

}  // namespace

std::string ErrorReason(uint32_t code) {
  for (const CodeWords& row : kCodeWords) {
    if (row.code == code) return row.words;
  }
  // Signed, as the error line shows the code.
  return "Windows error " + std::to_string(static_cast<int32_t>(code));
}

std::string DanglingLinkReason(const std::string& target) {
  return "it is a link to " + target + ", which does not exist";
}

std::string ReasonLine(const std::string& reason) {
  return "  - " + reason + ".";
}
