// SPDX-License-Identifier: BSD-2-Clause
#include "dest/dest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/counters.h"
#include "common/fd_reserve.h"
#include "common/file_io.h"
#include "common/settings.h"
#include "dest/dest_test.h"
#include "log/log.h"

namespace {

// A write larger than this is still written, but not counted toward the cap:
// the longest record of a datagram (head and 8192 bytes of text) is far below.
constexpr int64_t COUNTED_MAX = 65599;

// The facility and severity of the marker line: syslog (5) and warning (4).
constexpr unsigned MARKER_PRIORITY = 5 * 8 + 4;

// The record ends follow the buffer, aligned for their type.
size_t EndsOffset() { return (static_cast<size_t>(Settings.bufsize) + 3) & ~size_t{3}; }
int32_t EndsCapacity() { return Settings.bufsize / DEST_RECORD_MIN; }

void BuildPath(char* path, size_t size, const Dest* d) {
    snprintf(path, size, "%s/%s-%s", d->addrtext, d->addrtext, d->filekey);
}

// Opens the path for appending. Never blocks on a FIFO, never follows a link
// in the last component, and takes only a regular file. -1 with errno set.
// At the open-file limit a pooled file gives its descriptor back first.
int OpenFile(const char* path) {
    constexpr int FLAGS = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
    int fd = open(path, FLAGS, 0666);
    if (fd < 0 && FdReserve_Reclaim(errno)) fd = open(path, FLAGS, 0666);
    if (fd < 0) return -1;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        File_CloseKeepErrno(fd);
        return -1;
    }
    return fd;
}

// Refuses what is not a regular file once its length is known: a device or a
// FIFO with a reader would take records nobody keeps.
bool IsRegular(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (S_ISREG(st.st_mode)) return true;
    errno = EINVAL;
    return false;
}

// The source's own count names it in its drop line; the total is the metric.
void CountLost(Dest* d, int32_t n) {
    d->lost += static_cast<uint64_t>(n);
    Totals.lostRecords += static_cast<uint64_t>(n);
}

// Takes the first n bytes, now in the file, off the front of the buffer.
void Consume(Dest* d, uint32_t n) {
    int32_t done = 0;
    while (done < d->records && d->ends[done] <= n) done++;
    d->torn = done > 0 ? n - d->ends[done - 1] : d->torn + n;
    d->records -= done;
    for (int32_t i = 0; i < d->records; i++) d->ends[i] = d->ends[i + done] - n;
    d->fill -= n;
    memmove(d->buffer, d->buffer + n, d->fill);
}

// Counts what the buffer still holds as lost and empties it.
void LoseBuffered(Dest* d) {
    CountLost(d, d->records);
    d->fill = 0;
    d->records = 0;
    d->torn = 0;
}

// A file whose name is gone (removed, or its directory removed) would keep
// taking records nobody can read: it is closed, which also frees its
// descriptor for the successor, and its path opened anew. When that open
// fails d becomes a failed source, losing what is buffered.
DestStatus FollowName(Dest* d) {
    struct stat st;
    if (fstat(d->fd, &st) != 0 || st.st_nlink > 0) return DEST_OK;
    close(d->fd);
    d->fd = -1;
    char path[DEST_PATH_SIZE];
    BuildPath(path, sizeof path, d);
    int fd = OpenFile(path);
    off_t size = fd >= 0 ? lseek(fd, 0, SEEK_END) : -1;
    if (fd >= 0 && (size < 0 || !IsRegular(fd))) {
        File_CloseKeepErrno(fd);
        fd = -1;
    }
    d->fd = fd;
    if (fd < 0) {
        d->lasterr = errno;
        LoseBuffered(d);
        return d->lasterr == ENOENT ? DEST_GONE : DEST_FAILED;
    }
    // The start of a partly written record went with the old file.
    if (d->torn > 0) {
        CountLost(d, 1);
        Consume(d, d->ends[0]);
    }
    d->length = size + d->fill;
    return DEST_OK;
}

