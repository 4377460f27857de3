// SPDX-License-Identifier: BSD-2-Clause
#include "log/log.h"
#include "log/log_test.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock/clock.h"
#include "common/counters.h"
#include "common/file_io.h"
#include "common/settings.h"

namespace {

// Longer lines are cut at this bound, their line end kept.
constexpr size_t LOG_LINE_SIZE = 8192;
static_assert(LOG_LINE_SIZE > CLOCK_STAMP_SIZE + 1024, "a path and a stamp fit a line whole");

int logfd = -1;            // -1: lines go to stderr
uint64_t unwrittenBase = 0;  // Totals.logUnwritten when the open log last took a line
int unwrittenerr = 0;        // errno of the last refusal

// Appends the line; false with errno set when it is not all in the file. A
// part that went in is cut off again, so the next line never glues to it.
bool WriteLine(const char* line, size_t len) {
    struct iovec iov = {const_cast<char*>(line), len};
    int err;
    size_t done = File_WriteAll(logfd, &iov, 1, &err);
    if (err == 0) return true;
    File_CutTail(logfd, static_cast<uint32_t>(done));
    errno = err;
    return false;
}

// Tells of the refused lines before the next line the log takes.
bool WriteUnwrittenWarning() {
    uint64_t unwritten = Totals.logUnwritten - unwrittenBase;
    if (unwritten == 0) return true;
    char line[LOG_LINE_SIZE];
    int n = snprintf(line, sizeof line, "%s warning: %u daemon log lines could not be written: %s\n",
                     Clock_Stamp(), Counters_Print(unwritten), strerror(unwrittenerr));
    if (n < 0 || !WriteLine(line, static_cast<size_t>(n))) return false;
    unwrittenBase = Totals.logUnwritten;
    return true;
}

// A detached daemon has /dev/null there: a refused line then just goes uncounted elsewhere.
bool StderrIsDevNull() {
    struct stat err, null;
    if (fstat(STDERR_FILENO, &err) != 0) return true;
    return stat("/dev/null", &null) == 0 && err.st_dev == null.st_dev && err.st_ino == null.st_ino;
}

}  // namespace

void Log_Open() {
    char name[1024];
    snprintf(name, sizeof name, "corvashenmir-%s", Clock.datekey);
    logfd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (logfd < 0) FatalErrno("could not open local daemon log file");
}

void Log_Close() {
    if (logfd >= 0) close(logfd);
    logfd = -1;
}

void Log_Msg(int level, const char* fmt, ...) {
    // "<stamp> <text>\n", formatted once for the log and its echo.
    char line[LOG_LINE_SIZE];
    int s = snprintf(line, sizeof line, "%s ", Clock_Stamp());
    size_t head = s > 0 ? static_cast<size_t>(s) : 0;
    size_t room = sizeof line - head - 1;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line + head, room, fmt, ap);
    va_end(ap);
    size_t len = head + (n < 0 ? 0 : static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1);
    line[len++] = '\n';

    bool logged = false;
    if (logfd >= 0) {
        logged = WriteUnwrittenWarning() && WriteLine(line, len);
        if (!logged) {
            unwrittenerr = errno;
            Totals.logUnwritten++;
        }
    }
    if (!logged && (logfd < 0 || !StderrIsDevNull())) {
        fwrite(line, 1, len, stderr);
        fflush(stderr);
    }

    if (level <= LOGLEVEL_FILE && !Settings.verbose) return;
    FILE* echo = (level < LOGLEVEL_ERROR || !logged) ? stdout : stderr;
    fputs(Settings.progname, echo);
    fputc(' ', echo);
    fwrite(line + head, 1, len - head, echo);
    fflush(echo);
}

void Fatal(const char* msg) {
    Log_Msg(LOGLEVEL_ERROR, "fatal: %s", msg);
    exit(1);
}

void FatalErrno(const char* msg) {
    // Taken first: anything written before it may change errno.
    char err[256];
    Clock_BoundedCopy(err, strerror(errno), sizeof err);
    Log_Msg(LOGLEVEL_ERROR, "fatal: %s: %s", msg, err);
    exit(1);
}

void Log_TestReset() { unwrittenBase = Totals.logUnwritten; }
