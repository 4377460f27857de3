// SPDX-License-Identifier: BSD-2-Clause
// Signals, pid file and detaching: the parts of the process life around the loop.
#pragma once

#include <csignal>

// Set only by sighandler; tested and cleared by the main flow.
extern volatile std::sig_atomic_t StopFlag;
extern volatile std::sig_atomic_t HupFlag;

// Installed for SIGTERM, SIGINT and SIGHUP.
void sighandler(int sig);
void Signals_Install();

// Writes the current pid (write != 0) or empties the file; path null picks
// the default by port. Failures are logged as warnings.
void PidFile_Update(int write, const char* path);

// Raises the soft open-file limit to the hard one, so the pool may hold as
// many files as the system lets the process open; keeps the soft limit when
// that is refused.
void Process_RaiseFileLimit();

// Forks twice into a new session with /dev/null on 0, 1 and 2.
void Process_Detach();
