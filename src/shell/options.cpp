// SPDX-License-Identifier: BSD-2-Clause
#include "shell/options.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock/clock.h"
#include "common/settings.h"
#include "log/log.h"
#include "shell/shell_test.h"

void (*Settings_ExitHook)(int status) = nullptr;

namespace {

// Messages and usage lines are formatted into buffers of this size.
constexpr size_t TEXT_SIZE = 1024;

// Where the help of a usage line begins: after "  ", the option and its
// argument, padded, and a space.
constexpr int USAGE_OPTION_WIDTH = 22;

constexpr const char* USAGE_MODES =
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

enum class Kind {
    Flag,      // sets an int32 field to 1
    Number,    // an int32 field within [lo, hi]
    Megabytes, // an int64 field of bytes, given in megabytes within [lo, hi]
    Text,      // a path or name, kept as given
    Word,      // one of words, case ignored, as its index
    Umask,     // octal 000..077
    Help,
    SplitDay,  // the deprecated spelling of --split day
};

struct Option {
    const char* name;
    Kind kind;
    const char* arg;    // the argument in the usage text; null: none, and no usage line at all for Help and SplitDay
    const char* help;   // the usage line's text before its default
    const char* shown;  // the default as the usage text states it; null: the record's own; "": none stated
    int64_t lo, hi;     // a number's bounds; hi < 0: the --maxopen limit
    const char* note;   // after the bounds in a refusal
    int32_t SettingsRecord::*i32;
    int64_t SettingsRecord::*i64;
    const char* SettingsRecord::*text;
    const char* const* words;
    int nwords;
};

constexpr const char* SPLIT_WORDS[] = {"hour", "day"};
constexpr int NRECVMODES = sizeof SETTINGS_RECVMODE_WORDS / sizeof SETTINGS_RECVMODE_WORDS[0];

// One row per option, in the order of the usage text.
const Option OPTIONS[] = {
    {"--help", Kind::Help, nullptr, nullptr, "", 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0},
    {"--daemon", Kind::Flag, "", "run in background, as a daemon", "", 0, 0, nullptr, &SettingsRecord::daemon,
     nullptr, nullptr, nullptr, 0},
    {"--rootdir", Kind::Text, "<path>", "where to store the logs", nullptr, 0, 0, nullptr, nullptr, nullptr,
     &SettingsRecord::rootdir, nullptr, 0},
    {"--maxopen", Kind::Number, "<num>", "max open files", nullptr, 5, -1, "",
     &SettingsRecord::maxopen, nullptr, nullptr, nullptr, 0},
    {"--port", Kind::Number, "<num>", "port number to use", nullptr, 1, 65535, "",
     &SettingsRecord::port, nullptr, nullptr, nullptr, 0},
    {"--ipv4only", Kind::Flag, "", "receive IPv4 datagrams only", "IPv4 and IPv6", 0, 0, nullptr,
     &SettingsRecord::ipv4only, nullptr, nullptr, nullptr, 0},
    {"--recvmode", Kind::Word, "<mode>", "see 'receive modes' below", nullptr, 0, 0, nullptr,
     &SettingsRecord::recvmode, nullptr, nullptr, SETTINGS_RECVMODE_WORDS, NRECVMODES},
    {"--split", Kind::Word, "<mode>", "see 'splitting modes' below", nullptr, 0, 0, nullptr,
     &SettingsRecord::split, nullptr, nullptr, SPLIT_WORDS, 2},
    {"--splitday", Kind::SplitDay, nullptr, nullptr, "", 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0},
    {"--oldtimestamp", Kind::Flag, "", "use old-style syslog timestamps rather than rfc3339", "", 0, 0, nullptr,
     &SettingsRecord::oldtimestamp, nullptr, nullptr, nullptr, 0},
    {"--pidfile", Kind::Text, "<filename>", "where to output the pid of corvashenmir",
     "/var/run/corvashenmir[-<port>].pid", 0, 0, nullptr, nullptr, nullptr, &SettingsRecord::pidfile, nullptr,
     0},
    {"--metrics", Kind::Text, "<path>", "write counters for Prometheus to <path>", "none", 0, 0, nullptr,
     nullptr, nullptr, &SettingsRecord::metrics, nullptr, 0},
    {"--umask", Kind::Umask, "<mask>", "umask to use when creating log files", nullptr, 0, 0, nullptr, nullptr,
     nullptr, nullptr, nullptr, 0},
    {"--maxopenspersec", Kind::Number, "<num>", "max file open attempts/s", nullptr, 5,
     1000000, "", &SettingsRecord::maxopenspersec, nullptr, nullptr, nullptr, 0},
    {"--maxfilesize", Kind::Megabytes, "<mbytes>", "maximum output file size in megabytes", nullptr,
     1, 2000, " (megabytes)", nullptr, &SettingsRecord::maxfilesize, nullptr, nullptr, 0},
    {"--bufsize", Kind::Number, "<bytes>", "output file buffer size", nullptr, 1024, 131072,
     ", preferably a power of 2", &SettingsRecord::bufsize, nullptr, nullptr, nullptr, 0},
    {"--rcvbuf", Kind::Number, "<bytes>", "socket receive buffer size", "the system's", 4096, 1073741824, "",
     &SettingsRecord::rcvbuf, nullptr, nullptr, nullptr, 0},
    {"--verbose", Kind::Flag, "", "verbose output (to stdout)", "", 0, 0, nullptr, &SettingsRecord::verbose,
     nullptr, nullptr, nullptr, 0},
};

// The usage text states the defaults the record starts from.
constexpr SettingsRecord DEFAULTS{};

// The default a usage line states, from the record's initial value; null
// for none.
const char* DefaultText(const Option& o, char* buf, size_t size) {
    if (o.shown != nullptr) return o.shown[0] != '\0' ? o.shown : nullptr;
    switch (o.kind) {
    case Kind::Number:
        if (o.hi < 0)
            snprintf(buf, size, "%d, limit: %u", DEFAULTS.*o.i32, static_cast<unsigned>(Settings_MaxOpenLimit()));
        else
            snprintf(buf, size, "%d", DEFAULTS.*o.i32);
        return buf;
    case Kind::Megabytes:
        snprintf(buf, size, "%lld", static_cast<long long>(DEFAULTS.*o.i64 / SETTINGS_MEGABYTE));
        return buf;
    case Kind::Word:
        return o.words[DEFAULTS.*o.i32];
    case Kind::Text:
        return DEFAULTS.*o.text;
    case Kind::Umask:
        snprintf(buf, size, "%03o", static_cast<unsigned>(DEFAULTS.umask));
        return buf;
    default:
        return nullptr;
    }
}

void PrintUsageLine(FILE* out, const Option& o) {
    char left[TEXT_SIZE];
    snprintf(left, sizeof left, "%s%s%s", o.name, o.arg[0] != '\0' ? " " : "", o.arg);
    fprintf(out, "  %-*s %s", USAGE_OPTION_WIDTH, left, o.help);
    char buf[TEXT_SIZE];
    const char* def = DefaultText(o, buf, sizeof buf);
    if (def == nullptr) {
        fputc('\n', out);
    } else if (o.text == &SettingsRecord::pidfile) {
        // Too long to stand beside its help.
        fprintf(out, "\n  %-*s (default: %s)\n", USAGE_OPTION_WIDTH, "", def);
    } else {
        fprintf(out, " (default: %s)\n", def);
    }
}

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
        char msg[TEXT_SIZE];
        snprintf(msg, sizeof msg, "missing argument to '%s'", option);
        Usage(msg);
    }
    return argv[++*i];
}

