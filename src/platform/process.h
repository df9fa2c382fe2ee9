// Process services that every platform provides in its own way: start-up, the argument text,
// and the display of an error that ends the program.
#ifndef TVX_PLATFORM_PROCESS_H_
#define TVX_PLATFORM_PROCESS_H_

#include <cstdint>
#include <string>

/// Exit status of a run that a numbered error ended.
constexpr int kFatalExitStatus = 1;

/// Prepares the process before the first call: on POSIX it records the arguments, ignores
/// SIGPIPE and SIGXFSZ (so that a failing output shows up as a failed write) and arranges for the
/// terminal to get its mode back however the program ends. Never fails.
void PlatformStart(int argc, char** argv);

/// Returns the text of the command line after the program's own name, without the blanks that
/// separate the two; empty when there are no arguments.
std::string GetArgumentText();

/// Returns the name of the platform the program was built for: "windows" or "linux".
const char* PlatformName();

/// Returns the computer's name, or an empty text when the system does not tell.
std::string GetComputerNameText();

/// Returns where the drives come from: "live" for the machine's own drives, or the device
/// folder (or single image) that stands in for them.
std::string DeviceSourceText();

/// Writes one line to standard error, ended as the platform ends lines. Never fails; a failing
/// standard error is ignored.
void ShowNote(const std::string& line);

/// True when the device folder or image that is to stand in for the drives (TVX_DEVICES) is
/// named but does not exist; sets `named` to the name as given. Always false on Windows, where
/// the drives are the machine's own.
bool DeviceSourceIsMissing(std::string& named);

/// Returns whether the process runs elevated: on Windows with an administrator token, elsewhere
/// as root (effective user id 0). False when the system does not tell.
bool ProcessIsElevated();

/// Writes `text` as it is to standard error. Never fails; a failing standard error is ignored.
void WriteStandardError(const std::string& text);

/// Shows an error that ends the program on standard error, as
/// "TVX: error <number>: <description>" (through ShowNote). Never fails; a failing standard error
/// is ignored.
void ShowFatalError(int32_t number, const std::string& description);

#endif  // TVX_PLATFORM_PROCESS_H_
