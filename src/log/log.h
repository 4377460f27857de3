// SPDX-License-Identifier: BSD-2-Clause
// The daemon's own dated log, its console echo, and the fatal exits.
#pragma once

enum LogLevel : int {
    LOGLEVEL_FILE = 0,     // echoed on stdout only with --verbose
    LOGLEVEL_CONSOLE = 1,  // always echoed on stdout
    LOGLEVEL_ERROR = 2,    // echoed on stderr, or on stdout while no log is open
};

// Opens "corvashenmir-<datekey>" in the current directory for appending; fatal on failure.
void Log_Open();

// Closes the daemon log if it is open; lines then go to stderr.
void Log_Close();

// One stamped line, written at once, plus the console echo its level asks for.
// A line the open log refuses (disk full, size limit, I/O error) goes to
// stderr instead, unless stderr is /dev/null; the next line the log takes is
// preceded by "warning: <n> daemon log lines could not be written: <error>".
[[gnu::format(printf, 2, 3)]] void Log_Msg(int level, const char* fmt, ...);

// Logs "fatal: msg" and exits with status 1 through the standard exit.
[[noreturn]] void Fatal(const char* msg);

// Logs "fatal: msg: <error text of errno>" and exits with status 1.
[[noreturn]] void FatalErrno(const char* msg);
