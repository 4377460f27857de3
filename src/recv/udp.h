// SPDX-License-Identifier: BSD-2-Clause
// The daemon's one UDP socket, dual stack unless told otherwise, as a source
// of the receive loop.
#pragma once

#include <cstdint>

// Makes and binds the socket on every local address at Settings.port: one
// IPv6 socket that also takes IPv4 (as IPv4-mapped senders), or with
// --ipv4only, or where the system has no IPv6, an IPv4 socket. Sets the
// receive buffer of --rcvbuf before the bind and logs what it got, then adds
// the socket to the receive loop. Fatal when no socket can be bound.
int Udp_Open();

// The socket's receive queue, read from the kernel; reading it also brings
// Totals.kernelDrops up to the socket's own count of datagrams it had no
// room for.
struct UdpQueue {
    uint32_t queued;  // bytes waiting
    uint32_t buffer;  // size of the receive buffer
    bool known;       // the kernel told; else both are 0
};
UdpQueue Udp_ReadQueue();
