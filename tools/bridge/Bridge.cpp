// SPDX-License-Identifier: Apache-2.0
#include "Bridge.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "Log.hpp"

namespace orvex::bridge {

namespace {

// Messages handed to the connection and not yet acknowledged, at most. The broker's own
// in-flight limit paces the wire; this bounds what a lost connection sends again.
constexpr std::size_t kWindow = 512;
// The longest a command waits for the reader (a reading waits up to 21 s for the tag and
// as long again for its contact).
constexpr double kCommandTimeout = 50.0;
// How long a clean shutdown waits for the broker to acknowledge what is in flight.
constexpr double kShutdownGrace = 3.0;

std::string brokerText(const BrokerAddress& broker) {
    return fmt::format("{}://{}:{}", broker.tls ? "mqtts" : "mqtt", broker.host, broker.port);
}

}  // namespace

Bridge::Bridge(BridgeConfig config)
    : config_(std::move(config)),
      topics_(config_.prefix, config_.gateway),
      backoff_(config_.reconnectMin) {}

Bridge::~Bridge() {
    for (auto& reader : readers_) {
        if (reader->link) reader->link->stop();
    }
    if (connection_) connection_->stop(0.0);
}

void Bridge::stop() {
    loop_.post([this] { beginShutdown(0); });
}

bool Bridge::open() {
    std::string error;
    spool_ = Spool::open(config_.spoolPath, config_.spoolLimit, config_.spoolSyncFull, error);
    if (!spool_) {
        logError(error + (error.find("locked") != std::string::npos
                              ? " (is another bridge using this spool?)"
                              : ""));
        return false;
    }
    if (config_.once) return true;  // delivers the spool only
    for (const auto& wanted : config_.readers) {
        auto reader = std::make_unique<Reader>();
        reader->wanted = wanted;
        Reader* raw = reader.get();
        reader->link = ReaderLink::open(
            config_, wanted, loop_, [this, raw](const ReaderEvent& e) { onReaderEvent(*raw, e); },
            error);
        if (!reader->link) {
            logError(fmt::format("reader {}: {}", wanted.name, error));
            return false;
        }
        readers_.push_back(std::move(reader));
    }
    return true;
}

int Bridge::run() {
    if (!open()) return 1;
    std::string identity = config_.username.empty()
                               ? std::string("anonymously")
                               : fmt::format("as {}{}", config_.username,
                                             config_.password.empty() ? "" : " (with a password)");
    logInfo(fmt::format("gateway {}: broker {} {}, topics under {}/{}/, spool {} ({} waiting, "
                        "limit {})",
                        config_.gateway, brokerText(config_.broker), identity, config_.prefix,
                        config_.gateway, config_.spoolPath, spool_->size(), config_.spoolLimit));
    for (auto& reader : readers_) {
        spoolStatus(*reader);
        reader->link->start();
    }
    spool_->commit();
    connect();
    spool_->begin();
    if (config_.once) {
        loop_.after(config_.timeout, [this] {
            if (stopping_) return;
            logError(fmt::format("gave up after {:g} s: {} messages still in the spool{}{}",
                                 config_.timeout, spool_->size(),
                                 lastFailure_.empty() ? "" : "; ", lastFailure_));
            beginShutdown(1);
        });
    }
    loop_.run([this] { afterBatch(); });
    for (auto& reader : readers_) reader->link->stop();
    if (connection_) connection_->stop(1.0);
    connection_.reset();
    spool_->commit();
    return exitCode_;
}

// --- the broker side

void Bridge::connect() {
    reconnectTimer_ = 0;
    if (stopping_) return;
    MqttSettings settings;
    settings.broker = config_.broker;
    settings.clientId = config_.clientId;
    settings.username = config_.username;
    settings.password = config_.password;
    settings.caFile = config_.caFile;
    settings.certFile = config_.certFile;
    settings.keyFile = config_.keyFile;
    settings.keepalive = config_.keepalive;
    settings.willTopic = topics_.gatewayStatus();
    settings.willPayload = gatewayStatusPayload(config_.gateway, false, nowSeconds());

    const std::uint64_t generation = ++generation_;
    MqttConnection::Listener listener;
    listener.connected = [this, generation] {
        loop_.post([this, generation] { onConnected(generation); });
    };
    listener.ended = [this, generation](const std::string& reason, bool fatal) {
        loop_.post([this, generation, reason, fatal] { onEnded(generation, reason, fatal); });
    };
    listener.acknowledged = [this, generation](int mid, const std::string& refusal) {
        loop_.post([this, generation, mid, refusal] { onAcknowledged(generation, mid, refusal); });
    };
    listener.message = [this](MqttMessage message) {
        loop_.post([this, message = std::move(message)] { onMessage(message); });
    };
    std::string error;
    connection_ = MqttConnection::start(settings, std::move(listener), error);
    if (!connection_) {
        logError(error);
        beginShutdown(1);
    }
}

void Bridge::connectLater() {
    const double wait = backoff_;
    backoff_ = std::min(backoff_ * 2, config_.reconnectMax);
    reconnectTimer_ = loop_.after(wait, [this] { connect(); });
}

void Bridge::onConnected(std::uint64_t generation) {
    if (generation != generation_ || !connection_) return;
    connected_ = true;
    backoff_ = config_.reconnectMin;
    logInfo(fmt::format("connected to the broker {}{}", brokerText(config_.broker),
                        spool_->size() ? fmt::format(", delivering {} spooled messages",
                                                     spool_->size())
                                       : std::string()));
    failureLogged_ = false;
    lastFailure_.clear();
    inflight_.clear();
    cursor_ = 0;
    connection_->publish(topics_.gatewayStatus(),
                         gatewayStatusPayload(config_.gateway, true, nowSeconds()), true);
    if (!config_.once) connection_->subscribe(topics_.commandFilter());
}

void Bridge::onEnded(std::uint64_t generation, const std::string& reason, bool fatal) {
    if (generation != generation_) return;
    connected_ = false;
    inflight_.clear();
    cursor_ = 0;
    if (connection_) connection_->stop(0.0);
    connection_.reset();
    lastFailure_ = reason;
    if (fatal) {
        logError(reason);
        beginShutdown(1);
        return;
    }
    if (stopping_) {
        finishShutdown();
        return;
    }
    // One warning per outage; the retries are logged at debug level.
    if (!failureLogged_) {
        logWarning(fmt::format("{}; retrying (every {:g} s at most), readings go to the spool",
                               reason, config_.reconnectMax));
        failureLogged_ = true;
    } else {
        logDebug(reason);
    }
    connectLater();
}

void Bridge::onAcknowledged(std::uint64_t generation, int mid, const std::string& refusal) {
    if (generation != generation_) return;
    const auto it = inflight_.find(mid);
    if (it == inflight_.end()) return;  // the gateway status, which is not spooled
    if (!refusal.empty()) {
        logError(fmt::format("the broker refused spooled message {} ({}); it is dropped",
                             it->second, refusal));
    }
    spool_->remove(it->second);
    inflight_.erase(it);
    checkSpoolRoom();
}

void Bridge::afterBatch() {
    if (!spool_->commit()) logError("cannot write to the spool: " + spool_->lastError());
    pump();
    // What the next batch spools or removes is committed at its end, with one disk sync.
    spool_->begin();
    const bool delivered = connected_ && spool_->size() == 0 && inflight_.empty();
    if (stopping_ && delivered) {
        finishShutdown();
    } else if (config_.once && !stopping_ && delivered) {
        logInfo("the spool is delivered");
        beginShutdown(0);
    }
}

void Bridge::pump() {
    while (connected_ && connection_ && inflight_.size() < kWindow) {
        const auto batch = spool_->after(cursor_, kWindow - inflight_.size());
        if (batch.empty()) return;
        for (const auto& message : batch) {
            const int mid =
                connection_->publish(message.topic, message.payload, message.retain,
                                     message.correlation);
            if (mid < 0) return;  // the connection is going; its end is on its way
            inflight_[mid] = message.id;
            cursor_ = message.id;
        }
    }
}

// --- the spool

void Bridge::spoolRecord(Reader& reader, const std::string& topic,
                         const std::function<std::string(std::int64_t)>& payload) {
    if (spool_->append(reader.wanted.name, topic, false, SpoolKind::record, payload)) return;
    ++reader.status.refused;
    if (!spool_->full()) {
        logError(fmt::format("reader {}: cannot write to the spool ({}): reading refused",
                             reader.wanted.name, spool_->lastError()));
        return;
    }
    if (spoolFull_) return;
    spoolFull_ = true;
    logError(fmt::format("the spool is full ({} messages): new readings are refused until the "
                         "broker takes some",
                         spool_->size()));
    for (auto& r : readers_) spoolStatus(*r);
}

void Bridge::checkSpoolRoom() {
    // Room again once a tenth of the spool has gone, so that the status does not flap.
    if (!spoolFull_ || spool_->size() > spool_->limit() - spool_->limit() / 10) return;
    spoolFull_ = false;
    logInfo(fmt::format("the spool has room again ({} messages)", spool_->size()));
    for (auto& r : readers_) spoolStatus(*r);
}

void Bridge::spoolStatus(Reader& reader) {
    reader.status.spoolMessages = spool_->size();
    reader.status.spoolLimit = spool_->limit();
    reader.status.spoolFull = spoolFull_;
    const std::string& name = reader.wanted.name;
    const ReaderStatus status = reader.status;
    const bool ok = spool_
                        ->append(name, topics_.status(name), true, SpoolKind::control,
                                 [&](std::int64_t seq) {
                                     return statusPayload({config_.gateway, name, seq}, status,
                                                          nowSeconds());
                                 })
                        .has_value();
    if (!ok) logError(fmt::format("reader {}: status not spooled (spool full)", name));
}

// --- commands

void Bridge::reply(Reader& reader, const Pending& to, bool ok, const std::string& error,
                   const nlohmann::json& extra) {
    const std::string& name = reader.wanted.name;
    const bool spooled =
        spool_
            ->append(name, to.replyTopic, false, SpoolKind::control,
                     [&](std::int64_t seq) {
                         return replyPayload({config_.gateway, name, seq}, to.id, to.command, ok,
                                             error, extra);
                     },
                     to.correlation)
            .has_value();
    if (!spooled) logError(fmt::format("reader {}: reply to {} not spooled", name, to.command));
}

void Bridge::finishCommand(Reader& reader, bool ok, const std::string& error,
                           const nlohmann::json& extra) {
    if (!reader.pending) return;
    const Pending pending = std::move(*reader.pending);
    reader.pending.reset();
    if (pending.timer) loop_.cancel(pending.timer);
    reply(reader, pending, ok, error, extra);
}

void Bridge::onMessage(const MqttMessage& message) {
    const auto command = topics_.parseCommand(message.topic);
    if (!command) return;
    const auto found = std::find_if(readers_.begin(), readers_.end(),
                                    [&](const auto& r) { return r->wanted.name == command->reader; });
    if (found == readers_.end()) {
        logWarning(fmt::format("command for an unknown reader: {}", message.topic));
        return;
    }
    Reader& reader = **found;
    Pending to;
    to.command = command->command;
    to.replyTopic = message.responseTopic.empty() ? topics_.reply(reader.wanted.name)
                                                  : message.responseTopic;
    to.correlation = message.correlation;
    const auto request = parseCommand(message.payload);
    to.id = request.id;
    logInfo(fmt::format("reader {}: command {}{}", reader.wanted.name, to.command,
                        to.id.empty() ? std::string() : " (id " + to.id + ")"));

    if (!request.error.empty()) return reply(reader, to, false, request.error);
    if (stopping_) return reply(reader, to, false, "the bridge is stopping");
    if (to.command != "scan" && to.command != "write-contact" && to.command != "export") {
        return reply(reader, to, false,
                     fmt::format("unknown command '{}': scan, write-contact or export",
                                 to.command));
    }
    if (reader.pending) {
        return reply(reader, to, false,
                     fmt::format("busy: a {} is under way", reader.pending->command));
    }
    if (!reader.link->isReady()) return reply(reader, to, false, "the reader is not connected");

    if (to.command == "export") {
        if (!reader.link->exportReadings()) {
            return reply(reader, to, false,
                         "this reader starts exports from its own button; the records arrive "
                         "on the export topic");
        }
        return reply(reader, to, true, {});
    }

    if (to.command == "write-contact") {
        std::string fields[3];
        const char* names[3] = {"tag", "phone", "email"};
        for (int i = 0; i < 3; ++i) {
            const auto it = request.body.find(names[i]);
            if (it == request.body.end() || !it->is_string()) {
                return reply(reader, to, false,
                             fmt::format("\"{}\" is missing or not a string", names[i]));
            }
            fields[i] = it->get<std::string>();
        }
        reader.link->writeContact(fields[2], fields[1], fields[0]);
    } else {
        reader.link->scan();
    }
    Reader* raw = &reader;
    to.timer = loop_.after(kCommandTimeout, [this, raw] {
        if (raw->pending) raw->pending->timer = 0;
        finishCommand(*raw, false, "timed out waiting for the reader");
    });
    reader.pending = std::move(to);
}

// --- the reader side

void Bridge::onReaderEvent(Reader& reader, const ReaderEvent& event) {
    if (stopping_) return;
    auto& status = reader.status;
    const std::string& name = reader.wanted.name;
    using Kind = ReaderEvent::Kind;
    switch (event.kind) {
        case Kind::connecting:
            status.state = "connecting";
            break;
        case Kind::connected:
            status.state = "connected";
            status.lastError.clear();
            logInfo(fmt::format("reader {}: connected", name));
            break;
        case Kind::disconnected:
        case Kind::connectionFailed:
        case Kind::bluetoothError:
            status.state = event.kind == Kind::bluetoothError ? "bluetooth-unavailable"
                                                               : "disconnected";
            status.lastError = event.text;
            status.battery.reset();
            logWarning(fmt::format("reader {}: {}; connecting again", name, event.text));
            finishCommand(reader, false, "the reader is gone: " + event.text);
            break;
        case Kind::version:
            status.version = event.text;
            break;
        case Kind::battery:
            if (!status.battery) logInfo(fmt::format("reader {}: ready", name));
            status.battery = event.number;
            // The battery answer ends the setup, micro-app check included.
            if (status.microApp == "unknown" || status.microApp == "updating")
                status.microApp = "current";
            break;
        case Kind::updateStarted:
            status.microApp = "updating";
            break;
        case Kind::updateEnded:
            status.microApp = event.text;
            break;
        case Kind::reading: {
            const bool host = reader.pending && reader.pending->command == "scan";
            const ScanResult result = *event.result;
            spoolRecord(reader, topics_.reading(name), [&](std::int64_t seq) {
                return readingPayload({config_.gateway, name, seq}, result,
                                      host ? ReadingSource::host : ReadingSource::trigger);
            });
            if (host) {
                finishCommand(reader, true, {},
                              {{"tag", tagJson(result)},
                               {"reading_seq", spool_->lastSequence(name)}});
            }
            return;
        }
        case Kind::scanFailed:
            if (reader.pending && reader.pending->command == "scan")
                finishCommand(reader, false, "no tag was read");
            return;
        case Kind::exportRecord: {
            spoolRecord(reader, topics_.exportRecord(name), [&](std::int64_t seq) {
                return exportPayload({config_.gateway, name, seq}, event.result, event.number,
                                     event.time);
            });
            return;
        }
        case Kind::contactWritten:
            if (reader.pending && reader.pending->command == "write-contact") {
                const std::string outcome = contactStatusName(event.contactStatus);
                finishCommand(reader, event.ok, event.ok ? std::string() : "write failed: " + outcome,
                              {{"status", outcome}});
            }
            return;
    }
    spoolStatus(reader);
}

// --- shutdown

void Bridge::beginShutdown(int exitCode) {
    exitCode_ = std::max(exitCode_, exitCode);
    if (stopping_) return;
    stopping_ = true;
    if (reconnectTimer_) loop_.cancel(reconnectTimer_);
    reconnectTimer_ = 0;
    for (auto& reader : readers_) {
        finishCommand(*reader, false, "the bridge is stopping");
        reader->link->stop();
        reader->status.state = "stopped";
        spoolStatus(*reader);
    }
    if (!connected_) {
        finishShutdown();
        return;
    }
    connection_->publish(topics_.gatewayStatus(),
                         gatewayStatusPayload(config_.gateway, false, nowSeconds()), true);
    shutdownTimer_ = loop_.after(kShutdownGrace, [this] { finishShutdown(); });
}

void Bridge::finishShutdown() {
    if (finished_) return;
    finished_ = true;
    if (!spool_->commit()) logError("cannot write to the spool: " + spool_->lastError());
    if (spool_->size())
        logInfo(fmt::format("{} messages stay in the spool for the next start", spool_->size()));
    if (connection_) connection_->stop(1.0);
    connection_.reset();
    connected_ = false;
    loop_.stop();
}

}  // namespace orvex::bridge
