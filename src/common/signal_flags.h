// SPDX-License-Identifier: BSD-2-Clause
// The two requests a signal handler may make of the receive loop.
#pragma once

#include <csignal>

// Set only by the signal handler; tested and cleared by the main flow.
extern volatile std::sig_atomic_t StopFlag;
extern volatile std::sig_atomic_t HupFlag;
