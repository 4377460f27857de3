// SPDX-License-Identifier: BSD-2-Clause
#include "fuzz/settings_model.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/settings.h"
#include "shell/options.h"
#include "shell/shell_test.h"
#include "support/settings_text.h"

namespace {

// Soft open-file limits around the bounds of the --maxopen limit; 0 keeps the
// limit the run started with, and one beyond the hard limit is the hard limit.
constexpr rlim_t LIMITS[16] = {0,    5,    6,     9,       10,      11,      1004,    1005,
                               1006, 4096, 65536, 1000004, 1000005, 1000006, 1048576, 1048577};

struct SettingsCase {
    rlim_t softlimit;  // the soft open-file limit to parse under
    std::vector<std::string> args;
};

// Expected stream text, where a stamp of the given style stands in a
// stamped line: its digits come from the wall clock and are not known.
struct SettingsPiece {
    std::string text;
    bool stamp;  // a stamp instead of text
    bool old;    // the stamp's style
};

struct SettingsExpectation {
    int status = 0;
    bool returns = true;
    SettingsRecord settings;
    std::string out;
    std::vector<SettingsPiece> err;
};

// The usage text after its first line, which names the program, split where
// it states the --maxopen limit.
struct SettingsUsage {
    std::string before;
    std::string after;
};

constexpr size_t ARGS_MAX = 256;      // arguments per vector, to bound one run
constexpr size_t MESSAGE_MAX = 1023;  // an error message is cut there
constexpr const char* SPLITDAY_WARNING = "warning: '--splitday' is deprecated. Use '--split day' instead.";

struct rlimit startlimit;  // the open-file limits the run started with

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

// The limit is printed as an unsigned number.
std::string UsageFor(const SettingsUsage& usage, const std::string& progname, int64_t limit) {
    return progname + " 1.02 options:\n" + usage.before + std::to_string(static_cast<uint32_t>(limit)) + usage.after;
}

// The index of value, matched without regard to case, in words, or -1.
template <size_t N>
int WordIndex(const std::string& value, const char* const (&words)[N]) {
    const std::string lower = Lower(value);
    for (size_t w = 0; w < N; w++)
        if (lower == words[w]) return static_cast<int>(w);
    return -1;
}

// The numeric options: their range, refusal and field.
struct Numeric {
    const char* name;
    int64_t lo, hi;  // hi < 0: the --maxopen limit
    const char* refusal;  // null: the --maxopen one, which names the limit
    int32_t SettingsRecord::*field;  // null: maxfilesize, in megabytes
};

const Numeric NUMERIC[] = {
    {"--port", 1, 65535, "bad argument to '--port': must be 1..65535", &SettingsRecord::port},
    {"--maxopen", 5, -1, nullptr, &SettingsRecord::maxopen},
    {"--maxopenspersec", 5, 1000000, "bad argument to '--maxopenspersec': must be 5..1000000",
     &SettingsRecord::maxopenspersec},
    {"--bufsize", 1024, 131072, "bad argument to '--bufsize': must be 1024..131072, preferably a power of 2",
     &SettingsRecord::bufsize},
    {"--maxfilesize", 1, 2000, "bad argument to '--maxfilesize': must be 1..2000 (megabytes)", nullptr},
    {"--rcvbuf", 4096, 1073741824, "bad argument to '--rcvbuf': must be 4096..1073741824", &SettingsRecord::rcvbuf},
};

const char* const TEXTUAL[] = {"--recvmode", "--split", "--umask", "--pidfile", "--rootdir", "--metrics"};
const char* const RECVMODES[] = {"truncate", "flat", "split", "forensic", "forensicraw"};
const char* const SPLITS[] = {"hour", "day"};

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

bool Matches(const std::vector<SettingsPiece>& want, const std::string& text) {
    size_t at = 0;
    for (const SettingsPiece& p : want) {
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

SettingsCase Decode(const uint8_t* data, size_t size) {
    SettingsCase c{0, {}};
    if (size == 0) {
        c.args.emplace_back();
        return c;
    }
    c.softlimit = LIMITS[data[0] & 15];
    const char* p = reinterpret_cast<const char*>(data) + 1;
    const char* end = reinterpret_cast<const char*>(data) + size;
    while (p < end && c.args.size() < ARGS_MAX) {
        const char* nul = static_cast<const char*>(memchr(p, '\0', static_cast<size_t>(end - p)));
        c.args.emplace_back(p, nul != nullptr ? nul : end);
        p = nul != nullptr ? nul + 1 : end;
    }
    if (c.args.empty()) c.args.emplace_back();
    return c;
}

// Keeps the limits the run starts with, first raising the hard one where allowed.
void InitLimits() {
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    FILE* f = fopen("/proc/sys/fs/nr_open", "r");
    unsigned long nr = 0;
    if (f != nullptr) {
        if (fscanf(f, "%lu", &nr) != 1) nr = 0;
        fclose(f);
    }
    if (nr > rl.rlim_max) {
        struct rlimit raised = {rl.rlim_cur, nr};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
    }
    startlimit = rl;
}

// Sets the soft limit a case asks for (0: the starting one).
void SetLimit(rlim_t soft) {
    struct rlimit rl = startlimit;
    if (soft != 0) rl.rlim_cur = soft < rl.rlim_max ? soft : rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        perror("settings fuzz: setrlimit");
        abort();
    }
}

// The most --maxopen takes under the current soft limit: that limit less 5,
// at most 1,000,000.
int64_t MaxOpenLimit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 1000005) return 1000000;
    return static_cast<int64_t>(rl.rlim_cur) - 5;
}

