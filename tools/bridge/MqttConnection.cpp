// SPDX-License-Identifier: Apache-2.0
#include "MqttConnection.hpp"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "Log.hpp"

namespace orvex::bridge {

namespace {

void initLibrary() {
    static const int once = [] {
        mosquitto_lib_init();
        return 0;
    }();
    (void)once;
}

bool isFatalRefusal(int reason) {
    // Credentials or authorisation refused: waiting will not change the answer.
    return reason == MQTT_RC_BAD_USERNAME_OR_PASSWORD || reason == MQTT_RC_NOT_AUTHORIZED ||
           reason == MQTT_RC_BAD_AUTHENTICATION_METHOD || reason == MQTT_RC_BANNED ||
           reason == MQTT_RC_CLIENTID_NOT_VALID || reason == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
}

}  // namespace

std::string mqttError(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    // The library's texts are sentences; ours go inside one.
    std::string text = mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

class MqttConnection::Core {
public:
    Core(mosquitto* mosq, const MqttSettings& settings, Listener listener)
        : mosq_(mosq),
          host_(settings.broker.host),
          port_(settings.broker.port),
          keepalive_(settings.keepalive),
          listener_(std::move(listener)) {}
    ~Core() { mosquitto_destroy(mosq_); }

    mosquitto* handle() { return mosq_; }

    // The network thread: connect, then turn the library's loop until the connection ends
    // or the bridge stops it.
    void run() {
        int rc = mosquitto_connect(mosq_, host_.c_str(), port_, keepalive_);
        if (rc != MOSQ_ERR_SUCCESS) {
            report(describeConnectFailure(rc), rc == MOSQ_ERR_TLS);
            return;
        }
        while (!stopping_) {
            rc = mosquitto_loop(mosq_, 100, 1);
            if (refused_) return;
            if (rc != MOSQ_ERR_SUCCESS && !stopping_) {
                report(fmt::format("connection to the broker {}:{} lost: {}", host_, port_,
                                   describeLoopFailure(rc)),
                       rc == MOSQ_ERR_TLS);
                return;
            }
        }
        // A clean end: the broker drops the Last Will.
        mosquitto_disconnect(mosq_);
        for (int i = 0; i < 20 && mosquitto_loop(mosq_, 50, 1) == MOSQ_ERR_SUCCESS; ++i) {
        }
    }

    void stop() {
        stopping_ = true;
        std::lock_guard lock(mutex_);
        listener_ = {};
    }

    bool up() const { return up_; }

    // --- libmosquitto callbacks (network thread)
    static void onConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
        auto* core = static_cast<Core*>(self);
        if (rc == 0) {
            core->up_ = true;
            std::lock_guard lock(core->mutex_);
            if (core->listener_.connected) core->listener_.connected();
            return;
        }
        core->refused_ = true;
        const bool credentials =
            rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || rc == MQTT_RC_NOT_AUTHORIZED;
        core->report(fmt::format("the broker {}:{} refused the connection: {}{}", core->host_,
                                 core->port_, mosquitto_reason_string(rc),
                                 credentials ? " (check username and password)" : ""),
                     isFatalRefusal(rc));
    }

    static void onPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
        auto* core = static_cast<Core*>(self);
        std::lock_guard lock(core->mutex_);
        if (core->listener_.acknowledged) {
            core->listener_.acknowledged(
                mid, reason >= 0x80 ? std::string(mosquitto_reason_string(reason)) : std::string());
        }
    }

    static void onMessage(mosquitto*, void* self, const mosquitto_message* m,
                          const mosquitto_property* props) {
        auto* core = static_cast<Core*>(self);
        MqttMessage message;
        message.topic = m->topic ? m->topic : "";
        if (m->payload && m->payloadlen > 0)
            message.payload.assign(static_cast<const char*>(m->payload),
                                   static_cast<std::size_t>(m->payloadlen));
        char* responseTopic = nullptr;
        if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &responseTopic,
                                           false)) {
            message.responseTopic = responseTopic;
            std::free(responseTopic);
        }
        void* correlation = nullptr;
        std::uint16_t length = 0;
        if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation,
                                           &length, false)) {
            message.correlation.assign(static_cast<const char*>(correlation), length);
            std::free(correlation);
        }
        std::lock_guard lock(core->mutex_);
        if (core->listener_.message) core->listener_.message(std::move(message));
    }

    static void onLog(mosquitto*, void* self, int level, const char* text) {
        auto* core = static_cast<Core*>(self);
        if (level == MOSQ_LOG_ERR) {
            std::lock_guard lock(core->mutex_);
            core->lastLogError_ = text ? text : "";
        }
        logDebug(fmt::format("libmosquitto: {}", text ? text : ""));
    }

