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
// --pktinfo 1 sends from one unbound socket instead and names the source of
// each datagram in an IP_PKTINFO (IPV6_PKTINFO) message, so one process has
// up to 4,194,304 sources: source k is --src-base + k, counted on the last
// 32 bits. Any 127.x.y.z is local; an IPv6 source is taken with
// IPV6_FREEBIND, for a prefix that a network namespace routes to its lo.
// A batch may hold datagrams of several sources, each source's in a row; the
// payload's source field is then k mod 100000.
//
// Output, one line per source (unless --per-source 0) then one summary line,
// all key=value:
//   source k=0 addr=127.0.0.1 sent=N first=Q0 last=Q1
//   loadgen sent=N errors=E seconds=T rate=R offered=R0 size=B sources=S

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
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
constexpr uint32_t MAX_PKTINFO_SOURCES = 1u << 22;

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
    int pktinfo = 0;
    const char* src_base = "127.0.0.1";
    int per_source = 1;
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

// Per-source state of the pktinfo mode, where the address is computed.
struct PktSource {
    uint32_t next_seq;
    uint32_t quota;
    uint32_t sent;
};

PktSource pktsources[MAX_PKTINFO_SOURCES];
union Ctrl {
    char buf[CMSG_SPACE(sizeof(struct in6_pktinfo))];
    struct cmsghdr align;
};
Ctrl ctrls[MAX_BATCH];
uint32_t slot_source[MAX_BATCH];  // source index of each batch entry

[[noreturn]] void Die(const char* msg) {
    std::fprintf(stderr, "corvashenmir_loadgen: %s\n", msg);
    std::exit(2);
}

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: corvashenmir_loadgen --port N [--dst 127.x.y.z] [--sources S]\n"
                 "       [--first K] [--scheme host|net] [--size BYTES] [--rate DGRAMS_PER_S]\n"
                 "       [--count TOTAL] [--seconds LIMIT] [--batch B] [--seqstart Q] [--gso 0|1]\n"
                 "       [--pktinfo 0|1] [--src-base ADDR] [--per-source 0|1]   (--dst 127.x.y.z or ::1)\n");
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
        else if (!std::strcmp(a, "--sources")) o.sources = int(ParseInt(v, 1, MAX_PKTINFO_SOURCES, "sources"));
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
        else if (!std::strcmp(a, "--pktinfo")) o.pktinfo = int(ParseInt(v, 0, 1, "pktinfo"));
        else if (!std::strcmp(a, "--src-base")) o.src_base = v;
        else if (!std::strcmp(a, "--per-source")) o.per_source = int(ParseInt(v, 0, 1, "per-source"));
        else Usage();
    }
    if (o.port == 0) Usage();
    if (o.pktinfo && o.gso) Die("--pktinfo and --gso exclude each other");
    if (!o.pktinfo && o.sources > MAX_SOURCES) Die("more than 255 sources need --pktinfo 1");
    if (!o.pktinfo && o.first + o.sources > (o.scheme_net ? 255 : 254))
        Die("too many sources for the address scheme");
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

// Datagrams the next send may carry: at most a batch, and when paced only
// those due by now (datagram i is due at start + i / rate). 0 after a sleep
// until the next one is due, but not past the deadline.
uint64_t Allowed(const Options& o, double start, double deadline, uint64_t total, double& now) {
    uint64_t allowed = uint64_t(o.batch);
    if (o.rate > 0) {
        double due = o.rate * (now - start);
        if (double(total) > due) {
            double t = start + double(total) / o.rate;
            SleepUntil(t < deadline ? t : deadline);
            now = Now();
            return 0;
        }
        uint64_t a = uint64_t(due) + 1 - total;
        if (a < allowed) allowed = a;
    }
    return allowed;
}

void PrintSummary(uint64_t total, uint64_t errors, double elapsed, const Options& o) {
    std::printf("loadgen sent=%llu errors=%llu seconds=%.6f rate=%.1f offered=%.1f size=%d sources=%d\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(errors), elapsed,
                elapsed > 0 ? double(total) / elapsed : 0.0, o.rate, o.size, o.sources);
}