int64_t TakeNumber(int argc, char** argv, int* i, const Option& o) {
    int64_t v = ReadNumber(TakeValue(argc, argv, i, o.name));
    int64_t hi = o.hi < 0 ? Settings_MaxOpenLimit() : o.hi;
    if (v < o.lo || v > hi) {
        char msg[TEXT_SIZE];
        snprintf(msg, sizeof msg, "bad argument to '%s': must be %lld..%lld%s", o.name, static_cast<long long>(o.lo),
                 static_cast<long long>(hi), o.note);
        Usage(msg);
    }
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

void Apply(const Option& o, int argc, char** argv, int* i) {
    switch (o.kind) {
    case Kind::Help:
        Usage(nullptr);
    case Kind::Flag:
        Settings.*o.i32 = 1;
        break;
    case Kind::Number:
        Settings.*o.i32 = static_cast<int32_t>(TakeNumber(argc, argv, i, o));
        break;
    case Kind::Megabytes:
        Settings.*o.i64 = TakeNumber(argc, argv, i, o) * SETTINGS_MEGABYTE;
        break;
    case Kind::Text:
        Settings.*o.text = TakeValue(argc, argv, i, o.name);
        break;
    case Kind::Word: {
        const char* word = TakeValue(argc, argv, i, o.name);
        for (int k = 0; k < o.nwords; k++) {
            if (strcasecmp(word, o.words[k]) == 0) {
                Settings.*o.i32 = k;
                return;
            }
        }
        char msg[TEXT_SIZE];
        snprintf(msg, sizeof msg, "bad argument to '%s'", o.name);
        Usage(msg);
    }
    case Kind::Umask:
        ParseUmask(TakeValue(argc, argv, i, o.name));
        break;
    case Kind::SplitDay:
        Settings.split = SPLIT_DAY;
        // The warning's stamp comes in the style the options so far chose.
        if (Clock_Init(&Clock, Settings.oldtimestamp != 0, Settings.split) == CLOCK_FAILED) FatalErrno(Clock.failed);
        Log_Msg(LOGLEVEL_ERROR, "warning: '--splitday' is deprecated. Use '--split day' instead.");
        break;
    }
}

}  // namespace

void Usage(const char* msg) {
    FILE* out = stdout;
    if (msg != nullptr && msg[0] != '\0') {
        out = stderr;
        fprintf(out, "%s: %s\n\n", Settings.progname, msg);
    }
    fprintf(out, "%s %s options:\n", Settings.progname, VERSION);
    for (const Option& o : OPTIONS)
        if (o.arg != nullptr) PrintUsageLine(out, o);
    fputs(USAGE_MODES, out);
    int status = out == stdout ? 0 : 1;
    if (Settings_ExitHook != nullptr) Settings_ExitHook(status);
    exit(status);
}

void Settings_Parse(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        const Option* found = nullptr;
        for (const Option& o : OPTIONS)
            if (strcasecmp(argv[i], o.name) == 0) found = &o;
        if (found == nullptr) {
            char msg[TEXT_SIZE];
            snprintf(msg, sizeof msg, "unrecognized option '%s'", argv[i]);
            Usage(msg);
        }
        Apply(*found, argc, argv, &i);
    }
}
