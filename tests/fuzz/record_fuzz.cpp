// SPDX-License-Identifier: BSD-2-Clause
// The record path in every receive mode: Record_Store writes through an open
// Dest into a real file, which is then compared byte for byte with a small
// model of the modes written here from their rules alone.
//
// Input: one settings byte, then datagrams, each as
//   n, 2 bytes, low byte first: the received length; 0 takes the pattern's length
//   k, 2 bytes: the pattern's length (top bit: close and reopen the file first)
//   the k pattern bytes, repeated to fill the datagram's min(n, 8192) bytes,
// so a short input still reaches the 8192-byte cut. The settings byte: bits
// 0-2 the recvmode value (5 to 7 behave as split), bit 3 oldtimestamp, bits
// 4-7 the buffer size, picked around the size of one whole record.

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "dest/dest.h"
#include "dest/dest_hash.h"
#include "recv/record.h"
#include "shell/settings.h"

namespace {

constexpr size_t TEXT_MAX = 8192;     // the longest text a datagram leaves
constexpr int DATAGRAMS_MAX = 16;     // per input, to bound the time of one run
constexpr const char* ADDR = "192.0.2.7";
constexpr const char* FILE_PATH = "192.0.2.7/192.0.2.7-2024050607";

// 2024-05-06 07:08:09 UTC; the microseconds change per datagram.
constexpr int64_t SEC = 1714979289;
constexpr const char* OLD_STAMP = "May  6 07:08:09";

constexpr int32_t BUFSIZES[16] = {1024, 1025, 1500, 2048, 4096, 8191, 8192, 8232,
                                  8240, 8300, 9000, 16384, 32768, 65536, 100000, 131072};

int homefd = -1;  // the directory the fuzzer was started in
std::string roottemplate;
std::string rootpath;  // the temporary root, holding the source's directory

bool IsControlByte(unsigned char c) { return c <= 0x1F || (c >= 0x80 && c <= 0x9F); }

std::string Stamp(bool old, uint32_t usec) {
    if (old) return OLD_STAMP;
    char micro[8];
    snprintf(micro, sizeof micro, "%06u", usec);
    return std::string("2024-05-06T07:08:09.") + micro + "+00:00";
}

// text with every byte for which blank() holds replaced by a space.
template <typename Pred>
std::string Blanked(std::string text, Pred blank) {
    for (char& c : text)
        if (blank(static_cast<unsigned char>(c))) c = ' ';
    return text;
}

// What one datagram of this text adds to the file in the given mode.
std::string Expected(int32_t mode, const std::string& stamp, const std::string& text) {
    std::string head = stamp + " " + ADDR + " ";
    auto control = [](unsigned char c) { return IsControlByte(c); };
    switch (mode) {
    case RECVMODE_TRUNCATE:
        return head + Blanked(text.substr(0, text.find('\n')), control) + "\n";
    case RECVMODE_FLAT:
        return head + Blanked(text, control) + "\n";
    case RECVMODE_FORENSIC:
        return head + std::to_string(text.size()) + " " +
               Blanked(text, [](unsigned char c) { return c != '\n' && IsControlByte(c); }) + "\n";
    case RECVMODE_FORENSICRAW:
        return head + std::to_string(text.size()) + " " +
               Blanked(text, [](unsigned char c) { return c == '\0'; }) + "\n";
    default: {
        // Split: k LFs cut the text into k + 1 pieces; a text that ends with
        // its LF leaves an empty last piece, which is no record.
        std::vector<std::string> pieces(1);
        for (char c : text) {
            if (c == '\n')
                pieces.emplace_back();
            else
                pieces.back() += c;
        }
        if (pieces.size() > 1 && pieces.back().empty()) pieces.pop_back();
        std::string out;
        for (const std::string& p : pieces) out += head + Blanked(p, control) + "\n";
        return out;
    }
    }
}

std::string Printable(const std::string& s, size_t from, size_t count) {
    std::string out;
    for (size_t i = from; i < s.size() && i < from + count; i++) {
        auto c = static_cast<unsigned char>(s[i]);
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, static_cast<char>(c)) : hex;
    }
    return out;
}

