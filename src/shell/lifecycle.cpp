// SPDX-License-Identifier: BSD-2-Clause
#include "shell/lifecycle.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/settings.h"
#include "common/signal_flags.h"
#include "log/log.h"

namespace {

// One write of the whole line: async-signal-safe, and never split by the
// main flow's own output to the same descriptor.
void SignalTrace(const char* line) {
    ssize_t r = write(STDOUT_FILENO, line, strlen(line));
    (void)r;
}

void SetAction(int sig, void (*handler)(int)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(sig, &sa, nullptr);
}

void HandleSignal(int sig) {
    // The interrupted code may be about to read errno.
    int saved = errno;
    if (sig == SIGHUP) {
        if (Settings.verbose) SignalTrace("sighandler: got SIGHUP\n");
        HupFlag = 1;
    } else {
        if (Settings.verbose) SignalTrace("sighandler: got SIGTERM/SIGINT\n");
        StopFlag = 1;
        // A second request ends the process at once, shutdown or not.
        SetAction(SIGTERM, SIG_DFL);
        SetAction(SIGINT, SIG_DFL);
    }
    errno = saved;
}

}  // namespace

void Lifecycle_InstallSignals() {
    SetAction(SIGTERM, HandleSignal);
    SetAction(SIGINT, HandleSignal);
    SetAction(SIGHUP, HandleSignal);
    // A console whose reader has gone, or a file-size limit, must not end the
    // process with records still buffered: both become failed writes instead.
    SetAction(SIGPIPE, SIG_IGN);
    SetAction(SIGXFSZ, SIG_IGN);
}

void Lifecycle_UpdatePidFile(int write, const char* path) {
    mode_t previous = umask(077);
    char defpath[1024];
    if (path == nullptr) {
        if (Settings.port == 514)
            snprintf(defpath, sizeof defpath, "/var/run/corvashenmir.pid");
        else
            snprintf(defpath, sizeof defpath, "/var/run/corvashenmir-%u.pid",
                     static_cast<unsigned>(Settings.port));
        path = defpath;
    }
    if (Settings.verbose) {
        if (write)
            printf("Writing '%u' to pidfile '%s'...\n", static_cast<unsigned>(getpid()), path);
        else
            printf("Wiping pidfile '%s'...\n", path);
    }
    FILE* f = fopen(path, "w");
    if (f != nullptr) {
        if (write) fprintf(f, "%u\n", static_cast<unsigned>(getpid()));
        fclose(f);
    } else {
        Log_Msg(LOGLEVEL_ERROR, "warning: failed to write to pidfile '%s': %s", path, strerror(errno));
    }
    umask(previous);
}

void Lifecycle_RaiseFileLimit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == rl.rlim_max) return;
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
}

void Lifecycle_Detach() {
    Log_Msg(LOGLEVEL_CONSOLE, "startup: backgrounding (daemonizing)");
    // Nothing may sit in a stdio buffer that both sides of a fork would write out.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) FatalErrno("fork 1");
    if (pid > 0) _exit(0);
    if (setsid() == -1) FatalErrno("setsid");
    pid = fork();
    if (pid < 0) FatalErrno("fork 2");
    if (pid > 0) _exit(0);

    Log_Close();
    long max = sysconf(_SC_OPEN_MAX);
    // close_range closes the same set in one call, and also when there is no determinate limit.
    if (close_range(0, max > 0 ? static_cast<unsigned>(max - 1) : ~0u, 0) != 0) {
        for (long fd = 0; fd < (max > 0 ? max : 1024); fd++) close(static_cast<int>(fd));
    }
    if (open("/dev/null", O_RDWR) != 0) exit(2);
    dup2(0, 1);
    dup2(0, 2);
    Log_Open();
}
