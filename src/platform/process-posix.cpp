// Process services on POSIX: arguments, signals, pauses, the message box and the fatal error.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/console-posix.h"
#include "platform/process.h"
#include "platform/winapi-posix.h"

namespace {

std::string argumentText;

// Signals that end the program by default and after which the terminal must get its mode back.
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

void RestoreAndReraise(int signalNumber) {
  RestoreConsoleModes();
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

// Writes all of a text to standard error, ignoring failure: there is nowhere left to report it.
void WriteToStandardError(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

}  // namespace

void PlatformStart(int argc, char** argv) {
  argumentText.clear();
  for (int i = 1; i < argc; ++i) {
    if (i > 1) argumentText += ' ';
    argumentText += argv[i];
  }
  // A closed pipe or a file-size limit must show as a failed or short write, not a killed process.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // The pass pauses 10 ms after each drive; the default timer slack would stretch every pause.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::atexit(RestoreConsoleModes);
  for (int signalNumber : kEndingSignals) {
    struct sigaction previous {};
    sigaction(signalNumber, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RestoreAndReraise;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
  }
}

std::string GetArgumentText() {
  return argumentText;
}

const char* PlatformName() {
  return "linux";
}

std::string GetComputerNameText() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return std::string();
  return name;
}

std::string DeviceSourceText() {
  const char* folder = std::getenv("TVX_DEVICES");
  if (folder == nullptr || folder[0] == '\0') return "live";
  // The full path, so that a saved report says which case folder it describes.
  char resolved[PATH_MAX];
  return realpath(folder, resolved) != nullptr ? resolved : folder;
}

void ShowNote(const std::string& line) {
  WriteToStandardError(line + "\n");
}

bool DeviceSourceIsMissing(std::string& named) {
  const char* folder = std::getenv("TVX_DEVICES");
  if (folder == nullptr || folder[0] == '\0') return false;
  struct stat info {};
  if (stat(folder, &info) == 0) return false;
  named = folder;
  return true;
}

bool ProcessIsElevated() {
  return geteuid() == 0;
}

void WriteStandardError(const std::string& text) {
  WriteToStandardError(text);
}

void ShowFatalError(int32_t number, const std::string& description) {
  ShowNote("TVX: error " + std::to_string(number) + ": " + description);
}

void Sleep(DWORD dwMilliseconds) {
  timespec remaining{static_cast<time_t>(dwMilliseconds / 1000),
                     static_cast<long>(dwMilliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, DWORD /*uType*/) {
  WriteToStandardError(std::string(lpCaption != nullptr ? lpCaption : "Error") + ": " +
                       (lpText != nullptr ? lpText : "") + "\n");
  return IDOK;
}
