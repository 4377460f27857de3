// SPDX-License-Identifier: BSD-2-Clause
// Command-line parsing: every vector runs in a child, since refusals and
// --help end the process through Usage.
#include "common/settings.h"
#include "shell/options.h"
#include "shell/shell_test.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "shell/lifecycle.h"
#include "support/child.h"
#include "support/settings_text.h"

namespace {

// Not the default name, so that the header and the first usage line show progname is used.
constexpr const char* PROG = "/opt/cvm/sbin/cvmd";

// Typed out independently of the daemon's own copy.
std::string UsageText(unsigned limit) {
    return std::string(PROG) +
           " 1.02 options:\n"
           "  --daemon               run in background, as a daemon\n"
           "  --rootdir <path>       where to store the logs (default: .)\n"
           "  --maxopen <num>        max open files (default: 50, limit: " +
           std::to_string(limit) +
           ")\n"
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
}

std::string ErrorText(const std::string& msg, unsigned limit) {
    return std::string(PROG) + ": " + msg + "\n\n" + UsageText(limit);
}

// Fails loud in the child when the limit cannot be set.
void SetOpenFileLimit(rlim_t nofile) {
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = nofile;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        fprintf(stderr, "test setup: setrlimit(%lu) failed\n", static_cast<unsigned long>(nofile));
        _exit(99);
    }
}

// Parses args in a child under the given open-file limit and time zone, set up
// as start-up does, then prints the resulting settings after whatever the
// parser printed itself.
ChildResult Parse(const std::vector<std::string>& args, rlim_t nofile = 1024,
                  const char* tz = "UTC0") {
    return RunInChild([&] {
        SetOpenFileLimit(nofile);
        SetTimeZone(tz);
        Settings.progname = PROG;
        Clock.sec = 0;
        Clock_Update(&Clock);
        // The settings keep pointers into argv, so it lives until the dump.
        std::vector<std::string> store = {PROG};
        store.insert(store.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : store) argv.push_back(s.data());
        argv.push_back(nullptr);
        Settings_Parse(static_cast<int>(store.size()), argv.data());
        fputs(SettingsText(Settings).c_str(), stdout);
    });
}

// Every default typed out, not taken from the header's initializers, so that a
// changed default fails here. The pid file's default path, chosen by port when
// the file is written, is pinned by the end-to-end tests.
SettingsRecord Defaults() {
    SettingsRecord s;
    s.progname = PROG;
    s.port = 514;
    s.maxopen = 50;
    s.maxopenspersec = 200;
    s.bufsize = 16384;
    s.rcvbuf = 0;
    s.maxfilesize = 2000000000;
    s.recvmode = RECVMODE_SPLIT;
    s.split = SPLIT_HOUR;
    s.oldtimestamp = 0;
    s.umask = 077;
    s.rootdir = ".";
    s.pidfile = nullptr;
    s.daemon = 0;
    s.verbose = 0;
    s.ipv4only = 0;
    s.metrics = nullptr;
    return s;
}

// The wall clock the daemon stamps with: time() may still show the last
// second when gettimeofday has passed into the next.
time_t WallSeconds() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec;
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings = SettingsRecord{};
        Clock = ClockRecord{};
    }
};

enum class Outcome { Accepted, Help, Refused };

struct ParseCase {
    std::string name;
    std::vector<std::string> args;
    Outcome outcome;
    std::function<void(SettingsRecord&)> change;  // accepted: the expected settings
    std::string refusal;                          // refused: the message after "progname: "
    std::string out;                              // what the parser prints on stdout itself
};

ParseCase Ok(std::string name, std::vector<std::string> args, std::function<void(SettingsRecord&)> change,
             std::string out = "") {
    return {std::move(name), std::move(args), Outcome::Accepted, std::move(change), "", std::move(out)};
}

ParseCase Bad(std::string name, std::vector<std::string> args, std::string refusal, std::string out = "") {
    return {std::move(name), std::move(args), Outcome::Refused, nullptr, std::move(refusal), std::move(out)};
}

ParseCase Help(std::string name, std::vector<std::string> args, std::string out = "") {
    return {std::move(name), std::move(args), Outcome::Help, nullptr, "", std::move(out)};
}

