// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BridgeConfig.hpp"
#include "EventLoop.hpp"
#include "MqttConnection.hpp"
#include "Payloads.hpp"
#include "ReaderLink.hpp"
#include "Spool.hpp"
#include "Topics.hpp"

// The bridge: readers on one side, one MQTT connection on the other, the spool between.
// Every reading, export record, status and reply is spooled first (with the reader's next
// sequence number), then published at QoS 1 in spool order, and removed from the spool
// when the broker acknowledges it. After a reconnection, or a restart, publishing starts
// again at the oldest message the broker has not acknowledged: a consumer may see a
// message twice, never miss one.

namespace orvex::bridge {

class Bridge {
public:
    explicit Bridge(BridgeConfig config);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Runs until stop() (or, with --once, until the spool is delivered); returns the exit
    // code: 0, or 1 after a failure that was reported on the log.
    int run();
    // Asks run() to wind down cleanly. Any thread (a signal-handling thread, say).
    void stop();

private:
    struct Pending {
        std::string command;
        std::string id;
        std::string replyTopic;
        std::string correlation;
        EventLoop::TimerId timer = 0;
    };
    struct Reader {
        ReaderSpec wanted;
        std::unique_ptr<ReaderLink> link;
        ReaderStatus status;
        std::optional<Pending> pending;
    };

    bool open();
    void connect();
    void connectLater();
    void onConnected(std::uint64_t generation);
    void onEnded(std::uint64_t generation, const std::string& reason, bool fatal);
    void onAcknowledged(std::uint64_t generation, int mid, const std::string& refusal);
    void onMessage(const MqttMessage& message);
    void onReaderEvent(Reader& reader, const ReaderEvent& event);

    void spoolRecord(Reader& reader, const std::string& topic,
                     const std::function<std::string(std::int64_t)>& payload);
    void spoolStatus(Reader& reader);
    void reply(Reader& reader, const Pending& to, bool ok, const std::string& error,
               const nlohmann::json& extra = nlohmann::json::object());
    void finishCommand(Reader& reader, bool ok, const std::string& error,
                       const nlohmann::json& extra = nlohmann::json::object());
    void checkSpoolRoom();

    // After each batch of events: commit what was spooled, then publish from the spool.
    void afterBatch();
    void pump();
    void beginShutdown(int exitCode);
    void finishShutdown();

    BridgeConfig config_;
    Topics topics_;
    EventLoop loop_;
    std::unique_ptr<Spool> spool_;
    std::vector<std::unique_ptr<Reader>> readers_;

    std::unique_ptr<MqttConnection> connection_;
    std::uint64_t generation_ = 0;
    bool connected_ = false;
    double backoff_;
    EventLoop::TimerId reconnectTimer_ = 0;
    std::string lastFailure_;
    bool failureLogged_ = false;
    // Message ids in flight -> spool ids; the last spool id handed to the connection.
    std::map<int, std::int64_t> inflight_;
    std::int64_t cursor_ = 0;
    bool spoolFull_ = false;

    bool stopping_ = false;
    bool finished_ = false;
    int exitCode_ = 0;
    EventLoop::TimerId shutdownTimer_ = 0;
};

}  // namespace orvex::bridge
