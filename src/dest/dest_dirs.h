// SPDX-License-Identifier: BSD-2-Clause
// Which sources have a directory below the root: asked for every datagram of
// a source without a descriptor, so that sources nobody made a directory for
// cost neither an open nor a descriptor.
#pragma once

// Whether the root holds a directory named addrtext (a link to one counts).
// Answered from the names read from the root while the root is unchanged
// since (its modification and change times, link count and inode, looked at
// once after every DestDirs_Recheck); else, and for a name that is a link,
// by asking the kernel. A flood of datagrams from forged addresses, each a
// new name, then costs no system call: the kernel's answer for a name it has
// not seen takes it a directory search and a new cache entry.
bool DestDirs_Has(const char* addrtext);

// Reads the root's names anew. At start-up, each rollover and hangup, and
// from DestDirs_Tick; allocates the table. Should the root change while it
// is read, or cannot be read, the kernel keeps answering until the next read.
void DestDirs_Read();

// Once a second: reads the names anew when the root has changed since, and
// once more two ticks after a read with the root unchanged, for what changed
// within the same tick of the coarse clock that stamps the root's times.
void DestDirs_Tick();

// After every receive: a directory made before a datagram was sent is seen
// when that datagram is routed.
void DestDirs_Recheck();
