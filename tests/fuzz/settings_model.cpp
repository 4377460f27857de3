// SPDX-License-Identifier: BSD-2-Clause
#include "fuzz/settings_model.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/settings_text.h"

namespace {

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

// Parses to a lowercase word's index in words, or -1.
int WordIndex(const std::string& value, const std::vector<std::string>& words) {
    for (size_t w = 0; w < words.size(); w++)
        if (Lower(value) == words[w]) return static_cast<int>(w);
    return -1;
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

}  // namespace

SettingsCase SettingsModel_Decode(const uint8_t* data, size_t size) {
    SettingsCase c{0, {}};
    if (size > 0) c.softlimit = SETTINGSMODEL_LIMITS[data[0] & 15];
    std::string piece;
    for (size_t i = 1; i < size && c.args.size() < ARGS_MAX; i++) {
        if (data[i] == '\0') {
            c.args.push_back(piece);
            piece.clear();
        } else {
            piece += static_cast<char>(data[i]);
        }
    }
    if (!piece.empty() && c.args.size() < ARGS_MAX) c.args.push_back(piece);
    if (c.args.empty()) c.args.emplace_back();
    return c;
}

void SettingsModel_InitLimits() {
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

void SettingsModel_SetLimit(rlim_t soft) {
    struct rlimit rl = startlimit;
    if (soft != 0) rl.rlim_cur = soft < rl.rlim_max ? soft : rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        perror("settings fuzz: setrlimit");
        abort();
    }
}

int64_t SettingsModel_MaxOpenLimit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 1000005) return 1000000;
    return static_cast<int64_t>(rl.rlim_cur) - 5;
}

bool SettingsModel_LearnUsage(const std::string& help, int64_t limit, SettingsUsage* usage) {
    const std::string head = "corvashenmir 1.02 options:\n";
    const std::string stated = "limit: " + std::to_string(static_cast<uint32_t>(limit)) + ")";
    size_t at = help.find(stated);
    if (help.compare(0, head.size(), head) != 0 || at == std::string::npos) return false;
    usage->before = help.substr(head.size(), at + 7 - head.size());
    usage->after = help.substr(at + stated.size() - 1);
    return true;
}

SettingsExpectation SettingsModel_Expect(const std::vector<std::string>& args, int64_t limit,
                                         const SettingsUsage& usage) {
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
    struct Numeric {
        const char* name;
        int64_t lo, hi;
        std::string refusal;
        std::function<void(int64_t)> set;
    };
    const Numeric numeric[] = {
        {"--port", 1, 65535, "bad argument to '--port': must be 1..65535",
         [&s](int64_t v) { s.port = static_cast<int32_t>(v); }},
        {"--maxopen", 5, limit, "bad argument to '--maxopen': must be 5.." + std::to_string(limit),
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
        if (takes && i + 1 >= args.size()) return refused("missing argument to '" + name + "'");
        const std::string value = takes ? args[++i] : "";

        if (num != nullptr) {
            int64_t n = 0;
            if (!ReadInRange(value, num->lo, num->hi, &n)) return refused(num->refusal);
            num->set(n);
        } else if (name == "--help") {
            e.out += UsageFor(usage, prog, limit);
            e.returns = false;
            return e;
        } else if (name == "--recvmode") {
            int mode = WordIndex(value, {"truncate", "flat", "split", "forensic", "forensicraw"});
            if (mode < 0) return refused("bad argument to '--recvmode'");
            s.recvmode = mode;
        } else if (name == "--split") {
            int split = WordIndex(value, {"hour", "day"});
            if (split < 0) return refused("bad argument to '--split'");
            s.split = split == 1 ? SPLIT_DAY : SPLIT_HOUR;
        } else if (name == "--umask") {
            if (value.find_first_not_of("01234567") != std::string::npos)
                return refused("bad argument to --umask. expected octal number.");
            // Past its leading zeros, an octal number of three digits is 64 or more.
            std::string digits = WithoutLeadingZeros(value);
            if (digits.size() > 2) return refused("bad argument to --umask. expected octal number between 000 and 077.");
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

void SettingsModel_Check(const SettingsCase& c, int64_t limit, const SettingsRun& r, const SettingsExpectation& e) {
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
