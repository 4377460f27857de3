// SPDX-License-Identifier: BSD-2-Clause
// Load generator for corvashenmir: sequence-numbered fixed-size datagrams
// from S loopback source addresses, batched with sendmmsg, paced to a total
// rate, bounded by a count and a time limit.
//
// --gso 1 sends each batch as one UDP_SEGMENT send of batch x size bytes:
// the kernel cuts it into the same separate datagrams at the receiving
// socket, but the sender walks the IP stack once per batch, so one cpu can
// offer more than a receiver can take.
//
// Payload of source k, sequence q (exactly --size bytes, printable ASCII):
//   "b%05u %010u " then filler 'a'..'z' repeated
// Per-source sequence numbers start at --seqstart and grow by one.
//
// Source addresses (--scheme), k = --first .. --first + --sources - 1:
//   host: source k binds 127.0.0.(1+k)   k = 0..253
//   net:  source k binds 127.0.(1+k).1   k = 0..254
//
// Output, one line per source then one summary line, all key=value:
//   source k=0 addr=127.0.0.1 sent=N first=Q0 last=Q1
//   loadgen sent=N errors=E seconds=T rate=R offered=R0 size=B

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_SOURCES = 255;
constexpr int MAX_BATCH = 256;
constexpr int MAX_SIZE = 8192;
constexpr int MIN_SIZE = 18;  // "b%05u %010u " is 18 bytes
constexpr int SEQ_OFFSET = 7;  // first digit of the sequence field
constexpr int MAX_GSO_SEGMENTS = 64;
constexpr int MAX_GSO_BYTES = 65507;  // one IPv4 UDP payload

struct Options {
    int port = 0;
    const char* dst = "127.0.0.1";
    int sources = 4;
    int first = 0;  // index of the first source, so parallel senders use distinct sets
    int scheme_net = 0;
    int size = 100;
    double rate = 0;  // datagrams/s over all sources, 0 = unpaced
    uint64_t count = 1000000;
    double seconds = 10;
    int batch = 32;
    int gso = 0;
    uint32_t seqstart = 0;
};

struct Source {
    int fd;
    uint32_t next_seq;
    uint64_t quota;  // datagrams still to send
    uint64_t sent;
    char addr[INET_ADDRSTRLEN];
};

Source sources[MAX_SOURCES];
// One slot per batch entry; sequence digits are rewritten in place per send.
char slots[MAX_BATCH][MAX_SIZE];
struct iovec iovs[MAX_BATCH];
struct mmsghdr msgs[MAX_BATCH];
// The segmented send's batch, datagram after datagram.
char gsobuf[MAX_GSO_BYTES];

[[noreturn]] void Die(const char* msg) {
    std::fprintf(stderr, "corvashenmir_loadgen: %s\n", msg);
    std::exit(2);
}

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: corvashenmir_loadgen --port N [--dst 127.x.y.z] [--sources S]\n"
                 "       [--first K] [--scheme host|net] [--size BYTES] [--rate DGRAMS_PER_S]\n"
                 "       [--count TOTAL] [--seconds LIMIT] [--batch B] [--seqstart Q] [--gso 0|1]\n");
    std::exit(2);
}

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void SleepUntil(double t) {
    struct timespec ts;
    ts.tv_sec = time_t(t);
    ts.tv_nsec = long((t - double(ts.tv_sec)) * 1e9);
    if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

long long ParseInt(const char* s, long long lo, long long hi, const char* what) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) {
        std::fprintf(stderr, "corvashenmir_loadgen: bad %s '%s' (%lld..%lld)\n", what, s, lo, hi);
        std::exit(2);
    }
    return v;
}

double ParseDouble(const char* s, double lo, double hi, const char* what) {
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (end == s || *end != '\0' || !(v >= lo && v <= hi)) {
        std::fprintf(stderr, "corvashenmir_loadgen: bad %s '%s'\n", what, s);
        std::exit(2);
    }
    return v;
}

void ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (i + 1 >= argc) Usage();
        const char* v = argv[++i];
        if (!std::strcmp(a, "--port")) o.port = int(ParseInt(v, 1, 65535, "port"));
        else if (!std::strcmp(a, "--dst")) o.dst = v;
        else if (!std::strcmp(a, "--sources")) o.sources = int(ParseInt(v, 1, MAX_SOURCES, "sources"));
        else if (!std::strcmp(a, "--first")) o.first = int(ParseInt(v, 0, MAX_SOURCES - 1, "first"));
        else if (!std::strcmp(a, "--scheme")) {
            if (!std::strcmp(v, "host")) o.scheme_net = 0;
            else if (!std::strcmp(v, "net")) o.scheme_net = 1;
            else Usage();
        } else if (!std::strcmp(a, "--size")) o.size = int(ParseInt(v, MIN_SIZE, MAX_SIZE, "size"));
        else if (!std::strcmp(a, "--rate")) o.rate = ParseDouble(v, 0, 1e8, "rate");
        else if (!std::strcmp(a, "--count")) o.count = uint64_t(ParseInt(v, 1, 1000000000LL, "count"));
        else if (!std::strcmp(a, "--seconds")) o.seconds = ParseDouble(v, 0.01, 600, "seconds");
        else if (!std::strcmp(a, "--batch")) o.batch = int(ParseInt(v, 1, MAX_BATCH, "batch"));
        else if (!std::strcmp(a, "--gso")) o.gso = int(ParseInt(v, 0, 1, "gso"));
        else if (!std::strcmp(a, "--seqstart")) o.seqstart = uint32_t(ParseInt(v, 0, 4000000000LL, "seqstart"));
        else Usage();
    }
    if (o.port == 0) Usage();
    if (o.first + o.sources > (o.scheme_net ? 255 : 254)) Die("too many sources for the address scheme");
    if (uint64_t(o.seqstart) + o.count > 0xffffffffull) Die("--seqstart + --count exceeds 32 bits");
    if (o.gso && (o.batch > MAX_GSO_SEGMENTS || o.batch * o.size > MAX_GSO_BYTES))
        Die("--gso needs batch <= 64 and batch x size <= 65507");
}

// Writes v as exactly 10 decimal digits.
void PutSeq(char* p, uint32_t v) {
    for (int i = 9; i >= 0; i--) {
        p[i] = char('0' + v % 10);
        v /= 10;
    }
}

// Writes v as exactly 5 decimal digits.
void PutSource(char* p, int v) {
    for (int i = 4; i >= 0; i--) {
        p[i] = char('0' + v % 10);
        v /= 10;
    }
}

