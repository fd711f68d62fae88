// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// An MQTT 5 client standing for a consumer: it subscribes with a persistent session (so
// what the bridge publishes while the client is away waits at the broker), reconnects by
// itself, records every message, and can send commands.

namespace orvex::test {

struct Received {
    std::string topic;
    std::string payload;
    nlohmann::json body;  // discarded when the payload is not JSON
    bool retained = false;
    std::string correlation;
    // When it arrived (seconds since the Unix epoch).
    double arrived = 0.0;
};

class TestClient {
public:
    TestClient(int port, std::string clientId, std::vector<std::string> subscriptions)
        : subscriptions_(std::move(subscriptions)) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(clientId.c_str(), false, this);
        mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_v5_callback_set(mosq_, &TestClient::onConnect);
        mosquitto_subscribe_v5_callback_set(mosq_, &TestClient::onSubscribe);
        mosquitto_message_v5_callback_set(mosq_, &TestClient::onMessage);
        mosquitto_property* props = nullptr;
        mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
        // The broker is up when a client is made; later outages are retried by the library.
        mosquitto_connect_bind_v5(mosq_, "127.0.0.1", port, 30, nullptr, props);
        mosquitto_property_free_all(&props);
        mosquitto_loop_start(mosq_);
    }
    ~TestClient() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // Waits until the subscriptions are in place.
    bool waitSubscribed(double seconds) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return subscribed_; });
    }

    bool publish(const std::string& topic, const std::string& payload,
                 const std::string& responseTopic = {}, const std::string& correlation = {}) {
        mosquitto_property* props = nullptr;
        if (!responseTopic.empty())
            mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
        if (!correlation.empty())
            mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                          static_cast<std::uint16_t>(correlation.size()));
        const int rc = mosquitto_publish_v5(mosq_, nullptr, topic.c_str(),
                                            static_cast<int>(payload.size()), payload.data(), 1,
                                            false, props);
        mosquitto_property_free_all(&props);
        return rc == MOSQ_ERR_SUCCESS;
    }

    // Waits until `done` holds for the messages received so far.
    bool waitFor(const std::function<bool(const std::vector<Received>&)>& done, double seconds) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return done(received_); });
    }

    std::vector<Received> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    static void onConnect(mosquitto* m, void* self, int rc, int, const mosquitto_property*) {
        auto* client = static_cast<TestClient*>(self);
        if (rc != 0) return;
        for (const auto& s : client->subscriptions_)
            mosquitto_subscribe_v5(m, nullptr, s.c_str(), 1, 0, nullptr);
    }
    static void onSubscribe(mosquitto*, void* self, int, int, const int*,
                            const mosquitto_property*) {
        auto* client = static_cast<TestClient*>(self);
        std::lock_guard lock(client->mutex_);
        client->subscribed_ = true;
        client->changed_.notify_all();
    }
    static void onMessage(mosquitto*, void* self, const mosquitto_message* m,
                          const mosquitto_property* props) {
        auto* client = static_cast<TestClient*>(self);
        Received r;
        r.arrived = std::chrono::duration<double>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
        r.topic = m->topic;
        r.payload.assign(static_cast<const char*>(m->payload),
                         static_cast<std::size_t>(m->payloadlen));
        r.body = nlohmann::json::parse(r.payload, nullptr, false);
        r.retained = m->retain;
        void* data = nullptr;
        std::uint16_t length = 0;
        if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                           false)) {
            r.correlation.assign(static_cast<const char*>(data), length);
            std::free(data);
        }
        std::lock_guard lock(client->mutex_);
        client->received_.push_back(std::move(r));
        client->changed_.notify_all();
    }

    mosquitto* mosq_ = nullptr;
    std::vector<std::string> subscriptions_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool subscribed_ = false;
    std::vector<Received> received_;
};

// The sequence numbers of the messages that carry one.
inline std::set<std::int64_t> sequences(const std::vector<Received>& messages) {
    std::set<std::int64_t> seqs;
    for (const auto& m : messages) {
        if (m.body.is_object() && m.body.contains("seq")) seqs.insert(m.body["seq"].get<std::int64_t>());
    }
    return seqs;
}

// Whether `seqs` holds every number from 1 to its largest.
inline bool gapless(const std::set<std::int64_t>& seqs) {
    return !seqs.empty() && *seqs.begin() == 1 &&
           *seqs.rbegin() == static_cast<std::int64_t>(seqs.size());
}

}  // namespace orvex::test
