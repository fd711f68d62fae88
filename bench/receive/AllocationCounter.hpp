// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

// Counts the heap allocations of this program: the global operator new is replaced (in
// AllocationCounter.cpp) by one that counts, while counting is on, and then allocates as
// usual.

namespace orvex::bench {

// Allocations counted so far (all threads).
std::uint64_t allocationCount();

// Turns counting on or off (on at the start).
void countAllocations(bool on);

// Allocations made between construction and stop(), with counting on throughout.
class AllocationSpan {
public:
    AllocationSpan() : start_(allocationCount()) {}
    std::uint64_t stop() const { return allocationCount() - start_; }

private:
    std::uint64_t start_;
};

}  // namespace orvex::bench
