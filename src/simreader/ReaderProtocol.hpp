// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "orvex/sim/SimReader.hpp"
#include "simreader/FaultDice.hpp"
#include "simreader/FrameParser.hpp"
#include "simreader/Messages.hpp"

// The reader's side of the wire protocol, free of any platform: it takes the bytes the
// central writes and answers through injected functions. The simulated device wraps it.

namespace orvex::sim {

class ReaderProtocol {
public:
    struct Io {
        // Sends one notification (never longer than the notification size).
        std::function<void(const Bytes&)> notify;
        // Runs `action` after `seconds` on the device's clock.
        std::function<void(double seconds, std::function<void()> action)> after;
        // Drops the connection from the reader's side.
        std::function<void()> disconnect;
        // Sees every message as it goes out, whole (may be empty).
        SimSendTap sent;
    };

    ReaderProtocol(SimReaderConfig config, Io io);

    // Connection events. Answers still pending from an earlier connection are never sent.
    void connected();
    void disconnected();

    // One write of the central to the reader's write characteristic.
    void received(const Bytes& written);

    // The reader's own actions: a reading on its trigger (status "B", the reading of the
    // tag in the field if there is one, status "E"; the reading is also stored), and an
    // export of every stored reading as numbered records.
    void triggerReading(SimReadingFormat format = SimReadingFormat::packed);
    void exportReadings();
    void reportBattery();
    void setSendTap(SimSendTap tap) { io_.sent = std::move(tap); }

    // What a test looks at.
    const SimReaderConfig& config() const { return config_; }
    SimReaderConfig& config() { return config_; }
    // The last micro-app image uploaded (head and body in order), complete or not.
    const Bytes& uploadedImage() const { return image_; }
    bool uploadInProgress() const { return uploading_; }
    std::size_t framesReceived() const { return framesTotal_; }
    const std::vector<Bytes>& framesLog() const { return frames_; }
    std::size_t droppedFrames() const { return parser_.droppedFrames(); }
    std::size_t bufferedBytes() const { return parser_.bufferedContent(); }
    // Answer messages sent (after faults), counted per message and not per notification.
    std::size_t messagesSent() const { return messagesSent_; }

private:
    void frame(const Bytes& content);
    bool faultDisconnect(const Bytes& content);
    void answerTo(const Bytes& content);
    void transponderCommand(const Bytes& content);
    void lock(const Bytes& content);
    void slice(const Bytes& content);
    void unlock();
    const SimTag* tagInField() const;
    SimTag* tagInField();

    // Sends one message after the answer delay (and `extraDelay`), faults applied.
    void send(Bytes message, double extraDelay = 0.0);
    // Sends one message after the answer delay and `extraDelay`, as it is.
    void queue(Bytes message, double extraDelay, SimSendKind kind);
    // Splits a message into notifications.
    void deliver(const Bytes& message, SimSendKind kind);

    SimReaderConfig config_;
    Io io_;
    FrameParser parser_;
    FaultDice dice_;

    std::uint64_t epoch_ = 0;  // grows with every connection change
    bool isConnected_ = false;
    std::size_t framesThisConnection_ = 0;
    std::size_t framesTotal_ = 0;
    std::vector<Bytes> frames_;  // the most recent frames, bounded
    std::size_t messagesSent_ = 0;

    Bytes image_;
    bool uploading_ = false;
    std::size_t slicesThisUpload_ = 0;

    bool frameFaultUsed_ = false;
    bool sliceFaultUsed_ = false;
    bool contactFaultUsed_ = false;
};

}  // namespace orvex::sim
