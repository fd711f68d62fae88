// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

// A small deterministic random generator (splitmix64) for fault injection: the same start
// value gives the same sequence on every platform and standard library.

namespace orvex::sim {

class FaultDice {
public:
    explicit FaultDice(std::uint64_t start) : state_(start) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // True with probability `rate` (never for 0, always for 1 or more).
    bool roll(double rate) { return rate > 0.0 && unit() < rate; }

private:
    std::uint64_t state_;
};

}  // namespace orvex::sim
