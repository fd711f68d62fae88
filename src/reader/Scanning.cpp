// SPDX-License-Identifier: Apache-2.0
// Tag readings: the host's scan request with its timer, packed (88, 8F) and text (55)
// readings, the queue of readings whose contact is still to be read, and the reader's export
// records (AA).

#include <algorithm>
#include <cstring>
#include <span>

#include "reader/Link.hpp"
#include "reader/Logging.hpp"
#include "reader/Messages.hpp"

namespace orvex::detail {

void Link::doScan() {
    // A message half received (an export under way, say) goes first, as do readings whose
    // contact is still to be read.
    if ((state != State::idle && state != State::pingSent) || scanPending || !readings_.empty() ||
        framer_.buffered() > 0) {
        report([](auto& d) { d.scanFailed(); });
        return;
    }
    state = State::waitingForScan;
    scanPending = true;
    // Armed before the command goes out, so that even the fastest answer can cancel it.
    stopTimer(scanTimer, true);
    scanTimer = schedule(SCAN_TIMEOUT, false, &Link::scanTimerBlock);
    writeData(SCAN_DATA);
}

// The scan ends here without a reading. A message half received is left to complete: it
// may be anything the reader sends (the watchdog drops it if the reader falls silent).
void Link::scanTimerBlock() {
    scanTimer.reset();
    if (!scanPending) return;
    if (state == State::waitingForScan) state = State::idle;
    failScan();
    pumpContactReads();
}

void Link::failScan() {
    scanPending = false;
    stopTimer(scanTimer, true);
    report([](auto& d) { d.scanFailed(); });
}

// 7E: no result for the reading or contact read under way.
void Link::noResult() {
    if (state == State::waitingForContact) {
        state = State::idle;
        finishReading(nullptr);
    } else if (state == State::waitingForScan) {
        // A host scan and a scan the reader announced end alike.
        state = State::idle;
        if (scanPending) {
            failScan();
        } else {
            report([](auto& d) { d.scanFailed(); });
        }
    }
}

void Link::endInterruptedScan() {
    // Every reading still owes the host its final report, which comes without a contact.
    while (!readings_.empty()) finishReading(nullptr);
    if (scanPending) failScan();
}

bool Link::mayStartReading() const {
    switch (state) {
        case State::idle:
        case State::pingSent:
        case State::waitingForBattery:
        case State::waitingForScan:
            return true;
        default:
            return false;
    }
}

// A packed (88, 8F) or text (55) reading. Every one is reported at once: an FDX-B reading
// with its contact pending (the contact is read in turn), any other only as scanFailed().
// Only 88 answers a host scan.
void Link::readingReceived(const Message& message) {
    const double now = platform_->now();
    ScanResult result = message.kind == MessageKind::textReading
                            ? decodeTextScan(message.bytes, now)
                            : decodePackedScan(message.bytes, now);
    if (message.kind == MessageKind::requestedReading) {
        // The answer to the host's scan. A reading made on the trigger meanwhile is not it:
        // it is reported on its own, and the host's scan goes on.
        scanPending = false;
        stopTimer(scanTimer, true);
        if (state == State::waitingForScan) state = State::idle;
    } else if (state == State::waitingForScan && !scanPending) {
        state = State::idle;  // the scan the reader announced has brought its reading
    }

    const auto& scan = result.scan;
    const bool fdxb = scan && scan->xpdr &&
                      scan->xpdr->type == static_cast<std::int8_t>(Transponder::Types::FDXB);
    if (!fdxb) {
        report([](auto& d) { d.scanFailed(); });
        return;
    }
    if (readings_.size() >= READING_QUEUE_CAP) {
        log(LogLevel::error,
            "{} readings already wait for their contact; reading {} is reported without one",
            readings_.size(), scan->xpdr->id);
        report([&](auto& d) { d.scanReceived(result, false); });
        return;
    }
    readings_.push_back(PendingReading{result, false});
    report([&](auto& d) { d.scanReceived(std::move(result), true); });
    pumpContactReads();
}

// Asks for the contact of the oldest reading that waits for one, when the link is free to.
void Link::pumpContactReads() {
    if (readings_.empty() || readings_.front().asked || !isConnected_.load()) return;
    switch (state) {
        case State::idle:
        case State::pingSent:
        case State::waitingForBattery:
            break;
        default:
            return;  // a handshake, a scan, an upload or a contact write goes first
    }
    readings_.front().asked = true;
    state = State::waitingForContact;
    readContact();
}

// One or more export records in a row. The records are decoded where they lie. The records
// of one notification came together: they share one reading of the clock (a system clock
// read costs about a quarter of a record's decoding) and one entry into the delegate.
void Link::exportRecordsReceived(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t textOffset = EXPORT_RECORD_SIZE - TEXT_SCAN_SIZE;
    const double now = platform_->now();
    DelegateEntry entry(*this);
    // The record reported last, while a record equal to it would be a doubled one: the one
    // kept from an earlier notification within the window, then each reported one where it
    // lies. The last one is kept.
    const std::uint8_t* last = nullptr;
    if (hasLastExportRecord && now - lastExportRecordAt < DOUBLED_EXPORT_RECORD_WINDOW) {
        last = lastExportRecord.data();
    }
    bool reported = false;
    for (std::size_t done = 0; done + EXPORT_RECORD_SIZE <= bytes.size();) {
        const auto record = bytes.subspan(done).first<EXPORT_RECORD_SIZE>();
        done += EXPORT_RECORD_SIZE;
        if (last && std::equal(record.begin(), record.end(), last)) {
            continue;  // the same notification twice
        }
        last = record.data();
        reported = true;
        // Handed to the host, not kept: nothing of the link reads a stored reading later.
        ScanResult reading = decodeTextScan(record.subspan(textOffset), now);
        const long number = exportRecordNumber(record);
        if (auto* host = entry.currentHost()) {
            guardedCall("delegate callback exportReceived",
                        [&] { host->exportReceived(std::move(reading), number); });
        }
    }
    if (reported) {
        std::memcpy(lastExportRecord.data(), last, EXPORT_RECORD_SIZE);  // `last` lies in `bytes`
        hasLastExportRecord = true;
        lastExportRecordAt = now;
    }
}

}  // namespace orvex::detail
