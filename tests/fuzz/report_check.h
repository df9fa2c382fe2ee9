// Renders both reports of a drive the fuzz target scanned, and checks that they agree.
#ifndef TVX_TESTS_FUZZ_REPORT_CHECK_H_
#define TVX_TESTS_FUZZ_REPORT_CHECK_H_

#include "report/report.h"

/// Sends standard output to a memory file, so that the console report can be read back.
/// Returns false when no memory file can be made.
bool CaptureStandardOutput();

/// Writes the console report of `report`'s last drive and the JSON report of the whole run;
/// aborts when the JSON does not parse, when its findings are not the console report's finding
/// lines in the same order, or when disk bytes do not round-trip through it.
void CheckRenderedReports(const Report& report);

#endif  // TVX_TESTS_FUZZ_REPORT_CHECK_H_
