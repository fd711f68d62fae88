// SPDX-License-Identifier: Apache-2.0
// The receive and send path: notifications from the reader, the handshake, whole messages
// routed by their kind, and writeData.

#include <algorithm>

#include "orvex/Contact.hpp"
#include "reader/ContactUpdater.hpp"
#include "reader/Link.hpp"
#include "reader/Logging.hpp"
#include "reader/Messages.hpp"

namespace orvex::detail {

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
    std::span<const std::uint8_t> bytes(value);
    if (!isConnected_.load() && framer_.buffered() == 0 && !readerMaySendUnasked(value.front())) {
        // The answer to the handshake ping, where only its first byte counts.
        if (value.front() != code::ack) {
            refuseHandshake();
            return;
        }
        completeHandshake();
        // What follows the acknowledgement in its notification is read as messages.
        bytes = bytes.subspan(1);
    }
    framer_.push(bytes, [this](const Message& message) { route(message); });
    pumpContactReads();
}

// The lead bytes of what a reader sends by itself, asked or not: a reader that is reading
// tags or sending its stored readings as the link connects goes on doing so, and none of it
// may be lost to the handshake.
bool Link::readerMaySendUnasked(std::uint8_t lead) {
    return lead == code::scan || lead == code::text || lead == code::exportRecord ||
           lead == code::battery;
}

void Link::completeHandshake() {
    isConnected_.store(true);
    attemptOpen = false;
    state = State::idle;
    pingCounter = 0;
    msgCounter = 0;
    silentTicks = 0;
    stopTimer(connectionTimer, false);
    report([](auto& d) { d.readerConnected(); });
    state = State::waitingForVersion;
    handshakeTicks = 0;
    writeData(VERSION_DATA);
}

void Link::refuseHandshake() {
    state = State::idle;
    isConnected_.store(false);
    framer_.clear();
    stopTimer(watchdogTimer, true);
    abandonReaderConnection();
    // A reading the reader sent before its bad answer gets its final report now, without a
    // contact: there is no link to read one over.
    endInterruptedScan();
    // The connection going down after this is not reported again.
    failConnection(OrvexConnectionError::badAnswer);
}

bool Link::takenBeforeHandshake(const Message& message) {
    switch (message.kind) {
        case MessageKind::reading:
        case MessageKind::textReading:
        case MessageKind::exportRecord:
        case MessageKind::battery:
            return true;
        case MessageKind::status: {
            // The reader's scan state is reported; the link has no scan of its own to follow.
            const auto scanState = message.bytes[STATUS_MESSAGE_SIZE - 1];
            if (scanState == STATUS_BEGIN || scanState == STATUS_END) {
                report([begun = scanState == STATUS_BEGIN](auto& d) { d.readerScanning(begun); });
            }
            return false;
        }
        case MessageKind::ack:
            completeHandshake();
            return false;
        default:
            refuseHandshake();  // the framer drops the rest of the notification
            return false;
    }
}

bool Link::isDoubled(const Message& message) {
    bool doubled = false;
    switch (message.kind) {
        case MessageKind::reading:
        case MessageKind::textReading:
        case MessageKind::battery:
        case MessageKind::contact:
        case MessageKind::noResult: {
            const auto at = platform_->now();
            doubled = hasLastMessage && at - lastMessageAt < DOUBLED_MESSAGE_WINDOW &&
                      std::equal(message.bytes.begin(), message.bytes.end(),
                                 lastMessage.begin(), lastMessage.end());
            lastMessage.assign(message.bytes.begin(), message.bytes.end());
            hasLastMessage = true;
            // A doubled notification follows its original at once: the window runs from the
            // original.
            if (!doubled) lastMessageAt = at;
            break;
        }
        default:
            hasLastMessage = false;
            break;
    }
    if (doubled) log(LogLevel::debug, "a doubled notification of the message before it dropped");
    return doubled;
}

