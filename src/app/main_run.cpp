#include <algorithm>
#include <cctype>
#include <ctime>
#include <sstream>
#include <string>

#include "app/main_run.h"
#include "render/console.h"
#include "render/console_report.h"
#include "render/json_report.h"
#include "report/verdict.h"
#include "run/module1.h"

namespace Module1 {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Returns the first `count` characters of the argument text, in lower case.
std::string LowerPrefix(size_t count) {
  return Lower(GetArgumentText().substr(0, count));
}

// True when a blank-separated word of the argument text, in lower case, passes `test`.
template <typename Test>
bool AnyWord(Test test) {
  std::istringstream words(Lower(GetArgumentText()));
  std::string word;
  while (words >> word) {
    if (test(word)) return true;
  }
  return false;
}

// "/?" at the start of the argument text, or a help word as people type it anywhere.
bool UsageRequested() {
  if (LowerPrefix(2) == "/?") return true;
  return AnyWord([](const std::string& word) {
    return word == "-h" || word == "--help" || word == "-?" || word == "/help";
  });
}

bool JsonRequested() {
  return AnyWord([](const std::string& word) { return word.compare(0, 5, "/json") == 0; });
}

// The current time in UTC, as 2026-12-08T22:16:56Z.
std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  char text[32] = {};
  if (const std::tm* utc = std::gmtime(&now))
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", utc);
  return text;
}

// Both passes, with the console report written as they go.
void RunConsoleReport(SectorBuffer& sectorBuffer, Report& report) {
  ReportProgress progress;
  progress.driveDone = ConsoleStuff::WriteDrive;
  progress.volumeDone = ConsoleStuff::WriteVolume;
  progress.letterFailed = ConsoleStuff::WriteLetterFailure;
  ConsoleStuff::WritePhysicalPassStart();
  ScanPhysicalDrives(sectorBuffer, report, progress);
  ConsoleStuff::WritePhysicalPassEnd();
  ConsoleStuff::WriteLogicalPassStart();
  ScanLogicalVolumes(report, progress);
  ConsoleStuff::WriteLogicalPassEnd();
  ConsoleStuff::WriteVerdict(report);

  if (LowerPrefix(6) != "/batch") {
    ConsoleStuff::WritePrompt();
    ConsoleStuff::WaitForKey();
  }
}

// Both passes in silence, then the whole report as one JSON document.
void RunJsonReport(SectorBuffer& sectorBuffer, Report& report) {
  ConsoleStuff::RunInfo info{PlatformName(), GetComputerNameText(), UtcNow(), DeviceSourceText()};
  ScanPhysicalDrives(sectorBuffer, report, {});
  ScanLogicalVolumes(report, {});
  ConsoleStuff::WriteJsonReport(report, info);
}

}  // namespace

int32_t Main() {
  SectorBuffer sectorBuffer{};
  ConsoleStuff::hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);
  ConsoleStuff::hStdIn = GetStdHandle(STD_INPUT_HANDLE);

  const bool usage = UsageRequested();
  std::string missing;
  if (!usage && DeviceSourceIsMissing(missing)) {
    // A mistyped case folder must not be scanned as an empty machine.
    WriteStandardError("TVX_DEVICES names " + missing + ", which does not exist.\r\n");
    return kCannotTellExitStatus;
  }
  Report report;
  report.elevated = ProcessIsElevated();
  if (!usage && JsonRequested()) {
    // A document for a program: no banner, no colour, no prompt, standard input left alone.
    RunJsonReport(sectorBuffer, report);
    return ReportVerdict(report).exitStatus;
  }

  FlushConsoleInputBuffer(ConsoleStuff::hStdIn);
  ConsoleStuff::WriteBanner();
  if (usage) {
    ConsoleStuff::WriteUsage();
    return 0;
  }
  RunConsoleReport(sectorBuffer, report);
  return ReportVerdict(report).exitStatus;
}

}  // namespace Module1
