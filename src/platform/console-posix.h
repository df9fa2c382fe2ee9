// The terminal modes the program changes, and how they are put back.
#ifndef TVX_PLATFORM_CONSOLE_POSIX_H_
#define TVX_PLATFORM_CONSOLE_POSIX_H_

/// Puts back the terminal mode that SetConsoleMode found, if it changed one. Safe to call more
/// than once and from a signal handler.
void RestoreConsoleModes();

#endif  // TVX_PLATFORM_CONSOLE_POSIX_H_
