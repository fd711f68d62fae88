// SPDX-License-Identifier: Apache-2.0
// The receive and send path: notifications from the reader, the handshake, the receive
// buffer with its dispatch on the first byte, and writeData.

#include <algorithm>

#include "reader/ContactUpdater.hpp"
#include "reader/Logging.hpp"
#include "reader/Link.hpp"
#include "reader/Messages.hpp"

namespace orvex::detail {

namespace {

// The status tag is looked for in the notification itself, whatever is buffered before it.
bool carriesStatusTag(const Bytes& data) {
    return data.size() >= STATUS_MESSAGE_SIZE &&
           std::equal(STATUS_TAG.begin(), STATUS_TAG.end(), data.begin() + 1);
}

}  // namespace

void Link::didUpdateValue(const std::shared_ptr<platform::Peripheral>& peripheral,
                          const std::shared_ptr<platform::Characteristic>& characteristic,
                          const Bytes& value) {
    traceNotification(*peripheral, value);
    if (!readerPeripheral || !readerCharacteristic || !readerUartReadCharacteristic) return;
    if (peripheral != readerPeripheral) return;
    if (characteristic != readerCharacteristic && characteristic != readerUartReadCharacteristic) {
        return;
    }
    if (value.empty()) return;
    heardFromReader = true;
    if (!isConnected_.load()) {
        handshakeAnswer(value);
        return;
    }
    switch (state) {
        case State::writingContact:
            if (auto updater = contactUpdater) updater->handleMessage(value);
            return;
        case State::updatingMicroApp:
            updateMicroApp(value);
            return;
        default:
            readData(value);
            return;
    }
}

// The reader's first answer: only its first byte counts.
void Link::handshakeAnswer(const Bytes& value) {
    if (value.front() == code::ack) {
        isConnected_.store(true);
        attemptOpen = false;
        state = State::idle;
        pingCounter = 0;
        msgCounter = 0;
        silentTicks = 0;
        stopTimer(connectionTimer, false);
        report([](auto& d) { d.readerConnected(); });
        state = State::waitingForVersion;
        writeData(VERSION_DATA);
        return;
    }
    state = State::idle;
    isConnected_.store(false);
    readBuffer.clear();
    stopTimer(watchdogTimer, true);
    abandonReaderConnection();
    // The connection going down after this is not reported again.
    failConnection(OrvexConnectionError::badAnswer);
}

bool Link::appendToReadBuffer(const Bytes& data) {
    if (data.size() > READ_BUFFER_CAP - std::min(readBuffer.size(), READ_BUFFER_CAP)) {
        readBuffer.clear();
        return false;
    }
    readBuffer.insert(readBuffer.end(), data.begin(), data.end());
    return true;
}

void Link::dropBytesBeforeAwaitedAnswer() {
    std::uint8_t awaited = 0;
    if (state == State::waitingForVersion) {
        awaited = code::version;
    } else if (state == State::checkMicroApp) {
        awaited = code::microAppCheck;
    } else {
        return;
    }
    const auto start = std::find_if(readBuffer.begin(), readBuffer.end(), [awaited](auto b) {
        return b == awaited || b == code::negative;
    });
    readBuffer.erase(readBuffer.begin(), start);
}

void Link::readData(const Bytes& data) {
    if (data.empty()) return;
    // Most of an export: whole records in a notification, with nothing buffered before them.
    // They are decoded where they lie in the notification, as the dispatch below would
    // decode them after copying them into the buffer.
    if (readBuffer.empty() && data.front() == code::exportRecord &&
        data.size() >= EXPORT_RECORD_SIZE && data.size() <= READ_BUFFER_CAP && mayStartExport()) {
        state = State::receivingExport;
        exportRecordsComplete(data);
        return;
    }
    if (!appendToReadBuffer(data)) return;
    dropBytesBeforeAwaitedAnswer();
    if (readBuffer.empty()) return;

    if (readBuffer.front() != code::exportRecord) hasLastExportRecord = false;

    // A message that answers nothing the link is waiting for is dropped whole: it would
    // otherwise end, or be taken for, the exchange under way.
    switch (readBuffer.front()) {
        case code::contact:
            // Only the reading whose contact was asked for takes a contact answer.
            if (state != State::waitingForContact && state != State::receivingContact) {
                readBuffer.clear();
                return;
            }
            state = State::receivingContact;
            break;
        case code::text:
            if (carriesStatusTag(data)) {
                statusMessage(data);
                return;
            }
            if (!mayStartReading()) {
                readBuffer.clear();
                return;
            }
            state = State::incomingScan;
            break;
        case code::noResult:
            if (state == State::waitingForContact) {
                noContact();
            } else if (state == State::waitingForScan && scanPending) {
                state = State::idle;
                failScan();
            }
            break;
        case code::negative:
            if (state == State::waitingForVersion) {
                report([](auto& d) { d.version(std::string(VERSION_REFUSED_TEXT)); });
                readBuffer.clear();
                checkMicroApp();
            } else if (state == State::waitingForBattery) {
                readBuffer.clear();
                state = State::idle;
            } else if (state == State::checkMicroApp) {
                updateMicroApp(data);
            }
            break;
        case code::ack:
            if (readBuffer.size() == 1 && state == State::pingSent) {
                state = State::idle;
                --pingCounter;
            }
            break;
        case code::microAppCheck:
            if (state != State::checkMicroApp) {
                readBuffer.clear();  // a repeated answer
                return;
            }
            if (readBuffer.size() < MICRO_APP_ANSWER_SIZE) break;
            if (readBuffer[1] == 0x00 && readBuffer[2] == 0x01) {
                state = State::waitingForBattery;
                writeData(BATTERY_DATA);
            } else {
                updateMicroApp(data);
            }
            break;
        case code::version:
            if (state != State::waitingForVersion) {
                readBuffer.clear();  // a repeated answer starts nothing again
                return;
            }
            handleVersion();
            break;
        case code::requestedScan:
            if (state == State::waitingForScan) state = State::receivingScan;
            break;
        case code::battery:
            if (state != State::waitingForBattery && state != State::idle &&
                state != State::pingSent) {
                readBuffer.clear();  // late or repeated; the exchange under way goes on
                return;
            }
            handleBattery();
            break;
        case code::scan:
            if (!mayStartReading()) {
                readBuffer.clear();
                return;
            }
            state = State::receivingScan;
            break;
        case code::exportRecord:
            if (!mayStartExport()) {
                readBuffer.clear();
                return;
            }
            state = State::receivingExport;
            break;
        default:
            readBuffer.clear();
            break;
    }

    // After the dispatch.
    if (readBuffer.empty()) return;
    switch (state) {
        case State::receivingScan:
        case State::receivingExport:
        case State::receivingContact:
        case State::incomingScan:
            handleData();
            break;
        case State::waitingForVersion:
        case State::checkMicroApp:
            break;  // the message is still arriving
        default:
            readBuffer.clear();
            break;
    }
}

// Completes a buffered message once enough of it is there. Bytes left behind a completed
// record wait for the next notification.
void Link::handleData() {
    switch (state) {
        case State::receivingScan:
            if (readBuffer.size() >= PACKED_SCAN_SIZE) scanRecordComplete();
            break;
        case State::incomingScan:
            if (readBuffer.size() >= TEXT_SCAN_SIZE) scanRecordComplete();
            break;
        case State::receivingExport:
            if (readBuffer.size() >= EXPORT_RECORD_SIZE) exportRecordsComplete();
            break;
        case State::receivingContact:
            if (readBuffer.size() >= CONTACT_ANSWER_SIZE) contactAnswerComplete();
            break;
        default:
            break;
    }
}

// A status message (55 "QX,S" and the scan state) in one notification. Bytes after the
// sixth start the next message; they are looked at when the next notification arrives.
void Link::statusMessage(const Bytes& data) {
    const auto scanState = data[STATUS_MESSAGE_SIZE - 1];
    if (scanState == STATUS_END) {
        if (!contactPending) {
            // A host scan still waits for its own answer.
            state = scanPending ? State::waitingForScan : State::idle;
            report([](auto& d) { d.readerScanning(false); });
        }
    } else if (scanState == STATUS_BEGIN) {
        if (mayStartReading()) state = State::waitingForScan;
        report([](auto& d) { d.readerScanning(true); });
    }
    readBuffer.clear();
    if (data.size() > STATUS_MESSAGE_SIZE) {
        appendToReadBuffer(Bytes(data.begin() + STATUS_MESSAGE_SIZE, data.end()));
    }
}

void Link::writeData(const Bytes& data) {
    if (!readerPeripheral || !readerCharacteristic) return;
    if (data.empty()) return;
    traceWrite(*readerPeripheral, data);
    readerPeripheral->writeValue(data, readerCharacteristic, characteristicWriteType);
}

}  // namespace orvex::detail
