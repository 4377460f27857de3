// SPDX-License-Identifier: BSD-2-Clause
// The daemon log, its console echo and the fatal exits. The log stream is
// process state, so every case runs in a child inside a fresh directory.
#include "log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <ostream>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "clock/clock_test.h"
#include "common/settings.h"
#include "support/child.h"
#include "support/reset.h"

namespace {

const int64_t NOW = UtcSeconds(2031, 3, 5, 22, 7, 9);
const std::string STAMP = "2031-03-05T22:07:09.000042+00:00";
const std::string LOGNAME = "corvashenmir-20310305";
constexpr const char* PROG = "cvm";

std::set<std::string> DirEntries() {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(".")) names.insert(e.path().filename().string());
    return names;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetTimeZone("UTC0");
        Settings = SettingsRecord{};
        Settings.progname = PROG;
        Clock = ClockRecord{};
        ASSERT_GE(Clock_UpdateAt(&Clock, NOW, 42), CLOCK_SECOND);
    }
    void TearDown() override { Settings = SettingsRecord{}; }

    SavedTimeZone savedtz;
    InTempDir cwd;
};

enum class Shows { Nothing, Line, Echo };

struct LevelCase {
    std::string name;
    int level;
    int verbose;
    bool open;
    Shows out;
    Shows err;
};

const std::vector<LevelCase> LEVEL_CASES = {
    {"OpenFileQuiet", LOGLEVEL_FILE, 0, true, Shows::Nothing, Shows::Nothing},
    {"OpenBelowFileQuiet", -1, 0, true, Shows::Nothing, Shows::Nothing},
    {"OpenFileVerbose", LOGLEVEL_FILE, 1, true, Shows::Echo, Shows::Nothing},
    {"OpenBelowFileVerbose", -5, 1, true, Shows::Echo, Shows::Nothing},
    {"OpenConsole", LOGLEVEL_CONSOLE, 0, true, Shows::Echo, Shows::Nothing},
    {"OpenConsoleVerbose", LOGLEVEL_CONSOLE, 1, true, Shows::Echo, Shows::Nothing},
    {"OpenError", LOGLEVEL_ERROR, 0, true, Shows::Nothing, Shows::Echo},
    {"OpenAboveError", 3, 0, true, Shows::Nothing, Shows::Echo},
    {"OpenFarAboveErrorVerbose", 1000, 1, true, Shows::Nothing, Shows::Echo},
    {"ClosedFileQuiet", LOGLEVEL_FILE, 0, false, Shows::Nothing, Shows::Line},
    {"ClosedBelowFileQuiet", -1, 0, false, Shows::Nothing, Shows::Line},
    {"ClosedFileVerbose", LOGLEVEL_FILE, 1, false, Shows::Echo, Shows::Line},
    {"ClosedConsole", LOGLEVEL_CONSOLE, 0, false, Shows::Echo, Shows::Line},
    {"ClosedError", LOGLEVEL_ERROR, 0, false, Shows::Echo, Shows::Line},
    {"ClosedAboveError", 9, 0, false, Shows::Echo, Shows::Line},
};

// Keeps the registered test names readable and stable.
void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.name; }

class LogLevelTest : public LogTest, public ::testing::WithParamInterface<LevelCase> {};

// The child ends with _exit right after the line, so whatever is not flushed
// by Log_Msg itself is lost: the file and the streams must already hold it.
TEST_P(LogLevelTest, LineAndEchoWhereTheLevelSays) {
    const LevelCase& c = GetParam();
    ChildResult r = RunInChild([&] {
        Settings.verbose = c.verbose;
        if (c.open) Log_Open();
        // Several arguments: the echo walks them a second time.
        Log_Msg(c.level, "m %d %s %u", 7, "x", 4000000000u);
        _exit(0);
    });
    const std::string line = STAMP + " m 7 x 4000000000\n";
    const std::string echo = std::string(PROG) + " m 7 x 4000000000\n";
    auto text = [&](Shows s) { return s == Shows::Line ? line : s == Shows::Echo ? echo : std::string(); };

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, text(c.out));
    EXPECT_EQ(r.err, text(c.err));
    if (c.open)
        EXPECT_EQ(ReadFile(LOGNAME), line);
    else
        EXPECT_FALSE(FileExists(LOGNAME));
}

