// SPDX-License-Identifier: BSD-2-Clause
#include "common/file_io.h"

#include <unistd.h>

#include <cerrno>

size_t File_WriteAll(int fd, struct iovec* iov, int cnt, int* err) {
    size_t done = 0;
    *err = 0;
    while (cnt > 0) {
        ssize_t n = writev(fd, iov, cnt);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A write that makes no progress would repeat forever; take it as full.
            *err = n < 0 ? errno : ENOSPC;
            return done;
        }
        done += static_cast<size_t>(n);
        while (cnt > 0 && static_cast<size_t>(n) >= iov->iov_len) {
            n -= static_cast<ssize_t>(iov->iov_len);
            iov++;
            cnt--;
        }
        if (cnt > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + n;
            iov->iov_len -= static_cast<size_t>(n);
        }
    }
    return done;
}

void File_CutTail(int fd, uint32_t n) {
    if (n == 0) return;
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < static_cast<off_t>(n)) return;
    // When this fails too nothing else can mend it; the partial part stays last.
    int r = ftruncate(fd, end - static_cast<off_t>(n));
    (void)r;
}

void File_CloseKeepErrno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}
