// What a Windows error code means, in words a responder can act on, on every platform: the
// codes are Windows' own, on Linux too.
#ifndef TVX_REPORT_ERROR_REASON_H_
#define TVX_REPORT_ERROR_REASON_H_

#include <cstdint>
#include <string>

/// Returns the words for the error code of a failed open or read, without a full stop: 2 "it
/// does not exist", 3 "its folder does not exist", 5 "access is denied", 21 "the device is not
/// ready", 23 "the data could not be read: the medium may be failing", 31 "the device does not
/// work as a disk", 38 "the drive ends before it", 87 "the sector cannot be addressed", 1117 "the
/// device reported an input/output error", any other "Windows error C" (C as the error line
/// gives it). Never fails.
std::string ErrorReason(uint32_t code);

/// Returns the words for a drive whose entry is a link to `target`, which does not exist: "it is
/// a link to TARGET, which does not exist", the target as the link holds it.
std::string DanglingLinkReason(const std::string& target);

/// Returns the line said after an error line: "  - " `reason` ".".
std::string ReasonLine(const std::string& reason);

#endif  // TVX_REPORT_ERROR_REASON_H_
