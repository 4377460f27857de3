// SPDX-License-Identifier: BSD-2-Clause
// Test seam of the command line: not for the daemon's own modules.
#pragma once

// When set, Usage calls it with the exit status before it exits; a hook that
// throws takes the exit back to the caller of Settings_Parse, so a test can
// parse many command lines in one process.
extern void (*Settings_ExitHook)(int status);
