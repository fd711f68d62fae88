// SPDX-License-Identifier: Apache-2.0
// Tag readings: the host's scan request with its timer, packed (88, 8F) and text (55) scan
// records, and the reader's export records (AA).

#include <algorithm>
#include <cstring>
#include <span>

#include "reader/Link.hpp"
#include "reader/Messages.hpp"

namespace orvex::detail {

void Link::doScan() {
    if ((state != State::idle && state != State::pingSent) || scanPending || contactPending) {
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

// Whatever part of the answer has arrived, the scan ends here without a reading.
void Link::scanTimerBlock() {
    scanTimer.reset();
    if (!scanPending) return;
    if (state == State::waitingForScan || state == State::receivingScan ||
        state == State::incomingScan) {
        readBuffer.clear();
        state = State::idle;
    }
    failScan();
}

void Link::failScan() {
    scanPending = false;
    stopTimer(scanTimer, true);
    report([](auto& d) { d.scanFailed(); });
}

void Link::endInterruptedScan() {
    if (contactPending) {
        finishReading();
    } else if (scanPending) {
        failScan();
    }
}

bool Link::mayStartReading() const {
    switch (state) {
        case State::idle:
        case State::pingSent:
        case State::waitingForBattery:
        case State::waitingForScan:
        case State::receivingScan:
        case State::incomingScan:
            return true;
        default:
            return false;
    }
}

ScanResult Link::handleIncomingScan(std::span<const std::uint8_t> data) const {
    return decodeTextScan(data, platform_->now());
}

// A packed record (state receivingScan, 9 bytes or more) or a text record (incomingScan,
// 31 bytes or more) is buffered whole. Bytes beyond the record are dropped with it.
void Link::scanRecordComplete() {
    if (state == State::incomingScan) {
        currentScan = handleIncomingScan(readBuffer);
    } else {
        currentScan = decodePackedScan(readBuffer, platform_->now());
    }
    readBuffer.clear();
    stopTimer(scanTimer, true);
    scanPending = false;

    const auto& scan = currentScan->scan;
    const bool fdxb = scan && scan->xpdr &&
                      scan->xpdr->type == static_cast<std::int8_t>(Transponder::Types::FDXB);
    if (fdxb) {
        // Only FDX-B tags carry an owner contact: report the reading, then ask for it.
        state = State::waitingForContact;
        contactPending = true;
        readBuffer.clear();
        const ScanResult result = *currentScan;
        report([&](auto& d) { d.scanReceived(result, true); });
        readContact();
    } else {
        state = State::idle;
        report([](auto& d) { d.scanFailed(); });
    }
}

// One or more export records (state receivingExport, 37 bytes or more). Every complete
// record is reported at once, in order; only an incomplete tail waits for the next
// notification, which the dispatch then judges by its first byte.
void Link::exportRecordsComplete() {
    const std::size_t done = reportExportRecords(readBuffer);
    readBuffer.erase(readBuffer.begin(), readBuffer.begin() + static_cast<std::ptrdiff_t>(done));
    endExportRecords();
}

void Link::exportRecordsComplete(std::span<const std::uint8_t> notification) {
    const std::size_t done = reportExportRecords(notification);
    if (done < notification.size()) {
        readBuffer.assign(notification.begin() + static_cast<std::ptrdiff_t>(done),
                          notification.end());
    }
    endExportRecords();
}

// The records are decoded where they lie, and `bytes` stays put until the loop ends. The
// records of one notification came together: they share one reading of the clock (a system
// clock read costs about a quarter of a record's decoding) and one entry into the delegate.
std::size_t Link::reportExportRecords(std::span<const std::uint8_t> bytes) {
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
    std::size_t done = 0;
    while (bytes.size() - done >= EXPORT_RECORD_SIZE &&
           (done == 0 || bytes[done] == code::exportRecord)) {
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
    return done;
}

}  // namespace orvex::detail
