// The JSON report drawn from a report held in memory: its members, nulls, and disk bytes that
// survive whatever they are.
#include "render/json_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "base/version.h"

namespace {

using nlohmann::json;

// Every byte value, quotes, backslashes and control bytes included.
std::string AllBytes() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
  return bytes;
}

// Turns the JSON text of disk bytes back into the bytes.
std::string Latin1(const std::string& utf8) {
  std::string bytes;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    bytes +=
        c < 0x80 ? static_cast<char>(c) : static_cast<char>(((c & 0x1F) << 6) | (utf8[++i] & 0x3F));
  }
  return bytes;
}

Report SampleReport() {
  Report report;
  DriveRecord missing;  // drive 3 does not exist: left out
  missing.number = 3;
  missing.status = DriveStatus::OpenFailed;
  missing.error = 2;
  DriveRecord drive;
  drive.number = 0;
  drive.path = "\\\\.\\PhysicalDrive0";
  drive.source = "/case/disk \xe9.img";
  drive.table = PartitionTable::Mbr;
  drive.tableReadErrors = {{23, TableRegion::kGptHeader, 1}};
  PartitionRecord hostile;
  hostile.number = 1;
  hostile.firstSector = 2048;
  hostile.read = true;
  hostile.oemId = AllBytes();
  hostile.hasLabel = true;
  hostile.label = std::string("\"\\\0\x1b[2J\xff", 8);
  hostile.empty = true;
  PartitionRecord failed;
  failed.number = 2;
  failed.firstSector = 4294967295u;
  failed.error = 87;
  drive.partitions = {hostile, failed};
  DriveRecord cut;  // drive 17, listed, with a chain cut at a cap
  cut.number = 17;
  cut.logicalChainCut = true;
  DriveRecord refused;  // drive 18, listed, refused
  refused.number = 18;
  refused.status = DriveStatus::OpenFailed;
  refused.error = 5;
  report.drives = {drive, missing, cut, refused};
  VolumeRecord onDrive{'C', true, 7, 0, 1};
  VolumeRecord unanswered{'T', false, 0, 0, 0};
  VolumeRecord spanned{'S', false, 0, 0, 0};
  spanned.liesOn = {{0, 1}, {2, 4}};
  VolumeRecord network{'N', false, 0, 0, 0};
  network.network = true;
  report.volumes = {onDrive, unanswered, spanned, network};
  report.unexaminedEntries = {"disk \xe9.E01"};
  report.letterFailures = {{'E', 1117}};
  AddFinding(report, {"possibly-encrypted", 0, 1, 0,
                      "PhysicalDrive0, Partition 1 might be an encrypted volume,\nor contains a "
                      "damaged boot sector."});
  Finding open{"bitlocker", 0, 3, 0,
               "PhysicalDrive0, Partition 3 is a Bitlocker encrypted volume."};
  open.notes = {"  - it is open now: its contents can be read through E:\\, C:\\mnt\\x\\."};
  open.open = true;
  open.readableThrough = {"E:\\", "C:\\mnt\\x\\"};
  AddFinding(report, open);
  Finding closed{"luks", 0, 4, 0, "PhysicalDrive0, Partition 4 is a LUKS encrypted volume."};
  closed.open = false;
  AddFinding(report, closed);
  AddFinding(report, {"virtual-disk", -1, -1, 'T',
                      "Drive T: appears to be a virtual disk\n  - possibly a TrueCrypt or PGP "
                      "encrypted volume"});
  return report;
}

