#include "platform/handles-posix.h"

PosixHandle* HandleState(HANDLE handle) {
  auto* state = static_cast<PosixHandle*>(handle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || state->magic != kHandleMagic) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return state;
}
