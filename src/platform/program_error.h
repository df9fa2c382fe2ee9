// The program's own numbered errors: the only exceptions that travel through the program.
#ifndef TVX_PLATFORM_PROGRAM_ERROR_H_
#define TVX_PLATFORM_PROGRAM_ERROR_H_

#include <cstdint>
#include <string>

/// An error that ends the run: a number and a description, both shown to the user.
struct ProgramError {
  int32_t number;
  std::string description;
};

/// Writing to standard output failed outright.
constexpr int32_t kErrorWriteFailed = 1001;
/// Standard output took fewer bytes than the text had.
constexpr int32_t kErrorIncompleteWrite = 1002;
/// An integer step left the range of its type, or a floating-point step overflowed.
constexpr int32_t kErrorOverflow = 6;
/// An index fell outside the buffer it was meant for.
constexpr int32_t kErrorSubscript = 9;

/// Returns the error for writes that fail ("Unable to write to standard output").
ProgramError WriteFailedError();
/// Returns the error for writes that come up short ("Incomplete write operation").
ProgramError IncompleteWriteError();
/// Returns the arithmetic overflow error (6, "Overflow").
ProgramError OverflowError();
/// Returns the bad index error (9, "Subscript out of range").
ProgramError SubscriptError();

#endif  // TVX_PLATFORM_PROGRAM_ERROR_H_