// The usage text as the model has it: --help's text under a known limit,
// split at that limit. False when the text does not state it.
bool LearnUsage(const std::string& help, int64_t limit, SettingsUsage* usage) {
    const std::string head = "corvashenmir 1.02 options:\n";
    const std::string stated = "limit: " + std::to_string(static_cast<uint32_t>(limit)) + ")";
    size_t at = help.find(stated);
    if (help.compare(0, head.size(), head) != 0 || at == std::string::npos) return false;
    usage->before = help.substr(head.size(), at + 7 - head.size());
    usage->after = help.substr(at + stated.size() - 1);
    return true;
}

// The parse of args under a --maxopen limit of limit.
SettingsExpectation Expect(const std::vector<std::string>& args, int64_t limit, const SettingsUsage& usage) {
    SettingsExpectation e;
    SettingsRecord& s = e.settings;
    const std::string& prog = args[0];
    // The end of a walk through Usage with msg.
    auto refused = [&](std::string msg) {
        if (msg.size() > MESSAGE_MAX) msg.resize(MESSAGE_MAX);
        e.status = 1;
        e.returns = false;
        e.err.push_back({prog + ": " + msg + "\n\n" + UsageFor(usage, prog, limit), false, false});
        return e;
    };

    for (size_t i = 1; i < args.size(); i++) {
        const std::string name = Lower(args[i]);
        const Numeric* num = nullptr;
        for (const Numeric& o : NUMERIC)
            if (name == o.name) num = &o;
        bool takes = num != nullptr || WordIndex(name, TEXTUAL) >= 0;
        if (takes && i + 1 >= args.size()) return refused("missing argument to '" + name + "'");
        const std::string value = takes ? args[++i] : "";

        if (num != nullptr) {
            int64_t n = 0;
            if (!ReadInRange(value, num->lo, num->hi < 0 ? limit : num->hi, &n)) {
                if (num->refusal != nullptr) return refused(num->refusal);
                return refused("bad argument to '--maxopen': must be 5.." + std::to_string(limit));
            }
            if (num->field != nullptr)
                s.*num->field = static_cast<int32_t>(n);
            else
                s.maxfilesize = n * 1000000;
        } else if (name == "--help") {
            e.out += UsageFor(usage, prog, limit);
            e.returns = false;
            return e;
        } else if (name == "--recvmode") {
            int mode = WordIndex(value, RECVMODES);
            if (mode < 0) return refused("bad argument to '--recvmode'");
            s.recvmode = mode;
        } else if (name == "--split") {
            int split = WordIndex(value, SPLITS);
            if (split < 0) return refused("bad argument to '--split'");
            s.split = split == 1 ? SPLIT_DAY : SPLIT_HOUR;
        } else if (name == "--umask") {
            if (value.find_first_not_of("01234567") != std::string::npos)
                return refused("bad argument to --umask. expected octal number.");
            // Past its leading zeros, an octal number of three digits is 64 or more.
            std::string digits = WithoutLeadingZeros(value);
            if (digits.size() > 2)
                return refused("bad argument to --umask. expected octal number between 000 and 077.");
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
            return refused("unrecognized option '" + args[i] + "'");
        }
    }
    return e;
}

// Aborts, with the case and what the parse did, when it departs from the model.
void Check(const SettingsCase& c, int64_t limit, const SettingsRun& r, const SettingsExpectation& e) {
    const char* what = nullptr;
    if (r.status != e.status)
        what = "exit status differs from the model";
    else if (r.out != e.out)
        what = "standard output differs from the model";
    else if (!Matches(e.err, r.err))
        what = "standard error differs from the model";
    else if (e.returns && r.settings != SettingsText(e.settings))
        what = "settings differ from the model";
    else if (!e.returns && !r.settings.empty())
        what = "Settings_Parse returned where it should have ended the process";
    if (what == nullptr) return;
    fprintf(stderr, "settings fuzz: %s\n  maxopen limit %lld\n  argv:", what, static_cast<long long>(limit));
    for (const std::string& a : c.args) fprintf(stderr, " [%s]", Shown(a).c_str());
    fprintf(stderr, "\n  status %d\n  stdout: %s\n  stderr: %s\n  settings: %s\n", r.status,
            Shown(r.out).c_str(), Shown(r.err).c_str(), r.settings.c_str());
    abort();
}

SettingsUsage usage;

}  // namespace

void SettingsModel_Init(SettingsParse parse) {
    InitLimits();
    // The model takes the usage text from --help, so an error's copy is
    // checked against it.
    std::vector<std::string> args = {"corvashenmir", "--help"};
    SettingsRun help = parse(args);
    if (help.status != 0 || !LearnUsage(help.out, MaxOpenLimit(), &usage)) {
        fprintf(stderr, "settings fuzz: --help gave status %d and %s\n", help.status, help.out.c_str());
        exit(1);
    }
}

void SettingsModel_Run(const uint8_t* data, size_t size, SettingsParse parse) {
    SettingsCase c = Decode(data, size);
    SetLimit(c.softlimit);
    int64_t limit = MaxOpenLimit();
    SettingsRun r = parse(c.args);
    SetLimit(0);
    Check(c, limit, r, Expect(c.args, limit, usage));
}
