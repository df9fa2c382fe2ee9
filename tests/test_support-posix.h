// Helpers for the POSIX-only unit tests: temporary folders, environment variables, what the
// console writer prints on a real pipe or pseudo-terminal, child processes with a time limit or
// another user, and loop devices.
#ifndef TVX_TESTS_TEST_SUPPORT_POSIX_H_
#define TVX_TESTS_TEST_SUPPORT_POSIX_H_

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "render/console.h"

/// Skips the running test, saying why (`reason`, text or a std::string); under CI=true, where
/// tools/install-deps has installed every tool and the run is root, fails it instead, so that a
/// CI run never passes while testing less. For void test bodies and fixtures' SetUp.
#define TVX_CANNOT_RUN(reason)                                             \
  do {                                                                     \
    if (::TestSupport::CiRun())                                            \
      FAIL() << "cannot run, which CI=true does not accept: " << (reason); \
    GTEST_SKIP() << (reason);                                              \
  } while (0)

namespace TestSupport {

/// True when the environment says this is a CI run (CI=true).
inline bool CiRun() {
  const char* ci = getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

/// The user and group that a child process drops to when it must not be root.
constexpr uid_t kNobody = 65534;

/// A fresh folder in /tmp that every user may enter, removed with its contents when the object
/// goes. `path()` is empty when it could not be made.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    char pattern[] = "/tmp/tvx-unit-XXXXXX";
    if (mkdtemp(pattern) != nullptr && chmod(pattern, 0755) == 0) path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  /// Returns the folder's path.
  const std::string& path() const { return path_; }
  /// Returns the path of the entry `name` of the folder.
  std::string Entry(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Sets an environment variable, or unsets it when `value` is nullptr, until the object goes.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = std::string(old);
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

/// Reads what is waiting on `fd`, until nothing more arrives for `quietMs` or the other end is
/// gone. Returns the bytes read.
inline std::string Drain(int fd, int quietMs) {
  std::string bytes;
  char chunk[4096];
  pollfd waiting{fd, POLLIN, 0};
  while (poll(&waiting, 1, quietMs) > 0) {
    const ssize_t count = read(fd, chunk, sizeof chunk);
    if (count <= 0) break;
    bytes.append(chunk, static_cast<size_t>(count));
  }
  return bytes;
}

/// Runs `action` with standard output (descriptor 1, where the console writer's handle leads) on
/// a pipe, or on a raw pseudo-terminal when `terminal` is set (colours are then written, as
/// NO_COLOR is unset and TERM is "xterm" for the call). Returns every byte written there; the
/// test's own standard output is back in place when it returns.
inline std::string CaptureStandardOutput(const std::function<void()>& action,
                                         bool terminal = false) {
  int readEnd = -1;
  int writeEnd = -1;
  if (terminal) {
    readEnd = posix_openpt(O_RDWR | O_NOCTTY);
    if (readEnd < 0 || grantpt(readEnd) != 0 || unlockpt(readEnd) != 0) return "<no pty>";
    writeEnd = open(ptsname(readEnd), O_RDWR | O_NOCTTY);
    termios mode{};
    if (writeEnd < 0 || tcgetattr(writeEnd, &mode) != 0) return "<no pty>";
    cfmakeraw(&mode);  // bytes pass unchanged: no "\n" to "\r\n" translation
    tcsetattr(writeEnd, TCSANOW, &mode);
  } else {
    int ends[2];
    if (pipe(ends) != 0) return "<no pipe>";
    readEnd = ends[0];
    writeEnd = ends[1];
  }
  ScopedEnvironment noColor("NO_COLOR", nullptr);
  ScopedEnvironment colourTerminal("TERM", "xterm");
  fflush(stdout);
  const int savedOutput = dup(STDOUT_FILENO);
  dup2(writeEnd, STDOUT_FILENO);
  const HANDLE savedHandle = ConsoleStuff::hStdOut;
  ConsoleStuff::hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);
  try {
    action();
  } catch (...) {
    ConsoleStuff::hStdOut = savedHandle;
    dup2(savedOutput, STDOUT_FILENO);
    close(savedOutput);
    throw;
  }
  ConsoleStuff::hStdOut = savedHandle;
  dup2(savedOutput, STDOUT_FILENO);
  close(savedOutput);
  std::string bytes;
  if (terminal) {
    bytes = Drain(readEnd, 200);
    close(writeEnd);
  } else {
    close(writeEnd);
    bytes = Drain(readEnd, 2000);
  }
  close(readEnd);
  return bytes;
}

/// Runs `body` in a child process, as user and group kNobody when `asNobody` is set, and returns
/// the child's exit status (what `body` returned, 0 to 255). Returns -1 when the child did not
/// end within `seconds` (it is killed), and -2 when it could not be started or could not drop
/// to kNobody.
inline int RunInChild(const std::function<int()>& body, bool asNobody, int seconds) {
  fflush(stdout);
  fflush(stderr);
  const pid_t child = fork();
  if (child < 0) return -2;
  if (child == 0) {
    if (asNobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(254);
    }
    _exit(body() & 0xFF);
  }
  int status = 0;
  for (int waited = 0; waited < seconds * 100; ++waited) {
    if (waitpid(child, &status, WNOHANG) == child) {
      if (!WIFEXITED(status)) return -2;
      return WEXITSTATUS(status) == 254 && asNobody ? -2 : WEXITSTATUS(status);
    }
    usleep(10000);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

/// A read-only loop device over an image file, detached when the object goes. Only root can
/// attach one: `path()` is empty when none could be attached.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image) {
    if (geteuid() != 0) return;
    const std::string command = "losetup --find --show --read-only '" + image + "' 2>/dev/null";
    FILE* output = popen(command.c_str(), "r");
    if (output == nullptr) return;
    char line[256] = {0};
    const bool gotLine = fgets(line, sizeof line, output) != nullptr;
    if (pclose(output) != 0 || !gotLine) return;
    path_ = line;
    while (!path_.empty() && (path_.back() == '\n' || path_.back() == '\r')) path_.pop_back();
  }
  ~LoopDevice() {
    if (!path_.empty()) {
      const std::string command = "losetup --detach '" + path_ + "' 2>/dev/null";
      if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not detach %s\n", path_.c_str());
    }
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  /// Returns the device node, such as /dev/loop3, or an empty text.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace TestSupport

#endif  // TVX_TESTS_TEST_SUPPORT_POSIX_H_