void FillSlots(int n, int size) {
    for (int i = 0; i < n; i++) {
        char* p = slots[i];
        std::memcpy(p, "b00000 0000000000 ", MIN_SIZE);
        for (int j = MIN_SIZE; j < size; j++) p[j] = char('a' + (j - MIN_SIZE) % 26);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    ParseArgs(argc, argv, o);

    // Traffic goes to loopback only.
    struct sockaddr_in dst;
    std::memset(&dst, 0, sizeof dst);
    dst.sin_family = AF_INET;
    dst.sin_port = htons(uint16_t(o.port));
    if (inet_pton(AF_INET, o.dst, &dst.sin_addr) != 1) Die("bad --dst address");
    if ((ntohl(dst.sin_addr.s_addr) >> 24) != 127) Die("--dst must be a 127.x.y.z address");

    for (int k = 0; k < o.sources; k++) {
        Source& s = sources[k];
        s.fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (s.fd < 0) Die("socket failed");
        struct sockaddr_in src;
        std::memset(&src, 0, sizeof src);
        src.sin_family = AF_INET;
        const uint32_t g = uint32_t(o.first + k + 1);
        uint32_t a = o.scheme_net ? (0x7f000001u | (g << 8)) : (0x7f000000u | g);
        src.sin_addr.s_addr = htonl(a);
        inet_ntop(AF_INET, &src.sin_addr, s.addr, sizeof s.addr);
        if (o.gso) {
            int seg = o.size;
            if (setsockopt(s.fd, IPPROTO_UDP, UDP_SEGMENT, &seg, sizeof seg) != 0) Die("UDP_SEGMENT refused");
        }
        if (bind(s.fd, reinterpret_cast<struct sockaddr*>(&src), sizeof src) != 0) {
            std::fprintf(stderr, "corvashenmir_loadgen: bind %s: %s\n", s.addr, std::strerror(errno));
            return 2;
        }
        // Connected: the kernel skips the route lookup per datagram.
        if (connect(s.fd, reinterpret_cast<struct sockaddr*>(&dst), sizeof dst) != 0) {
            std::fprintf(stderr, "corvashenmir_loadgen: connect: %s\n", std::strerror(errno));
            return 2;
        }
        s.next_seq = o.seqstart;
        s.quota = o.count / uint64_t(o.sources) + (uint64_t(k) < o.count % uint64_t(o.sources) ? 1 : 0);
        s.sent = 0;
    }

    FillSlots(o.batch, o.size);
    for (int i = 0; i < o.batch && o.gso; i++) std::memcpy(gsobuf + i * o.size, slots[i], size_t(o.size));
    for (int i = 0; i < o.batch; i++) {
        iovs[i].iov_base = slots[i];
        iovs[i].iov_len = size_t(o.size);
        std::memset(&msgs[i], 0, sizeof msgs[i]);
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }

    uint64_t total = 0;
    uint64_t errors = 0;
    int k = 0;
    int idle_sources = 0;
    const double start = Now();
    const double deadline = start + o.seconds;
    double now = start;

    while (total < o.count && now < deadline) {
        uint64_t allowed = uint64_t(o.batch);
        if (o.rate > 0) {
            // Datagram i is due at start + i / rate.
            double due = o.rate * (now - start);
            if (double(total) > due) {
                // Sleep until the next one is due, but not past the deadline.
                double t = start + double(total) / o.rate;
                SleepUntil(t < deadline ? t : deadline);
                now = Now();
                continue;
            }
            uint64_t a = uint64_t(due) + 1 - total;
            if (a < allowed) allowed = a;
        }
        Source& s = sources[k];
        if (s.quota == 0) {
            if (++idle_sources >= o.sources) break;
            k = (k + 1) % o.sources;
            continue;
        }
        idle_sources = 0;
        uint64_t n = s.quota < allowed ? s.quota : allowed;
        int r;
        if (o.gso) {
            for (uint64_t i = 0; i < n; i++) {
                char* p = gsobuf + i * uint64_t(o.size);
                PutSource(p + 1, o.first + k);
                PutSeq(p + SEQ_OFFSET, s.next_seq + uint32_t(i));
            }
            r = send(s.fd, gsobuf, n * uint64_t(o.size), 0) < 0 ? -1 : int(n);
        } else {
            for (uint64_t i = 0; i < n; i++) {
                PutSource(slots[i] + 1, o.first + k);
                PutSeq(slots[i] + SEQ_OFFSET, s.next_seq + uint32_t(i));
            }
            r = sendmmsg(s.fd, msgs, unsigned(n), 0);
        }
        if (r < 0) {
            // A refused or full port loses this datagram (a segmented send:
            // the whole batch); count it and move on.
            const uint32_t lost = o.gso ? uint32_t(n) : 1;
            errors += lost;
            s.next_seq += lost;
            s.quota -= lost;
        } else {
            s.next_seq += uint32_t(r);
            s.quota -= uint64_t(r);
            s.sent += uint64_t(r);
            total += uint64_t(r);
        }
        k = (k + 1) % o.sources;
        now = Now();
    }
    double elapsed = Now() - start;

    for (int j = 0; j < o.sources; j++) {
        const Source& s = sources[j];
        std::printf("source k=%d addr=%s sent=%llu first=%u last=%u\n", o.first + j, s.addr,
                    static_cast<unsigned long long>(s.sent), o.seqstart, s.next_seq == o.seqstart ? o.seqstart : s.next_seq - 1);
        close(s.fd);
    }
    std::printf("loadgen sent=%llu errors=%llu seconds=%.6f rate=%.1f offered=%.1f size=%d sources=%d\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(errors), elapsed,
                elapsed > 0 ? double(total) / elapsed : 0.0, o.rate, o.size, o.sources);
    return 0;
}
