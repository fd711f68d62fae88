// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>

// Two fences for the pattern where each of two sides stores, then loads what the other side
// stored (so that at least one of them sees the other), when one side runs very often and
// the other rarely. Where the kernel offers a process-wide barrier (membarrier(2), private
// expedited: every running thread of the process passes a full memory barrier before the
// call returns), the rare side pays for it with that system call and the frequent side only
// keeps the compiler from moving its load before its store. Elsewhere both sides use a full
// fence.

namespace orvex::detail {

// Whether heavyFence() is the process-wide barrier (asked once per process).
bool processWideBarrierAvailable();

// The frequent side's fence; `processWide` as processWideBarrierAvailable() said.
inline void lightFence(bool processWide) {
    if (processWide) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
}

// The rare side's fence.
void heavyFence(bool processWide);

}  // namespace orvex::detail