const std::string PORT_BAD = "bad argument to '--port': must be 1..65535";
// Parse() runs under an open-file limit of 1024.
constexpr unsigned LIMIT_1024 = 1019;
const std::string MAXOPEN_BAD = "bad argument to '--maxopen': must be 5..1019";
const std::string PERSEC_BAD = "bad argument to '--maxopenspersec': must be 5..1000000";
const std::string BUFSIZE_BAD = "bad argument to '--bufsize': must be 1024..131072, preferably a power of 2";
const std::string RCVBUF_BAD = "bad argument to '--rcvbuf': must be 4096..1073741824";
const std::string FILESIZE_BAD = "bad argument to '--maxfilesize': must be 1..2000 (megabytes)";
const std::string UMASK_NOT_OCTAL = "bad argument to --umask. expected octal number.";
const std::string UMASK_TOO_BIG = "bad argument to --umask. expected octal number between 000 and 077.";

std::vector<ParseCase> ParseCases() {
    std::vector<ParseCase> c = {
        Ok("NoArguments", {}, [](SettingsRecord&) {}),
        Ok("EveryOption",
           {"--daemon", "--rootdir", "/srv/Logs", "--maxopen", "100", "--port", "600", "--recvmode", "flat",
            "--split", "day", "--oldtimestamp", "--pidfile", "/run/X.pid", "--umask", "027",
            "--maxopenspersec", "50", "--maxfilesize", "3", "--bufsize", "4096", "--verbose", "--rcvbuf",
            "8388608", "--ipv4only", "--metrics", "/var/lib/prom/c.prom"},
           [](SettingsRecord& s) {
               s.daemon = 1;
               s.rootdir = "/srv/Logs";
               s.maxopen = 100;
               s.port = 600;
               s.recvmode = RECVMODE_FLAT;
               s.split = SPLIT_DAY;
               s.oldtimestamp = 1;
               s.pidfile = "/run/X.pid";
               s.umask = 027;
               s.maxopenspersec = 50;
               s.maxfilesize = 3000000;
               s.bufsize = 4096;
               s.verbose = 1;
               s.rcvbuf = 8388608;
               s.ipv4only = 1;
               s.metrics = "/var/lib/prom/c.prom";
           },
           "umask: 00000017\n"),

        // Names and words ignore case; paths do not.
        Ok("UpperCasePort", {"--PORT", "600"}, [](SettingsRecord& s) { s.port = 600; }),
        Ok("MixedCaseSplitWord", {"--Split", "DAY"}, [](SettingsRecord& s) { s.split = SPLIT_DAY; }),
        Ok("MixedCaseFlags", {"--DAEMON", "--Verbose", "--OldTimeStamp"},
           [](SettingsRecord& s) {
               s.daemon = 1;
               s.verbose = 1;
               s.oldtimestamp = 1;
           }),
        Ok("PathsKeepCase", {"--ROOTDIR", "/Var/Log/X", "--PidFile", "Run/P.pid"},
           [](SettingsRecord& s) {
               s.rootdir = "/Var/Log/X";
               s.pidfile = "Run/P.pid";
           }),
        Ok("RecvmodeTruncate", {"--recvmode", "truncate"}, [](SettingsRecord& s) { s.recvmode = RECVMODE_TRUNCATE; }),
        Ok("RecvmodeSplit", {"--recvmode", "flat", "--recvmode", "Split"},
           [](SettingsRecord& s) { s.recvmode = RECVMODE_SPLIT; }),
        Ok("RecvmodeForensic", {"--recvmode", "forensic"}, [](SettingsRecord& s) { s.recvmode = RECVMODE_FORENSIC; }),
        Ok("RecvmodeForensicraw", {"--RECVMODE", "FORENSICRAW"},
           [](SettingsRecord& s) { s.recvmode = RECVMODE_FORENSICRAW; }),

        // A value is taken whatever it looks like.
        Ok("RootdirTakesNextOption", {"--rootdir", "--verbose"}, [](SettingsRecord& s) { s.rootdir = "--verbose"; }),
        Ok("EmptyPaths", {"--rootdir", "", "--pidfile", ""},
           [](SettingsRecord& s) {
               s.rootdir = "";
               s.pidfile = "";
           }),

        // Later options override earlier ones.
        Ok("RepeatedPort", {"--port", "514", "--port", "600"}, [](SettingsRecord& s) { s.port = 600; }),
        Ok("RepeatedSplit", {"--split", "day", "--split", "hour"}, [](SettingsRecord&) {}),

        // Numbers are read like atoi, compared as a whole.
        Ok("PortTrailingJunk", {"--port", "514abc"}, [](SettingsRecord& s) { s.port = 514; }),
        Ok("PortBlanksAndPlus", {"--port", "  +42"}, [](SettingsRecord& s) { s.port = 42; }),
        Ok("PortTabAndNewline", {"--port", "\t\n77"}, [](SettingsRecord& s) { s.port = 77; }),
        Ok("PortLeadingZeroIsDecimal", {"--port", "0514"}, [](SettingsRecord& s) { s.port = 514; }),
        Ok("PortLowest", {"--port", "1"}, [](SettingsRecord& s) { s.port = 1; }),
        Ok("PortHighest", {"--port", "65535"}, [](SettingsRecord& s) { s.port = 65535; }),
        Bad("PortWord", {"--port", "abc"}, PORT_BAD),
        Bad("PortZero", {"--port", "0"}, PORT_BAD),
        Bad("PortAboveRange", {"--port", "65536"}, PORT_BAD),
        Bad("PortNegative", {"--port", "-514"}, PORT_BAD),
        Bad("PortSignOnly", {"--port", "+"}, PORT_BAD),
        // 2^32 + 514 and -(2^32) + 514 would land on 514 if cut to 32 bits.
        Bad("PortWrapsTo514", {"--port", "4294967810"}, PORT_BAD),
        Bad("PortNegativeWrapsTo514", {"--port", "-4294966782"}, PORT_BAD),
        Bad("PortTwentyDigits", {"--port", "99999999999999999999"}, PORT_BAD),
        // 2^64 + 514, behind leading zeros and followed by junk.
        Bad("PortWrapsTo514In64Bits", {"--port", "0000018446744073709552130x"}, PORT_BAD),

        Ok("MaxopenLowest", {"--maxopen", "5"}, [](SettingsRecord& s) { s.maxopen = 5; }),
        Ok("MaxopenLimit", {"--maxopen", "1019"}, [](SettingsRecord& s) { s.maxopen = 1019; }),
        Bad("MaxopenBelow", {"--maxopen", "4"}, MAXOPEN_BAD),
        Bad("MaxopenAbove", {"--maxopen", "1020"}, MAXOPEN_BAD),
        Bad("MaxopenWrapsTo50", {"--maxopen", "4294967346"}, MAXOPEN_BAD),

        Ok("MaxopenspersecLowest", {"--maxopenspersec", "5"}, [](SettingsRecord& s) { s.maxopenspersec = 5; }),
        Ok("MaxopenspersecHighest", {"--maxopenspersec", "1000000"},
           [](SettingsRecord& s) { s.maxopenspersec = 1000000; }),
        Bad("MaxopenspersecBelow", {"--maxopenspersec", "4"}, PERSEC_BAD),
        Bad("MaxopenspersecAbove", {"--maxopenspersec", "1000001"}, PERSEC_BAD),
        Bad("MaxopenspersecWrapsTo5", {"--maxopenspersec", "4294967301"}, PERSEC_BAD),

        Ok("BufsizeNotPowerOfTwo", {"--bufsize", "3000"}, [](SettingsRecord& s) { s.bufsize = 3000; }),
        Ok("BufsizeLowest", {"--bufsize", "1024"}, [](SettingsRecord& s) { s.bufsize = 1024; }),
        Ok("BufsizeHighest", {"--bufsize", "131072"}, [](SettingsRecord& s) { s.bufsize = 131072; }),
        Bad("BufsizeBelow", {"--bufsize", "1000"}, BUFSIZE_BAD),
        Bad("BufsizeAbove", {"--bufsize", "131073"}, BUFSIZE_BAD),

        Ok("MaxfilesizeOneMegabyte", {"--maxfilesize", "1"}, [](SettingsRecord& s) { s.maxfilesize = 1000000; }),
        // 2000 megabytes do not fit a signed 32-bit byte count.
        Ok("MaxfilesizeHighest", {"--maxfilesize", "2000"}, [](SettingsRecord& s) { s.maxfilesize = 2000000000; }),
        Bad("MaxfilesizeZero", {"--maxfilesize", "0"}, FILESIZE_BAD),
        Bad("MaxfilesizeAbove", {"--maxfilesize", "2001"}, FILESIZE_BAD),
        Bad("MaxfilesizeWrapsTo1", {"--maxfilesize", "4294967297"}, FILESIZE_BAD),

        Ok("RcvbufLowest", {"--rcvbuf", "4096"}, [](SettingsRecord& s) { s.rcvbuf = 4096; }),
        Ok("RcvbufHighest", {"--RCVBUF", "1073741824"}, [](SettingsRecord& s) { s.rcvbuf = 1073741824; }),
        Bad("RcvbufBelow", {"--rcvbuf", "4095"}, RCVBUF_BAD),
        Bad("RcvbufAbove", {"--rcvbuf", "1073741825"}, RCVBUF_BAD),
        Bad("RcvbufWrapsTo4096", {"--rcvbuf", "4294971392"}, RCVBUF_BAD),

        Ok("Ipv4only", {"--IPv4Only"}, [](SettingsRecord& s) { s.ipv4only = 1; }),
        Ok("MetricsPath", {"--metrics", "m.prom", "--Metrics", "Node/M.prom"},
           [](SettingsRecord& s) { s.metrics = "Node/M.prom"; }),

        Bad("RecvmodeUnknownWord", {"--recvmode", "splitx"}, "bad argument to '--recvmode'"),
        Bad("RecvmodeEmptyWord", {"--recvmode", ""}, "bad argument to '--recvmode'"),
        Bad("SplitUnknownWord", {"--split", "week"}, "bad argument to '--split'"),

        // The umask is octal, printed in hex as it is taken.
        Ok("Umask022", {"--umask", "022"}, [](SettingsRecord& s) { s.umask = 022; }, "umask: 00000012\n"),
        Ok("UmaskEmpty", {"--umask", ""}, [](SettingsRecord& s) { s.umask = 0; }, "umask: 00000000\n"),
        Ok("UmaskSevenDigits", {"--umask", "0000077"}, [](SettingsRecord& s) { s.umask = 63; }, "umask: 0000003f\n"),
        Ok("UmaskTwice", {"--umask", "022", "--umask", "7"}, [](SettingsRecord& s) { s.umask = 7; },
           "umask: 00000012\numask: 00000007\n"),
        Bad("UmaskDigit8", {"--umask", "8"}, UMASK_NOT_OCTAL),
        Bad("UmaskNegative", {"--umask", "-1"}, UMASK_NOT_OCTAL),
        Bad("UmaskBlank", {"--umask", " 22"}, UMASK_NOT_OCTAL),
        Bad("UmaskLetter", {"--umask", "07a"}, UMASK_NOT_OCTAL),
        // A bad character is refused as such even once the value is too large.
        Bad("UmaskLargeThenDigit8", {"--umask", "1008"}, UMASK_NOT_OCTAL),
        Bad("Umask100", {"--umask", "100"}, UMASK_TOO_BIG),
        Bad("UmaskThirteenSevens", {"--umask", "7777777777777"}, UMASK_TOO_BIG),
        // 2^32 + 077: cut to 32 bits it would pass as 077.
        Bad("UmaskWrapsTo077", {"--umask", "40000000077"}, UMASK_TOO_BIG),

        // Anything else is unrecognized.
        Bad("SingleDashH", {"-h"}, "unrecognized option '-h'"),
        Bad("SingleDashV", {"-v"}, "unrecognized option '-v'"),
        Bad("BareWord", {"verbose"}, "unrecognized option 'verbose'"),
        Bad("JoinedValue", {"--port=600"}, "unrecognized option '--port=600'"),
        Bad("DoubleDashAlone", {"--"}, "unrecognized option '--'"),
        Bad("EmptyArgument", {""}, "unrecognized option ''"),
        Bad("PrefixOfOption", {"--max"}, "unrecognized option '--max'"),

        // The first error ends the walk: earlier options have had their say, later ones none.
        Bad("ErrorAfterUmask", {"--umask", "022", "--port", "0", "--umask", "033"}, PORT_BAD, "umask: 00000012\n"),
        Bad("ErrorBeforeHelp", {"--port", "0", "--help"}, PORT_BAD),
        Help("HelpAlone", {"--help"}),
        Help("HelpUpperCase", {"--HELP"}),
        Help("HelpBeforeBadPort", {"--help", "--port", "0"}),
        Help("HelpAfterUmask", {"--umask", "022", "--help"}, "umask: 00000012\n"),
        Bad("MissingAfterOthers", {"--port", "600", "--verbose", "--split"}, "missing argument to '--split'"),
    };

    // Each value-taking option given last, typed in lower and in upper case:
    // the message always names it as in the table.
    for (const char* opt : {"--port", "--maxopen", "--maxopenspersec", "--bufsize", "--maxfilesize", "--recvmode",
                            "--split", "--umask", "--pidfile", "--rootdir", "--rcvbuf", "--metrics"}) {
        std::string lower = opt;
        std::string upper = lower;
        for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        std::string id = lower.substr(2);
        c.push_back(Bad("Missing_" + id, {lower}, "missing argument to '" + lower + "'"));
        c.push_back(Bad("MissingUpper_" + id, {upper}, "missing argument to '" + lower + "'"));
    }

    std::string longarg(5000, 'y');
    c.push_back(Bad("LongUnrecognizedIsCut", {longarg}, ("unrecognized option '" + longarg + "'").substr(0, 1023)));
    return c;
}

