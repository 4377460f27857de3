// SPDX-License-Identifier: BSD-2-Clause
#include "shell/settings.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "clock/clock.h"
#include "log/log.h"

SettingsRecord Settings;
void (*Settings_ExitHook)(int status) = nullptr;

namespace {

constexpr const char* USAGE_TEXT =
    "%s %s options:\n"
    "  --daemon               run in background, as a daemon\n"
    "  --rootdir <path>       where to store the logs (default: .)\n"
    "  --maxopen <num>        max open files (default: 50, limit: %u)\n"
    "  --port <num>           port number to use (default: 514)\n"
    "  --ipv4only             receive IPv4 datagrams only (default: IPv4 and IPv6)\n"
    "  --recvmode <mode>      see 'receive modes' below (default: split)\n"
    "  --split <mode>         see 'splitting modes' below (default: hour)\n"
    "  --oldtimestamp         use old-style syslog timestamps rather than rfc3339\n"
    "  --pidfile <filename>   where to output the pid of corvashenmir\n"
    "                         (default: /var/run/corvashenmir[-<port>].pid)\n"
    "  --metrics <path>       write counters for Prometheus to <path> (default: none)\n"
    "  --umask <mask>         umask to use when creating log files (default: 077)\n"
    "  --maxopenspersec <num> max file open attempts/s (default: 200)\n"
    "  --maxfilesize <mbytes> maximum output file size in megabytes (default: 2000)\n"
    "  --bufsize <bytes>      output file buffer size (default: 16384)\n"
    "  --rcvbuf <bytes>       socket receive buffer size (default: the system's)\n"
    "  --verbose              verbose output (to stdout)\n"
    "\n"
    "Log file splitting modes:\n"
    "  hour        - split log files each hour (default)\n"
    "  day         - split log files each day\n"
    "\n"
    "Receive modes:\n"
    "  truncate    - truncate the event at the first LF\n"
    "  flat        - convert all LFs to spaces\n"
    "  split       - split data on LFs and store as multiple events (default)\n"
    "  forensic    - emit a byte count, followed by data (possibly with LFs)\n"
    "  forensicraw - -\"-, but without stripping control codes\n"
    "\n"
    "  In all modes except forensicraw, ASCII codes 1-31 and 128-159\n"
    "  are converted to spaces (32). NUL characters are always\n"
    "  converted to spaces.\n";

constexpr const char* RECVMODE_WORDS[] = {"truncate", "flat", "split", "forensic", "forensicraw"};

// Reads a decimal number the way atoi does, but saturates instead of
// overflowing: anything beyond the 32-bit range stays beyond every range.
int64_t ReadNumber(const char* s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') s++;
    int64_t v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        if (v <= INT32_MAX) v = v * 10 + (*s - '0');
    }
    return negative ? -v : v;
}

// The value of a value-taking option, or the option's missing-argument end.
const char* TakeValue(int argc, char** argv, int* i, const char* option) {
    if (*i + 1 >= argc) {
        char msg[1024];
        snprintf(msg, sizeof msg, "missing argument to '%s'", option);
        Usage(msg);
    }
    return argv[++*i];
}

int64_t TakeNumber(int argc, char** argv, int* i, const char* option, int64_t lo, int64_t hi,
                   const char* refusal) {
    int64_t v = ReadNumber(TakeValue(argc, argv, i, option));
    if (v < lo || v > hi) Usage(refusal);
    return v;
}

void ParseUmask(const char* arg) {
    uint32_t v = 0;
    for (const char* p = arg; *p != '\0'; p++) {
        if (*p < '0' || *p > '7') Usage("bad argument to --umask. expected octal number.");
        if (v < 64) v = v * 8 + static_cast<uint32_t>(*p - '0');
    }
    if (v >= 64) Usage("bad argument to --umask. expected octal number between 000 and 077.");
    Settings.umask = static_cast<uint16_t>(v);
    printf("umask: %08x\n", v);
}

}  // namespace

int32_t Settings_MaxOpenLimit() {
    long n = sysconf(_SC_OPEN_MAX);
    if (n < 0 || n > MAXOPEN_CEILING + MAXOPEN_RESERVED) return MAXOPEN_CEILING;
    return static_cast<int32_t>(n - MAXOPEN_RESERVED);
}

const char* Settings_RecvModeWord(int32_t recvmode) {
    if (recvmode < RECVMODE_TRUNCATE || recvmode > RECVMODE_FORENSICRAW) return "split";
    return RECVMODE_WORDS[recvmode];
}

const char* Settings_SplitWord(int32_t split) { return split == SPLIT_DAY ? "day" : "hour"; }