// Back in the starting directory first, so the fuzzer saves the input where it was told.
[[noreturn]] void Fail(const char* what) {
    if (homefd >= 0 && fchdir(homefd) != 0) perror("fchdir");
    fprintf(stderr, "record fuzz: %s: recvmode=%d oldtimestamp=%d bufsize=%d\n", what,
            Settings.recvmode, Settings.oldtimestamp, Settings.bufsize);
    abort();
}

std::string ReadAll(const char* path) {
    std::string out;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

void Compare(const std::string& expected, const std::string& actual) {
    if (expected == actual) return;
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) at++;
    size_t from = at < 40 ? 0 : at - 40;
    fprintf(stderr, "record fuzz: file holds %zu bytes, model %zu; first difference at %zu\n"
                    "  file:  ...%s\n  model: ...%s\n",
            actual.size(), expected.size(), at, Printable(actual, from, 120).c_str(),
            Printable(expected, from, 120).c_str());
    Fail("file differs from the model");
}

// A fresh root for every input, removed at its end: the fuzzer leaves
// through _Exit, so nothing would clean up at exit.
void EnterRoot() {
    std::string path = roottemplate;
    if (mkdtemp(path.data()) == nullptr || chdir(path.c_str()) != 0 || mkdir(ADDR, 0700) != 0) {
        perror("record fuzz: root");
        abort();
    }
    rootpath = path;
}

void RemoveRoot() {
    unlink(FILE_PATH);
    rmdir(ADDR);
    if (fchdir(homefd) != 0) Fail("fchdir back");
    rmdir(rootpath.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC0", 1);
    tzset();
    const char* tmp = getenv("TMPDIR");
    roottemplate = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/corvashenmir-fuzz-XXXXXX";
    homefd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (homefd < 0) {
        perror("record fuzz: open .");
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Settings = SettingsRecord{};
    Settings.recvmode = data[0] & 7;
    Settings.oldtimestamp = (data[0] >> 3) & 1;
    Settings.bufsize = BUFSIZES[data[0] >> 4];
    // A changed oldtimestamp takes effect at the next rebuild of the clock.
    Clock = ClockRecord{};
    Clock_UpdateAt(&Clock, SEC, 0, nullptr);

    // The daemon works relative to its root, as after its change of directory.
    EnterRoot();
    uint32_t v4 = 0;
    inet_pton(AF_INET, ADDR, &v4);
    const Addr ip = Addr_FromV4(v4);
    if (DestHash.empty()) DestHash_Init(Settings.maxopen);
    Dest d{};
    if (!Dest_Open(&d, ip)) Fail("Dest_Open");

    std::string expected;
    size_t pos = 1;
    for (int count = 0; count < DATAGRAMS_MAX && pos + 4 <= size; count++) {
        size_t n = data[pos] | data[pos + 1] << 8;
        size_t k = data[pos + 2] | (data[pos + 3] & 0x7F) << 8;
        bool reopen = (data[pos + 3] & 0x80) != 0;
        pos += 4;
        if (k > size - pos) k = size - pos;
        std::string pattern(reinterpret_cast<const char*>(data + pos), k);
        pos += k;
        if (n == 0) n = k;
        if (n == 0) continue;  // the receive loop stores no empty datagram
        if (pattern.empty()) pattern = "x";

        size_t len = n < TEXT_MAX ? n : TEXT_MAX;
        std::string text;
        while (text.size() < len) text += pattern;
        text.resize(len);
        // Exactly the room Record_Store may use, so ASan sees any byte beyond it.
        std::vector<char> buf(len + 1, '#');
        std::copy(text.begin(), text.end(), buf.begin());

        if (reopen) {
            Dest_Close(&d);
            if (!Dest_Open(&d, ip)) Fail("Dest_Open again");
        }
        auto usec = static_cast<uint32_t>((static_cast<size_t>(count) * 104729 + n) % 1000000);
        Clock_UpdateAt(&Clock, SEC, usec, nullptr);
        expected += Expected(Settings.recvmode, Stamp(Settings.oldtimestamp != 0, usec), text);
        Record_Store(&d, buf.data(), n);
    }
    Dest_Close(&d);

    std::string actual = ReadAll(FILE_PATH);
    RemoveRoot();
    Compare(expected, actual);
    return 0;
}
