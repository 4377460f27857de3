// The ceiling for one receiving thread: receives the way corvashenmir does
// (a non-blocking try, else a poll bounded at 250 ms, then one recvfrom of
// up to 8192 bytes per datagram) and only counts datagrams and bytes.
//
// Stops on SIGTERM/SIGINT or after --seconds and prints:
//   barerecv datagrams=N bytes=B seconds=T rcvbuf=R

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

char buf[8192];

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: corvashenmir_barerecv --port N [--addr 127.x.y.z|0.0.0.0] [--rcvbuf BYTES]\n"
                 "       [--seconds LIMIT]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    const char* addr = "127.0.0.1";
    int rcvbuf = 0;  // 0: leave the system default, as the daemon does
    double seconds = 600;
    for (int i = 1; i < argc; i++) {
        if (i + 1 >= argc) Usage();
        const char* a = argv[i];
        const char* v = argv[++i];
        if (!std::strcmp(a, "--port")) port = std::atoi(v);
        else if (!std::strcmp(a, "--addr")) addr = v;
        else if (!std::strcmp(a, "--rcvbuf")) rcvbuf = std::atoi(v);
        else if (!std::strcmp(a, "--seconds")) seconds = std::atof(v);
        else Usage();
    }
    if (port < 1 || port > 65535 || rcvbuf < 0 || !(seconds > 0 && seconds <= 3600)) Usage();

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("socket");
        return 2;
    }
    if (rcvbuf > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0) {
        std::perror("setsockopt SO_RCVBUF");
        return 2;
    }
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, addr, &sin.sin_addr) != 1) Usage();
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) != 0) {
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
    uint32_t turns = 0;
    while (!StopFlag) {
        // The clock is read only now and then; a flood must not pay for it.
        if ((++turns & 1023) == 0 && Now() >= deadline) break;
        struct sockaddr_in from;
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from), &flen);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                std::perror("recvfrom");
                break;
            }
            if (Now() >= deadline) break;
            struct pollfd p;
            p.fd = fd;
            p.events = POLLIN;
            p.revents = 0;
            if (poll(&p, 1, 250) <= 0) continue;
            flen = sizeof from;
            n = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from), &flen);
            if (n < 0) continue;
        }
        datagrams++;
        bytes += uint64_t(n);
    }
    std::printf("barerecv datagrams=%llu bytes=%llu seconds=%.6f rcvbuf=%d\n",
                static_cast<unsigned long long>(datagrams), static_cast<unsigned long long>(bytes), Now() - start,
                effective);
    close(fd);
    return 0;
}