// Writes the buffer out. What a failed or short write leaves stays buffered
// from its first unwritten byte, so the next write completes the record:
// the file stays open, and that is DEST_OK too.
DestStatus Flush(Dest* d) {
    if (d->fill == 0) return DEST_OK;
    DestStatus st = FollowName(d);
    if (st != DEST_OK || d->fill == 0) return st;
    struct iovec iov = {d->buffer, d->fill};
    int err;
    size_t n = File_WriteAll(d->fd, &iov, 1, &err);
    if (err == 0) {
        d->fill = 0;
        d->records = 0;
        d->torn = 0;
        return DEST_OK;
    }
    d->lasterr = err;
    Consume(d, static_cast<uint32_t>(n));
    return DEST_OK;
}

// Whether a record of total bytes fits in the buffer beside what it holds,
// for a file still open (a failed reopen leaves none).
inline bool Fits(const Dest* d, size_t total) {
    return d->fill + total <= d->room && d->records < d->endsmax && d->fd >= 0;
}

// Copies a record that fits into the buffer.
inline int64_t Append(Dest* d, const char* head, size_t headlen, const char* text, size_t len, size_t total) {
    if (d->fill == 0) d->since = Clock.sec;
    char* p = d->buffer + d->fill;
    memcpy(p, head, headlen);
    memcpy(p + headlen, text, len);
    p[headlen + len] = '\n';
    d->fill += static_cast<uint32_t>(total);
    d->ends[d->records++] = d->fill;
    return static_cast<int64_t>(total);
}

// What a write that did not fit took: the bytes, or -1 when the record is
// lost, and what became of the file on the way.
struct Overflow {
    int64_t n;
    DestStatus st;
};

// The record does not fit: writes the buffer out, then copies the record in
// when it fits now, else writes it straight through. The record is lost when
// the buffer still holds what a failed write left, or the straight write
// failed (what it wrote is cut off again), or a reopen on the way failed.
[[gnu::noinline]] Overflow PutOverflow(Dest* d, const char* head, size_t headlen, const char* text, size_t len) {
    size_t total = headlen + len + 1;
    bool fits = false;
    DestStatus st = DEST_OK;
    if (d->fd >= 0) {
        st = Flush(d);
        bool flushed = st == DEST_OK && d->fill == 0;
        fits = Fits(d, total);
        if (!fits && flushed) {
            char lf = '\n';
            struct iovec iov[3] = {{const_cast<char*>(head), headlen}, {const_cast<char*>(text), len}, {&lf, 1}};
            int err;
            size_t n = File_WriteAll(d->fd, iov, 3, &err);
            if (err == 0) return {static_cast<int64_t>(total), st};
            d->lasterr = err;
            File_CutTail(d->fd, static_cast<uint32_t>(n));
        }
    }
    if (!fits) {
        CountLost(d, 1);
        return {-1, st};
    }
    return {Append(d, head, headlen, text, len, total), st};
}

// Appends a record, head, text and a line feed, to d's file: copied into the
// buffer when it fits, the common case, else as PutOverflow says.
inline Overflow Put(Dest* d, const char* head, size_t headlen, const char* text, size_t len) {
    size_t total = headlen + len + 1;
    if (!Fits(d, total)) [[unlikely]]
        return PutOverflow(d, head, headlen, text, len);
    return {Append(d, head, headlen, text, len, total), DEST_OK};
}

// Appends the marker line once a write makes the file reach the cap, and
// reports the drop once.
[[gnu::noinline]] DestStatus PutMarker(Dest* d) {
    char marker[256];
    static_assert(sizeof marker > CLOCK_STAMP_SIZE + ADDR_TEXT_SIZE + 64,
                  "the marker line is never cut");
    int len = snprintf(marker, sizeof marker, "%s corvashenmir <%u>Maximum file length (%u) exceeded for %s",
                       Clock_Stamp(), MARKER_PRIORITY, static_cast<uint32_t>(Settings.maxfilesize), d->addrtext);
    if (len < 0) len = 0;
    DestStatus st = Put(d, marker, static_cast<size_t>(len), "", 0).st;
    Log_Msg(LOGLEVEL_FILE, "drop: maximum file length (%u) exceeded for %s",
            static_cast<uint32_t>(Settings.maxfilesize), d->addrtext);
    return st;
}

// Binds d to addr, with its text and the file key.
void Bind(Dest* d, const Addr& addr, const char* text, size_t len) {
    *d = Dest{};
    d->fd = -1;
    d->addr = addr;
    size_t n = len < sizeof d->addrtext ? len : sizeof d->addrtext - 1;
    memcpy(d->addrtext, text, n);
    d->addrlen = static_cast<uint32_t>(n);
    Clock_BoundedCopy(d->filekey, Clock.filekey, sizeof d->filekey);
}

