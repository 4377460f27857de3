// SPDX-License-Identifier: BSD-2-Clause
// Preloaded into the daemon by the end-to-end tests: its IPv6 socket fails
// as on a host without IPv6, while IPv4 sockets work as usual.
//
// CORVASHENMIR_NO_IPV6="<call> <errno>" picks which call fails on an IPv6
// socket and with what error number: socket, setsockopt (IPV6_V6ONLY) or
// bind. Unset, socket(AF_INET6, ...) fails with EAFNOSUPPORT.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

static int Failing(const char* call) {
    const char* setting = getenv("CORVASHENMIR_NO_IPV6");
    char name[16];
    int err;
    if (setting == NULL) return strcmp(call, "socket") == 0 ? EAFNOSUPPORT : 0;
    if (sscanf(setting, "%15s %d", name, &err) != 2 || strcmp(name, call) != 0) return 0;
    return err;
}

// ISO C has no cast from an object pointer to a function pointer: copy it.
static void Next(const char* symbol, void* fn, size_t size) {
    void* p = dlsym(RTLD_NEXT, symbol);
    if (p == NULL) abort();
    memcpy(fn, &p, size);
}

int socket(int domain, int type, int protocol) {
    static int (*real)(int, int, int);
    int err = domain == AF_INET6 ? Failing("socket") : 0;
    if (err != 0) {
        errno = err;
        return -1;
    }
    if (real == NULL) Next("socket", &real, sizeof real);
    return real(domain, type, protocol);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
    static int (*real)(int, int, int, const void*, socklen_t);
    int err = level == IPPROTO_IPV6 && name == IPV6_V6ONLY ? Failing("setsockopt") : 0;
    if (err != 0) {
        errno = err;
        return -1;
    }
    if (real == NULL) Next("setsockopt", &real, sizeof real);
    return real(fd, level, name, value, len);
}

// glibc's own parameter type: with _GNU_SOURCE a union of the sockaddr types.
int bind(int fd, __CONST_SOCKADDR_ARG addr, socklen_t len) {
    static int (*real)(int, __CONST_SOCKADDR_ARG, socklen_t);
    int err = addr.__sockaddr__->sa_family == AF_INET6 ? Failing("bind") : 0;
    if (err != 0) {
        errno = err;
        return -1;
    }
    if (real == NULL) Next("bind", &real, sizeof real);
    return real(fd, addr, len);
}
