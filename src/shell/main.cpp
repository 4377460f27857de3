// SPDX-License-Identifier: BSD-2-Clause
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "clock/clock.h"
#include "common/settings.h"
#include "common/signal_flags.h"
#include "dest/dest_hash.h"
#include "dest/dest_pool.h"
#include "log/log.h"
#include "metrics/metrics.h"
#include "recv/recv_loop.h"
#include "recv/udp.h"
#include "shell/lifecycle.h"
#include "shell/options.h"

namespace {

// Rebuilds every time string in the style the settings ask for.
void InitClock() {
    if (Clock_Init(&Clock, Settings.oldtimestamp != 0, Settings.split) == CLOCK_FAILED) FatalErrno(Clock.failed);
}

void LogIds(const char* phase) {
    Log_Msg(LOGLEVEL_CONSOLE, "%s: version=\"%s\" pid=%u uid=%u gid=%u euid=%u egid=%u", phase,
            VERSION, static_cast<unsigned>(getpid()), static_cast<unsigned>(getuid()),
            static_cast<unsigned>(getgid()), static_cast<unsigned>(geteuid()),
            static_cast<unsigned>(getegid()));
}

}  // namespace

int main(int argc, char** argv) {
    // The signal handler's direct writes and the trace share stdout; whole lines keep them in order.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 0) Settings.progname = argv[0];
    StopFlag = 0;
    HupFlag = 0;

    InitClock();
    Lifecycle_InstallSignals();
    // Before the option check and the usage text need the maxopen limit.
    Lifecycle_RaiseFileLimit();
    Settings_Parse(argc, argv);
    InitClock();

    umask(Settings.umask);
    if (chdir(Settings.rootdir) != 0) {
        char msg[1024];
        snprintf(msg, sizeof msg, "chdir \"%s\"", Settings.rootdir);
        FatalErrno(msg);
    }
    Log_Open();
    LogIds("startup");
    char cwd[1024];
    if (getcwd(cwd, sizeof cwd) == nullptr) FatalErrno("getcwd");
    Log_Msg(LOGLEVEL_CONSOLE,
            "settings: rootdir=\"%s\" maxopen=%u port=%u maxopenspersec=%u split=%s recvmode=%s", cwd,
            static_cast<unsigned>(Settings.maxopen), static_cast<unsigned>(Settings.port),
            static_cast<unsigned>(Settings.maxopenspersec), Settings_SplitWord(Settings.split),
            Settings_RecvModeWord(Settings.recvmode));

    DestPool_Init();
    DestHash_Init(Settings.maxopen);

    if (Settings.daemon && !Settings.verbose) Lifecycle_Detach();
    if (Settings.verbose) printf("Binding port %u/udp\n", static_cast<unsigned>(Settings.port));

    Udp_Open();
    if (Settings.metrics != nullptr) Metrics_Open();

    Lifecycle_UpdatePidFile(1, Settings.pidfile);
    Log_Msg(LOGLEVEL_CONSOLE, "startup: corvashenmir initialized. listening on %u/udp",
            static_cast<unsigned>(Settings.port));

    if (!StopFlag) Recv_Loop(Settings.metrics != nullptr ? Metrics_Write : nullptr);

    Recv_EndPeriod();
    LogIds("shutdown");
    DestPool_CloseAll();
    // After the close, which may still count lost records.
    if (Settings.metrics != nullptr) Metrics_Write();
    Lifecycle_UpdatePidFile(0, Settings.pidfile);
    Log_Close();
    return 0;
}
