// SPDX-License-Identifier: Apache-2.0
#include "reader/AsymmetricFence.hpp"

#include <exception>

#ifdef __linux__
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace orvex::detail {

namespace {

#ifdef __linux__
long membarrier(int command) {
    return syscall(__NR_membarrier, command, 0, 0);
}
#endif

// Whether the kernel offers the process-wide barrier; the process registers for it once.
bool processWideBarrierAvailable() {
#ifdef __linux__
    static const bool available = [] {
        const long commands = membarrier(MEMBARRIER_CMD_QUERY);
        return commands > 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
               membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
    }();
    return available;
#else
    return false;
#endif
}

}  // namespace

AsymmetricFence::AsymmetricFence() : processWide_(processWideBarrierAvailable()) {}

void AsymmetricFence::heavy() {
#ifdef __linux__
    if (processWide_) {
        // Once registered the barrier cannot fail; the frequent side relies on it alone, so
        // going on without it would be wrong.
        if (membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) std::terminate();
        return;
    }
#endif
    meeting_.fetch_add(0, std::memory_order_acq_rel);
}

}  // namespace orvex::detail
