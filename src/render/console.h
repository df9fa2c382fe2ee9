// Coloured text on standard output and the final key wait.
#ifndef TVX_RENDER_CONSOLE_H_
#define TVX_RENDER_CONSOLE_H_

#include <cstdint>
#include <string>

#include "platform/platform.h"

/// A console text attribute: foreground in bits 0 to 3 (blue 1, green 2, red 4, intensity 8),
/// background in bits 4 to 7, black in every value the program uses.
enum ConsoleColor : uint32_t {
  LightGray = 7,
  DarkGray = 8,
  LightCyan = 11,
  LightRed = 12,
  Yellow = 14,
  White = 15,
};

namespace ConsoleStuff {

/// Standard output, the target of every write. Set once by Main, never closed.
extern HANDLE hStdOut;
/// Standard input, the source of the final key press. Set once by Main, never closed.
extern HANDLE hStdIn;

/// Writes `text`, byte for byte, to standard output in `color` with one WriteFile call, then sets
/// the colour back to LightGray. Throws error 1001 when the write fails and 1002 when it takes
/// fewer bytes than the text has; the colour is then left as it was set for the text.
void WriteConsoleText(const std::string& text, ConsoleColor color);

/// Writes `text`, byte for byte, to standard output with one WriteFile call and no colour
/// change. Throws error 1001 when the write fails and 1002 when it takes fewer bytes.
void WritePlainText(const std::string& text);

/// Discards keys typed so far, then waits for one key press without echo. Returns at once when
/// standard input is not a console.
void WaitForKey();

/// Returns bytes taken from a disk sector as they should be shown. On an interactive console a
/// control byte (0x00 to 0x1F, 0x7F) could move the cursor and hide earlier lines, so each one
/// becomes one printable byte: NUL a blank, every other a full stop. Output to a pipe or a file
/// gets the bytes unchanged, so a saved report keeps the evidence.
std::string SectorBytesForDisplay(const std::string& bytes);

}  // namespace ConsoleStuff

#endif  // TVX_RENDER_CONSOLE_H_
