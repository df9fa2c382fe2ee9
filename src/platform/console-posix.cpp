// Console calls on POSIX: standard handles are file descriptors 0, 1 and 2; colours are SGR
// sequences on a terminal; console input is the terminal's own input queue. The terminal is
// driven with the kernel's own calls (TCGETS, TCSETS, TCFLSH) and its struct termios: the C
// library's tcsetattr asks for the mode again before and after setting it, and a run asks each
// stream once.
#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/console-posix.h"
#include "platform/errors-posix.h"
#include "platform/handles-posix.h"
#include "platform/winapi-posix.h"

namespace {

PosixHandle standardHandles[3] = {
    {kHandleMagic, STDIN_FILENO, true, 0},
    {kHandleMagic, STDOUT_FILENO, true, 0},
    {kHandleMagic, STDERR_FILENO, true, 0},
};

// Whether a standard stream is a terminal, asked once in a run (one TCGETS), and its terminal
// mode as the program last set it; nothing else changes the mode while the program runs.
struct StreamTerminal {
  bool asked = false;
  bool terminal = false;
  termios mode{};
};
StreamTerminal streamTerminals[3];

// The terminal mode found before the first SetConsoleMode, put back when the program ends.
struct SavedMode {
  volatile bool saved = false;
  int fd = -1;
  termios mode{};
};
SavedMode savedMode;

// Windows console mode bits that have a terminal counterpart.
constexpr DWORD kEnableProcessedInput = 0x0001;
constexpr DWORD kEnableLineInput = 0x0002;
constexpr DWORD kEnableEchoInput = 0x0004;
constexpr DWORD kOutputModes = 0x0003;  // processed output, wrap at end of line

// Console attribute bits: blue 1, green 2, red 4, intensity 8; the background above them.
constexpr WORD kLightGray = 7;
constexpr int kWhite = 15;

// Returns the ANSI colour index (red 1, green 2, blue 4) of a console colour's RGB bits.
int AnsiColorIndex(int consoleBits) {
  return ((consoleBits & 4) ? 1 : 0) | ((consoleBits & 2) ? 2 : 0) | ((consoleBits & 1) ? 4 : 0);
}

// Returns the SGR sequence for a console attribute: LightGray is the terminal's own default, and
// White its default foreground (39), which a light background shows as dark as a dark one shows
// it light; bright white (97) would vanish on a light background.
std::string SgrSequence(WORD attributes) {
  if (attributes == kLightGray) return "\x1b[0m";
  const int foreground = attributes & 0xF;
  const int background = (attributes >> 4) & 0xF;
  const int code =
      foreground == kWhite ? 39 : ((foreground & 8) ? 90 : 30) + AnsiColorIndex(foreground);
  std::string sgr = "\x1b[" + std::to_string(code);
  if (background != 0) {
    sgr += ";" + std::to_string(((background & 8) ? 100 : 40) + AnsiColorIndex(background));
  }
  return sgr + "m";
}

// Returns whether the environment lets colours be written to a terminal: not when NO_COLOR is
// set, nor when TERM is unset, empty or "dumb", which names a terminal that shows no escape
// sequences.
bool ColoursWanted() {
  if (std::getenv("NO_COLOR") != nullptr) return false;
  const char* term = std::getenv("TERM");
  return term != nullptr && *term != '\0' && std::string(term) != "dumb";
}

// Returns what is known of the standard stream behind a handle when it is a terminal, else
// nullptr with the last error set as a Windows console call on a non-console handle sets it.
// Drives are never terminals.
StreamTerminal* Terminal(HANDLE handle) {
  PosixHandle* state = HandleState(handle);
  if (state == nullptr) return nullptr;
  if (state->standard && state->fd >= 0 && state->fd < 3) {
    StreamTerminal& stream = streamTerminals[state->fd];
    if (!stream.asked) {
      stream.asked = true;
      stream.terminal = ioctl(state->fd, TCGETS, &stream.mode) == 0;
    }
    if (stream.terminal) return &stream;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

// Returns the descriptor behind a handle when it is a terminal, else -1 with the last error set.
int TerminalFd(HANDLE handle) {
  return Terminal(handle) != nullptr ? HandleState(handle)->fd : -1;
}

}  // namespace

void RestoreConsoleModes() {
  if (savedMode.saved) ioctl(savedMode.fd, TCSETS, &savedMode.mode);
}

HANDLE GetStdHandle(DWORD nStdHandle) {
  if (nStdHandle == STD_INPUT_HANDLE) return &standardHandles[0];
  if (nStdHandle == STD_OUTPUT_HANDLE) return &standardHandles[1];
  if (nStdHandle == STD_ERROR_HANDLE) return &standardHandles[2];
  SetLastError(ERROR_INVALID_HANDLE);
  return INVALID_HANDLE_VALUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED /*lpOverlapped*/) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  PosixHandle* state = HandleState(hFile);
  if (state == nullptr) return FALSE;
  if (!state->standard) {
    // Drives and images are opened read-only and are never written.
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const ssize_t written = write(state->fd, lpBuffer, nNumberOfBytesToWrite);
  if (written < 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = static_cast<DWORD>(written);
  return TRUE;
}

BOOL SetConsoleTextAttribute(HANDLE hConsoleOutput, WORD wAttributes) {
  const int fd = TerminalFd(hConsoleOutput);
  if (fd < 0) return FALSE;
  if (!ColoursWanted()) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  const std::string sgr = SgrSequence(wAttributes);
  const ssize_t written = write(fd, sgr.data(), sgr.size());
  if (written != static_cast<ssize_t>(sgr.size())) {
    SetLastErrorFromErrno(written < 0 ? errno : EIO);
    return FALSE;
  }
  return TRUE;
}

BOOL FlushConsoleInputBuffer(HANDLE hConsoleInput) {
  const int fd = TerminalFd(hConsoleInput);
  if (fd < 0) return FALSE;
  if (ioctl(fd, TCFLSH, TCIFLUSH) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
  const StreamTerminal* stream = Terminal(hConsoleHandle);
  if (stream == nullptr) return FALSE;
  DWORD consoleMode = kOutputModes;
  if (stream == &streamTerminals[STDIN_FILENO]) {
    const tcflag_t flags = stream->mode.c_lflag;
    consoleMode = ((flags & ISIG) ? kEnableProcessedInput : 0) |
                  ((flags & ICANON) ? kEnableLineInput : 0) |
                  ((flags & ECHO) ? kEnableEchoInput : 0);
  }
  if (lpMode != nullptr) *lpMode = consoleMode;
  return TRUE;
}

BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode) {
  StreamTerminal* stream = Terminal(hConsoleHandle);
  if (stream == nullptr) return FALSE;
  const int fd = HandleState(hConsoleHandle)->fd;
  termios mode = stream->mode;
  if (!savedMode.saved) {
    savedMode.fd = fd;
    savedMode.mode = mode;
    savedMode.saved = true;
  }
  const auto setFlag = [&mode](tcflag_t flag, bool on) {
    mode.c_lflag = on ? (mode.c_lflag | flag) : (mode.c_lflag & ~flag);
  };
  const bool lineInput = (dwMode & kEnableLineInput) != 0;
  setFlag(ICANON, lineInput);
  setFlag(IEXTEN, lineInput);
  setFlag(ECHO, (dwMode & kEnableEchoInput) != 0);
  setFlag(ISIG, (dwMode & kEnableProcessedInput) != 0);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS, &mode) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  stream->mode = mode;
  return TRUE;
}

BOOL ReadConsoleA(HANDLE hConsoleInput, LPVOID lpBuffer, DWORD nNumberOfCharsToRead,
                  LPDWORD lpNumberOfCharsRead, PCONSOLE_READCONSOLE_CONTROL /*pInputControl*/) {
  if (lpNumberOfCharsRead != nullptr) *lpNumberOfCharsRead = 0;
  const int fd = TerminalFd(hConsoleInput);
  if (fd < 0) return FALSE;
  ssize_t count;
  do {
    count = read(fd, lpBuffer, nNumberOfCharsToRead);
  } while (count < 0 && errno == EINTR);
  if (count <= 0) {
    SetLastErrorFromErrno(count < 0 ? errno : EIO);
    return FALSE;
  }
  if (lpNumberOfCharsRead != nullptr) *lpNumberOfCharsRead = static_cast<DWORD>(count);
  return TRUE;
}