// Keeps the registered test names readable and stable.
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class SettingsParseTest : public SettingsTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(SettingsParseTest, OutcomeAndSettings) {
    const ParseCase& c = GetParam();
    ChildResult r = Parse(c.args);
    switch (c.outcome) {
        case Outcome::Accepted: {
            SettingsRecord want = Defaults();
            c.change(want);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, c.out + SettingsText(want));
            EXPECT_EQ(r.err, "");
            break;
        }
        case Outcome::Help:
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, c.out + UsageText(LIMIT_1024));
            EXPECT_EQ(r.err, "");
            break;
        case Outcome::Refused:
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.err, ErrorText(c.refusal, LIMIT_1024));
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(SettingsVectors, SettingsParseTest, ::testing::ValuesIn(ParseCases()),
                         [](const ::testing::TestParamInfo<ParseCase>& p) { return p.param.name; });

TEST_F(SettingsTest, UsageWithoutMessageGoesToStdout) {
    for (const char* msg : {static_cast<const char*>(nullptr), ""}) {
        ChildResult r = RunInChild([&] {
            SetOpenFileLimit(1024);
            Settings.progname = PROG;
            Usage(msg);
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, UsageText(LIMIT_1024));
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(SettingsTest, UsageWithMessageGoesToStderr) {
    ChildResult r = RunInChild([] {
        SetOpenFileLimit(500);
        Settings.progname = PROG;
        Usage("something went wrong");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, ErrorText("something went wrong", 495));
}

// The maxopen limit follows the open-file limit in force when it is needed.
TEST_F(SettingsTest, MaxopenLimitFollowsOpenFileLimit) {
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    ASSERT_GE(rl.rlim_max, 1006u) << "hard open-file limit too low for this test";
    struct Row {
        rlim_t nofile;
        int limit;
    };
    int hardlimit = rl.rlim_max > 1000005 ? 1000000 : static_cast<int>(rl.rlim_max) - 5;
    const std::vector<Row> rows = {{500, 495}, {1004, 999}, {1005, 1000}, {1006, 1001}, {rl.rlim_max, hardlimit}};
    for (const Row& row : rows) {
        SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(row.nofile));
        const std::string lim = std::to_string(row.limit);

        ChildResult limit = RunInChild([&] {
            SetOpenFileLimit(row.nofile);
            printf("%d", Settings_MaxOpenLimit());
        });
        EXPECT_EQ(limit.out, lim);

        ChildResult above = Parse({"--maxopen", std::to_string(row.limit + 1)}, row.nofile);
        EXPECT_EQ(above.status, 1);
        EXPECT_EQ(above.err, ErrorText("bad argument to '--maxopen': must be 5.." + lim, row.limit));

        ChildResult at = Parse({"--maxopen", lim}, row.nofile);
        SettingsRecord want = Defaults();
        want.maxopen = row.limit;
        EXPECT_EQ(at.status, 0);
        EXPECT_EQ(at.out, SettingsText(want));

        ChildResult help = Parse({"--help"}, row.nofile);
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out, UsageText(row.limit));
    }
}

// Start-up raises the soft limit to the hard one before the limit is needed.
TEST_F(SettingsTest, RaisedSoftFileLimitGivesTheMaxopenLimit) {
    ChildResult r = RunInChild([] {
        struct rlimit rl = {64, 512};
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0) _exit(99);
        printf("%d ", Settings_MaxOpenLimit());
        Lifecycle_RaiseFileLimit();
        getrlimit(RLIMIT_NOFILE, &rl);
        printf("%lu/%lu %d", static_cast<unsigned long>(rl.rlim_cur), static_cast<unsigned long>(rl.rlim_max),
               Settings_MaxOpenLimit());
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "59 512/512 507");
}

// --splitday logs its warning at level 2 with no log open: the stamped line on
// stderr, the echo on stdout, stamped with the current local time in the style
// chosen by the options before it.
class SplitdayTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        SetTimeZone(ZONE);
    }

    // The stamps the warning may carry: one for each second the child could have run in.
    static std::vector<std::string> StampPrefixes(time_t from, time_t to, bool oldstyle) {
        std::vector<std::string> v;
        for (time_t t = from; t <= to; t++) {
            struct tm tm;
            localtime_r(&t, &tm);
            char buf[64];
            // Month names from a table, not the locale.
            static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
            if (oldstyle)
                snprintf(buf, sizeof buf, "%s %2d %02d:%02d:%02d ", months[tm.tm_mon], tm.tm_mday, tm.tm_hour,
                         tm.tm_min, tm.tm_sec);
            else
                snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.", tm.tm_year + 1900, tm.tm_mon + 1,
                         tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            v.push_back(buf);
        }
        return v;
    }

    static constexpr const char* ZONE = "ABC3:30";
    static constexpr const char* WARNING = "warning: '--splitday' is deprecated. Use '--split day' instead.\n";
    SavedTimeZone savedtz;
};