TEST(JsonReport, DescribesTheRun) {
  const json document = json::parse(ConsoleStuff::JsonReport(
      SampleReport(), {"linux", "host\xe9", "2026-12-08T22:16:56Z", "/case/42"}));
  EXPECT_EQ(document["tool"], "Tharvex");
  EXPECT_EQ(document["version"], TVX_VERSION);
  EXPECT_EQ(document["platform"], "linux");
  EXPECT_EQ(Latin1(document["host"]), "host\xe9");
  EXPECT_EQ(document["startedAt"], "2026-12-08T22:16:56Z");
  EXPECT_EQ(document["devices"], "/case/42");
  EXPECT_EQ(document["complete"], false);
  EXPECT_EQ(document["anyFound"], true);
  EXPECT_EQ(document["exitStatus"], 3);

  ASSERT_EQ(document["drives"].size(), 3u);  // drive 3 does not exist
  const json& drive = document["drives"][0];
  EXPECT_EQ(drive["status"], "read");
  EXPECT_EQ(drive["error"], nullptr);
  EXPECT_EQ(drive["table"], "mbr");
  EXPECT_EQ(drive["tableReadErrors"], json::array({23}));
  EXPECT_EQ(drive["fileSystem"], nullptr);  // partitioned: no volume on the whole disk
  const json& failed = drive["partitions"][1];
  EXPECT_EQ(failed["status"], "read-failed");
  EXPECT_EQ(failed["error"], 87);
  EXPECT_EQ(failed["firstSector"], 4294967295u);
  EXPECT_EQ(failed["oemId"], nullptr);
  EXPECT_EQ(failed["label"], nullptr);
  EXPECT_EQ(failed["empty"], false) << "not checked: false";
  EXPECT_EQ(drive["partitions"][0]["empty"], true);

  EXPECT_EQ(Latin1(drive["source"]), "/case/disk \xe9.img");

  EXPECT_EQ(document["volumes"][0], json::parse(R"({"letter": "C", "deviceType": 7,
      "deviceNumber": 0, "partitionNumber": 1, "liesOn": [], "network": false})"));
  EXPECT_EQ(document["volumes"][1]["deviceType"], nullptr);
  EXPECT_EQ(document["volumes"][3], json::parse(R"({"letter": "N", "deviceType": null,
      "deviceNumber": null, "partitionNumber": null, "liesOn": [], "network": true})"));
  EXPECT_EQ(document["volumes"][2]["liesOn"], json::parse(R"([{"drive": 0, "partition": 1},
      {"drive": 2, "partition": 4}])"));

  const json& findings = document["findings"];
  ASSERT_EQ(findings.size(), 4u);
  EXPECT_EQ(findings[0], json::parse(R"({"kind": "possibly-encrypted", "drive": 0,
      "partition": 1, "letter": null, "message":
      "PhysicalDrive0, Partition 1 might be an encrypted volume,\nor contains a damaged boot sector.",
      "open": null, "readableThrough": []})"));
  // The note is the console's; the JSON gives its facts as members.
  EXPECT_EQ(findings[1]["message"], "PhysicalDrive0, Partition 3 is a Bitlocker encrypted volume.");
  EXPECT_EQ(findings[1]["open"], true);
  EXPECT_EQ(findings[1]["readableThrough"], json::parse(R"(["E:\\", "C:\\mnt\\x\\"])"));
  EXPECT_EQ(findings[2]["open"], false);
  EXPECT_EQ(findings[2]["readableThrough"], json::array());
  EXPECT_EQ(findings[3]["letter"], "T");
  EXPECT_EQ(findings[3]["drive"], nullptr);
  EXPECT_EQ(
      findings[3]["message"],
      "Drive T: appears to be a virtual disk\n  - possibly a TrueCrypt or PGP encrypted volume");

  // Every gap in report order, with nulls where a member does not apply.
  EXPECT_EQ(document["gaps"], json::parse(R"([
      {"kind": "table-read-failed", "drive": 0, "partition": null, "letter": null, "error": 23,
       "message": "Error reading drive... Error: 23\n  - at PhysicalDrive0, its GPT header (sector 1): the data could not be read: the medium may be failing."},
      {"kind": "partition-read-failed", "drive": 0, "partition": 2, "letter": null, "error": 87,
       "message": "Error reading drive... Error: 87\n  - at PhysicalDrive0, Partition 2 (sector 4294967295): the sector cannot be addressed."},
      {"kind": "chain-cut", "drive": 17, "partition": null, "letter": null, "error": null,
       "message": "PhysicalDrive17 has more logical partitions than TVX reads; the rest were not examined."},
      {"kind": "drive-open-failed", "drive": 18, "partition": null, "letter": null, "error": 5,
       "message": "Error opening PhysicalDrive18... Error: 5\n  - access is denied."},
      {"kind": "entry-not-examined", "drive": null, "partition": null, "letter": null,
       "error": null, "message": "disk \u00e9.E01 was not examined: drives are named PhysicalDrive0, PhysicalDrive1, ... and drive letters A: to Z:."},
      {"kind": "letter-open-failed", "drive": null, "partition": null, "letter": "E",
       "error": 1117, "message":
       "Error opening drive E:... Error: 1117\n  - the device reported an input/output error."}])"));
}

