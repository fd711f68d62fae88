// SPDX-License-Identifier: Apache-2.0
#include "Tally.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string>

namespace orvex::soak {

namespace {

constexpr std::size_t kStartsKept = 5;

void keep(std::vector<std::uint64_t>& starts, std::uint64_t start) {
    if (starts.size() < kStartsKept && (starts.empty() || starts.back() != start)) {
        starts.push_back(start);
    }
}

std::string list(const std::vector<std::uint64_t>& starts) {
    std::string out;
    for (auto s : starts) out += (out.empty() ? "" : " ") + std::to_string(s);
    return out.empty() ? "-" : out;
}

}  // namespace

std::string_view label(Exchange kind) {
    switch (kind) {
        case Exchange::connection:
            return "connection attempt";
        case Exchange::version:
            return "version";
        case Exchange::upload:
            return "upload";
        case Exchange::scan:
            return "scan";
        case Exchange::contactWrite:
            return "contact write";
        case Exchange::exportRecord:
            return "export record";
        case Exchange::disconnection:
            return "disconnection";
        case Exchange::fdxbReading:
            return "FDX-B reading";
        case Exchange::fdxbQueueFull:
            return "FDX-B, queue full";
        case Exchange::otherReading:
            return "other reading by id";
        case Exchange::scanFailed:
            return "scan failed";
        case Exchange::batteryReport:
            return "battery report";
        case Exchange::invented:
            return "invented";
        case Exchange::stall:
            return "reading queue stall";
    }
    return "?";
}

void Tally::add(Exchange kind, int outcomes, std::uint64_t start) {
    auto& k = kinds_[static_cast<std::size_t>(kind)];
    ++k.total;
    if (outcomes == 1) {
        ++k.exactlyOne;
    } else if (outcomes == 0) {
        ++k.none;
        keep(k.noneStarts, start);
    } else {
        ++k.moreThanOne;
        keep(k.moreStarts, start);
    }
}

void Tally::addPooled(Exchange kind, long total, long none, long more, std::uint64_t start) {
    auto& k = kinds_[static_cast<std::size_t>(kind)];
    k.total += total;
    k.none += none;
    k.moreThanOne += more;
    k.exactlyOne += std::max(0L, total - none - more);
    if (none > 0) keep(k.noneStarts, start);
    if (more > 0) keep(k.moreStarts, start);
}

bool Tally::hasViolation() const {
    for (const auto& k : kinds_) {
        if (k.none > 0 || k.moreThanOne > 0) return true;
    }
    return false;
}

void Tally::print(bool race) const {
    fmt::print("{:<20} {:>9} {:>12} {:>7} {:>14}   {}\n", "exchange", "total", "exactly one",
               "none", "more than one", "random start of the first violations (none / more)");
    for (std::size_t i = 0; i < kExchangeKinds; ++i) {
        const auto& k = kinds_[i];
        if (!race && i >= static_cast<std::size_t>(kFirstRaceKind)) break;
        fmt::print("{:<20} {:>9} {:>12} {:>7} {:>14}   {} / {}\n", label(static_cast<Exchange>(i)),
                   k.total, k.exactlyOne, k.none, k.moreThanOne, list(k.noneStarts),
                   list(k.moreStarts));
    }
}

}  // namespace orvex::soak
