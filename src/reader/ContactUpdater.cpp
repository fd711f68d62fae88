// SPDX-License-Identifier: Apache-2.0
#include "reader/ContactUpdater.hpp"
#include "reader/Logging.hpp"

#include <utility>

#include "reader/Messages.hpp"

namespace orvex::detail {

ContactUpdater::ContactUpdater(std::shared_ptr<platform::Platform> platform,
                               std::shared_ptr<platform::Peripheral> reader,
                               std::shared_ptr<platform::Characteristic> characteristic,
                               platform::WriteType writeType, Bytes contact)
    : platform_(std::move(platform)),
      readerPeripheral(std::move(reader)),
      readerCharacteristic(std::move(characteristic)),
      characteristicWriteType(writeType),
      contactData(std::move(contact)) {}

ContactUpdater::~ContactUpdater() {
    stopTimer();
}

Bytes ContactUpdater::contactFrame(const Bytes& contact) {
    Bytes frame = COMMAND_START_PREFIX_DATA;
    frame.insert(frame.end(), CONTACT_WRITE_DATA.begin(), CONTACT_WRITE_DATA.end());
    const Bytes payload = escapePayload(contact);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.insert(frame.end(), COMMAND_START_SUFFIX_DATA.begin(), COMMAND_START_SUFFIX_DATA.end());
    return frame;
}

void ContactUpdater::startUpdate(std::weak_ptr<const void> owner, std::string id,
                                 Completion completion) {
    if (updateState != UpdateState::starting) return;
    xpdrId = std::move(id);
    completionHandler = std::move(completion);
    reader = std::move(owner);
    updateState = UpdateState::waitingForScan;
    readBuffer.clear();
    // The timer exists before the command leaves, so even the fastest answer finds it.
    armTimer(&ContactUpdater::scanTimerBlock);
    traceWrite(*readerPeripheral, SCAN_DATA);
    readerPeripheral->writeValue(SCAN_DATA, readerCharacteristic, characteristicWriteType);
}

void ContactUpdater::handleMessage(const Bytes& data) {
    if (data.empty()) return;
    switch (updateState) {
        case UpdateState::dataSent:
            if (data[0] != code::contactWritten && data[0] != code::contactNotWritten &&
                data[0] != code::negative) {
                return;  // a repeated scan answer, a late ping answer, a reading, garbage
            }
            finish(data[0] == code::contactWritten, data[0] == code::contactWritten
                                                        ? OrvexContactStatus::success
                                                        : OrvexContactStatus::writeOperationFailed);
            return;
        case UpdateState::waitingForScan:
            break;
        case UpdateState::starting:
        case UpdateState::finished:
            // Before the start nobody is waiting for an outcome; after the end it was reported.
            if (completionHandler) finish(false, OrvexContactStatus::protocolError);
            return;
    }

    // Only 88 opens the scan answer; anything else before it (a late ping answer, a reading
    // made on the reader's trigger, garbage) is not it. The scan-phase timer still bounds
    // the wait.
    if (readBuffer.empty() && data[0] != code::requestedScan) return;
    readBuffer.insert(readBuffer.end(), data.begin(), data.end());
    if (readBuffer.size() < PACKED_SCAN_SIZE) return;

    stopTimer();
    if (reader.expired()) return;
    const ScanResult result = decodePackedScan(readBuffer, platform_->now());
    std::optional<std::string> scanned;
    if (result.scan && result.scan->xpdr) scanned = result.scan->xpdr->id;
    if (scanned == xpdrId) {
        writeData();
    } else {
        finish(false, OrvexContactStatus::wrongChip);
    }
}

void ContactUpdater::connectionLost() {
    if (updateState == UpdateState::waitingForScan) {
        finish(false, OrvexContactStatus::contactReadTimeout);
    } else if (updateState == UpdateState::dataSent) {
        finish(false, OrvexContactStatus::writeOperationFailed);
    }
}

void ContactUpdater::writeData() {
    updateState = UpdateState::dataSent;
    readBuffer.clear();
    armTimer(&ContactUpdater::writeTimerBlock);
    const auto frame = contactFrame(contactData);
    traceWrite(*readerPeripheral, frame);
    readerPeripheral->writeValue(frame, readerCharacteristic,
                                 characteristicWriteType);
}

void ContactUpdater::scanTimerBlock() {
    if (updateState == UpdateState::finished) return;
    finish(false, OrvexContactStatus::contactReadTimeout);
}

void ContactUpdater::writeTimerBlock() {
    if (updateState == UpdateState::finished) return;
    finish(false, OrvexContactStatus::writeOperationFailed);
}

void ContactUpdater::armTimer(void (ContactUpdater::*action)()) {
    stopTimer();
    std::weak_ptr<ContactUpdater> weak = weak_from_this();
    operationTimer = platform_->scheduleTimer(CONTACT_WRITE_PHASE_TIMEOUT, false, [weak, action] {
        if (auto self = weak.lock()) ((*self).*action)();
    });
}

void ContactUpdater::stopTimer() {
    if (operationTimer) {
        operationTimer->invalidate();
        operationTimer.reset();
    }
}

void ContactUpdater::finish(bool success, OrvexContactStatus status) {
    // The completion may drop the owner's reference to this updater.
    auto self = weak_from_this().lock();
    updateState = UpdateState::finished;
    stopTimer();
    readBuffer.clear();
    Completion completion = std::move(completionHandler);
    completionHandler = nullptr;
    if (completion) completion(success, status);
}

}  // namespace orvex::detail
