// SPDX-License-Identifier: BSD-2-Clause
// The ceiling for one receiving thread: receives and only counts datagrams
// and bytes. Two modes:
//   recvfrom: a non-blocking try, else a poll bounded at 250 ms, then one
//             recvfrom of up to 8192 bytes per datagram;
//   recvmmsg: a non-blocking recvmmsg of up to 64 datagrams into slots of
//             8192 + 1 bytes, and the same bounded poll when it returns none.
// An IPv6 --addr (such as ::) makes a dual-stack socket, as the daemon's.
//
// Stops on SIGTERM/SIGINT or after --seconds and prints:
//   barerecv datagrams=N bytes=B seconds=T rcvbuf=R mode=M

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile sig_atomic_t StopFlag = 0;

void OnStop(int) { StopFlag = 1; }

constexpr int WAIT_MS = 250;
constexpr int BATCH = 64;
constexpr size_t SLOT = 8192 + 1;

char buf[8192];
char slots[BATCH][SLOT];
struct iovec iovs[BATCH];
// Room for either family's address.
struct sockaddr_in6 froms[BATCH];
struct mmsghdr msgs[BATCH];

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: corvashenmir_barerecv --port N [--addr 127.x.y.z|0.0.0.0|::|::1] [--rcvbuf BYTES]\n"
                 "       [--seconds LIMIT] [--mode recvfrom|recvmmsg]\n");
    std::exit(2);
}

bool WaitReadable(int fd) {
    struct pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    return poll(&p, 1, WAIT_MS) > 0;
}

bool Transient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// One datagram per call; the shape of the daemon's loop before batching.
void LoopRecvfrom(int fd, double deadline, uint64_t& datagrams, uint64_t& bytes) {
    uint32_t turns = 0;
    while (!StopFlag) {
        // The clock is read only now and then; a flood must not pay for it.
        if ((++turns & 1023) == 0 && Now() >= deadline) break;
        struct sockaddr_in6 from;
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from), &flen);
        if (n < 0) {
            if (!Transient(errno)) {
                std::perror("recvfrom");
                break;
            }
            if (Now() >= deadline) break;
            if (!WaitReadable(fd)) continue;
            flen = sizeof from;
            n = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from), &flen);
            if (n < 0) continue;
        }
        datagrams++;
        bytes += uint64_t(n);
    }
}

// Up to BATCH datagrams per call; waits only when a call returns nothing,
// because recvmmsg checks its own timeout only after a datagram arrives.
void LoopRecvmmsg(int fd, double deadline, uint64_t& datagrams, uint64_t& bytes) {
    for (int i = 0; i < BATCH; i++) {
        iovs[i].iov_base = slots[i];
        iovs[i].iov_len = SLOT - 1;
        std::memset(&msgs[i], 0, sizeof msgs[i]);
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &froms[i];
    }
    uint32_t turns = 0;
    while (!StopFlag) {
        if ((++turns & 127) == 0 && Now() >= deadline) break;
        // The kernel shortens each address length; a stale one would cut the next address.
        for (int i = 0; i < BATCH; i++) msgs[i].msg_hdr.msg_namelen = sizeof froms[i];
        int n = recvmmsg(fd, msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (!Transient(errno)) {
                std::perror("recvmmsg");
                break;
            }
            if (Now() >= deadline) break;
            WaitReadable(fd);
            continue;
        }
        datagrams += uint64_t(n);
        for (int i = 0; i < n; i++) bytes += msgs[i].msg_len;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    const char* addr = "127.0.0.1";
    int rcvbuf = 0;  // 0: leave the system default, as the daemon does
    double seconds = 600;
    bool batched = false;
    for (int i = 1; i < argc; i++) {
        if (i + 1 >= argc) Usage();
        const char* a = argv[i];
        const char* v = argv[++i];
        if (!std::strcmp(a, "--port")) port = std::atoi(v);
        else if (!std::strcmp(a, "--addr")) addr = v;
        else if (!std::strcmp(a, "--rcvbuf")) rcvbuf = std::atoi(v);
        else if (!std::strcmp(a, "--seconds")) seconds = std::atof(v);
        else if (!std::strcmp(a, "--mode")) {
            if (!std::strcmp(v, "recvmmsg")) batched = true;
            else if (std::strcmp(v, "recvfrom") != 0) Usage();
        } else Usage();
    }
    if (port < 1 || port > 65535 || rcvbuf < 0 || !(seconds > 0 && seconds <= 3600)) Usage();

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    const bool v6 = std::strchr(addr, ':') != nullptr;
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("socket");
        return 2;
    }
    int zero = 0;
    if (v6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) != 0) {
        std::perror("setsockopt IPV6_V6ONLY");
        return 2;
    }
    if (rcvbuf > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0) {
        std::perror("setsockopt SO_RCVBUF");
        return 2;
    }
    struct sockaddr_in sin;
    struct sockaddr_in6 sin6;
    std::memset(&sin, 0, sizeof sin);
    std::memset(&sin6, 0, sizeof sin6);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(uint16_t(port));
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = sin.sin_port;
    if (inet_pton(v6 ? AF_INET6 : AF_INET, addr, v6 ? static_cast<void*>(&sin6.sin6_addr) : &sin.sin_addr) != 1)
        Usage();
    const struct sockaddr* bound =
        v6 ? reinterpret_cast<struct sockaddr*>(&sin6) : reinterpret_cast<struct sockaddr*>(&sin);
    if (bind(fd, bound, v6 ? sizeof sin6 : sizeof sin) != 0) {
        std::perror("bind");
        return 2;
    }
    int effective = 0;
    socklen_t elen = sizeof effective;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &effective, &elen);

    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    const double start = Now();
    const double deadline = start + seconds;
    if (batched) LoopRecvmmsg(fd, deadline, datagrams, bytes);
    else LoopRecvfrom(fd, deadline, datagrams, bytes);
    std::printf("barerecv datagrams=%llu bytes=%llu seconds=%.6f rcvbuf=%d mode=%s\n",
                static_cast<unsigned long long>(datagrams), static_cast<unsigned long long>(bytes), Now() - start,
                effective, batched ? "recvmmsg" : "recvfrom");
    close(fd);
    return 0;
}
