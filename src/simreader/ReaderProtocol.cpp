// SPDX-License-Identifier: Apache-2.0
#include "simreader/ReaderProtocol.hpp"

#include <algorithm>
#include <utility>

namespace orvex::sim {

namespace {

// Command bytes (first content byte of a frame).
constexpr std::uint8_t kLock = 0x00;
constexpr std::uint8_t kSlice = 0x01;
constexpr std::uint8_t kUnlock = 0x02;
constexpr std::uint8_t kTransponder = 0x03;
constexpr std::uint8_t kMicroAppCheck = 0x04;
constexpr std::uint8_t kVersion = 0x07;
constexpr std::uint8_t kScan = 0x08;
constexpr std::uint8_t kScanParameter = 0x0F;
constexpr std::uint8_t kBattery = 0x0E;

constexpr std::uint8_t kContactRead[] = {0x10, 0x10, 0x7C};
constexpr std::uint8_t kContactWrite[] = {0x11, 0x10, 0x7C};
constexpr std::size_t kContactSize = 24;
constexpr std::size_t kHeadSize = 16;
constexpr std::size_t kMaxSlice = 80;
constexpr std::size_t kMinNotification = 6;
constexpr std::size_t kFramesKept = 256;
constexpr std::int8_t kFdxb = 4;

bool startsWith(const Bytes& content, std::size_t at, const std::uint8_t (&what)[3]) {
    return content.size() >= at + 3 && std::equal(what, what + 3, content.begin() + at);
}

}  // namespace

ReaderProtocol::ReaderProtocol(SimReaderConfig config, Io io)
    : config_(std::move(config)),
      io_(std::move(io)),
      parser_([this](const Bytes& content) { frame(content); }),
      dice_(config_.faults.randomStart) {}

void ReaderProtocol::connected() {
    ++epoch_;
    isConnected_ = true;
    framesThisConnection_ = 0;
    parser_.reset();
}

void ReaderProtocol::disconnected() {
    ++epoch_;
    isConnected_ = false;
    parser_.reset();
    // An upload cut off by the disconnection is not resumed.
    uploading_ = false;
}

void ReaderProtocol::received(const Bytes& written) {
    if (isConnected_) parser_.feed(written);
}

void ReaderProtocol::frame(const Bytes& content) {
    if (!isConnected_) return;  // the rest of a write after a fault disconnection
    ++framesThisConnection_;
    ++framesTotal_;
    if (frames_.size() == kFramesKept) frames_.erase(frames_.begin());
    frames_.push_back(content);
    if (faultDisconnect(content)) return;
    answerTo(content);
}

bool ReaderProtocol::faultDisconnect(const Bytes& content) {
    const SimFaults& f = config_.faults;
    bool drop = false;
    if (!frameFaultUsed_ && f.disconnectAtFrame && framesThisConnection_ == *f.disconnectAtFrame) {
        frameFaultUsed_ = true;
        drop = true;
    }
    if (!sliceFaultUsed_ && f.disconnectAtSlice && uploading_ && !content.empty() &&
        content[0] == kSlice && slicesThisUpload_ + 1 == *f.disconnectAtSlice) {
        sliceFaultUsed_ = true;
        drop = true;
    }
    if (!contactFaultUsed_ && f.disconnectOnContactWrite && content.size() >= 4 &&
        content[0] == kTransponder && startsWith(content, 1, kContactWrite)) {
        contactFaultUsed_ = true;
        drop = true;
    }
    if (!drop) return false;
    // Nothing more is read or answered on this connection, also not what is already queued.
    ++epoch_;
    isConnected_ = false;
    if (io_.disconnect) io_.disconnect();
    return true;
}

void ReaderProtocol::answerTo(const Bytes& content) {
    if (content.empty()) {
        if (!config_.faults.ignorePings) send({answer::ack});
        return;
    }
    const std::uint8_t command = content[0];
    switch (command) {
        case kVersion:
            send(versionMessage(config_.version));
            return;
        case kBattery:
            send(batteryMessage(config_.batteryRaw));
            return;
        case kMicroAppCheck:
            send({answer::microAppCheck, 0x00,
                  static_cast<std::uint8_t>(config_.microAppCurrent ? 0x01 : 0x02)});
            return;
        case kScan:
            if (content.size() == 2 && content[1] == kScanParameter) {
                const SimTag* tag = tagInField();
                send(tag ? packedRecord(answer::requestedScan, *tag) : Bytes{answer::noResult});
                return;
            }
            break;
        case kTransponder:
            transponderCommand(content);
            return;
        case kLock:
            lock(content);
            return;
        case kSlice:
            slice(content);
            return;
        case kUnlock:
            unlock();
            return;
        default:
            break;
    }
    send({answer::negative});
}

void ReaderProtocol::transponderCommand(const Bytes& content) {
    if (content.size() == 4 && startsWith(content, 1, kContactRead)) {
        const SimTag* tag = tagInField();
        if (tag && tag->type == kFdxb && tag->contact && tag->contact->size() == kContactSize) {
            Bytes out{answer::contact};
            out.insert(out.end(), tag->contact->begin(), tag->contact->end());
            send(std::move(out));
        } else {
            send({answer::noResult});
        }
        return;
    }
    if (startsWith(content, 1, kContactWrite)) {
        SimTag* tag = tagInField();
        const bool ok =
            content.size() == 4 + kContactSize && tag && tag->type == kFdxb && tag->writable;
        if (ok) tag->contact = Bytes(content.begin() + 4, content.end());
        send({ok ? answer::contactWritten : answer::contactNotWritten});
        return;
    }
    send({answer::negative});
}

void ReaderProtocol::lock(const Bytes& content) {
    if (content.size() != 1 + kHeadSize) {
        uploading_ = false;
        send({answer::negative});
        return;
    }
    image_.assign(content.begin() + 1, content.end());
    uploading_ = true;
    slicesThisUpload_ = 0;
    send({answer::lockAck});
}

void ReaderProtocol::slice(const Bytes& content) {
    if (!uploading_ || content.size() > 1 + kMaxSlice) {
        send({answer::negative});
        return;
    }
    image_.insert(image_.end(), content.begin() + 1, content.end());
    ++slicesThisUpload_;
    send({answer::sliceAck});
}

void ReaderProtocol::unlock() {
    if (uploading_) {
        uploading_ = false;
        config_.microAppCurrent = true;
    }
    send({answer::unlockAck});
}

const SimTag* ReaderProtocol::tagInField() const {
    if (!config_.tagInField || *config_.tagInField >= config_.tags.size()) return nullptr;
    return &config_.tags[*config_.tagInField];
}

SimTag* ReaderProtocol::tagInField() {
    return const_cast<SimTag*>(std::as_const(*this).tagInField());
}

void ReaderProtocol::triggerReading(SimReadingFormat format) {
    send(statusMessage('B'));
    if (const SimTag* tag = tagInField()) {
        send(format == SimReadingFormat::packed ? packedRecord(answer::scan, *tag)
                                                : textRecord(*tag));
        config_.storedReadings.push_back(*tag);
    }
    send(statusMessage('E'), config_.triggerEndDelay);
}

void ReaderProtocol::exportReadings() {
    std::size_t number = 1;
    for (const SimTag& reading : config_.storedReadings) send(exportRecord(number++, reading));
}

void ReaderProtocol::reportBattery() {
    send(batteryMessage(config_.batteryRaw));
}

void ReaderProtocol::send(Bytes message, double extraDelay) {
    const SimFaults& f = config_.faults;
    if (f.garbageRate > 0.0 && !f.garbageBytes.empty() && dice_.roll(f.garbageRate)) {
        queue(f.garbageBytes, extraDelay, SimSendKind::garbage);
    }
    if (dice_.roll(f.dropRate)) return;
    const bool twice = dice_.roll(f.duplicateRate);
    if (twice) queue(message, extraDelay, SimSendKind::message);
    queue(std::move(message), extraDelay, twice ? SimSendKind::repeat : SimSendKind::message);
}

void ReaderProtocol::queue(Bytes message, double extraDelay, SimSendKind kind) {
    const std::uint64_t epoch = epoch_;
    io_.after(config_.answerDelay + extraDelay, [this, epoch, kind, message = std::move(message)] {
        if (epoch == epoch_ && isConnected_) deliver(message, kind);
    });
}

void ReaderProtocol::deliver(const Bytes& message, SimSendKind kind) {
    ++messagesSent_;
    if (io_.sent) io_.sent(message, kind);
    const std::size_t size = std::max(config_.notificationSize, kMinNotification);
    for (std::size_t at = 0; at < message.size(); at += size) {
        const auto begin = message.begin() + static_cast<std::ptrdiff_t>(at);
        const auto end =
            message.begin() + static_cast<std::ptrdiff_t>(std::min(at + size, message.size()));
        io_.notify(Bytes(begin, end));
    }
}

}  // namespace orvex::sim