private:
    void report(const std::string& reason, bool fatal) {
        up_ = false;
        std::lock_guard lock(mutex_);
        if (listener_.ended) listener_.ended(reason, fatal);
        listener_ = {};
    }

    std::string lastLogError() {
        std::lock_guard lock(mutex_);
        return lastLogError_;
    }

    std::string describeConnectFailure(int rc) {
        if (rc == MOSQ_ERR_TLS) {
            const std::string detail = lastLogError();
            return fmt::format(
                "TLS handshake with the broker {}:{} failed{}{} (does ca-file hold the CA that "
                "signed the broker's certificate?)",
                host_, port_, detail.empty() ? "" : ": ", detail);
        }
        if (rc == MOSQ_ERR_EAI) return fmt::format("cannot resolve the broker host '{}'", host_);
        return fmt::format("cannot reach the broker {}:{}: {}", host_, port_, mqttError(rc));
    }

    std::string describeLoopFailure(int rc) {
        if (rc == MOSQ_ERR_TLS) {
            const std::string detail = lastLogError();
            return detail.empty() ? "TLS error" : "TLS error: " + detail;
        }
        return mqttError(rc);
    }

    mosquitto* mosq_;
    std::string host_;
    int port_;
    int keepalive_;
    std::mutex mutex_;
    Listener listener_;
    std::string lastLogError_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> refused_{false};
    std::atomic<bool> up_{false};

    friend class MqttConnection;
    std::thread thread_;
    std::future<void> finished_;
};

std::unique_ptr<MqttConnection> MqttConnection::start(const MqttSettings& settings,
                                                      Listener listener, std::string& error) {
    initLibrary();
    mosquitto* mosq = mosquitto_new(settings.clientId.c_str(), /*clean_start=*/true, nullptr);
    if (!mosq) {
        error = "cannot create an MQTT client: " + mqttError(MOSQ_ERR_ERRNO);
        return nullptr;
    }
    auto core = std::make_shared<Core>(mosq, settings, std::move(listener));
    mosquitto_user_data_set(mosq, core.get());
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_threaded_set(mosq, true);
    mosquitto_connect_v5_callback_set(mosq, &Core::onConnect);
    mosquitto_publish_v5_callback_set(mosq, &Core::onPublish);
    mosquitto_message_v5_callback_set(mosq, &Core::onMessage);
    mosquitto_log_callback_set(mosq, &Core::onLog);

    if (!settings.username.empty()) {
        const int rc = mosquitto_username_pw_set(
            mosq, settings.username.c_str(),
            settings.password.empty() ? nullptr : settings.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "unusable user name or password: " + mqttError(rc);
            return nullptr;
        }
    }
    if (settings.broker.tls) {
        if (settings.caFile.empty()) mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        const auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
        const int rc = mosquitto_tls_set(mosq, orNull(settings.caFile), nullptr,
                                         orNull(settings.certFile), orNull(settings.keyFile),
                                         nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = fmt::format("unusable TLS files (ca-file {}, cert-file {}, key-file {}): {}",
                                settings.caFile.empty() ? "-" : settings.caFile,
                                settings.certFile.empty() ? "-" : settings.certFile,
                                settings.keyFile.empty() ? "-" : settings.keyFile, mqttError(rc));
            return nullptr;
        }
    }
    if (!settings.willTopic.empty()) {
        const int rc = mosquitto_will_set_v5(mosq, settings.willTopic.c_str(),
                                             static_cast<int>(settings.willPayload.size()),
                                             settings.willPayload.data(), 1, true, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "unusable Last Will: " + mqttError(rc);
            return nullptr;
        }
    }

    std::promise<void> finished;
    core->finished_ = finished.get_future();
    // The thread holds the core, so a thread that outlives stop() (stuck in a connect)
    // still has everything it touches.
    core->thread_ = std::thread([core, finished = std::move(finished)]() mutable {
        core->run();
        finished.set_value();
    });
    return std::unique_ptr<MqttConnection>(new MqttConnection(core));
}

MqttConnection::MqttConnection(std::shared_ptr<Core> core) : core_(std::move(core)) {}

MqttConnection::~MqttConnection() {
    stop(0.0);
}

int MqttConnection::publish(const std::string& topic, const std::string& payload, bool retain,
                            const std::string& correlation) {
    if (!core_ || !core_->up()) return -1;
    mosquitto_property* props = nullptr;
    if (!correlation.empty()) {
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<std::uint16_t>(correlation.size()));
    }
    int mid = 0;
    const int rc = mosquitto_publish_v5(core_->handle(), &mid, topic.c_str(),
                                        static_cast<int>(payload.size()), payload.data(), 1,
                                        retain, props);
    mosquitto_property_free_all(&props);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

bool MqttConnection::subscribe(const std::string& filter) {
    if (!core_ || !core_->up()) return false;
    return mosquitto_subscribe_v5(core_->handle(), nullptr, filter.c_str(), 1, 0, nullptr) ==
           MOSQ_ERR_SUCCESS;
}

void MqttConnection::stop(double grace) {
    if (!core_) return;
    core_->stop();
    const auto limit = std::chrono::duration<double>(grace + 2.0);
    if (core_->finished_.wait_for(limit) == std::future_status::ready) {
        core_->thread_.join();
    } else {
        // Still inside a blocking connect to an unresponsive host: it ends on its own and
        // frees the connection then.
        core_->thread_.detach();
    }
    core_.reset();
}

}  // namespace orvex::bridge
