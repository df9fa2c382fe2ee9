#include "render/console.h"

namespace ConsoleStuff {

HANDLE hStdOut = nullptr;
HANDLE hStdIn = nullptr;

void WriteConsoleText(const std::string& text, ConsoleColor color) {
  SetConsoleTextAttribute(hStdOut, static_cast<WORD>(color));
  WritePlainText(text);
  SetConsoleTextAttribute(hStdOut, static_cast<WORD>(LightGray));
}

void WritePlainText(const std::string& text) {
  // One call, no retry: a short count is an error of its own, not a reason to loop.
  DWORD written = 0;
  if (!WriteFile(hStdOut, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    throw WriteFailedError();
  }
  if (written < text.size()) throw IncompleteWriteError();
}

void WaitForKey() {
  char key[1] = {0};
  DWORD count = 0;
  FlushConsoleInputBuffer(hStdIn);
  SetConsoleMode(hStdIn, 0);
  ReadConsoleA(hStdIn, key, 1, &count, nullptr);
}

std::string SectorBytesForDisplay(const std::string& bytes) {
  DWORD mode = 0;
  if (!GetConsoleMode(hStdOut, &mode)) return bytes;
  std::string shown = bytes;
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0x00) {
      c = ' ';
    } else if (byte < 0x20 || byte == 0x7F) {
      c = '.';
    }
  }
  return shown;
}

}  // namespace ConsoleStuff
