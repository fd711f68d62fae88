// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AllocationCounter.hpp"

// Messages as the reader sends them, and the per-event figures every benchmark reports.

namespace orvex::bench {

using Bytes = std::vector<std::uint8_t>;

// An export record: AA, record number "042", two zero bytes, then a text scan record of an
// FDX-B tag ("FDXB" padded to 8, a 16-character id, CR LF and four zero bytes).
inline Bytes exportRecord(int number) {
    const std::string digits = std::to_string(100 + number % 900);
    Bytes record{0xAA, static_cast<std::uint8_t>(digits[0]), static_cast<std::uint8_t>(digits[1]),
                 static_cast<std::uint8_t>(digits[2]), 0x00, 0x00, 0x55};
    for (char c : std::string("FDXB    999 000000012345")) record.push_back(static_cast<std::uint8_t>(c));
    for (std::uint8_t b : {0x0D, 0x0A, 0x00, 0x00, 0x00, 0x00}) record.push_back(b);
    return record;
}

// `count` export records back to back, cut into notifications of `size` bytes (the last
// one shorter).
inline std::vector<Bytes> exportStream(int count, std::size_t size) {
    Bytes stream;
    for (int i = 0; i < count; ++i) {
        const Bytes record = exportRecord(i);
        stream.insert(stream.end(), record.begin(), record.end());
    }
    std::vector<Bytes> notifications;
    for (std::size_t at = 0; at < stream.size(); at += size) {
        const std::size_t end = std::min(stream.size(), at + size);
        notifications.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                   stream.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return notifications;
}

// A packed scan record of an FDX-B tag (country 999, national number 12345).
inline Bytes packedFdxbScan() {
    return {0x8F, 0x04, 0x03, 0xE7, 0x39, 0x30, 0x00, 0x00, 0x00};
}

// Reports `events` events per iteration and the allocations counted per event.
inline void reportPerEvent(benchmark::State& state, double events, std::uint64_t allocations) {
    const double total = static_cast<double>(state.iterations()) * events;
    state.counters["events"] = events;
    state.counters["allocs"] = total > 0 ? static_cast<double>(allocations) / total : 0.0;
}

}  // namespace orvex::bench
