// The program's entry: a run, the one place where a numbered error that ends it is shown, and
// its end, at once when a device call is still blocked.
#include "app/main_run.h"
#include "platform/device_worker.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  PlatformStart(argc, argv);
  int32_t status = kFatalExitStatus;
  try {
    status = Module1::Main();
  } catch (const ProgramError& error) {
    ShowFatalError(error.number, error.description);
    status = kFatalExitStatus;
  }
  return EndDeviceWork(status);
}
