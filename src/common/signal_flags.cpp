// SPDX-License-Identifier: BSD-2-Clause
#include "common/signal_flags.h"

volatile std::sig_atomic_t StopFlag = 0;
volatile std::sig_atomic_t HupFlag = 0;
