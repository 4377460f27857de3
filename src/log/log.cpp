#include "log/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock/clock.h"
#include "shell/settings.h"

namespace {

FILE* logstream = nullptr;  // null: lines go to stderr

}  // namespace

void Log_Open() {
    char name[1024];
    snprintf(name, sizeof name, "corvashenmir-%s", Clock.datekey);
    logstream = fopen(name, "a");
    if (logstream == nullptr) FatalErrno("could not open local daemon log file");
}

void Log_Close() {
    if (logstream != nullptr) fclose(logstream);
    logstream = nullptr;
}

void Log_Msg(int level, const char* fmt, ...) {
    FILE* out = logstream != nullptr ? logstream : stderr;
    va_list ap;
    va_start(ap, fmt);
    fputs(Clock_Stamp(), out);
    fputc(' ', out);
    vfprintf(out, fmt, ap);
    va_end(ap);
    fputc('\n', out);
    fflush(out);

    if (level <= LOGLEVEL_FILE && !Settings.verbose) return;
    FILE* echo = (level < LOGLEVEL_ERROR || out == stderr) ? stdout : stderr;
    va_start(ap, fmt);
    fputs(Settings.progname, echo);
    fputc(' ', echo);
    vfprintf(echo, fmt, ap);
    va_end(ap);
    fputc('\n', echo);
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
