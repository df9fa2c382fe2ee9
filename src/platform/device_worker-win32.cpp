// The end of a run on Windows while device calls are still blocked: each blocked thread's
// synchronous I/O is cancelled, then ExitProcess ends every thread.
#include <windows.h>

#include "platform/device_worker.h"

uint64_t CurrentThreadNumber() {
  return GetCurrentThreadId();
}

void EndWithBlockedCalls(int32_t status, const std::vector<uint64_t>& blocked) {
  for (uint64_t number : blocked) {
    HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, static_cast<DWORD>(number));
    if (thread == nullptr) continue;
    CancelSynchronousIo(thread);
    CloseHandle(thread);
  }
  ExitProcess(static_cast<UINT>(status));
}
