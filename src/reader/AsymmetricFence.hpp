// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>

namespace orvex::detail {

// Fences for the pattern where each of two sides stores, then loads what the other side
// stored, so that at least one of them sees the other, when one side runs very often and
// the other rarely. Where the kernel offers a process-wide barrier (membarrier(2), private
// expedited: every running thread of the process passes a full memory barrier before the
// call returns), the rare side pays for it with that system call and the frequent side only
// keeps the compiler from moving its load above its store. Elsewhere both sides meet in a
// read-modify-write of one shared word, which orders them as full fences would.
class AsymmetricFence {
public:
    // With the process-wide barrier where the kernel offers it.
    AsymmetricFence();

    // The frequent side's fence, between its store and its load.
    void light() {
        if (processWide_) {
            std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
            meeting_.fetch_add(0, std::memory_order_acq_rel);
        }
    }
    // The rare side's fence, between its store and its load.
    void heavy();

private:
    const bool processWide_;
    std::atomic<unsigned> meeting_{0};
};

}  // namespace orvex::detail
