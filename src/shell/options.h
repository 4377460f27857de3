// SPDX-License-Identifier: BSD-2-Clause
// The command line: one table of options drives parsing, bounds, messages
// and the usage text.
#pragma once

// Applies argv[1..argc-1] to Settings; exits through Usage on --help or an error.
void Settings_Parse(int argc, char** argv);

// Prints the usage text and exits: status 0 on stdout for a null or empty
// message, status 1 on stderr behind a "progname: msg" header otherwise.
[[noreturn]] void Usage(const char* msg);
