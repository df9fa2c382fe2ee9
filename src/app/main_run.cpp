#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/main_run.h"
#include "platform/device_worker.h"
#include "platform/process.h"
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

// Returns the blank-separated words of `text`, blanks as the C locale has them: space, tab, line
// feed, vertical tab, form feed, return. Split by hand: iostreams would swell the executable.
std::vector<std::string> Words(const std::string& text) {
  static const char kBlanks[] = " \t\n\v\f\r";
  std::vector<std::string> words;
  size_t start = text.find_first_not_of(kBlanks);
  while (start != std::string::npos) {
    const size_t end = text.find_first_of(kBlanks, start);
    words.push_back(text.substr(start, end - start));
    start = text.find_first_not_of(kBlanks, end);
  }
  return words;
}

// True when a blank-separated word of the argument text, in lower case, passes `test`.
template <typename Test>
bool AnyWord(Test test) {
  for (const std::string& word : Words(Lower(GetArgumentText()))) {
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

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// "/version" or "--version" as a word of its own, anywhere.
bool IsVersionWord(const std::string& word) {
  return word == "/version" || word == "--version";
}

bool VersionRequested() {
  return AnyWord(IsVersionWord);
}

// "/json" or "--json", alone or followed by more characters, as any word.
bool IsJsonWord(const std::string& word) {
  return StartsWith(word, "/json") || StartsWith(word, "--json");
}

bool JsonRequested() {
  return AnyWord(IsJsonWord);
}

// "/batch" or "--batch" at the start of the argument text, followed by anything.
bool BatchRequested() {
  return LowerPrefix(6) == "/batch" || LowerPrefix(7) == "--batch";
}

// True for a lower-case word that is one of the options above, wherever it stands.
bool IsKnownOption(const std::string& word) {
  return StartsWith(word, "/?") || StartsWith(word, "/batch") || StartsWith(word, "--batch") ||
         IsJsonWord(word) || IsVersionWord(word) || word == "-h" || word == "--help" ||
         word == "-?" || word == "/help";
}

// Names on standard error every word that starts with "/" or "-" and is no option of the
// program; the run then goes on as if the word were not there.
void NoteUnknownOptions() {
  for (const std::string& word : Words(GetArgumentText())) {
    if ((word[0] == '/' || word[0] == '-') && !IsKnownOption(Lower(word)))
      ShowNote("TVX: unknown option " + word + "; see /?");
  }
}

// Sets how long each device call is waited for from TVX_TIMEOUT (unset or empty: the default),
// naming on standard error a value that is not a whole number of seconds from 1 to 3600.
void ReadDeviceTimeout() {
  uint32_t seconds = kDefaultDeviceTimeout;
  const char* text = std::getenv("TVX_TIMEOUT");
  if (text != nullptr && text[0] != '\0' && !ParseDeviceTimeout(text, seconds)) {
    std::string shown = text;
    for (char& c : shown) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';  // one line, as typed
    }
    ShowNote("TVX: TVX_TIMEOUT=" + shown + " is not a whole number of seconds from " +
             std::to_string(kShortestDeviceTimeout) + " to " +
             std::to_string(kLongestDeviceTimeout) + "; " + std::to_string(seconds) + " is used.");
  }
  SetDeviceTimeout(seconds);
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
  NoteUnexaminedEntries(report);
  ConsoleStuff::WriteUnexaminedEntries(report);
  ConsoleStuff::WritePhysicalPassEnd();
  ReportRunningDrivers(report);
  ConsoleStuff::WriteMachineFindings(report);
  ConsoleStuff::WriteLogicalPassStart();
  ScanLogicalVolumes(report, progress);
  ConsoleStuff::WriteLogicalPassEnd();
  ConsoleStuff::WriteVerdict(report);

  if (!BatchRequested()) {
    ConsoleStuff::WritePrompt();
    ConsoleStuff::WaitForKey();
  }
}

// Both passes in silence, then the whole report as one JSON document; with the device folder
// missing, no pass at all, and a document that says so.
void RunJsonReport(SectorBuffer& sectorBuffer, Report& report) {
  ConsoleStuff::RunInfo info{PlatformName(), GetComputerNameText(), UtcNow(), DeviceSourceText()};
  if (!report.missingDevices.empty()) {
    ConsoleStuff::WriteJsonReport(report, info);
    return;
  }
  ScanPhysicalDrives(sectorBuffer, report, {});
  NoteUnexaminedEntries(report);
  ReportRunningDrivers(report);
  ScanLogicalVolumes(report, {});
  ConsoleStuff::WriteJsonReport(report, info);
}

}  // namespace

int32_t Main() {
  SectorBuffer sectorBuffer{};
  ConsoleStuff::hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);
  ConsoleStuff::hStdIn = GetStdHandle(STD_INPUT_HANDLE);

  NoteUnknownOptions();
  ReadDeviceTimeout();
  const bool usage = UsageRequested();
  if (!usage && VersionRequested()) {
    // The version alone: no banner, no scan, no key wait, whatever else was asked.
    ConsoleStuff::WriteVersion();
    return 0;
  }
  Report report;
  if (!usage && DeviceSourceIsMissing(report.missingDevices)) {
    // A mistyped case folder must not be scanned as an empty machine; a program that asked for
    // JSON still gets a document that says why.
    WriteStandardError(DevicesMissingMessage(report.missingDevices) + "\r\n");
    if (!JsonRequested()) return kCannotTellExitStatus;
  }
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
