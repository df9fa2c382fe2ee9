#include "report/report.h"

#include <utility>

#include "platform/platform.h"

bool DriveIsReported(const DriveRecord& drive) {
  if (drive.number == 0 || drive.status != DriveStatus::OpenFailed) return true;
  return drive.error != ERROR_FILE_NOT_FOUND && drive.error != ERROR_PATH_NOT_FOUND;
}

bool LivesOnNoDevice(const VolumeRecord& volume) {
  return volume.deviceType == 0 && volume.deviceNumber == 0 && volume.partitionNumber == 0;
}

bool AnyDriveRead(const Report& report) {
  for (const DriveRecord& drive : report.drives) {
    if (drive.status == DriveStatus::Read) return true;
  }
  return false;
}

void AddFinding(Report& report, Finding finding) {
  report.findings.push_back(std::move(finding));
  report.anyFound = true;
}

int32_t ReportExitStatus(const Report& report) {
  if (report.anyFound) return 3;
  return AnyDriveRead(report) ? 0 : 2;
}