TEST(JsonReport, DiskBytesRoundTrip) {
  const std::string text =
      ConsoleStuff::JsonReport(SampleReport(), {"linux", "h", "2026-12-08T22:16:56Z", "live"});
  const json partition = json::parse(text)["drives"][0]["partitions"][0];
  EXPECT_EQ(Latin1(partition["oemId"]), AllBytes());
  EXPECT_EQ(Latin1(partition["label"]), std::string("\"\\\0\x1b[2J\xff", 8));
  EXPECT_EQ(partition["labelHex"], "225c001b5b324aff");
  EXPECT_EQ(partition["oemIdHex"].get<std::string>().substr(0, 8), "00010203");
  // The document itself holds no raw control byte: the library escapes them all.
  for (char c : text) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 && c != '\n');
}

TEST(JsonReport, NothingReadIsIncomplete) {
  Report report;
  DriveRecord drive;
  drive.status = DriveStatus::OpenFailed;
  drive.error = 5;
  report.drives = {drive};
  const json document = json::parse(ConsoleStuff::JsonReport(report, {"windows", "", "", "live"}));
  EXPECT_EQ(document["complete"], false);
  EXPECT_EQ(document["exitStatus"], 2);
  EXPECT_EQ(document["drives"][0]["status"], "open-failed");
  EXPECT_EQ(document["drives"][0]["error"], 5);
  EXPECT_EQ(document["drives"][0]["partitions"], json::array());
  EXPECT_EQ(document["drives"][0]["source"], nullptr);
  EXPECT_EQ(document["gaps"].size(), 1u);
}

// A device folder that does not exist: nothing scanned, and the document says why.
TEST(JsonReport, AMissingDeviceFolderStillGivesADocument) {
  Report report;
  report.missingDevices = "cases/42";
  const json document =
      json::parse(ConsoleStuff::JsonReport(report, {"linux", "h", "", "cases/42"}));
  EXPECT_EQ(document["complete"], false);
  EXPECT_EQ(document["exitStatus"], 2);
  EXPECT_EQ(document["drives"], json::array());
  EXPECT_EQ(document["findings"], json::array());
  EXPECT_EQ(document["gaps"], json::parse(R"([{"kind": "devices-missing", "drive": null,
      "partition": null, "letter": null, "error": null,
      "message": "TVX_DEVICES names cases/42, which does not exist."}])"));
}

TEST(JsonReport, CompleteOnlyWithoutAGap) {
  Report report;
  DriveRecord drive;
  report.drives = {drive};
  const ConsoleStuff::RunInfo info{"linux", "", "", "live"};
  json document = json::parse(ConsoleStuff::JsonReport(report, info));
  EXPECT_EQ(document["complete"], true);
  EXPECT_EQ(document["exitStatus"], 0);
  EXPECT_EQ(document["gaps"], json::array());
  report.letterFailures = {{'D', 5}};
  document = json::parse(ConsoleStuff::JsonReport(report, info));
  EXPECT_EQ(document["complete"], false);
  EXPECT_EQ(document["exitStatus"], 2);
}

}  // namespace
