// SPDX-License-Identifier: BSD-2-Clause
// The command line: Settings_Parse on argument vectors made from the input,
// its NUL-separated pieces, the first being the program's name. Refusals and
// --help end the process, so each vector is parsed in a child; its exit
// status, both output streams and the settings it ends with are compared
// with a model of the options written here from their rules.

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "shell/settings.h"
#include "support/settings_text.h"

namespace {

// The fuzzer's coverage counters, as the program's start-up registers them.
uint8_t* counters = nullptr;
uint8_t* countersend = nullptr;

constexpr size_t ARGS_MAX = 256;          // arguments per vector, to bound one run
constexpr unsigned CHILD_SECONDS = 10;    // a child still running then is killed
constexpr size_t MESSAGE_MAX = 1023;      // an error message is cut there
constexpr const char* SPLITDAY_WARNING = "warning: '--splitday' is deprecated. Use '--split day' instead.";

// A child's own counters are lost with it; it leaves them here for the parent.
uint8_t* childcounters = nullptr;

int outfd = -1;  // the child's standard output
int errfd = -1;  // the child's standard error
int resfd = -1;  // the settings the child ends with, when Settings_Parse returns

std::string usagetail;  // the usage text after its first line, which names the program

size_t CounterCount() { return static_cast<size_t>(countersend - counters); }

// Runs instead of the fuzzer's exit hook, which would take the child's exit
// for a failure of the whole run.
void LeaveChild(int status, void*) {
    fflush(nullptr);
    memcpy(childcounters, counters, CounterCount());
    _exit(status);
}

std::string ReadFd(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return "";
    std::string s(static_cast<size_t>(st.st_size), '\0');
    ssize_t n = pread(fd, s.data(), s.size(), 0);
    s.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return s;
}

void Reset(int fd) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        perror("settings fuzz: reset");
        abort();
    }
}

struct Run {
    int status;      // exit status, or 128 + signal number
    std::string out;
    std::string err;
    std::string settings;  // SettingsText of Settings when Settings_Parse returned, else empty
};

Run RunParse(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (int fd : {outfd, errfd, resfd}) Reset(fd);
    memset(childcounters, 0, CounterCount());
    fflush(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        perror("settings fuzz: fork");
        abort();
    }
    if (pid == 0) {
        dup2(outfd, STDOUT_FILENO);
        dup2(errfd, STDERR_FILENO);
        on_exit(LeaveChild, nullptr);
        alarm(CHILD_SECONDS);
        // As start-up leaves things before the parse.
        Settings = SettingsRecord{};
        Settings.progname = argv[0];
        Clock = ClockRecord{};
        Clock_Update(&Clock, nullptr);
        Settings_Parse(static_cast<int>(args.size()), argv.data());
        std::string dump = SettingsText(Settings);
        if (write(resfd, dump.data(), dump.size()) != static_cast<ssize_t>(dump.size())) {
            perror("settings fuzz: write");
            abort();
        }
        exit(0);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) {
            perror("settings fuzz: waitpid");
            abort();
        }
    }
    for (size_t i = 0; i < CounterCount(); i++)
        if (childcounters[i] > counters[i]) counters[i] = childcounters[i];
    Run r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = ReadFd(outfd);
    r.err = ReadFd(errfd);
    r.settings = ReadFd(resfd);
    return r;
}

// --- The model ----------------------------------------------------------

// Expected stream text, where a stamp of the given style stands in a
// stamped line: its digits come from the wall clock and are not known.
struct Piece {
    std::string text;
    bool stamp;  // a stamp instead of text
    bool old;    // the stamp's style
};

struct Expectation {
    int status = 0;
    bool returns = true;
    SettingsRecord settings;
    std::string out;
    std::vector<Piece> err;
};

std::string Lower(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string WithoutLeadingZeros(const std::string& digits) {
    size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? "" : digits.substr(first);
}

// The number atoi reads (blanks, a sign, digits, anything after ignored),
// and whether it lies in lo..hi. Beyond ten significant digits it lies
// outside every range.
bool ReadInRange(const std::string& v, int64_t lo, int64_t hi, int64_t* value) {
    size_t i = v.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos) i = v.size();
    bool negative = i < v.size() && v[i] == '-';
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) i++;
    size_t end = i;
    while (end < v.size() && v[end] >= '0' && v[end] <= '9') end++;
    std::string digits = WithoutLeadingZeros(v.substr(i, end - i));
    if (digits.size() > 10) return false;
    int64_t n = digits.empty() ? 0 : std::stoll(digits);
    *value = negative ? -n : n;
    return *value >= lo && *value <= hi;
}

int64_t MaxOpenLimit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 1000005) return 1000000;
    return static_cast<int64_t>(rl.rlim_cur) - 5;
}

std::string UsageFor(const std::string& progname) { return progname + " 1.02 options:\n" + usagetail; }

