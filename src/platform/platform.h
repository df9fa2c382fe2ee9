// The operating system calls the program makes, by their Windows names.
//
// On Windows these are the real kernel32 and user32 calls. Elsewhere winapi-posix.h declares the
// same names, types and constants, and the -posix files of this folder implement them on top of
// POSIX, so that the calling code is the same on every platform.
#ifndef TVX_PLATFORM_PLATFORM_H_
#define TVX_PLATFORM_PLATFORM_H_

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include "platform/winapi-posix.h"
#endif

#include "platform/process.h"
#include "platform/program_error.h"

#endif  // TVX_PLATFORM_PLATFORM_H_
