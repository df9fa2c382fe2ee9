#include "render/json_report.h"

#include <nlohmann/json.hpp>

#include "base/version.h"
#include "render/console.h"
#include "report/verdict.h"

namespace ConsoleStuff {

namespace {

using json = nlohmann::ordered_json;

const char* TableName(PartitionTable table) {
  switch (table) {
    case PartitionTable::Mbr:
      return "mbr";
    case PartitionTable::Gpt:
      return "gpt";
    case PartitionTable::Ebr:
      return "ebr";
    case PartitionTable::None:
      break;
  }
  return nullptr;
}

const char* StatusName(DriveStatus status) {
  switch (status) {
    case DriveStatus::OpenFailed:
      return "open-failed";
    case DriveStatus::ReadFailed:
      return "read-failed";
    case DriveStatus::TimedOut:
      return "timed-out";
    case DriveStatus::Read:
      break;
  }
  return "read";
}

json OrNull(const char* text) {
  return text != nullptr ? json(text) : json(nullptr);
}

json NumberOrNull(int32_t value) {
  return value >= 0 ? json(value) : json(nullptr);
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

json PartitionJson(const PartitionRecord& partition) {
  json object = {
      {"number", partition.number},
      {"table", OrNull(TableName(partition.table))},
      {"firstSector", partition.firstSector},
      {"status", partition.read ? "read" : "read-failed"},
      {"error", partition.read ? json(nullptr) : json(partition.error)},
      {"oemId", partition.read ? json(BytesAsText(partition.oemId)) : json(nullptr)},
      {"oemIdHex", partition.read ? json(Hex(partition.oemId)) : json(nullptr)},
      {"label", partition.hasLabel ? json(BytesAsText(partition.label)) : json(nullptr)},
      {"labelHex", partition.hasLabel ? json(Hex(partition.label)) : json(nullptr)},
      {"fileSystem", partition.fileSystem.empty() ? json(nullptr) : json(partition.fileSystem)},
      {"empty", partition.empty},
  };
  return object;
}

json DriveJson(const DriveRecord& drive) {
  json tableReadErrors = json::array();
  for (const TableReadError& failure : drive.tableReadErrors) {
    tableReadErrors.push_back(failure.error);
  }
  json partitions = json::array();
  for (const PartitionRecord& partition : drive.partitions) {
    partitions.push_back(PartitionJson(partition));
  }
  json image = nullptr;
  if (!drive.imageFormat.empty()) {
    image = {{"format", drive.imageFormat}, {"problem", drive.imageProblem}};
  }
  return {
      {"number", drive.number},
      {"path", drive.path},
      {"source", drive.source.empty() ? json(nullptr) : json(BytesAsText(drive.source))},
      {"status", StatusName(drive.status)},
      {"error", drive.status == DriveStatus::Read || drive.status == DriveStatus::TimedOut
                    ? json(nullptr)
                    : json(drive.error)},
      {"sectorSize", drive.sectorSize > 0 ? json(drive.sectorSize) : json(nullptr)},
      {"table", OrNull(TableName(drive.table))},
      {"tableReadErrors", tableReadErrors},
      {"fileSystem", drive.fileSystem.empty() ? json(nullptr) : json(drive.fileSystem)},
      {"unreadableImage", image},
      {"partitions", partitions},
  };
}

json VolumeJson(const VolumeRecord& volume) {
  const auto field = [&volume](int32_t value) { return volume.answered ? json(value) : json(); };
  json liesOn = json::array();
  for (const DrivePlace& place : volume.liesOn) {
    liesOn.push_back({{"drive", place.drive}, {"partition", place.partition}});
  }
  return {
      {"letter", std::string(1, volume.letter)},
      {"deviceType", field(volume.deviceType)},
      {"deviceNumber", field(volume.deviceNumber)},
      {"partitionNumber", field(volume.partitionNumber)},
      {"liesOn", liesOn},
      {"network", volume.network},
  };
}

// A BitLocker or LUKS finding's key protectors, as {"name", "count"} objects in report order,
// or null when its metadata could not be read.
json ProtectorsJson(const UnlockFacts& facts) {
  if (!facts.read) return nullptr;
  json protectors = json::array();
  for (const Protector& protector : facts.protectors) {
    protectors.push_back({{"name", protector.name}, {"count", protector.count}});
  }
  return protectors;
}

json FindingJson(const Finding& finding) {
  json readableThrough = json::array();
  for (const std::string& path : finding.readableThrough) {
    readableThrough.push_back(BytesAsText(path));
  }
  json object = {
      {"kind", finding.kind},
      {"drive", NumberOrNull(finding.drive)},
      {"partition", NumberOrNull(finding.partition)},
      {"letter", finding.letter != 0 ? json(std::string(1, finding.letter)) : json(nullptr)},
      {"message", finding.message},
      {"open", finding.open.has_value() ? json(*finding.open) : json(nullptr)},
      {"readableThrough", readableThrough},
  };
  if (finding.unlock) {
    object["protectors"] = ProtectorsJson(*finding.unlock);
    object["state"] = finding.unlock->state.empty() ? json(nullptr) : json(finding.unlock->state);
  }
  return object;
}

json GapJson(const Gap& gap) {
  return {
      {"kind", GapKindName(gap.kind)},
      {"drive", NumberOrNull(gap.drive)},
      {"partition", NumberOrNull(gap.partition)},
      {"letter", gap.letter != 0 ? json(std::string(1, gap.letter)) : json(nullptr)},
      {"error", gap.hasError ? json(gap.error) : json(nullptr)},
      {"message", BytesAsText(gap.message)},
  };
}

}  // namespace

std::string BytesAsText(const std::string& bytes) {
  std::string text;
  for (unsigned char byte : bytes) {
    if (byte < 0x80) {
      text += static_cast<char>(byte);
    } else {
      text += static_cast<char>(0xC0 | (byte >> 6));
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}

std::string JsonReport(const Report& report, const RunInfo& info) {
  json drives = json::array();
  for (const DriveRecord& drive : report.drives) {
    if (DriveIsReported(drive)) drives.push_back(DriveJson(drive));
  }
  json volumes = json::array();
  for (const VolumeRecord& volume : report.volumes) volumes.push_back(VolumeJson(volume));
  json findings = json::array();
  for (const Finding& finding : report.findings) findings.push_back(FindingJson(finding));
  json gaps = json::array();
  for (const Gap& gap : ListGaps(report)) gaps.push_back(GapJson(gap));

  const json document = {
      {"tool", "Tharvex"},
      {"version", TVX_VERSION},
      {"platform", info.platform},
      {"host", BytesAsText(info.host)},
      {"startedAt", info.startedAt},
      {"devices", BytesAsText(info.devices)},
      {"complete", ReportIsComplete(report)},
      {"anyFound", report.anyFound},
      {"exitStatus", ReportVerdict(report).exitStatus},
      {"drives", drives},
      {"volumes", volumes},
      {"findings", findings},
      {"gaps", gaps},
  };
  return document.dump(2);
}

void WriteJsonReport(const Report& report, const RunInfo& info) {
  WritePlainText(JsonReport(report, info) + "\n");
}

}  // namespace ConsoleStuff
