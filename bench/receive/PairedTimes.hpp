// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include "AllocationCounter.hpp"

namespace orvex::bench {

// Times the link's work and its floor in alternating blocks of one benchmark, each block a
// few microseconds or more, and reports both per event and their ratio (of the summed
// times). A change in the machine's speed (other work on the other core, the clock rate)
// then falls on both alike. Two benchmarks run one after the other cannot promise that: on
// a shared machine their medians drift apart by more than the margins being measured.
// Heap allocations are counted in the link's blocks only.
class PairedTimes {
public:
    template <class F>
    void link(F&& work) {
        const AllocationSpan span;
        const auto start = Clock::now();
        work();
        link_ += Clock::now() - start;
        linkAllocations_ += span.stop();
    }

    template <class F>
    void floor(F&& work) {
        const auto start = Clock::now();
        work();
        floor_ += Clock::now() - start;
    }

    // Sets the counters the table reads: events per iteration, the link's and the floor's
    // time per event ("link_ns", "floor_ns"), their "ratio" and the link's "allocs".
    void report(benchmark::State& state, double eventsPerIteration) const {
        const double events = static_cast<double>(state.iterations()) * eventsPerIteration;
        if (events <= 0) return;
        const double link = std::chrono::duration<double, std::nano>(link_).count() / events;
        const double floor = std::chrono::duration<double, std::nano>(floor_).count() / events;
        state.counters["events"] = eventsPerIteration;
        state.counters["allocs"] = static_cast<double>(linkAllocations_) / events;
        state.counters["link_ns"] = link;
        state.counters["floor_ns"] = floor;
        state.counters["ratio"] = floor > 0 ? link / floor : 0.0;
    }

private:
    using Clock = std::chrono::steady_clock;
    Clock::duration link_{};
    Clock::duration floor_{};
    std::uint64_t linkAllocations_ = 0;
};

}  // namespace orvex::bench