// Takes fd, just opened at path, as d's file, with its length and a buffer.
bool Take(Dest* d, int fd, const char* path) {
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) {
        Log_Msg(LOGLEVEL_FILE, "warning: could not get length of %s: %s", path, strerror(errno));
        close(fd);
        return false;
    }
    if (!IsRegular(fd)) {
        File_CloseKeepErrno(fd);
        return false;
    }
    d->fd = fd;
    d->length = size;
    // Without a buffer every record goes straight to the file.
    size_t ends = static_cast<size_t>(EndsCapacity()) * sizeof *d->ends;
    d->buffer = static_cast<char*>(malloc(EndsOffset() + ends));
    if (d->buffer != nullptr) {
        d->ends = reinterpret_cast<uint32_t*>(d->buffer + EndsOffset());
        d->room = static_cast<uint32_t>(Settings.bufsize);
        d->endsmax = EndsCapacity();
    }
    return true;
}

}  // namespace

DestStatus Dest_Open(Dest* d, const Addr& addr, const char* text, size_t len) {
    Bind(d, addr, text, len);
    char path[DEST_PATH_SIZE];
    BuildPath(path, sizeof path, d);

    if (Settings.verbose) printf("OPEN %s ", path);
    int fd = OpenFile(path);
    if (fd < 0) {
        // A missing directory: the source has none after all (it went
        // since it was looked up), so it must not hold a failed mark.
        DestStatus st = errno == ENOENT ? DEST_GONE : DEST_FAILED;
        if (Settings.verbose) puts("FAILED!");
        return st;
    }
    if (Settings.verbose) puts("OK");
    return Take(d, fd, path) ? DEST_OK : DEST_FAILED;
}

bool Dest_OpenOn(Dest* d, const Addr& addr, int fd) {
    char text[ADDR_TEXT_SIZE];
    Bind(d, addr, text, Addr_Format(addr, text, sizeof text));
    char path[DEST_PATH_SIZE];
    BuildPath(path, sizeof path, d);
    return Take(d, fd, path);
}

bool Dest_Admit(Dest* d) {
    if (d->length < Settings.maxfilesize) return true;
    d->discarded++;
    Totals.droppedCap++;
    return false;
}

DestStatus Dest_PutRecord(Dest* d, const char* head, size_t headlen, const char* text, size_t len) {
    // A file at its cap takes nothing, whoever writes.
    if (d->length >= Settings.maxfilesize) return DEST_CAPPED;
    Overflow put = Put(d, head, headlen, text, len);
    // A lost record (-1) counts nothing.
    if (static_cast<uint64_t>(put.n) <= COUNTED_MAX) d->length += put.n;
    if (d->length < Settings.maxfilesize) [[likely]]
        return put.st;
    DestStatus st = PutMarker(d);
    if (put.st > st) st = put.st;
    return st > DEST_CAPPED ? st : DEST_CAPPED;
}

DestStatus Dest_Flush(Dest* d) { return d->fd >= 0 ? Flush(d) : DEST_OK; }

void Dest_Close(Dest* d) {
    if (d->fd >= 0) {
        Flush(d);
        if (d->fd >= 0) {
            // What the last write-out could not write is lost; a record begun
            // in the file is cut off again, so the file ends on a whole record.
            if (d->fill > 0) File_CutTail(d->fd, d->torn);
            LoseBuffered(d);
            close(d->fd);
            d->fd = -1;
        }
    }
    if (d->lost > 0)
        Log_Msg(LOGLEVEL_FILE, "drop: lost %u records of %s: %s", Counters_Print(d->lost), d->addrtext,
                strerror(d->lasterr));
    if (d->discarded > 0)
        Log_Msg(LOGLEVEL_FILE, "drop: discarded %u datagrams of %s after maximum file length (%u)",
                Counters_Print(d->discarded), d->addrtext, static_cast<uint32_t>(Settings.maxfilesize));
    d->lost = 0;
    d->discarded = 0;
    free(d->buffer);
    d->buffer = nullptr;
    d->ends = nullptr;
    d->room = 0;
    d->endsmax = 0;
}
