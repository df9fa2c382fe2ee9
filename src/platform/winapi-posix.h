// The Windows names, types and constants that the program uses, declared for POSIX systems.
//
// Each function behaves as its Windows namesake does, as far as the program can tell: the same
// results, the same error codes through GetLastError, the same handling of file positions. The
// implementations live in the -posix files of this folder.
#ifndef TVX_PLATFORM_WINAPI_POSIX_H_
#define TVX_PLATFORM_WINAPI_POSIX_H_

#include <cstdint>

#define WINAPI

typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef int32_t BOOL;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef void* HANDLE;
typedef void* HWND;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const char* LPCSTR;
typedef DWORD DEVICE_TYPE;

struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;
struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef void* PCONSOLE_READCONSOLE_CONTROL;

#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INVALID_SET_FILE_POINTER (static_cast<DWORD>(-1))

#define STD_INPUT_HANDLE (static_cast<DWORD>(-10))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define STD_ERROR_HANDLE (static_cast<DWORD>(-12))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u

#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

#define FILE_DEVICE_CD_ROM 0x00000002u
#define FILE_DEVICE_DISK 0x00000007u
#define IOCTL_STORAGE_GET_DEVICE_NUMBER 0x002D1080u
#define IOCTL_DISK_GET_DRIVE_GEOMETRY_EX 0x000700A0u
#define IOCTL_DISK_GET_LENGTH_INFO 0x0007405Cu

#define DRIVE_UNKNOWN 0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_REMOVABLE 2u
#define DRIVE_FIXED 3u
#define DRIVE_REMOTE 4u
#define DRIVE_CDROM 5u

#define MB_OK 0x00000000u
#define MB_ICONINFORMATION 0x00000040u
#define IDOK 1

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_READY 21u
#define ERROR_CRC 23u
#define ERROR_SEEK 25u
#define ERROR_HANDLE_EOF 38u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DISK_FULL 112u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_NEGATIVE_SEEK 131u
#define ERROR_NO_DATA 232u

/// The answer of IOCTL_STORAGE_GET_DEVICE_NUMBER: where a volume or disk lives.
struct STORAGE_DEVICE_NUMBER {
  DEVICE_TYPE DeviceType;
  DWORD DeviceNumber;
  DWORD PartitionNumber;
};

/// A signed 64-bit value, also seen as its two 32-bit halves.
union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

/// The kind of medium a drive holds (the values the program meets; Windows lists more).
enum MEDIA_TYPE { Unknown = 0, RemovableMedia = 11, FixedMedia = 12 };

/// A drive's geometry: cylinders of TracksPerCylinder tracks of SectorsPerTrack sectors.
struct DISK_GEOMETRY {
  LARGE_INTEGER Cylinders;
  MEDIA_TYPE MediaType;
  DWORD TracksPerCylinder;
  DWORD SectorsPerTrack;
  DWORD BytesPerSector;
};

/// The answer of IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: the geometry and the size in bytes.
struct DISK_GEOMETRY_EX {
  DISK_GEOMETRY Geometry;
  LARGE_INTEGER DiskSize;
  BYTE Data[1];
};

/// The answer of IOCTL_DISK_GET_LENGTH_INFO: the drive's size in bytes.
struct GET_LENGTH_INFORMATION {
  LARGE_INTEGER Length;
};

// Console and standard handles (console-posix.cpp).

/// Returns the handle of standard input, output or error; never fails.
HANDLE GetStdHandle(DWORD nStdHandle);
/// Writes to a standard handle with one write(2) call, no retry: a short count is returned as
/// such. Fails (FALSE, last error set) on a bad handle, a failed write, or a drive handle,
/// which is never written.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
/// Sets the colour of later output with one SGR sequence. Fails, writing nothing, unless the
/// handle is a terminal, NO_COLOR is unset, and TERM is set and not "dumb".
BOOL SetConsoleTextAttribute(HANDLE hConsoleOutput, WORD wAttributes);
/// Discards typed input not yet read. Fails unless the handle is a terminal.
BOOL FlushConsoleInputBuffer(HANDLE hConsoleInput);
/// Mode 0 turns a terminal raw: no line editing, no echo, no signal keys, one byte per read.
/// The earlier mode is restored when the program ends. Fails unless the handle is a terminal.
BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode);
/// Succeeds, with a mode of 0, when the handle is a terminal; fails otherwise.
BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode);
/// Reads up to nNumberOfCharsToRead bytes from a terminal, blocking for the first. Fails at once
/// unless the handle is a terminal.
BOOL ReadConsoleA(HANDLE hConsoleInput, LPVOID lpBuffer, DWORD nNumberOfCharsToRead,
                  LPDWORD lpNumberOfCharsRead, PCONSOLE_READCONSOLE_CONTROL pInputControl);

// Drives and volumes (drive_calls-posix.cpp).

/// Opens "\\.\PhysicalDriveN" or "\\.\L:" (see device_paths-posix.h for where they come from), or
/// any other path, always read-only. A file in a disk image container format (E01, VHD, VHDX, VMDK,
/// QCOW) is opened through its format's library and reads as the disk it holds (see
/// disk_image-posix.h). Returns INVALID_HANDLE_VALUE on failure with the last error set: 2 for a
/// missing device, 5 for one that is not a disk, a volume or an image, 50 for an image this
/// build cannot read (unreadable_image.h tells why).
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
/// Moves a drive handle's own 64-bit position, never touching the device. The distance is
/// high:low when lpDistanceToMoveHigh is given, else the sign-extended low half. Returns the new
/// position's low half and writes its high half back; fails with INVALID_SET_FILE_POINTER and
/// error 131 for a position before the start, which leaves the position as it was.
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod);
/// Reads at a drive handle's position and advances it by the count read; a position past the end
/// reads 0 bytes with success. Fails with the mapped error code.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
/// Answers IOCTL_STORAGE_GET_DEVICE_NUMBER from what the handle is (see device_paths-posix.h); a
/// handle that lives on no physical drive fails with error 1. Answers
/// IOCTL_DISK_GET_DRIVE_GEOMETRY_EX (no partition or detection data follows DiskSize) and
/// IOCTL_DISK_GET_LENGTH_INFO for any drive handle (see drive_queries-posix.h); a buffer too
/// small fails with error 122. Any other code fails with error 1.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);
/// Returns what kind of drive the root "L:\\" names: DRIVE_FIXED for a letter that leads to a
/// block device or a file, DRIVE_NO_ROOT_DIR for one that leads nowhere. A letter here is never
/// on another machine (DRIVE_REMOTE).
UINT GetDriveTypeA(LPCSTR lpRootPathName);
/// Releases a handle; standard handles stay open. Fails for an invalid handle.
BOOL CloseHandle(HANDLE hObject);

// Process services (process-posix.cpp; GetLastError and SetLastError in errors-posix.cpp).

/// Pauses for the given number of milliseconds.
void Sleep(DWORD dwMilliseconds);
/// Returns the error code of the calling thread's most recent failing call, in Windows numbering.
DWORD GetLastError();
/// Sets the code that GetLastError returns on the calling thread.
void SetLastError(DWORD dwErrCode);
/// Shows the text as one line on standard error, "<caption>: <text>", and returns IDOK.
int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, DWORD uType);

#endif  // TVX_PLATFORM_WINAPI_POSIX_H_
