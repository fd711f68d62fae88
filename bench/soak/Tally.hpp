// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace orvex::soak {

// The kinds of exchange whose outcomes are counted.
enum class Exchange {
    connection,
    version,
    upload,
    scan,
    contactWrite,
    exportRecord,
    disconnection,
    // Race traffic (RaceLedger).
    fdxbReading,
    fdxbQueueFull,
    otherReading,
    scanFailed,
    batteryReport,
    invented,
    stall,
};
inline constexpr std::size_t kExchangeKinds = 14;
// The first kind that only race traffic counts.
inline constexpr Exchange kFirstRaceKind = Exchange::fdxbReading;

std::string_view label(Exchange kind);

// How every exchange of one kind ended, over many sessions, with the random start values of
// the sessions that show a violation (the first few of each).
struct KindTally {
    long total = 0;
    long exactlyOne = 0;
    long none = 0;
    long moreThanOne = 0;
    std::vector<std::uint64_t> noneStarts;
    std::vector<std::uint64_t> moreStarts;
};

class Tally {
public:
    // One exchange of `kind` in the session started from `start` ended with `outcomes`
    // outcomes.
    void add(Exchange kind, int outcomes, std::uint64_t start);
    // `total` outcomes counted together, of which `none` were missing and `more` too many.
    void addPooled(Exchange kind, long total, long none, long more, std::uint64_t start);
    bool hasViolation() const;
    const KindTally& of(Exchange kind) const { return kinds_[static_cast<std::size_t>(kind)]; }
    // The table, one line per kind (the race kinds only with `race`).
    void print(bool race) const;

private:
    std::array<KindTally, kExchangeKinds> kinds_{};
};

}  // namespace orvex::soak
