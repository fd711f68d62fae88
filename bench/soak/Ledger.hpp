// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "Tally.hpp"

namespace orvex::soak {

// The exchanges of one session and how many outcomes each has had so far. An outcome that
// comes when no exchange of its kind is open counts as one more outcome of the latest one
// (or, with none at all, as an exchange with two).
class Ledger {
public:
    // Opens an exchange; returns its index among those of its kind.
    std::size_t open(Exchange kind) {
        auto& r = records_[index(kind)];
        r.push_back(0);
        return r.size() - 1;
    }
    // One outcome for the latest exchange of `kind`.
    void outcome(Exchange kind) {
        auto& r = records_[index(kind)];
        if (r.empty()) {
            r.push_back(2);
        } else {
            ++r.back();
        }
    }
    void outcomeOf(Exchange kind, std::size_t which) { ++records_[index(kind)].at(which); }
    // Whether the latest exchange of `kind` still waits for its outcome.
    bool isOpen(Exchange kind) const {
        const auto& r = records_[index(kind)];
        return !r.empty() && r.back() == 0;
    }
    std::size_t openCount(Exchange kind) const {
        std::size_t n = 0;
        for (int outcomes : records_[index(kind)]) n += outcomes == 0;
        return n;
    }

    // Export records are keyed by the export run that sent them and their number. A record
    // seen on the air opens an exchange once, however often it is sent.
    void exportOnAir(long run, long number) {
        if (exports_.find({run, number}) == exports_.end()) exports_[{run, number}] = 0;
    }
    void exportReported(long run, long number) {
        auto it = exports_.find({run, number});
        if (it == exports_.end()) {
            exports_[{run, number}] = 2;  // reported without being sent
        } else {
            ++it->second;
        }
    }
    // Records of `run` that the connection's loss kept from arriving are no exchange.
    void forgetUnreportedExports(long run) {
        for (auto it = exports_.begin(); it != exports_.end();) {
            if (it->first.first == run && it->second == 0) {
                it = exports_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void addTo(Tally& tally, std::uint64_t start) const {
        for (std::size_t k = 0; k < kExchangeKinds; ++k) {
            for (int outcomes : records_[k]) tally.add(static_cast<Exchange>(k), outcomes, start);
        }
        for (const auto& [key, outcomes] : exports_) {
            tally.add(Exchange::exportRecord, outcomes, start);
        }
    }

private:
    static std::size_t index(Exchange kind) { return static_cast<std::size_t>(kind); }
    std::array<std::vector<int>, kExchangeKinds> records_;
    std::map<std::pair<long, long>, int> exports_;
};

}  // namespace orvex::soak
