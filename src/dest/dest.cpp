#include "dest/dest.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock/clock.h"
#include "dest/dest_hash.h"
#include "log/log.h"
#include "shell/settings.h"

namespace {

// A write larger than this is still written, but not counted toward the cap.
constexpr int64_t COUNTED_MAX = 65599;

// Put takes a record as head, text and line feed; one more piece carries the buffer.
constexpr int PUT_MAX_PIECES = 3;

// Writes all of iov, resuming after short writes and interruptions.
bool WriteAll(int fd, struct iovec* iov, int cnt) {
    while (cnt > 0) {
        ssize_t n = writev(fd, iov, cnt);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
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
    return true;
}

bool Flush(Dest* d) {
    if (d->fill == 0) return true;
    struct iovec iov = {d->buffer, d->fill};
    d->fill = 0;
    return WriteAll(d->fd, &iov, 1);
}

// Appends the pieces to d's file through its buffer: copied when they fit,
// written straight through (after what is buffered) when they are larger
// than the whole buffer. A failed write loses what it carried, as a stream
// would, and is reported as -1.
int64_t Put(Dest* d, struct iovec* iov, int cnt) {
    if (cnt > PUT_MAX_PIECES) return -1;
    size_t total = 0;
    for (int i = 0; i < cnt; i++) total += iov[i].iov_len;
    if (total == 0) return 0;
    size_t size = d->buffer != nullptr ? static_cast<size_t>(Settings.bufsize) : 0;

    if (d->fill + total > size) {
        if (total >= size) {
            struct iovec all[PUT_MAX_PIECES + 1];
            int n = 0;
            if (d->fill > 0) all[n++] = {d->buffer, d->fill};
            for (int i = 0; i < cnt; i++) all[n++] = iov[i];
            d->fill = 0;
            return WriteAll(d->fd, all, n) ? static_cast<int64_t>(total) : -1;
        }
        if (!Flush(d)) return -1;
    }
    for (int i = 0; i < cnt; i++) {
        memcpy(d->buffer + d->fill, iov[i].iov_base, iov[i].iov_len);
        d->fill += static_cast<uint32_t>(iov[i].iov_len);
    }
    return static_cast<int64_t>(total);
}

// Counts a write of n characters and, when it makes the file reach the cap,
// appends the marker line and reports the drop once.
void Account(Dest* d, int64_t n) {
    if (n >= 0 && n <= COUNTED_MAX) d->length += n;
    if (d->length < Settings.maxfilesize) return;

    char marker[256];
    static_assert(sizeof marker > CLOCK_STAMP_SIZE + DEST_ADDRTEXT_SIZE + 64,
                  "the marker line is never cut");
    int len = snprintf(marker, sizeof marker,
                       "%s corvashenmir <%u>Maximum file length (%u) exceeded for %s\n",
                       Clock_Stamp(), 44u, static_cast<uint32_t>(Settings.maxfilesize),
                       d->addrtext);
    if (len < 0) len = 0;
    struct iovec iov = {marker, static_cast<size_t>(len)};
    Put(d, &iov, 1);
    Log_Msg(LOGLEVEL_FILE, "drop: maximum file length (%u) exceeded for %s",
            static_cast<uint32_t>(Settings.maxfilesize), d->addrtext);
}

}  // namespace

bool Dest_Open(Dest* d, uint32_t ip) {
    *d = Dest{-1, 0, 0, {}, nullptr, 0};
    d->addr = ip;
    DestHash_Add(d);

    const auto* o = reinterpret_cast<const unsigned char*>(&d->addr);
    snprintf(d->addrtext, sizeof d->addrtext, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
    char path[DEST_PATH_SIZE];
    snprintf(path, sizeof path, "%s/%s-%s", d->addrtext, d->addrtext, Clock.filekey);

    if (Settings.verbose) printf("OPEN %s ", path);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (Settings.verbose) puts("FAILED!");
        return false;
    }
    if (Settings.verbose) puts("OK");

    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) {
        Log_Msg(LOGLEVEL_FILE, "warning: could not get length of %s: %s", path, strerror(errno));
        close(fd);
        return false;
    }
    d->fd = fd;
    d->length = size;
    // Without a buffer every record goes straight to the file.
    d->buffer = static_cast<char*>(malloc(static_cast<size_t>(Settings.bufsize)));
    return true;
}

void Dest_PutRecord(Dest* d, const char* head, size_t headlen, const char* text, size_t len) {
    if (d->length >= Settings.maxfilesize) return;
    char lf = '\n';
    struct iovec iov[3] = {{const_cast<char*>(head), headlen}, {const_cast<char*>(text), len}, {&lf, 1}};
    Account(d, Put(d, iov, 3));
}

void Dest_Flush(Dest* d) {
    if (d->fd >= 0) Flush(d);
}

void Dest_Close(Dest* d) {
    DestHash_Remove(d);
    if (d->fd >= 0) {
        Flush(d);
        close(d->fd);
        d->fd = -1;
    }
    free(d->buffer);
    d->buffer = nullptr;
    d->fill = 0;
}