void PrintSource(int k, const char* addr, uint64_t sent, uint32_t seqstart, uint32_t next_seq) {
    std::printf("source k=%d addr=%s sent=%llu first=%u last=%u\n", k, addr, static_cast<unsigned long long>(sent),
                seqstart, next_seq == seqstart ? seqstart : next_seq - 1);
}

// The address family's view of one address: 16 bytes, IPv4 in the first 4.
struct Addr16 {
    unsigned char b[16];
};

// Adds k to the last 32 bits of an address of len bytes; false on a carry out.
bool AddrPlus(const Addr16& base, int len, uint32_t k, Addr16& out) {
    out = base;
    uint64_t v = 0;
    for (int i = len - 4; i < len; i++) v = (v << 8) | out.b[i];
    v += k;
    if (v > 0xffffffffull) return false;
    for (int i = len - 1; i >= len - 4; i--) {
        out.b[i] = static_cast<unsigned char>(v & 0xff);
        v >>= 8;
    }
    return true;
}

// One unbound socket; every datagram's source comes from its control message.
int RunPktinfo(const Options& o) {
    struct sockaddr_in6 dst6;
    struct sockaddr_in dst4;
    std::memset(&dst6, 0, sizeof dst6);
    std::memset(&dst4, 0, sizeof dst4);
    const bool v6 = std::strchr(o.dst, ':') != nullptr;
    Addr16 base;
    std::memset(&base, 0, sizeof base);
    // Traffic goes to loopback only.
    if (v6) {
        dst6.sin6_family = AF_INET6;
        dst6.sin6_port = htons(uint16_t(o.port));
        if (inet_pton(AF_INET6, o.dst, &dst6.sin6_addr) != 1) Die("bad --dst address");
        if (!IN6_IS_ADDR_LOOPBACK(&dst6.sin6_addr)) Die("an IPv6 --dst must be ::1");
        if (inet_pton(AF_INET6, o.src_base, base.b) != 1) Die("--src-base must be an IPv6 address");
    } else {
        dst4.sin_family = AF_INET;
        dst4.sin_port = htons(uint16_t(o.port));
        if (inet_pton(AF_INET, o.dst, &dst4.sin_addr) != 1) Die("bad --dst address");
        if ((ntohl(dst4.sin_addr.s_addr) >> 24) != 127) Die("--dst must be a 127.x.y.z address");
        if (inet_pton(AF_INET, o.src_base, base.b) != 1 || base.b[0] != 127)
            Die("--src-base must be a 127.x.y.z address");
    }
    const int len = v6 ? 16 : 4;
    Addr16 last;
    if (!AddrPlus(base, len, uint32_t(o.sources - 1), last) || (!v6 && last.b[0] != 127))
        Die("--src-base + --sources leaves the address range");

    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) Die("socket failed");
    int one = 1;
    if (v6 && setsockopt(fd, IPPROTO_IPV6, IPV6_FREEBIND, &one, sizeof one) != 0) Die("IPV6_FREEBIND refused");

    for (int k = 0; k < o.sources; k++) {
        PktSource& s = pktsources[k];
        s.next_seq = o.seqstart;
        s.quota = uint32_t(o.count / uint64_t(o.sources) + (uint64_t(k) < o.count % uint64_t(o.sources) ? 1 : 0));
        s.sent = 0;
    }
    FillSlots(o.batch, o.size);
    for (int i = 0; i < o.batch; i++) {
        iovs[i].iov_base = slots[i];
        iovs[i].iov_len = size_t(o.size);
        std::memset(&msgs[i], 0, sizeof msgs[i]);
        struct msghdr& h = msgs[i].msg_hdr;
        h.msg_iov = &iovs[i];
        h.msg_iovlen = 1;
        h.msg_name = v6 ? static_cast<void*>(&dst6) : static_cast<void*>(&dst4);
        h.msg_namelen = v6 ? sizeof dst6 : sizeof dst4;
        h.msg_control = ctrls[i].buf;
        h.msg_controllen = v6 ? CMSG_SPACE(sizeof(struct in6_pktinfo)) : CMSG_SPACE(sizeof(struct in_pktinfo));
        std::memset(ctrls[i].buf, 0, sizeof ctrls[i].buf);
        struct cmsghdr* c = CMSG_FIRSTHDR(&h);
        c->cmsg_level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
        c->cmsg_type = v6 ? IPV6_PKTINFO : IP_PKTINFO;
        c->cmsg_len = v6 ? CMSG_LEN(sizeof(struct in6_pktinfo)) : CMSG_LEN(sizeof(struct in_pktinfo));
    }

    uint64_t total = 0;
    uint64_t errors = 0;
    uint32_t k = 0;
    const uint32_t nsources = uint32_t(o.sources);
    const double start = Now();
    const double deadline = start + o.seconds;
    double now = start;
    while (total < o.count && now < deadline) {
        const uint64_t allowed = Allowed(o, start, deadline, total, now);
        if (allowed == 0) continue;
        // Fill the batch: each source's datagrams in a row, then the next source.
        int n = 0;
        uint32_t idle = 0;
        uint32_t kk = k;
        while (uint64_t(n) < allowed && idle < nsources) {
            PktSource& s = pktsources[kk];
            if (s.quota == 0) {
                idle++;
                kk = kk + 1 == nsources ? 0 : kk + 1;
                continue;
            }
            idle = 0;
            Addr16 a;
            AddrPlus(base, len, kk, a);
            uint64_t take = allowed - uint64_t(n);
            if (s.quota < take) take = s.quota;
            // Taken now, so a batch that comes round to the source again goes on from here.
            for (uint64_t j = 0; j < take; j++, n++) {
                PutSource(slots[n] + 1, int(kk % 100000));
                PutSeq(slots[n] + SEQ_OFFSET, s.next_seq++);
                s.quota--;
                slot_source[n] = kk;
                void* pi = CMSG_DATA(CMSG_FIRSTHDR(&msgs[n].msg_hdr));
                if (v6) std::memcpy(static_cast<char*>(pi) + offsetof(struct in6_pktinfo, ipi6_addr), a.b, 16);
                else std::memcpy(static_cast<char*>(pi) + offsetof(struct in_pktinfo, ipi_spec_dst), a.b, 4);
            }
            kk = kk + 1 == nsources ? 0 : kk + 1;
        }
        if (n == 0) break;
        int r = sendmmsg(fd, msgs, unsigned(n), 0);
        // A refused send loses its first datagram: count it and move on.
        const int done = r < 0 ? 1 : r;
        if (r < 0) errors++;
        for (int j = 0; j < r; j++) pktsources[slot_source[j]].sent++;
        total += uint64_t(r < 0 ? 0 : r);
        // What was not sent goes back, the last first, so each source resumes in order.
        for (int j = n - 1; j >= done; j--) {
            PktSource& s = pktsources[slot_source[j]];
            s.next_seq--;
            s.quota++;
        }
        k = done < n ? slot_source[done] : kk;
        now = Now();
    }
    double elapsed = Now() - start;
    for (int j = 0; j < o.sources && o.per_source; j++) {
        const PktSource& s = pktsources[j];
        Addr16 a;
        AddrPlus(base, len, uint32_t(j), a);
        char text[INET6_ADDRSTRLEN];
        inet_ntop(v6 ? AF_INET6 : AF_INET, a.b, text, sizeof text);
        PrintSource(j, text, s.sent, o.seqstart, s.next_seq);
    }
    PrintSummary(total, errors, elapsed, o);
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    ParseArgs(argc, argv, o);
    if (o.pktinfo) return RunPktinfo(o);

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
        const uint64_t allowed = Allowed(o, start, deadline, total, now);
        if (allowed == 0) continue;
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
        if (o.per_source) PrintSource(o.first + j, s.addr, s.sent, o.seqstart, s.next_seq);
        close(s.fd);
    }
    PrintSummary(total, errors, elapsed, o);
    return 0;
}