INSTANTIATE_TEST_SUITE_P(LogLevels, LogLevelTest, ::testing::ValuesIn(LEVEL_CASES),
                         [](const ::testing::TestParamInfo<LevelCase>& p) { return p.param.name; });

// One daemon log per local date, whatever the split.
TEST_F(LogTest, NamedByDateKeyWhateverTheSplit) {
    struct Row {
        const char* tz;
        int64_t utc;
        int32_t split;
        const char* name;
    };
    const std::vector<Row> rows = {
        {"UTC0", NOW, SPLIT_HOUR, "corvashenmir-20310305"},
        {"UTC0", NOW, SPLIT_DAY, "corvashenmir-20310305"},
        {"XYZ-5:45", UtcSeconds(2030, 12, 31, 20, 15, 0), SPLIT_HOUR, "corvashenmir-20310101"},
        {"ABC3:30", UtcSeconds(2031, 1, 1, 1, 45, 30), SPLIT_DAY, "corvashenmir-20301231"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const std::string& f : DirEntries()) std::filesystem::remove(f);
        ChildResult r = RunInChild([&] {
            SetTimeZone(row.tz);
            Settings.split = row.split;
            ClockFromSettings();
            Clock_UpdateAt(&Clock, row.utc, 0);
            Log_Open();
            Log_Msg(LOGLEVEL_FILE, "hello");
            Log_Close();
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(DirEntries(), std::set<std::string>{row.name});
        std::string content = ReadFile(row.name);
        EXPECT_EQ(content.substr(content.size() < 6 ? 0 : content.size() - 6), "hello\n") << content;
    }
}

// A restart or a reopen on the same day continues the file; a new date starts
// a new one; while closed, lines go to stderr.
TEST_F(LogTest, ReopenAppendsAndFollowsTheDate) {
    WriteFile(LOGNAME, "earlier run\n");
    ChildResult r = RunInChild([] {
        Log_Open();
        Log_Msg(LOGLEVEL_FILE, "one");
        Log_Close();
        Log_Open();
        Log_Msg(LOGLEVEL_FILE, "two");
        Log_Close();
        Log_Close();
        Log_Msg(LOGLEVEL_FILE, "three");
        Clock_UpdateAt(&Clock, NOW + 7200, 5);
        Log_Open();
        Log_Msg(LOGLEVEL_FILE, "four");
        Log_Close();
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, STAMP + " three\n");
    EXPECT_EQ(ReadFile(LOGNAME), "earlier run\n" + STAMP + " one\n" + STAMP + " two\n");
    EXPECT_EQ(ReadFile("corvashenmir-20310306"), "2031-03-06T00:07:09.000005+00:00 four\n");
}

// Created with read and write for all, less the process umask.
TEST_F(LogTest, CreatedUnderTheUmask) {
    struct Row {
        mode_t umask;
        mode_t mode;
    };
    for (const Row& row : std::vector<Row>{{077, 0600}, {022, 0644}, {0, 0666}}) {
        SCOPED_TRACE(std::to_string(row.umask));
        std::filesystem::remove(LOGNAME);
        ChildResult r = RunInChild([&] {
            umask(row.umask);
            Log_Open();
            Log_Close();
        });
        EXPECT_EQ(r.status, 0);
        struct stat st;
        ASSERT_EQ(stat(LOGNAME.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, row.mode);
    }
}

TEST_F(LogTest, OpenFailureIsFatal) {
    ASSERT_EQ(mkdir(LOGNAME.c_str(), 0700), 0);
    ChildResult r = RunInChild([] {
        Log_Open();
        Log_Msg(LOGLEVEL_CONSOLE, "not reached");
    });
    const std::string text = std::string("fatal: could not open local daemon log file: ") + strerror(EISDIR);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, STAMP + " " + text + "\n");
    EXPECT_EQ(r.out, std::string(PROG) + " " + text + "\n");
}

struct FatalCase {
    std::string name;
    bool open;
    bool witherrno;
    const char* msg;
    int errnum;
};

const std::vector<FatalCase> FATAL_CASES = {
    {"FatalClosed", false, false, "getcwd", 0},
    {"FatalOpen", true, false, "INTERNAL BROKENNESS: test", 0},
    {"FatalErrnoClosed", false, true, "chdir \"/no/such\"", ENOENT},
    {"FatalErrnoOpen", true, true, "bind", EADDRINUSE},
};

// Keeps the registered test names readable and stable.
void PrintTo(const FatalCase& c, std::ostream* os) { *os << c.name; }

class LogFatalTest : public LogTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(LogFatalTest, LineEchoAndStatus) {
    const FatalCase& c = GetParam();
    ChildResult r = RunInChild([&] {
        if (c.open) Log_Open();
        if (c.witherrno) {
            errno = c.errnum;
            FatalErrno(c.msg);
        }
        Fatal(c.msg);
    });
    std::string text = std::string("fatal: ") + c.msg;
    if (c.witherrno) text += std::string(": ") + strerror(c.errnum);
    const std::string line = STAMP + " " + text + "\n";
    const std::string echo = std::string(PROG) + " " + text + "\n";

    EXPECT_EQ(r.status, 1);
    if (c.open) {
        EXPECT_EQ(ReadFile(LOGNAME), line);
        EXPECT_EQ(r.err, echo);
        EXPECT_EQ(r.out, "");
    } else {
        EXPECT_FALSE(FileExists(LOGNAME));
        EXPECT_EQ(r.err, line);
        EXPECT_EQ(r.out, echo);
    }
}

INSTANTIATE_TEST_SUITE_P(LogExits, LogFatalTest, ::testing::ValuesIn(FATAL_CASES),
                         [](const ::testing::TestParamInfo<FatalCase>& p) { return p.param.name; });

// With stderr unwritable, the first write of the line fails and sets errno;
// the echo must still carry the error of the call.
TEST_F(LogTest, FatalErrnoUsesErrnoOfTheCall) {
    ChildResult r = RunInChild([] {
        int fd = open("/dev/null", O_RDONLY);
        if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(99);
        errno = ENOENT;
        FatalErrno("lookup");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(PROG) + " fatal: lookup: " + strerror(ENOENT) + "\n");
}

// The standard exit writes out every open stream: nothing buffered is lost.
TEST_F(LogTest, FatalExitWritesOutOpenStreams) {
    const std::string data = [] {
        std::string s;
        for (int i = 0; i < 2000; i++) s += "record " + std::to_string(i) + "\n";
        return s;
    }();
    for (bool witherrno : {false, true}) {
        SCOPED_TRACE(witherrno ? "FatalErrno" : "Fatal");
        std::filesystem::remove("data");
        ChildResult r = RunInChild([&] {
            FILE* f = fopen("data", "w");
            if (f == nullptr) _exit(99);
            setvbuf(f, nullptr, _IOFBF, 1 << 16);
            fputs(data.c_str(), f);
            fputs("pending", stdout);
            Log_Open();
            errno = EIO;
            if (witherrno) FatalErrno("stop");
            Fatal("stop");
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(ReadFile("data"), data);
        EXPECT_EQ(r.out, "pending");
    }
}

struct RefusedCase {
    std::string name;
    bool stderr_null;  // a detached daemon's stderr
    bool full_device;  // ENOSPC from /dev/full instead of the size limit's EFBIG
};

const std::vector<RefusedCase> REFUSED_CASES = {
    {"SizeLimit", false, false},
    {"SizeLimitStderrNull", true, false},
    {"FullDevice", false, true},
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class LogRefusedTest : public LogTest, public ::testing::WithParamInterface<RefusedCase> {};

// The log takes the lowest free descriptor; this is the one it will get.
int NextLogDescriptor() {
    int fd = dup(0);
    close(fd);
    return fd;
}

// Makes every write to fd fail with ENOSPC, as on a full disk.
void FillUp(int fd) {
    int full = open("/dev/full", O_WRONLY);
    if (full < 0 || dup2(full, fd) < 0) _exit(99);
    close(full);
}

// Two lines are refused, the first after part of it went in; the next line
// that fits comes after the warning and starts a line of its own.
TEST_P(LogRefusedTest, RefusedLinesGoToStderrAndAreCountedBeforeTheNextLine) {
    const RefusedCase& c = GetParam();
    const std::string first = STAMP + " first\n";
    ChildResult r = RunInChild([&] {
        if (c.stderr_null) {
            int null = open("/dev/null", O_WRONLY);
            if (null < 0 || dup2(null, STDERR_FILENO) < 0) _exit(99);
        }
        // The size limit would cut the captured stderr file too: a pipe holds it meanwhile.
        int pipefd[2] = {-1, -1};
        int captured = dup(STDERR_FILENO);
        if (!c.stderr_null && !c.full_device) {
            if (pipe(pipefd) != 0 || dup2(pipefd[1], STDERR_FILENO) < 0) _exit(99);
        }
        int logfd = NextLogDescriptor();
        Log_Open();
        Log_Msg(LOGLEVEL_FILE, "first");
        int saved = dup(logfd);
        if (c.full_device)
            FillUp(logfd);
        else
            LimitFileSize(first.size() + 10);
        Log_Msg(LOGLEVEL_FILE, "second line, longer than what is left");
        Log_Msg(LOGLEVEL_FILE, "third");
        if (c.full_device)
            dup2(saved, logfd);
        else
            LimitFileSize(RLIM_INFINITY);
        Log_Msg(LOGLEVEL_FILE, "fourth");
        if (pipefd[0] >= 0) {
            close(pipefd[1]);
            dup2(captured, STDERR_FILENO);
            char buf[4096];
            ssize_t n = read(pipefd[0], buf, sizeof buf);
            if (n > 0 && write(STDERR_FILENO, buf, static_cast<size_t>(n)) != n) _exit(99);
        }
        _exit(0);
    });
    const int err = c.full_device ? ENOSPC : EFBIG;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.stderr_null ? "" : STAMP + " second line, longer than what is left\n" + STAMP + " third\n");
    EXPECT_EQ(ReadFile(LOGNAME), first + STAMP + " warning: 2 daemon log lines could not be written: " +
                                     strerror(err) + "\n" + STAMP + " fourth\n");
}

INSTANTIATE_TEST_SUITE_P(LogRefused, LogRefusedTest, ::testing::ValuesIn(REFUSED_CASES),
                         [](const ::testing::TestParamInfo<RefusedCase>& p) { return p.param.name; });

// A refused error line is echoed like one without a log: on stdout, not twice on stderr.
TEST_F(LogTest, RefusedErrorLineIsEchoedOnStdout) {
    ChildResult r = RunInChild([] {
        int logfd = NextLogDescriptor();
        Log_Open();
        FillUp(logfd);
        Log_Msg(LOGLEVEL_ERROR, "bad");
        _exit(0);
    });
    EXPECT_EQ(r.err, STAMP + " bad\n");
    EXPECT_EQ(r.out, std::string(PROG) + " bad\n");
    EXPECT_EQ(ReadFile(LOGNAME), "");
}

TEST_F(LogTest, OverlongLineIsCutAndStillEnded) {
    const std::string text(20000, 'x');
    ChildResult r = RunInChild([&] {
        Log_Open();
        Log_Msg(LOGLEVEL_FILE, "%s", text.c_str());
        Log_Msg(LOGLEVEL_FILE, "next");
        _exit(0);
    });
    const std::string log = ReadFile(LOGNAME);
    const size_t cut = log.find('\n');
    ASSERT_NE(cut, std::string::npos);
    EXPECT_GT(cut, 4096u);
    EXPECT_EQ(log.substr(0, STAMP.size() + 1), STAMP + " ");
    EXPECT_EQ(log.substr(cut + 1), STAMP + " next\n");
}

}  // namespace
