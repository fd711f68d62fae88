// SPDX-License-Identifier: Apache-2.0
#include "RaceLedger.hpp"

#include <algorithm>

namespace orvex::soak {

namespace {
// Notifications reach the link on the run loop's next turn, at the same virtual time.
constexpr double kSameMoment = 1e-9;
// The readings the link queues for their contact reads at most.
constexpr long kReadingQueueCap = 32;
constexpr double kLongestWait = 50.0;
}  // namespace

void RaceLedger::expectTag(const std::string& id, bool fdxb) {
    readings_[id].fdxb = fdxb;
}

void RaceLedger::hostScan(const std::string& id) {
    hostScans_.push_back(id);
}

void RaceLedger::readingOnAir(const std::string& id, double now) {
    auto it = readings_.find(id);
    if (it == readings_.end() || it->second.onAir) return;  // a contact write's own scan
    it->second.onAir = true;
    it->second.sentAt = now;
    it->second.excused = hostLeaving_;
}

void RaceLedger::batteryOnAir(double now, bool mayMerge) {
    batteries_.push_back({now, hostLeaving_ || mayMerge});
}

void RaceLedger::readerConnected() {
    uploadAsked_ = false;
    lockAcknowledged_ = false;
    refusalOnAir_ = false;
}

void RaceLedger::pending(const std::string& id, double now) {
    auto it = readings_.find(id);
    if (it == readings_.end() || !it->second.onAir) {
        ++strayReports_;
        invented_.push_back("a pending report of a reading never sent: " + id);
        return;
    }
    if (it->second.pending++ == 0 && it->second.finals == 0 && waitingForFinal_++ == 0) {
        lastProgress_ = now;
    }
}

void RaceLedger::final(const std::string& id, double now) {
    auto it = readings_.find(id);
    if (id.empty() || it == readings_.end()) {
        ++anonymousFinals_;
        return;
    }
    if (!it->second.onAir) {
        ++strayReports_;
        invented_.push_back("a final report of a reading never sent: " + id);
        return;
    }
    Reading& r = it->second;
    if (r.finals == 0 && r.pending > 0) {
        --waitingForFinal_;
        if (now - lastProgress_ > kLongestWait) {
            ++stalls_;
            invented_.push_back("no final report for " + std::to_string(now - lastProgress_) +
                                " s while readings waited");
        }
        lastProgress_ = now;
    }
    if (r.finals == 0 && r.pending == 0 && r.fdxb && waitingForFinal_ >= kReadingQueueCap) {
        r.queueFull = true;
    }
    ++r.finals;
}

void RaceLedger::battery() {
    ++batteryReports_;
}

void RaceLedger::version(const std::string& text, const std::string& expected) {
    if (text == expected || (text == "Connected" && refusalOnAir_)) return;
    invented_.push_back("version \"" + text + "\"");
}

void RaceLedger::startUpdate() {
    if (!lockAcknowledged_) invented_.push_back("startUpdate with no lock acknowledged");
}

void RaceLedger::lockFrameWritten() {
    if (!uploadAsked_) invented_.push_back("lock frame written to a reader that asked for none");
}

bool RaceLedger::excusedAt(double sentAt, double now) const {
    return now - sentAt < kSameMoment;
}

void RaceLedger::connectionEnded(double now) {
    for (auto& [id, r] : readings_) {
        if (r.onAir && r.pending == 0 && r.finals == 0 && excusedAt(r.sentAt, now)) {
            r.excused = true;
        }
    }
    for (auto& b : batteries_) {
        if (excusedAt(b.sentAt, now)) b.excused = true;
    }
}

void RaceLedger::addTo(Tally& tally, std::uint64_t start) const {
    // Anonymous final reports expected: at least `owed`, at most `owed + mayBeOwed`.
    long owed = 0;
    long mayBeOwed = 0;
    for (const auto& [id, r] : readings_) {
        if (!r.onAir) continue;
        const bool unheard = r.pending == 0 && r.finals == 0;
        if (r.fdxb) {
            if (unheard && r.excused) continue;
            if (r.queueFull) {
                tally.add(Exchange::fdxbQueueFull, r.finals == 1 && r.pending == 0 ? 1 : 2, start);
                continue;
            }
            const bool one = r.pending == 1 && r.finals == 1;
            const bool more = r.pending > 1 || r.finals > 1;
            tally.add(Exchange::fdxbReading, one ? 1 : more ? 2 : 0, start);
        } else if (unheard) {
            (r.excused ? mayBeOwed : owed) += 1;
        } else {
            tally.add(Exchange::otherReading, r.pending == 0 && r.finals == 1 ? 1 : 2, start);
        }
    }
    for (const auto& id : hostScans_) {
        auto it = readings_.find(id);
        if (it == readings_.end() || !it->second.onAir) {
            ++owed;
        } else if (it->second.excused) {
            ++mayBeOwed;  // its answer may have been cut off, and the scan failed instead
        }
    }
    tally.addPooled(Exchange::scanFailed, owed, anonymousFinals_ < owed ? owed - anonymousFinals_ : 0,
                    anonymousFinals_ > owed + mayBeOwed ? anonymousFinals_ - owed - mayBeOwed : 0,
                    start);

    long batteriesOwed = 0;
    for (const auto& b : batteries_) batteriesOwed += b.excused ? 0 : 1;
    const long sent = static_cast<long>(batteries_.size());
    tally.addPooled(Exchange::batteryReport, sent,
                    batteryReports_ < batteriesOwed ? batteriesOwed - batteryReports_ : 0,
                    batteryReports_ > sent ? batteryReports_ - sent : 0, start);

    const long invented = static_cast<long>(invented_.size()) - stalls_;
    tally.addPooled(Exchange::invented, invented, 0, invented, start);
    tally.addPooled(Exchange::stall, stalls_, stalls_, 0, start);
}

}  // namespace orvex::soak
