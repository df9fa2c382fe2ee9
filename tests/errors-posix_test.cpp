// The one mapping from errno values to the Windows error codes the same failures give on Windows,
// and the last error that carries them.
#include "platform/errors-posix.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(WindowsErrorFromErrno, MapsEachFailureToItsWindowsCode) {
  const struct {
    int err;
    DWORD code;
  } cases[] = {
      {EBADF, 6},
      {ENOSPC, 112},
      {EFBIG, 112},
      {EPIPE, 232},
      {EACCES, 5},
      {EPERM, 5},
      {EROFS, 5},
      {EIO, 23},
      {ENOENT, 2},
      {ENXIO, 2},
      {ENODEV, 2},
      {ENOTDIR, 3},
      {ENOMEDIUM, 21},
      {EINVAL, 87},
      // Everything else is a general failure.
      {0, 31},
      {ENOMEM, 31},
      {EAGAIN, 31},
      {EINTR, 31},
      {ELOOP, 31},
      {EOVERFLOW, 31},
      {ENAMETOOLONG, 31},
      {EISDIR, 31},
      {-1, 31},
      {100000, 31},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WindowsErrorFromErrno(c.err), c.code) << "errno " << c.err;
    SetLastError(12345);
    SetLastErrorFromErrno(c.err);
    EXPECT_EQ(GetLastError(), c.code) << "errno " << c.err;
  }
}

TEST(GetLastError, ReturnsWhatWasSetLast) {
  for (DWORD code : {0u, 1u, 87u, 131u, 0xFFFFFFFFu, 0u}) {
    SetLastError(code);
    EXPECT_EQ(GetLastError(), code);
  }
}

}  // namespace
