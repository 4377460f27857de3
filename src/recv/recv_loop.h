// SPDX-License-Identifier: BSD-2-Clause
// The receive loop: one epoll set of the sources of messages, the
// once-a-second work, rollover, hangup and stop. Every message, from
// whatever source, goes through Recv_Message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/addr.h"

// A source of messages the loop waits on. ready takes what is waiting on fd
// (events are epoll's), calls Recv_Clock after each read, and hands each
// message it read to Recv_Message; it returns
// false when it found nothing, which lets a stop end. period, when set,
// writes the source's own lines at the end of each statistics period, right
// after the statistics line.
struct RecvSource {
    int fd;
    bool (*ready)(RecvSource* source, uint32_t events);
    void (*period)(RecvSource* source);
};

// Adds source, which lives as long as the loop, to the set, waiting for
// events. Fatal when the set cannot take it.
void Recv_AddSource(RecvSource* source, uint32_t events);

// Reads the clock for what a source has just read, so its messages carry
// the time their bytes were read, and does the work of a new second, a
// rollover or a hangup that is due before they are stored.
void Recv_Clock();

// One message of len bytes from source, read at the last Recv_Clock; data
// has room for one byte more than RECORD_MAXTEXT. It goes to its source's
// file, or is counted as dropped; a message of no bytes is neither.
void Recv_Message(const Addr& source, char* data, size_t len);

// Runs until a stop is requested and what the sources already hold is
// stored. report, when set, is called every ten seconds, at each rollover
// and after a hangup.
void Recv_Loop(void (*report)());

// Ends the last period, as a rollover would: the open gate's report, the
// statistics line and the fail reports. Once, at shutdown.
void Recv_EndPeriod();
