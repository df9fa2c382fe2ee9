#include <algorithm>
#include <cctype>
#include <ctime>
#include <string>

#include "app/main_run.h"
#include "render/console.h"
#include "render/console_report.h"
#include "render/json_report.h"
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
  // Blanks as the C locale has them: space, tab, line feed, vertical tab, form feed, return.
  static const char kBlanks[] = " \t\n\v\f\r";
  const std::string text = Lower(GetArgumentText());
  size_t start = text.find_first_not_of(kBlanks);
  while (start != std::string::npos) {
    const size_t end = text.find_first_of(kBlanks, start);
    if (test(text.substr(start, end - start))) return true;
    start = text.find_first_not_of(kBlanks, end);
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
  Report report;
  if (!usage && JsonRequested()) {
    // A document for a program: no banner, no colour, no prompt, standard input left alone.
    RunJsonReport(sectorBuffer, report);
    return ReportExitStatus(report);
  }

  FlushConsoleInputBuffer(ConsoleStuff::hStdIn);
  ConsoleStuff::WriteBanner();
  if (usage) {
    ConsoleStuff::WriteUsage();
    return 0;
  }
  RunConsoleReport(sectorBuffer, report);
  return ReportExitStatus(report);
}

}  // namespace Module1
