// SPDX-License-Identifier: Apache-2.0
// Keep-alive: the watchdog that probes the reader until the handshake and pings it
// afterwards, the periodic battery request, and the version and battery answers.

#include "reader/Link.hpp"
#include "reader/Logging.hpp"
#include "reader/Messages.hpp"

namespace orvex::detail {

// Every WATCHDOG_INTERVAL seconds, and once when the characteristics become known. Ticks
// that find another exchange outstanding are skipped and not counted.
void Link::watchdog() {
    // Anything heard from the reader since the last tick shows it is alive: only pings lost
    // in a row count toward the limit.
    if (heardFromReader) pingCounter = 0;
    // A ping or battery request still unanswered a whole interval later was lost. The tick
    // goes on as an idle one, so the ping stays counted and a reader that has gone silent
    // reaches the ping limit instead of leaving the link waiting for ever.
    if (isConnected_.load() && (state == State::pingSent || state == State::waitingForBattery)) {
        state = State::idle;
    }
    // A message half received keeps the link from pinging: the answer would be taken for its
    // next byte.
    if (state != State::idle || framer_.buffered() > 0) {
        log(LogLevel::debug, "watchdog tick: link busy, {} silent tick(s) so far", silentTicks);
        askAgainIfUnanswered();
        endStalledUpload();
        countSilentTick();
        return;
    }
    silentTicks = 0;
    heardFromReader = false;
    if (pingCounter > PING_LIMIT) {
        log(LogLevel::info, "the reader left {} pings unanswered; dropping the link", pingCounter);
        if (readerPeripheral) {
            cancelReaderConnection();  // the disconnection handling does the rest
        } else {
            isConnected_.store(false);
            state = State::idle;
        }
        return;
    }
    ++msgCounter;
    if (msgCounter % BATTERY_PERIOD == 0) {
        state = State::waitingForBattery;
        log(LogLevel::debug, "watchdog tick {}: asking for the battery level", msgCounter);
        writeData(BATTERY_DATA);
    } else {
        log(LogLevel::debug, "watchdog tick {}: ping ({} unanswered)", msgCounter, pingCounter);
        pingReader();
    }
}

// Busy ticks are skipped, so a reader that stops answering would leave the link waiting
// for ever with no ping counted. Instead, once the link has waited through more than
// PING_LIMIT ticks in a row without a byte from the reader, it drops the connection, as
// the ping limit does; a message left half-received is dropped instead and the link goes
// back to idle. Readings and contact operations have timers of their own.
void Link::countSilentTick() {
    const bool midMessage = framer_.buffered() > 0;
    if (!midMessage) {
        switch (state) {
            case State::idle:
            case State::waitingForScan:
            case State::waitingForContact:
            case State::writingContact:
                silentTicks = 0;
                heardFromReader = false;
                return;
            default:
                break;
        }
    }
    if (!isConnected_.load()) return;
    silentTicks = heardFromReader ? 0 : silentTicks + 1;
    heardFromReader = false;
    if (silentTicks <= PING_LIMIT) return;
    log(LogLevel::info, "the reader stayed silent for {} watchdog ticks", silentTicks);
    silentTicks = 0;
    if (midMessage) {
        // A message that stopped half-way will not be completed: drop it; the pings then
        // tell whether the reader is still there.
        framer_.clear();
        return;
    }
    if (readerPeripheral) {
        cancelReaderConnection();  // the disconnection handling does the rest
    } else {
        isConnected_.store(false);
        state = State::idle;
    }
}

// The version request and the micro-app check have no timer of their own, and a reader that
// keeps reading tags is never silent: an answer lost on the way would hold the link (and the
// contact reads of every reading) for good. A request left unanswered for a whole watchdog
// interval while the reader goes on talking is sent again; an answer to both is taken once,
// the second finding nothing waiting.
void Link::askAgainIfUnanswered() {
    if (!isConnected_.load() ||
        (state != State::waitingForVersion && state != State::checkMicroApp)) {
        handshakeTicks = 0;
        return;
    }
    // A silent reader is left to the silence rule (countSilentTick()).
    if (++handshakeTicks < 2 || !heardFromReader) return;
    handshakeTicks = 0;
    const bool version = state == State::waitingForVersion;
    log(LogLevel::info, "the reader left the {} unanswered; asking again",
        version ? "version request" : "micro-app check");
    writeData(version ? VERSION_DATA : CHECK_MICRO_APP_DATA);
}

// An upload waits for each acknowledgement without a timer of its own. When the reader goes on
// talking but leaves the upload unanswered for UPLOAD_STALL_TICKS ticks (far longer than any
// answer takes), the acknowledgement was lost: the upload is ended as failed (no unlock is sent, so the reader never takes a
// half-written micro app for a whole one) and the link goes on; the next connection's check
// asks for the upload again.
void Link::endStalledUpload() {
    if (state != State::updatingMicroApp || !readerUpdater) {
        uploadTicks = 0;
        return;
    }
    if (++uploadTicks < UPLOAD_STALL_TICKS || !heardFromReader) return;
    uploadTicks = 0;
    log(LogLevel::error, "the reader left the micro-app upload unanswered for {} watchdog ticks",
        UPLOAD_STALL_TICKS);
    endUpload(OrvexDeviceUpdateStatus::failed);
    state = State::waitingForBattery;
    writeData(BATTERY_DATA);
}

void Link::pingReader() {
    if (isConnected_.load()) {
        if (state != State::idle) return;
        writeData(PING_DATA);
        ++pingCounter;
        state = State::pingSent;
        return;
    }
    // Handshake probe: the answer is judged by the handshake rule.
    writeData(PING_DATA);
}

void Link::handleVersion(std::span<const std::uint8_t> message) {
    const auto text = versionText(message);
    report([&](auto& d) { d.version(text); });
    checkMicroApp();
}

// The reader's battery level, asked for or sent on its own, is always reported; it ends a
// battery request under way.
void Link::handleBattery(std::span<const std::uint8_t> message) {
    const auto level = batteryLevel(message[1]);
    if (state == State::waitingForBattery) state = State::idle;
    report([level](auto& d) { d.battery(level); });
}

}  // namespace orvex::detail