TEST_F(SplitdayTest, WarningThenLaterSplitWins) {
    time_t before = WallSeconds();
    ChildResult r = Parse({"--splitday", "--split", "hour"}, 1024, ZONE);
    time_t after = WallSeconds();

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(PROG) + " " + WARNING + SettingsText(Defaults()));
    // "<date>T<time>.<6 digits>-03:30 warning..."
    const std::string tail = std::string("-03:30 ") + WARNING;
    ASSERT_EQ(r.err.size(), 20 + 6 + tail.size()) << r.err;
    EXPECT_EQ(r.err.substr(26), tail);
    EXPECT_EQ(r.err.substr(20, 6).find_first_not_of("0123456789"), std::string::npos) << r.err;
    std::vector<std::string> ok = StampPrefixes(before, after, false);
    EXPECT_NE(std::find(ok.begin(), ok.end(), r.err.substr(0, 20)), ok.end()) << r.err;
}

TEST_F(SplitdayTest, OldTimestampBeforeSplitdayStampsOldStyle) {
    time_t before = WallSeconds();
    ChildResult r = Parse({"--oldtimestamp", "--splitday"}, 1024, ZONE);
    time_t after = WallSeconds();

    SettingsRecord want = Defaults();
    want.oldtimestamp = 1;
    want.split = SPLIT_DAY;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(PROG) + " " + WARNING + SettingsText(want));
    bool found = false;
    for (const std::string& prefix : StampPrefixes(before, after, true)) found |= r.err == prefix + WARNING;
    EXPECT_TRUE(found) << r.err;
}

// The warning comes before a later error ends the walk.
TEST_F(SplitdayTest, WarningStaysWhenLaterOptionIsRefused) {
    ChildResult r = Parse({"--oldtimestamp", "--splitday", "--bufsize", "1000"}, 1024, ZONE);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(PROG) + " " + WARNING);
    ASSERT_GT(r.err.size(), 16u + std::string(WARNING).size());
    EXPECT_EQ(r.err.substr(16), WARNING + ErrorText(BUFSIZE_BAD, LIMIT_1024)) << r.err;
}

}  // namespace
