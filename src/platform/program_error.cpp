#include "platform/program_error.h"

ProgramError WriteFailedError() {
  return {kErrorWriteFailed, "Unable to write to standard output"};
}

ProgramError IncompleteWriteError() {
  return {kErrorIncompleteWrite, "Incomplete write operation"};
}

ProgramError OverflowError() {
  return {kErrorOverflow, "Overflow"};
}

ProgramError SubscriptError() {
  return {kErrorSubscript, "Subscript out of range"};
}
