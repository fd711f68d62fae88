// SPDX-License-Identifier: Apache-2.0
#include "reader/AsymmetricFence.hpp"

#include <exception>

#ifdef __linux__
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace orvex::detail {

#ifdef __linux__
namespace {

long membarrier(int command) {
    return syscall(__NR_membarrier, command, 0, 0);
}

}  // namespace
#endif

bool processWideBarrierAvailable() {
#ifdef __linux__
    // The process registers once; from then on the barrier cannot fail.
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

void heavyFence(bool processWide) {
#ifdef __linux__
    if (processWide) {
        // The frequent side relies on this barrier alone: going on without it would be wrong.
        if (membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) std::terminate();
        return;
    }
#endif
    (void)processWide;
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

}  // namespace orvex::detail
