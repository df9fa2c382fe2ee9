// The JSON report: the run's data as one document, for scripts and case-management tools.
#ifndef TVX_RENDER_JSON_REPORT_H_
#define TVX_RENDER_JSON_REPORT_H_

#include <string>

#include "report/report.h"

namespace ConsoleStuff {

/// What the report says about the run itself, beside what the scans saw.
struct RunInfo {
  std::string platform;   // "windows" or "linux"
  std::string host;       // the computer's name
  std::string startedAt;  // UTC, ISO 8601 with a "Z"
  std::string devices;    // "live", or the device folder's path
};

/// Returns bytes read from a disk as UTF-8 text in which each byte is the character with the
/// same code (U+0000 to U+00FF), so that any bytes give valid text and can be recovered.
std::string BytesAsText(const std::string& bytes);

/// Returns the report as one JSON document, without a final line break. Never fails.
std::string JsonReport(const Report& report, const RunInfo& info);

/// Writes the report to standard output as one JSON document and a line feed, with one write
/// and no colour. Throws error 1001 or 1002 as the console writer does.
void WriteJsonReport(const Report& report, const RunInfo& info);

}  // namespace ConsoleStuff

#endif  // TVX_RENDER_JSON_REPORT_H_
