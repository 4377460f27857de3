// SPDX-License-Identifier: BSD-2-Clause
// Descriptors at the open-file limit: the pool of per-source files holds
// nearly all of them, so whatever else needs one for a moment (a reopen, the
// metrics file, reading the root, an interface name) gets one back from it.
#pragma once

// Set by the owner of the pooled files: closes one of them, written out
// first, and returns false when none is open.
void FdReserve_SetReclaimer(bool (*reclaim)());

// After a call failed with err: true when err is the lack of a descriptor
// (EMFILE, ENFILE) and one was given back, so the call may be tried once
// more. errno is left as it was.
bool FdReserve_Reclaim(int err);