// The end of a walk through Usage with msg.
Expectation Refused(Expectation e, const std::string& progname, std::string msg) {
    if (msg.size() > MESSAGE_MAX) msg.resize(MESSAGE_MAX);
    e.status = 1;
    e.returns = false;
    e.err.push_back({progname + ": " + msg + "\n\n" + UsageFor(progname), false, false});
    return e;
}

// Parses to a lowercase word's index in words, or -1.
int WordIndex(const std::string& value, const std::vector<std::string>& words) {
    for (size_t w = 0; w < words.size(); w++)
        if (Lower(value) == words[w]) return static_cast<int>(w);
    return -1;
}

Expectation Model(const std::vector<std::string>& args) {
    Expectation e;
    SettingsRecord& s = e.settings;
    const std::string& prog = args[0];
    const std::string limit = std::to_string(MaxOpenLimit());
    struct Numeric {
        const char* name;
        int64_t lo, hi;
        std::string refusal;
        std::function<void(int64_t)> set;
    };
    const Numeric numeric[] = {
        {"--port", 1, 65535, "bad argument to '--port': must be 1..65535",
         [&s](int64_t v) { s.port = static_cast<int32_t>(v); }},
        {"--maxopen", 5, MaxOpenLimit(), "bad argument to '--maxopen': must be 5.." + limit,
         [&s](int64_t v) { s.maxopen = static_cast<int32_t>(v); }},
        {"--maxopenspersec", 5, 1000000, "bad argument to '--maxopenspersec': must be 5..1000000",
         [&s](int64_t v) { s.maxopenspersec = static_cast<int32_t>(v); }},
        {"--bufsize", 1024, 131072, "bad argument to '--bufsize': must be 1024..131072, preferably a power of 2",
         [&s](int64_t v) { s.bufsize = static_cast<int32_t>(v); }},
        {"--maxfilesize", 1, 2000, "bad argument to '--maxfilesize': must be 1..2000 (megabytes)",
         [&s](int64_t v) { s.maxfilesize = v * 1000000; }},
        {"--rcvbuf", 4096, 1073741824, "bad argument to '--rcvbuf': must be 4096..1073741824",
         [&s](int64_t v) { s.rcvbuf = static_cast<int32_t>(v); }},
    };
    const std::vector<std::string> textual = {"--recvmode", "--split", "--umask", "--pidfile", "--rootdir",
                                              "--metrics"};

    for (size_t i = 1; i < args.size(); i++) {
        const std::string name = Lower(args[i]);
        const Numeric* num = nullptr;
        for (const Numeric& o : numeric)
            if (name == o.name) num = &o;
        bool takes = num != nullptr || WordIndex(name, textual) >= 0;
        if (takes && i + 1 >= args.size()) return Refused(e, prog, "missing argument to '" + name + "'");
        const std::string value = takes ? args[++i] : "";

        if (num != nullptr) {
            int64_t n = 0;
            if (!ReadInRange(value, num->lo, num->hi, &n)) return Refused(e, prog, num->refusal);
            num->set(n);
        } else if (name == "--help") {
            e.out += UsageFor(prog);
            e.returns = false;
            return e;
        } else if (name == "--recvmode") {
            int mode = WordIndex(value, {"truncate", "flat", "split", "forensic", "forensicraw"});
            if (mode < 0) return Refused(e, prog, "bad argument to '--recvmode'");
            s.recvmode = mode;
        } else if (name == "--split") {
            int split = WordIndex(value, {"hour", "day"});
            if (split < 0) return Refused(e, prog, "bad argument to '--split'");
            s.split = split == 1 ? SPLIT_DAY : SPLIT_HOUR;
        } else if (name == "--umask") {
            if (value.find_first_not_of("01234567") != std::string::npos)
                return Refused(e, prog, "bad argument to --umask. expected octal number.");
            // Past its leading zeros, an octal number of three digits is 64 or more.
            std::string digits = WithoutLeadingZeros(value);
            if (digits.size() > 2)
                return Refused(e, prog, "bad argument to --umask. expected octal number between 000 and 077.");
            unsigned mask = digits.empty() ? 0 : static_cast<unsigned>(std::stoul(digits, nullptr, 8));
            s.umask = static_cast<uint16_t>(mask);
            char line[32];
            snprintf(line, sizeof line, "umask: %08x\n", mask);
            e.out += line;
        } else if (name == "--pidfile") {
            s.pidfile = args[i].c_str();
        } else if (name == "--rootdir") {
            s.rootdir = args[i].c_str();
        } else if (name == "--metrics") {
            s.metrics = args[i].c_str();
        } else if (name == "--ipv4only") {
            s.ipv4only = 1;
        } else if (name == "--daemon") {
            s.daemon = 1;
        } else if (name == "--splitday") {
            s.split = SPLIT_DAY;
            e.err.push_back({"", true, s.oldtimestamp != 0});
            e.err.push_back({std::string(" ") + SPLITDAY_WARNING + "\n", false, false});
            e.out += prog + " " + SPLITDAY_WARNING + "\n";
        } else if (name == "--oldtimestamp") {
            s.oldtimestamp = 1;
        } else if (name == "--verbose") {
            s.verbose = 1;
        } else {
            return Refused(e, prog, "unrecognized option '" + args[i] + "'");
        }
    }
    return e;
}

