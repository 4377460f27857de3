// SPDX-License-Identifier: BSD-2-Clause
// Signals, pid file, the open-file limit and detaching: the parts of the
// process life around the loop.
#pragma once

// Installs the handler of SIGTERM, SIGINT and SIGHUP, which only sets
// StopFlag or HupFlag, and ignores SIGPIPE and SIGXFSZ.
void Lifecycle_InstallSignals();

// Writes the current pid (write != 0) or empties the file; path null picks
// the default by port. Failures are logged as warnings.
void Lifecycle_UpdatePidFile(int write, const char* path);

// Raises the soft open-file limit to the hard one, so the pool may hold as
// many files as the system lets the process open; keeps the soft limit when
// that is refused.
void Lifecycle_RaiseFileLimit();

// Forks twice into a new session with /dev/null on 0, 1 and 2.
void Lifecycle_Detach();
