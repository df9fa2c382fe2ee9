#include <algorithm>
#include <cctype>
#include <string>

#include "console/console.h"
#include "disk/layout.h"
#include "run/module1.h"

namespace Module1 {

namespace {

using ConsoleStuff::WriteConsoleText;

// Returns the first `count` characters of the argument text, in lower case.
std::string LowerPrefix(size_t count) {
  std::string prefix = GetArgumentText().substr(0, count);
  std::transform(prefix.begin(), prefix.end(), prefix.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return prefix;
}

void PrintBanner() {
  WriteConsoleText("\r\nTharvex v1.1\r\n", White);
  WriteConsoleText("Written by the Tharvex developers\r\n", White);
  WriteConsoleText("https://tharvex.example.org/\r\n", White);
  WriteConsoleText(
      "// This program comes with no guarantee or warranty.\r\n"
      "   All risk is assumed by the user. //\r\n",
      DarkGray);
}

void PrintUsage() {
  WriteConsoleText("\r\nUsage:\r\n\r\n", LightGray);
  WriteConsoleText("    TVX <options>\r\n\r\n", LightGray);
  WriteConsoleText("Options:\r\n\r\n", White);
  WriteConsoleText("        /?     - What you're reading now.\r\n", LightGray);
  WriteConsoleText(
      "        /batch - No prompt for user input at the end of processing, just exit.\r\n\r\n",
      LightGray);
}

}  // namespace

void Main() {
  SectorBuffer sectorBuffer{};
  const std::string bootSignature = Signature::kBootSignature;

  ConsoleStuff::hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);
  ConsoleStuff::hStdIn = GetStdHandle(STD_INPUT_HANDLE);
  FlushConsoleInputBuffer(ConsoleStuff::hStdIn);

  PrintBanner();
  if (!GetArgumentText().empty() && LowerPrefix(2) == "/?") {
    PrintUsage();
    return;
  }

  bool anyFound = false;
  ScanPhysicalDrives(sectorBuffer, bootSignature, anyFound);
  ScanLogicalVolumes(anyFound);
  if (!anyFound) {
    WriteConsoleText(
        "\r\nNo TrueCrypt, PGP, or Bitlocker encrypted volumes detectable by TVX were found.\r\n",
        LightRed);
  }

  if (LowerPrefix(6) != "/batch") {
    WriteConsoleText("\r\nPress any key to continue...\r\n", LightGray);
    WriteConsoleText("(use 'TVX /batch' to bypass this prompt next time)\r\n", DarkGray);
    ConsoleStuff::WaitForKey();
  }
}

}  // namespace Module1
