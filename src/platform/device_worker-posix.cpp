// The end of a run on Linux while device calls are still blocked.
#include <unistd.h>

#include "platform/console-posix.h"
#include "platform/device_worker.h"

uint64_t CurrentThreadNumber() {
  return 0;
}

void EndWithBlockedCalls(int32_t status, const std::vector<uint64_t>& /*blocked*/) {
  // _exit skips the atexit handlers, among them the one that gives the terminal its mode back.
  RestoreConsoleModes();
  // A thread held in the kernel keeps the process, and so its descriptors, until the device
  // gives up: whoever reads the report through a pipe gets its end now.
  close(STDOUT_FILENO);
  close(STDERR_FILENO);
  _exit(status);
}
