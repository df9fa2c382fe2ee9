// Process services on Windows: the argument text from the command line, and the fatal error
// written to standard error. Every other call the program makes is kernel32 or user32 itself.
#include <windows.h>

#include <string>

#include "platform/process.h"

namespace {

// True for the characters that separate the program name from the arguments.
bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Returns the first character after the program name at the start of a command line. As the C
// runtime reads argv[0], the name runs to the first blank outside double quotes and a quote only
// switches quoting on or off: "C:\Program Files\TVX.exe" and C:\"Program Files"\TVX.exe are
// one name each.
const char* SkipProgramName(const char* commandLine) {
  bool quoted = false;
  const char* c = commandLine;
  for (; *c != '\0'; ++c) {
    if (*c == '"') {
      quoted = !quoted;
    } else if (!quoted && IsBlank(*c)) {
      break;
    }
  }
  return c;
}

}  // namespace

void PlatformStart(int /*argc*/, char** /*argv*/) {
  // A drive letter of an empty card reader or floppy drive must fail its open quietly rather
  // than stop an unattended run with a "No disk" dialog box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

std::string GetArgumentText() {
  const char* commandLine = GetCommandLineA();
  if (commandLine == nullptr) return std::string();
  const char* arguments = SkipProgramName(commandLine);
  while (IsBlank(*arguments)) ++arguments;
  return std::string(arguments);
}

const char* PlatformName() {
  return "windows";
}

std::string GetComputerNameText() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof(name);
  if (!GetComputerNameA(name, &size)) return std::string();
  return std::string(name, size);
}

std::string DeviceSourceText() {
  return "live";
}

void ShowNote(const std::string& line) {
  WriteStandardError(line + "\r\n");
}

bool DeviceSourceIsMissing(std::string& /*named*/) {
  return false;
}

bool ProcessIsElevated() {
  // Membership of the Administrators group counts only when it is enabled in the token, as it
  // is in an elevated process and not in a filtered one under User Account Control.
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member != FALSE;
}

void WriteStandardError(const std::string& text) {
  HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
  if (standardError == nullptr || standardError == INVALID_HANDLE_VALUE) return;
  // Writes until all of the text is out or a write fails; a failure has nowhere left to go.
  DWORD done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    if (!WriteFile(standardError, text.data() + done, static_cast<DWORD>(text.size() - done),
                   &written, nullptr) ||
        written == 0) {
      return;
    }
    done += written;
  }
}

void ShowFatalError(int32_t number, const std::string& description) {
  ShowNote("TVX: error " + std::to_string(number) + ": " + description);
}