void Link::route(const Message& message) {
    if (message.kind != MessageKind::exportRecord) hasLastExportRecord = false;
    if (isDoubled(message)) return;
    if (!isConnected_.load() && !takenBeforeHandshake(message)) return;
    const auto bytes = message.bytes;
    switch (message.kind) {
        case MessageKind::ack:
            if (state == State::pingSent) {
                state = State::idle;
                --pingCounter;
            }
            return;
        case MessageKind::version:
            // A repeated answer starts nothing again.
            if (state == State::waitingForVersion) handleVersion(bytes);
            return;
        case MessageKind::negative:
            negativeAnswer(bytes);
            return;
        case MessageKind::microAppCheck:
            if (state == State::checkMicroApp) microAppCheckAnswer(bytes);
            return;
        case MessageKind::battery:
            handleBattery(bytes);
            return;
        case MessageKind::status:
            statusMessage(bytes[STATUS_MESSAGE_SIZE - 1]);
            return;
        case MessageKind::reading:
        case MessageKind::textReading:
            readingReceived(message);
            return;
        case MessageKind::requestedReading:
            if (state == State::writingContact) {
                toContactUpdater(bytes);
            } else if (scanPending) {
                readingReceived(message);
            }
            // Else the answer to a scan nobody waits for any more.
            return;
        case MessageKind::noResult:
            noResult();
            return;
        case MessageKind::contact:
            contactAnswer(bytes);
            return;
        case MessageKind::contactWritten:
        case MessageKind::contactNotWritten:
            if (state == State::writingContact) toContactUpdater(bytes);
            return;
        case MessageKind::lockAck:
        case MessageKind::sliceAck:
        case MessageKind::unlockAck:
            if (state == State::updatingMicroApp) toUpload(bytes);
            return;
        case MessageKind::exportRecord:
            exportRecordsReceived(bytes);
            return;
    }
}

// 7F answers the request under way, whichever it is; with none, it answers nothing.
void Link::negativeAnswer(std::span<const std::uint8_t> bytes) {
    switch (state) {
        case State::waitingForVersion:
            report([](auto& d) { d.version(std::string(VERSION_REFUSED_TEXT)); });
            checkMicroApp();
            return;
        case State::waitingForBattery:
            state = State::idle;
            return;
        case State::checkMicroApp:
        case State::updatingMicroApp:
            toUpload(bytes);
            return;
        case State::writingContact:
            toContactUpdater(bytes);
            return;
        default:
            return;
    }
}

void Link::microAppCheckAnswer(std::span<const std::uint8_t> bytes) {
    if (bytes[1] == 0x00 && bytes[2] == 0x01) {
        state = State::waitingForBattery;
        writeData(BATTERY_DATA);
    } else {
        toUpload(bytes);
    }
}

// An answer of the upload's (or the check answer that starts one): the upload has heard
// from the reader.
void Link::toUpload(std::span<const std::uint8_t> bytes) {
    uploadTicks = 0;
    updateMicroApp(Bytes(bytes.begin(), bytes.end()));
}

void Link::toContactUpdater(std::span<const std::uint8_t> bytes) {
    if (auto updater = contactUpdater) updater->handleMessage(Bytes(bytes.begin(), bytes.end()));
}

// A status message: 55 "QX,S" and the reader's scan state.
void Link::statusMessage(std::uint8_t scanState) {
    if (scanState == STATUS_END) {
        // While a contact read is under way the reader's scan has already ended with its
        // reading; the contact read goes on.
        if (state == State::waitingForContact) return;
        // A host scan still waits for its own answer.
        if (state == State::waitingForScan && !scanPending) state = State::idle;
        report([](auto& d) { d.readerScanning(false); });
    } else if (scanState == STATUS_BEGIN) {
        if (mayStartReading()) state = State::waitingForScan;
        report([](auto& d) { d.readerScanning(true); });
    }
}

void Link::writeData(const Bytes& data) {
    if (!readerPeripheral || !readerCharacteristic) return;
    if (data.empty()) return;
    traceWrite(*readerPeripheral, data);
    readerPeripheral->writeValue(data, readerCharacteristic, characteristicWriteType);
}

}  // namespace orvex::detail
