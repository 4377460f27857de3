// SPDX-License-Identifier: BSD-2-Clause
// The daemon's one UDP socket: dual stack unless told otherwise.
#pragma once

// Makes and binds the socket on every local address at Settings.port: one
// IPv6 socket that also takes IPv4 (as IPv4-mapped senders), or with
// --ipv4only, or where the system has no IPv6, an IPv4 socket. Sets the
// receive buffer of --rcvbuf before the bind and logs what it got. Fatal when
// no socket can be bound.
int Listen_Open();
