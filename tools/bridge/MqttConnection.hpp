// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "BridgeConfig.hpp"

// One MQTT 5 connection to the broker, on libmosquitto, with a network thread of its own.
// It never reconnects by itself: when it ends it says why, once, and the bridge decides
// what comes next (a new connection after a backoff, or giving up). Publishing is at
// QoS 1; the broker's acknowledgement is reported with the message id publish() returned.

namespace orvex::bridge {

struct MqttSettings {
    BrokerAddress broker;
    std::string clientId;
    std::string username;
    std::string password;
    std::string caFile;  // empty with TLS: the system's CA certificates
    std::string certFile;
    std::string keyFile;
    int keepalive = 30;
    // The Last Will: published (retained, QoS 1) by the broker when the connection dies
    // without a DISCONNECT.
    std::string willTopic;
    std::string willPayload;
};

struct MqttMessage {
    std::string topic;
    std::string payload;
    // MQTT 5 properties of a request (empty: absent).
    std::string responseTopic;
    std::string correlation;
};

class MqttConnection {
public:
    // Called on the network thread, never after stop() has returned.
    struct Listener {
        std::function<void()> connected;
        // The connection ended, or never came up. `fatal`: retrying cannot help (refused
        // credentials, a TLS certificate that does not verify).
        std::function<void(const std::string& reason, bool fatal)> ended;
        // The broker acknowledged message `mid`; `refusal` is empty unless it refused it.
        std::function<void(int mid, const std::string& refusal)> acknowledged;
        std::function<void(MqttMessage message)> message;
    };

    // Sets the connection up and starts connecting on its own thread. Nothing, with a
    // one-line reason in `error`, when the settings are unusable (an unreadable CA file).
    static std::unique_ptr<MqttConnection> start(const MqttSettings& settings, Listener listener,
                                                 std::string& error);
    ~MqttConnection();
    MqttConnection(const MqttConnection&) = delete;
    MqttConnection& operator=(const MqttConnection&) = delete;

    // Queues a QoS 1 message; returns its message id, or -1 when the connection cannot
    // take it (it is not up).
    int publish(const std::string& topic, const std::string& payload, bool retain,
                const std::string& correlation = {});
    // Subscribes at QoS 1; false when the connection cannot take it.
    bool subscribe(const std::string& filter);
    // Ends the connection with a DISCONNECT after giving what is queued up to `grace`
    // seconds to go out, and stops the thread. No listener call follows.
    void stop(double grace);

    class Core;  // internal

private:
    explicit MqttConnection(std::shared_ptr<Core> core);
    std::shared_ptr<Core> core_;
};

// The text of a libmosquitto result code.
std::string mqttError(int rc);

}  // namespace orvex::bridge