// A stamp's shape: 9 a digit, + a sign, # a digit or a blank, A a letter.
bool StampAt(const std::string& text, size_t at, bool old, size_t* len) {
    const std::string shape = old ? "Aaa #9 99:99:99" : "9999-99-99T99:99:99.999999+99:99";
    if (text.size() - at < shape.size()) return false;
    for (size_t i = 0; i < shape.size(); i++) {
        char c = text[at + i];
        bool digit = c >= '0' && c <= '9';
        bool ok = shape[i] == '9'   ? digit
                  : shape[i] == '#' ? digit || c == ' '
                  : shape[i] == '+' ? c == '+' || c == '-'
                  : shape[i] == 'A' ? c >= 'A' && c <= 'Z'
                  : shape[i] == 'a' ? c >= 'a' && c <= 'z'
                                    : c == shape[i];
        if (!ok) return false;
    }
    *len = shape.size();
    return true;
}

bool Matches(const std::vector<Piece>& want, const std::string& text) {
    size_t at = 0;
    for (const Piece& p : want) {
        size_t len = p.text.size();
        if (p.stamp ? !StampAt(text, at, p.old, &len) : text.compare(at, len, p.text) != 0) return false;
        at += len;
    }
    return at == text.size();
}

std::string Shown(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size() && i < 2000; i++) {
        auto c = static_cast<unsigned char>(s[i]);
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        out += (c >= 0x20 && c < 0x7F) || c == '\n' ? std::string(1, static_cast<char>(c)) : hex;
    }
    return out;
}

[[noreturn]] void Fail(const char* what, const std::vector<std::string>& args, const Run& r) {
    fprintf(stderr, "settings fuzz: %s\n  argv:", what);
    for (const std::string& a : args) fprintf(stderr, " [%s]", Shown(a).c_str());
    fprintf(stderr, "\n  status %d\n  stdout: %s\n  stderr: %s\n  settings: %s\n", r.status, Shown(r.out).c_str(),
            Shown(r.err).c_str(), r.settings.c_str());
    abort();
}

}  // namespace

// Linked in place of the coverage start-up call (--wrap), to learn where the
// counters are: a child's counts are copied back into them, so that the
// parser's own branches guide the fuzzer, not only the model's.
extern "C" void __real___sanitizer_cov_8bit_counters_init(uint8_t* start, uint8_t* stop);
extern "C" void __wrap___sanitizer_cov_8bit_counters_init(uint8_t* start, uint8_t* stop) {
    counters = start;
    countersend = stop;
    __real___sanitizer_cov_8bit_counters_init(start, stop);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    childcounters = static_cast<uint8_t*>(
        mmap(nullptr, CounterCount(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    outfd = memfd_create("stdout", MFD_CLOEXEC);
    errfd = memfd_create("stderr", MFD_CLOEXEC);
    resfd = memfd_create("settings", MFD_CLOEXEC);
    if (childcounters == MAP_FAILED || outfd < 0 || errfd < 0 || resfd < 0) {
        perror("settings fuzz set-up");
        exit(1);
    }
    // The model takes the usage text from --help, so an error's copy is
    // checked against it; its first line is the only one that names the program.
    const char* head = "corvashenmir 1.02 options:\n";
    Run help = RunParse({"corvashenmir", "--help"});
    if (help.status != 0 || help.out.compare(0, strlen(head), head) != 0) {
        fprintf(stderr, "settings fuzz: --help gave status %d and %s\n", help.status, help.out.c_str());
        exit(1);
    }
    usagetail = help.out.substr(strlen(head));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    std::string piece;
    for (size_t i = 0; i < size && args.size() < ARGS_MAX; i++) {
        if (data[i] == '\0') {
            args.push_back(piece);
            piece.clear();
        } else {
            piece += static_cast<char>(data[i]);
        }
    }
    if (!piece.empty() && args.size() < ARGS_MAX) args.push_back(piece);
    if (args.empty()) args.emplace_back();

    Run r = RunParse(args);
    Expectation e = Model(args);
    if (r.status != e.status) Fail("exit status differs from the model", args, r);
    if (r.out != e.out) Fail("standard output differs from the model", args, r);
    if (!Matches(e.err, r.err)) Fail("standard error differs from the model", args, r);
    if (e.returns) {
        if (r.settings != SettingsText(e.settings)) Fail("settings differ from the model", args, r);
    } else if (!r.settings.empty()) {
        Fail("Settings_Parse returned where it should have ended the process", args, r);
    }
    return 0;
}
