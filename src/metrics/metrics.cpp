// SPDX-License-Identifier: BSD-2-Clause
#include "metrics/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clock/clock.h"
#include "common/counters.h"
#include "common/fd_reserve.h"
#include "common/file_io.h"
#include "common/settings.h"
#include "dest/dest_pool.h"
#include "log/log.h"
#include "recv/record.h"
#include "recv/udp.h"

namespace {

// Every family with its help and type lines fits with room to spare.
constexpr size_t METRICS_TEXT_SIZE = 8192;

struct MetricsState {
    int64_t startSec, startUsec;
    bool failing;  // the last write failed and was reported
};

MetricsState State;

struct Text {
    char buf[METRICS_TEXT_SIZE];
    size_t len;
};

[[gnu::format(printf, 2, 3)]] void Put(Text* t, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(t->buf + t->len, sizeof t->buf - t->len, fmt, ap);
    va_end(ap);
    if (n > 0) t->len += static_cast<size_t>(n) < sizeof t->buf - t->len ? static_cast<size_t>(n) : 0;
}

void Family(Text* t, const char* name, const char* type, const char* help) {
    Put(t, "# HELP corvashenmir_%s %s\n# TYPE corvashenmir_%s %s\n", name, help, name, type);
}

void Counter(Text* t, const char* name, const char* help, uint64_t value) {
    Family(t, name, "counter", help);
    Put(t, "corvashenmir_%s %" PRIu64 "\n", name, value);
}

void Gauge(Text* t, const char* name, const char* help, uint64_t value) {
    Family(t, name, "gauge", help);
    Put(t, "corvashenmir_%s %" PRIu64 "\n", name, value);
}

void Seconds(Text* t, const char* name, const char* help, int64_t sec, int64_t usec) {
    Family(t, name, "gauge", help);
    Put(t, "corvashenmir_%s %" PRId64 ".%06" PRId64 "\n", name, sec, usec);
}

void Format(Text* t) {
    UdpQueue queue = Udp_ReadQueue();
    DestPoolCounts pool = DestPool_Counts();

    Counter(t, "received_datagrams_total", "Datagrams taken from the socket.", Totals.receivedDatagrams);
    Counter(t, "received_bytes_total", "Bytes of the datagrams taken from the socket.", Totals.receivedBytes);
    Counter(t, "stored_datagrams_total", "Datagrams handed to their source's file below its size cap.",
            Totals.stored);
    Family(t, "dropped_datagrams_total", "counter", "Datagrams not stored, by reason.");
    const struct {
        const char* reason;
        uint64_t value;
    } drops[] = {
        {"failed_source", Totals.droppedFailed},  {"open_rate", Totals.droppedRate},
        {"open_burst", Totals.droppedBurst},      {"size_cap", Totals.droppedCap},
        {"kernel_queue_full", Totals.kernelDrops},
    };
    for (const auto& d : drops)
        Put(t, "corvashenmir_dropped_datagrams_total{reason=\"%s\"} %" PRIu64 "\n", d.reason, d.value);
    char cuthelp[64];
    snprintf(cuthelp, sizeof cuthelp, "Datagrams longer than %u bytes, stored cut.", static_cast<unsigned>(RECORD_MAXTEXT));
    Counter(t, "cut_datagrams_total", cuthelp, Totals.cut);
    Counter(t, "lost_records_total", "Records that could not be written to their file.", Totals.lostRecords);
    Counter(t, "file_opens_total", "File opens admitted by the open gate.", Totals.fileOpens);
    Counter(t, "file_evictions_total", "Open files closed to make room for another source.", Totals.evictions);
    Counter(t, "daemon_log_unwritten_lines_total", "Daemon log lines that went to standard error instead.",
            Totals.logUnwritten);
    Gauge(t, "open_files", "Per-source files open.", pool.open);
    Gauge(t, "failed_sources", "Sources marked as failed: their directory exists but their file cannot be opened.",
          pool.failed);
    Gauge(t, "socket_receive_queue_bytes", "Bytes waiting in the socket's receive queue.",
          queue.queued);
    Gauge(t, "socket_receive_buffer_bytes", "Size of the socket's receive buffer.", queue.buffer);
    Seconds(t, "last_datagram_timestamp_seconds", "When the last datagram was received, 0 before the first.",
            Totals.lastDatagramSec, Totals.lastDatagramUsec);
    Seconds(t, "start_time_seconds", "When the daemon started.", State.startSec, State.startUsec);
    Family(t, "build_info", "gauge", "The daemon's version.");
    Put(t, "corvashenmir_build_info{version=\"%s\"} 1\n", VERSION);
}

// Writes the text to tmp, then puts it in path's place; errno set on
// failure. At the open-file limit a pooled file gives its descriptor back.
bool Replace(const char* path, const char* tmp, const Text& t) {
    constexpr int FLAGS = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW;
    int fd = open(tmp, FLAGS, 0644);
    if (fd < 0 && FdReserve_Reclaim(errno)) fd = open(tmp, FLAGS, 0644);
    if (fd < 0) return false;
    // Readable by the collector whatever the daemon's umask: counters are no secret.
    struct iovec iov = {const_cast<char*>(t.buf), t.len};
    int err = fchmod(fd, 0644) == 0 ? 0 : errno;
    if (err == 0) File_WriteAll(fd, &iov, 1, &err);
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && rename(tmp, path) != 0) err = errno;
    if (err == 0) return true;
    unlink(tmp);
    errno = err;
    return false;
}

}  // namespace

void Metrics_Open() {
    State.startSec = Clock.sec;
    State.startUsec = Clock.usec;
    Metrics_Write();
}

void Metrics_Write() {
    const char* path = Settings.metrics;
    if (path == nullptr) return;
    static Text text;
    text.len = 0;
    Format(&text);
    char tmp[1024];
    bool fits = snprintf(tmp, sizeof tmp, "%s.tmp", path) < static_cast<int>(sizeof tmp);
    errno = ENAMETOOLONG;
    if (fits && Replace(path, tmp, text)) {
        State.failing = false;
        return;
    }
    if (!State.failing)
        Log_Msg(LOGLEVEL_ERROR, "warning: metrics file %s could not be written: %s", path, strerror(errno));
    State.failing = true;
}