void Usage(const char* msg) {
    FILE* out = stdout;
    if (msg != nullptr && msg[0] != '\0') {
        out = stderr;
        fprintf(out, "%s: %s\n\n", Settings.progname, msg);
    }
    fprintf(out, USAGE_TEXT, Settings.progname, VERSION, static_cast<unsigned>(Settings_MaxOpenLimit()));
    int status = out == stdout ? 0 : 1;
    if (Settings_ExitHook != nullptr) Settings_ExitHook(status);
    exit(status);
}

void Settings_Parse(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (strcasecmp(a, "--help") == 0) {
            Usage(nullptr);
        } else if (strcasecmp(a, "--port") == 0) {
            Settings.port = static_cast<int32_t>(
                TakeNumber(argc, argv, &i, "--port", 1, 65535, "bad argument to '--port': must be 1..65535"));
        } else if (strcasecmp(a, "--maxopen") == 0) {
            int32_t limit = Settings_MaxOpenLimit();
            char refusal[1024];
            snprintf(refusal, sizeof refusal, "bad argument to '--maxopen': must be 5..%i", limit);
            Settings.maxopen = static_cast<int32_t>(TakeNumber(argc, argv, &i, "--maxopen", 5, limit, refusal));
        } else if (strcasecmp(a, "--maxopenspersec") == 0) {
            Settings.maxopenspersec = static_cast<int32_t>(TakeNumber(
                argc, argv, &i, "--maxopenspersec", 5, 1000000, "bad argument to '--maxopenspersec': must be 5..1000000"));
        } else if (strcasecmp(a, "--bufsize") == 0) {
            Settings.bufsize = static_cast<int32_t>(TakeNumber(
                argc, argv, &i, "--bufsize", 1024, 131072,
                "bad argument to '--bufsize': must be 1024..131072, preferably a power of 2"));
        } else if (strcasecmp(a, "--maxfilesize") == 0) {
            Settings.maxfilesize =
                TakeNumber(argc, argv, &i, "--maxfilesize", 1, 2000,
                           "bad argument to '--maxfilesize': must be 1..2000 (megabytes)") *
                1000000;
        } else if (strcasecmp(a, "--recvmode") == 0) {
            const char* word = TakeValue(argc, argv, &i, "--recvmode");
            int32_t mode = -1;
            for (int32_t m = RECVMODE_TRUNCATE; m <= RECVMODE_FORENSICRAW; m++) {
                if (strcasecmp(word, RECVMODE_WORDS[m]) == 0) mode = m;
            }
            if (mode < 0) Usage("bad argument to '--recvmode'");
            Settings.recvmode = mode;
        } else if (strcasecmp(a, "--daemon") == 0) {
            Settings.daemon = 1;
        } else if (strcasecmp(a, "--splitday") == 0) {
            Settings.split = SPLIT_DAY;
            Clock.sec = 0;
            if (Clock_Update(&Clock, nullptr) == CLOCK_FAILED) FatalErrno(Clock.failed);
            Log_Msg(LOGLEVEL_ERROR, "warning: '--splitday' is deprecated. Use '--split day' instead.");
        } else if (strcasecmp(a, "--split") == 0) {
            const char* word = TakeValue(argc, argv, &i, "--split");
            if (strcasecmp(word, "day") == 0)
                Settings.split = SPLIT_DAY;
            else if (strcasecmp(word, "hour") == 0)
                Settings.split = SPLIT_HOUR;
            else
                Usage("bad argument to '--split'");
        } else if (strcasecmp(a, "--oldtimestamp") == 0) {
            Settings.oldtimestamp = 1;
        } else if (strcasecmp(a, "--umask") == 0) {
            ParseUmask(TakeValue(argc, argv, &i, "--umask"));
        } else if (strcasecmp(a, "--pidfile") == 0) {
            Settings.pidfile = TakeValue(argc, argv, &i, "--pidfile");
        } else if (strcasecmp(a, "--rootdir") == 0) {
            Settings.rootdir = TakeValue(argc, argv, &i, "--rootdir");
        } else if (strcasecmp(a, "--verbose") == 0) {
            Settings.verbose = 1;
        } else if (strcasecmp(a, "--rcvbuf") == 0) {
            Settings.rcvbuf = static_cast<int32_t>(TakeNumber(argc, argv, &i, "--rcvbuf", 4096, 1073741824,
                                                              "bad argument to '--rcvbuf': must be 4096..1073741824"));
        } else if (strcasecmp(a, "--ipv4only") == 0) {
            Settings.ipv4only = 1;
        } else if (strcasecmp(a, "--metrics") == 0) {
            Settings.metrics = TakeValue(argc, argv, &i, "--metrics");
        } else {
            char msg[1024];
            snprintf(msg, sizeof msg, "unrecognized option '%s'", a);
            Usage(msg);
        }
    }
}
