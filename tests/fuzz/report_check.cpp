#include "report_check.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "render/console.h"
#include "render/console_report.h"
#include "render/json_report.h"

namespace {

int captured = -1;

void Fail(const char* what) {
  std::fprintf(stderr, "scan_fuzzer: %s\n", what);
  std::abort();
}

// Returns what was written to standard output since the last call.
std::string TakeCapturedOutput() {
  std::string bytes;
  char chunk[4096];
  off_t at = 0;
  for (ssize_t count; (count = pread(captured, chunk, sizeof(chunk), at)) > 0; at += count) {
    bytes.append(chunk, static_cast<size_t>(count));
  }
  if (ftruncate(captured, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) Fail("memfd reset");
  return bytes;
}

// The JSON text of disk bytes back as the bytes: each character U+0000 to U+00FF is one byte.
std::string TextAsBytes(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
      bytes += static_cast<char>(((c & 0x1F) << 6) | (text[++i] & 0x3F));
    } else {
      Fail("a disk byte came out as a character above U+00FF");
    }
  }
  return bytes;
}

}  // namespace

bool CaptureStandardOutput() {
  captured = memfd_create("tvx-fuzz-report", MFD_CLOEXEC);
  return captured >= 0 && dup2(captured, STDOUT_FILENO) >= 0;
}

void CheckRenderedReports(const Report& report) {
  ConsoleStuff::WriteDrive(report, report.drives.back());
  const std::string console = TakeCapturedOutput();

  const nlohmann::json document = nlohmann::json::parse(
      ConsoleStuff::JsonReport(report, {"linux", "fuzz", "", "fuzz"}), nullptr, false);
  if (document.is_discarded()) Fail("the JSON report does not parse");

  // Every finding of the JSON report is a finding text of the console report, in order.
  size_t from = 0;
  for (const auto& finding : document["findings"]) {
    std::string text;
    for (char c : finding["message"].get<std::string>())
      text += c == '\n' ? "\r\n" : std::string(1, c);
    const size_t at = console.find(text, from);
    if (at == std::string::npos) Fail("a JSON finding is not in the console report");
    from = at + text.size();
  }
  if (document["findings"].size() != report.findings.size()) Fail("findings lost in the JSON");
  if (document["anyFound"].get<bool>() != report.anyFound) Fail("anyFound differs in the JSON");

  // The OEM IDs and labels come back byte for byte.
  const DriveRecord& drive = report.drives.back();
  if (!document["drives"].empty()) {
    const auto& partitions = document["drives"].back()["partitions"];
    if (partitions.size() != drive.partitions.size()) Fail("partitions lost in the JSON");
    for (size_t i = 0; i < drive.partitions.size(); ++i) {
      const PartitionRecord& partition = drive.partitions[i];
      if (!partition.read) continue;
      if (TextAsBytes(partitions[i]["oemId"].get<std::string>()) != partition.oemId ||
          (partition.hasLabel &&
           TextAsBytes(partitions[i]["label"].get<std::string>()) != partition.label)) {
        Fail("disk bytes do not round-trip through the JSON");
      }
    }
  }
}
