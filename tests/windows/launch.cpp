// Starts a program with a command line given byte for byte, as a shell or Explorer would, so
// that tests can see how the program reads its own command line.
//
//   TVX_LAUNCH_PROGRAM=<Windows path of the executable>
//   TVX_LAUNCH_COMMAND_LINE=<the exact command line the program gets>
//   TVX_LAUNCH_STDOUT=none|invalid   (optional)
//   tvx_launch.exe
//
// The program inherits standard input, output and error; with TVX_LAUNCH_STDOUT its standard
// output handle is instead NULL ("none", as for a process started without one) or
// INVALID_HANDLE_VALUE ("invalid"). Exits with the program's exit status, or 255 when it could
// not be started.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr UINT kLaunchFailed = 255;

// Returns the value of an environment variable, or false when it is not set.
bool ReadVariable(const char* name, std::string& value) {
  const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
  if (size == 0) return false;
  std::vector<char> buffer(size);
  const DWORD length = GetEnvironmentVariableA(name, buffer.data(), size);
  if (length == 0 || length >= size) return false;
  value.assign(buffer.data(), length);
  return true;
}

}  // namespace

int main() {
  std::string program;
  std::string commandLine;
  if (!ReadVariable("TVX_LAUNCH_PROGRAM", program) ||
      !ReadVariable("TVX_LAUNCH_COMMAND_LINE", commandLine)) {
    std::fputs("tvx_launch: set TVX_LAUNCH_PROGRAM and TVX_LAUNCH_COMMAND_LINE\n", stderr);
    return kLaunchFailed;
  }
  // CreateProcessA may write into the command line, so it gets a copy of its own.
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::string standardOutput;
  if (ReadVariable("TVX_LAUNCH_STDOUT", standardOutput)) {
    if (standardOutput == "none") {
      startup.hStdOutput = nullptr;
    } else if (standardOutput == "invalid") {
      startup.hStdOutput = INVALID_HANDLE_VALUE;
    } else {
      std::fprintf(stderr, "tvx_launch: TVX_LAUNCH_STDOUT is none or invalid\n");
      return kLaunchFailed;
    }
  }
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "tvx_launch: cannot start %s: error %lu\n", program.c_str(),
                 static_cast<unsigned long>(GetLastError()));
    return kLaunchFailed;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = kLaunchFailed;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
