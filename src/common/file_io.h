// SPDX-License-Identifier: BSD-2-Clause
// Appending to the daemon's files: whole writes, taking back a partial one,
// and closing on an error path.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// Writes all of iov, resuming after short writes and interruptions. Returns
// the bytes written; *err is 0 when that is all of them, else the error.
size_t File_WriteAll(int fd, struct iovec* iov, int cnt, int* err);

// Cuts the last n bytes, a partly written record or line, off the end of the
// file, so what comes next never glues to it.
void File_CutTail(int fd, uint32_t n);

// Closes fd without changing errno, for error paths that report the error
// that came before the close.
void File_CloseKeepErrno(int fd);
