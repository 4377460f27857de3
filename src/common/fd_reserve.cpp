// SPDX-License-Identifier: BSD-2-Clause
#include "common/fd_reserve.h"

#include <cerrno>

namespace {

bool (*reclaimer)() = nullptr;

}  // namespace

void FdReserve_SetReclaimer(bool (*reclaim)()) { reclaimer = reclaim; }

bool FdReserve_Reclaim(int err) {
    if ((err != EMFILE && err != ENFILE) || reclaimer == nullptr) return false;
    int saved = errno;
    bool freed = reclaimer();
    errno = saved;
    return freed;
}
